#pragma once
// Channels named by what does not change when interfaces come and go: the interface's EAN
// and serial number and the channel's number on the interface. Discovery maps these
// identities to the driver's current channel numbers.

#include <compare>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "tarnlib/can_message.hpp"

namespace tarnlib {

struct ChannelIdentity {
    std::string name;  // discovery leaves it empty
    std::uint64_t ean = 0;
    std::uint64_t serial = 0;
    std::uint32_t channel = 0;  // on the interface

    friend auto operator<=>(const ChannelIdentity&, const ChannelIdentity&) = default;
};

// "73-30130-12345-6/10001/0".
std::string to_string(const ChannelIdentity& identity);

struct ChannelSelector {
    std::optional<std::uint64_t> ean;
    std::optional<std::uint64_t> serial;
    std::optional<std::uint32_t> channel;
};

// Reads a driver channel's identity: serial number (the card number when it is 0), EAN,
// channel number on the interface. The first failing item's status is the error.
TarnResult<ChannelIdentity> read_identity(std::int32_t channel);

// The discovery table of the process.
class ChannelDirectory {
  public:
    static ChannelDirectory& instance();

    ChannelDirectory(const ChannelDirectory&) = delete;
    ChannelDirectory& operator=(const ChannelDirectory&) = delete;

    // Re-scans the hardware under the driver lock and rebuilds the table from the channels
    // whose identity can be read. The enumeration's status on failure.
    Status discover();
    // The same for a caller that holds the driver lock already (it opens a channel next).
    Status discover_locked();
    // The driver channel number of an identity in the table.
    std::optional<std::int32_t> channel_number(const ChannelIdentity& identity) const;
    // Discovers, then lists the identities matching every given criterion, ascending.
    std::vector<ChannelIdentity> find(const ChannelSelector& selector);
    // The same, with the enumeration's status when discovery fails.
    TarnResult<std::vector<ChannelIdentity>> discover_and_find(const ChannelSelector& selector);
    // Replaces the table (for callers that know the channels without discovery).
    void replace(std::map<ChannelIdentity, std::int32_t> table);

  private:
    ChannelDirectory() = default;
    std::vector<ChannelIdentity> matching(const ChannelSelector& selector) const;

    mutable std::mutex mutex_;  // guards table_
    std::map<ChannelIdentity, std::int32_t> table_;
};

}  // namespace tarnlib
