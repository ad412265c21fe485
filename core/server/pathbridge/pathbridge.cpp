#include "pathbridge.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace {

void Fill(struct stat const& s, PathBridgeStat* status) {
  status->mode = static_cast<std::uint32_t>(s.st_mode);
  status->size = static_cast<std::uint64_t>(s.st_size);
  status->accessTime = static_cast<std::int64_t>(s.st_atime);
  status->modificationTime = static_cast<std::int64_t>(s.st_mtime);
  status->changeTime = static_cast<std::int64_t>(s.st_ctime);
}

}  // namespace

char const* getenv_utf8(char const* name) { return name == nullptr ? nullptr : std::getenv(name); }

int putenv_utf8(char const* assignment) {
  if (assignment == nullptr) return -1;
  char const* equals = std::strchr(assignment, '=');
  if (equals == nullptr || equals == assignment) return -1;
  // setenv copies both parts, so the caller's text need not outlive the call
  // (putenv would keep the caller's pointer).
  std::size_t const nameLength = static_cast<std::size_t>(equals - assignment);
  char* name = static_cast<char*>(std::malloc(nameLength + 1));
  if (name == nullptr) return -1;
  std::memcpy(name, assignment, nameLength);
  name[nameLength] = '\0';
  int const result = ::setenv(name, equals + 1, 1);
  std::free(name);
  return result;
}

int stat32_utf8(char const* path, PathBridgeStat* status) {
  struct stat s;
  if (path == nullptr || status == nullptr || ::stat(path, &s) != 0) return -1;
  Fill(s, status);
  return 0;
}

int fstat32_utf8(int descriptor, PathBridgeStat* status) {
  struct stat s;
  if (status == nullptr || ::fstat(descriptor, &s) != 0) return -1;
  Fill(s, status);
  return 0;
}

int rmdir_utf8(char const* path) { return path == nullptr ? -1 : ::rmdir(path); }
