#include "platform/environment.hpp"

#include <windows.h>

#include <stdlib.h>

namespace platform {

bool set_environment_variable(const std::string& name, const std::string& value) noexcept {
    // Both copies: the C runtime's (getenv in this process) and the system's (what
    // CreateProcess hands to children).
    return ::_putenv_s(name.c_str(), value.c_str()) == 0 &&
           ::SetEnvironmentVariableA(name.c_str(), value.c_str()) != 0;
}

std::optional<std::string> environment_variable(const std::string& name) {
    const DWORD needed = ::GetEnvironmentVariableA(name.c_str(), nullptr, 0);
    if (needed == 0) {
        return std::nullopt;
    }
    std::string value(needed, '\0');
    const DWORD length = ::GetEnvironmentVariableA(name.c_str(), value.data(), needed);
    value.resize(length);
    return value;
}

}  // namespace platform
