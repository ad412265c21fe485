#include "kq_iiterationinfo.h"

KQ_INTERFACE_IMPL(KQ_IIterationInfo)

KQ_IIterationInfo& KQ_IIterationInfo::operator++(int) { return Next(); }

KQ_IIterationInfo& KQ_IIterationInfo::operator++() { return Next(); }

KQ_IIterationInfo& KQ_IIterationInfo::operator--(int) { return Prev(); }

KQ_IIterationInfo& KQ_IIterationInfo::operator--() { return Prev(); }
