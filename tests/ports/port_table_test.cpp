// The port table: what survives a save and a load of the remembered
// devices, what a missing or damaged store gives, a save that cannot be
// made, the order in which the environment, the bindings and the default
// decide a port's device, what the dialog's OK keeps, and what each kind of
// port argument resolves to. Every case keeps its files in a scratch folder,
// never in the real home.
#include "ports/port_table.h"

#include <gtest/gtest.h>

#include <fstream>
#include <random>

#include "tests/support/scoped_env.h"

namespace dravel {
namespace {

namespace fs = std::filesystem;
using testing::ScopedEnv;

class PortBindingsStore : public ::testing::Test {
protected:
    void SetUp() override {
        std::random_device entropy;
        m_folder = fs::temp_directory_path() / ("dravel-bindings-" + std::to_string(entropy()));
        fs::create_directories(m_folder);
        m_file = m_folder / "dravel" / "ports.json";
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(m_folder, ignored);
    }
    void Write(const std::string& text) {
        fs::create_directories(m_file.parent_path());
        std::ofstream(m_file, std::ios::binary) << text;
    }
    static PortBindings Sample() {
        PortBindings bindings;
        bindings.Bind(1, "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3D4-if00-port0");
        bindings.Bind(2, "COM7");
        bindings.Bind(4, "rfc2217://bench-7.example:2217");
        return bindings;
    }

    fs::path m_folder;
    fs::path m_file;
};

TEST_F(PortBindingsStore, WhatIsSavedLoadsBackAndAResaveReplacesIt) {
    std::string error;
    ASSERT_TRUE(SavePortBindings(m_file, Sample(), error)) << error;
    LoadedBindings loaded = LoadPortBindings(m_file);
    EXPECT_EQ(loaded.note, "");
    EXPECT_EQ(loaded.bindings, Sample());
    EXPECT_EQ(loaded.bindings.Device(3), "");

    PortBindings changed = Sample();
    changed.Bind(1, "  /dev/ttyUSB0 \n");  // as typed, blanks and all
    changed.Bind(4, "");
    ASSERT_TRUE(SavePortBindings(m_file, changed, error)) << error;
    loaded = LoadPortBindings(m_file);
    EXPECT_EQ(loaded.bindings.Device(1), "/dev/ttyUSB0");
    EXPECT_EQ(loaded.bindings.Device(4), "");
    EXPECT_EQ(loaded.bindings.Device(2), "COM7");
    // Nothing of the temporary files is left beside the store.
    int entries = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(m_file.parent_path())) ++entries;
    EXPECT_EQ(entries, 1);

    // Ports the program does not have are neither kept nor harmful.
    PortBindings outside;
    outside.Bind(0, "x");
    outside.Bind(5, "y");
    EXPECT_EQ(outside, PortBindings{});
    EXPECT_EQ(outside.Device(9), "");
}

TEST_F(PortBindingsStore, MissingOrDamagedFilesGiveTheDefaultsAndSayWhy) {
    LoadedBindings loaded = LoadPortBindings(m_file);
    EXPECT_EQ(loaded.bindings, PortBindings{});
    EXPECT_NE(loaded.note.find("no port bindings yet"), std::string::npos) << loaded.note;
    EXPECT_NE(loaded.note.find(m_file.string()), std::string::npos) << loaded.note;

    struct Case { const char* text; const char* why; };
    for (const Case& damaged : {
             Case{"", "not JSON"},
             Case{"{\"ports\": {\"1\": \"/dev/ttyUSB0\"", "not JSON"},
             Case{"\x01\x02garbage", "not JSON"},
             Case{"[\"/dev/ttyUSB0\"]", "no \"ports\""},
             Case{"{\"ports\": [\"/dev/ttyUSB0\"]}", "no \"ports\""},
             Case{"{\"ports\": {\"1\": 7}}", "port 1 is not a device name"},
             Case{"{\"ports\": {\"2\": \"/dev/tty\\nUSB0\"}}", "port 2 is not a device name"},
         }) {
        Write(damaged.text);
        loaded = LoadPortBindings(m_file);
        EXPECT_EQ(loaded.bindings, PortBindings{}) << damaged.text;
        EXPECT_NE(loaded.note.find(damaged.why), std::string::npos) << damaged.text << " -> " << loaded.note;
        EXPECT_NE(loaded.note.find("defaults"), std::string::npos) << loaded.note;
    }

    // A file far larger than four names is not read at all.
    Write("{\"ports\": {\"1\": \"" + std::string(100 * 1024, 'a') + "\"}}");
    loaded = LoadPortBindings(m_file);
    EXPECT_EQ(loaded.bindings, PortBindings{});
    EXPECT_NE(loaded.note.find("too large"), std::string::npos) << loaded.note;

    // A folder where the file should be.
    fs::remove(m_file);
    fs::create_directories(m_file);
    loaded = LoadPortBindings(m_file);
    EXPECT_NE(loaded.note.find("not a file"), std::string::npos) << loaded.note;

    // Keys of ports this version does not know are passed over.
    fs::remove(m_file);
    Write("{\"ports\": {\"2\": \"/dev/ttyACM0\", \"7\": 12, \"x\": null}, \"later\": true}");
    loaded = LoadPortBindings(m_file);
    EXPECT_EQ(loaded.note, "");
    EXPECT_EQ(loaded.bindings.Device(2), "/dev/ttyACM0");
}

TEST_F(PortBindingsStore, ASaveThatCannotBeMadeSaysWhyAndKeepsTheOldFile) {
    std::string error;
    // A plain file where the folder should be: refused even to root.
    std::ofstream(m_folder / "blocker") << "x";
    EXPECT_FALSE(SavePortBindings(m_folder / "blocker" / "dravel" / "ports.json", Sample(), error));
    EXPECT_NE(error.find("blocker"), std::string::npos) << error;

    // A folder in the file's place cannot be replaced by the new file; the
    // temporary one is cleared away.
    fs::create_directories(m_file / "inside");
    error.clear();
    EXPECT_FALSE(SavePortBindings(m_file, Sample(), error));
    EXPECT_FALSE(error.empty());
    int entries = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(m_file.parent_path())) ++entries;
    EXPECT_EQ(entries, 1);

