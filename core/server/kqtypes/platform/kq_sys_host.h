// This machine's network name.
#pragma once

#include <cstddef>

namespace kq::sys {

// Writes this machine's name, zero-terminated, into buffer (size bytes, at
// least 2) and returns true; false when the system gives none. A name longer
// than the buffer is cut. Leaves the last error unchanged.
bool HostName(char* buffer, std::size_t size) noexcept;

}  // namespace kq::sys
