#include "kq_tdynamicobject.h"

#include <cstdint>
#include <string>

#include "kq_eexception.h"
#include "pathbridge.h"
#include "platform/kq_sys_error.h"
#include "platform/kq_sys_module.h"

struct KQ_TDynamicObject::Handle {
  kq::sys::Module* module;
};

KQ_CLASS_IMPL(KQ_TDynamicObject)

namespace {

using UTF8Rule = KQ_TString::UTF8Rule;

// A module that needs this library exports this through it.
constexpr char kLibraryInitialization[] = "__KQ_INITIALIZATION_FUNCTION_kqtypes__";
constexpr char kInitializationPrefix[] = "__KQ_INITIALIZATION_FUNCTION_";

// Raises E with the class name and the loader's text as its message.
template <class E>
[[noreturn]] void RaiseWithLoaderText(std::string const& text, KQ_TAny const& data) {
  KQ_TString message(E::KQ_ClassName());
  if (!text.empty()) {
    message += ": ";
    message += KQ_TString::FromUTF8(text.data(), static_cast<std::uint32_t>(text.size()),
                                    UTF8Rule::kBytes);
  }
  kq::sys::SetLastError(0);
  KQ_THROW(E(message, data));
}

// The position of the last "/" or "\\" in path, -1 without one.
std::int32_t LastSeparator(KQ_TString const& path) {
  return path.FindChars("/\\", static_cast<std::int32_t>(path.Length()), true);
}

// Whether the search path lists directory as one of its entries.
bool Lists(std::string const& searchPath, KQ_TString const& directory, char separator) {
  std::size_t start = 0;
  for (;;) {
    std::size_t const end = searchPath.find(separator, start);
    std::size_t const length = (end == std::string::npos ? searchPath.size() : end) - start;
    KQ_TString const entry = KQ_TString::FromUTF8(
        searchPath.data() + start, static_cast<std::uint32_t>(length), UTF8Rule::kBytes);
    if (entry.CompareWith(directory, true) == 0) return true;
    if (end == std::string::npos) return false;
    start = end + 1;
  }
}

// Puts the directory of path in front of PATH (see the header).
void ExtendSearchPath(KQ_TString const& path) {
  std::int32_t const separatorAt = LastSeparator(path);
  if (separatorAt <= 0) return;
  KQ_TString const directory = path.Substring(0, separatorAt);
  std::string const bytes = directory.ToUTF8(UTF8Rule::kBytes);
  char const separator = kq::sys::SearchPathSeparator();
  if (bytes.find(separator) != std::string::npos) return;
  char const* const current = getenv_utf8("PATH");
  if (current == nullptr) {
    putenv_utf8(("PATH=" + bytes).c_str());
  } else if (!Lists(current, directory, separator)) {
    putenv_utf8(("PATH=" + bytes + separator + current).c_str());
  }
}

// The module name that a file name gives (see operator=(KQ_TString)).
KQ_TString ModuleNameOf(KQ_TString const& path) {
  KQ_TString name = path.Substring(LastSeparator(path) + 1);
  if (name.Find("lib") == 0) name = name.Substring(3);
  std::int32_t const dot = name.Find('.');
  return dot >= 0 ? name.Substring(0, dot) : name;
}

}  // namespace

KQ_TDynamicObject::KQ_TDynamicObject() : fHandle(nullptr) {}

KQ_TDynamicObject::KQ_TDynamicObject(KQ_TString const& path, KQ_TString const& name)
    : fPath(path), fHandle(nullptr) {
  Load(name);
}

KQ_TDynamicObject::KQ_TDynamicObject(KQ_TURL const& url, KQ_TString const& name)
    : KQ_TDynamicObject(url.LocalName(), name) {}

KQ_TDynamicObject::KQ_TDynamicObject(KQ_TDynamicObject const& other) : KQ_TDynamicObject() {
  fPath = other.fPath;
  Retain(other);
}

KQ_TDynamicObject::~KQ_TDynamicObject() {
  if (fHandle == nullptr) return;
  std::string ignored;
  kq::sys::ReleaseModule(fHandle->module, ignored);
  delete fHandle;
}

KQ_TDynamicObject& KQ_TDynamicObject::operator=(KQ_TDynamicObject const& other) {
  if (this == &other) return *this;
  Unload();
  fPath = other.fPath;
  Retain(other);
  return *this;
}

KQ_TDynamicObject& KQ_TDynamicObject::operator=(KQ_TString const& path) {
  Unload();
  fPath = path;
  Load(ModuleNameOf(path));
  return *this;
}

void KQ_TDynamicObject::Load(KQ_TString const& name) {
  ExtendSearchPath(fPath);
  auto* const handle = new Handle{nullptr};
  std::string error;
  handle->module = kq::sys::LoadModule(fPath.ToUTF8(UTF8Rule::kBytes).c_str(), error);
  if (handle->module == nullptr) {
    delete handle;
    RaiseWithLoaderText<KQ_ECouldNotLoadDynamicObject>(error, KQ_TAny(fPath));
  }
  // Its classes may have registered: their records point into it.
  std::string ignored;
  if (kq::sys::ModuleSymbol(handle->module, kLibraryInitialization, ignored)) {
    kq::sys::KeepModuleResident(handle->module);
  }
  bool initialized = true;
  if (name.Length() != 0) {
    std::string const function = kInitializationPrefix + name.ToUTF8(UTF8Rule::kBytes) + "__";
    auto const initialize = reinterpret_cast<bool (*)()>(
        kq::sys::ModuleSymbol(handle->module, function.c_str(), ignored));
    try {
      initialized = initialize != nullptr && initialize();
    } catch (...) {
      kq::sys::ReleaseModule(handle->module, error);
      delete handle;
      throw;
    }
  }
  if (!initialized) {
    kq::sys::ReleaseModule(handle->module, error);
    delete handle;
    kq::sys::SetLastError(0);
    KQ_THROW(KQ_ECouldNotLoadDynamicObject(KQ_TString("Initialization Failed"), KQ_TAny(fPath)));
  }
  fHandle = handle;
}

void KQ_TDynamicObject::Retain(KQ_TDynamicObject const& other) {
  if (other.fHandle == nullptr) return;
  auto* const handle = new Handle{nullptr};
  std::string error;
  handle->module = kq::sys::RetainModule(other.fHandle->module, error);
  if (handle->module == nullptr) {
    delete handle;
    RaiseWithLoaderText<KQ_ECouldNotLoadDynamicObject>(error, KQ_TAny(fPath));
  }
  fHandle = handle;
}

void KQ_TDynamicObject::Unload() {
  if (fHandle == nullptr) return;
  std::string error;
  if (!kq::sys::ReleaseModule(fHandle->module, error)) {
    RaiseWithLoaderText<KQ_ECouldNotUnloadDynamicObject>(error, KQ_TAny(fPath));
  }
  delete fHandle;
  fHandle = nullptr;
}

void* KQ_TDynamicObject::operator[](KQ_TString const& symbol) const {
  if (fHandle == nullptr) {
    kq::sys::SetLastError(0);
    KQ_THROW(KQ_EDynamicObjectIsNotLoaded(KQ_TString(), KQ_TAny(symbol)));
  }
  std::string error;
  void* const address =
      kq::sys::ModuleSymbol(fHandle->module, symbol.ToUTF8(UTF8Rule::kBytes).c_str(), error);
  if (address == nullptr) {
    RaiseWithLoaderText<KQ_EDynamicObjectSymbolNotFound>(error, KQ_TAny(symbol));
  }
  return address;
}
