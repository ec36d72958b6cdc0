#pragma once
// The process's connection to the CAN driver library. It is created on first use: the
// driver is loaded (tarnlib32.dll / libtarnlib32.so through the system's normal search),
// its functions are resolved once, and tarnInitializeLibrary is called once. A missing
// library or function makes every call fail with tarnERR_DYNALOAD.

#include <cstdint>
#include <mutex>

namespace tarnlib {

class DriverLibrary {
public:
    // The process-wide context, created on first use.
    static DriverLibrary& instance();
    // The context if it has been created, else null. Never creates it.
    static DriverLibrary* existing() noexcept;

    DriverLibrary(const DriverLibrary&) = delete;
    DriverLibrary& operator=(const DriverLibrary&) = delete;

    bool loaded() const noexcept;

    std::int32_t get_number_of_channels(std::int32_t& count) const noexcept;
    std::int32_t unload_library() const noexcept;

    // The process-wide driver lock shared by discovery and device opening.
    std::mutex& driver_lock() noexcept { return driver_lock_; }

    struct Functions;

private:
    DriverLibrary();
    ~DriverLibrary();

    struct State;
    State* state_;
    std::mutex driver_lock_;
};

// File base name of the driver library.
inline constexpr const char* kDriverLibraryBaseName = "tarnlib32";

}  // namespace tarnlib
