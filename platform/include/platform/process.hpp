#pragma once
// Child processes, for tools and multi-process tests. A ChildProcess is used from one
// thread at a time.

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/expected.hpp"

namespace platform {

class ChildProcess {
  public:
    // Starts the program with the arguments (argv[1..]); standard streams are inherited.
    static Result<ChildProcess> spawn(const std::string& program,
                                      const std::vector<std::string>& args);

    ChildProcess(ChildProcess&&) noexcept;
    ChildProcess& operator=(ChildProcess&&) noexcept;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    // Kills a child that is still running and reaps it.
    ~ChildProcess();

    // Waits for the exit and returns the exit code (-1 when killed by a signal).
    int wait();
    // Waits at most the timeout: the exit code as wait() gives it, or nullopt while the
    // child still runs (a test's bound on a child that hangs).
    std::optional<int> wait_for(std::chrono::milliseconds timeout);
    // Kills hard: SIGKILL / TerminateProcess. The child gets no chance to clean up.
    void kill_hard();

    struct Impl;

  private:
    explicit ChildProcess(std::unique_ptr<Impl> impl) noexcept;
    std::unique_ptr<Impl> impl_;
};

// The identifier of the calling process (getpid / GetCurrentProcessId).
int current_process_id() noexcept;

// Ends the process at once with the message on standard error, for broken invariants.
[[noreturn]] void fatal(const char* message) noexcept;

}  // namespace platform
