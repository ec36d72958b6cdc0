#include "client_registry.hpp"

namespace qz121032 {

namespace {
std::int32_t next_on_rotation(std::int32_t id) {
    return id >= ClientRegistry::kMaxClientId ? 1 : id + 1;
}
}  // namespace

bool ClientRegistry::is_free_locked(std::int32_t id) const {
    auto it = slots_.find(id);
    if (it == slots_.end()) {
        return true;
    }
    ClientSlot& slot = *it->second;
    std::unique_lock lock(slot.mutex, std::try_to_lock);
    return lock.owns_lock() && !slot.client.has_value();
}

std::optional<std::int32_t> ClientRegistry::allocate_id() {
    std::lock_guard lock(mutex_);
    std::int32_t candidate = next_id_;
    for (std::int32_t attempts = 1; attempts <= kMaxClientId; ++attempts) {
        if (is_free_locked(candidate)) {
            next_id_ = next_on_rotation(candidate);
            return candidate;
        }
        candidate = next_on_rotation(candidate);
    }
    return std::nullopt;
}

void ClientRegistry::insert(std::int32_t id, std::shared_ptr<ClientSlot> slot) {
    std::shared_ptr<ClientSlot> previous;
    {
        std::lock_guard lock(mutex_);
        previous = std::exchange(slots_[id], std::move(slot));
    }
    // The replaced slot is released outside the registry lock.
}

std::shared_ptr<ClientSlot> ClientRegistry::find(std::int32_t id) const {
    std::lock_guard lock(mutex_);
    auto it = slots_.find(id);
    return it == slots_.end() ? nullptr : it->second;
}

}  // namespace qz121032
