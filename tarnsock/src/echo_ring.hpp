#pragma once
// Which frames on an interface were sent through this driver library, in any process.
//
// The kernel loops every frame sent on an interface back to the other sockets on it and
// marks the copies as sent from this host, whoever sent them: this library, the kernel's
// own J1939 stack, cansend. The driver's local echo must mean "sent by another handle of
// this library", so that a J1939 peer running on the same machine is heard as a node on
// the bus. Every send is therefore recorded in a ring in shared memory, and a looped-back
// copy counts as local echo only when the ring holds the same frame, on the same
// interface, sent shortly before it was received.

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/shared_memory.hpp"

namespace tarnsock {

struct EchoKey {
    int ifindex = 0;
    std::uint32_t can_id = 0;  // with the kernel's EFF/RTR flags
    std::uint8_t length = 0;
    std::uint8_t data[64] = {};
};

class EchoRing {
  public:
    static constexpr std::uint32_t kEntries = 4096;
    // A looped-back copy is matched to sends at most this long before its time stamp.
    static constexpr std::int64_t kWindowNs = 2'000'000'000;

    // Opens (or creates) the machine's ring of the given name; nullopt if shared memory
    // cannot be had, in which case nothing is recognised as local echo.
    static std::optional<EchoRing> open(const std::string& name);

    // Records a frame about to be sent, at wall-clock time now_ns.
    void record(const EchoKey& key, std::int64_t now_ns) noexcept;
    // Whether a frame received with wall-clock time stamp at_ns was recorded by a send.
    bool sent_here(const EchoKey& key, std::int64_t at_ns) const noexcept;

    struct Entry;
    struct Block;

  private:
    explicit EchoRing(platform::SharedMemory memory) noexcept;
    platform::SharedMemory memory_;
    Block* block_ = nullptr;
};

}  // namespace tarnsock
