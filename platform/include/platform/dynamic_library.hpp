#pragma once
// Loading a shared library at run time (LoadLibraryA / dlopen).

#include <string>

#include "platform/expected.hpp"

namespace platform {

class DynamicLibrary {
  public:
    // Loads by name through the system's normal search, or by path.
    static Result<DynamicLibrary> open(const std::string& name_or_path);

    DynamicLibrary(DynamicLibrary&& other) noexcept;
    DynamicLibrary& operator=(DynamicLibrary&& other) noexcept;
    DynamicLibrary(const DynamicLibrary&) = delete;
    DynamicLibrary& operator=(const DynamicLibrary&) = delete;
    ~DynamicLibrary();

    // Address of an exported symbol, or null.
    void* symbol(const char* name) const noexcept;

    template <class F>
    F function(const char* name) const noexcept {
        return reinterpret_cast<F>(symbol(name));
    }

  private:
    explicit DynamicLibrary(void* handle) noexcept : handle_(handle) {}
    void* handle_ = nullptr;
};

// Keeps the loaded library that holds the address mapped until the process ends, whatever
// unloads it later: for a library that leaves a thread of its own to end by itself.
// False when the address is in no library or the system refuses.
bool keep_library_loaded(const void* address) noexcept;

// File name of a shared library with the given base name on this platform:
// "tarnlib32" -> "tarnlib32.dll" / "libtarnlib32.so".
std::string shared_library_file_name(const std::string& base);

}  // namespace platform
