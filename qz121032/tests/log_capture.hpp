#pragma once
// Captures the log lines of a test as "LEVEL target text", one per line.

#include <memory>
#include <mutex>
#include <string>

#include "platform/log.hpp"

namespace qz121032 {

class LogCapture {
  public:
    explicit LogCapture(platform::log::Level level = platform::log::Level::Debug)
        : sink_(std::make_shared<Sink>()) {
        platform::log::uninstall();
        platform::log::install(sink_);
        platform::log::set_max_level(level);
    }
    ~LogCapture() { platform::log::uninstall(); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::string text() const {
        std::lock_guard lock(sink_->mutex);
        return sink_->lines;
    }
    bool contains(const std::string& fragment) const {
        return text().find(fragment) != std::string::npos;
    }

  private:
    struct Sink : platform::log::Sink {
        void write(platform::log::Level level, std::string_view target,
                   std::string_view message) noexcept override {
            std::lock_guard lock(mutex);
            lines += platform::log::level_name(level);
            lines += ' ';
            lines += target;
            lines += ' ';
            lines += message;
            lines += '\n';
        }
        mutable std::mutex mutex;
        std::string lines;
    };
    std::shared_ptr<Sink> sink_;
};

}  // namespace qz121032
