#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace krt460::test {

std::vector<std::uint8_t> ReadFileBytes(const std::filesystem::path& path);
void WriteFileBytes(const std::filesystem::path& path, const std::string& bytes);

// A fresh directory for one test, removed with the object.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::filesystem::path& Path() const { return path_; }
    std::string File(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

// Removes write permission; false when this process could still write the file (an
// administrator or root ignores the read-only flag), so that a test can skip.
bool MakeReadOnly(const std::filesystem::path& path);

} // namespace krt460::test
