// Iterators over containers and the doubly linked list: cursor movement at
// both ends, deletion while iterating, linking by key, positions, moves,
// equality, copying, printing and packing.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <sstream>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "test_support.h"
#include "kq_eexception.h"
#include "kq_ipacking.h"
#include "kq_iunpacking.h"
#include "kq_tany.h"
#include "kq_titerator.h"
#include "kq_tlist.h"

using namespace kqtest;

namespace {

std::int32_t IntOf(KQ_TAny const& value) { return static_cast<std::int32_t>(value); }

KQ_TList MakeList(std::vector<std::int32_t> const& values) {
  KQ_TList list;
  for (std::int32_t v : values) list.AddAtTail(v);
  return list;
}

// Walks the list from the head and from the tail and checks every link, the
// owner of every key, the ends and the count against the expected values.
::testing::AssertionResult HasLinks(KQ_TList const& list,
                                    std::vector<std::int32_t> const& expected) {
  if (list.Entries() != expected.size()) {
    return ::testing::AssertionFailure()
           << "Entries() is " << list.Entries() << ", expected " << expected.size();
  }
  if (list.IsEmpty() != expected.empty()) return ::testing::AssertionFailure() << "IsEmpty()";
  if (expected.empty()) {
    if (!list.IsEmpty()) return ::testing::AssertionFailure() << "not empty";
    return ::testing::AssertionSuccess();
  }
  std::vector<std::int32_t> forwards;
  KQ_TListKey const* previous = nullptr;
  for (KQ_TListKey const* key = list.KeyAtHead(); key != nullptr; key = key->Next()) {
    if (key->Prev() != previous) {
      return ::testing::AssertionFailure() << "broken back link at position " << forwards.size();
    }
    if (key->Container() != &list) {
      return ::testing::AssertionFailure() << "foreign key at position " << forwards.size();
    }
    if (forwards.size() > expected.size()) return ::testing::AssertionFailure() << "cycle";
    forwards.push_back(IntOf(key->Value()));
    previous = key;
  }
  if (previous != list.KeyAtTail()) return ::testing::AssertionFailure() << "tail mismatch";
  std::vector<std::int32_t> backwards;
  for (KQ_TListKey const* key = list.KeyAtTail(); key != nullptr; key = key->Prev()) {
    if (backwards.size() > expected.size()) return ::testing::AssertionFailure() << "cycle";
    backwards.insert(backwards.begin(), IntOf(**key));
  }
  if (forwards != expected || backwards != expected) {
    std::ostringstream text;
    for (std::int32_t v : forwards) text << v << ' ';
    text << "/ backwards: ";
    for (std::int32_t v : backwards) text << v << ' ';
    return ::testing::AssertionFailure() << "values " << text.str();
  }
  return ::testing::AssertionSuccess();
}

std::vector<std::int32_t> Forwards(KQ_TIterator& it) {
  std::vector<std::int32_t> seen;
  for (it.Start(); !it.IsDone(); it.Next()) seen.push_back(IntOf(it.Value()));
  return seen;
}

std::vector<std::int32_t> Backwards(KQ_TConstIterator& it) {
  std::vector<std::int32_t> seen;
  for (it.End(); !it.IsDone(); it.Prev()) seen.push_back(IntOf(it.Value()));
  return seen;
}

void* KeyAddress(KQ_IPackable& key) {
  auto* any = static_cast<KQ_TAny*>(key.KQ_Cast("KQ_TAny"));
  EXPECT_NE(any, nullptr);
  EXPECT_EQ(any->Kind(), KQ_TAny::kPointer);
  return static_cast<void*>(*any);
}

}  // namespace

