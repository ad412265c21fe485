#include "kq_ipacking.h"

KQ_INTERFACE_IMPL(KQ_IPacking)
