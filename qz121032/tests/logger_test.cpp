// Debug log: start-up from the vendor keys, trimming, levels, outputs, line format and
// failures, against real files.

#include "logger.hpp"

#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/log.hpp"
#include "platform/paths.hpp"
#include "platform/process.hpp"
#include "temp_dir.hpp"

namespace qz121032 {
namespace {

namespace fs = std::filesystem;
using platform::log::Level;
using testing::read_file;
using testing::TempDir;

// The messages of the lines in `text` ("[LEVEL] text"), after checking that each line
// starts with a time stamp shaped like "2024-03-05T14:07:09.042Z " and ends with a LF.
std::vector<std::string> messages_of(const std::string& text) {
    constexpr std::string_view shape = "0000-00-00T00:00:00.000Z ";
    std::vector<std::string> messages;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::string line = text.substr(start, end - start);
        if (line.size() < shape.size()) {
            ADD_FAILURE() << line;
            continue;
        }
        for (std::size_t i = 0; i < shape.size(); ++i) {
            EXPECT_TRUE(shape[i] == '0' ? std::isdigit(static_cast<unsigned char>(line[i]))
                                        : line[i] == shape[i])
                << line;
        }
        messages.push_back(line.substr(shape.size()));
    }
    EXPECT_EQ(start, text.size()) << "text after the last line feed";
    return messages;
}

class LoggerTest : public ::testing::Test {
  protected:
    void TearDown() override { platform::log::uninstall(); }

    IniSettings settings(int level, std::uint32_t mode, std::uint32_t size_kb = 0) const {
        IniSettings s;
        s.vendor.emplace();
        s.vendor->debug_level = level;
        s.vendor->debug_file = log_path.string();
        s.vendor->debug_mode = mode;
        s.vendor->debug_file_size = size_kb;
        return s;
    }

    static void log_each_level() {
        QZ_LOG_ERROR(target::kLib, "e {}", 1);
        QZ_LOG_WARN(target::kLib, "w {}", 2);
        QZ_LOG_INFO(target::kLib, "i {}", 3);
        QZ_LOG_DEBUG(target::kLib, "d {}", 4);
        QZ_LOG_TRACE(target::kLib, "t {}", 5);
    }

