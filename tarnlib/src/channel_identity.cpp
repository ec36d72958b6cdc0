#include "tarnlib/channel_identity.hpp"

#include <fmt/format.h>

#include "tarnlib/driver_api.h"
#include "tarnlib/driver_library.hpp"

namespace tarnlib {

std::string to_string(const ChannelIdentity& identity) {
    // The EAN is packed decimal: its hexadecimal digits are the decimal digits.
    const std::string digits = fmt::format("{:013x}", identity.ean);
    const std::size_t n = digits.size();
    return fmt::format("{}-{}-{}-{}/{}/{}", digits.substr(0, n - 11), digits.substr(n - 11, 5),
                       digits.substr(n - 6, 5), digits.substr(n - 1), identity.serial,
                       identity.channel);
}

TarnResult<ChannelIdentity> read_identity(std::int32_t channel) {
    const DriverLibrary& driver = DriverLibrary::instance();
    ChannelIdentity identity;
    std::uint64_t serial = 0;
    if (std::int32_t st = driver.get_channel_data(channel, TARN_CHANNELDATA_CARD_SERIAL_NO, &serial,
                                                  sizeof serial);
        st != 0) {
        return platform::unexpected(static_cast<Status>(st));
    }
    if (serial == 0) {
        std::uint32_t card = 0;
        if (std::int32_t st =
                driver.get_channel_data(channel, TARN_CHANNELDATA_CARD_NUMBER, &card, sizeof card);
            st != 0) {
            return platform::unexpected(static_cast<Status>(st));
        }
        serial = card;
    }
    identity.serial = serial;
    if (std::int32_t st = driver.get_channel_data(channel, TARN_CHANNELDATA_CARD_UPC_NO,
                                                  &identity.ean, sizeof identity.ean);
        st != 0) {
        return platform::unexpected(static_cast<Status>(st));
    }
    if (std::int32_t st = driver.get_channel_data(channel, TARN_CHANNELDATA_CHAN_NO_ON_CARD,
                                                  &identity.channel, sizeof identity.channel);
        st != 0) {
        return platform::unexpected(static_cast<Status>(st));
    }
    return identity;
}

ChannelDirectory& ChannelDirectory::instance() {
    static ChannelDirectory* const directory = new ChannelDirectory();
    return *directory;
}

Status ChannelDirectory::discover() {
    std::lock_guard driver_guard(DriverLibrary::instance().driver_lock());
    return discover_locked();
}

Status ChannelDirectory::discover_locked() {
    DriverLibrary& driver = DriverLibrary::instance();
    std::map<ChannelIdentity, std::int32_t> table;
    std::int32_t count = 0;
    if (std::int32_t st = driver.enum_hardware_ex(count); st != 0) {
        return static_cast<Status>(st);
    }
    for (std::int32_t channel = 0; channel < count; ++channel) {
        auto identity = read_identity(channel);
        if (identity) {
            table.emplace(std::move(identity.value()), channel);
        }
    }
    replace(std::move(table));
    return Status::tarnOK;
}

std::optional<std::int32_t> ChannelDirectory::channel_number(
    const ChannelIdentity& identity) const {
    std::lock_guard guard(mutex_);
    auto it = table_.find(identity);
    if (it == table_.end()) {
        return std::nullopt;
    }
    return it->second;
}

std::vector<ChannelIdentity> ChannelDirectory::find(const ChannelSelector& selector) {
    discover();
    return matching(selector);
}

TarnResult<std::vector<ChannelIdentity>> ChannelDirectory::discover_and_find(
    const ChannelSelector& selector) {
    if (const Status status = discover(); status != Status::tarnOK) {
        return platform::unexpected(status);
    }
    return matching(selector);
}

std::vector<ChannelIdentity> ChannelDirectory::matching(const ChannelSelector& selector) const {
    std::vector<ChannelIdentity> found;
    std::lock_guard guard(mutex_);
    for (const auto& [identity, number] : table_) {
        if ((!selector.ean || *selector.ean == identity.ean) &&
            (!selector.serial || *selector.serial == identity.serial) &&
            (!selector.channel || *selector.channel == identity.channel)) {
            found.push_back(identity);
        }
    }
    return found;
}

void ChannelDirectory::replace(std::map<ChannelIdentity, std::int32_t> table) {
    std::lock_guard guard(mutex_);
    table_ = std::move(table);
}

}  // namespace tarnlib
