// The COM devices of a Windows system, from the DOS device names.
#include "capture/serial_port.h"

#include <windows.h>

#include <algorithm>
#include <vector>

namespace krt460 {

std::vector<PortInfo> ListSerialPorts() {
    std::vector<char> names(65536);
    const DWORD length = ::QueryDosDeviceA(nullptr, names.data(), static_cast<DWORD>(names.size()));
    std::vector<PortInfo> ports;
    for (const char* name = names.data(); name < names.data() + length && *name != '\0';
         name += std::char_traits<char>::length(name) + 1) {
        if (!ComPortNumber(name)) {
            continue;
        }
        char target[512] = {};
        ::QueryDosDeviceA(name, target, sizeof target);
        ports.push_back({name, target});
    }
    std::sort(ports.begin(), ports.end(), [](const PortInfo& a, const PortInfo& b) {
        return *ComPortNumber(a.name) < *ComPortNumber(b.name);
    });
    return ports;
}

} // namespace krt460
