// Whether the standard channels of the process are terminals, for programs
// that show progress or colour only to a person watching.
#pragma once

#include "kq_types.h"

namespace kq::sys {

enum class StandardChannel { kInput, kOutput, kError };

// True when the channel is connected to a terminal (not a file or a pipe).
// Leaves the last error unchanged.
bool IsTerminal(StandardChannel channel) noexcept;

}  // namespace kq::sys
