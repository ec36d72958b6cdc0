#include "platform/process.hpp"

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "handle.hpp"

namespace platform {

namespace {

// Quotes one argument so that the C runtime's command-line parser (CommandLineToArgvW
// rules) gives it back unchanged: backslashes are literal except before a quote, where
// they are doubled, and the quote itself is escaped.
void append_quoted(std::string& line, const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) {
        line += arg;
        return;
    }
    line += '"';
    std::size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"') {
            line.append(backslashes * 2 + 1, '\\');
        } else {
            line.append(backslashes, '\\');
        }
        backslashes = 0;
        line += c;
    }
    // Before the closing quote every backslash is doubled.
    line.append(backslashes * 2, '\\');
    line += '"';
}

// The exit code kill_hard gives the child, so that wait() reports -1 after a kill, as on
// POSIX for a signal.
constexpr UINT kKilledExitCode = static_cast<UINT>(-1);

}  // namespace

struct ChildProcess::Impl {
    win32::UniqueHandle process;
    bool reaped = false;
    int exit_code = -1;

    int reap() noexcept {
        if (reaped) {
            return exit_code;
        }
        DWORD code = kKilledExitCode;
        if (::WaitForSingleObject(process.get(), INFINITE) != WAIT_OBJECT_0 ||
            !::GetExitCodeProcess(process.get(), &code)) {
            code = kKilledExitCode;
        }
        reaped = true;
        exit_code = static_cast<int>(code);
        return exit_code;
    }

    ~Impl() {
        if (process && !reaped) {
            ::TerminateProcess(process.get(), kKilledExitCode);
            reap();
        }
    }
};

Result<ChildProcess> ChildProcess::spawn(const std::string& program,
                                         const std::vector<std::string>& args) {
    // The program name follows the rules for argv[0]: quotes delimit, nothing is escaped
    // (a path cannot contain a quote).
    std::string line = "\"" + program + "\"";
    for (const auto& arg : args) {
        line += ' ';
        append_quoted(line, arg);
    }

    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = ::GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION info{};
    // No application name: the first token is searched for like a command, as posix_spawnp
    // does. Handle inheritance passes the standard streams on. Under wine on a loaded
    // machine the call has now and then failed at once for a program that exists (once in
    // some thousand starts): such a start is tried twice more.
    for (int attempt = 1;; ++attempt) {
        if (::CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                             &startup, &info)) {
            break;
        }
        const DWORD error = ::GetLastError();
        if (attempt == 3 || error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            return unexpected(
                SystemError{"cannot start " + program + " (error " + std::to_string(error) + ")",
                            static_cast<int>(error)});
        }
        ::Sleep(50);
    }
    ::CloseHandle(info.hThread);
    auto impl = std::make_unique<Impl>();
    impl->process.reset(info.hProcess);
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
    if (!impl_->reaped &&
        ::WaitForSingleObject(impl_->process.get(), static_cast<DWORD>(timeout.count())) ==
            WAIT_TIMEOUT) {
        return std::nullopt;
    }
    return impl_->reap();
}

void ChildProcess::kill_hard() {
    if (!impl_->reaped) {
        ::TerminateProcess(impl_->process.get(), kKilledExitCode);
    }
}

int current_process_id() noexcept {
    return static_cast<int>(::GetCurrentProcessId());
}

void fatal(const char* message) noexcept {
    // WriteFile directly: unbuffered, and no abort() dialog afterwards.
    HANDLE error = ::GetStdHandle(STD_ERROR_HANDLE);
    if (error != nullptr && error != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        ::WriteFile(error, message, static_cast<DWORD>(std::strlen(message)), &written, nullptr);
        ::WriteFile(error, "\r\n", 2, &written, nullptr);
    }
    ::TerminateProcess(::GetCurrentProcess(), 3);
    std::_Exit(3);
}

}  // namespace platform
