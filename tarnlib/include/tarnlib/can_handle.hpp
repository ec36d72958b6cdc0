#pragma once
// One open driver handle with typed operations: open a channel for a bus configuration,
// program its bit timing, read batches of frames, write frames. Not copyable; closing (or
// destroying) the object closes the driver handle exactly once.

#include <cstdint>
#include <string>
#include <vector>

#include "tarnlib/bus_configuration.hpp"
#include "tarnlib/can_message.hpp"
#include "tarnlib/channel_identity.hpp"

namespace tarnlib {

enum class OutputControl : std::uint32_t { Silent = 1, Normal = 4 };

class CanHandle {
  public:
    // Looks the channel up in the process's discovery table, reads its clock and limits,
    // opens it (with ACCEPT_VIRTUAL and ACCEPT_LARGE_DLC, and CAN_FD for FD buses) and
    // programs the bit timing.
    //
    // A driver that refuses the timing because the channel is in use at another one (by
    // another program: tarnERR_NO_ACCESS) gives that timing in `in_use`, when asked for.
    [[nodiscard]] static TarnResult<CanHandle> open(
        const ChannelIdentity& identity, const BusConfiguration& configuration, CanOpenFlags flags,
        std::optional<BusConfiguration>* in_use = nullptr);

    CanHandle(CanHandle&& other) noexcept;
    CanHandle& operator=(CanHandle&& other) noexcept;
    CanHandle(const CanHandle&) = delete;
    CanHandle& operator=(const CanHandle&) = delete;
    ~CanHandle();

    // Closes the driver handle; later calls on this object fail with tarnERR_INVHANDLE.
    Status close() noexcept;

    [[nodiscard]] Status set_timing(const BusConfiguration& configuration);
    [[nodiscard]] TarnResult<BusConfiguration> get_timing() const;
    // Waits up to the timeout for a first frame, then takes every frame waiting. Nothing
    // received is an empty list.
    [[nodiscard]] TarnResult<std::vector<CanMessage>> read(std::uint32_t timeout_ms) const;
    [[nodiscard]] Status write(const CanMessage& message) const;
    [[nodiscard]] Status write_sync(std::uint32_t timeout_ms) const;
    // The status word, bits 0-10.
    [[nodiscard]] TarnResult<std::uint32_t> read_status() const;
    [[nodiscard]] TarnResult<std::uint64_t> firmware_revision() const;
    [[nodiscard]] TarnResult<std::uint32_t> bus_type() const;
    // The driver's wait handle, signalled when frames wait (a Windows event HANDLE; on
    // POSIX a pointer for platform::wait_native_event). Owned by the driver handle.
    [[nodiscard]] TarnResult<void*> wait_handle() const;
    // One tarnIoCtl with a 32-bit value.
    [[nodiscard]] Status io_ctl(std::uint32_t function, std::uint32_t value) const;
    [[nodiscard]] Status bus_on() const;
    [[nodiscard]] Status bus_off() const;
    [[nodiscard]] Status set_output_control(OutputControl mode) const;

    std::int32_t channel() const noexcept { return channel_; }
    std::int32_t handle() const noexcept { return handle_; }
    CanOpenFlags flags() const noexcept { return flags_; }
    double clock_hz() const noexcept { return clock_hz_; }
    const BusParamLimits& limits() const noexcept { return limits_; }
    const BusConfiguration& configuration() const noexcept { return configuration_; }
    const ChannelIdentity& identity() const noexcept { return identity_; }

  private:
    CanHandle() = default;
    TarnResult<double> handle_clock_hz() const;

    ChannelIdentity identity_;
    std::int32_t channel_ = -1;
    std::int32_t handle_ = -1;
    CanOpenFlags flags_;
    double clock_hz_ = kDefaultClockHz;
    BusParamLimits limits_ = default_bus_param_limits();
    BusConfiguration configuration_;
};

// "<identity> hnd[<driver handle>]".
std::string to_string(const CanHandle& handle);

// The clock frequency of a clock information record: numerator / denominator * 10^power.
double clock_frequency_hz(const tarnClockInfo& info);

}  // namespace tarnlib
