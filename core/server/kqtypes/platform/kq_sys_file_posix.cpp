// Streams, names and tree removal on POSIX systems. Streams are the C
// library's, opened with the "e" flag (close-on-exec) and positioned with
// the 64-bit fseeko and ftello.
#include "kq_sys_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "kq_sys_errno_posix.h"

namespace kq::sys {

namespace {

// fopen's mode texts by StreamMode, binary and text; "e" asks for
// close-on-exec.
constexpr char const* kModeTexts[4][2] = {
    {"rbe", "re"}, {"wbe", "we"}, {"r+be", "r+e"}, {"a+be", "a+e"}};

constexpr std::uint64_t kLargestOffset = INT64_MAX;

// The stream, unless it turned out to be a directory.
std::FILE* NoDirectory(std::FILE* stream) {
  struct stat status;
  if (stream != nullptr && fstat(fileno(stream), &status) == 0 && S_ISDIR(status.st_mode)) {
    std::fclose(stream);
    errno = EISDIR;
    return nullptr;
  }
  return stream;
}

// Opens path for reading and writing, creating it when missing. Unlike
// fopen's "w+" this never empties a file that another process made
// meanwhile.
std::FILE* CreateForUpdate(char const* path, bool text) {
  int const descriptor = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (descriptor < 0) return nullptr;
  std::FILE* const stream = fdopen(descriptor, text ? "r+" : "r+b");
  if (stream == nullptr) {
    ErrnoKeeper const keeper;
    close(descriptor);
  }
  return stream;
}

// One directory of a tree being removed: its descriptor (opened without
// following a link, and closed with the level), its entries with whether
// each is a directory, and the next entry to remove.
struct Level {
  Level() = default;
  Level(Level&& other) noexcept
      : descriptor(std::exchange(other.descriptor, -1)),
        path(std::move(other.path)),
        entries(std::move(other.entries)),
        next(other.next) {}
  Level& operator=(Level&&) = delete;
  ~Level() {
    ErrnoKeeper const keeper;
    if (descriptor >= 0) close(descriptor);
  }

  int descriptor = -1;
  std::string path;
  std::vector<std::pair<std::string, bool>> entries;
  std::size_t next = 0;
};

// Reads the entries of the level's directory; false with the error pending.
bool ReadLevel(Level* level) {
  int const copy = fcntl(level->descriptor, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return false;
  DIR* const directory = fdopendir(copy);
  if (directory == nullptr) {
    ErrnoKeeper const keeper;
    close(copy);
    return false;
  }
  bool read = true;
  for (;;) {
    errno = 0;
    dirent const* const entry = readdir(directory);
    if (entry == nullptr) {
      read = errno == 0;
      break;
    }
    char const* const name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    bool isDirectory = entry->d_type == DT_DIR;
    if (entry->d_type == DT_UNKNOWN) {
      struct stat status;
      isDirectory = fstatat(level->descriptor, name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
                    S_ISDIR(status.st_mode);
    }
    level->entries.emplace_back(name, isDirectory);
  }
  ErrnoKeeper const keeper;
  closedir(directory);
  return read;
}

}  // namespace

std::FILE* OpenStream(char const* path, StreamMode mode, bool text, std::FILE* reuse) noexcept {
  char const* const modeText = kModeTexts[static_cast<int>(mode)][text ? 1 : 0];
  std::FILE* stream =
      reuse != nullptr ? std::freopen(path, modeText, reuse) : std::fopen(path, modeText);
  if (stream == nullptr && mode == StreamMode::kUpdate && errno == ENOENT) {
    stream = CreateForUpdate(path, text);
  }
  return NoDirectory(stream);
}

bool UsableName(char const* name, std::size_t size) noexcept {
  if (std::memchr(name, '\0', size) != nullptr) {
    errno = EINVAL;
    return false;
  }
  if (size > 2 && name[0] == '/' && name[1] == '/' && name[2] != '/') {
    errno = EREMOTE;
    return false;
  }
  return true;
}

bool StreamPosition(std::FILE* stream, std::uint64_t* position) noexcept {
  off_t const offset = ftello(stream);
  if (offset < 0) return false;
  *position = static_cast<std::uint64_t>(offset);
  return true;
}

bool SeekStream(std::FILE* stream, std::uint64_t position) noexcept {
  if (position > kLargestOffset) {
    errno = EOVERFLOW;
    return false;
  }
  return fseeko(stream, static_cast<off_t>(position), SEEK_SET) == 0;
}

bool SkipInStream(std::FILE* stream, std::uint64_t count) noexcept {
  if (count > kLargestOffset) {
    errno = EOVERFLOW;
    return false;
  }
  return fseeko(stream, static_cast<off_t>(count), SEEK_CUR) == 0;
}

bool TruncateStream(std::FILE* stream, std::uint64_t length) noexcept {
  if (length > kLargestOffset) {
    errno = EFBIG;
    return false;
  }
  return ftruncate(fileno(stream), static_cast<off_t>(length)) == 0;
}

int StreamDescriptor(std::FILE* stream) noexcept { return fileno(stream); }

bool PathExists(char const* path) noexcept {
  ErrnoKeeper const keeper;
  struct stat status;
  return fstatat(AT_FDCWD, path, &status, AT_SYMLINK_NOFOLLOW) == 0;
}

bool RemoveFile(char const* path) noexcept { return unlink(path) == 0; }

bool RenamePath(char const* from, char const* to) noexcept { return std::rename(from, to) == 0; }

bool MakeDirectory(char const* path) noexcept { return mkdir(path, 0777) == 0; }

TreeRemoval RemoveTree(char const* path, std::string* unlisted) {
  unlisted->clear();
  struct stat status;
  if (fstatat(AT_FDCWD, path, &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(status.st_mode)) {
    return unlink(path) == 0 ? TreeRemoval::kRemoved : TreeRemoval::kNotRemoved;
  }
  std::vector<Level> levels(1);
  levels[0].descriptor = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (levels[0].descriptor < 0 || !ReadLevel(&levels[0])) return TreeRemoval::kNotListed;
  while (!levels.empty()) {
    Level& level = levels.back();
    if (level.next == level.entries.size()) {
      levels.pop_back();
      if (!levels.empty()) {
        Level const& parent = levels.back();
        unlinkat(parent.descriptor, parent.entries[parent.next - 1].first.c_str(), AT_REMOVEDIR);
      }
      continue;
    }
    auto const& [name, isDirectory] = level.entries[level.next++];
    if (!isDirectory) {
      unlinkat(level.descriptor, name.c_str(), 0);
      continue;
    }
    Level child;
    child.path = level.path.empty() ? name : level.path + "/" + name;
    child.descriptor =
        openat(level.descriptor, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (child.descriptor < 0 || !ReadLevel(&child)) {
      ErrnoKeeper const keeper;
      *unlisted = child.path;
      return TreeRemoval::kNotListed;
    }
    levels.push_back(std::move(child));
  }
  return rmdir(path) == 0 ? TreeRemoval::kRemoved : TreeRemoval::kNotRemoved;
}

}  // namespace kq::sys
