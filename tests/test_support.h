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
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
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

// Scaffolding of the thread, lock, socket, process and system tests: time
// measured and waited for, a call on another thread, a library whose classes
// are initialised, and whether a sanitizer runs the program.
#include <chrono>
#include <future>
#include <thread>

#include "kq_initialization.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KQ_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define KQ_TEST_SANITIZED 1
#endif
#endif

namespace kqtest {

using Clock = std::chrono::steady_clock;

inline std::int64_t MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// What f returns, or raises, when run on a thread of its own.
template <class F>
auto OnOtherThread(F f) -> decltype(f()) {
  return std::async(std::launch::async, f).get();
}

// True while the task has not finished: it is blocked. A task that finishes
// is caught at once; a slow machine only makes a blocked task look blocked.
template <class T>
bool StillBlocked(std::future<T> const& task) {
  return task.wait_for(std::chrono::milliseconds(40)) == std::future_status::timeout;
}

// Waits until condition holds, at most five seconds.
template <class F>
bool Eventually(F condition) {
  for (auto const end = Clock::now() + std::chrono::seconds(5); !condition();) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// What a call raises: "Class|message", and the exception's data into data;
// "" when it raises nothing.
template <class F>
std::string RaisedMessage(F&& f, KQ_TAny* data = nullptr) {
  try {
    f();
  } catch (KQ_EException const& e) {
    if (data != nullptr) *data = e.KQ_Data();
    return std::string(e.ClassName()) + "|" + e.KQ_Message().UTF8();
  }
  return "";
}

class InitializedTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(__KQ_INITIALIZATION_FUNCTION_kqtypes__()); }
};

// What call raises as what() gives it ("Class: message"), and its data into
// value; "" when it raises nothing.
inline std::string RaisedWhat(std::function<void()> const& call, KQ_TAny* value = nullptr) {
  try {
    call();
  } catch (KQ_EException const& e) {
    if (value != nullptr) *value = e.KQ_Data();
    return e.what();
  }
  return "";
}

namespace fs = std::filesystem;

// A file name from its bytes, and back.
inline KQ_TString Name(std::string const& bytes) {
  return KQ_TString::FromUTF8(bytes.data(), static_cast<std::uint32_t>(bytes.size()),
                              KQ_TString::UTF8Rule::kBytes);
}
inline std::string BytesOf(KQ_TString const& text) {
  return text.ToUTF8(KQ_TString::UTF8Rule::kBytes);
}

inline void WriteFile(std::string const& path, std::string const& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}
inline std::string ReadFile(std::string const& path) {
  std::ostringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

// A fresh directory for each test, removed with everything in it.
class ScratchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "kq_file_XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    fDirectory = pattern;
  }
  void TearDown() override { fs::remove_all(fDirectory); }
  std::string Path(std::string const& name) const { return fDirectory + "/" + name; }
  KQ_TString At(std::string const& name) const { return Name(Path(name)); }

  std::string fDirectory;
};