    EXPECT_FALSE(SavePortBindings({}, Sample(), error));
    EXPECT_NE(error.find("no folder"), std::string::npos) << error;
}

TEST_F(PortBindingsStore, TheFileLivesInTheUsersSettingsFolder) {
#ifdef _WIN32
    ScopedEnv appData("APPDATA", m_folder.string());
    EXPECT_EQ(PortBindingsFile(), m_folder / "dravel" / "ports.json");
    ScopedEnv none("APPDATA", std::nullopt);
    EXPECT_EQ(PortBindingsFile(), fs::path());
#else
    ScopedEnv home("HOME", "/home/tech");
    {
        ScopedEnv xdg("XDG_CONFIG_HOME", m_folder.string());
        EXPECT_EQ(PortBindingsFile(), m_folder / "dravel" / "ports.json");
    }
    // Unset, empty or relative: the default under the home folder.
    for (const std::optional<std::string>& value : {std::optional<std::string>(), std::optional<std::string>(""),
                                                    std::optional<std::string>("relative/config")}) {
        ScopedEnv xdg("XDG_CONFIG_HOME", value);
        EXPECT_EQ(PortBindingsFile(), fs::path("/home/tech/.config/dravel/ports.json"));
    }
    ScopedEnv xdg("XDG_CONFIG_HOME", std::nullopt);
    ScopedEnv noHome("HOME", std::nullopt);
    EXPECT_EQ(PortBindingsFile(), fs::path());
    EXPECT_NE(LoadPortBindings(PortBindingsFile()).note.find("no folder"), std::string::npos);
#endif
}

// The platform's own port n, as a person would write it down.
std::string Own(int port) {
#ifdef _WIN32
    return "COM" + std::to_string(port);
#else
    return "/dev/ttyS" + std::to_string(port - 1);
#endif
}

