#pragma once
// The process-wide logging facility every layer emits through. Each message has a level,
// a target (the emitting module, for example "tarnlib::can_handle") and a text. The
// global maximum level is tested with one relaxed atomic load before anything is
// formatted: use the QZ_LOG macros, which format only when the level is enabled.
//
// Where lines go is decided by the sink installed at start-up (the RP1210 debug log).

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

namespace platform::log {

enum class Level : int { Off = 0, Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };

// Printed name: "ERROR", "WARN", "INFO", "DEBUG", "TRACE", "OFF".
const char* level_name(Level level) noexcept;

namespace detail {
inline std::atomic<int> max_level{0};
}

inline bool enabled(Level level) noexcept {
    return static_cast<int>(level) <= detail::max_level.load(std::memory_order_relaxed);
}
inline Level max_level() noexcept {
    return static_cast<Level>(detail::max_level.load(std::memory_order_relaxed));
}
void set_max_level(Level level) noexcept;

class Sink {
  public:
    virtual ~Sink() = default;
    // Writes one whole line for the message. Called from any thread.
    virtual void write(Level level, std::string_view target, std::string_view text) noexcept = 0;
};

// Installs the process's sink. Fails (false) when one is installed already.
bool install(std::shared_ptr<Sink> sink);
// Removes the sink and switches the level off (tests and process shutdown).
void uninstall() noexcept;

// Hands the message to the sink, if there is one and the level is enabled.
void emit(Level level, std::string_view target, std::string_view text) noexcept;

// Lines held back while a lock is held that must never wait for the log's file I/O (the
// shared address-claim table's named mutex, which every process takes): added under the
// lock with QZ_LOG_LATER, written by flush() or the destructor once the lock is released.
// Declare it before the lock guard, so that it is destroyed after the guard.
class Deferred {
  public:
    Deferred() = default;
    Deferred(const Deferred&) = delete;
    Deferred& operator=(const Deferred&) = delete;
    ~Deferred() { flush(); }

    void add(Level level, const char* target, std::string text) {
        lines_.push_back(Line{level, target, std::move(text)});
    }
    void flush() noexcept {
        for (const Line& line : lines_) {
            emit(line.level, line.target, line.text);
        }
        lines_.clear();
    }

  private:
    struct Line {
        Level level;
        const char* target;
        std::string text;
    };
    std::vector<Line> lines_;
};

// The time stamp of a log line: UTC, RFC 3339 with milliseconds, for example
// "2024-03-05T14:07:09.042Z". Sub-millisecond digits are cut, not rounded.
std::string format_time(std::chrono::system_clock::time_point time);

// Byte dump for log lines: two upper-case hexadecimal digits per byte, separated by single
// spaces. Call it only after testing that the level is enabled.
std::string hex_dump(const void* data, std::size_t size);

}  // namespace platform::log

#define QZ_LOG(level, target, ...)                                            \
    do {                                                                      \
        if (::platform::log::enabled(level)) {                                \
            ::platform::log::emit(level, target, ::fmt::format(__VA_ARGS__)); \
        }                                                                     \
    } while (0)
// Formats now (when the level is enabled), writes when `deferred` is flushed.
#define QZ_LOG_LATER(deferred, level, target, ...)                     \
    do {                                                               \
        if (::platform::log::enabled(level)) {                         \
            (deferred).add(level, target, ::fmt::format(__VA_ARGS__)); \
        }                                                              \
    } while (0)
#define QZ_LOG_ERROR(target, ...) QZ_LOG(::platform::log::Level::Error, target, __VA_ARGS__)
#define QZ_LOG_WARN(target, ...) QZ_LOG(::platform::log::Level::Warn, target, __VA_ARGS__)
#define QZ_LOG_INFO(target, ...) QZ_LOG(::platform::log::Level::Info, target, __VA_ARGS__)
#define QZ_LOG_DEBUG(target, ...) QZ_LOG(::platform::log::Level::Debug, target, __VA_ARGS__)
#define QZ_LOG_TRACE(target, ...) QZ_LOG(::platform::log::Level::Trace, target, __VA_ARGS__)
