// Arbitrary bytes through the readers of the packed format: Extract(true),
// Extract(false) and SkipData on a data stream over the input, repeated
// until the input is used up or a library exception ends it. Anything else
// (a crash, a foreign exception, a leak, a read outside the input) is a
// fault.
//
// What Extract gives is packed again. An unknown object must pack to exactly
// the bytes it was read from (a section read as an object changes only its
// tag, 0x0E, to the object tag 0x0D), and those are exactly the input bytes
// that Extract consumed. Whatever packs must extract again from its own
// bytes, using all of them.
//
// The input is copied into a heap block of exactly its size, so a read
// beyond it is caught by the address sanitizer.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "kq_eexception.h"
#include "kq_initialization.h"
#include "kq_tany.h"
#include "kq_tdatablock.h"
#include "kq_tdatastream.h"
#include "kq_tlist.h"
#include "kq_tmemorystream.h"
#include "kq_tstring.h"
#include "kq_tunknown.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

void RegisterIfMissing(unsigned char code, KQ_TClass const* record) {
  if (KQ_TDataStream::SpecificType(code) == nullptr) {
    KQ_TDataStream::RegisterSpecificType(code, record);
  }
}

// The bytes object packs to; false when packing raises (an Any holding a
// pointer cannot be packed).
bool Pack(KQ_IPackable const& object, std::vector<unsigned char>& bytes) {
  KQ_TMemoryStream memory;
  KQ_TDataStream data(memory);
  try {
    data << object;
  } catch (KQ_EException const&) {
    return false;
  }
  bytes.assign(memory.Data(), memory.Data() + memory.Size());
  return true;
}

// An unknown packs to the bytes it was read from.
void CheckUnknown(KQ_TUnknown const& unknown, std::vector<unsigned char> const& packed,
                  unsigned char const* consumed, std::uint32_t consumedSize) {
  KQ_TDataBlock const& block = unknown.DataBlock();
  Check(block.Size() == consumedSize);
  Check(std::memcmp(block.Data(), consumed, consumedSize) == 0);
  Check(packed.size() == block.Size());
  Check(packed[0] == 0x0D && (block.Data()[0] == 0x0D || block.Data()[0] == 0x0E));
  Check(std::memcmp(packed.data() + 1, block.Data() + 1, packed.size() - 1) == 0);
}

// Packed bytes of a successfully read object read back as one object.
void CheckReadsBack(std::vector<unsigned char>& packed) {
  KQ_TMemoryStream memory(packed.data(), static_cast<std::uint32_t>(packed.size()),
                          static_cast<std::uint32_t>(packed.size()));
  KQ_TDataStream data(memory);
  std::unique_ptr<KQ_IPackable> const again(data.Extract(true));
  Check(again != nullptr);
  Check(data.Available() == 0);
}

void ExtractAll(unsigned char* bytes, std::uint32_t size, bool keepUnknown) {
  KQ_TMemoryStream memory(bytes, size, size);
  KQ_TDataStream data(memory);
  try {
    while (data.Available() > 0) {
      std::uint32_t const start = memory.Position();
      std::unique_ptr<KQ_IPackable> const object(data.Extract(keepUnknown));
      if (object == nullptr) continue;
      std::vector<unsigned char> packed;
      if (!Pack(*object, packed)) continue;
      // Only an unknown packs without a class record of its own (an Any
      // holding one has the Any's).
      if (object->KQ_PackClassObject() == nullptr) {
        auto const* unknown = static_cast<KQ_TUnknown const*>(object->KQ_Cast("KQ_TUnknown"));
        Check(unknown != nullptr);
        CheckUnknown(*unknown, packed, bytes + start, memory.Position() - start);
      }
      CheckReadsBack(packed);
    }
  } catch (KQ_EException const&) {
  }
}

void SkipAll(unsigned char* bytes, std::uint32_t size) {
  KQ_TMemoryStream memory(bytes, size, size);
  KQ_TDataStream data(memory);
  try {
    while (data.Available() > 0) data.SkipData();
  } catch (KQ_EException const&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  Check(__KQ_INITIALIZATION_FUNCTION_kqtypes__());
  RegisterIfMissing(64, KQ_TAny::KQ_ClassObject());
  RegisterIfMissing(65, KQ_TString::KQ_ClassObject());
  RegisterIfMissing(71, KQ_TList::KQ_ClassObject());
  KQ_TDataBlock::KQ_ClassObject();
  KQ_TUnknown::KQ_ClassObject();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
  if (size > 1 << 20) return 0;
  auto const length = static_cast<std::uint32_t>(size);
  std::unique_ptr<unsigned char[]> const bytes(new unsigned char[size == 0 ? 1 : size]);
  if (size != 0) std::memcpy(bytes.get(), data, size);
  ExtractAll(bytes.get(), length, true);
  ExtractAll(bytes.get(), length, false);
  SkipAll(bytes.get(), length);
  return 0;
}
