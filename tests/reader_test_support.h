// Scaffolding shared by the tests of the readers of outside data (the data
// stream and the human-readable stream): a class that input may name but
// that no reader may instantiate.
//
// A test program includes this header from one source file only: it defines
// the class's record.
#pragma once

#include <atomic>

#include "kq_tclass.h"
#include "kq_tobject.h"

// A class with a factory that is neither packable nor human-readable, and
// counts the instances made of it: a reader given its name must refuse it
// without creating one (as it must for a thread, a lock or a socket).
class ReaderUnpackable : public KQ_TObject {
  KQ_CLASS(ReaderUnpackable, KQ_TObject)
  ReaderUnpackable() { ++sMade; }
  static inline std::atomic<int> sMade{0};
};
KQ_CLASS_IMPL(ReaderUnpackable)
