#include "platform/dynamic_library.hpp"

#include <dlfcn.h>

#include <utility>

namespace platform {

Result<DynamicLibrary> DynamicLibrary::open(const std::string& name_or_path) {
    void* handle = ::dlopen(name_or_path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* why = ::dlerror();
        return unexpected(SystemError{why != nullptr ? why : "dlopen failed", 0});
    }
    return DynamicLibrary(handle);
}

DynamicLibrary::DynamicLibrary(DynamicLibrary&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)) {}

DynamicLibrary& DynamicLibrary::operator=(DynamicLibrary&& other) noexcept {
    if (this != &other) {
        if (handle_ != nullptr) {
            ::dlclose(handle_);
        }
        handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
}

DynamicLibrary::~DynamicLibrary() {
    if (handle_ != nullptr) {
        ::dlclose(handle_);
    }
}

void* DynamicLibrary::symbol(const char* name) const noexcept {
    return handle_ != nullptr ? ::dlsym(handle_, name) : nullptr;
}

bool keep_library_loaded(const void* address) noexcept {
    Dl_info info{};
    if (::dladdr(address, &info) == 0 || info.dli_fname == nullptr) {
        return false;
    }
    // Loading it again with RTLD_NODELETE marks the loaded library as never unloaded; the
    // reference this takes is kept too.
    return ::dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE) != nullptr;
}

std::string shared_library_file_name(const std::string& base) {
    return "lib" + base + ".so";
}

}  // namespace platform
