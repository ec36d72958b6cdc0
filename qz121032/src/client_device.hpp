#pragma once
// What the raw CAN and the J1939 client share of their device: finding the channel,
// bringing a CAN device up at a fixed bit rate or starting the automatic bit-rate detector,
// the retry rule of their transmit threads, the connection-speed answer, and the device
// queries of the API layer (bus type, firmware, exclusive probe, hardware status).

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>

#include "broadcast_list.hpp"
#include "client.hpp"
#include "error_codes.hpp"
#include "hw_status.hpp"
#include "message_buffer.hpp"
#include "platform/event.hpp"
#include "tarnlib/autobaud_device.hpp"
#include "tarnlib/can_device.hpp"
#include "tarnlib/channel_identity.hpp"
#include "tarnlib/status.hpp"

namespace qz121032 {

// The transmit threads' pause while the bus is unavailable or the driver queue is full.
inline constexpr std::chrono::milliseconds kTransmitRetryPause{10};
// The longest wait of a transmit thread for its next message: none, as a message, a change
// of the broadcast list and the stop all wake the transmit buffer's waiters. A broadcast
// list shortens the wait to its next due time.
inline constexpr std::chrono::nanoseconds kTransmitWait = std::chrono::nanoseconds::max();

// The channel of the connect arguments (EAN and serial number when given, the chosen
// channel number), discovery first. 134 "Failed to list interfaces" / "Failed to find
// device".
Outcome<tarnlib::ChannelIdentity> find_client_channel(const ClientCreateArgs& args);

struct DeviceNames {
    std::string device;     // "rp1210_can_dev_{}", "rp1210_j1939_dev_{}"
    std::string up_waiter;  // "rp1210_can_up_{}", "rp1210_j1939_up_{}"
};

// A fixed bit rate: gets the channel's shared bus at that timing, creates the client's CAN
// device on it and waits up to 5 s for it to come up, then checks the timing it runs at.
// 134 "Failed to find bus device"; `mismatch_code` (454 CAN, 457 J1939) "Bit timing
// doesn't match existing client"; 142 "CAN device did not come up in time" / "Failed to
// read bus timing".
Outcome<std::shared_ptr<tarnlib::CanDevice>> bring_up_device(
    const tarnlib::ChannelIdentity& identity, const bus_timing::BitRateWithSamplePoint& request,
    const DeviceNames& names, std::int16_t mismatch_code);

// Automatic detection: a detector trying 250, 500, 1000 and 125 kbit/s, 133 ms each, for
// ever. `on_end` is called on the detector's thread with true when the rate was found, false
// when detection failed, and at once when it ended before the subscription (it may then be
// called twice). 142 "Failed to create autobaud device".
Outcome<std::shared_ptr<tarnlib::AutoBaudDevice>> start_detection(
    const tarnlib::ChannelIdentity& identity, std::function<void(bool detected)> on_end);

// What a transmit thread does with a write the device (or the J1939 channel) refused.
enum class WriteRefusal {
    QueueFull,    // tarnERR_TXBUFOFL: retry in 10 ms
    Unavailable,  // the interface is gone or the device has no open handle while it
                  // recovers: retry in 10 ms, the device reopens by itself
    Hardware,     // any other error: the hardware error is latched
};
WriteRefusal classify_write_refusal(tarnlib::Status status, const tarnlib::CanDevice& device);

// Get_Protocol_Connection_Speed: the bit rate as decimal digits and a terminating zero in
// `output` (more than 16 bytes, else 144). The speed is 0 (with a debug line to
// `log_target` saying why) while detection runs, without a device (J1939 only: the CAN
// client answers 142 before), without an open handle, when the timing cannot be read or is
// not a classic one.
platform::Expected<std::uint16_t, std::int16_t> answer_connection_speed(
    std::span<std::uint8_t> output, tarnlib::CanDevice* device, bool autobaud_in_progress,
    const char* log_target);

// What the shared cores of both clients hold alike: the client's flags, its transmit
// buffer and broadcast list, and the detector while it runs. Each field is atomic,
// immutable after connect, or guarded by the mutex named beside it.
struct ClientCoreBase {
    std::int32_t client_id = 0;
    std::shared_ptr<MessageBuffer> transmit_buffer;
    std::atomic<bool> hardware_error{false};
    std::atomic<bool> autobaud_in_progress{false};
    // Wakes the transmit thread's pauses when the client stops.
    platform::Event stop_event{platform::Event::Reset::Manual};
    // Periodic messages (Set_Broadcast_For_CAN / Set_Broadcast_For_J1939).
    SharedBroadcastList broadcasts;

    std::mutex autobaud_mutex;  // guards autobaud and the derived cores' detection state
    std::shared_ptr<tarnlib::AutoBaudDevice> autobaud;

    // The transmit thread's 10 ms pause, cut short when the client stops.
    void pause() { stop_event.wait_for(kTransmitRetryPause); }

    // The checks every send makes first: 151 while detection runs or once the client is
    // shut down, 142 after a hardware error, 138 for a corrupted transmit buffer (which is
    // emptied); 0 when the send may go on.
    std::int16_t check_send(bool active);
    // The same for a read: 151, 142, then 140 for a corrupted receive buffer and 139 after
    // it overflowed (both empty it); 0 when the read may go on.
    std::int16_t check_read(bool active, MessageBuffer& receive_buffer);

    // Automatic detection (start_detection) with the detector kept in `autobaud` and
    // autobaud_in_progress set; the detector's CAN device, which becomes the client's.
    Outcome<std::shared_ptr<tarnlib::CanDevice>> detect(const tarnlib::ChannelIdentity& identity,
                                                        std::function<void(bool)> on_end);
};

// detect() with the core's on_detection_end(bool) as the callback, for as long as the
// core lives.
template <class Core>
Outcome<std::shared_ptr<tarnlib::CanDevice>> detect_for(const std::shared_ptr<Core>& core,
                                                        const tarnlib::ChannelIdentity& identity) {
    std::weak_ptr<Core> weak = core;
    return core->detect(identity, [weak](bool detected) {
        if (auto alive = weak.lock()) {
            alive->on_detection_end(detected);
        }
    });
}

// The device queries of the API layer, the same for both clients.
class DeviceClient : public ProtocolClient {
  public:
    bool has_device() const override { return device_ != nullptr; }
    std::optional<std::uint32_t> bus_type() override;
    std::optional<std::uint64_t> firmware_revision() override;
    std::int32_t probe_exclusive_open() override;
    std::array<std::uint8_t, 64> hardware_status() override;

  protected:
    DeviceClient(std::shared_ptr<HardwareStatus> status) : status_block_(std::move(status)) {}

    // The first steps of a connect: finds the channel (identity_, channel_key_) and gets
    // the client's device (device_) by the timing request: at a fixed rate with
    // bring_up_device, with automatic detection from `detect` (detect_for of the client's
    // core). 143 "Bit timing format not supported" for explicit segments.
    using Detect = std::function<Outcome<std::shared_ptr<tarnlib::CanDevice>>(
        const tarnlib::ChannelIdentity&)>;
    Outcome<platform::Ok> connect_device(const ClientCreateArgs& args, const DeviceNames& names,
                                         std::int16_t mismatch_code, const Detect& detect);

    // Set by the connect, released by the shutdown.
    tarnlib::ChannelIdentity identity_;
    std::uint32_t channel_key_ = 0;
    std::shared_ptr<tarnlib::CanDevice> device_;
    const std::shared_ptr<HardwareStatus> status_block_;
};

}  // namespace qz121032
