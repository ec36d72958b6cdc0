#include "logger.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <system_error>
#include <vector>

#include <fmt/format.h>

#include "platform/clock.hpp"
#include "platform/log.hpp"
#include "platform/named_mutex.hpp"
#include "text_util.hpp"

namespace qz121032 {

namespace fs = std::filesystem;
using platform::log::Level;

namespace {

// Files are opened by their filesystem path, so that on Windows a UTF-8 DebugFile
// value reaches the wide-character file API intact.
#ifdef _WIN32
#define QZ_FILE_MODE(mode) L##mode
std::FILE* open_file(const fs::path& path, const wchar_t* mode) {
    return ::_wfopen(path.c_str(), mode);
}
#else
#define QZ_FILE_MODE(mode) mode
std::FILE* open_file(const fs::path& path, const char* mode) {
    return std::fopen(path.c_str(), mode);
}
#endif

void write_stdout(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

std::string errno_text(int error) {
    if (error == 0) {
        return "incomplete write";
    }
    return std::error_code(error, std::generic_category()).message();
}

// Cuts an existing log file to at most `limit` bytes, keeping whole lines from its end:
// everything after the first line feed at or after offset size - limit (or everything
// from that offset when no line feed follows it). The bytes are moved forward in
// chunks, so a large file is never held in memory. Any failure leaves the trimming
// undone or incomplete, silently.
void trim_log_file(const fs::path& path, std::uint64_t limit) {
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    if (!file) {
        return;
    }
    // The size as an open handle sees it (a directory entry may lag behind on Windows
    // while other handles write the file).
    file.seekg(0, std::ios::end);
    const std::streamoff end = file.tellg();
    if (end < 0 || static_cast<std::uint64_t>(end) <= limit) {
        return;
    }
    const auto size = static_cast<std::uint64_t>(end);
    std::error_code ec;
    std::vector<char> chunk(64 * 1024);
    const auto read_at = [&](std::uint64_t offset, std::size_t count) -> std::size_t {
        file.clear();
        file.seekg(static_cast<std::streamoff>(offset));
        file.read(chunk.data(), static_cast<std::streamsize>(count));
        return file.bad() ? 0 : static_cast<std::size_t>(file.gcount());
    };

    // Find where the kept bytes start.
    const std::uint64_t cut = size - limit;
    std::uint64_t keep_from = cut;
    for (std::uint64_t offset = cut; offset < size;) {
        const std::size_t n = read_at(offset, chunk.size());
        if (n == 0) {
            return;
        }
        const auto* newline = static_cast<const char*>(std::memchr(chunk.data(), '\n', n));
        if (newline != nullptr) {
            keep_from = offset + static_cast<std::uint64_t>(newline - chunk.data()) + 1;
            break;
        }
        offset += n;
    }

    // Move [keep_from, size) to the start of the file.
    std::uint64_t written = 0;
    for (std::uint64_t offset = keep_from; offset < size;) {
        const auto wanted =
            static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), size - offset));
        const std::size_t n = read_at(offset, wanted);
        if (n == 0) {
            return;
        }
        file.clear();
        file.seekp(static_cast<std::streamoff>(written));
        file.write(chunk.data(), static_cast<std::streamsize>(n));
        if (!file) {
            return;
        }
        written += n;
        offset += n;
    }
    file.close();
    if (!file.fail()) {
        fs::resize_file(path, written, ec);
    }
}

// The size bound of an appended debug file (DebugMode 1 with a DebugFileSize): before a
// line would take the file past twice the limit, the file is trimmed to the limit by the
// start-up rule. Every process that logs into the file takes the file's named mutex around
// each line and each trim, so a trim never cuts a line another process is appending, and
// an append always lands at the file's current end (append mode: no stale offset, no
// hole after a trim).
struct FileBound {
    fs::path path;
    std::uint64_t limit = 0;
    std::optional<platform::NamedMutex> lock;  // none if the system gave none: trims race
};

// The named mutex of a debug file, the same name in every process that logs into it.
std::optional<platform::NamedMutex> file_lock(const fs::path& path) {
    std::error_code ec;
    fs::path absolute = fs::absolute(path, ec);
    std::string key = (ec ? path : absolute).lexically_normal().generic_string();
#ifdef _WIN32
    for (char& c : key) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
#endif
    std::uint64_t hash = 0xCBF29CE484222325ULL;  // FNV-1a, 64 bits
    for (const char c : key) {
        hash ^= static_cast<std::uint8_t>(c);
        hash *= 0x100000001B3ULL;
    }
    auto mutex = platform::NamedMutex::open(fmt::format("QZ121032_DEBUG_LOG_{:016X}_LOCK", hash));
    if (!mutex) {
        return std::nullopt;
    }
    return std::move(*mutex);
}

// Writes every line of the process's log to the debug file and, at DebugLevel 1000 and
// up, to standard output. Each output has its own lock and gets one write per line.
class DebugLogSink final : public platform::log::Sink {
  public:
    DebugLogSink(std::FILE* file, Level filter, bool to_stdout, std::optional<FileBound> bound)
        : file_(file), filter_(filter), to_stdout_(to_stdout), bound_(std::move(bound)) {}
    ~DebugLogSink() override { std::fclose(file_); }
    DebugLogSink(const DebugLogSink&) = delete;
    DebugLogSink& operator=(const DebugLogSink&) = delete;

