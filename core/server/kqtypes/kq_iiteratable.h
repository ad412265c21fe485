// KQ_IIteratable: Containers: they hand out cursors over their elements.
#pragma once

#include "kq_iinterface.h"

class KQ_IIterationInfo;

class KQ_EXPORT KQ_IIteratable : public virtual KQ_IInterface {
  KQ_INTERFACE(KQ_IIteratable, KQ_IInterface)
  // A new cursor over this container, standing on the first element; owned
  // by the caller.
  virtual KQ_IIterationInfo* CreateIterationInfo() const = 0;
};