TEST_F(PortBindingsStore, TheEnvironmentWinsThenTheBindingThenTheDefault) {
    ScopedEnv com1("DRAVEL_COM1", std::nullopt);
    ScopedEnv com2("DRAVEL_COM2", std::nullopt);
    ScopedEnv com3("DRAVEL_COM3", std::nullopt);
#ifdef _WIN32
    ScopedEnv folder("APPDATA", m_folder.string());
#else
    ScopedEnv folder("XDG_CONFIG_HOME", m_folder.string());
#endif
    std::string error;
    ASSERT_TRUE(SavePortBindings(PortBindingsFile(), Sample(), error)) << error;
    PortTable table = PortTable::Load();
    EXPECT_EQ(table.Note(), "");
    EXPECT_EQ(table.File(), PortBindingsFile());

    EXPECT_EQ(table.DeviceOf(2), "COM7");
    EXPECT_EQ(table.Resolve("COM2", error)->device, "COM7");
    EXPECT_EQ(table.OriginOf(2), DeviceOrigin::Binding);
    EXPECT_EQ(table.DeviceOf(3), Own(3));
    EXPECT_EQ(table.OriginOf(3), DeviceOrigin::Default);
    EXPECT_EQ(table.DeviceOf(5), Own(5));
    {
        ScopedEnv fixed("DRAVEL_COM2", "/dev/ttyACM3");
        EXPECT_EQ(table.DeviceOf(2), "/dev/ttyACM3");
        EXPECT_EQ(table.OriginOf(2), DeviceOrigin::Environment);
        // The variable of port 2 leaves port 1's binding alone.
        EXPECT_EQ(table.DeviceOf(1), Sample().Device(1));
        // An empty variable is no variable.
        ScopedEnv empty("DRAVEL_COM1", "");
        EXPECT_EQ(table.DeviceOf(1), Sample().Device(1));
    }
    // Bindings changed in this run (the dialog's OK) count at once.
    table.Choose(2, "");
    EXPECT_EQ(table.DeviceOf(2), Own(2));

    // A damaged store in a later start: the defaults, and the note says so.
    std::ofstream(PortBindingsFile(), std::ios::binary | std::ios::trunc) << "{\"ports\":";
    table = PortTable::Load();
    EXPECT_NE(table.Note().find("not JSON"), std::string::npos) << table.Note();
    EXPECT_EQ(table.DeviceOf(1), Own(1));
}

TEST_F(PortBindingsStore, OkKeepsWhatWasChosenButNeitherDefaultsNorWhatTheEnvironmentFixes) {
    ScopedEnv com1("DRAVEL_COM1", std::nullopt);
    ScopedEnv com2("DRAVEL_COM2", "/dev/ttyUSB5");
    ScopedEnv com3("DRAVEL_COM3", std::nullopt);
    ScopedEnv com4("DRAVEL_COM4", std::nullopt);
    PortBindings before;
    before.Bind(2, "/dev/ttyACM9");
    before.Bind(4, "/dev/ttyACM4");
    PortTable table(m_file, before);
    struct Choice { int port; std::string shown; std::string kept; };
    for (const Choice& choice : {
             Choice{1, "socket://127.0.0.1:7000", "socket://127.0.0.1:7000"},
             Choice{2, "/dev/ttyUSB5", "/dev/ttyACM9"},  // the variable is this run's
             Choice{3, Own(3), ""},                      // the port's own device binds nothing
             Choice{4, "", ""},                          // an emptied box: the default again
         }) {
        table.Choose(choice.port, choice.shown);
        EXPECT_EQ(table.Bindings().Device(choice.port), choice.kept) << "port " << choice.port;
    }
    EXPECT_EQ(table.DeviceOf(2), "/dev/ttyUSB5");

    std::string error;
    ASSERT_TRUE(table.Save(error)) << error;
    EXPECT_EQ(LoadPortBindings(m_file).bindings, table.Bindings());
    EXPECT_FALSE(PortTable().Save(error)) << "a table without a store has nowhere to keep it";
}

