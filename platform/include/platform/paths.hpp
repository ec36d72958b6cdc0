#pragma once
// Well-known directories and paths.

#include <string>

#include "platform/expected.hpp"

namespace platform {

// The Windows directory (GetSystemWindowsDirectoryA). On POSIX the fixed directory
// QZ_POSIX_WINDOWS_DIR chosen by the build ("/etc" by default).
std::string windows_directory();

// Absolute path of the running executable.
std::string current_executable_path();

}  // namespace platform
