#pragma once
// The operating-system half of platform::Thread, implemented in posix/ and win32/.

#include <functional>
#include <string>

#include "platform/thread.hpp"

namespace platform::detail {

// Starts a thread running the body; null when the system refuses. Join waits for its end;
// the deleter frees it, letting a thread that still runs go on alone.
OsThread* start_os_thread(std::function<void()> body);
void join_os_thread(OsThread& thread) noexcept;
bool is_current_os_thread(const OsThread& thread) noexcept;

// Gives the calling thread its name in the operating system (debuggers, ps, top),
// shortened to what the system allows. Failure is ignored: the name is a diagnostic aid.
void set_os_thread_name(const std::string& name) noexcept;

}  // namespace platform::detail
