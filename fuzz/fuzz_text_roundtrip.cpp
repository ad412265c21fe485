// What the text reader accepts, written again, reads back identical: each
// value that Extract takes from arbitrary bytes is written with a fresh
// stream and extracted once more, and the second value must be KQ_IsIdent
// to the first (both ways). Library exceptions while reading the input end
// the run; the text written from a value must read back without one, using
// all of it.
//
// The input may say more than the text keeps: digits beyond the six
// decimals, a packed section where the writer packs an object. Then the two
// values differ but their texts are the same, which is accepted. A
// dictionary may also come back in another order, and a float may move by
// one step of its precision on the way through its decimals; for texts
// holding either, the value read from the rewritten text must be identical
// to the one it was written from (the text form is stable after one round).
//
// Values that are not identical to themselves (anything holding a NaN) are
// skipped: no text can reproduce an identity they lack. So are values
// holding an infinite number (a decimal beyond the range of its type reads
// as one): it is written as "inf", which is no number of the format.

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>

#include "kq_eexception.h"
#include "kq_initialization.h"
#include "kq_ipackable.h"
#include "kq_thumanreadablestream.h"
#include "kq_tmemorystream.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

KQ_IPackable const& Packable(KQ_IHumanReadable const& value) {
  auto const* packable = static_cast<KQ_IPackable const*>(value.KQ_Cast("KQ_IPackable"));
  Check(packable != nullptr);
  return *packable;
}

bool Same(KQ_IHumanReadable const& a, KQ_IHumanReadable const& b) {
  return Packable(a).KQ_IsIdent(Packable(b)) && Packable(b).KQ_IsIdent(Packable(a));
}

// The text of value; false when it has none (an Any holding a pointer).
bool Write(KQ_IHumanReadable const& value, std::string& text) {
  KQ_TMemoryStream memory;
  KQ_THumanReadableStream writer(memory);
  try {
    writer << value;
  } catch (KQ_EException const&) {
    return false;
  }
  text.assign(reinterpret_cast<char const*>(memory.Data()), memory.Size());
  return true;
}

// The value of a text that the writer made: it must read, up to the line
// end put after it (a number at the very end of the input would run into
// the end while its token is scanned).
std::unique_ptr<KQ_IHumanReadable> Read(std::string const& text) {
  std::string line = text + "\n";
  auto const size = static_cast<std::uint32_t>(line.size());
  KQ_TMemoryStream memory(line.data(), size, size);
  KQ_THumanReadableStream reader(memory);
  std::unique_ptr<KQ_IHumanReadable> value;
  try {
    value.reset(reader.Extract());
  } catch (KQ_EException const& error) {
    std::cerr << "the written text does not read back:\n" << text << "\n";
    error.PrintOn(std::cerr);
    std::abort();
  }
  Check(value != nullptr);
  Check(reader.Available() == 1);
  return value;
}

// Whether the text holds a dictionary or a float, which may change their
// text without changing their value.
bool MayReorderOrRound(std::string const& text) {
  if (text.find("KQ_TDict") != std::string::npos) return true;
  for (std::size_t at = text.find('.'); at != std::string::npos; at = text.find('.', at + 1)) {
    std::size_t digits = at + 1;
    while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits]))) {
      ++digits;
    }
    if (digits == at + 7 && digits < text.size() && text[digits] == 'S') return true;
  }
  return false;
}

// Whether the text holds "inf" outside strings and characters.
bool HasInfinity(std::string const& text) {
  for (std::size_t at = 0; at < text.size(); ++at) {
    char const c = text[at];
    if (c == '"' || c == '\'') {
      // Pass over the quoted text; a backslash escapes the next byte.
      for (++at; at < text.size() && text[at] != c; ++at) {
        if (text[at] == '\\') ++at;
      }
    } else if (text.compare(at, 3, "inf") == 0) {
      return true;
    }
  }
  return false;
}

void CheckRewrites(KQ_IHumanReadable const& first) {
  if (!Same(first, first)) return;
  std::string firstText;
  if (!Write(first, firstText) || HasInfinity(firstText)) return;
  std::unique_ptr<KQ_IHumanReadable> const second = Read(firstText);
  if (Same(first, *second)) return;
  std::string secondText;
  Check(Write(*second, secondText));
  if (secondText == firstText) return;
  if (MayReorderOrRound(firstText) && Same(*second, *second)) {
    std::unique_ptr<KQ_IHumanReadable> const third = Read(secondText);
    if (Same(*second, *third)) return;
  }
  std::cerr << "read back differently:\n" << firstText << "\nthen\n" << secondText << "\n";
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  Check(__KQ_INITIALIZATION_FUNCTION_kqtypes__());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
  if (size > 1 << 20) return 0;
  auto const length = static_cast<std::uint32_t>(size);
  std::unique_ptr<unsigned char[]> const bytes(new unsigned char[size == 0 ? 1 : size]);
  if (size != 0) std::memcpy(bytes.get(), data, size);
  KQ_TMemoryStream memory(bytes.get(), length, length);
  KQ_THumanReadableStream text(memory);
  for (;;) {
    std::unique_ptr<KQ_IHumanReadable> value;
    try {
      if (text.Available() == 0) break;
      value.reset(text.Extract());
    } catch (KQ_EException const&) {
      break;
    }
    Check(value != nullptr);
    CheckRewrites(*value);
  }
  return 0;
}
