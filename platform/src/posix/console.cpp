#include "platform/console.hpp"

#include <unistd.h>

namespace platform {

bool stdout_is_terminal() noexcept {
    return ::isatty(STDOUT_FILENO) == 1;
}

}  // namespace platform
