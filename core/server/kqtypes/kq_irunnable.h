// KQ_IRunnable: Code that a thread runs; its result is the thread's result.
#pragma once

#include <cstdint>
#include "kq_iinterface.h"

class KQ_EXPORT KQ_IRunnable : public virtual KQ_IInterface {
  KQ_INTERFACE(KQ_IRunnable, KQ_IInterface)
  virtual std::int32_t Run(void* argument) = 0;
};
