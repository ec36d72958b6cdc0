#include "platform/console.hpp"

#include <windows.h>

namespace platform {

bool stdout_is_terminal() noexcept {
    // Only a console handle has a console mode; files and pipes make the call fail.
    DWORD mode = 0;
    HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    return out != nullptr && out != INVALID_HANDLE_VALUE && ::GetConsoleMode(out, &mode) != 0;
}

}  // namespace platform
