#pragma once
// The simulator as one process sees it: the attachment to the shared state of one
// instance, the channel numbering of the last enumeration, the wait handles of this
// process's open handles and the thread that signals them.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "config.hpp"
#include "platform/event.hpp"
#include "platform/liveness.hpp"
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
        std::uint32_t token = 0;  // this process's identity in the handle table
        // Held for the life of the attachment, so that other processes can tell whether
        // this one is gone.
        std::optional<platform::LivenessMark> liveness;
    };

    class Session;

    // Everything below with _locked expects mutex_ held; functions taking SharedState&
    // expect the named mutex held too.
    tarnStatus attach_locked();
    tarnStatus attach_config_locked(const Config& config);
    void detach_locked();
    void rebuild_view_locked(const SharedState& s);
    void reclaim_dead_handles_locked(SharedState& s);
    tarnStatus check_handle(SharedState& s, tarnHandle handle, bool require_card) const;
    tarnStatus channel_of(const SharedState& s, std::int32_t channel, std::uint32_t& global) const;
    void advance(SharedState& s, std::int64_t now);
    void schedule(SharedState& s, HandleState& h, Frame& f, std::int64_t now);
    void schedule_pending(SharedState& s, HandleState& h, std::int64_t now);
    void deliver(SharedState& s, std::size_t sender, const Frame& f);
    void signal_ready_locked(SharedState& s);
    void stop_watcher();
    void watcher_body();

    std::mutex mutex_;                 // guards everything below; taken before the named mutex
    std::condition_variable changed_;  // notified when this process delivered frames
    std::optional<Attachment> attachment_;
    std::vector<std::uint32_t> view_;  // driver channel number -> global channel index
    std::map<int, std::unique_ptr<platform::Event>> events_;  // wait handles by handle

    std::mutex watcher_mutex_;  // guards watcher_ (start and stop)
    platform::Thread watcher_;
    std::atomic<bool> watcher_stop_{false};
    platform::TimerWait watcher_timer_;
};

}  // namespace tarnsim
