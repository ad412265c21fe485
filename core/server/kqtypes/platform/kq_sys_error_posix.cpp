#include "kq_sys_error.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kq::sys {

namespace {

// strerror_r comes in two shapes: the XSI one returns 0 or an error number
// and writes into the buffer; the GNU one returns the text, which may be a
// static string instead. Overloading on the result picks whichever the C
// library declares.
[[maybe_unused]] char const* PickText(int result, char const* buffer) {
  return result == 0 || buffer[0] != '\0' ? buffer : nullptr;
}
[[maybe_unused]] char const* PickText(char const* result, char const*) { return result; }

// Copies text into buffer, cut to fit on a UTF-8 character boundary, so that
// a caller converting the text never meets half a character.
void CopyBounded(char const* text, char* buffer, std::size_t size) {
  std::size_t length = std::strlen(text);
  if (length >= size) {
    length = size - 1;
    while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) --length;
  }
  std::memcpy(buffer, text, length);
  buffer[length] = '\0';
}

}  // namespace

std::uint32_t LastError() { return static_cast<std::uint32_t>(errno); }

void SetLastError(std::uint32_t code) { errno = static_cast<int>(code); }

bool ErrorText(std::uint32_t code, char* buffer, std::size_t size) {
  if (buffer == nullptr || size == 0) return false;
  int const saved = errno;
  char text[256];
  text[0] = '\0';
  char const* found = PickText(strerror_r(static_cast<int>(code), text, sizeof text), text);
  if (found == nullptr || found[0] == '\0') {
    std::snprintf(text, sizeof text, "Unknown error %u", static_cast<unsigned>(code));
    found = text;
  }
  CopyBounded(found, buffer, size);
  errno = saved;
  return true;
}

bool ExecutablePath(char* buffer, std::size_t size) {
  if (buffer == nullptr || size == 0) return false;
  int const saved = errno;
  ssize_t const length = ::readlink("/proc/self/exe", buffer, size - 1);
  errno = saved;
  // A result filling the whole buffer may have been cut short.
  if (length <= 0 || static_cast<std::size_t>(length) >= size - 1) {
    buffer[0] = '\0';
    return false;
  }
  buffer[length] = '\0';
  return true;
}

}  // namespace kq::sys
