// Windows backend support: the one header that owns the Windows includes and
// the owning handle template (one traits class per handle kind).
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// These need the types of windows.h first.
#include <bcrypt.h>
#include <sddl.h>
#include <shellapi.h>

#include <utility>

namespace kavo::win32 {

// Loads a system library by bare name from the system directory only, with
// the libraries it imports in turn; null (and the thread's last error) when
// it is not there. Every run-time load of our own goes through here.
HMODULE load_system_library(const wchar_t* name);

template <class Traits>
class UniqueHandle {
  public:
    using Value = typename Traits::Value;

    UniqueHandle() = default;
    explicit UniqueHandle(Value value) : value_(value) {}
    ~UniqueHandle() { reset(); }
    UniqueHandle(UniqueHandle&& other) noexcept
        : value_(std::exchange(other.value_, Traits::invalid())) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) {
            reset();
            value_ = std::exchange(other.value_, Traits::invalid());
        }
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    Value get() const { return value_; }
    bool valid() const { return value_ != Traits::invalid(); }
    Value release() { return std::exchange(value_, Traits::invalid()); }
    void reset(Value value = Traits::invalid()) {
        if (valid()) {
            Traits::close(value_);
        }
        value_ = value;
    }

  private:
    Value value_ = Traits::invalid();
};

// Kernel handles whose failure value is INVALID_HANDLE_VALUE (CreateFileW,
// CreateNamedPipeW).
struct FileHandleTraits {
    using Value = HANDLE;
    static Value invalid() { return INVALID_HANDLE_VALUE; }
    static void close(Value value) { ::CloseHandle(value); }
};
using UniqueFileHandle = UniqueHandle<FileHandleTraits>;

// Directory searches (FindFirstFileExW), closed with FindClose.
struct FindHandleTraits {
    using Value = HANDLE;
    static Value invalid() { return INVALID_HANDLE_VALUE; }
    static void close(Value value) { ::FindClose(value); }
};
using UniqueFindHandle = UniqueHandle<FindHandleTraits>;

// Kernel handles whose failure value is null (processes, threads, jobs).
struct KernelHandleTraits {
    using Value = HANDLE;
    static Value invalid() { return nullptr; }
    static void close(Value value) { ::CloseHandle(value); }
};
using UniqueKernelHandle = UniqueHandle<KernelHandleTraits>;

// Memory owned by LocalAlloc (security descriptors, CommandLineToArgvW).
struct LocalMemoryTraits {
    using Value = HLOCAL;
    static Value invalid() { return nullptr; }
    static void close(Value value) { ::LocalFree(value); }
};
using UniqueLocalMemory = UniqueHandle<LocalMemoryTraits>;

// Handles of the service control manager and of services.
struct ServiceHandleTraits {
    using Value = SC_HANDLE;
    static Value invalid() { return nullptr; }
    static void close(Value value) { ::CloseServiceHandle(value); }
};
using UniqueServiceHandle = UniqueHandle<ServiceHandleTraits>;

// Open registry keys (RegCreateKeyExW, RegOpenKeyExW), closed with
// RegCloseKey.
struct RegistryKeyTraits {
    using Value = HKEY;
    static Value invalid() { return nullptr; }
    static void close(Value value) { ::RegCloseKey(value); }
};
using UniqueRegistryKey = UniqueHandle<RegistryKeyTraits>;

}  // namespace kavo::win32
