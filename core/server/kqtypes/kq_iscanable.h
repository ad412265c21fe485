// KQ_IScanable: Objects that read themselves from a narrow standard input stream.
#pragma once

#include <istream>
#include "kq_iinterface.h"

class KQ_EXPORT KQ_IScanable : public virtual KQ_IInterface {
  KQ_INTERFACE(KQ_IScanable, KQ_IInterface)
  virtual void ScanFrom(std::istream& is) = 0;
};

// Reads the object from the stream with its ScanFrom.
KQ_EXPORT std::istream& operator>>(std::istream& is, KQ_IScanable& object);