// A packing stream that records every call as a token and replays the tokens
// on reading, checking that each read asks for exactly the type written.
// Objects are recorded by their class name and re-created through the class
// registry, as a real stream does.
class KQ_TPackRecorder : public KQ_TObject,
                         public virtual KQ_IPacking,
                         public virtual KQ_IUnpacking {
  KQ_CLASS(KQ_TPackRecorder, KQ_TObject, KQ_IPacking, KQ_IUnpacking)
  enum TokenType { kValue, kObject, kPacket, kRawPacket, kHeader, kTrailer };
  struct Token {
    TokenType type;
    KQ_TAny value;
    std::string text;
    std::vector<unsigned char> bytes;
  };

  std::vector<Token> fTokens;
  std::size_t fPosition = 0;

  using KQ_IUnpacking::ReadPacket;

  KQ_IPacking& operator<<(KQ_IPackable const& object) override {
    fTokens.push_back({kObject, KQ_TAny(), object.KQ_PackTypeID(), {}});
    object.KQ_Pack(*this);
    return *this;
  }
  KQ_IPacking& operator<<(double v) override { return Put(v); }
  KQ_IPacking& operator<<(float v) override { return Put(v); }
  KQ_IPacking& operator<<(char v) override { return Put(v); }
  KQ_IPacking& operator<<(bool v) override { return Put(v); }
  KQ_IPacking& operator<<(std::uint64_t v) override { return Put(v); }
  KQ_IPacking& operator<<(std::uint32_t v) override { return Put(v); }
  KQ_IPacking& operator<<(std::uint16_t v) override { return Put(v); }
  KQ_IPacking& operator<<(std::uint8_t v) override { return Put(v); }
  KQ_IPacking& operator<<(std::int64_t v) override { return Put(v); }
  KQ_IPacking& operator<<(std::int32_t v) override { return Put(v); }
  KQ_IPacking& operator<<(std::int16_t v) override { return Put(v); }
  KQ_IPacking& operator<<(std::int8_t v) override { return Put(v); }
  KQ_IPacking& WritePacket(void const* data, std::uint32_t size) override {
    return PutBytes(kPacket, data, size);
  }
  KQ_IPacking& WriteRawPacket(void const* data, std::uint32_t size) override {
    return PutBytes(kRawPacket, data, size);
  }
  KQ_IPacking& InsertClassHeader(char const* name) override {
    fTokens.push_back({kHeader, KQ_TAny(), name, {}});
    return *this;
  }
  KQ_IPacking& InsertClassTrailer(char const* name) override {
    fTokens.push_back({kTrailer, KQ_TAny(), name, {}});
    return *this;
  }

  KQ_IUnpacking& operator>>(KQ_IPackable& object) override {
    Take(kObject);
    object.KQ_Unpack(*this);
    return *this;
  }
  KQ_IUnpacking& operator>>(double& v) override { return Get(v, KQ_TAny::kDouble); }
  KQ_IUnpacking& operator>>(float& v) override { return Get(v, KQ_TAny::kFloat); }
  KQ_IUnpacking& operator>>(char& v) override { return Get(v, KQ_TAny::kChar); }
  KQ_IUnpacking& operator>>(bool& v) override { return Get(v, KQ_TAny::kBool); }
  KQ_IUnpacking& operator>>(std::uint64_t& v) override { return Get(v, KQ_TAny::kUInt64); }
  KQ_IUnpacking& operator>>(std::uint32_t& v) override { return Get(v, KQ_TAny::kUInt32); }
  KQ_IUnpacking& operator>>(std::uint16_t& v) override { return Get(v, KQ_TAny::kUInt16); }
  KQ_IUnpacking& operator>>(std::uint8_t& v) override { return Get(v, KQ_TAny::kUInt8); }
  KQ_IUnpacking& operator>>(std::int64_t& v) override { return Get(v, KQ_TAny::kInt64); }
  KQ_IUnpacking& operator>>(std::int32_t& v) override { return Get(v, KQ_TAny::kInt32); }
  KQ_IUnpacking& operator>>(std::int16_t& v) override { return Get(v, KQ_TAny::kInt16); }
  KQ_IUnpacking& operator>>(std::int8_t& v) override { return Get(v, KQ_TAny::kInt8); }
  std::uint32_t ReadPacket(void* buffer, std::uint32_t minimum, std::uint32_t maximum) override {
    Token const& token = Take(kPacket);
    auto const size = static_cast<std::uint32_t>(token.bytes.size());
    if (size < minimum || size > maximum) KQ_THROW(KQ_EWrongPacketSize());
    if (size != 0) std::memcpy(buffer, token.bytes.data(), size);
    return size;
  }
  KQ_IUnpacking& ReadRawPacket(void* buffer, std::uint32_t size) override {
    Token const& token = Take(kRawPacket);
    if (token.bytes.size() != size) KQ_THROW(KQ_EWrongPacketSize());
    if (size != 0) std::memcpy(buffer, token.bytes.data(), size);
    return *this;
  }
  KQ_IUnpacking& ExtractClassHeader(char const* name) override {
    if (Take(kHeader).text != name) KQ_THROW(KQ_EWrongPackedType());
    return *this;
  }
  KQ_IUnpacking& ExtractClassTrailer(char const* name) override {
    if (Take(kTrailer).text != name) KQ_THROW(KQ_EWrongPackedType());
    return *this;
  }
  void SkipData() override { Take(Next().type); }
  unsigned char Peek() override { return static_cast<unsigned char>(Next().type); }
  KQ_IPackable* Extract(bool) override {
    KQ_TClass const* record = KQ_TClass::FindClass(Take(kObject).text.c_str());
    if (record == nullptr) KQ_THROW(KQ_EWrongPackedType());
    KQ_TObject* created = record->CreateInstance();
    auto* object = static_cast<KQ_IPackable*>(created->KQ_Cast("KQ_IPackable"));
    object->KQ_Unpack(*this);
    return object;
  }

 private:
  template <class T>
  KQ_IPacking& Put(T value) {
    fTokens.push_back({kValue, KQ_TAny(value), {}, {}});
    return *this;
  }
  KQ_IPacking& PutBytes(TokenType type, void const* data, std::uint32_t size) {
    auto const* bytes = static_cast<unsigned char const*>(data);
    fTokens.push_back({type, KQ_TAny(), {}, std::vector<unsigned char>(bytes, bytes + size)});
    return *this;
  }
  Token const& Next() const {
    if (fPosition >= fTokens.size()) KQ_THROW(KQ_EStreamEndReached());
    return fTokens[fPosition];
  }
  Token const& Take(TokenType type) {
    Token const& token = Next();
    if (token.type != type) KQ_THROW(KQ_EWrongPackedType());
    ++fPosition;
    return token;
  }
  template <class T>
  KQ_IUnpacking& Get(T& value, std::uint32_t kind) {
    Token const& token = Next();
    if (token.type != kValue || token.value.Kind() != kind) KQ_THROW(KQ_EWrongPackedType());
    ++fPosition;
    value = static_cast<T>(token.value);
    return *this;
  }
};
KQ_CLASS_IMPL(KQ_TPackRecorder)

TEST(IteratorTest, WithoutContainerEveryForwardingOperationRaises) {
  KQ_TIterator it;
  EXPECT_EQ(it.Container(), nullptr);
  EXPECT_THROW(it.Start(), KQ_EIteratorNotInitialized);
  EXPECT_THROW(it.Next(), KQ_EIteratorNotInitialized);
  EXPECT_THROW(it.Prev(), KQ_EIteratorNotInitialized);
  EXPECT_THROW(it.End(), KQ_EIteratorNotInitialized);
  EXPECT_THROW(it.DeleteItem(), KQ_EIteratorNotInitialized);
  EXPECT_THROW(it.IsBeforeStart(), KQ_EIteratorNotInitialized);
  EXPECT_THROW(it.IsAfterEnd(), KQ_EIteratorNotInitialized);
  EXPECT_THROW(it.IsDone(), KQ_EIteratorNotInitialized);
  EXPECT_THROW(it.Key(), KQ_EIteratorNotInitialized);
  EXPECT_THROW(it.Value(), KQ_EIteratorNotInitialized);
  EXPECT_THROW(++it, KQ_EIteratorNotInitialized);
  EXPECT_THROW(it++, KQ_EIteratorNotInitialized);
  EXPECT_THROW(--it, KQ_EIteratorNotInitialized);
  EXPECT_THROW(it--, KQ_EIteratorNotInitialized);
  // The family root catches it too.
  EXPECT_THROW(it.Start(), KQ_EIteratorException);

  // Copies of an empty iterator have no cursor either.
  KQ_TIterator copy(it);
  EXPECT_THROW(copy.IsDone(), KQ_EIteratorNotInitialized);
  KQ_TConstIterator fromEmpty(it);
  EXPECT_THROW(fromEmpty.Start(), KQ_EIteratorNotInitialized);

  KQ_TConstIterator cit;
  EXPECT_EQ(cit.Container(), nullptr);
  EXPECT_THROW(cit.Start(), KQ_EIteratorNotInitialized);
  EXPECT_THROW(cit.Next(), KQ_EIteratorNotInitialized);
  EXPECT_THROW(cit.Prev(), KQ_EIteratorNotInitialized);
  EXPECT_THROW(cit.End(), KQ_EIteratorNotInitialized);
  EXPECT_THROW(cit.IsBeforeStart(), KQ_EIteratorNotInitialized);
  EXPECT_THROW(cit.IsAfterEnd(), KQ_EIteratorNotInitialized);
  EXPECT_THROW(cit.IsDone(), KQ_EIteratorNotInitialized);
  EXPECT_THROW(cit.Key(), KQ_EIteratorNotInitialized);
  EXPECT_THROW(cit.Value(), KQ_EIteratorNotInitialized);
  EXPECT_THROW(++cit, KQ_EIteratorNotInitialized);
  EXPECT_THROW(cit--, KQ_EIteratorNotInitialized);

  // A list cursor made without a list.
  KQ_TListIterationInfo cursor;
  EXPECT_THROW(cursor.Start(), KQ_EIteratorNotInitialized);
  EXPECT_THROW(cursor.Next(), KQ_EIteratorNotInitialized);
  EXPECT_THROW(cursor.IsAfterEnd(), KQ_EIteratorNotInitialized);
  EXPECT_THROW(cursor.Value(), KQ_EIteratorNotInitialized);
  EXPECT_THROW(cursor.DeleteItem(), KQ_EIteratorNotInitialized);
}

