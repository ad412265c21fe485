#include "kq_tunknown.h"

#include "internal/kq_content_hash.h"

#include <cstdint>
#include <cstring>

#include "kq_eexception.h"
#include "kq_ipacking.h"
#include "kq_memalloc.h"
#include "kq_tclass.h"
#include "kq_tdatastream.h"
#include "kq_tmemorystream.h"

KQ_CLASS_IMPL(KQ_TUnknown)

namespace {

char* CopyName(char const* name) {
  if (name == nullptr) return nullptr;
  return static_cast<char*>(KQ_MakeCopy(name, static_cast<std::uint32_t>(std::strlen(name) + 1)));
}

}  // namespace

KQ_TUnknown::KQ_TUnknown()
    : fTypeId(nullptr), fOffset(0), fLength(0), fInflated(nullptr), fFailed(Attempt::kNone) {}

KQ_TUnknown::KQ_TUnknown(char const* typeId)
    : fTypeId(CopyName(typeId)),
      fOffset(0),
      fLength(0),
      fInflated(nullptr),
      fFailed(Attempt::kNone) {}

KQ_TUnknown::KQ_TUnknown(char const* typeId, void const* data, std::uint32_t size)
    : fTypeId(nullptr),
      fOffset(0),
      fLength(0),
      fBlock(data, size),
      fInflated(nullptr),
      fFailed(Attempt::kNone) {
  fTypeId = CopyName(typeId);
}

KQ_TUnknown::KQ_TUnknown(KQ_TUnknown const& other) : KQ_TUnknown() { *this = other; }

KQ_TUnknown::~KQ_TUnknown() {
  ForgetInflated();
  KQ_Free(fTypeId);
}

KQ_TUnknown& KQ_TUnknown::operator=(KQ_TUnknown const& other) {
  if (this == &other) return *this;
  char* const typeId = CopyName(other.fTypeId);
  try {
    fBlock = other.fBlock;
  } catch (...) {
    KQ_Free(typeId);
    throw;
  }
  KQ_Free(fTypeId);
  fTypeId = typeId;
  fOffset = other.fOffset;
  fLength = other.fLength;
  ForgetInflated();
  return *this;
}

bool KQ_TUnknown::operator==(KQ_TUnknown const& other) const {
  bool const sameType = (fTypeId == nullptr || other.fTypeId == nullptr)
                            ? fTypeId == other.fTypeId
                            : std::strcmp(fTypeId, other.fTypeId) == 0;
  return sameType && fOffset == other.fOffset && fLength == other.fLength && fBlock == other.fBlock;
}

bool KQ_TUnknown::operator!=(KQ_TUnknown const& other) const { return !(*this == other); }

KQ_TDataBlock const& KQ_TUnknown::DataBlock() const { return fBlock; }

KQ_TDataBlock& KQ_TUnknown::DataBlock() {
  fFailed = Attempt::kNone;
  return fBlock;
}

std::uint32_t KQ_TUnknown::Offset() const { return fOffset; }

KQ_TUnknown& KQ_TUnknown::SetOffset(std::uint32_t offset) {
  fOffset = offset;
  fFailed = Attempt::kNone;
  return *this;
}

std::uint32_t KQ_TUnknown::Length() const { return fLength; }

KQ_TUnknown& KQ_TUnknown::SetLength(std::uint32_t length) {
  fLength = length;
  fFailed = Attempt::kNone;
  return *this;
}

KQ_TClass const& KQ_TUnknown::ClassObject() const {
  return Inflate() ? fInflated->ClassObject() : KQ_TClass::IllegalClass();
}

void* KQ_TUnknown::KQ_Cast(char const* name) const {
  if (void* const own = KQ_TObject::KQ_Cast(name)) return own;
  if (name == nullptr || !Inflate()) return nullptr;
  return fInflated->KQ_Cast(name);
}

char const* KQ_TUnknown::KQ_PackTypeID() const {
  if (fTypeId == nullptr) KQ_THROW(KQ_EIllegalCast());
  return fTypeId;
}

KQ_TClass const* KQ_TUnknown::KQ_PackClassObject() const { return nullptr; }

void KQ_TUnknown::KQ_Pack(KQ_IPacking& packer) const {
  if (fTypeId == nullptr) KQ_THROW(KQ_EIllegalCast());
  std::uint32_t const held = fOffset < fBlock.Size() ? fBlock.Size() - fOffset : 0;
  std::uint32_t const count = fLength < held ? fLength : held;
  if (count != 0) packer.WriteRawPacket(fBlock.Data() + fOffset, count);
}

void KQ_TUnknown::KQ_Unpack(KQ_IUnpacking&) { KQ_THROW(KQ_EIllegalCast()); }

KQ_IPackable* KQ_TUnknown::KQ_Clone(void*) const { return new KQ_TUnknown(*this); }

bool KQ_TUnknown::KQ_IsIdent(KQ_IPackable const& other) const {
  auto const* const unknown = static_cast<KQ_TUnknown const*>(other.KQ_Cast("KQ_TUnknown"));
  if (unknown != nullptr && *this == *unknown) return true;
  return Inflate() && fInflated->KQ_IsIdent(other);
}

std::uint32_t KQ_TUnknown::KQ_HashValue(std::uint32_t shift) const { return shift; }

std::uint64_t KQ_TUnknown::KQ_ContentHash() const {
  std::uint64_t const parts[] = {
      fTypeId == nullptr ? 0 : kq::ContentHash(fTypeId, std::strlen(fTypeId)), fOffset, fLength,
      kq::ContentHash(fBlock.Data(), fBlock.Size())};
  return kq::ContentHash(parts, sizeof parts);
}

// Reading the bytes again gives the same result until the class is
// registered: a key compared with many others would otherwise be read anew
// for each of them.
bool KQ_TUnknown::Inflate() const {
  if (fInflated != nullptr) return true;
  if (fFailed == Attempt::kUnreadable) return false;
  if (fFailed == Attempt::kClassMissing && !ClassRegistered()) return false;
  try {
    // The block is only read: a lent buffer without means of growth.
    KQ_TMemoryStream bytes(const_cast<unsigned char*>(fBlock.Data()), fBlock.Size(), fBlock.Size());
    KQ_TDataStream packed(bytes);
    fInflated = packed.Extract(false);
  } catch (KQ_EOutOfMemory const&) {
    // A shortage says nothing about the bytes: the next call tries again.
    return false;
  } catch (KQ_EException const&) {
    // The class is still unknown or the bytes do not make an object.
    fInflated = nullptr;
  }
  if (fInflated != nullptr) return true;
  fFailed = ClassRegistered() ? Attempt::kUnreadable : Attempt::kClassMissing;
  return false;
}

bool KQ_TUnknown::ClassRegistered() const {
  return fTypeId != nullptr && KQ_TClass::FindClass(fTypeId) != nullptr;
}

void KQ_TUnknown::ForgetInflated() {
  delete fInflated;
  fInflated = nullptr;
  fFailed = Attempt::kNone;
}
