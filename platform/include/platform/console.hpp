#pragma once
// The process's console: whether standard output goes to a terminal, for programs that
// draw a live status line only when a person is watching.

namespace platform {

// True when standard output is an interactive terminal (a console on Windows), false for
// files and pipes.
bool stdout_is_terminal() noexcept;

}  // namespace platform
