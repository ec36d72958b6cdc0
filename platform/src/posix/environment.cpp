#include "platform/environment.hpp"

#include <stdlib.h>

namespace platform {

bool set_environment_variable(const std::string& name, const std::string& value) noexcept {
    return ::setenv(name.c_str(), value.c_str(), 1) == 0;
}

std::optional<std::string> environment_variable(const std::string& name) {
    const char* value = ::getenv(name.c_str());
    if (value == nullptr) {
        return std::nullopt;
    }
    return std::string(value);
}

}  // namespace platform
