#include "capture/serial_port.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace krt460 {
namespace {

TEST(SerialPortWin32, OnlyComPortNamesReachCreateFile) {
    const std::pair<const char*, const char*> cases[] = {
        {"COM1", "\\\\.\\COM1"},
        {"com2", "\\\\.\\com2"},
        {"COM10", "\\\\.\\COM10"},
        {"\\\\.\\COM12", "\\\\.\\COM12"},
        {"\\\\host\\share\\file", ""},
        {"\\\\.\\C:", ""},
        {"\\\\.\\GLOBALROOT\\Device\\Harddisk0", ""},
        {"KRT460.ini", ""},
        {"C:\\windows\\win.ini", ""},
        {"COM1:", ""},
        {"", ""},
    };
    for (const auto& [name, device] : cases) {
        EXPECT_EQ(SerialDeviceName(name), device) << '"' << name << '"';
    }
}

TEST(SerialPortWin32, RefusedNameFailsLikeAMissingPort) {
    const OpenResult result = OpenSerialPort("\\\\localhost\\c$\\windows\\win.ini");
    EXPECT_EQ(result.port, nullptr);
    EXPECT_NE(result.error.Describe().find("not a port name"), std::string::npos);
}

// Wine lets one process open a COM port twice; the program itself must refuse. Runs where the
// test script has mapped a port (KRT460_TEST_PORT).
TEST(SerialPortWin32, SecondOpenOfAHeldPortIsRefused) {
    const char* port = std::getenv("KRT460_TEST_PORT");
    if (port == nullptr) {
        GTEST_SKIP() << "no serial port mapped";
    }
    OpenResult first = OpenSerialPort(port);
    ASSERT_NE(first.port, nullptr) << first.error.Describe();
    const OpenResult second = OpenSerialPort(std::string("\\\\.\\") + port);
    EXPECT_EQ(second.port, nullptr);
    EXPECT_FALSE(second.error.text.empty());
    first.port.reset();
    EXPECT_NE(OpenSerialPort(port).port, nullptr);
}

} // namespace
} // namespace krt460
