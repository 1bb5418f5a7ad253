// The serial devices of a Linux system, as udev knows them: every tty whose
// device has a driver behind it (virtual consoles and pseudo-terminals have
// none), with what the USB descriptors say of an adapter and the stable
// /dev/serial/by-id/ name that survives replugging.

#include <grp.h>
#include <libudev.h>
#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <memory>

#include "serial/local_line.h"
#include "serial/port_names.h"

namespace dravel {

namespace {

struct UdevDeleter {
    void operator()(udev* context) const { udev_unref(context); }
    void operator()(udev_enumerate* enumeration) const { udev_enumerate_unref(enumeration); }
    void operator()(udev_device* device) const { udev_device_unref(device); }
};

std::string Text(const char* value) { return value ? value : ""; }

// Who may open a device that this user may not: "the dialout group".
std::string GroupHint(const std::string& device) {
    struct stat info{};
    if (::stat(device.c_str(), &info) != 0) return {};
    const group* owners = ::getgrgid(info.st_gid);
    if (owners == nullptr) return {};
    return std::string(" (members of the ") + owners->gr_name + " group may: add yourself to it and log in again)";
}

}  // namespace

std::vector<SerialDeviceInfo> ListSerialDevices()
{
    std::vector<SerialDeviceInfo> devices;
    std::unique_ptr<udev, UdevDeleter> context(udev_new());
    if (!context) return devices;
    std::unique_ptr<udev_enumerate, UdevDeleter> enumeration(udev_enumerate_new(context.get()));
    if (!enumeration) return devices;
    udev_enumerate_add_match_subsystem(enumeration.get(), "tty");
    udev_enumerate_scan_devices(enumeration.get());
    for (udev_list_entry* entry = udev_enumerate_get_list_entry(enumeration.get()); entry != nullptr;
         entry = udev_list_entry_get_next(entry)) {
        std::unique_ptr<udev_device, UdevDeleter> tty(
            udev_device_new_from_syspath(context.get(), udev_list_entry_get_name(entry)));
        if (!tty) continue;
        const char* node = udev_device_get_devnode(tty.get());
        udev_device* parent = udev_device_get_parent(tty.get());  // owned by tty
        const char* driver = parent ? udev_device_get_driver(parent) : nullptr;
        if (node == nullptr || driver == nullptr) continue;

        SerialDeviceInfo info;
        info.device = node;
        info.driver = driver;
        const DeviceProbe probe = ProbeLocalDevice(info.device);
        // A UART the kernel reserves a name for but whose hardware is absent.
        if (probe.result == SerialResult::NoDevice) continue;
        info.availability = AvailabilityOf(probe.result);
        info.detail = probe.detail;
        if (probe.result == SerialResult::Denied) info.detail += GroupHint(info.device);

        for (udev_list_entry* link = udev_device_get_devlinks_list_entry(tty.get()); link != nullptr;
             link = udev_list_entry_get_next(link)) {
            const std::string name = udev_list_entry_get_name(link);
            if (name.rfind("/dev/serial/by-id/", 0) == 0) info.stableName = name;
        }
        if (udev_device* usb = udev_device_get_parent_with_subsystem_devtype(tty.get(), "usb", "usb_device")) {
            const std::string vendor = Text(udev_device_get_sysattr_value(usb, "idVendor"));
            const std::string productId = Text(udev_device_get_sysattr_value(usb, "idProduct"));
            if (!vendor.empty()) info.usbId = vendor + ":" + productId;
            info.manufacturer = Text(udev_device_get_sysattr_value(usb, "manufacturer"));
            info.product = Text(udev_device_get_sysattr_value(usb, "product"));
            info.serialNumber = Text(udev_device_get_sysattr_value(usb, "serial"));
        }
        // The latency timer of an FTDI adapter (other drivers have none).
        if (udev_device* port = udev_device_get_parent_with_subsystem_devtype(tty.get(), "usb-serial", nullptr)) {
            const std::string value = Text(udev_device_get_sysattr_value(port, "latency_timer"));
            int ms = 0;
            if (!value.empty() &&
                std::from_chars(value.data(), value.data() + value.size(), ms).ec == std::errc{}) {
                info.latencyTimer = LatencyTimer{
                    ms, "/sys/bus/usb-serial/devices/" + Text(udev_device_get_sysname(port)) + "/latency_timer"};
            }
        }
        devices.push_back(std::move(info));
    }
    std::sort(devices.begin(), devices.end(),
              [](const SerialDeviceInfo& a, const SerialDeviceInfo& b) { return a.device < b.device; });
    return devices;
}

std::vector<std::string> ListedPortNames() { return {}; }

}  // namespace dravel
