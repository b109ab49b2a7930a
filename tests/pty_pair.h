#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace krt460::test {

// A pseudo-terminal: the test writes to the master, the code under test opens the slave by
// name as it would a serial device.
class PtyPair {
public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    const std::string& SlavePath() const { return slavePath_; }
    void Write(const std::vector<std::uint8_t>& bytes) const;
    // What the kernel does to a line whose USB adapter is pulled (TIOCVHANGUP; needs root).
    bool HangUp() const;

private:
    int master_ = -1;
    std::string slavePath_;
};

} // namespace krt460::test
