#include "platform/liveness.hpp"

namespace platform {

namespace {
// The block carries nothing; its existence is the mark.
constexpr std::size_t kMarkSize = 64;
}  // namespace

Result<LivenessMark> LivenessMark::hold(const std::string& name) {
    auto block = SharedMemory::open(name, kMarkSize);
    if (!block) {
        return unexpected(std::move(block).error());
    }
    return LivenessMark(std::move(*block));
}

bool LivenessMark::held(const std::string& name) {
    // The probe holds the block only for this call; when it created it, closing it again
    // removes it.
    const auto probe = SharedMemory::open(name, kMarkSize);
    return !probe || !probe->created();
}

}  // namespace platform