TEST(IteratorTest, StepsReturnTheIteratorItselfAndEachKeepsItsOwnRecord) {
  static_assert(std::is_same_v<decltype(std::declval<KQ_TIterator&>().Start()), KQ_TIterator&>);
  static_assert(std::is_same_v<decltype(++std::declval<KQ_TIterator&>()), KQ_TIterator&>);
  static_assert(
      std::is_same_v<decltype(std::declval<KQ_TConstIterator&>().Prev()), KQ_TConstIterator&>);
  static_assert(std::is_same_v<decltype(std::declval<KQ_TConstIterator&>()--), KQ_TConstIterator&>);
  static_assert(
      std::is_same_v<decltype(std::declval<KQ_TConstIterator&>().Key()), KQ_IPackable const&>);
  static_assert(std::is_same_v<decltype(std::declval<KQ_TConstIterator&>().Container()),
                               KQ_IIteratable const*>);
  static_assert(std::is_same_v<decltype(std::declval<KQ_TIterator&>().Value()), KQ_TAny&>);

  KQ_TList list = MakeList({1});
  KQ_TIterator writer(list);
  KQ_TConstIterator reader(list);
  EXPECT_STREQ(writer.ClassName(), "KQ_TIterator");
  EXPECT_STREQ(reader.ClassName(), "KQ_TConstIterator");
  for (KQ_TClass const* record :
       {KQ_TIterator::KQ_ClassObject(), KQ_TConstIterator::KQ_ClassObject()}) {
    EXPECT_EQ(record->ParentClass(), KQ_TObject::KQ_ClassObject()) << record->ClassName();
    EXPECT_EQ(record->NrOfInterfaces(), 0u) << record->ClassName();
  }
  EXPECT_EQ(writer.KQ_Cast("KQ_TIterator"), static_cast<void*>(&writer));
  EXPECT_EQ(writer.KQ_Cast("KQ_TConstIterator"), nullptr);
  EXPECT_EQ(reader.KQ_Cast("KQ_TConstIterator"), static_cast<void*>(&reader));
  EXPECT_EQ(reader.KQ_Cast("KQ_TIterator"), nullptr);
  EXPECT_EQ(reader.KQ_Cast("KQ_TObject"), static_cast<KQ_TObject*>(&reader));
}

TEST(IteratorTest, CopiesAndAssignmentsMoveIndependently) {
  KQ_TList list = MakeList({10, 20, 30, 40});
  KQ_TIterator it(list);
  EXPECT_EQ(it.Container(), static_cast<KQ_IIteratable*>(&list));
  // A fresh iterator stands where Start() puts it.
  ASSERT_FALSE(it.IsDone());
  EXPECT_EQ(IntOf(it.Value()), 10);
  it.Next();

  KQ_TIterator copy(it);
  EXPECT_EQ(copy.Container(), it.Container());
  copy.Next().Next();
  EXPECT_EQ(IntOf(it.Value()), 20);
  EXPECT_EQ(IntOf(copy.Value()), 40);

  KQ_TIterator assigned;
  assigned = copy;
  assigned.Prev();
  EXPECT_EQ(IntOf(assigned.Value()), 30);
  EXPECT_EQ(IntOf(copy.Value()), 40);

  KQ_TIterator& self = assigned;
  assigned = self;
  EXPECT_EQ(IntOf(assigned.Value()), 30);

  // Assigning a container starts over on it.
  KQ_TList other = MakeList({7});
  assigned = other;
  EXPECT_EQ(assigned.Container(), static_cast<KQ_IIteratable*>(&other));
  EXPECT_EQ(IntOf(assigned.Value()), 7);

  // A read-only iterator from a read-write one.
  KQ_TConstIterator reader(it);
  EXPECT_EQ(reader.Container(), static_cast<KQ_IIteratable const*>(&list));
  reader.Next();
  EXPECT_EQ(IntOf(reader.Value()), 30);
  EXPECT_EQ(IntOf(it.Value()), 20);
  KQ_TConstIterator readerCopy(reader);
  readerCopy.Prev().Prev();
  EXPECT_EQ(IntOf(readerCopy.Value()), 10);
  EXPECT_EQ(IntOf(reader.Value()), 30);
  KQ_TConstIterator readerAssigned;
  readerAssigned = reader;
  EXPECT_EQ(IntOf(readerAssigned.Value()), 30);
  readerAssigned = other;
  EXPECT_EQ(IntOf(readerAssigned.Value()), 7);
}

TEST(IteratorTest, EmptyContainerIsDoneAtOnce) {
  KQ_TList list;
  KQ_TIterator it(list);
  EXPECT_TRUE(it.IsDone());
  it.Start();
  EXPECT_TRUE(it.IsDone());
  EXPECT_TRUE(it.IsBeforeStart());
  EXPECT_TRUE(it.IsAfterEnd());
  EXPECT_THROW(it.Value(), KQ_EIteratorOutOfBounds);
  EXPECT_THROW(it.Key(), KQ_EIteratorOutOfBounds);
  EXPECT_THROW(it.DeleteItem(), KQ_EIteratorOutOfBounds);
  it.End();
  EXPECT_TRUE(it.IsDone());
  it.Next();
  EXPECT_TRUE(it.IsDone());
  it.Prev();
  EXPECT_TRUE(it.IsDone());

  KQ_TConstIterator cit(list);
  EXPECT_TRUE(cit.IsDone());
  EXPECT_THROW(cit.Value(), KQ_EIteratorOutOfBounds);
  EXPECT_THROW(cit.Key(), KQ_EIteratorOutOfBounds);

  // Next() from before the start acts as Start(), so an element added later
  // is found.
  list.Add(5);
  it.Next();
  ASSERT_FALSE(it.IsDone());
  EXPECT_EQ(IntOf(it.Value()), 5);
}

