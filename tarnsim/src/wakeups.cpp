// Wake-ups: the signals found with the named mutex held and given after it, the handles'
// waiters in this process, the doorbells of other processes and the delivery thread that
// answers this process's doorbell.

#include <algorithm>
#include <cstdio>
#include <limits>

#include "platform/dynamic_library.hpp"
#include "session.hpp"

namespace tarnsim {

void Simulator::Signals::add(Waiters* w, std::int64_t at, bool event, bool wake) {
    for (std::uint32_t i = 0; i < locals; ++i) {
        if (local[i].waiters == w) {
            local[i].at = std::min(local[i].at, at);
            local[i].event = local[i].event || event;
            local[i].wake = local[i].wake || wake;
            return;
        }
    }
    local[locals++] = Local{w, at, event, wake};
}

void Simulator::Signals::ring(std::uint32_t token) {
    for (std::uint32_t i = 0; i < rings; ++i) {
        if (tokens[i] == token) {
            return;
        }
    }
    tokens[rings++] = token;
}

void Simulator::poke(SharedState& s, std::size_t slot, std::int64_t at, bool force,
                     Signals& signals) {
    HandleState& h = s.handles[slot];
    if (!h.wakeable || (!force && at >= h.armed_ns)) {
        return;
    }
    h.armed_ns = std::min(h.armed_ns, at);
    if (h.owner == attachment_->token) {
        Waiters& w = *waiters_[slot];
        signals.add(&w, h.armed_ns, w.watched, true);
    } else {
        h.poked = 1;
        signals.ring(h.owner);
    }
}

void Simulator::rearm(SharedState& s, std::size_t slot, Signals& signals) {
    HandleState& h = s.handles[slot];
    const std::int64_t next = s.wire_next_end_ns[h.wire];
    if (next == h.armed_ns) {
        return;
    }
    h.armed_ns = next;
    Waiters& w = *waiters_[slot];
    if (w.watched && next != kNotScheduled) {
        signals.add(&w, next, true, false);
    }
}

void Simulator::make_wakeable_locked(SharedState& s, std::size_t slot) {
    HandleState& h = s.handles[slot];
    if (h.wakeable) {
        return;
    }
    // Others ring the doorbell once the handle is wakeable: it answers before.
    {
        std::lock_guard guard(delivery_mutex_);
        if (delivery_.thread.joinable() && delivery_.token != attachment_->token) {
            // Left running by a configure that raced with this call: it ends by itself.
            delivery_.stop->store(true);
            delivery_.bell->set();
            retired_.push_back(std::move(delivery_));
            delivery_ = Delivery{};
        }
        if (!delivery_.thread.joinable()) {
            auto bell = platform::NamedEvent::open(attachment_->name + ".bell." +
                                                   std::to_string(attachment_->token));
            if (!bell) {
                std::fprintf(stderr, "tarnsim: %s\n", bell.error().what.c_str());
                return;  // waits end by their own times only
            }
            delivery_.token = attachment_->token;
            delivery_.bell = std::make_shared<platform::NamedEvent>(std::move(bell.value()));
            delivery_.stop = std::make_shared<std::atomic<bool>>(false);
            delivery_.thread =
                platform::Thread("tarnsim delivery", platform::ThreadPriority::Normal,
                                 [this, bell = delivery_.bell, stop = delivery_.stop,
                                  token = delivery_.token] { delivery_body(*bell, *stop, token); });
        }
    }
    h.wakeable = 1;
}

void Simulator::delivery_body(platform::NamedEvent& bell, const std::atomic<bool>& stop,
                              std::uint32_t token) {
    for (;;) {
        bell.wait_until(kNotScheduled);
        if (stop.load()) {
            return;
        }
        Session session(*this, false);
        if (session.status() == kOk && attachment_->token == token && !stop.load()) {
            sweep_locked(session.state(), session.signals());
        }
    }
}

void Simulator::sweep_locked(SharedState& s, Signals& signals) {
    for (std::size_t i = 0; i < mine_.size();) {
        const std::size_t slot = mine_[i];
        HandleState& h = s.handles[slot];
        Waiters& w = *waiters_[slot];
        if (!h.in_use || h.owner != attachment_->token) {
            // Reset by another process: its waiters find out that it is gone.
            signals.add(&w, std::numeric_limits<std::int64_t>::min(), w.watched, true);
            w.watched = false;
            mine_[i] = mine_.back();
            mine_.pop_back();
            continue;
        }
        if (h.poked) {
            h.poked = 0;
            signals.add(&w, h.armed_ns, w.watched, true);
        }
        ++i;
    }
}

void Simulator::give(Signals& signals) {
    for (std::uint32_t i = 0; i < signals.locals; ++i) {
        const Signals::Local& l = signals.local[i];
        if (l.event) {
            l.waiters->event.set_at(l.at);
        }
        if (l.wake) {
            l.waiters->wake.set();
        }
    }
    for (std::uint32_t i = 0; i < signals.rings; ++i) {
        ring(signals.tokens[i]);
    }
    signals.locals = 0;
    signals.rings = 0;
}

void Simulator::ring(std::uint32_t token) {
    std::lock_guard guard(bells_mutex_);
    auto it = bells_.find(token);
    if (it == bells_.end()) {
        auto bell =
            platform::NamedEvent::open(attachment_->name + ".bell." + std::to_string(token));
        if (!bell) {
            return;
        }
        it = bells_.emplace(token, std::move(bell.value())).first;
    }
    it->second.set();
}

void Simulator::stop_delivery(DeliveryEnd end) {
    std::vector<Delivery> old;
    {
        std::lock_guard guard(delivery_mutex_);
        old = std::move(retired_);
        retired_.clear();
        if (delivery_.thread.joinable()) {
            old.push_back(std::move(delivery_));
        }
        delivery_ = Delivery{};
    }
    if (old.empty()) {
        return;
    }
    if (end == DeliveryEnd::LeaveToEnd) {
        // The threads' code must stay in place after the driver is unloaded.
        platform::keep_library_loaded(reinterpret_cast<const void*>(&Simulator::instance));
    }
    for (Delivery& d : old) {
        d.stop->store(true);
        d.bell->set();
        if (end == DeliveryEnd::Wait) {
            d.thread.join();
        } else {
            d.thread.detach();
        }
    }
}

}  // namespace tarnsim
