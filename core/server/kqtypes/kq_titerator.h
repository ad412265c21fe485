// KQ_TIterator and KQ_TConstIterator: the client side of container walking.
//
// A container hands out a cursor (KQ_IIterationInfo) through
// KQ_IIteratable::CreateIterationInfo; an iterator owns that cursor and
// forwards every call to it. The usual loop:
//
//   KQ_TIterator it(list);
//   for (it.Start(); !it.IsDone(); it.Next()) use(it.Value());
//
// An iterator made without a container has no cursor: every forwarding
// operation, IsDone included, then raises KQ_EIteratorNotInitialized.
// Copies own independent cursors at the same position.
#pragma once

#include "kq_iiteratable.h"
#include "kq_iiterationinfo.h"
#include "kq_tobject.h"

class KQ_IPackable;
class KQ_TAny;

// Read-write iterator: Value() may be changed and DeleteItem() removes the
// current element from the container.
class KQ_EXPORT KQ_TIterator : public KQ_TObject {
  KQ_CLASS(KQ_TIterator, KQ_TObject)
  // No container, no cursor.
  KQ_TIterator();
  // A fresh cursor of the container, standing on its first element. The
  // container is not owned and must outlive the iterator.
  explicit KQ_TIterator(KQ_IIteratable& container);
  // Same container, a clone of the other's cursor (or none).
  KQ_TIterator(KQ_TIterator const& other);
  ~KQ_TIterator() override;

  // Drops the current cursor and takes a fresh one from the container.
  KQ_TIterator& operator=(KQ_IIteratable& container);
  KQ_TIterator& operator=(KQ_TIterator const& other);

  KQ_TIterator& Start();
  KQ_TIterator& Next();
  KQ_TIterator& Prev();
  KQ_TIterator& End();
  // Removes the current element; what the cursor stands on afterwards is
  // the container's rule (lists and dictionaries step back first, so a
  // following Next() reaches the element after the removed one).
  KQ_TIterator& DeleteItem();

  bool IsBeforeStart() const;
  bool IsAfterEnd() const;
  // IsBeforeStart() || IsAfterEnd().
  bool IsDone() const;

  // Prefix and postfix forms alike move the cursor and return this
  // iterator; the postfix forms make no copy.
  KQ_TIterator& operator++();
  KQ_TIterator& operator++(int);
  KQ_TIterator& operator--();
  KQ_TIterator& operator--(int);

  // The current element; KQ_EIteratorOutOfBounds outside the elements.
  KQ_IPackable& Key() const;
  KQ_TAny& Value() const;

  // The container (null when made without one).
  KQ_IIteratable* Container() const { return fContainer; }

 private:
  friend class KQ_TConstIterator;
  KQ_IIterationInfo& Cursor() const;

  KQ_IIteratable* fContainer;
  KQ_IIterationInfo* fInfo;
};

// Read-only iterator: the same walk with constant results and without
// DeleteItem.
class KQ_EXPORT KQ_TConstIterator : public KQ_TObject {
  KQ_CLASS(KQ_TConstIterator, KQ_TObject)
  KQ_TConstIterator();
  explicit KQ_TConstIterator(KQ_IIteratable const& container);
  KQ_TConstIterator(KQ_TConstIterator const& other);
  // Same container as the read-write iterator, a clone of its cursor.
  KQ_TConstIterator(KQ_TIterator const& other);
  ~KQ_TConstIterator() override;

  KQ_TConstIterator& operator=(KQ_IIteratable const& container);
  KQ_TConstIterator& operator=(KQ_TConstIterator const& other);

  KQ_TConstIterator& Start();
  KQ_TConstIterator& Next();
  KQ_TConstIterator& Prev();
  KQ_TConstIterator& End();

  bool IsBeforeStart() const;
  bool IsAfterEnd() const;
  bool IsDone() const;

  KQ_TConstIterator& operator++();
  KQ_TConstIterator& operator++(int);
  KQ_TConstIterator& operator--();
  KQ_TConstIterator& operator--(int);

  KQ_IPackable const& Key() const;
  KQ_TAny const& Value() const;

  KQ_IIteratable const* Container() const { return fContainer; }

 private:
  KQ_IIterationInfo& Cursor() const;

  KQ_IIteratable const* fContainer;
  KQ_IIterationInfo* fInfo;
};
