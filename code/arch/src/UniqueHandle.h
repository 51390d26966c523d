// Move-only owner of one Windows handle. Traits name the empty value and the
// release call; the raw value leaves the owner only through release().
#pragma once

#include "WinApi.h"

#include <utility>

template <typename Traits>
class UniqueHandle {
public:
    using Handle = typename Traits::Handle;

    UniqueHandle() = default;
    explicit UniqueHandle(Handle handle) : mHandle(handle) {}
    ~UniqueHandle() { reset(); }

    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&& other) noexcept : mHandle(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }

    Handle get() const { return mHandle; }
    bool valid() const { return Traits::isValid(mHandle); }
    explicit operator bool() const { return valid(); }

    Handle release() { return std::exchange(mHandle, Traits::empty()); }
    void reset(Handle handle = Traits::empty())
    {
        Handle old = std::exchange(mHandle, handle);
        if (Traits::isValid(old))
            Traits::close(old);
    }

private:
    Handle mHandle = Traits::empty();
};

struct KernelHandleTraits {
    using Handle = HANDLE;
    static Handle empty() { return nullptr; }
    static bool isValid(Handle h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void close(Handle h) { CloseHandle(h); }
};
using ScopedHandle = UniqueHandle<KernelHandleTraits>;
