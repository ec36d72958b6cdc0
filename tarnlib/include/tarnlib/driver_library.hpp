#pragma once
// The process's connection to the CAN driver library. It is created on first use: the
// driver is loaded (tarnlib32.dll / libtarnlib32.so through the system's normal search),
// its function table is resolved once, and tarnInitializeLibrary is called once. A missing
// library or function makes every call fail with tarnERR_DYNALOAD.
//
// Only this class calls the driver's functions; the typed calls below pass their
// arguments through unchanged and return the driver's status.

#include <cstdint>
#include <mutex>
#include <string>

#include "tarnlib/driver_api.h"

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

    std::int32_t enum_hardware_ex(std::int32_t& count) const noexcept;
    std::int32_t get_channel_data(std::int32_t channel, std::int32_t item, void* buffer,
                                  std::uint32_t size) const noexcept;
    // A handle (>= 0) or a negative status.
    std::int32_t open_channel(std::int32_t channel, std::int32_t flags) const noexcept;
    std::int32_t close(std::int32_t handle) const noexcept;
    std::int32_t set_bus_params(std::int32_t handle, std::int32_t bitrate, std::uint32_t tseg1,
                                std::uint32_t tseg2, std::uint32_t sjw, std::uint32_t samples,
                                std::uint32_t sync_mode) const noexcept;
    std::int32_t set_bus_params_tq(std::int32_t handle,
                                   const tarnBusParamsTq& nominal) const noexcept;
    std::int32_t set_bus_params_fd_tq(std::int32_t handle, const tarnBusParamsTq& nominal,
                                      const tarnBusParamsTq& data) const noexcept;
    std::int32_t get_bus_params(std::int32_t handle, std::int32_t& bitrate, std::uint32_t& tseg1,
                                std::uint32_t& tseg2, std::uint32_t& sjw, std::uint32_t& samples,
                                std::uint32_t& sync_mode) const noexcept;
    std::int32_t get_bus_params_fd(std::int32_t handle, std::int32_t& bitrate, std::uint32_t& tseg1,
                                   std::uint32_t& tseg2, std::uint32_t& sjw) const noexcept;
    std::int32_t set_bus_output_control(std::int32_t handle, std::uint32_t mode) const noexcept;
    std::int32_t bus_on(std::int32_t handle) const noexcept;
    std::int32_t bus_off(std::int32_t handle) const noexcept;
    std::int32_t write(std::int32_t handle, std::int32_t id, const void* data, std::uint32_t dlc,
                       std::uint32_t flags) const noexcept;
    std::int32_t write_sync(std::int32_t handle, std::uint32_t timeout_ms) const noexcept;
    // data must hold 64 bytes.
    std::int32_t read_wait(std::int32_t handle, std::int32_t& id, void* data, std::uint32_t& dlc,
                           std::uint32_t& flags, std::uint32_t& time,
                           std::uint32_t timeout_ms) const noexcept;
    std::int32_t read(std::int32_t handle, std::int32_t& id, void* data, std::uint32_t& dlc,
                      std::uint32_t& flags, std::uint32_t& time) const noexcept;
    std::int32_t read_status(std::int32_t handle, std::uint32_t& status) const noexcept;
    std::int32_t io_ctl(std::int32_t handle, std::uint32_t function, void* buffer,
                        std::uint32_t size) const noexcept;
    std::int32_t get_handle_data(std::int32_t handle, std::int32_t item, void* buffer,
                                 std::uint32_t size) const noexcept;

    // The driver's explanation of this thread's last failed call, if it gives one.
    std::string error_detail() const;

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