TEST_F(PortBindingsStore, EachKindOfPortArgumentResolvesOnceIntoWhatThePortOpens) {
    ScopedEnv com1("DRAVEL_COM1", std::nullopt);
    ScopedEnv com2("DRAVEL_COM2", std::nullopt);
    ScopedEnv com3("DRAVEL_COM3", "rfc2217://[fe80::1]:4000");
    ScopedEnv com4("DRAVEL_COM4", std::nullopt);
    ScopedEnv com12("DRAVEL_COM12", std::nullopt);
    PortBindings bindings;
    bindings.Bind(2, "/dev/ttyACM0");
    const PortTable table(m_file, bindings);
    struct Case {
        std::string argument;
        std::string label;
        std::string device;
        DeviceOrigin origin;
        int portNumber;
    };
    for (const Case& expected : {
             Case{"1", "COM1", Own(1), DeviceOrigin::Default, 1},
             Case{"2", "COM2", "/dev/ttyACM0", DeviceOrigin::Binding, 2},
             Case{"3", "COM3", "rfc2217://[fe80::1]:4000", DeviceOrigin::Environment, 3},
             Case{"COM2", "COM2", "/dev/ttyACM0", DeviceOrigin::Binding, 2},
             Case{"COM12", "COM12", Own(12), DeviceOrigin::Default, 12},
             // Not a port name: a device as it stands.
             Case{"/dev/pts/7", "/dev/pts/7", "/dev/pts/7", DeviceOrigin::Named, 0},
             Case{"com1", "com1", "com1", DeviceOrigin::Named, 0},
             Case{"COM0", "COM0", "COM0", DeviceOrigin::Named, 0},
             Case{"socket://bench-7.example:4001", "socket://bench-7.example:4001", "socket://bench-7.example:4001",
                  DeviceOrigin::Named, 0},
         }) {
        std::string error;
        const std::optional<ResolvedPort> port = table.Resolve(expected.argument, error);
        ASSERT_TRUE(port) << expected.argument << ": " << error;
        EXPECT_EQ(port->label, expected.label) << expected.argument;
        EXPECT_EQ(port->device, expected.device) << expected.argument;
        EXPECT_EQ(port->origin, expected.origin) << expected.argument;
        EXPECT_EQ(port->portNumber, expected.portNumber) << expected.argument;
        EXPECT_EQ(port->network.has_value(), port->IsNetwork()) << expected.argument;
    }
    // A network name comes down parsed, wherever it was named.
    std::string error;
    const ResolvedPort viaEnvironment = table.Resolve(3);
    ASSERT_TRUE(viaEnvironment.network);
    EXPECT_EQ(viaEnvironment.network->host, "fe80::1");
    EXPECT_EQ(viaEnvironment.network->port, 4000);
    const ResolvedPort raw = *table.Resolve("socket://bench-7.example:4001", error);
    EXPECT_EQ(raw.network->protocol, NetworkPort::Protocol::Raw);
    EXPECT_EQ(raw.network->host, "bench-7.example");

    // What the command line refuses, and why.
    for (const auto& [argument, why] : {
             std::pair<std::string, std::string>{"", "a port needs a number from 1 to 4 or a device name"},
             {"5", "a port is 1 to 4 or a device name, not 5"},
             {"01", "a port is 1 to 4 or a device name, not 01"},
             {"rfc2217://host", "rfc2217://host: HOST:PORT needs the port"},
             {"socket://::1:80", "socket://::1:80: an IPv6 address goes in brackets: [::1]:PORT"},
             {"rfc2217://host:99999", "rfc2217://host:99999: the port is a number from 1 to 65535, not \"99999\""},
         }) {
        error.clear();
        EXPECT_FALSE(table.Resolve(argument, error)) << argument;
        EXPECT_EQ(error, why) << argument;
    }

    // A bad name behind a port number is the opening's to refuse: it keeps
    // the reason, and the port has no network form to connect to.
    ScopedEnv broken("DRAVEL_COM4", "socket://nowhere");
    const ResolvedPort port4 = *table.Resolve("4", error);
    EXPECT_EQ(port4.device, "socket://nowhere");
    EXPECT_FALSE(port4.network);
    EXPECT_EQ(port4.problem, "HOST:PORT needs the port");

    // No port 0: nothing to open, and a look says so.
    EXPECT_EQ(table.Resolve(0).device, "");
    EXPECT_EQ(table.Probe(0).availability, PortAvailability::Missing);
    EXPECT_EQ(table.Probe(0).detail, "no port 0");
    EXPECT_EQ(table.Probe(3).availability, PortAvailability::Network);
}

TEST(PortTableWithoutStore, DeviceForAPortFromTheEnvironmentOrThePlatformsOwn) {
    ScopedEnv com1("DRAVEL_COM1", std::nullopt);
    ScopedEnv com4("DRAVEL_COM4", std::nullopt);
    ScopedEnv com11("DRAVEL_COM11", std::nullopt);
    const PortTable ports;
    std::string error;
    EXPECT_EQ(ports.DeviceOf(1), Own(1));
    EXPECT_EQ(ports.DeviceOf(4), Own(4));
    EXPECT_EQ(ports.Resolve("COM1", error)->device, Own(1));
    {
        ScopedEnv set("DRAVEL_COM1", "/dev/ttyUSB0");
        EXPECT_EQ(ports.DeviceOf(1), "/dev/ttyUSB0");
        EXPECT_EQ(ports.Resolve("COM1", error)->device, "/dev/ttyUSB0");
        // Port 1's variable says nothing about port 11 or port 4.
        EXPECT_EQ(ports.DeviceOf(11), Own(11));
        EXPECT_EQ(ports.DeviceOf(4), Own(4));
    }
    EXPECT_EQ(ports.DeviceOf(1), Own(1));
    {
        ScopedEnv empty("DRAVEL_COM4", "");
        EXPECT_EQ(ports.DeviceOf(4), Own(4));
    }
}

}  // namespace
}  // namespace dravel
