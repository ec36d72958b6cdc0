#pragma once
// A private simulator instance per test process tree: a configuration file with a unique
// instance name, which child processes receive on their command line.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

namespace tarnsim_test {

inline std::string unique_token() {
    std::random_device rd;
    const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    return std::to_string(rd()) + "-" +
           std::to_string(static_cast<std::uint64_t>(now) % 1000000007u);
}

// Writes the configuration text (without instance line) with a unique instance; returns
// the file path. The file is removed by the destructor.
class ConfigFile {
  public:
    explicit ConfigFile(const std::string& body) {
        const std::string token = unique_token();
        path_ = (std::filesystem::temp_directory_path() / ("tarnsim-" + token + ".cfg")).string();
        std::ofstream out(path_, std::ios::binary);
        out << "instance = t" << token << "\n" << body;
    }
    ~ConfigFile() {
        std::error_code ec;
        std::filesystem::remove(path_, ec);
    }
    ConfigFile(const ConfigFile&) = delete;
    ConfigFile& operator=(const ConfigFile&) = delete;
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

// One interface, two channels on bus 0 (the built-in default, under a private name).
inline constexpr const char* kTwoChannels =
    "[interface]\n"
    "ean = 73-30130-12345-6\n"
    "serial = 10001\n"
    "channels = 2\n"
    "[bus]\n"
    "channels = 0:0, 0:1\n";

}  // namespace tarnsim_test
