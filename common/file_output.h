#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace krt460 {

// Writes `bytes` as the whole file `path`. A regular file is written to a temporary file in the
// same folder and renamed into place once complete, so that a full disk or a killed process
// never leaves a truncated file under the name, and an existing file is replaced only by a
// complete new one. An existing file that may not be written is left alone, as it would be by a
// direct write; a device (/dev/null) is written directly. Once in place, the file survives a
// power cut (the folder is flushed too). False with the system's words in `error`;
// `heldOpen` is set when the file is there but another program holds it open so that it cannot
// be replaced now (an image viewer, a virus scanner on Windows): worth trying again shortly.
bool WriteFileAtomically(const std::string& path, std::span<const std::uint8_t> bytes,
                         std::string& error, bool* heldOpen = nullptr);

enum class NewFileResult { Written, NameTaken, Failed };

// As WriteFileAtomically, but never replaces anything: the complete file takes the name only if
// nothing has it at that moment, so that two writers (two programs, or a user copying a file
// in) never overwrite each other. NameTaken, with nothing written, when something has the name;
// the caller tries the next one. Failed with the system's words in `error`, also when the disk
// failed to flush the folder after the file took the name; a failure leaves nothing behind.
NewFileResult WriteNewFileAtomically(const std::string& path, std::span<const std::uint8_t> bytes,
                                     std::string& error);

// Removes a file this process put in place, and flushes its folder so that a power cut cannot
// bring the file back; best effort, as the file is no longer wanted either way.
void RemoveFileDurably(const std::string& path);

// The system's own words for an error number (errno, or GetLastError on Windows).
std::string SystemErrorText(unsigned long code);

} // namespace krt460