TEST(IteratorTest, PrefixAndPostfixStepAlikeAndReturnTheIterator) {
  KQ_TList list = MakeList({1, 2, 3, 4});
  KQ_TIterator prefix(list);
  KQ_TIterator postfix(list);
  EXPECT_EQ(&++prefix, &prefix);
  EXPECT_EQ(&postfix++, &postfix);
  EXPECT_EQ(IntOf(prefix.Value()), 2);
  EXPECT_EQ(IntOf(postfix.Value()), 2);
  ++prefix;
  postfix++;
  EXPECT_EQ(IntOf(prefix.Value()), IntOf(postfix.Value()));
  EXPECT_EQ(&--prefix, &prefix);
  EXPECT_EQ(&postfix--, &postfix);
  EXPECT_EQ(IntOf(prefix.Value()), 2);
  EXPECT_EQ(IntOf(postfix.Value()), 2);

  KQ_TConstIterator cprefix(list);
  KQ_TConstIterator cpostfix(list);
  EXPECT_EQ(&++cprefix, &cprefix);
  EXPECT_EQ(&cpostfix++, &cpostfix);
  EXPECT_EQ(IntOf(cprefix.Value()), 2);
  EXPECT_EQ(IntOf(cpostfix.Value()), 2);
  EXPECT_EQ(&--cprefix, &cprefix);
  EXPECT_EQ(&cpostfix--, &cpostfix);
  EXPECT_EQ(IntOf(cprefix.Value()), 1);
  EXPECT_EQ(IntOf(cpostfix.Value()), 1);

  // The cursor's own operators return the cursor.
  KQ_IIterationInfo* cursor = list.CreateIterationInfo();
  EXPECT_EQ(&(*cursor)++, cursor);
  EXPECT_EQ(&++(*cursor), cursor);
  EXPECT_EQ(IntOf(cursor->Value()), 3);
  EXPECT_EQ(&(*cursor)--, cursor);
  EXPECT_EQ(&--(*cursor), cursor);
  EXPECT_EQ(IntOf(cursor->Value()), 1);
  delete cursor;
}

TEST(IteratorTest, WalksBothWaysAndReentersFromEitherEnd) {
  KQ_TList list = MakeList({1, 2, 3});
  KQ_TIterator it(list);
  EXPECT_EQ(Forwards(it), (std::vector<std::int32_t>{1, 2, 3}));
  EXPECT_TRUE(it.IsAfterEnd());
  EXPECT_FALSE(it.IsBeforeStart());
  EXPECT_THROW(it.Value(), KQ_EIteratorOutOfBounds);
  // Further steps stay after the end; stepping back re-enters at the tail.
  it.Next();
  EXPECT_TRUE(it.IsAfterEnd());
  it.Prev();
  ASSERT_FALSE(it.IsDone());
  EXPECT_EQ(IntOf(it.Value()), 3);

  KQ_TConstIterator cit(list);
  EXPECT_EQ(Backwards(cit), (std::vector<std::int32_t>{3, 2, 1}));
  EXPECT_TRUE(cit.IsBeforeStart());
  EXPECT_FALSE(cit.IsAfterEnd());
  cit.Prev();
  EXPECT_TRUE(cit.IsBeforeStart());
  cit.Next();
  ASSERT_FALSE(cit.IsDone());
  EXPECT_EQ(IntOf(cit.Value()), 1);

  // Values can be changed through the read-write iterator.
  it.Start().Next();
  it.Value() = std::int32_t{42};
  EXPECT_TRUE(HasLinks(list, {1, 42, 3}));

  // A single element is both the first and the last.
  KQ_TList one = MakeList({9});
  KQ_TIterator single(one);
  single.End();
  EXPECT_EQ(IntOf(single.Value()), 9);
  single.Next();
  EXPECT_TRUE(single.IsAfterEnd());
  single.Start().Prev();
  EXPECT_TRUE(single.IsBeforeStart());
}

TEST(IteratorTest, ListKeyIsTheAddressOfTheCurrentKeyHeldPerCursor) {
  KQ_TList list = MakeList({5, 6});
  KQ_TIterator it(list);
  KQ_IPackable& first = it.Key();
  EXPECT_EQ(KeyAddress(first), list.KeyAt(0));
  it.Next();
  KQ_IPackable& second = it.Key();
  EXPECT_EQ(KeyAddress(second), list.KeyAt(1));

  // Each cursor keeps its own Any: another cursor's Key() leaves it alone.
  KQ_TConstIterator other(list);
  KQ_IPackable const& otherKey = other.Key();
  EXPECT_NE(static_cast<void const*>(&otherKey), static_cast<void const*>(&second));
  EXPECT_EQ(KeyAddress(second), list.KeyAt(1));
  auto const* any = static_cast<KQ_TAny const*>(otherKey.KQ_Cast("KQ_TAny"));
  ASSERT_NE(any, nullptr);
  EXPECT_EQ(static_cast<void*>(*any), list.KeyAt(0));

  // A clone of a cursor stands on the same key and moves on its own.
  KQ_IIterationInfo* cursor = list.CreateIterationInfo();
  cursor->Next();
  KQ_IIterationInfo* clone = cursor->Clone();
  EXPECT_EQ(IntOf(clone->Value()), 6);
  clone->Prev();
  EXPECT_EQ(IntOf(clone->Value()), 5);
  EXPECT_EQ(IntOf(cursor->Value()), 6);
  delete clone;
  delete cursor;
}

TEST(IteratorTest, DeletingWhileIteratingVisitsEveryElementOnce) {
  // Forwards, deleting everything: DeleteItem steps back, Next moves on.
  {
    KQ_TList list = MakeList({1, 2, 3, 4, 5});
    KQ_TIterator it(list);
    int rounds = 0;
    for (it.Start(); !it.IsDone() && rounds < 100; it.Next(), ++rounds) it.DeleteItem();
    EXPECT_EQ(rounds, 5);
    EXPECT_TRUE(HasLinks(list, {}));
    EXPECT_TRUE(it.IsDone());
  }
  // Forwards, deleting every second element.
  {
    KQ_TList list = MakeList({0, 1, 2, 3, 4, 5, 6});
    KQ_TIterator it(list);
    std::vector<std::int32_t> visited;
    for (it.Start(); !it.IsDone(); it.Next()) {
      std::int32_t const v = IntOf(it.Value());
      visited.push_back(v);
      if (v % 2 == 1) it.DeleteItem();
    }
    EXPECT_EQ(visited, (std::vector<std::int32_t>{0, 1, 2, 3, 4, 5, 6}));
    EXPECT_TRUE(HasLinks(list, {0, 2, 4, 6}));
  }
  // Forwards, deleting the even ones (the head first).
  {
    KQ_TList list = MakeList({0, 1, 2, 3, 4});
    KQ_TIterator it(list);
    for (it.Start(); !it.IsDone(); it.Next()) {
      if (IntOf(it.Value()) % 2 == 0) it.DeleteItem();
    }
    EXPECT_TRUE(HasLinks(list, {1, 3}));
  }
  // Backwards: DeleteItem alone walks towards the head.
  {
    KQ_TList list = MakeList({1, 2, 3, 4});
    KQ_TIterator it(list);
    std::vector<std::int32_t> deleted;
    for (it.End(); !it.IsDone() && deleted.size() < 100; it.DeleteItem()) {
      deleted.push_back(IntOf(it.Value()));
    }
    EXPECT_EQ(deleted, (std::vector<std::int32_t>{4, 3, 2, 1}));
    EXPECT_TRUE(HasLinks(list, {}));
    EXPECT_TRUE(it.IsBeforeStart());
  }
  // Deleting the head leaves the cursor before the start; Next() lands on
  // the new head.
  {
    KQ_TList list = MakeList({1, 2});
    KQ_TIterator it(list);
    it.DeleteItem();
    EXPECT_TRUE(it.IsBeforeStart());
    EXPECT_THROW(it.DeleteItem(), KQ_EIteratorOutOfBounds);
    it.Next();
    EXPECT_EQ(IntOf(it.Value()), 2);
    EXPECT_TRUE(HasLinks(list, {2}));
  }
}

