#pragma once

namespace vq {

// Standard output is an open file descriptor: a terminal, a pipe or a file alike.
bool IsConsoleApplication() noexcept;

}  // namespace vq
