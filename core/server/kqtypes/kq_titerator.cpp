#include "kq_titerator.h"

#include "kq_eexception.h"

KQ_CLASS_IMPL(KQ_TIterator)
KQ_CLASS_IMPL(KQ_TConstIterator)

namespace kq {

template <class Self, class ContainerT>
IteratorBody<Self, ContainerT>::IteratorBody() : fContainer(nullptr), fInfo(nullptr) {}

template <class Self, class ContainerT>
IteratorBody<Self, ContainerT>::IteratorBody(ContainerT& container)
    : fContainer(&container), fInfo(container.CreateIterationInfo()) {}

template <class Self, class ContainerT>
IteratorBody<Self, ContainerT>::IteratorBody(ContainerT* container, KQ_IIterationInfo const* cursor)
    : fContainer(container), fInfo(CloneOf(cursor)) {}

template <class Self, class ContainerT>
IteratorBody<Self, ContainerT>::~IteratorBody() {
  delete fInfo;
}

template <class Self, class ContainerT>
KQ_IIterationInfo* IteratorBody<Self, ContainerT>::CloneOf(KQ_IIterationInfo const* cursor) {
  return cursor == nullptr ? nullptr : cursor->Clone();
}

template <class Self, class ContainerT>
void IteratorBody<Self, ContainerT>::Reset(ContainerT* container, KQ_IIterationInfo* fresh) {
  delete fInfo;
  fInfo = fresh;
  fContainer = container;
}

template <class Self, class ContainerT>
KQ_IIterationInfo& IteratorBody<Self, ContainerT>::Cursor() const {
  if (fInfo == nullptr) KQ_THROW(KQ_EIteratorNotInitialized());
  return *fInfo;
}

template <class Self, class ContainerT>
Self& IteratorBody<Self, ContainerT>::Start() {
  Cursor().Start();
  return static_cast<Self&>(*this);
}

template <class Self, class ContainerT>
Self& IteratorBody<Self, ContainerT>::Next() {
  Cursor().Next();
  return static_cast<Self&>(*this);
}

template <class Self, class ContainerT>
Self& IteratorBody<Self, ContainerT>::Prev() {
  Cursor().Prev();
  return static_cast<Self&>(*this);
}

template <class Self, class ContainerT>
Self& IteratorBody<Self, ContainerT>::End() {
  Cursor().End();
  return static_cast<Self&>(*this);
}

template <class Self, class ContainerT>
bool IteratorBody<Self, ContainerT>::IsBeforeStart() const {
  return Cursor().IsBeforeStart();
}

template <class Self, class ContainerT>
bool IteratorBody<Self, ContainerT>::IsAfterEnd() const {
  return Cursor().IsAfterEnd();
}

template <class Self, class ContainerT>
bool IteratorBody<Self, ContainerT>::IsDone() const {
  KQ_IIterationInfo const& cursor = Cursor();
  return cursor.IsBeforeStart() || cursor.IsAfterEnd();
}

template <class Self, class ContainerT>
Self& IteratorBody<Self, ContainerT>::operator++() {
  return Next();
}

template <class Self, class ContainerT>
Self& IteratorBody<Self, ContainerT>::operator++(int) {
  return Next();
}

template <class Self, class ContainerT>
Self& IteratorBody<Self, ContainerT>::operator--() {
  return Prev();
}

template <class Self, class ContainerT>
Self& IteratorBody<Self, ContainerT>::operator--(int) {
  return Prev();
}

}  // namespace kq

template class kq::IteratorBody<KQ_TIterator, KQ_IIteratable>;
template class kq::IteratorBody<KQ_TConstIterator, KQ_IIteratable const>;

KQ_TIterator::KQ_TIterator() = default;

KQ_TIterator::KQ_TIterator(KQ_IIteratable& container) : IteratorBody(container) {}

KQ_TIterator::KQ_TIterator(KQ_TIterator const& other)
    : KQ_IInterface(other), IteratorBody(other.Container(), other.CursorIfAny()) {}

KQ_TIterator::~KQ_TIterator() = default;

KQ_TIterator& KQ_TIterator::operator=(KQ_IIteratable& container) {
  Reset(&container, container.CreateIterationInfo());
  return *this;
}

KQ_TIterator& KQ_TIterator::operator=(KQ_TIterator const& other) {
  if (this != &other) Reset(other.Container(), CloneOf(other.CursorIfAny()));
  return *this;
}

KQ_TIterator& KQ_TIterator::DeleteItem() {
  Cursor().DeleteItem();
  return *this;
}

KQ_IPackable& KQ_TIterator::Key() const { return Cursor().Key(); }

KQ_TAny& KQ_TIterator::Value() const { return Cursor().Value(); }

KQ_TConstIterator::KQ_TConstIterator() = default;

KQ_TConstIterator::KQ_TConstIterator(KQ_IIteratable const& container) : IteratorBody(container) {}

KQ_TConstIterator::KQ_TConstIterator(KQ_TConstIterator const& other)
    : KQ_IInterface(other), IteratorBody(other.Container(), other.CursorIfAny()) {}

KQ_TConstIterator::KQ_TConstIterator(KQ_TIterator const& other)
    : KQ_IInterface(other), IteratorBody(other.Container(), other.CursorIfAny()) {}

KQ_TConstIterator::~KQ_TConstIterator() = default;

KQ_TConstIterator& KQ_TConstIterator::operator=(KQ_IIteratable const& container) {
  Reset(&container, container.CreateIterationInfo());
  return *this;
}

KQ_TConstIterator& KQ_TConstIterator::operator=(KQ_TConstIterator const& other) {
  if (this != &other) Reset(other.Container(), CloneOf(other.CursorIfAny()));
  return *this;
}

KQ_IPackable const& KQ_TConstIterator::Key() const { return Cursor().Key(); }

KQ_TAny const& KQ_TConstIterator::Value() const { return Cursor().Value(); }
