// One owner for every kind of handle the program holds: kernel objects, libraries, and the
// device files, interface sets and notification registrations of the device seam.
#pragma once

#include <windows.h>

#include <utility>

// UniqueHandle owns one handle and ends it, through its Traits, when it ends or is reset.
// Traits says what the handle is and how it ends, and may carry what ending it needs (the
// table that produced it, say), which the owner then offers as its own members:
//   using Handle = ...;                       the handle's type
//   static bool IsValid(Handle);              it holds something
//   void Close(Handle) const;                 ends it
// Move it to hand the handle on; it cannot be copied.
template <class Traits> class UniqueHandle : public Traits {
public:
    using Handle = typename Traits::Handle;

    UniqueHandle() = default;
    explicit UniqueHandle(Handle handle) : m_Handle(handle) {}
    UniqueHandle(const Traits& traits, Handle handle) : Traits(traits), m_Handle(handle) {}
    ~UniqueHandle() { Reset(); }
    UniqueHandle(UniqueHandle&& other) noexcept
        : Traits(other), m_Handle(std::exchange(other.m_Handle, Handle{})) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) {
            Reset();
            static_cast<Traits&>(*this) = other;
            m_Handle = std::exchange(other.m_Handle, Handle{});
        }
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    bool Valid() const { return Traits::IsValid(m_Handle); }
    Handle Get() const { return m_Handle; }
    // For the calls that hand a new handle out through a pointer: the one held before is
    // ended first.
    Handle* Put() {
        Reset();
        return &m_Handle;
    }
    void Reset(Handle handle = Handle{}) {
        if (Valid())
            Traits::Close(m_Handle);
        m_Handle = handle;
    }

private:
    Handle m_Handle{};
};

// A kernel object's handle (an event, a file, a pipe end, a process or a thread): both
// null and INVALID_HANDLE_VALUE mean "no handle".
struct KernelHandleTraits {
    using Handle = HANDLE;
    static bool IsValid(HANDLE handle) { return handle && handle != INVALID_HANDLE_VALUE; }
    void Close(HANDLE handle) const { ::CloseHandle(handle); }
};
using UniqueKernelHandle = UniqueHandle<KernelHandleTraits>;

// A library loaded into the process.
struct LibraryTraits {
    using Handle = HMODULE;
    static bool IsValid(HMODULE module) { return module != nullptr; }
    void Close(HMODULE module) const { ::FreeLibrary(module); }
};
using UniqueLibrary = UniqueHandle<LibraryTraits>;