TEST(ListTest, AddingLinksAtBothEndsAndAroundKeys) {
  KQ_TList list;
  EXPECT_TRUE(HasLinks(list, {}));
  KQ_TListKey* two = list.Add(2);
  EXPECT_EQ(two, list.KeyAtTail());
  EXPECT_EQ(two->Container(), &list);
  KQ_TListKey* one = list.AddAtHead(1);
  KQ_TListKey* four = list.AddAtTail(4);
  EXPECT_TRUE(HasLinks(list, {1, 2, 4}));
  KQ_TListKey* three = list.AddBefore(four, 3);
  EXPECT_TRUE(HasLinks(list, {1, 2, 3, 4}));
  EXPECT_EQ(three->Next(), four);
  EXPECT_EQ(three->Prev(), two);
  list.AddAfter(four, 5);
  list.AddBefore(one, 0);
  EXPECT_TRUE(HasLinks(list, {0, 1, 2, 3, 4, 5}));
  list.AddAfter(two, 25);
  EXPECT_TRUE(HasLinks(list, {0, 1, 2, 25, 3, 4, 5}));

  // A null key: AddBefore appends, AddAfter prepends.
  list.AddBefore(nullptr, 9);
  list.AddAfter(nullptr, -1);
  EXPECT_TRUE(HasLinks(list, {-1, 0, 1, 2, 25, 3, 4, 5, 9}));

  KQ_TList empty;
  empty.AddBefore(nullptr, 7);
  EXPECT_TRUE(HasLinks(empty, {7}));
  KQ_TList empty2;
  empty2.AddAfter(nullptr, 8);
  EXPECT_TRUE(HasLinks(empty2, {8}));

  // The value is a copy: changing the original leaves the list alone.
  KQ_TAny value(std::int32_t{11});
  KQ_TListKey* copied = list.Add(value);
  value = std::int32_t{12};
  EXPECT_EQ(IntOf(copied->Value()), 11);

  KQ_TList& chained = (list += 13) += 14;
  EXPECT_EQ(&chained, &list);
  EXPECT_EQ(IntOf(list.Tail()), 14);
  EXPECT_EQ(IntOf(list.Head()), -1);
}

TEST(ListTest, EmptyListRaisesOnEveryEndAccess) {
  KQ_TList list;
  KQ_TList const& constant = list;
  EXPECT_THROW(list.Head(), KQ_EOutOfBoundsOfList);
  EXPECT_THROW(list.Tail(), KQ_EOutOfBoundsOfList);
  EXPECT_THROW(list.KeyAtHead(), KQ_EOutOfBoundsOfList);
  EXPECT_THROW(list.KeyAtTail(), KQ_EOutOfBoundsOfList);
  EXPECT_THROW(constant.Head(), KQ_EOutOfBoundsOfList);
  EXPECT_THROW(constant.Tail(), KQ_EOutOfBoundsOfList);
  EXPECT_THROW(constant.KeyAtHead(), KQ_EOutOfBoundsOfList);
  EXPECT_THROW(constant.KeyAtTail(), KQ_EOutOfBoundsOfList);
  EXPECT_THROW(list.RemAtHead(), KQ_EOutOfBoundsOfList);
  EXPECT_THROW(list.RemAtTail(), KQ_EOutOfBoundsOfList);
  EXPECT_THROW(list.KeyAt(0), KQ_EOutOfBoundsOfList);
  EXPECT_THROW(list[0], KQ_EOutOfBoundsOfList);
  EXPECT_THROW(list.RemAt(0), KQ_EOutOfBoundsOfList);
  EXPECT_THROW(list.Head(), KQ_EListException);
  EXPECT_EQ(list.KeyOf(1), nullptr);
  EXPECT_EQ(constant.KeyOf(1), nullptr);
  EXPECT_FALSE(list.Contains(1));
  EXPECT_TRUE(list.IsEmpty());
  EXPECT_EQ(list.Entries(), 0u);
  EXPECT_THROW(list.Rem(1), KQ_EElementNotInList);
}

TEST(ListTest, PositionsAreCheckedAtTheBoundary) {
  std::vector<std::int32_t> values;
  for (std::int32_t i = 0; i < 9; ++i) values.push_back(i * 10);
  KQ_TList list = MakeList(values);
  KQ_TList const& constant = list;
  // Every position, in both halves of the list.
  std::uint32_t index = 0;
  for (KQ_TListKey const* key = list.KeyAtHead(); key != nullptr; key = key->Next(), ++index) {
    EXPECT_EQ(constant.KeyAt(index), key) << index;
    EXPECT_EQ(IntOf(list.ObjectAt(index)), values[index]);
    EXPECT_EQ(IntOf(constant[index]), values[index]);
    EXPECT_EQ(&constant.ObjectAt(index), &key->Value());
  }
  EXPECT_EQ(list.KeyAt(8), list.KeyAtTail());
  EXPECT_THROW(list.KeyAt(9), KQ_EOutOfBoundsOfList);
  EXPECT_THROW(constant.KeyAt(9), KQ_EOutOfBoundsOfList);
  EXPECT_THROW(list.ObjectAt(9), KQ_EOutOfBoundsOfList);
  EXPECT_THROW(list[9], KQ_EOutOfBoundsOfList);
  EXPECT_THROW(list.KeyAt(std::numeric_limits<std::uint32_t>::max()), KQ_EOutOfBoundsOfList);
  EXPECT_THROW(list.RemAt(9), KQ_EOutOfBoundsOfList);
  EXPECT_TRUE(HasLinks(list, values));

  list[4] = std::int32_t{44};
  EXPECT_EQ(IntOf(list.KeyAt(4)->Value()), 44);

  list.RemAt(8);
  EXPECT_TRUE(HasLinks(list, {0, 10, 20, 30, 44, 50, 60, 70}));
  list.RemAt(0);
  EXPECT_TRUE(HasLinks(list, {10, 20, 30, 44, 50, 60, 70}));
  list.RemAt(3);
  EXPECT_TRUE(HasLinks(list, {10, 20, 30, 50, 60, 70}));
  list.RemAtHead().RemAtTail();
  EXPECT_TRUE(HasLinks(list, {20, 30, 50, 60}));
  KQ_TList one = MakeList({1});
  one.RemAt(0);
  EXPECT_TRUE(HasLinks(one, {}));
}

