#pragma once
// A process shows that it lives by holding a named liveness mark; any other process can ask
// whether the mark is still held, and so learn that its holder has ended, however it ended
// (exit, crash, SIGKILL, TerminateProcess). Shared state that records an owner by the name
// of its mark can then be taken back from owners that are gone.
//
// The mark is a small SharedMemory block, which the system drops with its last holder: a
// probe that has to create the block afresh found nobody holding it. A name must belong to
// one holder for good (for example a counter that never repeats in the shared state that
// hands it out); a name used again would make a new holder look like the old one.

#include <string>

#include "platform/expected.hpp"
#include "platform/shared_memory.hpp"

namespace platform {

class LivenessMark {
  public:
    // Holds the mark until the object is destroyed or the process ends.
    static Result<LivenessMark> hold(const std::string& name);

    // Whether a process holds the mark of that name. A probe that fails counts as held: a
    // holder is declared gone only when that is certain.
    static bool held(const std::string& name);

  private:
    explicit LivenessMark(SharedMemory block) noexcept : block_(std::move(block)) {}
    SharedMemory block_;
};

}  // namespace platform
