// A module built on the library whose initialisation fails after its class
// has registered.
#include "kq_tobject.h"

class KQ_TFailingGadget : public KQ_TObject {
  KQ_CLASS(KQ_TFailingGadget, KQ_TObject)
};
KQ_CLASS_IMPL(KQ_TFailingGadget)

extern "C" KQ_EXPORT bool __KQ_INITIALIZATION_FUNCTION_kq_failingmodule__() { return false; }