TEST(ListTest, RemovalByKeyAndByValue) {
  KQ_TList list = MakeList({1, 2, 3, 2, 0});
  KQ_TListKey* firstTwo = list.KeyAt(1);
  EXPECT_EQ(list.KeyOf(2), firstTwo);
  EXPECT_TRUE(list.Contains(3));
  EXPECT_FALSE(list.Contains(7));
  // Kinds must match: a 64-bit 3 is another value.
  EXPECT_FALSE(list.Contains(std::int64_t{3}));

  list.Rem(2);
  EXPECT_TRUE(HasLinks(list, {1, 3, 2, 0}));
  EXPECT_EQ(list.KeyOf(2), list.KeyAt(2));

  // A literal 0 is a value, not a null key.
  list.Rem(0);
  EXPECT_TRUE(HasLinks(list, {1, 3, 2}));

  list -= list.KeyAtHead();
  EXPECT_TRUE(HasLinks(list, {3, 2}));
  list -= 2;
  EXPECT_TRUE(HasLinks(list, {3}));
  list -= KQ_TAny(std::int32_t{3});
  EXPECT_TRUE(HasLinks(list, {}));

  KQ_TList other = MakeList({4, 5});
  EXPECT_THROW(other.Rem(9), KQ_EElementNotInList);
  EXPECT_THROW(other.Rem(nullptr), KQ_EElementNotInList);
  KQ_TListKey const* nullKey = nullptr;
  EXPECT_THROW(other -= nullKey, KQ_EElementNotInList);
  EXPECT_TRUE(HasLinks(other, {4, 5}));
}

TEST(ListTest, KeysOfAnotherListAreRefused) {
  KQ_TList mine = MakeList({1, 2});
  KQ_TList theirs = MakeList({8, 9});
  KQ_TListKey* foreign = theirs.KeyAtHead();
  EXPECT_THROW(mine.Rem(foreign), KQ_EElementNotInList);
  EXPECT_THROW(mine -= foreign, KQ_EElementNotInList);
  EXPECT_THROW(mine.AddBefore(foreign, 3), KQ_EElementNotInList);
  EXPECT_THROW(mine.AddAfter(foreign, 3), KQ_EElementNotInList);
  EXPECT_THROW(mine.MoveBefore(mine.KeyAtHead(), foreign), KQ_EElementNotInList);
  EXPECT_THROW(mine.MoveAfter(mine.KeyAtHead(), foreign), KQ_EElementNotInList);
  EXPECT_THROW(mine.MoveBefore(foreign, mine.KeyAtHead()), KQ_EElementNotInList);
  EXPECT_THROW(mine.MoveAfter(foreign, mine.KeyAtTail()), KQ_EElementNotInList);
  EXPECT_TRUE(HasLinks(mine, {1, 2}));
  EXPECT_TRUE(HasLinks(theirs, {8, 9}));
}

TEST(ListTest, MovesRelinkHeadTailAndNeighbours) {
  struct Case {
    char const* name;
    bool before;
    int where;
    int key;
    std::vector<std::int32_t> expected;
  };
  std::vector<Case> const cases = {
      {"head to tail", false, 4, 0, {1, 2, 3, 4, 0}},
      {"tail to head", true, 0, 4, {4, 0, 1, 2, 3}},
      {"middle to head", true, 0, 2, {2, 0, 1, 3, 4}},
      {"middle to tail", false, 4, 2, {0, 1, 3, 4, 2}},
      {"head after its successor", false, 1, 0, {1, 0, 2, 3, 4}},
      {"tail before its predecessor", true, 3, 4, {0, 1, 2, 4, 3}},
      {"successor before its predecessor", true, 1, 2, {0, 2, 1, 3, 4}},
      {"already before", true, 3, 2, {0, 1, 2, 3, 4}},
      {"already after", false, 2, 3, {0, 1, 2, 3, 4}},
      {"head after the tail's predecessor", false, 3, 0, {1, 2, 3, 0, 4}},
      {"tail before the head's successor", true, 1, 4, {0, 4, 1, 2, 3}},
      {"before itself", true, 2, 2, {0, 1, 2, 3, 4}},
      {"after itself", false, 4, 4, {0, 1, 2, 3, 4}},
  };
  for (Case const& c : cases) {
    KQ_TList list = MakeList({0, 1, 2, 3, 4});
    KQ_TListKey* where = list.KeyAt(static_cast<std::uint32_t>(c.where));
    KQ_TListKey* key = list.KeyAt(static_cast<std::uint32_t>(c.key));
    KQ_TListKey* moved = c.before ? list.MoveBefore(where, key) : list.MoveAfter(where, key);
    EXPECT_EQ(moved, key) << c.name;
    EXPECT_TRUE(HasLinks(list, c.expected)) << c.name;
  }

  // Two elements swap either way.
  KQ_TList pair = MakeList({1, 2});
  pair.MoveBefore(pair.KeyAtHead(), pair.KeyAtTail());
  EXPECT_TRUE(HasLinks(pair, {2, 1}));
  pair.MoveAfter(pair.KeyAtTail(), pair.KeyAtHead());
  EXPECT_TRUE(HasLinks(pair, {1, 2}));

  // Null keys and null places name no element.
  KQ_TList list = MakeList({0, 1, 2});
  EXPECT_THROW(list.MoveBefore(nullptr, list.KeyAt(1)), KQ_EElementNotInList);
  EXPECT_THROW(list.MoveAfter(nullptr, list.KeyAt(1)), KQ_EElementNotInList);
  EXPECT_THROW(list.MoveBefore(list.KeyAt(1), nullptr), KQ_EElementNotInList);
  EXPECT_THROW(list.MoveAfter(list.KeyAt(1), nullptr), KQ_EElementNotInList);
  EXPECT_TRUE(HasLinks(list, {0, 1, 2}));
}

