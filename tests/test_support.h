// Scaffolding shared by the test programs: which exception left a call,
// the printed, packed and text forms of an object and the way back, the
// packed pieces the exact-byte checks are built from, a way to run a call on
// a thread with a small stack, a change of the readers' memory budget, and a
// class that input may name but that no reader may instantiate.
//
// Every test program is one source file, so the class records defined here
// are defined once per program.
#pragma once

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "kq_eexception.h"
#include "kq_ihumanreadable.h"
#include "kq_ipackable.h"
#include "kq_iprintable.h"
#include "kq_tclass.h"
#include "kq_tdatastream.h"
#include "kq_thumanreadablestream.h"
#include "kq_tmemorystream.h"
#include "kq_tobject.h"

namespace kqtest {

using Bytes = std::vector<unsigned char>;

// Runs f and reports which exception left it: "" for none, the library
// class name for a library exception, "foreign" for anything else.
template <class F>
std::string Raised(F&& f) {
  try {
    f();
  } catch (KQ_EException const& e) {
    return e.ClassName();
  } catch (...) {
    return "foreign";
  }
  return "";
}

inline std::string Printed(KQ_IPrintable const& object) {
  std::ostringstream os;
  object.PrintOn(os);
  return os.str();
}

// What a memory stream holds.
inline Bytes Contents(KQ_TMemoryStream const& memory) {
  return memory.Size() == 0 ? Bytes() : Bytes(memory.Data(), memory.Data() + memory.Size());
}

// The object as the data stream packs it.
inline Bytes Packed(KQ_IPackable const& object) {
  KQ_TMemoryStream memory;
  KQ_TDataStream data(memory);
  data << object;
  return Contents(memory);
}

// The object packed in bytes, read with Extract (null when Extract gives
// none).
inline std::unique_ptr<KQ_IPackable> Extracted(Bytes bytes) {
  KQ_TMemoryStream memory(bytes.data(), static_cast<std::uint32_t>(bytes.size()),
                          static_cast<std::uint32_t>(bytes.size()));
  KQ_TDataStream data(memory);
  return std::unique_ptr<KQ_IPackable>(data.Extract(false));
}

// The bytes read into an existing object with operator>>.
inline void ReadInto(KQ_IPackable& object, Bytes bytes) {
  KQ_TMemoryStream memory(bytes.data(), static_cast<std::uint32_t>(bytes.size()),
                          static_cast<std::uint32_t>(bytes.size()));
  KQ_TDataStream data(memory);
  data >> object;
}

// The extracted object as a T; std::runtime_error when it is none or not a T.
template <class T>
T const& As(std::unique_ptr<KQ_IPackable> const& object) {
  auto const* cast =
      object == nullptr ? nullptr : static_cast<T const*>(object->KQ_Cast(T::KQ_ClassName()));
  if (cast == nullptr) throw std::runtime_error(std::string("not a ") + T::KQ_ClassName());
  return *cast;
}

inline Bytes Join(std::vector<Bytes> const& parts) {
  Bytes all;
  for (Bytes const& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// A tag followed by a 32-bit number, most significant byte first.
inline Bytes Number(unsigned char tag, std::uint32_t u) {
  return {tag, static_cast<unsigned char>(u >> 24), static_cast<unsigned char>(u >> 16),
          static_cast<unsigned char>(u >> 8), static_cast<unsigned char>(u)};
}

// An Any holding a 32-bit signed integer.
inline Bytes AnyInt(std::int32_t v) {
  return Join({{0x40, 0x05, 0x04}, Number(0x03, static_cast<std::uint32_t>(v))});
}

// Extracting damaged packed data raises nothing but library exceptions:
// every cut of bytes short of its end raises one, and bytes with a single
// byte set to one of values either read or raise one.
inline void ExpectDamageRaisesOnlyLibraryExceptions(Bytes const& bytes,
                                                    std::vector<unsigned char> const& values) {
  for (std::size_t n = 0; n < bytes.size(); ++n) {
    Bytes const cut(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
    std::string const raised = Raised([&] { Extracted(cut); });
    EXPECT_NE(raised, "") << "prefix of " << n << " bytes";
    EXPECT_NE(raised, "foreign") << "prefix of " << n << " bytes";
  }
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    for (unsigned char value : values) {
      Bytes changed = bytes;
      changed[i] = value;
      EXPECT_NE(Raised([&] { Extracted(changed); }), "foreign")
          << "byte " << i << " set to " << int{value};
    }
  }
}

// The value in the human-readable text form, and the way back.
inline std::string Text(KQ_IHumanReadable const& value) {
  KQ_TMemoryStream memory;
  KQ_THumanReadableStream stream(memory);
  stream << value;
  return memory.Size() == 0
             ? std::string()
             : std::string(reinterpret_cast<char const*>(memory.Data()), memory.Size());
}

inline void ReadText(KQ_IHumanReadable& value, std::string text) {
  KQ_TMemoryStream memory(text.data(), static_cast<std::uint32_t>(text.size()),
                          static_cast<std::uint32_t>(text.size()));
  KQ_THumanReadableStream stream(memory);
  stream >> value;
}

// Stack of the threads on which the nesting tests read: far below the
// system's default, as a program with many connections might choose.
constexpr std::size_t kSmallStack = 256 * 1024;

// Runs body on a new thread whose stack holds stackBytes and waits for it;
// an exception leaving body is raised again here. False when the thread
// could not be started.
inline bool RunOnStack(std::size_t stackBytes, std::function<void()> const& body) {
  struct Call {
    std::function<void()> const* body;
    std::exception_ptr raised;
  } call{&body, nullptr};
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) return false;
  pthread_t thread;
  bool const started = pthread_attr_setstacksize(&attributes, stackBytes) == 0 &&
                       pthread_create(
                           &thread, &attributes,
                           [](void* argument) -> void* {
                             auto* const c = static_cast<Call*>(argument);
                             try {
                               (*c->body)();
                             } catch (...) {
                               c->raised = std::current_exception();
                             }
                             return nullptr;
                           },
                           &call) == 0;
  pthread_attr_destroy(&attributes);
  if (!started) return false;
  pthread_join(thread, nullptr);
  if (call.raised) std::rethrow_exception(call.raised);
  return true;
}

// Sets the memory budget of Stream's readers for the life of the object and
// then restores the one before.
template <class Stream>
class ReadBudgetChange {
 public:
  ReadBudgetChange(std::uint64_t perByte, std::uint64_t fixed)
      : fPerByte(Stream::ReadBudgetPerByte()), fFixed(Stream::ReadBudgetFixed()) {
    Stream::SetReadBudget(perByte, fixed);
  }
  ReadBudgetChange(ReadBudgetChange const&) = delete;
  ReadBudgetChange& operator=(ReadBudgetChange const&) = delete;
  ~ReadBudgetChange() { Stream::SetReadBudget(fPerByte, fFixed); }

 private:
  std::uint64_t fPerByte;
  std::uint64_t fFixed;
};

}  // namespace kqtest

// A class with a factory that is neither packable nor human-readable, and
// counts the instances made of it: a reader given its name must refuse it
// without creating one (as it must for a thread, a lock or a socket).
class ReaderUnpackable : public KQ_TObject {
  KQ_CLASS(ReaderUnpackable, KQ_TObject)
  ReaderUnpackable() { ++sMade; }
  static inline std::atomic<int> sMade{0};
};
KQ_CLASS_IMPL(ReaderUnpackable)

// ---- Containers

#include "kq_ihashable.h"
#include "kq_tany.h"

// A packable object that is not hashable, and a hashable key whose
// identity, hash and clone the test chooses (the clone may be a plain object
// or none). Both count their live instances, so that a test sees every copy
// a container made go again.
class CountedPlain : public KQ_TObject, public virtual KQ_IPackable {
  KQ_CLASS(CountedPlain, KQ_TObject, KQ_IPackable)
  explicit CountedPlain(std::int32_t id = 0) : fId(id) { ++sLive; }
  CountedPlain(CountedPlain const& other)
      : KQ_IInterface(other), KQ_TObject(other), fId(other.fId) {
    ++sLive;
  }
  ~CountedPlain() override { --sLive; }
  void KQ_Pack(KQ_IPacking& packer) const override { packer << fId; }
  void KQ_Unpack(KQ_IUnpacking& unpacker) override { unpacker >> fId; }
  KQ_IPackable* KQ_Clone(void*) const override { return new CountedPlain(*this); }
  bool KQ_IsIdent(KQ_IPackable const& other) const override {
    auto const* plain = static_cast<CountedPlain const*>(other.KQ_Cast("CountedPlain"));
    return plain != nullptr && plain->fId == fId;
  }
  static inline int sLive = 0;
  std::int32_t fId;
};
KQ_CLASS_IMPL_ON_FIRST_USE(CountedPlain)

class CountedKey : public KQ_TObject, public virtual KQ_IHashable {
  KQ_CLASS(CountedKey, KQ_TObject, KQ_IHashable)
  enum CloneMode : std::int32_t { kSelf, kPlain, kNone };
  CountedKey(std::int32_t id = 0, std::uint32_t hash = 0, CloneMode mode = kSelf)
      : fId(id), fHash(hash), fMode(mode) {
    ++sLive;
  }
  CountedKey(CountedKey const& other)
      : KQ_IInterface(other),
        KQ_TObject(other),
        fId(other.fId),
        fHash(other.fHash),
        fMode(other.fMode) {
    ++sLive;
  }
  ~CountedKey() override { --sLive; }
  std::uint32_t KQ_HashValue(std::uint32_t seed) const override { return seed + fHash; }
  bool KQ_IsIdent(KQ_IPackable const& other) const override {
    auto const* key = static_cast<CountedKey const*>(other.KQ_Cast("CountedKey"));
    return key != nullptr && key->fId == fId;
  }
  KQ_IPackable* KQ_Clone(void*) const override {
    if (fMode == kPlain) return new CountedPlain(fId);
    return fMode == kNone ? nullptr : new CountedKey(*this);
  }
  void KQ_Pack(KQ_IPacking& packer) const override { packer << fId << fHash; }
  void KQ_Unpack(KQ_IUnpacking& unpacker) override { unpacker >> fId >> fHash; }
  static inline int sLive = 0;
  std::int32_t fId;
  std::uint32_t fHash;
  CloneMode fMode;
};
KQ_CLASS_IMPL_ON_FIRST_USE(CountedKey)

namespace kqtest {

inline KQ_TAny Int(std::int32_t value) { return KQ_TAny(value); }

// The 32-bit integer an Any holds.
inline std::int32_t IntOf(KQ_IPackable const& packable) {
  auto const* any = static_cast<KQ_TAny const*>(packable.KQ_Cast("KQ_TAny"));
  if (any == nullptr || any->Kind() != KQ_TAny::kInt32) throw std::runtime_error("not an integer");
  return static_cast<std::int32_t>(*any);
}

// Each call raises the library exception named raised.
inline void ExpectEachRaises(std::string const& raised,
                             std::vector<std::function<void()>> const& calls) {
  for (std::size_t i = 0; i < calls.size(); ++i)
    EXPECT_EQ(Raised(calls[i]), raised) << "call " << i;
}

// Walks a list or a queue from the head, checking every back link, every
// key's owner, the tail and the count, and compares its keys, one word each
// as word(key) gives it, with expected.
template <class Chain, class Word>
::testing::AssertionResult ChainHolds(Chain const& chain, std::string const& expected, Word word) {
  std::string text;
  decltype(chain.KeyAtTail()) previous = nullptr;
  std::uint32_t count = 0;
  for (auto key = chain.IsEmpty() ? previous : chain.KeyAtHead(); key != nullptr;
       key = key->Next()) {
    if (key->Prev() != previous || key->Container() != &chain || ++count > chain.Entries()) {
      return ::testing::AssertionFailure() << "bad link, owner or count after '" << text << "'";
    }
    text += (text.empty() ? "" : " ") + word(*key);
    previous = key;
  }
  if (count != chain.Entries() || chain.IsEmpty() != (count == 0) ||
      (count != 0 && previous != chain.KeyAtTail())) {
    return ::testing::AssertionFailure() << "count or tail wrong for '" << text << "'";
  }
  if (text != expected) return ::testing::AssertionFailure() << "holds '" << text << "'";
  return ::testing::AssertionSuccess();
}

}  // namespace kqtest
