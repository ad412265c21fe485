#include "kq_ithrowable.h"

KQ_INTERFACE_IMPL(KQ_IThrowable)
