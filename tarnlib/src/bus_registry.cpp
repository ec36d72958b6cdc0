// The process-wide registry of buses: at most one BusDevice per channel, held without
// ownership.

#include <map>
#include <mutex>

#include "platform/log.hpp"
#include "tarnlib/bus_device.hpp"

namespace tarnlib {

namespace {

constexpr const char* kTarget = "tarnlib";

struct Registry {
    std::mutex mutex;  // guards buses
    std::map<ChannelIdentity, std::weak_ptr<BusDevice>> buses;
};

Registry& registry() {
    // Never destroyed: buses may be released by threads that run while the process exits.
    static Registry* const instance = new Registry();
    return *instance;
}

// The live bus of the channel; forgets the entries of buses that are gone. Expects the
// registry lock held.
std::shared_ptr<BusDevice> find_locked(Registry& r, const ChannelIdentity& identity) {
    for (auto it = r.buses.begin(); it != r.buses.end();) {
        it = it->second.expired() ? r.buses.erase(it) : std::next(it);
    }
    auto it = r.buses.find(identity);
    return it == r.buses.end() ? nullptr : it->second.lock();
}

}  // namespace

std::shared_ptr<BusDevice> find_bus(const ChannelIdentity& identity) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    return find_locked(r, identity);
}

std::shared_ptr<BusDevice> get_or_create_bus(const BusConfiguration& configuration,
                                             const ChannelIdentity& identity) {
    Registry& r = registry();
    std::shared_ptr<BusDevice> existing;
    {
        std::lock_guard lock(r.mutex);
        existing = find_locked(r, identity);
    }
    if (!existing) {
        // Created outside the registry lock: a new bus starts its machine, and machine
        // locks come before the registry lock. Of two threads racing here, the first to
        // register wins and the other's bus is dropped again.
        auto created = BusDevice::create(configuration, identity);
        std::lock_guard lock(r.mutex);
        existing = find_locked(r, identity);
        if (!existing) {
            r.buses[identity] = created;
            return created;
        }
    }
    if (!timing_matches(existing->configuration(), configuration)) {
        QZ_LOG_INFO(kTarget,
                    "Existing BusDevice timing does not match requested bus config: "
                    "\n\texisting={}, \n\trequested={}",
                    to_string(existing->configuration()), to_string(configuration));
    }
    return existing;
}

}  // namespace tarnlib
