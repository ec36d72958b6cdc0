#pragma once
// The process's environment variables, which child processes inherit.

#include <optional>
#include <string>

namespace platform {

// Sets (or replaces) a variable for this process and the children it starts afterwards.
// False when the system refuses.
bool set_environment_variable(const std::string& name, const std::string& value) noexcept;

// The variable's value, or nullopt when it is not set.
std::optional<std::string> environment_variable(const std::string& name);

}  // namespace platform
