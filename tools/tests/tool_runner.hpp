#pragma once
// Runs the built tools as child processes the way a person runs them, with their standard
// output and error captured in files. A child inherits the standard streams, so the test
// binary starts itself in a runner mode that redirects its own streams to the files,
// changes to the working directory and starts the tool:
//
//   TEST_BINARY [--run-within SECONDS] --run-captured DIR OUT ERR PROGRAM ARGS...

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/process.hpp"

namespace tools_test {

namespace fs = std::filesystem;

// The directory of the test binary, where the tools, libraries and example files are.
fs::path binary_dir();
// A program of the build: "rp1210" -> binary_dir()/rp1210 (.exe on Windows).
std::string program(const std::string& name);

// Serves the runner mode; returns the exit status, or nullopt when argv is no runner call.
std::optional<int> serve_runner(int argc, char** argv);

// A tool running in the background with captured output.
class Running {
  public:
    // Starts `program` with `args` in `dir`; output goes to files in `dir` named after
    // `label`.
    // With a `limit`, the tool is ended (status 123) when it runs longer.
    static Running start(const fs::path& dir, const std::string& label, const std::string& program,
                         const std::vector<std::string>& args,
                         std::optional<std::chrono::seconds> limit = std::nullopt);

    // Waits for the exit; the exit status (-1 when it could not be started).
    int wait();
    std::string out() const;
    std::string err() const;
    // Polls the standard error file until it holds `text`; false after `limit`.
    bool wait_for_err(const std::string& text,
                      std::chrono::milliseconds limit = std::chrono::seconds(20)) const;

  private:
    Running(std::optional<platform::ChildProcess> child, fs::path out, fs::path err)
        : child_(std::move(child)), out_(std::move(out)), err_(std::move(err)) {}
    std::optional<platform::ChildProcess> child_;
    fs::path out_;
    fs::path err_;
};

struct Finished {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs a tool to its end.
Finished run(const fs::path& dir, const std::string& label, const std::string& program,
             const std::vector<std::string>& args);

// A directory of its own for one test, removed afterwards.
class WorkDir {
  public:
    WorkDir();
    ~WorkDir();
    WorkDir(const WorkDir&) = delete;
    WorkDir& operator=(const WorkDir&) = delete;
    const fs::path& path() const { return path_; }
    // Copies a file of the build directory into this one under `name`.
    void copy_from_build(const std::string& file, const std::string& name) const;

  private:
    fs::path path_;
};

std::string read_text(const fs::path& file);

}  // namespace tools_test
