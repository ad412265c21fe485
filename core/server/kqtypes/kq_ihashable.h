// KQ_IHashable: Packable objects that can serve as dictionary and tree keys.
#pragma once

#include <cstdint>

#include "kq_ipackable.h"

class KQ_EXPORT KQ_IHashable : public virtual KQ_IPackable {
  KQ_INTERFACE(KQ_IHashable, KQ_IPackable)
  // The hash value; the meaning of the argument is the implementing class's.
  virtual std::uint32_t KQ_HashValue(std::uint32_t shift) const = 0;
  // A hash of the object's content under a secret that each process draws
  // for itself, by which dictionaries and trees find their entries (their
  // order still comes from KQ_HashValue). Two objects that are KQ_IsIdent
  // must give the same value. The library's own keys (strings, Anys,
  // unknowns) hash their content; the default hashes KQ_HashValue(0) under
  // the secret, so keys of a class that keeps it are only as far apart as
  // their KQ_HashValue: keys crafted to share it, say in packed data from
  // outside, are found by walking all of them.
  virtual std::uint64_t KQ_ContentHash() const;
};
