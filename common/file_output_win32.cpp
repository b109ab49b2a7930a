// Complete files on Windows: a temporary file beside the target, flushed, then MoveFileExW
// written through to the disk.
#include "common/file_output.h"
#include "common/unique_handle_win32.h"

#include <windows.h>

#include <vector>

namespace krt460 {
namespace {

// Names come from the ANSI world (the dialog's text, the command line).
std::wstring Widen(const std::string& text) {
    const int length = ::MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
    std::vector<wchar_t> wide(static_cast<std::size_t>(length > 0 ? length : 1));
    ::MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide.data(), length);
    return wide.data();
}

std::wstring FolderOf(const std::wstring& path) {
    const std::size_t slash = path.find_last_of(L"\\/:");
    if (slash == std::wstring::npos) {
        return L".";
    }
    return path.substr(0, slash + 1);
}

bool Fail(std::string& error, DWORD code) {
    error = SystemErrorText(code);
    return false;
}

// Writes `bytes` to a temporary file beside the target, flushes it and moves it to the name
// with `moveFlags` (MOVEFILE_WRITE_THROUGH: the move is on the disk when it returns). The
// temporary file is removed again if a step fails. ERROR_SUCCESS or the step's error;
// `moveFailed` tells that all but the move succeeded.
DWORD PlaceFile(const std::string& path, std::span<const std::uint8_t> bytes, DWORD moveFlags,
                bool* moveFailed = nullptr) {
    const std::wstring target = Widen(path);
    wchar_t temporary[MAX_PATH + 1] = {};
    if (::GetTempFileNameW(FolderOf(target).c_str(), L"krt", 0, temporary) == 0) {
        return ::GetLastError();
    }
    DWORD code = ERROR_SUCCESS;
    {
        const UniqueFileHandle file(::CreateFileW(temporary, GENERIC_WRITE, 0, nullptr,
                                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        if (!file ||
            !::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                         nullptr) ||
            written != bytes.size() || !::FlushFileBuffers(file.get())) {
            code = ::GetLastError();
            code = code != ERROR_SUCCESS ? code : ERROR_WRITE_FAULT; // a short write, no error
        }
    }
    if (code == ERROR_SUCCESS && !::MoveFileExW(temporary, target.c_str(), moveFlags)) {
        code = ::GetLastError();
        if (moveFailed != nullptr) {
            *moveFailed = true;
        }
    }
    if (code != ERROR_SUCCESS) {
        ::DeleteFileW(temporary);
    }
    return code;
}

} // namespace

std::string SystemErrorText(unsigned long code) {
    char* buffer = nullptr;
    const DWORD length = ::FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<char*>(&buffer), 0, nullptr);
    std::string text = length != 0 ? std::string(buffer, length) : "error " + std::to_string(code);
    ::LocalFree(buffer);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
        text.pop_back();
    }
    return text;
}

bool WriteFileAtomically(const std::string& path, std::span<const std::uint8_t> bytes,
                         std::string& error, bool* heldOpen) {
    bool moveFailed = false;
    const DWORD code =
        PlaceFile(path, bytes, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH, &moveFailed);
    // A file open without FILE_SHARE_DELETE cannot be replaced: the move is refused.
    if (heldOpen != nullptr) {
        *heldOpen = moveFailed && (code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION);
    }
    return code == ERROR_SUCCESS || Fail(error, code);
}

NewFileResult WriteNewFileAtomically(const std::string& path, std::span<const std::uint8_t> bytes,
                                     std::string& error) {
    const DWORD code = PlaceFile(path, bytes, MOVEFILE_WRITE_THROUGH);
    if (code == ERROR_SUCCESS) {
        return NewFileResult::Written;
    }
    if (code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS) {
        return NewFileResult::NameTaken;
    }
    Fail(error, code);
    return NewFileResult::Failed;
}

void RemoveFileDurably(const std::string& path) {
    ::DeleteFileW(Widen(path).c_str()); // no folder to flush here: NTFS journals the removal
}

} // namespace krt460
