// Unpredictable bytes from the system, for secrets a process keeps to itself
// (the seed of the containers' key hashes).
#pragma once

#include <cstddef>

namespace kq::sys {

// Fills size bytes at buffer from the system's random source and returns
// true; false when the source cannot give them (the buffer's contents are
// then unspecified). Leaves the last error unchanged.
bool RandomBytes(void* buffer, std::size_t size) noexcept;

}  // namespace kq::sys
