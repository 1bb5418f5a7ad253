// What --list-ports tells a user about ports and adapters.

#include <gtest/gtest.h>

#include "cli/port_list.h"

namespace dravel::cli {
namespace {

TEST(PortList, PortsFirstThenEachDeviceWithWhatItIsAndWhetherItIsFree) {
    const std::vector<PortProbe> ports = {{"/dev/ttyS0", PortAvailability::Free, ""},
                                          {"/dev/ttyUSB0", PortAvailability::Busy, "Device or resource busy"},
                                          {"/dev/ttyS2", PortAvailability::Missing, "No such file or directory"},
                                          {"/dev/ttyS3", PortAvailability::Missing, "No such file or directory"}};
    SerialDeviceInfo adapter;
    adapter.device = "/dev/ttyUSB0";
    adapter.driver = "ftdi_sio";
    adapter.usbId = "0403:6001";
    adapter.manufacturer = "FTDI";
    adapter.product = "FT232R USB UART";
    adapter.serialNumber = "A1B2C3";
    adapter.stableName = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0";
    adapter.availability = PortAvailability::Denied;
    adapter.detail = "Permission denied (members of the dialout group may: add yourself to it and log in again)";
    const std::string text = FormatPortList(ports, {adapter});
    EXPECT_EQ(text,
              "port 1  COM1  /dev/ttyS0               free\n"
              "port 2  COM2  /dev/ttyUSB0             busy: Device or resource busy\n"
              "port 3  COM3  /dev/ttyS2               missing: No such file or directory\n"
              "port 4  COM4  /dev/ttyS3               missing: No such file or directory\n"
              "\n"
              "Serial devices of this system (use one with --port DEVICE):\n"
              "  /dev/ttyUSB0     not yours to open: Permission denied (members of the dialout group may: add "
              "yourself to it and log in again)\n"
              "    ftdi_sio  USB 0403:6001  FTDI  FT232R USB UART  serial A1B2C3\n"
              "    /dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0\n");
    EXPECT_NE(FormatPortList(ports, {}).find("none found"), std::string::npos);
}

TEST(PortList, AnAdaptersLatencyTimerComesWithTheCommandToLowerItWhenItCostsSpeed) {
    SerialDeviceInfo adapter;
    adapter.device = "/dev/ttyUSB0";
    adapter.driver = "ftdi_sio";
    adapter.availability = PortAvailability::Free;
    adapter.latencyTimer = LatencyTimer{16, "/sys/bus/usb-serial/devices/ttyUSB0/latency_timer"};
    const std::string slow = FormatPortList({}, {adapter});
    EXPECT_NE(slow.find("    latency timer 16 ms: every answer waits that long in the adapter; for full speed: "
                        "echo 1 | sudo tee /sys/bus/usb-serial/devices/ttyUSB0/latency_timer\n"),
              std::string::npos)
        << slow;
    for (const int fast : {1, 2}) {
        adapter.latencyTimer->milliseconds = fast;
        const std::string text = FormatPortList({}, {adapter});
        EXPECT_NE(text.find("    latency timer " + std::to_string(fast) + " ms\n"), std::string::npos) << text;
        EXPECT_EQ(text.find("sudo"), std::string::npos) << text;
    }
    adapter.latencyTimer.reset();
    EXPECT_EQ(FormatPortList({}, {adapter}).find("latency"), std::string::npos);
}

TEST(PortList, APortNotOnItsDefaultSaysWhereItsDeviceComesFrom) {
    const std::vector<PortProbe> ports = {{"/dev/ttyS0", PortAvailability::Free, ""},
                                          {"/dev/ttyUSB0", PortAvailability::Free, ""},
                                          {"/dev/ttyACM0", PortAvailability::Missing, "No such file or directory"},
                                          {"/dev/ttyS3", PortAvailability::Free, ""}};
    const std::string text = FormatPortList(
        ports, {}, {DeviceOrigin::Default, DeviceOrigin::Binding, DeviceOrigin::Environment, DeviceOrigin::Default});
    EXPECT_EQ(text.substr(0, text.find("\n\n")),
              "port 1  COM1  /dev/ttyS0               free\n"
              "port 2  COM2  /dev/ttyUSB0             free  [remembered]\n"
              "port 3  COM3  /dev/ttyACM0             missing: No such file or directory  [DRAVEL_COM3]\n"
              "port 4  COM4  /dev/ttyS3               free");
}

}  // namespace
}  // namespace dravel::cli
