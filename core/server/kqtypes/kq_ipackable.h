// KQ_IPackable: objects that write themselves to a packing stream and read
// themselves back (the binary format of KQ_TDataStream).
#pragma once

#include "kq_iinterface.h"

class KQ_IPacking;
class KQ_IUnpacking;

class KQ_EXPORT KQ_IPackable : public virtual KQ_IInterface {
  KQ_INTERFACE(KQ_IPackable, KQ_IInterface)
  KQ_IPackable() = default;
  KQ_IPackable(KQ_IPackable const&) = default;
  KQ_IPackable& operator=(KQ_IPackable const&) = default;

  // Writes the object's contents.
  virtual void KQ_Pack(KQ_IPacking& packer) const = 0;
  // Reads the contents back into this object.
  virtual void KQ_Unpack(KQ_IUnpacking& unpacker) = 0;
  // A new heap copy, owned by the caller. The library's classes ignore the
  // argument.
  virtual KQ_IPackable* KQ_Clone(void* where = nullptr) const = 0;
  // Identity of contents with another packable object.
  virtual bool KQ_IsIdent(KQ_IPackable const& other) const = 0;
  // Unpacks this object from the stream (the stream's operator>>).
  virtual KQ_IPackable& operator=(KQ_IUnpacking& unpacker);
  // The record this object packs under; classes that pack under another
  // class's identity override this pair.
  virtual KQ_TClass const* KQ_PackClassObject() const;
  virtual char const* KQ_PackTypeID() const;
};
