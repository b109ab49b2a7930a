// The COM ports of a Windows system, from the registry key that the serial drivers keep of the
// ports present. Nothing is opened.
#include "capture/serial_port.h"

#include <windows.h>

#include <algorithm>

namespace krt460 {

std::vector<PortInfo> ListSerialPorts() {
    std::vector<PortInfo> ports;
    HKEY key = nullptr;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
        ERROR_SUCCESS) {
        return ports;
    }
    for (DWORD index = 0;; ++index) {
        char device[256] = {};
        DWORD deviceLength = sizeof device;
        char port[256] = {};
        DWORD portLength = sizeof port - 1;
        DWORD type = 0;
        const LONG status = ::RegEnumValueA(key, index, device, &deviceLength, nullptr, &type,
                                            reinterpret_cast<BYTE*>(port), &portLength);
        if (status == ERROR_NO_MORE_ITEMS) {
            break;
        }
        if (status == ERROR_SUCCESS && type == REG_SZ && port[0] != '\0') {
            ports.push_back({port, device});
        }
    }
    ::RegCloseKey(key);
    std::sort(ports.begin(), ports.end(),
              [](const PortInfo& a, const PortInfo& b) { return NaturalLess(a.name, b.name); });
    return ports;
}

} // namespace krt460
