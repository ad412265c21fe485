#include "kq_eexception.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "kq_ipacking.h"
#include "kq_iunpacking.h"
#include "kq_tstackentry.h"
#include "pathbridge.h"
#include "platform/kq_sys_error.h"
#include "platform/kq_sys_stack.h"

KQ_CLASS_IMPL(KQ_EException)

namespace {

void AppendEntry(KQ_TList& trace, KQ_TStackEntry const& entry) {
  trace.AddAtTail(KQ_TAny(static_cast<KQ_IPackable const&>(entry)));
}

KQ_TStackEntry const* EntryOf(KQ_TAny const& value) {
  return static_cast<KQ_TStackEntry const*>(value.KQ_Cast("KQ_TStackEntry"));
}

bool StackCaptureRequested() {
  char const* value = getenv_utf8("KQ_STACKTRACE");
  return value != nullptr && std::atoi(value) != 0;
}

// Frames with line information name their source; otherwise the first entry
// names the raising site and later ones the module image.
void AppendFrames(KQ_TList& trace, std::vector<kq::sys::StackFrame> const& frames,
                  std::uint32_t line, char const* file) {
  for (kq::sys::StackFrame const& frame : frames) {
    if (frame.line != 0) {
      AppendEntry(trace, KQ_TStackEntry(frame.function.c_str(), frame.file.c_str(), frame.line));
    } else if (trace.IsEmpty()) {
      AppendEntry(trace, KQ_TStackEntry(frame.function.c_str(), file, line));
    } else {
      AppendEntry(trace, KQ_TStackEntry(frame.function.c_str(), frame.module.c_str(), 0));
    }
  }
}

// Set while this thread builds, prepares or throws an exception. When memory
// runs out in the middle of that, the allocator raises KQ_EOutOfMemory once
// more; that nested exception finds the flag set, takes no memory at all and
// is caught by the outer step, which goes on without what it could not get.
// Without the flag each failure would build another exception that fails
// the same way, until the stack is gone.
thread_local bool tRaising;

class RaisingScope {
 public:
  RaisingScope() : fNested(tRaising) { tRaising = true; }
  RaisingScope(RaisingScope const&) = delete;
  RaisingScope& operator=(RaisingScope const&) = delete;
  ~RaisingScope() { tRaising = fNested; }

  bool Nested() const { return fNested; }

 private:
  bool fNested;
};

// Called from a handler: a step of an exception's bookkeeping that ran out
// of memory is left undone; any other exception passes on. operator new
// reports exhaustion as std::bad_alloc unless KQ_CatchOutOfMemory is in
// force.
void LeaveUndoneWhenOutOfMemory() {
  try {
    throw;
  } catch (KQ_EOutOfMemory const&) {
  } catch (std::bad_alloc const&) {
  }
}

template <typename Step>
void Attempt(Step step) {
  try {
    step();
  } catch (...) {
    LeaveUndoneWhenOutOfMemory();
  }
}

void StartTrace(KQ_TList& trace) {
  RaisingScope const scope;
  if (!scope.Nested()) Attempt([&trace] { AppendEntry(trace, KQ_TStackEntry()); });
}

// Throwing copies the exception; should the copy run out of memory, a bare
// KQ_EOutOfMemory leaves in its place.
template <typename X>
[[noreturn]] void ThrowCopy(X const& exception) {
  RaisingScope const scope;
  throw exception;
}

// The data of every exception that has none. Built while the library loads,
// so that reading them never needs memory.
KQ_TAny const& gNoData = KQ_TAny::Illegal();

}  // namespace

KQ_EException::KQ_EException() { StartTrace(fStackTrace); }

KQ_EException::KQ_EException(KQ_TString const& message) : fMessage(message) {
  StartTrace(fStackTrace);
}

KQ_EException::KQ_EException(KQ_TString const& message, KQ_TAny const& data)
    : fMessage(message), fData(new KQ_TAny(data)) {
  StartTrace(fStackTrace);
}

// The cached text of what() is not copied: what() makes it afresh.
KQ_EException::KQ_EException(KQ_EException const& other)
    : KQ_IInterface(other),
      KQ_IThrowable(other),
      KQ_IPackable(other),
      KQ_IPrintable(other),
      KQ_TObject(other),
      std::exception(other),
      fStackTrace(other.fStackTrace),
      fMessage(other.fMessage),
      fData(other.fData != nullptr ? new KQ_TAny(*other.fData) : nullptr) {}

KQ_EException& KQ_EException::operator=(KQ_EException const& other) {
  if (this == &other) return *this;
  std::unique_ptr<KQ_TAny> data(other.fData != nullptr ? new KQ_TAny(*other.fData) : nullptr);
  fStackTrace = other.fStackTrace;
  fMessage = other.fMessage;
  fData = std::move(data);
  return *this;
}

KQ_EException::~KQ_EException() = default;

KQ_NOINLINE KQ_EException& KQ_EException::__PREPARE_FOR_THROW__(std::uint32_t line,
                                                                char const* file) {
  RaisingScope const scope;
  if (scope.Nested()) return *this;
  if (fMessage.Length() == 0) {
    Attempt([this] {
      fMessage = ClassName();
      std::uint32_t const code = kq::sys::LastError();
      if (code != 0) {
        char text[256];
        if (kq::sys::ErrorText(code, text, sizeof text)) {
          fMessage += ": ";
          fMessage += text;
        }
        kq::sys::SetLastError(0);
      }
    });
  }
  while (!fStackTrace.IsEmpty()) fStackTrace.RemAtHead();
  // Captured here, not in a helper, so that the one frame skipped is this one.
  try {
    if (StackCaptureRequested()) {
      // The innermost frame kept is the raising function, not this one.
      AppendFrames(fStackTrace, kq::sys::CaptureStack(1), line, file);
    } else {
      AppendEntry(fStackTrace, KQ_TStackEntry(nullptr, file, line));
    }
  } catch (...) {
    LeaveUndoneWhenOutOfMemory();
  }
  return *this;
}

