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
class KQ_EXPORT KQ_TIterator;
class KQ_EXPORT KQ_TConstIterator;

namespace kq {

// What the two iterators share: the container, the owned cursor and the
// walk. Self is the iterator class, which every step returns; ContainerT is
// KQ_IIteratable, or KQ_IIteratable const for the read-only iterator.
template <class Self, class ContainerT>
class KQ_EXPORT IteratorBody : public KQ_TObject {
 public:
  Self& Start();
  Self& Next();
  Self& Prev();
  Self& End();

  bool IsBeforeStart() const;
  bool IsAfterEnd() const;
  // IsBeforeStart() || IsAfterEnd().
  bool IsDone() const;

  // Prefix and postfix forms alike move the cursor and return this
  // iterator; the postfix forms make no copy.
  Self& operator++();
  Self& operator++(int);
  Self& operator--();
  Self& operator--(int);

  // The container (null when made without one).
  ContainerT* Container() const { return fContainer; }

 protected:
  // No container, no cursor.
  IteratorBody();
  // A fresh cursor of the container, standing on its first element. The
  // container is not owned and must outlive the iterator.
  explicit IteratorBody(ContainerT& container);
  // container and a clone of cursor (no cursor when it is null).
  IteratorBody(ContainerT* container, KQ_IIterationInfo const* cursor);
  // Copies go through the constructor above, so that the cursor is cloned.
  IteratorBody(IteratorBody const&) = delete;
  IteratorBody& operator=(IteratorBody const&) = delete;
  ~IteratorBody() override;

  // A clone of cursor, or null when it is null.
  static KQ_IIterationInfo* CloneOf(KQ_IIterationInfo const* cursor);
  // Destroys the current cursor and takes over fresh (owned from now on,
  // may be null) over container.
  void Reset(ContainerT* container, KQ_IIterationInfo* fresh);

  // The cursor; KQ_EIteratorNotInitialized when there is none.
  KQ_IIterationInfo& Cursor() const;
  // The cursor, or null.
  KQ_IIterationInfo const* CursorIfAny() const { return fInfo; }

 private:
  ContainerT* fContainer;
  KQ_IIterationInfo* fInfo;
};

}  // namespace kq

extern template class kq::IteratorBody<KQ_TIterator, KQ_IIteratable>;

// Read-write iterator: Value() may be changed and DeleteItem() removes the
// current element from the container.
class KQ_EXPORT KQ_TIterator : public kq::IteratorBody<KQ_TIterator, KQ_IIteratable> {
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

  // Removes the current element; what the cursor stands on afterwards is
  // the container's rule (lists and dictionaries step back first, so a
  // following Next() reaches the element after the removed one).
  KQ_TIterator& DeleteItem();

  // The current element; KQ_EIteratorOutOfBounds outside the elements.
  KQ_IPackable& Key() const;
  KQ_TAny& Value() const;

 private:
  friend class KQ_TConstIterator;
};

extern template class kq::IteratorBody<KQ_TConstIterator, KQ_IIteratable const>;

// Read-only iterator: the same walk with constant results and without
// DeleteItem.
class KQ_EXPORT KQ_TConstIterator
    : public kq::IteratorBody<KQ_TConstIterator, KQ_IIteratable const> {
  KQ_CLASS(KQ_TConstIterator, KQ_TObject)
  KQ_TConstIterator();
  explicit KQ_TConstIterator(KQ_IIteratable const& container);
  KQ_TConstIterator(KQ_TConstIterator const& other);
  // Same container as the read-write iterator, a clone of its cursor.
  KQ_TConstIterator(KQ_TIterator const& other);
  ~KQ_TConstIterator() override;

  KQ_TConstIterator& operator=(KQ_IIteratable const& container);
  KQ_TConstIterator& operator=(KQ_TConstIterator const& other);

  KQ_IPackable const& Key() const;
  KQ_TAny const& Value() const;
};
