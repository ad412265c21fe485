// Modules on Linux: dlopen, dlsym and dlclose; a Module is the loader's
// handle.
//
// Libraries next to the module: the loader takes its search path from the
// environment once, when the program starts, so a directory cannot be added
// later. Before a module is loaded, the libraries it needs (its DT_NEEDED
// entries, read from the file) that lie in its own directory are therefore
// loaded first, by path, each after the ones it needs in turn; the loader
// then finds them loaded under their names when it binds the module. Once
// the module holds them they are released again, so they stay exactly as
// long as the module does.
#include "kq_sys_module.h"

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include "kq_sys_errno_posix.h"

namespace kq::sys {

namespace {

// Bounds on what is read from a file that may be anything.
constexpr std::size_t kLargestHeaderTable = 256;
constexpr std::size_t kLargestDynamicSection = 64 * 1024;
constexpr std::size_t kLargestStringTable = 1024 * 1024;
constexpr int kDeepestDependency = 8;

void* HandleOf(Module* module) { return static_cast<void*>(module); }

Module* ModuleOf(void* handle) { return static_cast<Module*>(handle); }

void TakeLoaderText(std::string& error) {
  char const* const text = dlerror();
  error = text != nullptr ? text : "";
}

class File {
 public:
  explicit File(char const* path) : fDescriptor(open(path, O_RDONLY | O_CLOEXEC)) {}
  ~File() {
    if (fDescriptor >= 0) close(fDescriptor);
  }
  File(File const&) = delete;
  File& operator=(File const&) = delete;

  // Exactly size bytes at offset, or false.
  bool ReadAt(void* buffer, std::size_t size, std::uint64_t offset) const {
    if (fDescriptor < 0) return false;
    auto* bytes = static_cast<unsigned char*>(buffer);
    while (size > 0) {
      ssize_t const got = pread(fDescriptor, bytes, size, static_cast<off_t>(offset));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return false;
      bytes += got;
      size -= static_cast<std::size_t>(got);
      offset += static_cast<std::uint64_t>(got);
    }
    return true;
  }