std::uint32_t KQ_EException::KQ_ExceptionLine() const {
  if (fStackTrace.IsEmpty()) return 0;
  KQ_TStackEntry const* entry = EntryOf(fStackTrace.Head());
  return entry != nullptr ? entry->LineNr() : 0;
}

KQ_TString const& KQ_EException::KQ_ExceptionFile() const {
  static KQ_TString const empty;
  if (fStackTrace.IsEmpty()) return empty;
  KQ_TStackEntry const* entry = EntryOf(fStackTrace.Head());
  return entry != nullptr ? entry->FileName() : empty;
}

KQ_TList const& KQ_EException::KQ_StackTrace() const { return fStackTrace; }
KQ_TString const& KQ_EException::KQ_Message() const { return fMessage; }
KQ_TString& KQ_EException::KQ_Message() { return fMessage; }
KQ_TAny const& KQ_EException::KQ_Data() const { return fData != nullptr ? *fData : gNoData; }

KQ_TAny& KQ_EException::KQ_Data() {
  if (fData == nullptr) fData.reset(new KQ_TAny());
  return *fData;
}

void KQ_EException::KQ_Throw() const { ThrowCopy(*this); }

char const* KQ_EException::what() const noexcept {
  char const* const name = ClassName();
  try {
    std::string const message = fMessage.ToUTF8(KQ_TString::UTF8Rule::kStandard);
    std::size_t const nameLength = std::strlen(name);
    bool const named = message.compare(0, nameLength, name) == 0 &&
                       (message.size() == nameLength || message[nameLength] == ':');
    if (message.empty() || named) {
      fWhat = message.empty() ? name : message;
    } else {
      fWhat = std::string(name) + ": " + message;
    }
    return fWhat.c_str();
  } catch (...) {
    // Without memory for the text the class name still says what happened.
    return name;
  }
}

KQ_IPackable* KQ_EException::KQ_Clone(void*) const { return new KQ_EException(*this); }

bool KQ_EException::KQ_IsIdent(KQ_IPackable const& other) const {
  auto const* exception = static_cast<KQ_EException const*>(other.KQ_Cast("KQ_EException"));
  return exception != nullptr && fStackTrace == exception->fStackTrace &&
         fMessage == exception->fMessage;
}

void KQ_EException::KQ_Pack(KQ_IPacking& packer) const {
  packer << fStackTrace << fMessage << KQ_Data();
}

void KQ_EException::KQ_Unpack(KQ_IUnpacking& unpacker) {
  unpacker >> fStackTrace >> fMessage >> KQ_Data();
}

// The first two lines end with a plain newline, every later one with
// std::endl; the prefix is taken afresh for each line because the
// indentation changes between them.
void KQ_EException::PrintOn(std::ostream& os) const {
  os << "Exception of class " << ClassName() << '\n';
  os << KQ_IPrintable::Prefix() << "raised at line " << KQ_ExceptionLine() << " of file \""
     << KQ_ExceptionFile() << "\"" << '\n';
  os << KQ_IPrintable::Prefix() << "Additional message:" << std::endl;
  {
    KQ_IPrintable::IndentLevel const message;
    os << KQ_IPrintable::Prefix() << fMessage << std::endl;
  }
  if (!KQ_Data().IsIllegal()) {
    os << KQ_IPrintable::Prefix() << "Additional data:" << std::endl;
    KQ_IPrintable::IndentLevel const data;
    os << KQ_IPrintable::Prefix() << KQ_Data() << std::endl;
  }
  if (!fStackTrace.IsEmpty()) {
    os << KQ_IPrintable::Prefix() << "Stack trace:" << std::endl;
    KQ_IPrintable::IndentLevel const entries;
    std::uint32_t number = 1;
    for (KQ_TListKey const* key = fStackTrace.KeyAtHead(); key != nullptr; key = key->Next()) {
      os << KQ_IPrintable::Prefix() << "[" << number++ << "] " << key->Value() << std::endl;
    }
  }
}

// Every other exception: the protocol, a throw of its own type, and packing
// of the parent's part inside a section named after the parent.
#define KQ_DEFINE_EXCEPTION_(X, Parent)                           \
  KQ_CLASS_IMPL(X)                                                \
  X::~X() = default;                                              \
  void X::KQ_Throw() const { ThrowCopy(*this); }                  \
  KQ_IPackable* X::KQ_Clone(void*) const { return new X(*this); } \
  void X::KQ_Pack(KQ_IPacking& packer) const {                    \
    packer.InsertClassHeader(Parent::KQ_ClassName());             \
    Parent::KQ_Pack(packer);                                      \
    packer.InsertClassTrailer(Parent::KQ_ClassName());            \
  }                                                               \
  void X::KQ_Unpack(KQ_IUnpacking& unpacker) {                    \
    unpacker.ExtractClassHeader(Parent::KQ_ClassName());          \
    Parent::KQ_Unpack(unpacker);                                  \
    unpacker.ExtractClassTrailer(Parent::KQ_ClassName());         \
  }

KQ_EXCEPTION_TREE(KQ_DEFINE_EXCEPTION_)
