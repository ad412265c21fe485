// What a class record declares, asked before a reader creates an instance
// of a class that its input names: creating one may have effects (a thread,
// a lock, a socket), so a class that could not be handed out is refused by
// its record alone.
#pragma once

#include "kq_tclass.h"

namespace kq {

// Whether the class, one of its ancestors or one of their interfaces
// declares the interface. KQ_TClass::Implements asks the record alone.
inline bool ClassImplements(KQ_TClass const& record, char const* interfaceName) {
  for (KQ_TClass const* r = &record; r != nullptr; r = r->ParentClass()) {
    if (r->Implements(interfaceName)) return true;
  }
  return false;
}

// Whether record names a class, not an interface, whose instances implement
// the interface.
inline bool MakesInstancesOf(KQ_TClass const& record, char const* interfaceName) {
  return !record.IsInterface() && ClassImplements(record, interfaceName);
}

}  // namespace kq
