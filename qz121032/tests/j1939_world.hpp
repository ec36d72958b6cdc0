#pragma once
// J1939 for the client tests: the send and read formats of a J1939 client as an application
// writes and parses them, and a foreign J1939 node on the other channel of the bus that
// speaks the protocol frame by frame through its own driver handle (single frames, BAM and
// RTS/CTS transfers in both directions, address claims).

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "can_world.hpp"
#include "j1939_format.hpp"

namespace qz121032::testing {

// Data of `size` bytes that differ from message to message (`seed`) and along the message.
inline Bytes pattern(std::size_t size, std::uint8_t seed = 0) {
    Bytes data(size);
    for (std::size_t i = 0; i < size; ++i) {
        data[i] = static_cast<std::uint8_t>(i * 7 + seed);
    }
    return data;
}

// The argument of Protect_J1939_Address: address, NAME least significant byte first,
// blocking flag (0 waits for the claim's outcome).
inline Bytes protect_args(std::uint8_t address, std::uint64_t name, std::uint8_t flag = 0) {
    Bytes args{address};
    for (int i = 0; i < 8; ++i) {
        args.push_back(static_cast<std::uint8_t>(name >> (8 * i)));
    }
    args.push_back(flag);
    return args;
}

// A message as RP1210_ReadMessage returns it from a J1939 client.
struct J1939Read {
    std::uint32_t time_ms = 0;
    std::optional<std::uint8_t> echo;  // present while echo is on
    std::uint32_t pgn = 0;
    std::uint8_t how = 0;  // priority, bit 7 for a BAM
    std::uint8_t source = 0;
    std::uint8_t destination = 0;
    Bytes data;
};

inline std::optional<J1939Read> parse_j1939(const Read& r, bool echo_on) {
    const std::size_t header = 4 + (echo_on ? 1 : 0) + 6;
    if (r.result <= 0 || r.bytes.size() < header) {
        return std::nullopt;
    }
    J1939Read m;
    m.time_ms = time_stamp(r);
    std::size_t at = 4;
    if (echo_on) {
        m.echo = r.bytes[at++];
    }
    m.pgn = r.bytes[at] | (r.bytes[at + 1] << 8) | (r.bytes[at + 2] << 16);
    m.how = r.bytes[at + 3];
    m.source = r.bytes[at + 4];
    m.destination = r.bytes[at + 5];
    m.data.assign(r.bytes.begin() + static_cast<std::ptrdiff_t>(header), r.bytes.end());
    return m;
}

// A J1939 frame as the foreign node sees it.
struct J1939Frame {
    std::uint32_t pgn = 0;  // PS cleared for PDU1
    std::uint8_t priority = 0;
    std::uint8_t source = 0;
    std::uint8_t destination = 0;
    Bytes data;
};

inline std::uint32_t j1939_id(std::uint32_t pgn, std::uint8_t priority, std::uint8_t source,
                              std::uint8_t destination) {
    const bool pdu2 = (pgn & 0xF000) == 0xF000;
    const std::uint32_t middle =
        pdu2 ? ((pgn << 8) & 0x3FFFF00) : (((pgn << 8) & 0x3FF0000) | (destination << 8));
    return (std::uint32_t{priority} & 7) << 26 | middle | source;
}

inline J1939Frame j1939_frame(const tarnlib::CanMessage& frame) {
    J1939Frame f;
    f.priority = static_cast<std::uint8_t>((frame.id >> 26) & 7);
    f.source = static_cast<std::uint8_t>(frame.id);
    if ((frame.id & 0xF00000) == 0xF00000) {
        f.pgn = (frame.id >> 8) & 0x3FFFF;
        f.destination = kGlobal;
    } else {
        f.pgn = (frame.id >> 8) & 0x3FF00;
        f.destination = static_cast<std::uint8_t>(frame.id >> 8);
    }
    f.data = frame.data;
    return f;
}

// A foreign node with its own address on a channel of the bus (1 unless told otherwise).
class J1939Peer {
  public:
    J1939Peer(double rate, std::uint8_t address, std::uint32_t channel = 1)
        : peer_(rate, channel), address_(address) {}

    std::uint8_t address() const { return address_; }
    Peer& raw() { return peer_; }

    void send(std::uint32_t pgn, std::uint8_t priority, std::uint8_t destination, Bytes data) {
        ASSERT_EQ(peer_.send(j1939_id(pgn, priority, address_, destination), std::move(data), true),
                  tarnlib::Status::tarnOK);
    }

    // The next frame from another node that satisfies `wanted`, waiting up to `limit`;
    // frames passed over are dropped.
    std::optional<J1939Frame> next(const std::function<bool(const J1939Frame&)>& wanted,
                                   std::chrono::milliseconds limit = kGenerous) {
        const auto end = std::chrono::steady_clock::now() + limit;
        for (;;) {
            while (at_ < pending_.size()) {
                const tarnlib::CanMessage& frame = pending_[at_++];
                if (frame.flag.has(tarnlib::CanMsgFlags::TXACK) ||
                    frame.flag.has(tarnlib::CanMsgFlags::ERROR_FRAME) ||
                    !frame.flag.has(tarnlib::CanMsgFlags::EXT)) {
                    continue;
                }
                J1939Frame f = j1939_frame(frame);
                if (wanted(f)) {
                    return f;
                }
            }
            const auto now = std::chrono::steady_clock::now();
            if (now >= end) {
                return std::nullopt;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - now);
            auto batch = peer_.handle().read(
                static_cast<std::uint32_t>(std::min<long long>(left.count() + 1, 100)));
            if (!batch) {
                return std::nullopt;
            }
            pending_ = std::move(*batch);
            at_ = 0;
        }
    }

