// Arbitrary bytes through the reader of the text format: Extract on a
// human-readable stream over the input, repeated until the input is used up
// or a library exception ends it. Anything else (a crash, a foreign
// exception, a leak, a read outside the input, a stack overflow from deep
// nesting) is a fault.
//
// The input is copied into a heap block of exactly its size, so a read
// beyond it is caught by the address sanitizer.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "kq_eexception.h"
#include "kq_initialization.h"
#include "kq_thumanreadablestream.h"
#include "kq_tmemorystream.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (!__KQ_INITIALIZATION_FUNCTION_kqtypes__()) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
  if (size > 1 << 20) return 0;
  auto const length = static_cast<std::uint32_t>(size);
  std::unique_ptr<unsigned char[]> const bytes(new unsigned char[size == 0 ? 1 : size]);
  if (size != 0) std::memcpy(bytes.get(), data, size);
  KQ_TMemoryStream memory(bytes.get(), length, length);
  KQ_THumanReadableStream text(memory);
  try {
    while (text.Available() > 0) {
      std::unique_ptr<KQ_IHumanReadable> const value(text.Extract());
      if (value == nullptr) std::abort();
    }
  } catch (KQ_EException const&) {
  }
  return 0;
}
