#pragma once
// The cross-process hardware status: one block shared by every process that loaded the
// library, counting the clients of each channel. Every client holds a reference.

#include <memory>

namespace qz121032 {

class HardwareStatus {
public:
    // Opens (or creates) the process's block. Failure to create the shared memory ends
    // the process.
    static std::shared_ptr<HardwareStatus> open();
};

}  // namespace qz121032
