// Sessions and handles: attaching this process to an instance's shared state and detaching
// it, the channel numbering, and the handle table (checking, releasing and reclaiming the
// handles of processes that are gone).

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "session.hpp"
#include "wire.hpp"

namespace tarnsim {

Simulator& Simulator::instance() {
    static Simulator* const sim = new Simulator();
    return *sim;
}

tarnStatus Simulator::attach_locked() {
    if (attachment_) {
        return kOk;
    }
    const char* path = std::getenv("TARNSIM_CONFIG");
    if (path == nullptr || *path == '\0') {
        return attach_config_locked(default_config());
    }
    ParseResult parsed = load_config_file(path);
    if (!parsed.config) {
        std::fprintf(stderr, "tarnsim: %s\n", parsed.error.c_str());
        return kErrConfig;
    }
    return attach_config_locked(*parsed.config);
}

tarnStatus Simulator::attach_config_locked(const Config& config) {
    const std::string name = "tarnsim." + config.instance;
    auto mutex = platform::NamedMutex::open(name + ".lock");
    if (!mutex) {
        std::fprintf(stderr, "tarnsim: %s\n", mutex.error().what.c_str());
        return kErrInternal;
    }
    mutex->lock();
    auto state = platform::SharedMemory::open(name + ".state", sizeof(SharedState));
    if (!state) {
        mutex->unlock();
        std::fprintf(stderr, "tarnsim: %s\n", state.error().what.c_str());
        return kErrInternal;
    }
    auto& s = *static_cast<SharedState*>(state->data());
    if (s.magic != kStateMagic) {
        initialise_state(s, config, now_ns());
    }
    const std::uint32_t token = ++s.next_token;
    rebuild_view_locked(s);
    mine_.clear();
    mutex->unlock();
    auto liveness = platform::LivenessMark::hold(name + ".proc." + std::to_string(token));
    attachment_.emplace(Attachment{name, config, std::move(mutex.value()), std::move(state.value()),
                                   &s, token, std::nullopt});
    if (liveness) {
        attachment_->liveness.emplace(std::move(liveness.value()));
    }
    return kOk;
}

void Simulator::close_mine_locked() {
    Signals signals;
    {
        std::lock_guard named(attachment_->mutex);
        SharedState& s = *attachment_->shared;
        while (!mine_.empty()) {
            const std::size_t slot = mine_.back();
            const HandleState& h = s.handles[slot];
            if (h.in_use && h.owner == attachment_->token) {
                release_handle_locked(s, slot, signals);
            } else {
                mine_.pop_back();  // reset by another process meanwhile
            }
        }
    }
    give(signals);
}

void Simulator::detach_locked() {
    if (!attachment_) {
        return;
    }
    close_mine_locked();
    {
        std::lock_guard guard(bells_mutex_);
        bells_.clear();
    }
    view_.clear();
    attachment_.reset();
}

void Simulator::rebuild_view_locked(const SharedState& s) {
    view_.clear();
    for (std::size_t i = 0; i < kMaxInterfaces; ++i) {
        const InterfaceState& is = s.interfaces[i];
        if (is.present && is.plugged) {
            for (std::uint32_t c = 0; c < is.channels; ++c) {
                view_.push_back(static_cast<std::uint32_t>(i * kMaxChannelsPerInterface + c));
            }
        }
    }
}

void Simulator::reclaim_dead_handles_locked(SharedState& s) {
    std::vector<std::pair<std::uint32_t, bool>> known;  // token, alive
    Signals signals;
    for (std::size_t slot = 0; slot < kMaxHandles; ++slot) {
        const HandleState& h = s.handles[slot];
        if (!h.in_use || h.owner == attachment_->token) {
            continue;
        }
        auto it = std::find_if(known.begin(), known.end(),
                               [&](const auto& k) { return k.first == h.owner; });
        bool alive = true;
        if (it != known.end()) {
            alive = it->second;
        } else {
            alive = platform::LivenessMark::held(attachment_->name + ".proc." +
                                                 std::to_string(h.owner));
            known.emplace_back(h.owner, alive);
        }
        if (!alive) {
            release_handle_locked(s, slot, signals);
        }
    }
    std::lock_guard guard(bells_mutex_);
    for (const auto& [token, alive] : known) {
        if (!alive) {
            bells_.erase(token);
        }
    }
}

void Simulator::release_handle_locked(SharedState& s, std::size_t slot, Signals& signals) {
    HandleState& h = s.handles[slot];
    remove_from_wire(s, slot);
    h.in_use = 0;
    if (h.owner != attachment_->token) {
        return;
    }
    mine_.erase(std::remove(mine_.begin(), mine_.end(), slot), mine_.end());
    // Whoever still waits on it finds out that it is gone.
    Waiters& w = *waiters_[slot];
    signals.add(&w, std::numeric_limits<std::int64_t>::min(), w.watched, true);
    w.watched = false;
}

tarnStatus Simulator::check_handle(SharedState& s, tarnHandle handle, bool require_card) const {
    if (handle < 0 || handle >= static_cast<tarnHandle>(kMaxHandles)) {
        return kErrInvHandle;
    }
    const HandleState& h = s.handles[handle];
    if (!h.in_use || h.owner != attachment_->token) {
        return kErrInvHandle;
    }
    const InterfaceState& is = s.interfaces[h.channel / kMaxChannelsPerInterface];
    if (require_card && (!is.plugged || is.generation != h.generation)) {
        return kErrNoCard;
    }
    return kOk;
}

tarnStatus Simulator::channel_of(const SharedState& s, std::int32_t channel,
                                 std::uint32_t& global) const {
    if (channel < 0 || static_cast<std::size_t>(channel) >= view_.size()) {
        return kErrParam;
    }
    global = view_[static_cast<std::size_t>(channel)];
    if (!s.interfaces[global / kMaxChannelsPerInterface].plugged) {
        return kErrNoCard;
    }
    return kOk;
}

}  // namespace tarnsim
