#include "kq_iiteratable.h"

KQ_INTERFACE_IMPL(KQ_IIteratable)
