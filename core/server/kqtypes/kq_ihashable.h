// KQ_IHashable: Packable objects that can serve as dictionary and tree keys.
#pragma once

#include "kq_ipackable.h"

class KQ_EXPORT KQ_IHashable : public virtual KQ_IPackable {
  KQ_INTERFACE(KQ_IHashable, KQ_IPackable)
  // The hash value; the meaning of the argument is the implementing class's.
  virtual std::uint32_t KQ_HashValue(std::uint32_t shift) const = 0;
};
