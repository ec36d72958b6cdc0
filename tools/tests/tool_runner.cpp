#include "tool_runner.hpp"

#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "platform/paths.hpp"

namespace tools_test {

fs::path binary_dir() {
    return fs::path(platform::current_executable_path()).parent_path();
}

std::string program(const std::string& name) {
    const std::string extension =
        fs::path(platform::current_executable_path()).extension().string();
    return (binary_dir() / (name + extension)).string();
}

std::optional<int> serve_runner(int argc, char** argv) {
    // "--run-within SECONDS" first: the runner ends the tool itself when it runs longer,
    // so that no tool outlives a test that gave up on it.
    std::optional<std::chrono::seconds> limit;
    if (argc >= 3 && std::string(argv[1]) == "--run-within") {
        limit = std::chrono::seconds(std::stoi(argv[2]));
        argc -= 2;
        argv += 2;
    }
    if (argc < 6 || std::string(argv[1]) != "--run-captured") {
        return std::nullopt;
    }
    // The child inherits standard output and error, which now are the files.
    if (std::freopen(argv[3], "w", stdout) == nullptr ||
        std::freopen(argv[4], "w", stderr) == nullptr) {
        return 120;
    }
    std::error_code ec;
    fs::current_path(argv[2], ec);
    if (ec) {
        std::fprintf(stderr, "runner: cannot change to %s\n", argv[2]);
        return 121;
    }
    std::vector<std::string> args(argv + 6, argv + argc);
    auto child = platform::ChildProcess::spawn(argv[5], args);
    if (!child) {
        std::fprintf(stderr, "runner: %s\n", child.error().what.c_str());
        return 122;
    }
    if (limit) {
        if (auto status = child->wait_for(*limit)) {
            return status;
        }
        std::fprintf(stderr, "runner: ended after %d s\n", static_cast<int>(limit->count()));
        child->kill_hard();
        child->wait();
        return 123;
    }
    return child->wait();
}

Running Running::start(const fs::path& dir, const std::string& label, const std::string& program,
                       const std::vector<std::string>& args,
                       std::optional<std::chrono::seconds> limit) {
    const fs::path out = dir / (label + ".out");
    const fs::path err = dir / (label + ".err");
    std::vector<std::string> runner_args = {"--run-captured", dir.string(), out.string(),
                                            err.string(), program};
    if (limit) {
        runner_args.insert(runner_args.begin(), {"--run-within", std::to_string(limit->count())});
    }
    runner_args.insert(runner_args.end(), args.begin(), args.end());
    auto child = platform::ChildProcess::spawn(platform::current_executable_path(), runner_args);
    if (!child) {
        return Running(std::nullopt, out, err);
    }
    return Running(std::move(child.value()), out, err);
}

int Running::wait() {
    return child_ ? child_->wait() : -1;
}

std::string Running::out() const {
    return read_text(out_);
}

std::string Running::err() const {
    return read_text(err_);
}

bool Running::wait_for_err(const std::string& text, std::chrono::milliseconds limit) const {
    const auto give_up = std::chrono::steady_clock::now() + limit;
    while (read_text(err_).find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() >= give_up) {
            return false;
        }
        // Polling a file another process writes: there is nothing to wait on.
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

Finished run(const fs::path& dir, const std::string& label, const std::string& program,
             const std::vector<std::string>& args) {
    Running running = Running::start(dir, label, program, args);
    Finished finished;
    finished.status = running.wait();
    finished.out = running.out();
    finished.err = running.err();
    return finished;
}

WorkDir::WorkDir() {
    std::random_device random;
    const fs::path base = fs::temp_directory_path();
    do {
        path_ = base / ("qz-tools-test-" + std::to_string(random()) + std::to_string(random()));
    } while (!fs::create_directory(path_));
}

WorkDir::~WorkDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

void WorkDir::copy_from_build(const std::string& file, const std::string& name) const {
    fs::copy_file(binary_dir() / file, path_ / name, fs::copy_options::overwrite_existing);
}

std::string read_text(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    // Text-mode output ends lines with CR LF on Windows.
    std::string lines = text.str();
    std::string plain;
    plain.reserve(lines.size());
    for (char c : lines) {
        if (c != '\r') {
            plain += c;
        }
    }
    return plain;
}

}  // namespace tools_test
