// The library's initialisation function: creates every class record of the
// library and initialises it, in a fixed order. Calling it is optional
// (records are created on first use) but makes start-up deterministic. It is
// exported under its plain name so that a module loader can find it.
#pragma once

#include "kq_types.h"

extern "C" KQ_EXPORT bool __KQ_INITIALIZATION_FUNCTION_kqtypes__();
