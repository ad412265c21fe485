#include "kq_ihashable.h"

KQ_INTERFACE_IMPL(KQ_IHashable)
