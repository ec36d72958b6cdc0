#pragma once
// The simulator as one process sees it: the attachment to the shared state of one
// instance, the channel numbering of the last enumeration, the wait objects of this
// process's handles and the thread that answers its doorbell.

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <vector>

#include "config.hpp"
#include "platform/event.hpp"
#include "platform/liveness.hpp"
#include "platform/named_event.hpp"
#include "platform/named_mutex.hpp"
#include "platform/shared_memory.hpp"
#include "platform/thread.hpp"
#include "shared_state.hpp"
#include "tarnlib/driver_api.h"
#include "tarnsim/tarnsim_control.h"

namespace tarnsim {

class Simulator {
  public:
    // The process's simulator; never destroyed, so that it outlives every caller.
    static Simulator& instance();

    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Driver operations.
    void initialize_library();
    tarnStatus unload_library();
    tarnStatus get_number_of_channels(std::int32_t* count);
    tarnStatus enum_hardware(std::int32_t* count);
    tarnStatus get_channel_data(std::int32_t channel, std::int32_t item, void* buffer,
                                std::uint32_t size);
    tarnHandle open_channel(std::int32_t channel, std::int32_t flags);
    tarnStatus close(tarnHandle handle);
    tarnStatus set_bus_params(tarnHandle handle, std::int32_t bitrate, std::uint32_t tseg1,
                              std::uint32_t tseg2, std::uint32_t sjw, std::uint32_t samples,
                              std::uint32_t sync_mode);
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
    tarnStatus get_handle_data(tarnHandle handle, std::int32_t item, void* buffer,
                               std::uint32_t size);

    // Control operations.
    tarnStatus configure(const char* config_path);
    tarnStatus reset();
    tarnStatus set_plugged(std::int32_t interface_index, bool plugged);
    tarnStatus inject(std::int32_t bus, std::int32_t id, const void* data, std::uint32_t dlc,
                      std::uint32_t flags, std::int32_t bitrate);
    tarnStatus force_bus_off(std::int32_t interface_index, std::int32_t channel);
    tarnStatus set_queue_sizes(std::int32_t interface_index, std::int32_t channel, std::uint32_t tx,
                               std::uint32_t rx);
    tarnStatus set_startup_status(tarnStatus status);
    tarnStatus set_paced(bool paced);
    tarnStatus get_bus_stats(std::int32_t bus, tarnsim_bus_stats* stats, bool reset);

  private:
    Simulator() = default;

    struct Attachment {
        std::string name;  // prefix of the named objects
        Config config;
        platform::NamedMutex mutex;  // guards the shared state
        platform::SharedMemory state;
        SharedState* shared = nullptr;  // the block's data
        std::uint32_t token = 0;        // this process's identity in the handle table
        // Held for the life of the attachment, so that other processes can tell whether
        // this one is gone.
        std::optional<platform::LivenessMark> liveness;
    };

    // This process's wait objects of one handle slot. Made at the first open of the slot
    // and never destroyed, so that a wait handle given out stays a valid object.
    struct Waiters {
        platform::Event event{platform::Event::Reset::Automatic};  // the wait handle
        // Ends the waits of calls blocked on the handle (read, write sync) to look again.
        platform::Event wake{platform::Event::Reset::Manual};
        bool watched = false;  // the wait handle was given out; guarded by the named mutex
    };

    // Wake-ups found with the named mutex held, given once it is released.
    struct Signals {
        struct Local {
            Waiters* waiters;
            std::int64_t at;  // the wait handle is set then (if watched)
            bool event;
            bool wake;  // blocked calls look again now
        };
        Local local[kMaxHandles];
        std::uint32_t locals = 0;
        std::uint32_t tokens[kMaxHandles];  // doorbells of other processes to ring
        std::uint32_t rings = 0;

        void add(Waiters* w, std::int64_t at, bool event, bool wake);
        void ring(std::uint32_t token);
    };

    // The thread that answers this process's doorbell, and the bell.
    struct Delivery {
        std::uint32_t token = 0;  // of the attachment it serves
        platform::Thread thread;
        std::shared_ptr<std::atomic<bool>> stop;
        std::shared_ptr<platform::NamedEvent> bell;
    };

    class Session;

    // Everything with _locked expects the attachment lock (shared) and the named mutex
    // held; functions taking SharedState& expect the named mutex held too.
    tarnStatus attach_locked();
    tarnStatus attach_config_locked(const Config& config);
    void detach_locked();
    // Closes this process's handles; with the attachment lock held exclusively.
    void close_mine_locked();
    void rebuild_view_locked(const SharedState& s);
    void reclaim_dead_handles_locked(SharedState& s);
    void release_handle_locked(SharedState& s, std::size_t slot, Signals& signals);
    tarnStatus check_handle(SharedState& s, tarnHandle handle, bool require_card) const;
    tarnStatus channel_of(const SharedState& s, std::int32_t channel, std::uint32_t& global) const;
    // Wakes the handle's waiters to look again by `at` (always with force, else only when
    // earlier than they would): directly in this process, else through its owner's doorbell.
    void poke(SharedState& s, std::size_t slot, std::int64_t at, bool force, Signals& signals);
    void rearm(SharedState& s, std::size_t slot, Signals& signals);
    void make_wakeable_locked(SharedState& s, std::size_t slot);
    void delivery_body(platform::NamedEvent& bell, const std::atomic<bool>& stop,
                       std::uint32_t token);
    void sweep_locked(SharedState& s, Signals& signals);
    void give(Signals& signals);
    void ring(std::uint32_t token);
    // Stops the delivery threads; Wait joins them, LeaveToEnd lets them end by themselves
    // and keeps this library loaded for them.
    enum class DeliveryEnd { Wait, LeaveToEnd };
    void stop_delivery(DeliveryEnd end);

    // Guards attachment_: shared by every call that uses it, exclusive to attaching and
    // detaching. Taken before the named mutex.
    std::shared_mutex attach_mutex_;
    std::optional<Attachment> attachment_;
    // Guarded by the named mutex, like the shared state they mirror.
    std::vector<std::uint32_t> view_;  // driver channel number -> global channel index
    std::array<std::unique_ptr<Waiters>, kMaxHandles> waiters_;
    std::vector<std::uint8_t> mine_;  // slots of this process's open handles

    std::mutex bells_mutex_;                               // guards bells_
    std::map<std::uint32_t, platform::NamedEvent> bells_;  // other processes' doorbells

    std::mutex delivery_mutex_;  // guards delivery_, retired_
    Delivery delivery_;
    std::vector<Delivery> retired_;  // stopped, joined by the next stop_delivery()
};

}  // namespace tarnsim
