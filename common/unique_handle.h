#pragma once

#include <utility>

namespace krt460 {

// Sole owner of a platform handle whose invalid value is part of the type, so that a file
// handle (invalid: -1 or INVALID_HANDLE_VALUE) and a GDI object (invalid: null) cannot be
// confused. Traits give the handle type, its invalid value and how to close it. Copying is
// deleted; moving hands the handle on.
template <typename Traits> class UniqueHandle {
public:
    using Handle = typename Traits::Handle;

    UniqueHandle() = default;
    explicit UniqueHandle(Handle handle) : handle_(handle) {}
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        reset(other.release());
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    ~UniqueHandle() { reset(); }

    Handle get() const { return handle_; }
    explicit operator bool() const { return handle_ != Traits::Invalid(); }
    Handle release() { return std::exchange(handle_, Traits::Invalid()); }
    void reset(Handle handle = Traits::Invalid()) {
        if (handle_ != Traits::Invalid() && handle_ != handle) {
            Traits::Close(handle_);
        }
        handle_ = handle;
    }

private:
    Handle handle_ = Traits::Invalid();
};

// Traits for handles whose invalid value is a constant expression (null, -1).
template <typename H, auto CloseFunction, H InvalidValue> struct SimpleHandleTraits {
    using Handle = H;
    static constexpr H Invalid() { return InvalidValue; }
    static void Close(H handle) { CloseFunction(handle); }
};

} // namespace krt460