    void write(Level level, std::string_view target, std::string_view text) noexcept override {
        // Trace is never written, whatever the global level is set to.
        if (level == Level::Off || level == Level::Trace ||
            static_cast<int>(level) > static_cast<int>(filter_)) {
            return;
        }
        const std::string line = fmt::format("{} [{}] {}\n", format_log_time(platform::wall_now()),
                                             platform::log::level_name(level), text);
        {
            std::lock_guard lock(file_mutex_);
            std::unique_lock<platform::NamedMutex> shared;
            if (bound_) {
                if (bound_->lock) {
                    shared = std::unique_lock(*bound_->lock);
                }
                // The size through this process's own handle, which appends at the end.
                if (std::fseek(file_, 0, SEEK_END) == 0) {
                    const long size = std::ftell(file_);
                    if (size >= 0 &&
                        static_cast<std::uint64_t>(size) + line.size() > 2 * bound_->limit) {
                        trim_log_file(bound_->path, bound_->limit);
                    }
                }
            }
            errno = 0;
            if (std::fwrite(line.data(), 1, line.size(), file_) != line.size()) {
                const int error = errno;
                std::clearerr(file_);
                report_failure(level, target, text, errno_text(error));
            }
        }
        if (to_stdout_) {
            std::lock_guard lock(stdout_mutex_);
            errno = 0;
            const bool written = std::fwrite(line.data(), 1, line.size(), stdout) == line.size();
            const int error = errno;
            if (std::fflush(stdout) != 0 || !written) {
                std::clearerr(stdout);
                report_failure(level, target, text, errno_text(error != 0 ? error : errno));
            }
        }
    }

  private:
    // A line that could not be written is reported on standard error and not retried.
    static void report_failure(Level level, std::string_view target, std::string_view text,
                               const std::string& error) {
        const std::string record =
            fmt::format("level {}, target {}", platform::log::level_name(level), target);
        const std::string report = fmt::format(
            "Error performing logging.\n"
            "\tattempted to log: {}\n\trecord: {}\n\tlogging error: {}\n",
            text, record, error);
        errno = 0;
        const bool written = std::fwrite(report.data(), 1, report.size(), stderr) == report.size();
        const int stderr_error = errno;
        if (std::fflush(stderr) == 0 && written) {
            return;
        }
        std::clearerr(stderr);
        const std::string second = fmt::format(
            "Error performing stderr logging after error occurred during regular logging.\n"
            "\tattempted to log: {}\n\trecord: {}\n\tlogging error: {}\n\tstderr error: {}\n",
            text, record, error, errno_text(stderr_error != 0 ? stderr_error : errno));
        std::fwrite(second.data(), 1, second.size(), stderr);
        std::fflush(stderr);
        std::clearerr(stderr);
    }

    std::mutex file_mutex_;  // guards writes to file_ and trims; taken before bound_->lock
    std::FILE* const file_;
    const Level filter_;
    const bool to_stdout_;
    std::optional<FileBound> bound_;
    std::mutex stdout_mutex_;  // orders this sink's lines on standard output
};

}  // namespace

std::optional<std::string> start_logging(const IniSettings& settings) {
    if (!settings.vendor || settings.vendor->debug_level <= 0) {
        return std::nullopt;
    }
    const VendorInfo& vendor = *settings.vendor;

    std::FILE* file = nullptr;
    std::optional<FileBound> bound;
    try {
        const fs::path path = text::path_from_utf8(vendor.debug_file);
        if (vendor.debug_mode == 1 && vendor.debug_file_size != 0) {
            bound.emplace();
            bound->path = path;
            bound->limit = std::uint64_t{vendor.debug_file_size} * 1024;
            bound->lock = file_lock(path);
            std::unique_lock<platform::NamedMutex> shared;
            if (bound->lock) {
                shared = std::unique_lock(*bound->lock);
            }
            trim_log_file(path, bound->limit);
        }
        if (vendor.debug_mode == 1) {
            file = open_file(path, QZ_FILE_MODE("ab"));
        } else {
            // Written from the start, over what an earlier run left there.
            file = open_file(path, QZ_FILE_MODE("r+b"));
            if (file == nullptr) {
                file = open_file(path, QZ_FILE_MODE("wb"));
            }
        }
    } catch (const std::exception&) {
        // A DebugFile value that is no valid path on this system: cannot be opened.
    }
    if (file == nullptr) {
        write_stdout(fmt::format("Failed to open log file: {}\n", vendor.debug_file));
        return "Failed to create log file";
    }
    // Unbuffered: each line is one write to the file, and a failed line is not kept in
    // a buffer to be written again later.
    std::setvbuf(file, nullptr, _IONBF, 0);

    const Level filter = vendor.debug_level >= 1000 ? Level::Debug : Level::Info;
    auto sink =
        std::make_shared<DebugLogSink>(file, filter, vendor.debug_level >= 1000, std::move(bound));
    if (!platform::log::install(std::move(sink))) {
        write_stdout("Failed to initialize logging.\n");
        return "Failed to initialize logging";
    }
    platform::log::set_max_level(filter);
    QZ_LOG_INFO(target::kLogger, "Logging started with level {}", vendor.debug_level);
    return std::nullopt;
}

}  // namespace qz121032
