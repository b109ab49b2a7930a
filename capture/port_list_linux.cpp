// The serial ports of a Linux system, from /sys and /dev. Nothing is opened: opening a port
// raises DTR and RTS, which can trigger equipment on the line.
#include "capture/serial_port.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace krt460 {
namespace {

namespace fs = std::filesystem;

std::string ReadSysfs(const fs::path& path) {
    std::ifstream file(path);
    std::string value;
    std::getline(file, value);
    return value;
}

// The driver bound to the device behind a tty, or empty. Virtual consoles, ptys and the
// console have no device, so whatever has one is hardware (or a driver that stands for it).
std::string DriverOf(const fs::path& classEntry) {
    std::error_code ignored;
    return fs::read_symlink(classEntry / "device" / "driver", ignored).filename().string();
}

// A built-in UART node exists whether or not hardware stands behind it: a port type other
// than 0 (unknown) means the kernel found a UART there.
bool NoUart(const std::string& name, const fs::path& classEntry) {
    return name.rfind("ttyS", 0) == 0 && ReadSysfs(classEntry / "type") == "0";
}

bool MayOpen(const std::string& path) {
    return ::access(path.c_str(), R_OK | W_OK) == 0;
}

std::vector<PortInfo> SortedByName(std::vector<PortInfo> ports) {
    std::sort(ports.begin(), ports.end(),
              [](const PortInfo& a, const PortInfo& b) { return NaturalLess(a.name, b.name); });
    return ports;
}

// Links to ports, each with the port it names now; links to nothing (an adapter gone) are left
// out.
void AddLinks(const std::vector<fs::path>& links, std::vector<PortInfo>& ports) {
    std::vector<PortInfo> found;
    for (const fs::path& link : links) {
        std::error_code error;
        const fs::path target = fs::canonical(link, error);
        if (!error && fs::is_symlink(link, error)) {
            found.push_back({link.string(), "-> " + target.string(), MayOpen(link.string())});
        }
    }
    for (PortInfo& port : SortedByName(std::move(found))) {
        ports.push_back(std::move(port));
    }
}

std::vector<fs::path> FolderEntries(const fs::path& folder) {
    std::vector<fs::path> entries;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        entries.push_back(entry.path());
    }
    return entries;
}

} // namespace

std::vector<PortInfo> ListSerialPorts() {
    std::vector<PortInfo> devices;
    for (const fs::path& classEntry : FolderEntries("/sys/class/tty")) {
        const std::string name = classEntry.filename().string();
        const std::string driver = DriverOf(classEntry);
        const std::string path = "/dev/" + name;
        std::error_code error;
        if (!driver.empty() && !NoUart(name, classEntry) && fs::exists(path, error)) {
            devices.push_back({path, "driver " + driver, MayOpen(path)});
        }
    }
    // Bluetooth serial links (rfcomm bind) have no driver of their own in sysfs.
    for (const fs::path& node : FolderEntries("/dev")) {
        const std::string path = node.string();
        if (node.filename().string().rfind("rfcomm", 0) == 0 &&
            std::none_of(devices.begin(), devices.end(),
                         [&](const PortInfo& port) { return port.name == path; })) {
            devices.push_back({path, "Bluetooth serial link", MayOpen(path)});
        }
    }
    std::vector<PortInfo> ports = SortedByName(std::move(devices));
    // The stable names: the Raspberry Pi's UART aliases, and udev's names for USB adapters,
    // which keep naming the same adapter whichever order things are plugged in.
    AddLinks({"/dev/serial0", "/dev/serial1"}, ports);
    AddLinks(FolderEntries("/dev/serial/by-id"), ports);
    AddLinks(FolderEntries("/dev/serial/by-path"), ports);
    return ports;
}

} // namespace krt460
