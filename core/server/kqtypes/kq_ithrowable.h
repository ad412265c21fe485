// KQ_IThrowable: Exceptions: re-thrown as their own most derived type.
#pragma once

#include "kq_iinterface.h"

class KQ_EXPORT KQ_IThrowable : public virtual KQ_IInterface {
  KQ_INTERFACE(KQ_IThrowable, KQ_IInterface)
  // Throws a copy of the most derived exception object.
  virtual void KQ_Throw() const = 0;
};
