// Containers built from hostile input, in the packed format and as text:
// the first byte chooses the format and the container (dictionary, tree,
// array, list or queue); the rest follows the container's type tag, or its
// class name and an opening brace. Whatever reads must work like any other
// container: a walk meets as many entries as it counts and finds every key
// it meets again, and its clone and what its packed bytes read back as hold
// the same entries. Identity cannot be asked (a NaN or a bad Any kind is
// never identical to itself), so entries are compared in a canonical form:
// packed bytes, with the entries of dictionaries and trees sorted, since a
// copy may chain them in another order. Library exceptions are the only
// failure allowed.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "kq_eexception.h"
#include "kq_initialization.h"
#include "kq_tany.h"
#include "kq_tarray.h"
#include "kq_tdatastream.h"
#include "kq_tdict.h"
#include "kq_thumanreadablestream.h"
#include "kq_titerator.h"
#include "kq_tlist.h"
#include "kq_tmemorystream.h"
#include "kq_tqueue.h"
#include "kq_ttree.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

struct Kind {
  char const* name;
  // The type tag; 0 for a container packed by its name.
  unsigned char tag;
  // The number of entries a walk meets, where the container counts them.
  std::uint32_t (*entries)(KQ_IPackable const&);
  // Whether a key met on a walk is found again; null for keyless kinds.
  bool (*finds)(KQ_IPackable const&, KQ_IPackable const& key);
};

template <class C>
C const& As(KQ_IPackable const& object) {
  auto const* container = static_cast<C const*>(object.KQ_Cast(C::KQ_ClassName()));
  Check(container != nullptr);
  return *container;
}

template <class C>
std::uint32_t EntriesOf(KQ_IPackable const& object) {
  return As<C>(object).Entries();
}

template <class C>
bool FindsKey(KQ_IPackable const& object, KQ_IPackable const& key) {
  auto const* hashable = static_cast<KQ_IHashable const*>(key.KQ_Cast("KQ_IHashable"));
  return hashable != nullptr && As<C>(object).HasKey(*hashable);
}

Kind const kKinds[] = {
    {"KQ_TDict", 0x45, EntriesOf<KQ_TDict>, FindsKey<KQ_TDict>},
    {"KQ_TTree", 0x49, nullptr, FindsKey<KQ_TTree>},
    {"KQ_TArray", 0x46, nullptr, nullptr},
    {"KQ_TList", 0x47, EntriesOf<KQ_TList>, nullptr},
    {"KQ_TQueue", 0, EntriesOf<KQ_TQueue>, nullptr},
};

std::vector<unsigned char> Pack(KQ_IPackable const& object) {
  KQ_TMemoryStream memory;
  KQ_TDataStream data(memory);
  data << object;
  return std::vector<unsigned char>(memory.Data(), memory.Data() + memory.Size());
}

std::unique_ptr<KQ_IPackable> Unpack(std::vector<unsigned char>& bytes) {
  KQ_TMemoryStream memory(bytes.data(), static_cast<std::uint32_t>(bytes.size()),
                          static_cast<std::uint32_t>(bytes.size()));
  KQ_TDataStream data(memory);
  return std::unique_ptr<KQ_IPackable>(data.Extract(true));
}

std::unique_ptr<KQ_IPackable> FromText(std::vector<unsigned char>& bytes) {
  KQ_TMemoryStream memory(bytes.data(), static_cast<std::uint32_t>(bytes.size()),
                          static_cast<std::uint32_t>(bytes.size()));
  KQ_THumanReadableStream text(memory);
  std::unique_ptr<KQ_IHumanReadable> object(text.Extract());
  auto* packable = static_cast<KQ_IPackable*>(object->KQ_Cast("KQ_IPackable"));
  Check(packable != nullptr);
  object.release();
  return std::unique_ptr<KQ_IPackable>(packable);
}

// The canonical form of a value: an Any stands for the object it holds;
// containers give their entries (sorted for dictionaries and trees, in
// order for the others), anything else its packed bytes.
std::string Canonical(KQ_IPackable const& value) {
  if (auto const* any = static_cast<KQ_TAny const*>(value.KQ_Cast("KQ_TAny"))) {
    if (any->Kind() == KQ_TAny::kObject) return Canonical(**any);
  }
  auto const* iteratable = static_cast<KQ_IIteratable const*>(value.KQ_Cast("KQ_IIteratable"));
  if (iteratable == nullptr) {
    std::vector<unsigned char> const bytes = Pack(value);
    return std::string(bytes.begin(), bytes.end());
  }
  bool const keyed = value.KQ_Cast("KQ_TDict") != nullptr || value.KQ_Cast("KQ_TTree") != nullptr;
  std::vector<std::string> entries;
  KQ_TConstIterator it(*iteratable);
  for (it.Start(); !it.IsDone(); it.Next()) {
    std::string entry = keyed ? Canonical(it.Key()) + "=" : std::string();
    entries.push_back(entry + Canonical(it.Value()));
  }
  if (keyed) std::sort(entries.begin(), entries.end());
  std::string form = "{";
  for (std::string const& entry : entries) form += std::to_string(entry.size()) + ":" + entry;
  return form + "}";
}

// The checks of a container that was read; library exceptions from packing
// (an Any holding a pointer) end them.
void Work(Kind const& kind, KQ_IPackable const& object) {
  auto const& iteratable = *static_cast<KQ_IIteratable const*>(object.KQ_Cast("KQ_IIteratable"));
  std::uint32_t walked = 0;
  KQ_TConstIterator it(iteratable);
  for (it.Start(); !it.IsDone(); it.Next()) {
    ++walked;
    // A key not identical to itself (a NaN, an Any holding an Any) cannot
    // be found by any key.
    KQ_IPackable const& key = it.Key();
    if (kind.finds != nullptr && key.KQ_IsIdent(key)) Check(kind.finds(object, key));
  }
  if (kind.entries != nullptr) Check(walked == kind.entries(object));
  std::string const form = Canonical(object);
  std::unique_ptr<KQ_IPackable> const clone(object.KQ_Clone(nullptr));
  Check(clone != nullptr && Canonical(*clone) == form);
  std::vector<unsigned char> packed = Pack(object);
  std::unique_ptr<KQ_IPackable> const again = Unpack(packed);
  Check(again != nullptr && Canonical(*again) == form);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  Check(__KQ_INITIALIZATION_FUNCTION_kqtypes__());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
  if (size == 0 || size > 1 << 20) return 0;
  bool const text = (data[0] & 1) != 0;
  Kind const& kind = kKinds[(data[0] >> 1) % (sizeof kKinds / sizeof kKinds[0])];
  std::vector<unsigned char> bytes;
  if (text) {
    std::string const head = std::string(kind.name) + " {";
    bytes.assign(head.begin(), head.end());
  } else if (kind.tag != 0) {
    bytes.push_back(kind.tag);
  } else {
    // An object tag, the name's length in 32 bits and the name.
    auto const length = static_cast<unsigned char>(std::strlen(kind.name));
    bytes = {0x0D, 0, 0, 0, length};
    bytes.insert(bytes.end(), kind.name, kind.name + length);
  }
  bytes.insert(bytes.end(), data + 1, data + size);
  try {
    std::unique_ptr<KQ_IPackable> const object = text ? FromText(bytes) : Unpack(bytes);
    if (object != nullptr && object->KQ_Cast(kind.name) != nullptr) Work(kind, *object);
  } catch (KQ_EException const&) {
  }
  return 0;
}