TEST(ListTest, EqualityComparesValuesInOrder) {
  KQ_TList a = MakeList({1, 2, 3});
  KQ_TList b = MakeList({1, 2, 3});
  KQ_TList reversed = MakeList({3, 2, 1});
  KQ_TList shorter = MakeList({1, 2});
  EXPECT_TRUE(a == b);
  EXPECT_FALSE(a != b);
  EXPECT_FALSE(a == reversed);
  EXPECT_TRUE(a != reversed);
  EXPECT_FALSE(a == shorter);
  EXPECT_FALSE(shorter == a);
  EXPECT_TRUE(KQ_TList() == KQ_TList());
  EXPECT_FALSE(KQ_TList() == a);

  // Equal numbers of different kinds are different values.
  KQ_TList wide;
  wide.Add(std::int64_t{1});
  wide.Add(std::int64_t{2});
  wide.Add(std::int64_t{3});
  EXPECT_FALSE(a == wide);

  // A list holding a NaN is unequal even to itself.
  KQ_TList nan;
  nan.Add(std::numeric_limits<double>::quiet_NaN());
  EXPECT_FALSE(nan == nan);

  EXPECT_TRUE(a.KQ_IsIdent(b));
  EXPECT_FALSE(a.KQ_IsIdent(reversed));
  EXPECT_FALSE(a.KQ_IsIdent(KQ_TAny(std::int32_t{1})));
}

TEST(ListTest, CopiesOwnTheirKeysAndValues) {
  KQ_TList original;
  original.Add(1);
  original.Add("text");
  KQ_TList copy(original);
  EXPECT_TRUE(copy == original);
  EXPECT_NE(copy.KeyAtHead(), original.KeyAtHead());
  EXPECT_EQ(copy.KeyAtHead()->Container(), &copy);
  EXPECT_EQ(copy.KeyAtTail()->Container(), &copy);
  // A held object is cloned, not shared.
  EXPECT_NE(&*copy.Tail(), &*original.Tail());
  copy.Head() = std::int32_t{5};
  EXPECT_EQ(IntOf(original.Head()), 1);

  KQ_TList assigned = MakeList({7, 8, 9});
  assigned = original;
  EXPECT_TRUE(assigned == original);
  EXPECT_EQ(assigned.Entries(), 2u);
  for (KQ_TListKey const* key = assigned.KeyAtHead(); key != nullptr; key = key->Next()) {
    EXPECT_EQ(key->Container(), &assigned);
  }
  KQ_TList& self = assigned;
  assigned = self;
  EXPECT_TRUE(assigned == original);

  assigned = KQ_TList();
  EXPECT_TRUE(HasLinks(assigned, {}));

  KQ_IPackable* clone = original.KQ_Clone();
  ASSERT_NE(clone, nullptr);
  auto* cloned = static_cast<KQ_TList*>(clone->KQ_Cast("KQ_TList"));
  ASSERT_NE(cloned, nullptr);
  EXPECT_TRUE(*cloned == original);
  EXPECT_NE(cloned, &original);
  delete clone;
}

TEST(ListTest, PrintsOneValuePerLineWithNestedLists) {
  std::uint32_t const saved = KQ_IPrintable::Indentation();
  KQ_IPrintable::SetIndentation(0);

  KQ_TList empty;
  EXPECT_EQ(Printed(empty), "LIST\n{\n}");
  EXPECT_FALSE(empty.KQ_HRMultiLine());

  KQ_TList inner;
  inner.Add('b');
  inner.Add('c');
  KQ_TList innermost;
  innermost.Add('z');
  inner.Add(innermost);
  KQ_TList outer;
  outer.Add('a');
  outer.Add(inner);
  outer.Add(true);
  EXPECT_TRUE(outer.KQ_HRMultiLine());
  EXPECT_EQ(Printed(outer),
            "LIST\n"
            "{\n"
            "  a\n"
            "  LIST\n"
            "    {\n"
            "      b\n"
            "      c\n"
            "      LIST\n"
            "        {\n"
            "          z\n"
            "        }\n"
            "    }\n"
            "  TRUE\n"
            "}");
  EXPECT_EQ(KQ_IPrintable::Indentation(), 0u);

  // Printed from an indented context, the braces follow that indentation.
  KQ_IPrintable::SetIndentation(4);
  EXPECT_EQ(Printed(innermost), "LIST\n    {\n      z\n    }");
  EXPECT_EQ(KQ_IPrintable::Indentation(), 4u);
  KQ_IPrintable::SetIndentation(saved);
}

TEST(ListTest, PacksCountThenValuesAndUnpacksAnEqualList) {
  KQ_TList inner = MakeList({3, 4});
  KQ_TList list;
  list.Add(std::int32_t{-7});
  list.Add("abc");
  list.Add(inner);
  list.Add(KQ_TAny());

  KQ_TPackRecorder recorder;
  static_cast<KQ_IPacking&>(recorder) << static_cast<KQ_IPackable const&>(list);
  auto const& tokens = recorder.fTokens;
  ASSERT_GE(tokens.size(), 3u);
  EXPECT_EQ(tokens[0].type, KQ_TPackRecorder::kObject);
  EXPECT_EQ(tokens[0].text, "KQ_TList");
  // The count is an unsigned 32-bit number.
  EXPECT_EQ(tokens[1].type, KQ_TPackRecorder::kValue);
  EXPECT_EQ(tokens[1].value.Kind(), KQ_TAny::kUInt32);
  EXPECT_EQ(static_cast<std::uint32_t>(tokens[1].value), 4u);
  // Each value follows as a packable Any.
  EXPECT_EQ(tokens[2].type, KQ_TPackRecorder::kObject);
  EXPECT_EQ(tokens[2].text, "KQ_TAny");

  KQ_TList restored = MakeList({100, 200, 300});
  // Assigning a stream unpacks from it.
  restored = static_cast<KQ_IUnpacking&>(recorder);
  EXPECT_EQ(recorder.fPosition, tokens.size());
  EXPECT_EQ(restored.Entries(), 4u);
  EXPECT_TRUE(restored == list);
  EXPECT_TRUE(restored.KeyAtTail()->Value().IsIllegal());
  for (KQ_TListKey const* key = restored.KeyAtHead(); key != nullptr; key = key->Next()) {
    EXPECT_EQ(key->Container(), &restored);
  }

  // The empty list packs as a zero count alone.
  KQ_TPackRecorder emptyRecorder;
  KQ_TList().KQ_Pack(emptyRecorder);
  ASSERT_EQ(emptyRecorder.fTokens.size(), 1u);
  EXPECT_EQ(static_cast<std::uint32_t>(emptyRecorder.fTokens[0].value), 0u);
  KQ_TList emptied = MakeList({1});
  emptied.KQ_Unpack(emptyRecorder);
  EXPECT_TRUE(HasLinks(emptied, {}));
}

