#include "platform/process.hpp"

#include <errno.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace platform {

struct ChildProcess::Impl {
    pid_t pid = -1;
    bool reaped = false;
    int exit_code = -1;

    // Reaps the child once it has ended; later calls return the stored code. With WNOHANG
    // false while the child still runs, else waits for its end.
    bool collect(int options) noexcept {
        if (reaped) {
            return true;
        }
        int status = 0;
        pid_t r;
        do {
            r = ::waitpid(pid, &status, options);
        } while (r < 0 && errno == EINTR);
        if (r == 0) {
            return false;
        }
        reaped = true;
        exit_code = (r == pid && WIFEXITED(status)) ? WEXITSTATUS(status) : -1;
        return true;
    }

    int reap() noexcept {
        collect(0);
        return exit_code;
    }

    ~Impl() {
        if (!reaped) {
            ::kill(pid, SIGKILL);
            reap();
        }
    }
};

Result<ChildProcess> ChildProcess::spawn(const std::string& program,
                                         const std::vector<std::string>& args) {
    std::vector<char*> argv;
    argv.reserve(args.size() + 2);
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);

    // posix_spawnp searches PATH for a bare name and takes a path as it is; the child
    // inherits the standard streams and the environment. glibc reports a failed exec here.
    pid_t pid = -1;
    const int e = ::posix_spawnp(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ);
    if (e != 0) {
        return unexpected(SystemError{"cannot start " + program, e});
    }
    auto impl = std::make_unique<Impl>();
    impl->pid = pid;
    return ChildProcess(std::move(impl));
}

ChildProcess::ChildProcess(std::unique_ptr<Impl> impl) noexcept : impl_(std::move(impl)) {}
ChildProcess::ChildProcess(ChildProcess&&) noexcept = default;
ChildProcess& ChildProcess::operator=(ChildProcess&&) noexcept = default;
ChildProcess::~ChildProcess() = default;

int ChildProcess::wait() {
    return impl_->reap();
}

std::optional<int> ChildProcess::wait_for(std::chrono::milliseconds timeout) {
    // No waitpid with a timeout: poll, finely at first, then every 10 ms.
    const auto end = std::chrono::steady_clock::now() + timeout;
    auto pause = std::chrono::microseconds(100);
    while (!impl_->collect(WNOHANG)) {
        if (std::chrono::steady_clock::now() >= end) {
            return std::nullopt;
        }
        ::usleep(static_cast<useconds_t>(pause.count()));
        pause = std::min(pause * 2, std::chrono::microseconds(10000));
    }
    return impl_->exit_code;
}

void ChildProcess::kill_hard() {
    // Until it is reaped the pid cannot be reused, so this never hits another process.
    if (!impl_->reaped) {
        ::kill(impl_->pid, SIGKILL);
    }
}

int current_process_id() noexcept {
    return static_cast<int>(::getpid());
}

void fatal(const char* message) noexcept {
    // write(2) directly: no buffering, no allocation, safe whatever state the process is in.
    auto write_all = [](const char* text, std::size_t length) {
        while (length > 0) {
            const ssize_t n = ::write(STDERR_FILENO, text, length);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return;
            }
            text += n;
            length -= static_cast<std::size_t>(n);
        }
    };
    write_all(message, std::strlen(message));
    write_all("\n", 1);
    std::abort();
}

}  // namespace platform
