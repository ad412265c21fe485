// The calling thread's last operating-system error, the system's text for an
// error code, and the path of the running executable.
//
// Exceptions use these while they are prepared: an empty message is completed
// with the text of the pending error, which is then reset. On POSIX systems
// the last error is errno.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kq_types.h"

namespace kq::sys {

// The calling thread's last error code; 0 when none is pending.
std::uint32_t LastError();
// Sets the calling thread's last error code; 0 resets it.
void SetLastError(std::uint32_t code);

// Writes the system's text for code (in the language of the current locale)
// into buffer as zero-terminated UTF-8, cut to size - 1 bytes on a character
// boundary. Codes the system does not know get a generic text naming the
// number. False, with nothing written, when buffer is null or size is 0.
// Leaves the last error unchanged.
bool ErrorText(std::uint32_t code, char* buffer, std::size_t size);

// Writes the full path of the running executable into buffer, zero-terminated.
// False when the path is unknown or does not fit in size - 1 bytes; the
// buffer then holds an empty string (when size allows). Leaves the last error
// unchanged.
bool ExecutablePath(char* buffer, std::size_t size);

}  // namespace kq::sys
