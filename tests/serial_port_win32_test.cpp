#include "capture/serial_port.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>

namespace krt460 {
namespace {

TEST(SerialPortWin32, OnlySerialPortsOpen) {
    // The device form, which COM10 and above need; no other name.
    for (const char* name : {"COM1", "com2", "COM10"}) {
        EXPECT_EQ(SerialDeviceName(name), std::string("\\\\.\\") + name);
    }
    EXPECT_EQ(SerialDeviceName("\\\\.\\COM12"), "\\\\.\\COM12");
    for (const char* name :
         {"\\\\host\\share\\file", "\\\\.\\C:", "\\\\.\\GLOBALROOT\\Device\\Harddisk0",
          "KRT460.ini", "C:\\windows\\win.ini", "COM1:", ""}) {
        EXPECT_EQ(SerialDeviceName(name), "") << '"' << name << '"';
    }
    EXPECT_NE(OpenSerialPort("\\\\localhost\\c$\\windows\\win.ini")
                  .error.Describe()
                  .find("not a port name"),
              std::string::npos);
    // A character device, but no serial port: its comm state cannot be read.
    EXPECT_EQ(OpenSerialPort("\\\\.\\NUL").port, nullptr);
}

// Sets or reads the byte-changing flags of a port from outside the program.
bool ByteChangingFlags(const std::string& port, bool set) {
    const HANDLE handle = ::CreateFileA(("\\\\.\\" + port).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                        nullptr, OPEN_EXISTING, 0, nullptr);
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    EXPECT_TRUE(::GetCommState(handle, &dcb));
    if (set) {
        dcb.fNull = dcb.fDsrSensitivity = dcb.fOutX = dcb.fInX = TRUE;
        EXPECT_TRUE(::SetCommState(handle, &dcb));
    }
    ::CloseHandle(handle);
    return dcb.fNull || dcb.fDsrSensitivity || dcb.fOutX || dcb.fInX;
}

// Wine lets one process open a COM port twice; the program itself must refuse. A port another
// program left with null stripping, DSR sensitivity and XON/XOFF is set back to pass every byte.
// Runs where the test script has mapped a port (KRT460_TEST_PORT).
TEST(SerialPortWin32, HeldPortIsRefusedAndEveryByteChangingFlagIsCleared) {
    const char* port = std::getenv("KRT460_TEST_PORT");
    if (port == nullptr) {
        GTEST_SKIP() << "no serial port mapped";
    }
    ASSERT_TRUE(ByteChangingFlags(port, true));
    OpenResult first = OpenSerialPort(port);
    ASSERT_NE(first.port, nullptr) << first.error.Describe();
    EXPECT_FALSE(ByteChangingFlags(port, false));
    EXPECT_EQ(OpenSerialPort(std::string("\\\\.\\") + port).port, nullptr);
    first.port.reset();
    EXPECT_NE(OpenSerialPort(port).port, nullptr);
    ByteChangingFlags(port, true); // as another program would leave it for the next receive
}

} // namespace
} // namespace krt460
