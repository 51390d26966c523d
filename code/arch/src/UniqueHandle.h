// Move-only owner of one handle of any kind the host holds. One traits struct
// per kind names the empty value and the close call; the raw value leaves the
// owner only through release().
#pragma once

#include "WinApi.h"

#include <utility>

// A close must not change the error a caller is about to read: the owner is
// often destroyed between the failing call and the caller's look at the
// reason. Both values are kept; Windows happens to store them in one place,
// but nothing promises that.
class LastErrorKeeper {
public:
    LastErrorKeeper() = default;
    ~LastErrorKeeper()
    {
        WSASetLastError(mSocketError);
        SetLastError(mError);
    }
    LastErrorKeeper(const LastErrorKeeper&) = delete;
    LastErrorKeeper& operator=(const LastErrorKeeper&) = delete;

private:
    DWORD mError = GetLastError();
    int mSocketError = WSAGetLastError();
};

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
        if (Traits::isValid(old)) {
            const LastErrorKeeper keeper;
            Traits::close(old);
        }
    }

private:
    Handle mHandle = Traits::empty();
};

// Events, processes, threads. Some calls fail with null, others with
// INVALID_HANDLE_VALUE: neither is closed.
struct KernelHandleTraits {
    using Handle = HANDLE;
    static Handle empty() { return nullptr; }
    static bool isValid(Handle h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void close(Handle h) { CloseHandle(h); }
};
using ScopedHandle = UniqueHandle<KernelHandleTraits>;

struct SocketTraits {
    using Handle = SOCKET;
    static Handle empty() { return INVALID_SOCKET; }
    static bool isValid(Handle s) { return s != INVALID_SOCKET; }
    static void close(Handle s) { closesocket(s); }
};