    // A TP.CM from `source` to this node (or to everyone), of the control byte.
    std::optional<J1939Frame> next_cm(std::uint8_t source, std::uint8_t control,
                                      std::chrono::milliseconds limit = kGenerous) {
        return next(
            [&](const J1939Frame& f) {
                return f.pgn == kPgnTpCm && f.source == source && f.data.size() == 8 &&
                       f.data[0] == control;
            },
            limit);
    }

    // A BAM of `data` (9 to 1785 bytes) to everyone, its packets back to back.
    void send_bam(std::uint32_t pgn, const Bytes& data, std::uint8_t priority = 6) {
        send(kPgnTpCm, priority, kGlobal, announcement(0x20, pgn, data.size(), 0xFF));
        send_packets(priority, kGlobal, data, 1, packets(data.size()));
    }

    // An RTS/CTS transfer of `data` to `destination`: the RTS, then the packets each CTS
    // asks for, until the EOMACK (or an abort). Returns the CTS and EOMACK frames that
    // came, or what came until nothing more did.
    std::vector<J1939Frame> send_rts_cts(std::uint32_t pgn, std::uint8_t destination,
                                         const Bytes& data) {
        send(kPgnTpCm, 7, destination, announcement(0x10, pgn, data.size(), 0xFF));
        std::vector<J1939Frame> answers;
        for (;;) {
            auto answer = next([&](const J1939Frame& f) {
                return f.pgn == kPgnTpCm && f.source == destination && f.destination == address_ &&
                       f.data.size() == 8;
            });
            if (!answer) {
                return answers;
            }
            answers.push_back(*answer);
            if (answer->data[0] != 0x11) {
                return answers;  // EOMACK or abort
            }
            const std::uint32_t count = answer->data[1];
            const std::uint32_t first = answer->data[2];
            send_packets(7, destination, data, first, first + count - 1);
        }
    }

    // Receives one transfer from `source`: answers an RTS with one CTS for every packet and
    // the EOMACK, or follows a BAM. The reassembled message (destination 255 for a BAM).
    std::optional<J1939Frame> receive_transfer(std::uint8_t source) {
        auto start = next([&](const J1939Frame& f) {
            return f.pgn == kPgnTpCm && f.source == source && f.data.size() == 8 &&
                   ((f.data[0] == 0x10 && f.destination == address_) ||
                    (f.data[0] == 0x20 && f.destination == kGlobal));
        });
        if (!start) {
            return std::nullopt;
        }
        const Bytes& cm = start->data;
        const std::size_t size = cm[1] | (cm[2] << 8);
        const std::uint32_t count = cm[3];
        const bool rts = cm[0] == 0x10;
        J1939Frame message;
        message.pgn = cm[5] | (cm[6] << 8) | (cm[7] << 16);
        message.source = source;
        message.destination = rts ? address_ : kGlobal;
        message.priority = start->priority;
        if (rts) {
            send(kPgnTpCm, 7, source,
                 {0x11, static_cast<std::uint8_t>(count), 1, 0xFF, 0xFF, cm[5], cm[6], cm[7]});
        }
        for (std::uint32_t n = 1; n <= count; ++n) {
            auto packet = next([&](const J1939Frame& f) {
                return f.pgn == kPgnTpDt && f.source == source &&
                       f.destination == message.destination;
            });
            if (!packet || packet->data.size() != 8 || packet->data[0] != n) {
                return std::nullopt;
            }
            message.data.insert(message.data.end(), packet->data.begin() + 1, packet->data.end());
        }
        message.data.resize(size);
        if (rts) {
            send(kPgnTpCm, 7, source, {0x13, cm[1], cm[2], cm[3], 0xFF, cm[5], cm[6], cm[7]});
        }
        return message;
    }

    // Address Claimed for `address` with `name` (the NAME least significant byte first).
    void claim(std::uint8_t address, std::uint64_t name) {
        Bytes data;
        for (int i = 0; i < 8; ++i) {
            data.push_back(static_cast<std::uint8_t>(name >> (8 * i)));
        }
        ASSERT_EQ(peer_.send(j1939_id(kPgnAddressClaimed, 6, address, kGlobal), data, true),
                  tarnlib::Status::tarnOK);
    }

  private:
    static std::uint32_t packets(std::size_t size) {
        return static_cast<std::uint32_t>((size + 6) / 7);
    }
    static Bytes announcement(std::uint8_t control, std::uint32_t pgn, std::size_t size,
                              std::uint8_t per_cts) {
        return {control,
                static_cast<std::uint8_t>(size),
                static_cast<std::uint8_t>(size >> 8),
                static_cast<std::uint8_t>(packets(size)),
                per_cts,
                static_cast<std::uint8_t>(pgn),
                static_cast<std::uint8_t>(pgn >> 8),
                static_cast<std::uint8_t>(pgn >> 16)};
    }
    void send_packets(std::uint8_t priority, std::uint8_t destination, const Bytes& data,
                      std::uint32_t first, std::uint32_t last) {
        for (std::uint32_t n = first; n <= last; ++n) {
            Bytes packet{static_cast<std::uint8_t>(n)};
            for (std::size_t i = (n - 1) * 7; i < n * 7; ++i) {
                packet.push_back(i < data.size() ? data[i] : 0xFF);
            }
            send(kPgnTpDt, priority, destination, std::move(packet));
        }
    }

    Peer peer_;
    const std::uint8_t address_;
    std::vector<tarnlib::CanMessage> pending_;  // the last batch read, from at_ on
    std::size_t at_ = 0;
};

}  // namespace qz121032::testing
