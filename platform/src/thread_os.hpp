#pragma once
// The operating-system half of platform::Thread, implemented in posix/ and win32/.

#include <string>

namespace platform::detail {

// Gives the calling thread its name in the operating system (debuggers, ps, top),
// shortened to what the system allows. Failure is ignored: the name is a diagnostic aid.
void set_os_thread_name(const std::string& name) noexcept;

}  // namespace platform::detail