    TempDir dir;
    fs::path log_path = dir / "qz121032.log";
};

TEST_F(LoggerTest, LevelZeroOrNoVendorLeavesLoggingOff) {
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(start_logging(settings(0, 1, 1)), std::nullopt);
    EXPECT_EQ(start_logging(settings(-1, 1)), std::nullopt);
    EXPECT_EQ(start_logging(IniSettings{}), std::nullopt);
    log_each_level();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_FALSE(fs::exists(log_path));
    EXPECT_EQ(platform::log::max_level(), Level::Off);
}

TEST_F(LoggerTest, LevelsAndOutputs) {
    // Below 1000: info and up, appended to the file only. 1000: debug too, also on stdout.
    for (const int level : {3, 1000}) {
        SCOPED_TRACE(level);
        dir.write("qz121032.log", "earlier line\n");
        ::testing::internal::CaptureStdout();
        ASSERT_EQ(start_logging(settings(level, 1)), std::nullopt);
        EXPECT_EQ(platform::log::max_level(), level == 3 ? Level::Info : Level::Debug);
        log_each_level();
        platform::log::set_max_level(Level::Trace);  // trace lines are never written
        QZ_LOG_TRACE(target::kLib, "trace");
        const std::string out = ::testing::internal::GetCapturedStdout();
        platform::log::uninstall();

        std::vector<std::string> expected = {
            "[INFO] Logging started with level " + std::to_string(level), "[ERROR] e 1",
            "[WARN] w 2", "[INFO] i 3"};
        if (level == 1000) {
            expected.push_back("[DEBUG] d 4");
        }
        const std::string text = read_file(log_path);
        ASSERT_EQ(text.rfind("earlier line\n", 0), 0u);
        EXPECT_EQ(messages_of(text.substr(13)), expected);
        EXPECT_EQ(messages_of(out), level == 3 ? std::vector<std::string>{} : expected);
    }
}

TEST_F(LoggerTest, AppendModeTrimsAnOversizedFileToWholeLines) {
    // 50 lines of 100 bytes: "line 00 xxx...\n" to "line 49 xxx...\n".
    std::string old;
    for (int i = 0; i < 50; ++i) {
        std::string line = "line " + std::string(i < 10 ? "0" : "") + std::to_string(i) + " ";
        line.resize(99, 'x');
        old += line + '\n';
    }
    ASSERT_EQ(old.size(), 5000u);
    dir.write("qz121032.log", old);

    ASSERT_EQ(start_logging(settings(3, 1, 1)), std::nullopt);
    const std::string text = read_file(log_path);
    // The limit is 1024 bytes: the cut is at 5000 - 1024 = 3976, inside line 39
    // (bytes 3900 to 3999), so lines 40 to 49 are kept, then the new start line.
    const std::string kept = old.substr(4000);
    ASSERT_EQ(text.substr(0, kept.size()), kept);
    EXPECT_EQ(messages_of(text.substr(kept.size())),
              (std::vector<std::string>{"[INFO] Logging started with level 3"}));
}

// While running, an appended file with a DebugFileSize stays within twice the limit: it is
// trimmed to the limit by the start-up rule whenever a line would take it past, and the
// newest lines stay whole.
TEST_F(LoggerTest, AppendedFileStaysWithinTwiceTheLimitWhileRunning) {
    ASSERT_EQ(start_logging(settings(3, 1, 1)), std::nullopt);
    std::uintmax_t largest = 0;
    for (int i = 0; i < 3000; ++i) {
        QZ_LOG_INFO(target::kLib, "line {} {}", i,
                    std::string(static_cast<std::size_t>(i % 90), 'x'));
        const std::uintmax_t size = fs::file_size(log_path);
        ASSERT_LE(size, 2048u) << "after line " << i;
        largest = std::max(largest, size);
    }
    EXPECT_GT(largest, 1900u) << "the file was trimmed long before it reached the bound";
    const std::vector<std::string> lines = messages_of(read_file(log_path));
    ASSERT_GE(lines.size(), 8u);
    EXPECT_EQ(lines.back(), "[INFO] line 2999 " + std::string(2999 % 90, 'x'));
    for (std::size_t i = 1; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].rfind("[INFO] line ", 0), 0u) << lines[i];
    }
}

// Two processes append to one bounded file: after any number of trims by either, both go
// on writing whole lines, each at the file's end (no line lost to a stale offset, none
// written beyond the end into a hole).
TEST_F(LoggerTest, TwoProcessesKeepWritingWholeLinesAcrossTrims) {
    std::vector<platform::ChildProcess> children;
    for (const char* id : {"a", "b"}) {
        auto child = platform::ChildProcess::spawn(
            platform::current_executable_path(),
            {"--child", "log", log_path.string(), id, "2000", dir.path().string()});
        ASSERT_TRUE(child) << child.error().what;
        children.push_back(std::move(*child));
    }
    for (auto& child : children) {
        EXPECT_EQ(child.wait_for(std::chrono::minutes(2)), 0);
    }
    const std::string text = read_file(log_path);
    EXPECT_LE(text.size(), 2048u);
    EXPECT_EQ(text.find('\0'), std::string::npos) << "a hole in the file";
    // Each child's lines appear in its order; both children's closing lines, written after
    // both had passed many trims, are all there.
    int last[2] = {-1, -1};
    int closing[2] = {0, 0};
    for (const std::string& line : messages_of(text)) {
        if (line.find("Logging started") != std::string::npos) {
            continue;
        }
        char id = 0;
        int n = 0;
        char kind[16] = {};
        ASSERT_EQ(std::sscanf(line.c_str(), "[INFO] child %c %15s %d", &id, kind, &n), 3) << line;
        const int c = id == 'a' ? 0 : 1;
        EXPECT_GT(n, last[c]) << line;
        last[c] = n;
        closing[c] += std::string(kind) == "closing";
    }
    EXPECT_EQ(closing[0], 5);
    EXPECT_EQ(closing[1], 5);
}

