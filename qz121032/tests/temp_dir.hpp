#pragma once
// A uniquely named directory under the system's temporary directory, removed with its
// contents when the object goes away.

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <string_view>

namespace qz121032::testing {

class TempDir {
  public:
    TempDir() {
        std::random_device random;
        const auto base = std::filesystem::temp_directory_path();
        do {
            path_ = base / ("qz121032-test-" + std::to_string(random()) + std::to_string(random()));
        } while (!std::filesystem::create_directory(path_));
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(std::string_view name) const { return path_ / name; }

    // Writes `content` byte for byte and returns the file's path as text.
    std::string write(std::string_view name, std::string_view content) const {
        const auto file = path_ / name;
        std::ofstream out(file, std::ios::binary);
        out.write(content.data(), static_cast<std::streamsize>(content.size()));
        return file.string();
    }

  private:
    std::filesystem::path path_;
};

inline std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace qz121032::testing
