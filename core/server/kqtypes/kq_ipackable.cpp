#include "kq_ipackable.h"

#include "kq_iunpacking.h"

KQ_INTERFACE_IMPL(KQ_IPackable)

KQ_IPackable& KQ_IPackable::operator=(KQ_IUnpacking& unpacker) {
  unpacker >> *this;
  return *this;
}

KQ_TClass const* KQ_IPackable::KQ_PackClassObject() const { return &ClassObject(); }

char const* KQ_IPackable::KQ_PackTypeID() const { return KQ_PackClassObject()->ClassName(); }