TEST_F(LoggerTest, TrimmingEdgesAndOtherModes) {
    // No line feed after the cut: the last `limit` bytes are kept as they are.
    std::string old(3000, 'a');
    dir.write("qz121032.log", old);
    ASSERT_EQ(start_logging(settings(3, 1, 2)), std::nullopt);
    EXPECT_EQ(read_file(log_path).find_first_not_of('a'), 2048u);
    platform::log::uninstall();

    // A file within the limit is left alone.
    old.assign(1500, '\n');
    dir.write("qz121032.log", old);
    ASSERT_EQ(start_logging(settings(3, 1, 2)), std::nullopt);
    EXPECT_EQ(read_file(log_path).substr(0, old.size()), old);
    platform::log::uninstall();

    // Another mode writes from the start over the old bytes; what lies beyond stays.
    dir.write("qz121032.log", old);
    ASSERT_EQ(start_logging(settings(3, 0, 1)), std::nullopt);
    const std::string text = read_file(log_path);
    ASSERT_EQ(text.size(), old.size());
    const std::size_t end = text.find('\n') + 1;
    EXPECT_EQ(messages_of(text.substr(0, end)),
              (std::vector<std::string>{"[INFO] Logging started with level 3"}));
    EXPECT_EQ(text.substr(end), old.substr(end));
}

TEST_F(LoggerTest, DebugFileIsUtf8Text) {
    // The INI file is UTF-8: a non-ASCII DebugFile names the same file on every system.
    log_path = dir.path() / fs::path(u8"journ\u00e9e-\u65e5\u672c.log");
    IniSettings s = settings(3, 1);
    const std::u8string utf8 = log_path.u8string();
    s.vendor->debug_file.assign(utf8.begin(), utf8.end());
    ASSERT_EQ(start_logging(s), std::nullopt);
    EXPECT_EQ(messages_of(read_file(log_path)),
              (std::vector<std::string>{"[INFO] Logging started with level 3"}));
}

TEST_F(LoggerTest, LogFileInMissingDirectoryIsReported) {
    log_path = dir / "missing" / "qz121032.log";
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(start_logging(settings(3, 1, 1)), "Failed to create log file");
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "Failed to open log file: " + log_path.string() + "\n");
    EXPECT_EQ(platform::log::max_level(), Level::Off);
    EXPECT_FALSE(fs::exists(log_path));
}

TEST_F(LoggerTest, SecondLoggerIsRefused) {
    struct NullSink : platform::log::Sink {
        void write(Level, std::string_view, std::string_view) noexcept override {}
    };
    ASSERT_TRUE(platform::log::install(std::make_shared<NullSink>()));
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(start_logging(settings(3, 1)), "Failed to initialize logging");
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Failed to initialize logging.\n");
    EXPECT_EQ(platform::log::max_level(), Level::Off);
}

TEST_F(LoggerTest, LinesFromManyThreadsNeverInterleave) {
    ASSERT_EQ(start_logging(settings(3, 1)), std::nullopt);
    constexpr int kThreads = 4;
    constexpr int kLines = 200;
    const std::string payload(300, 'p');
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kLines; ++i) {
                QZ_LOG_INFO(target::kLib, "{} {} {}", t, i, payload);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    const auto messages = messages_of(read_file(log_path));
    ASSERT_EQ(messages.size(), 1u + kThreads * kLines);
    std::vector<int> next(kThreads, 0);
    for (std::size_t m = 1; m < messages.size(); ++m) {
        int t = -1;
        int i = -1;
        char rest[400] = {};
        ASSERT_EQ(std::sscanf(messages[m].c_str(), "[INFO] %d %d %399s", &t, &i, rest), 3);
        ASSERT_TRUE(t >= 0 && t < kThreads);
        EXPECT_EQ(i, next[t]++);  // each thread's lines in its own order
        EXPECT_EQ(rest, payload);
    }
}

