#include "platform/paths.hpp"

#include <unistd.h>

#include <climits>

#ifndef QZ_POSIX_WINDOWS_DIR
#define QZ_POSIX_WINDOWS_DIR "/etc"
#endif

namespace platform {

std::string windows_directory() { return QZ_POSIX_WINDOWS_DIR; }

std::string current_executable_path() {
    char buffer[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) {
        return {};
    }
    return std::string(buffer, static_cast<std::size_t>(n));
}

}  // namespace platform
