#include "kq_sys_stack.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <unistd.h>
#include <unwind.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#if defined(KQ_HAVE_LIBDW)
#include <elfutils/libdwfl.h>
#endif

namespace kq::sys {

namespace {

constexpr unsigned kMaxFrames = 256;

// State of one walk: code addresses of the frames found, already moved back
// into the call instruction where the unwinder gives a return address.
struct Walk {
  std::uintptr_t addresses[kMaxFrames];
  unsigned count = 0;
  unsigned long long skip = 0;
};

_Unwind_Reason_Code CollectFrame(_Unwind_Context* context, void* argument) {
  Walk& walk = *static_cast<Walk*>(argument);
  int beforeInstruction = 0;
  std::uintptr_t address = _Unwind_GetIPInfo(context, &beforeInstruction);
  if (address == 0) return _URC_NO_REASON;
  if (walk.skip > 0) {
    --walk.skip;
    return _URC_NO_REASON;
  }
  // A return address points after the call, which may already be the next
  // line or even the next function; the call itself ends one byte earlier.
  // Frames interrupted by a signal give the faulting instruction itself.
  if (beforeInstruction == 0) --address;
  walk.addresses[walk.count++] = address;
  return walk.count == kMaxFrames ? _URC_NORMAL_STOP : _URC_NO_REASON;
}

struct FreeDeleter {
  void operator()(char* p) const { std::free(p); }
};

// The readable form of a symbol, without the version that symbol tables may
// append ("name@@VERSION"); names that are not mangled stay as they are.
std::string Demangle(char const* symbol) {
  std::string const name(symbol, std::strcspn(symbol, "@"));
  int status = 0;
  std::unique_ptr<char, FreeDeleter> const readable(
      abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status));
  return readable != nullptr ? std::string(readable.get()) : name;
}

// Names from the dynamic symbol table only: what the loader itself knows.
void ResolveByLoader(std::uintptr_t address, StackFrame& frame) {
  Dl_info info;
  if (dladdr(reinterpret_cast<void*>(address), &info) == 0) return;
  if (info.dli_sname != nullptr) frame.function = Demangle(info.dli_sname);
  if (info.dli_fname != nullptr) frame.module = info.dli_fname;
}

#if defined(KQ_HAVE_LIBDW)

// Changes whenever the loader adds or removes an image.
struct LoadState {
  unsigned long long adds = 0;
  unsigned long long subs = 0;
  unsigned long long images = 0;
  bool operator==(LoadState const& other) const {
    return adds == other.adds && subs == other.subs && images == other.images;
  }
};

int CountImage(dl_phdr_info* info, std::size_t size, void* argument) {
  LoadState& state = *static_cast<LoadState*>(argument);
  ++state.images;
  if (size >= offsetof(dl_phdr_info, dlpi_subs) + sizeof info->dlpi_subs) {
    state.adds = info->dlpi_adds;
    state.subs = info->dlpi_subs;
  }
  return 0;
}

LoadState CurrentLoadState() {
  LoadState state;
  dl_iterate_phdr(CountImage, &state);
  return state;
}

// The session keeps the image files it opens; they must not leak into the
// programs that child processes run.
int KeepFromChildren(int descriptor) {
  if (descriptor >= 0) fcntl(descriptor, F_SETFD, FD_CLOEXEC);
  return descriptor;
}

int FindImage(Dwfl_Module* module, void** userData, char const* moduleName, Dwarf_Addr base,
              char** fileName, Elf** elf) {
  return KeepFromChildren(
      dwfl_linux_proc_find_elf(module, userData, moduleName, base, fileName, elf));
}

// Separate debug files are looked up by build id on this machine only. The
// broader standard search may ask a debug-information server over the
// network, which has no place in raising an exception.
int FindDebugInfo(Dwfl_Module* module, void** userData, char const* moduleName, Dwarf_Addr base,
                  char const* fileName, char const* debugLinkFile, GElf_Word debugLinkCrc,
                  char** debugFileName) {
  return KeepFromChildren(dwfl_build_id_find_debuginfo(module, userData, moduleName, base, fileName,
                                                       debugLinkFile, debugLinkCrc, debugFileName));
}

// One symbol session for the whole process. Opening one reads the symbol
// tables and line programs of every image again, which takes far longer than
// a walk, so it is kept and only told about images loaded since.
class Symbolizer {
 public:
  // Holds the lock while it resolves: the session is not thread-safe.
  void Resolve(std::uintptr_t const* addresses, unsigned count, std::vector<StackFrame>& frames) {
    std::lock_guard<std::mutex> const guard(fLock);
    Dwfl* const session = Session();
    for (unsigned i = 0; i < count; ++i) {
      StackFrame frame;
      Dwfl_Module* const module =
          session != nullptr ? dwfl_addrmodule(session, addresses[i]) : nullptr;
      if (module != nullptr) {
        ResolveInModule(module, addresses[i], frame);
      } else {
        ResolveByLoader(addresses[i], frame);
      }
      frames.push_back(std::move(frame));
    }
  }