// The exit status of a child process that runs check: 0 when it returns
// true. As root with asNobody set, the child runs as the user "nobody"
// (status 77 when it cannot).
inline int InChild(std::function<bool()> const& check, bool asNobody = false) {
  pid_t const child = fork();
  if (child == 0) {
    if (asNobody && geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(77);
    bool passed = false;
    try {
      passed = check();
    } catch (...) {
    }
    _exit(passed ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// The mount table of the local-name and volume tests: the machine's own
// table followed by data/mounts.txt, in a file of this test program that
// replaces the system's (KQ_MOUNT_TABLE) before the library first reads it.
inline std::string const& MountTableFile() {
  static std::string const name =
      (fs::temp_directory_path() / ("kq_mounts_" + std::to_string(getpid()))).string();
  return name;
}

// Writes the table: the machine's mounts, the test mounts, then extra lines.
inline void WriteMountTable(std::string const& extra = "") {
  std::ofstream file(MountTableFile(), std::ios::binary | std::ios::trunc);
  file << ReadFile("/proc/self/mounts") << ReadFile(KQ_TEST_DATA_DIR "/mounts.txt") << extra;
}

// Set up at static initialisation; the file goes when the program ends.
struct MountTableReplacement {
  explicit MountTableReplacement(char const* cacheTimeout) {
    WriteMountTable();
    setenv("KQ_MOUNT_TABLE", MountTableFile().c_str(), 1);
    if (cacheTimeout != nullptr) setenv("LOCALNAME_CACHE_TIMEOUT", cacheTimeout, 1);
  }
  ~MountTableReplacement() { std::remove(MountTableFile().c_str()); }
};

}  // namespace kqtest

// A program that defines KQ_TEST_OWN_OPERATOR_NEW before including this
// header takes operator new and delete from here: blocks from malloc, given
// back with free, a request failing whenever kqtest::gNewFails says so, and
// the deletions of one watched address counted, so that a test can see a
// block released with operator delete. Replacing them also keeps the
// sanitizers' own versions, which abort instead of calling the new-handler
// (and which need allocator_may_return_null to give null at all), out of
// the out-of-memory tests.
#if defined(KQ_TEST_OWN_OPERATOR_NEW)
#include <cstdlib>
#include <new>

namespace kqtest {
inline bool (*gNewFails)() = nullptr;
inline std::atomic<void*> gWatched{nullptr};
inline std::atomic<int> gWatchedDeletes{0};

inline void CountedFree(void* p) noexcept {
  if (p != nullptr && p == gWatched.load()) ++gWatchedDeletes;
  std::free(p);
}
}  // namespace kqtest

#if defined(KQ_TEST_SANITIZED)
extern "C" char const* __asan_default_options() { return "allocator_may_return_null=1"; }
extern "C" char const* __tsan_default_options() { return "allocator_may_return_null=1"; }
#endif
// g++ sees only the names malloc and free and would warn of a mismatch.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

void* operator new(std::size_t size) {
  for (;;) {
    bool const fails = kqtest::gNewFails != nullptr && kqtest::gNewFails();
    if (void* p = fails ? nullptr : std::malloc(size == 0 ? 1 : size)) return p;
    std::new_handler handler = std::get_new_handler();
    if (handler == nullptr) throw std::bad_alloc();
    handler();
  }
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void operator delete(void* p) noexcept { kqtest::CountedFree(p); }
void operator delete(void* p, std::size_t) noexcept { kqtest::CountedFree(p); }
void operator delete[](void* p) noexcept { kqtest::CountedFree(p); }
void operator delete[](void* p, std::size_t) noexcept { kqtest::CountedFree(p); }
#endif

// ---------------------------------------------------------------------------
// Strings, Any, exceptions and the object model.

#include <algorithm>
#include <cstring>

#include "kq_ipacking.h"
#include "kq_iunpacking.h"

// A packing stream that records each element and reads the recording back:
// numbers from their bits with their exact type checked, packets from their
// bytes (a short one raises KQ_EStreamEndReached once its bytes landed),
// objects from clones that Extract hands out. With fDescend an object's own
// elements are recorded after it.
class ElementRecorder : public KQ_TObject,
                        public virtual KQ_IPacking,
                        public virtual KQ_IUnpacking {
  KQ_CLASS(ElementRecorder, KQ_TObject, KQ_IPacking, KQ_IUnpacking)
  struct Entry {
    std::string type;
    std::uint64_t bits = 0;
    std::string text;  // the bytes of a packet, the name of a header or object
    std::unique_ptr<KQ_IPackable> object;
  };
  std::vector<Entry> fEntries;
  std::size_t fNext = 0;
  bool fDescend = false;
  std::vector<std::uint32_t> fPacketSizes;  // the size and limit of each ReadPacket

  KQ_IPacking& operator<<(KQ_IPackable const& object) override {
    fEntries.push_back(
        {"object", 0, object.KQ_PackTypeID(), std::unique_ptr<KQ_IPackable>(object.KQ_Clone())});
    if (fDescend) object.KQ_Pack(*this);
    return *this;
  }
  KQ_IPacking& operator<<(double value) override { return Put("f64", value); }
  KQ_IPacking& operator<<(float value) override { return Put("f32", value); }
  KQ_IPacking& operator<<(char value) override { return Put("char", value); }
  KQ_IPacking& operator<<(bool value) override { return Put("bool", value); }
  KQ_IPacking& operator<<(std::uint64_t value) override { return Put("u64", value); }
  KQ_IPacking& operator<<(std::uint32_t value) override { return Put("u32", value); }
  KQ_IPacking& operator<<(std::uint16_t value) override { return Put("u16", value); }
  KQ_IPacking& operator<<(std::uint8_t value) override { return Put("u8", value); }
  KQ_IPacking& operator<<(std::int64_t value) override { return Put("i64", value); }
  KQ_IPacking& operator<<(std::int32_t value) override { return Put("i32", value); }
  KQ_IPacking& operator<<(std::int16_t value) override { return Put("i16", value); }
  KQ_IPacking& operator<<(std::int8_t value) override { return Put("i8", value); }
  KQ_IPacking& WritePacket(void const* data, std::uint32_t size) override {
    fEntries.push_back({"packet", size, std::string(static_cast<char const*>(data), size), {}});
    return *this;
  }
  KQ_IPacking& WriteRawPacket(void const* data, std::uint32_t size) override {
    fEntries.push_back({"raw", size, std::string(static_cast<char const*>(data), size), {}});
    return *this;
  }
  KQ_IPacking& InsertClassHeader(char const* name) override {
    fEntries.push_back({"header", 0, name, {}});
    return *this;
  }
  KQ_IPacking& InsertClassTrailer(char const* name) override {
    fEntries.push_back({"trailer", 0, name, {}});
    return *this;
  }

  KQ_IUnpacking& operator>>(KQ_IPackable&) override {
    ADD_FAILURE() << "objects are read with Extract";
    return *this;
  }
  KQ_IUnpacking& operator>>(double& value) override { return Get("f64", value); }
  KQ_IUnpacking& operator>>(float& value) override { return Get("f32", value); }
  KQ_IUnpacking& operator>>(char& value) override { return Get("char", value); }
  KQ_IUnpacking& operator>>(bool& value) override { return Get("bool", value); }
  KQ_IUnpacking& operator>>(std::uint64_t& value) override { return Get("u64", value); }
  KQ_IUnpacking& operator>>(std::uint32_t& value) override { return Get("u32", value); }
  KQ_IUnpacking& operator>>(std::uint16_t& value) override { return Get("u16", value); }
  KQ_IUnpacking& operator>>(std::uint8_t& value) override { return Get("u8", value); }
  KQ_IUnpacking& operator>>(std::int64_t& value) override { return Get("i64", value); }
  KQ_IUnpacking& operator>>(std::int32_t& value) override { return Get("i32", value); }
  KQ_IUnpacking& operator>>(std::int16_t& value) override { return Get("i16", value); }
  KQ_IUnpacking& operator>>(std::int8_t& value) override { return Get("i8", value); }
  using KQ_IUnpacking::ReadPacket;
  std::uint32_t ReadPacket(void* buffer, std::uint32_t size, std::uint32_t limit) override {
    fPacketSizes.insert(fPacketSizes.end(), {size, limit});
    std::string const& bytes = Next("packet").text;
    std::memcpy(buffer, bytes.data(), std::min<std::size_t>(size, bytes.size()));
    if (bytes.size() < size) KQ_THROW(KQ_EStreamEndReached());
    return size;
  }
  KQ_IUnpacking& ReadRawPacket(void*, std::uint32_t) override { return Unexpected(); }
  KQ_IUnpacking& ExtractClassHeader(char const*) override { return Unexpected(); }
  KQ_IUnpacking& ExtractClassTrailer(char const*) override { return Unexpected(); }
  void SkipData() override { Unexpected(); }
  unsigned char Peek() override { return Unexpected(), 0; }
  KQ_IPackable* Extract(bool keepUnknown) override {
    EXPECT_TRUE(keepUnknown);
    return Next("object").object.release();
  }

  // The elements as "u32 3, packet 4, header KQ_EException, object KQ_TList, f64".
  std::string Words() const {
    std::string words;
    for (Entry const& e : fEntries) {
      bool const named = e.type == "header" || e.type == "trailer" || e.type == "object";
      bool const number = e.type[0] == 'u' || e.type[0] == 'i' || e.type == "packet";
      words += (words.empty() ? "" : ", ") + e.type +
               (named    ? " " + e.text
                : number ? " " + std::to_string(e.bits)
                         : "");
    }
    return words;
  }
  std::vector<std::string> Types() const {
    std::vector<std::string> types;
    for (Entry const& e : fEntries) types.push_back(e.type);
    return types;
  }
  bool AllRead() const { return fNext == fEntries.size(); }

 private:
  template <class T>
  KQ_IPacking& Put(char const* type, T value) {
    Entry entry{type, 0, "", {}};
    std::memcpy(&entry.bits, &value, sizeof value);
    fEntries.push_back(std::move(entry));
    return *this;
  }
  Entry& Next(char const* type) {
    if (fNext >= fEntries.size()) KQ_THROW(KQ_EStreamEndReached());
    Entry& entry = fEntries[fNext++];
    EXPECT_EQ(entry.type, type);
    return entry;
  }
  template <class T>
  KQ_IUnpacking& Get(char const* type, T& value) {
    std::memcpy(&value, &Next(type).bits, sizeof value);
    return *this;
  }
  KQ_IUnpacking& Unexpected() {
    ADD_FAILURE() << "unexpected reading call";
    return *this;
  }
};
KQ_CLASS_IMPL(ElementRecorder)

namespace kqtest {

// All six comparisons of left with right agree with order (-1, 0 or 1).
template <class L, class R>
void ExpectOrder(L const& left, R const& right, int order) {
  EXPECT_EQ(left == right, order == 0);
  EXPECT_EQ(left != right, order != 0);
  EXPECT_EQ(left < right, order < 0);
  EXPECT_EQ(left <= right, order <= 0);
  EXPECT_EQ(left > right, order > 0);
  EXPECT_EQ(left >= right, order >= 0);
}

}  // namespace kqtest

// ---------------------------------------------------------------------------
// Streams and the packed format.
#include <cmath>
#include <type_traits>

namespace kqtest {

inline Bytes Raw(std::string const& text) { return Bytes(text.begin(), text.end()); }

inline std::string Hex(Bytes const& bytes) {
  static char const digits[] = "0123456789ABCDEF";
  std::string text;
  for (unsigned char b : bytes) {
    text += text.empty() ? "" : " ";
    text += {digits[b >> 4], digits[b & 15]};
  }
  return text;
}

// What a memory stream, a data block or a package holds.
template <class Holder>
Bytes BytesIn(Holder const& holder) {
  return holder.Size() == 0 ? Bytes() : Bytes(holder.Data(), holder.Data() + holder.Size());
}

template <class Holder>
std::string Chars(Holder const& holder) {
  Bytes const bytes = BytesIn(holder);
  return std::string(bytes.begin(), bytes.end());
}

// A named object (tag 0x0D) or a class section (0x0E) up to its contents.
inline Bytes Header(unsigned char tag, std::string const& name) {
  return Join({Number(tag, static_cast<std::uint32_t>(name.size())), Raw(name)});
}

inline Bytes Repeat(Bytes const& part, std::size_t times) {
  Bytes all;
  for (std::size_t i = 0; i < times; ++i) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// A data stream reading a private copy of bytes.
struct Input {
  explicit Input(Bytes b)
      : bytes(std::move(b)),
        memory(bytes.data(), static_cast<std::uint32_t>(bytes.size()),
               static_cast<std::uint32_t>(bytes.size())),
        data(memory) {}
  Bytes bytes;
  KQ_TMemoryStream memory;
  KQ_TDataStream data;
};

inline void WriteText(KQ_IStream& stream, std::string const& text) {
  stream.Write(text.data(), static_cast<std::uint32_t>(text.size()));
}

// What packing with pack gives.
inline Bytes PackedBy(std::function<void(KQ_TDataStream&)> const& pack) {
  KQ_TMemoryStream memory;
  KQ_TDataStream data(memory);
  pack(data);
  return Contents(memory);
}

// Reads the next value from an unpacker (a data stream, a package) and
// expects it (any NaN for a NaN).
template <class Unpacker, class T>
void ExpectNext(Unpacker& unpacker, T expected) {
  T read{};
  unpacker >> read;
  if constexpr (std::is_floating_point_v<T>) {
    if (std::isnan(expected)) {
      EXPECT_TRUE(std::isnan(read));
      return;
    }
  }
  EXPECT_EQ(read, expected);
}

}  // namespace kqtest

// ---------------------------------------------------------------------------
// Containers.

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

// ---------------------------------------------------------------------------
// Data, text and human-readable streams.

namespace kqtest {

// A filter stream bound to nothing claims no capability, and every byte
// operation, and each of more, raises KQ_EStreamIsNotBound.
template <class Filter>
void ExpectUnboundRefuses(Filter& f, std::vector<std::function<void()>> more) {
  unsigned char b[4] = {};
  EXPECT_EQ(f.BoundStream(), nullptr);
  EXPECT_FALSE(f.Readable() || f.Writable() || f.Markable() || f.Seekable());
  more.insert(more.end(), {[&] { f.Close(); }, [&] { f.Flush(); }, [&] { f.Available(); },
                           [&] { f.Read(); }, [&] { f.Read(b, 1); }, [&] { f.Read(b, 0, 4); },
                           [&] { f.Skip(1); }, [&] { f.Write(b, 1); }, [&] { f.Write(b[0]); },
                           [&] { f.Mark(1, 0); }, [&] { f.ClearMark(1); }, [&] { f.Rewind(1); },
                           [&] { f.Position(); }, [&] { f.Seek(0); }});
  ExpectEachRaises("KQ_EStreamIsNotBound", more);
}

}  // namespace kqtest
