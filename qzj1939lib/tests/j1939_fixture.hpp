#pragma once
// J1939 channels on the simulated hardware: a node is a CAN device with a J1939 channel on
// it, and the events the channel hands out are waited for with a generous limit.

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "network_fixture.hpp"
#include "qzj1939lib/j1939_channel.hpp"
#include "tarnlib/bus_device.hpp"
#include "tarnlib/can_device.hpp"

namespace qzj1939lib::test {

using tarnlib::test::kGenerous;

inline std::vector<std::uint8_t> pattern(std::size_t size, std::uint8_t seed = 0) {
    std::vector<std::uint8_t> data(size);
    for (std::size_t i = 0; i < size; ++i) {
        data[i] = static_cast<std::uint8_t>(seed + i * 7 + i / 251);
    }
    return data;
}

inline J1939Message message(std::uint32_t pgn, std::uint8_t src, std::uint8_t dest,
                            std::vector<std::uint8_t> data, std::uint8_t priority = 6) {
    J1939Message m;
    m.pgn = pgn;
    m.priority = priority;
    m.src_addr = src;
    m.dest_addr = dest;
    m.data = std::move(data);
    return m;
}

// A CAN device on a channel of the simulated bus, and a J1939 channel on it.
class Node {
  public:
    Node(std::string name, const tarnlib::ChannelIdentity& identity, double rate = 250000) {
        tarnlib::CanDeviceConfiguration config;
        config.identity = identity;
        config.bus = tarnlib::test::classic(rate);
        config.retry_delay = std::chrono::milliseconds(50);
        device = tarnlib::CanDevice::create(
            std::move(name), tarnlib::get_or_create_bus(config.bus, identity), config);
        EXPECT_TRUE(device->wait_until_up(kGenerous));
        channel = J1939Channel::create(device);
    }

    void open() {
        auto opened = channel->open();
        ASSERT_TRUE(opened) << to_string(opened.error());
        events.emplace(std::move(*opened));
    }

    // The first event of the kind that satisfies the condition, in arrival order; the
    // events passed over stay for later calls. Nothing after the generous limit or when the
    // queue closed.
    template <class T>
    std::optional<T> next(const std::function<bool(const T&)>& wanted = {}) {
        const auto take = [&](ChannelEvent& event) -> std::optional<T> {
            if (auto* e = std::get_if<T>(&event); e && (!wanted || wanted(*e))) {
                return std::move(*e);
            }
            return std::nullopt;
        };
        for (auto it = backlog.begin(); it != backlog.end(); ++it) {
            if (auto found = take(*it)) {
                backlog.erase(it);
                return found;
            }
        }
        const Instant limit = MonotonicClock::now() + kGenerous;
        for (;;) {
            auto r = events->receive_until(limit);
            if (!r.item) {
                return std::nullopt;
            }
            if (auto found = take(*r.item)) {
                return found;
            }
            backlog.push_back(std::move(*r.item));
        }
    }
    std::optional<RxMessage> received(std::uint32_t pgn) {
        return next<RxMessage>([pgn](const RxMessage& m) { return m.message.pgn == pgn; });
    }
    std::optional<AddressState> address_state(std::uint8_t address) {
        return next<AddressState>([address](const AddressState& s) {
            return s.address == address && s.state != ClaimState::ClaimSent;
        });
    }
    // Events queued now, without waiting.
    std::vector<ChannelEvent> queued() {
        std::vector<ChannelEvent> out(std::make_move_iterator(backlog.begin()),
                                      std::make_move_iterator(backlog.end()));
        backlog.clear();
        while (auto r = events->try_receive().item) {
            out.push_back(std::move(*r));
        }
        return out;
    }
    // Whether the event queue has closed (every sender gone, the Tx thread ended).
    bool closed() {
        const Instant limit = MonotonicClock::now() + kGenerous;
        for (;;) {
            auto r = events->receive_until(limit);
            if (r.status != EventReceiver::Status::Item) {
                return r.status == EventReceiver::Status::Closed;
            }
        }
    }

    std::shared_ptr<tarnlib::CanDevice> device;
    std::shared_ptr<J1939Channel> channel;
    std::optional<EventReceiver> events;
    std::deque<ChannelEvent> backlog;  // received, not yet asked for
};

}  // namespace qzj1939lib::test
