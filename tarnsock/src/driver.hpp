#pragma once
// The CAN driver over SocketCAN, as one process sees it: the interfaces of the last
// enumeration, the open handles (one CAN_RAW socket each) and the thread that watches them.

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "echo_ring.hpp"
#include "interfaces.hpp"
#include "platform/event.hpp"
#include "platform/thread.hpp"
#include "tarnlib/driver_api.h"

namespace tarnsock {

// The text of the last failed call in this thread, for the caller's log.
void set_error_detail(const std::string& text);
std::uint32_t copy_error_detail(char* buffer, std::uint32_t size);

struct TxFrame {
    std::uint8_t bytes[72];    // struct can_frame or canfd_frame
    std::uint32_t size;        // CAN_MTU or CANFD_MTU
    std::int64_t recorded_ns;  // when the ring of sent frames last got it; 0: not yet
};

struct Handle {
    InterfaceInfo iface;  // as enumerated when opened
    std::int32_t open_flags = 0;
    int fd = -1;       // the CAN_RAW socket
    int wake_fd = -1;  // eventfd that ends a blocking read when the handle closes
    int lock_fd = -1;  // shared or exclusive flock on the interface's lock file

    std::atomic<bool> closed{false};
    // The interface went down or away: the socket reported it, or rtnetlink did.
    std::atomic<bool> gone{false};
    std::atomic<bool> txack{false};
    std::atomic<bool> local_txack{false};
    std::atomic<bool> local_echo{false};

    // The wait handle given out by io_ctl; set by the watcher thread when the socket has
    // data or an error, or the interface changes.
    platform::Event event{platform::Event::Reset::Automatic};
    std::atomic<bool> watched{false};
    std::atomic<bool> armed{false};  // the watcher polls the socket for the event

    std::mutex rx_mutex;  // one reader at a time; guards the fields below it
    std::uint32_t drops_seen = 0;
    std::int64_t last_time_ns = 0;     // the last time stamp given out, monotonic clock
    bool overflow_pending = false;     // the socket's queue dropped: flag the next frame
    bool hw_overflow_pending = false;  // the controller's receive buffer overflowed: same

    std::mutex mutex;  // guards everything below
    bool on_bus = false;
    bool silent = false;
    bool overflow_status = false;     // reported once by read_status
    bool hw_overflow_status = false;  // reported once by read_status
    bool bus_off = false;             // from error frames
    std::int32_t bitrate = 0;         // asked for by set_bus_params (virtual interfaces keep it)
    std::uint32_t tseg1 = 0, tseg2 = 0, sjw = 0;
    std::deque<TxFrame> tx;  // frames not yet taken by the kernel

    ~Handle();
};

class Driver {
  public:
    static Driver& instance();

    tarnStatus enumerate(std::int32_t* count);
    tarnStatus channel_data(std::int32_t channel, std::int32_t item, void* buffer,
                            std::uint32_t size);
    tarnHandle open(std::int32_t channel, std::int32_t flags);
    tarnStatus close(tarnHandle handle);
    tarnStatus set_bus_params(tarnHandle handle, std::int32_t bitrate, std::uint32_t tseg1,
                              std::uint32_t tseg2, std::uint32_t sjw);
    tarnStatus set_bus_params_tq(tarnHandle handle, const tarnBusParamsTq* nominal,
                                 const tarnBusParamsTq* data);
    tarnStatus get_bus_params(tarnHandle handle, bool data_phase, std::int32_t* bitrate,
                              std::uint32_t* tseg1, std::uint32_t* tseg2, std::uint32_t* sjw,
                              std::uint32_t* samples, std::uint32_t* sync_mode);
    tarnStatus set_output_control(tarnHandle handle, std::uint32_t mode);
    tarnStatus bus_on(tarnHandle handle, bool on);
    tarnStatus write(tarnHandle handle, std::int32_t id, const void* data, std::uint32_t dlc,
                     std::uint32_t flags);
    tarnStatus write_sync(tarnHandle handle, std::uint32_t timeout_ms);
    tarnStatus read(tarnHandle handle, std::int32_t* id, void* data, std::uint32_t* dlc,
                    std::uint32_t* flags, std::uint32_t* time, std::uint32_t timeout_ms);
    tarnStatus read_status(tarnHandle handle, std::uint32_t* status);
    tarnStatus io_ctl(tarnHandle handle, std::uint32_t function, void* buffer, std::uint32_t size);
    tarnStatus handle_data(tarnHandle handle, std::int32_t item, void* buffer, std::uint32_t size);
    // Closes every handle and stops the watcher thread.
    tarnStatus unload();

    static constexpr std::size_t kMaxHandles = 256;
    static constexpr std::size_t kTxCapacity = 1024;

  private:
    Driver();

    struct Received {
        std::int32_t id = 0;
        std::uint32_t dlc = 0;
        std::uint32_t flags = 0;
        std::uint32_t time = 0;
        std::uint8_t data[64] = {};
    };

    std::shared_ptr<Handle> find(tarnHandle handle);
    // One frame for the reader: 1 = got one, 0 = none waiting, < 0 = a status.
    int receive_one(Handle& h, Received& out);
    // Hands queued frames to the kernel while it takes them; h.mutex held.
    void flush_locked(Handle& h);
    void rearm(Handle& h);
    void wake_watcher();
    void ensure_watcher();
    void stop_watcher_if_idle();
    void watch(const std::atomic<bool>& stop);
    void link_changed(int ifindex, bool removed);

    std::mutex table_mutex_;  // guards interfaces_, handles_ and the watcher's start and stop
    std::vector<InterfaceInfo> interfaces_;  // driver channel number -> interface
    std::array<std::shared_ptr<Handle>, kMaxHandles> handles_;

    std::optional<EchoRing> ring_;  // set once in the constructor

    int watcher_wake_fd_ = -1;  // eventfd: a socket to watch again, frames to flush, stop
    int netlink_fd_ = -1;       // rtnetlink link notifications
    platform::Thread watcher_;
    std::shared_ptr<std::atomic<bool>> watcher_stop_;
};

}  // namespace tarnsock