 private:
  int fDescriptor;
};

// The file offset of a virtual address, through the loadable segments.
bool FileOffsetOf(std::vector<ElfW(Phdr)> const& segments, ElfW(Addr) address,
                  std::uint64_t* offset) {
  for (ElfW(Phdr) const& segment : segments) {
    if (segment.p_type == PT_LOAD && address >= segment.p_vaddr &&
        address - segment.p_vaddr < segment.p_filesz) {
      *offset = segment.p_offset + (address - segment.p_vaddr);
      return true;
    }
  }
  return false;
}

// The names of the libraries an ELF file of this machine's kind needs;
// none for any other file.
std::vector<std::string> NeededLibraries(char const* path) {
  File const file(path);
  ElfW(Ehdr) header;
  if (!file.ReadAt(&header, sizeof header, 0) ||
      std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
      header.e_ident[EI_CLASS] != (sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32) ||
      header.e_phentsize != sizeof(ElfW(Phdr)) || header.e_phnum > kLargestHeaderTable) {
    return {};
  }
  std::vector<ElfW(Phdr)> segments(header.e_phnum);
  if (!file.ReadAt(segments.data(), segments.size() * sizeof(ElfW(Phdr)), header.e_phoff)) {
    return {};
  }
  std::vector<ElfW(Dyn)> dynamic;
  for (ElfW(Phdr) const& segment : segments) {
    if (segment.p_type != PT_DYNAMIC || segment.p_filesz > kLargestDynamicSection) continue;
    dynamic.resize(segment.p_filesz / sizeof(ElfW(Dyn)));
    if (!file.ReadAt(dynamic.data(), dynamic.size() * sizeof(ElfW(Dyn)), segment.p_offset)) {
      return {};
    }
  }
  ElfW(Addr) tableAddress = 0;
  std::uint64_t tableSize = 0;
  std::vector<std::uint64_t> neededAt;
  for (ElfW(Dyn) const& entry : dynamic) {
    if (entry.d_tag == DT_NULL) break;
    if (entry.d_tag == DT_STRTAB) tableAddress = entry.d_un.d_ptr;
    if (entry.d_tag == DT_STRSZ) tableSize = entry.d_un.d_val;
    if (entry.d_tag == DT_NEEDED) neededAt.push_back(entry.d_un.d_val);
  }
  std::uint64_t tableOffset = 0;
  if (neededAt.empty() || tableSize == 0 || tableSize > kLargestStringTable ||
      !FileOffsetOf(segments, tableAddress, &tableOffset)) {
    return {};
  }
  std::vector<char> table(tableSize);
  if (!file.ReadAt(table.data(), table.size(), tableOffset)) return {};
  std::vector<std::string> names;
  for (std::uint64_t at : neededAt) {
    if (at >= table.size()) continue;
    char const* const name = table.data() + at;
    std::size_t const length = strnlen(name, table.size() - at);
    if (at + length < table.size()) names.emplace_back(name, length);
  }
  return names;
}

bool IsLoaded(char const* name) {
  void* const handle = dlopen(name, RTLD_NOW | RTLD_NOLOAD);
  if (handle == nullptr) return false;
  dlclose(handle);
  return true;
}

// Loads the libraries in path's directory that path needs and that are not
// loaded yet, deepest first, adding their handles to loaded.
void LoadNeighbours(std::string const& path, int depth, std::vector<void*>& loaded) {
  std::size_t const slash = path.rfind('/');
  if (slash == std::string::npos || depth > kDeepestDependency) return;
  for (std::string const& name : NeededLibraries(path.c_str())) {
    if (name.find('/') != std::string::npos) continue;
    std::string const neighbour = path.substr(0, slash + 1) + name;
    if (access(neighbour.c_str(), F_OK) != 0 || IsLoaded(name.c_str()) ||
        IsLoaded(neighbour.c_str())) {
      continue;
    }
    LoadNeighbours(neighbour, depth + 1, loaded);
    if (void* const handle = dlopen(neighbour.c_str(), RTLD_NOW | RTLD_LOCAL)) {
      loaded.push_back(handle);
    }
  }
}

// The name under which the loader knows the module.
char const* LoadedName(Module* module) {
  link_map* map = nullptr;
  if (dlinfo(HandleOf(module), RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) return nullptr;
  return map->l_name;
}

}  // namespace

Module* LoadModule(char const* path, std::string& error) {
  ErrnoKeeper const keep;
  if (path[0] == '\0') {
    // The loader would take the empty name for the program itself.
    error = std::strerror(ENOENT);
    return nullptr;
  }
  std::vector<void*> neighbours;
  LoadNeighbours(path, 0, neighbours);
  void* const handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) TakeLoaderText(error);
  for (void* neighbour : neighbours) dlclose(neighbour);
  dlerror();
  return ModuleOf(handle);
}

Module* RetainModule(Module* module, std::string& error) {
  ErrnoKeeper const keep;
  char const* const name = LoadedName(module);
  void* const handle = name != nullptr ? dlopen(name, RTLD_NOW | RTLD_NOLOAD) : nullptr;
  if (handle == nullptr) TakeLoaderText(error);
  return ModuleOf(handle);
}

void* ModuleSymbol(Module* module, char const* name, std::string& error) {
  ErrnoKeeper const keep;
  dlerror();
  void* const address = dlsym(HandleOf(module), name);
  if (address == nullptr) TakeLoaderText(error);
  return address;
}

void KeepModuleResident(Module* module) {
  ErrnoKeeper const keep;
  char const* const name = LoadedName(module);
  if (name == nullptr) return;
  // Opening the loaded module again with RTLD_NODELETE marks it for good.
  if (void* const handle = dlopen(name, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE)) dlclose(handle);
}

bool ReleaseModule(Module* module, std::string& error) {
  ErrnoKeeper const keep;
  if (dlclose(HandleOf(module)) == 0) return true;
  TakeLoaderText(error);
  return false;
}

char SearchPathSeparator() { return ':'; }

}  // namespace kq::sys
