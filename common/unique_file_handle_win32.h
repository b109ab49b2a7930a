#pragma once

#include "common/unique_handle.h"

#include <windows.h>

namespace krt460 {

// A file or device handle. INVALID_HANDLE_VALUE is a cast, not a constant expression, so it is
// returned by a function.
struct FileHandleTraits {
    using Handle = HANDLE;
    static Handle Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(Handle handle) { ::CloseHandle(handle); }
};
using UniqueFileHandle = UniqueHandle<FileHandleTraits>;

} // namespace krt460
