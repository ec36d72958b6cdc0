#include "platform/dynamic_library.hpp"

#include <windows.h>

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

std::string shared_library_file_name(const std::string& base) { return base + ".dll"; }

}  // namespace platform
