// The remembered devices behind ports 1 to 4: what survives a save and a
// load, what a missing or damaged file gives, a save that cannot be made,
// and the order in which the environment, the bindings and the default
// decide a port's device. Every case keeps its files in a scratch folder,
// never in the real home.
#include "comm/port_bindings.h"

#include <gtest/gtest.h>

#include <fstream>
#include <random>

#include "serial/port_names.h"
#include "serial/local_line.h"
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
        UsePortBindings({});
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
    EXPECT_EQ(UseStoredPortBindings(), "");

    EXPECT_EQ(ResolvePortDevice(2), "COM7");
    EXPECT_EQ(ResolvePortName("COM2"), "COM7");
    EXPECT_EQ(OriginOfPortDevice(2), DeviceOrigin::Binding);
    EXPECT_EQ(ResolvePortDevice(3), LocalDefaultDevice(3));
    EXPECT_EQ(OriginOfPortDevice(3), DeviceOrigin::Default);
    EXPECT_EQ(ResolvePortDevice(5), LocalDefaultDevice(5));
    {
        ScopedEnv fixed("DRAVEL_COM2", "/dev/ttyACM3");
        EXPECT_EQ(ResolvePortDevice(2), "/dev/ttyACM3");
        EXPECT_EQ(OriginOfPortDevice(2), DeviceOrigin::Environment);
        // The variable of port 2 leaves port 1's binding alone.
        EXPECT_EQ(ResolvePortDevice(1), Sample().Device(1));
    }
    // Bindings changed in this run (the dialog's OK) count at once.
    PortBindings changed = Sample();
    changed.Bind(2, "");
    UsePortBindings(changed);
    EXPECT_EQ(ResolvePortDevice(2), LocalDefaultDevice(2));

    // A damaged store in a later start: the defaults, and the note says so.
    std::ofstream(PortBindingsFile(), std::ios::binary | std::ios::trunc) << "{\"ports\":";
    EXPECT_NE(UseStoredPortBindings().find("not JSON"), std::string::npos);
    EXPECT_EQ(ResolvePortDevice(1), LocalDefaultDevice(1));
}

}  // namespace
}  // namespace dravel
