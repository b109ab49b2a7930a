#pragma once

#include "common/unique_handle.h"

#include <windows.h>

namespace krt460 {

namespace detail {
inline void CloseKernelHandle(HANDLE handle) {
    ::CloseHandle(handle);
}
} // namespace detail

// A file or device handle. INVALID_HANDLE_VALUE is a cast, not a constant expression, so it is
// returned by a function.
struct FileHandleTraits {
    using Handle = HANDLE;
    static Handle Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(Handle handle) { detail::CloseKernelHandle(handle); }
};
using UniqueFileHandle = UniqueHandle<FileHandleTraits>;

// Kernel objects whose invalid value is null (threads, processes, events).
using UniqueKernelHandle =
    UniqueHandle<SimpleHandleTraits<HANDLE, detail::CloseKernelHandle, nullptr>>;

} // namespace krt460
