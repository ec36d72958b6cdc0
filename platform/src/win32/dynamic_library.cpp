#include "platform/dynamic_library.hpp"

#include <windows.h>

#include <utility>

namespace platform {

Result<DynamicLibrary> DynamicLibrary::open(const std::string& name_or_path) {
    HMODULE module = ::LoadLibraryA(name_or_path.c_str());
    if (module == nullptr) {
        return unexpected(SystemError{"LoadLibraryA failed: " + name_or_path,
                                      static_cast<int>(::GetLastError())});
    }
    return DynamicLibrary(reinterpret_cast<void*>(module));
}

DynamicLibrary::DynamicLibrary(DynamicLibrary&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)) {}

DynamicLibrary& DynamicLibrary::operator=(DynamicLibrary&& other) noexcept {
    if (this != &other) {
        if (handle_ != nullptr) {
            ::FreeLibrary(static_cast<HMODULE>(handle_));
        }
        handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
}

DynamicLibrary::~DynamicLibrary() {
    if (handle_ != nullptr) {
        ::FreeLibrary(static_cast<HMODULE>(handle_));
    }
}

void* DynamicLibrary::symbol(const char* name) const noexcept {
    if (handle_ == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(handle_), name));
}

bool keep_library_loaded(const void* address) noexcept {
    HMODULE module = nullptr;
    // A pinned module stays loaded until the process ends, whatever FreeLibrary calls follow.
    return ::GetModuleHandleExA(
               GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
               static_cast<LPCSTR>(address), &module) != 0;
}

std::string shared_library_file_name(const std::string& base) {
    return base + ".dll";
}

}  // namespace platform
