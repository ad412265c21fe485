#include "kq_irunnable.h"

KQ_INTERFACE_IMPL(KQ_IRunnable)
