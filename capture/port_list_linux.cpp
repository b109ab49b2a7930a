// The serial ports of a Linux system, from /dev and /sys.
#include "capture/serial_port.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace krt460 {
namespace {

namespace fs = std::filesystem;

std::string ReadSysfs(const std::string& path) {
    std::ifstream file(path);
    std::string value;
    std::getline(file, value);
    return value;
}

std::string DriverOf(const std::string& deviceName) {
    std::error_code ignored;
    const fs::path driver =
        fs::read_symlink("/sys/class/tty/" + deviceName + "/device/driver", ignored);
    return driver.empty() ? "" : driver.filename().string();
}

// A built-in UART node exists whether or not hardware stands behind it. Opening it to ask would
// raise DTR and RTS, which can trigger equipment on the line, so sysfs is asked instead: a port
// type other than 0 (unknown) means the kernel found a UART.
bool UartPresent(const std::string& deviceName) {
    const std::string type = ReadSysfs("/sys/class/tty/" + deviceName + "/type");
    return type.empty() ? !DriverOf(deviceName).empty() : type != "0";
}

} // namespace

std::vector<PortInfo> ListSerialPorts() {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/dev", error)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("ttyUSB", 0) == 0 || name.rfind("ttyACM", 0) == 0 ||
            (name.rfind("ttyS", 0) == 0 && UartPresent(name))) {
            names.push_back(name);
        }
    }
    std::sort(names.begin(), names.end(), NaturalLess);
    std::vector<PortInfo> ports;
    const auto mayOpen = [](const std::string& path) {
        return ::access(path.c_str(), R_OK | W_OK) == 0;
    };
    for (const std::string& name : names) {
        const std::string driver = DriverOf(name);
        const std::string path = "/dev/" + name;
        ports.push_back({path, driver.empty() ? "" : "driver " + driver, mayOpen(path)});
    }
    for (const auto& entry : fs::directory_iterator("/dev/serial/by-id", error)) {
        std::error_code ignored;
        const fs::path target = fs::canonical(entry.path(), ignored);
        const std::string path = entry.path().string();
        ports.push_back({path, "-> " + target.string(), mayOpen(path)});
    }
    return ports;
}

} // namespace krt460