TEST_F(LoggerTest, FailedWriteIsReportedOnStandardError) {
    if (!fs::exists("/dev/full")) {
        GTEST_SKIP() << "needs /dev/full";
    }
    log_path = "/dev/full";
    ::testing::internal::CaptureStderr();
    ASSERT_EQ(start_logging(settings(3, 1, 1)), std::nullopt);
    QZ_LOG_WARN(target::kLib, "second");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Error performing logging.\n"
              "\tattempted to log: Logging started with level 3\n"
              "\trecord: level INFO, target qz121032::logger\n"
              "\tlogging error: No space left on device\n"
              "Error performing logging.\n"
              "\tattempted to log: second\n"
              "\trecord: level WARN, target qz121032\n"
              "\tlogging error: No space left on device\n");
}

TEST(LogTimeTest, FormatsUtcWithTruncatedMilliseconds) {
    using namespace std::chrono;
    const auto at = [](std::int64_t us) { return system_clock::time_point(microseconds(us)); };
    // 2024-03-05T14:07:09Z is 1709647629 s after 1970-01-01 (a leap year, past February).
    EXPECT_EQ(format_log_time(at(1709647629'042999)), "2024-03-05T14:07:09.042Z");
    EXPECT_EQ(format_log_time(at(0)), "1970-01-01T00:00:00.000Z");
    // 2000-02-29T23:59:59.9996Z: not rounded up into the next day.
    EXPECT_EQ(format_log_time(at(951868799'999600)), "2000-02-29T23:59:59.999Z");
    // 1969-12-31T23:59:59.999Z, before the epoch.
    EXPECT_EQ(format_log_time(at(-1000)), "1969-12-31T23:59:59.999Z");
}

}  // namespace
}  // namespace qz121032

namespace {

// The child of TwoProcessesKeepWritingWholeLinesAcrossTrims: "--child log FILE ID LINES
// DIR" logs LINES lines into FILE (limit 1 KB), says so with DIR/ID, waits until the
// other child has said so too, then logs its 5 closing lines.
int log_child(const std::vector<std::string>& args) {
    if (args.size() != 4) {
        return 2;
    }
    const std::string& id = args[1];
    qz121032::IniSettings settings;
    settings.vendor.emplace();
    settings.vendor->debug_level = 3;
    settings.vendor->debug_file = args[0];
    settings.vendor->debug_mode = 1;
    settings.vendor->debug_file_size = 1;
    if (qz121032::start_logging(settings)) {
        return 3;
    }
    const int lines = std::stoi(args[2]);
    for (int n = 0; n < lines; ++n) {
        QZ_LOG_INFO(qz121032::target::kLib, "child {} line {} {}", id, n,
                    std::string(static_cast<std::size_t>(n % 40), '.'));
    }
    const std::filesystem::path dir = args[3];
    std::ofstream(dir / id).put('1');
    const auto end = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (!std::filesystem::exists(dir / (id == "a" ? "b" : "a"))) {
        if (std::chrono::steady_clock::now() > end) {
            return 4;
        }
        std::this_thread::yield();
    }
    for (int n = 0; n < 5; ++n) {
        QZ_LOG_INFO(qz121032::target::kLib, "child {} closing {}", id, lines + n);
    }
    platform::log::uninstall();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && std::string(argv[1]) == "--child") {
        const std::vector<std::string> args(argv + 3, argv + argc);
        if (std::string(argv[2]) == "log") {
            return log_child(args);
        }
        return 100;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
