#pragma once
// Ownership of a Windows kernel object handle.

#include <windows.h>

#include <utility>

namespace platform::win32 {

class UniqueHandle {
  public:
    explicit UniqueHandle(HANDLE handle = nullptr) noexcept : handle_(handle) {}
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) {
            reset(std::exchange(other.handle_, nullptr));
        }
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    ~UniqueHandle() { reset(); }

    HANDLE get() const noexcept { return handle_; }
    explicit operator bool() const noexcept { return handle_ != nullptr; }
    void reset(HANDLE handle = nullptr) noexcept {
        if (handle_ != nullptr) {
            ::CloseHandle(handle_);
        }
        handle_ = handle;
    }

  private:
    HANDLE handle_;
};

// Resolves a kernel32 (or other loaded module) function that older systems, older mingw
// headers or wine may lack. Going through void* keeps -Wcast-function-type quiet.
template <class F>
F resolve(const wchar_t* module, const char* name) noexcept {
    HMODULE handle = ::GetModuleHandleW(module);
    if (handle == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<F>(reinterpret_cast<void*>(::GetProcAddress(handle, name)));
}

}  // namespace platform::win32
