#pragma once
// The registry of connected clients: client ID (1..127) -> slot. Slots are only inserted
// or replaced, never removed; a disconnected client leaves its slot behind, empty.

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>

#include "client.hpp"

namespace qz121032 {

struct Client {
    // How long a blocking read waits.
    std::chrono::nanoseconds blocking_timeout = kWaitWithoutLimit;
    std::unique_ptr<ProtocolClient> connection;
};

// Serialises all calls on one client. Reference-counted: the registry holds one reference
// and every call working on the client holds another, so a slot never disappears under a
// running call.
struct ClientSlot {
    std::mutex mutex;
    std::optional<Client> client;  // guarded by mutex; empty = disconnected
};

class ClientRegistry {
public:
    static constexpr std::int32_t kMaxClientId = 127;

    // Picks the next free client ID on the rotation through 1..127, or nullopt when all
    // are in use. A slot whose mutex is held by a running call counts as in use: the
    // search never waits for it.
    std::optional<std::int32_t> allocate_id();

    // Inserts the slot under the ID, replacing (and releasing) any slot held before.
    void insert(std::int32_t id, std::shared_ptr<ClientSlot> slot);

    // The slot of an ID, or null when the ID was never handed out.
    std::shared_ptr<ClientSlot> find(std::int32_t id) const;

private:
    bool is_free_locked(std::int32_t id) const;

    mutable std::mutex mutex_;  // guards slots_ and next_id_
    std::unordered_map<std::int32_t, std::shared_ptr<ClientSlot>> slots_;
    std::int32_t next_id_ = 1;
};

}  // namespace qz121032
