// KQ_IIterationInfo: a cursor inside one container. Client code wraps it in
// a KQ_TIterator or KQ_TConstIterator, which own it.
#pragma once

#include "kq_iinterface.h"

class KQ_IPackable;
class KQ_TAny;

class KQ_EXPORT KQ_IIterationInfo : public virtual KQ_IInterface {
  KQ_INTERFACE(KQ_IIterationInfo, KQ_IInterface)
  // A new cursor at the same position over the same container.
  virtual KQ_IIterationInfo* Clone() const = 0;
  virtual KQ_IIterationInfo& Start() = 0;
  virtual KQ_IIterationInfo& Next() = 0;
  virtual KQ_IIterationInfo& Prev() = 0;
  virtual KQ_IIterationInfo& End() = 0;
  virtual bool IsBeforeStart() const = 0;
  virtual bool IsAfterEnd() const = 0;
  // The current element's key and value; KQ_EIteratorOutOfBounds when the
  // cursor stands outside the elements.
  virtual KQ_IPackable& Key() = 0;
  virtual KQ_TAny& Value() = 0;
  // Both forms move the cursor and return it (the postfix forms make no copy).
  virtual KQ_IIterationInfo& operator++(int);
  virtual KQ_IIterationInfo& operator++();
  virtual KQ_IIterationInfo& operator--(int);
  virtual KQ_IIterationInfo& operator--();
  // Removes the current element from the container.
  virtual KQ_IIterationInfo& DeleteItem() = 0;
};