 private:
  static void ResolveInModule(Dwfl_Module* module, Dwarf_Addr address, StackFrame& frame) {
    if (char const* name = dwfl_module_info(module, nullptr, nullptr, nullptr, nullptr, nullptr,
                                            nullptr, nullptr)) {
      frame.module = name;
    }
    if (char const* symbol = dwfl_module_addrname(module, address)) {
      frame.function = Demangle(symbol);
    }
    Dwarf_Addr bias = 0;
    Dwarf_Die* const unit = FindUnit(module, address, bias);
    if (unit == nullptr) return;
    Dwarf_Line* const line = dwarf_getsrc_die(unit, address - bias);
    int lineNumber = 0;
    char const* const file = line != nullptr ? dwarf_linesrc(line, nullptr, nullptr) : nullptr;
    if (file != nullptr && dwarf_lineno(line, &lineNumber) == 0 && lineNumber > 0) {
      frame.file = file;
      frame.line = static_cast<std::uint32_t>(lineNumber);
    }
  }

  // The compilation unit whose code covers address, with its address bias.
  // The address index finds it at once where the compiler wrote one; others
  // (clang writes none by default) leave a walk over the units. Code that no
  // unit covers (start-up files, assembly) gets none rather than the nearest
  // line of a neighbour.
  static Dwarf_Die* FindUnit(Dwfl_Module* module, Dwarf_Addr address, Dwarf_Addr& bias) {
    Dwarf_Die* unit = dwfl_module_addrdie(module, address, &bias);
    if (unit != nullptr && dwarf_haspc(unit, address - bias) > 0) return unit;
    unit = nullptr;
    while ((unit = dwfl_module_nextcu(module, unit, &bias)) != nullptr) {
      if (dwarf_haspc(unit, address - bias) > 0) return unit;
    }
    return nullptr;
  }

  // The session, reported afresh when the set of images changed; null when
  // it cannot be had, and then callers fall back on the loader's names.
  Dwfl* Session() {
    LoadState const now = CurrentLoadState();
    if (fSession != nullptr && now == fReported) return fSession;
    if (fSession == nullptr) {
      fCallbacks.find_elf = FindImage;
      fCallbacks.find_debuginfo = FindDebugInfo;
      fCallbacks.section_address = nullptr;
      fCallbacks.debuginfo_path = nullptr;
      fSession = dwfl_begin(&fCallbacks);
      if (fSession == nullptr) return nullptr;
    }
    // Images reported again keep what was already read from them; images
    // gone since are dropped at the end of the report.
    dwfl_report_begin(fSession);
    int const failed = dwfl_linux_proc_report(fSession, getpid());
    if (dwfl_report_end(fSession, nullptr, nullptr) != 0 || failed != 0) {
      dwfl_end(fSession);
      fSession = nullptr;
      return nullptr;
    }
    fReported = now;
    return fSession;
  }

  std::mutex fLock;
  Dwfl_Callbacks fCallbacks{};
  Dwfl* fSession = nullptr;
  LoadState fReported;
};

void Resolve(std::uintptr_t const* addresses, unsigned count, std::vector<StackFrame>& frames) {
  // Never destroyed: exceptions may still be prepared while static objects
  // are torn down at exit.
  static Symbolizer* const symbolizer = new Symbolizer;
  symbolizer->Resolve(addresses, count, frames);
}

#else

void Resolve(std::uintptr_t const* addresses, unsigned count, std::vector<StackFrame>& frames) {
  for (unsigned i = 0; i < count; ++i) {
    StackFrame frame;
    ResolveByLoader(addresses[i], frame);
    frames.push_back(std::move(frame));
  }
}

#endif

}  // namespace

// Not inlined, so that exactly one frame (this one) lies between the walk's
// start and the caller.
__attribute__((noinline)) std::vector<StackFrame> CaptureStack(unsigned skipFrames) noexcept {
  int const savedErrno = errno;
  std::vector<StackFrame> frames;
  try {
    Walk walk;
    walk.skip = skipFrames + 1ULL;
    _Unwind_Backtrace(CollectFrame, &walk);
    frames.reserve(walk.count);
    Resolve(walk.addresses, walk.count, frames);
  } catch (...) {
    // Out of memory: keep the frames resolved so far.
  }
  errno = savedErrno;
  return frames;
}

}  // namespace kq::sys
