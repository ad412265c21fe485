#include "kq_iscanable.h"

KQ_INTERFACE_IMPL(KQ_IScanable)

std::istream& operator>>(std::istream& is, KQ_IScanable& object) {
  object.ScanFrom(is);
  return is;
}
