// The escapes of quoted text in the text format, shared by characters
// ('a', quoted by ') and strings ("ab", quoted by ").
#pragma once

namespace kq::text {

// The text of one byte between quotes: the byte itself when it is printable
// ASCII; a backslash and a letter for backspace (b), tab (t), line feed (n),
// carriage return (r), the backslash and the quote itself; any other byte as
// a backslash and three octal digits. Writes at most four characters and
// returns the end of what it wrote.
inline char* EscapeByte(unsigned char byte, char quote, char* out) {
  char letter = '\0';
  switch (byte) {
    case 8:
      letter = 'b';
      break;
    case 9:
      letter = 't';
      break;
    case 10:
      letter = 'n';
      break;
    case 13:
      letter = 'r';
      break;
    case '\\':
      letter = '\\';
      break;
    default:
      if (byte == static_cast<unsigned char>(quote)) {
        letter = quote;
      } else if (byte >= 32 && byte <= 126) {
        *out++ = static_cast<char>(byte);
        return out;
      } else {
        *out++ = '\\';
        *out++ = static_cast<char>('0' + (byte >> 6));
        *out++ = static_cast<char>('0' + ((byte >> 3) & 7));
        *out++ = static_cast<char>('0' + (byte & 7));
        return out;
      }
  }
  *out++ = '\\';
  *out++ = letter;
  return out;
}

// The byte that a backslash and letter stand for (b, t, n, r), or -1.
inline int LetterEscape(unsigned char letter) {
  switch (letter) {
    case 'b':
      return 8;
    case 't':
      return 9;
    case 'n':
      return 10;
    case 'r':
      return 13;
    default:
      return -1;
  }
}

}  // namespace kq::text
