// KQ_TUnknown: the stand-in for a packed object whose class this process
// does not know. A data stream that meets such an object keeps its class name
// and its packed bytes (header, content and trailer, exactly as read) in an
// unknown, which writes the content back unchanged when packed again.
//
// As soon as the class becomes known (say, after its module was loaded) the
// unknown turns into the real object on demand: ClassObject, KQ_Cast and
// KQ_IsIdent unpack the recorded bytes once and from then on answer for that
// object. While the class is still unknown they answer as "not inflated". A
// failed attempt is remembered: it is made again only once the class has
// been registered since, or the bytes were changed through the non-const
// DataBlock(), SetOffset or SetLength.
#pragma once

#include <cstdint>

#include "kq_ihashable.h"
#include "kq_tdatablock.h"
#include "kq_tobject.h"

class KQ_EXPORT KQ_TUnknown : public KQ_TObject, public virtual KQ_IHashable {
  KQ_CLASS(KQ_TUnknown, KQ_TObject, KQ_IHashable)
  // No type identifier, empty block.
  KQ_TUnknown();
  // Named after a class (the name is copied; null gives no identifier).
  explicit KQ_TUnknown(char const* typeId);
  // Named after a class, the block holding a copy of size bytes at data.
  KQ_TUnknown(char const* typeId, void const* data, std::uint32_t size);
  // Name, block, offset and length; the copy inflates on its own.
  KQ_TUnknown(KQ_TUnknown const& other);
  ~KQ_TUnknown() override;

  virtual KQ_TUnknown& operator=(KQ_TUnknown const& other);
  // Same type identifier (both absent, or equal texts), offset, length and
  // block contents.
  virtual bool operator==(KQ_TUnknown const& other) const;
  virtual bool operator!=(KQ_TUnknown const& other) const;

  // The packed object as read: header, content and trailer.
  virtual KQ_TDataBlock const& DataBlock() const;
  virtual KQ_TDataBlock& DataBlock();
  // Where the content starts in the block.
  virtual std::uint32_t Offset() const;
  virtual KQ_TUnknown& SetOffset(std::uint32_t offset);
  // How many bytes of content the block holds from the offset on.
  virtual std::uint32_t Length() const;
  virtual KQ_TUnknown& SetLength(std::uint32_t length);

  // The inflated object's record, or the "ILLEGAL" record while the class is
  // unknown.
  KQ_TClass const& ClassObject() const override;
  // The unknown's own parts first, then the inflated object's.
  void* KQ_Cast(char const* name) const override;

  // The class name the unknown stands for; KQ_EIllegalCast without one.
  char const* KQ_PackTypeID() const override;
  // Null: an unknown packs under its type identifier.
  KQ_TClass const* KQ_PackClassObject() const override;
  // The recorded content, raw (the packer adds header and trailer): Length()
  // bytes from Offset(), but never past the end of the block. Raises
  // KQ_EIllegalCast without a type identifier.
  void KQ_Pack(KQ_IPacking& packer) const override;
  // Always raises KQ_EIllegalCast: only a data stream makes unknowns.
  void KQ_Unpack(KQ_IUnpacking& unpacker) override;
  KQ_IPackable* KQ_Clone(void* where = nullptr) const override;
  // An equal unknown, or whatever the inflated object is identical to.
  bool KQ_IsIdent(KQ_IPackable const& other) const override;
  // The argument unchanged: an unknown has no hash of its own.
  std::uint32_t KQ_HashValue(std::uint32_t shift) const override;
  // The type identifier, offset, length and block, which operator==
  // compares. Two unknowns that differ there are different keys, even when
  // the objects they stand for turn out identical.
  std::uint64_t KQ_ContentHash() const override;

 private:
  // What became of the last attempt to inflate.
  enum class Attempt : std::uint8_t {
    kNone,
    // The class was not registered then.
    kClassMissing,
    // The class was registered, but the bytes gave no object.
    kUnreadable
  };

  // Unpacks the block into the real object unless that was done already;
  // true when there is one. Failures leave the unknown uninflated.
  bool Inflate() const;
  bool ClassRegistered() const;
  // Drops the inflated object and the memory of a failed attempt.
  void ForgetInflated();

  char* fTypeId;
  std::uint32_t fOffset;
  std::uint32_t fLength;
  KQ_TDataBlock fBlock;
  // Owned; made on demand from the block.
  mutable KQ_IPackable* fInflated;
  mutable Attempt fFailed;
};
