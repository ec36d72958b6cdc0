#include "platform/paths.hpp"

#include <windows.h>

namespace platform {

std::string windows_directory() {
    char buffer[MAX_PATH + 1] = {};
    UINT n = ::GetSystemWindowsDirectoryA(buffer, MAX_PATH);
    if (n == 0 || n > MAX_PATH) {
        return {};
    }
    return std::string(buffer, n);
}

std::string current_executable_path() {
    char buffer[MAX_PATH * 4] = {};
    DWORD n = ::GetModuleFileNameA(nullptr, buffer, sizeof buffer);
    if (n == 0 || n >= sizeof buffer) {
        return {};
    }
    return std::string(buffer, n);
}

}  // namespace platform