TEST(ListTest, UnpackingTrustsNoCount) {
  // A count far beyond the data: nothing is reserved by it, the stream's
  // end is reported and the elements read so far stay linked.
  KQ_TPackRecorder recorder;
  static_cast<KQ_IPacking&>(recorder) << std::numeric_limits<std::uint32_t>::max();
  static_cast<KQ_IPacking&>(recorder) << static_cast<KQ_IPackable const&>(KQ_TAny(std::int32_t{1}));
  static_cast<KQ_IPacking&>(recorder) << static_cast<KQ_IPackable const&>(KQ_TAny(std::int32_t{2}));
  KQ_TList list = MakeList({9});
  EXPECT_THROW(list.KQ_Unpack(recorder), KQ_EStreamEndReached);
  EXPECT_TRUE(HasLinks(list, {1, 2}));

  // A value that fails to read leaves no half-made element behind.
  KQ_TPackRecorder wrong;
  static_cast<KQ_IPacking&>(wrong) << std::uint32_t{2};
  static_cast<KQ_IPacking&>(wrong) << static_cast<KQ_IPackable const&>(KQ_TAny(std::int32_t{5}));
  static_cast<KQ_IPacking&>(wrong) << std::int32_t{6};
  EXPECT_THROW(list.KQ_Unpack(wrong), KQ_EWrongPackedType);
  EXPECT_TRUE(HasLinks(list, {5}));
}

TEST(ListTest, EmptyingReleasesHeldObjectsOnce) {
  // Values that own objects (nested lists) go when the list is emptied by
  // assignment, by unpacking over it and by its destruction, with and
  // without rooms of removed keys among the live ones; the sanitizer builds
  // check that each object is destroyed exactly once and none is lost.
  KQ_TList const inner = MakeList({1, 2, 3});
  KQ_TList list;
  for (int i = 0; i < 40; ++i) list.Add(inner);
  int position = 0;
  for (KQ_TListKey* key = list.KeyAtHead(); key != nullptr; ++position) {
    KQ_TListKey* const next = key->Next();
    if (position % 3 == 0) list.Rem(key);
    key = next;
  }
  EXPECT_EQ(list.Entries(), 26u);
  list = MakeList({7});
  EXPECT_TRUE(HasLinks(list, {7}));

  for (int i = 0; i < 20; ++i) list.Add(inner);
  KQ_TList packed;
  packed.Add(inner);
  packed.Add(std::int32_t{8});
  KQ_TPackRecorder recorder;
  packed.KQ_Pack(recorder);
  list.KQ_Unpack(recorder);
  EXPECT_TRUE(list == packed);
  auto const* held = static_cast<KQ_TList const*>(list.Head().KQ_Cast("KQ_TList"));
  ASSERT_NE(held, nullptr);
  EXPECT_TRUE(*held == inner);
}

TEST(ListTest, ClassRecordAndCasts) {
  EXPECT_STREQ(KQ_TList::KQ_ClassName(), "KQ_TList");
  EXPECT_TRUE(KQ_TList::KQ_HasInterface("KQ_IIteratable"));
  EXPECT_TRUE(KQ_TList::KQ_HasInterface("KQ_IPackable"));
  EXPECT_TRUE(KQ_TList::KQ_HasInterface("KQ_IHumanReadable"));
  EXPECT_TRUE(KQ_TListIterationInfo::KQ_HasInterface("KQ_IIterationInfo"));
  EXPECT_TRUE(KQ_TIterator::KQ_HasSuperclass("KQ_TObject"));
  EXPECT_TRUE(KQ_TConstIterator::KQ_HasSuperclass("KQ_TObject"));

  KQ_TObject* created = KQ_TClass::FindClass("KQ_TList")->CreateInstance();
  ASSERT_NE(created, nullptr);
  auto* list = static_cast<KQ_TList*>(created->KQ_Cast("KQ_TList"));
  ASSERT_NE(list, nullptr);
  EXPECT_TRUE(list->IsEmpty());
  auto* iteratable = static_cast<KQ_IIteratable*>(created->KQ_Cast("KQ_IIteratable"));
  ASSERT_NE(iteratable, nullptr);
  KQ_IIterationInfo* cursor = iteratable->CreateIterationInfo();
  EXPECT_STREQ(cursor->ClassName(), "KQ_TListIterationInfo");
  EXPECT_TRUE(cursor->IsBeforeStart());
  delete cursor;
  delete created;
}

TEST(ListTest, LongListsAreBuiltCopiedAndDestroyedWithoutRecursion) {
  constexpr std::int32_t kCount = 100000;
  auto* list = new KQ_TList();
  for (std::int32_t i = 0; i < kCount; ++i) list->Add(i);
  EXPECT_EQ(list->Entries(), static_cast<std::uint32_t>(kCount));
  EXPECT_EQ(IntOf(list->ObjectAt(kCount - 2)), kCount - 2);
  EXPECT_EQ(IntOf(list->ObjectAt(kCount / 2)), kCount / 2);
  KQ_TList copy(*list);
  EXPECT_TRUE(copy == *list);
  delete list;
  while (copy.Entries() > 2) copy.RemAtHead().RemAtTail();
  EXPECT_TRUE(HasLinks(copy, {kCount / 2 - 1, kCount / 2}));
}

TEST(ListTest, KeysKeepTheirPlaceWhileTheListGrowsShrinksAndRefills) {
  // Keys are handed out from blocks and reused after removal: a key stays
  // where it is as long as it is linked, however many come and go around it.
  KQ_TList list;
  std::vector<KQ_TListKey*> keys;
  for (std::int32_t i = 0; i < 5000; ++i) keys.push_back(list.Add(i));
  KQ_TListKey* const kept = keys[4321];
  for (std::int32_t i = 0; i < 5000; i += 2) list.Rem(keys[i]);
  EXPECT_EQ(list.Entries(), 2500u);
  for (std::int32_t i = 0; i < 3000; ++i) list.AddAtHead(-i);
  EXPECT_EQ(list.Entries(), 5500u);
  EXPECT_EQ(static_cast<std::int32_t>(kept->Value()), 4321);
  EXPECT_EQ(kept->Container(), &list);
  std::int64_t sum = 0;
  for (KQ_TListKey const* key = list.KeyAtHead(); key != nullptr; key = key->Next()) {
    sum += static_cast<std::int32_t>(key->Value());
  }
  // The odd numbers below 5000 and the negated numbers below 3000.
  EXPECT_EQ(sum, 2500LL * 2500 - 2999LL * 3000 / 2);

  // Emptied one key at a time, then used again.
  while (!list.IsEmpty()) list.RemAtTail();
  list.Add("again");
  EXPECT_EQ(list.Entries(), 1u);
  EXPECT_EQ(list.KeyAtHead(), list.KeyAtTail());

  // Assignment hands the keys of the copy over; the source keeps its own.
  KQ_TList source = MakeList({1, 2, 3});
  KQ_TListKey const* sourceHead = source.KeyAtHead();
  list = source;
  EXPECT_TRUE(HasLinks(list, {1, 2, 3}));
  EXPECT_NE(list.KeyAtHead(), sourceHead);
  EXPECT_EQ(list.KeyAtHead()->Container(), &list);
  source.RemAtHead();
  EXPECT_TRUE(HasLinks(list, {1, 2, 3}));
  EXPECT_TRUE(HasLinks(source, {2, 3}));
}
