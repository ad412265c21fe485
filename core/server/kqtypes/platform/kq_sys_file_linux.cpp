// Status, listings and copies on Linux: statx, which gives the birth time
// where the file system keeps one (fstatat where the kernel has no statx),
// and copy_file_range, which lets the file system share or copy the blocks
// itself (read and write where it cannot).
#include "kq_sys_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "kq_sys_errno_posix.h"

namespace kq::sys {

namespace {

// Bytes a copy moves per call.
constexpr std::size_t kCopyChunk = 1 << 20;
constexpr std::size_t kCopyBuffer = 64 * 1024;

// Set once the kernel turned statx down (too old, or a filter refuses it).
std::atomic<bool> gNoStatx{false};

FileTime TimeOf(struct statx_timestamp const& time) { return {time.tv_sec, time.tv_nsec}; }

FileTime TimeOf(timespec const& time) {
  return {time.tv_sec, static_cast<std::uint32_t>(time.tv_nsec)};
}

bool StatusAt(int directory, char const* name, bool followLinks, FileStatus* status) {
  int const flags = followLinks ? 0 : AT_SYMLINK_NOFOLLOW;
  if (!gNoStatx.load(std::memory_order_relaxed)) {
    struct statx s;
    if (statx(directory, name, flags | AT_NO_AUTOMOUNT, STATX_BASIC_STATS | STATX_BTIME, &s) == 0) {
      status->directory = S_ISDIR(s.stx_mode);
      status->size = s.stx_size;
      status->owner = s.stx_uid;
      status->access = TimeOf(s.stx_atime);
      status->modification = TimeOf(s.stx_mtime);
      status->creation = TimeOf((s.stx_mask & STATX_BTIME) != 0 ? s.stx_btime : s.stx_ctime);
      return true;
    }
    if (errno != ENOSYS && errno != EPERM) return false;
    gNoStatx.store(true, std::memory_order_relaxed);
  }
  struct stat s;
  if (fstatat(directory, name, &s, flags) != 0) return false;
  status->directory = S_ISDIR(s.st_mode);
  status->size = static_cast<std::uint64_t>(s.st_size);
  status->owner = s.st_uid;
  status->access = TimeOf(s.st_atim);
  status->modification = TimeOf(s.st_mtim);
  status->creation = TimeOf(s.st_ctim);
  return true;
}

struct DirectoryCloser {
  void operator()(DIR* directory) const {
    ErrnoKeeper const keeper;
    closedir(directory);
  }
};

// A descriptor closed with its owner, the pending error kept.
class Descriptor {
 public:
  explicit Descriptor(int descriptor) : fDescriptor(descriptor) {}
  Descriptor(Descriptor const&) = delete;
  Descriptor& operator=(Descriptor const&) = delete;
  ~Descriptor() {
    ErrnoKeeper const keeper;
    if (fDescriptor >= 0) close(fDescriptor);
  }
  int Get() const { return fDescriptor; }
  // Closes now; false when closing reports an error (the bytes written may
  // be lost).
  bool Close() { return close(std::exchange(fDescriptor, -1)) == 0; }

 private:
  int fDescriptor;
};

// Copies from the current offsets to the end of from.
bool CopyBytes(int from, int to) {
  bool copied = false;
  for (;;) {
    ssize_t const count = copy_file_range(from, nullptr, to, nullptr, kCopyChunk, 0);
    if (count > 0) {
      copied = true;
      continue;
    }
    // Files whose size the kernel does not know (those of /proc) give 0 at
    // once: read them instead.
    if (count == 0 && copied) return true;
    if (count < 0 && errno == EINTR) continue;
    if (count < 0 && errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP) {
      return false;
    }
    break;
  }
  std::unique_ptr<char[]> const buffer(new (std::nothrow) char[kCopyBuffer]);
  if (buffer == nullptr) {
    errno = ENOMEM;
    return false;
  }
  for (;;) {
    ssize_t const count = read(from, buffer.get(), kCopyBuffer);
    if (count == 0) return true;
    if (count < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    for (ssize_t done = 0; done < count;) {
      ssize_t const written =
          write(to, buffer.get() + done, static_cast<std::size_t>(count - done));
      if (written > 0) {
        done += written;
      } else if (written == 0 || errno != EINTR) {
        if (written == 0) errno = EIO;
        return false;
      }
    }
  }
}

}  // namespace

bool PathStatus(char const* path, bool followLinks, FileStatus* status) noexcept {
  return StatusAt(AT_FDCWD, path, followLinks, status);
}

bool ReadDirectory(char const* path, bool withStatus, DirectoryVisitor const& visit) {
  std::unique_ptr<DIR, DirectoryCloser> const directory(opendir(path));
  if (directory == nullptr) return false;
  int const descriptor = dirfd(directory.get());
  std::string name;
  FileStatus status;
  for (;;) {
    errno = 0;
    dirent const* const entry = readdir(directory.get());
    if (entry == nullptr) return errno == 0;
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    if (withStatus && !StatusAt(descriptor, entry->d_name, false, &status)) {
      if (errno == ENOENT) continue;
      return false;
    }
    name = entry->d_name;
    visit(name, withStatus ? &status : nullptr);
  }
}

bool CopyFile(char const* from, char const* to, bool failIfExists) noexcept {
  Descriptor const source(open(from, O_RDONLY | O_CLOEXEC));
  struct stat sourceStatus;
  if (source.Get() < 0 || fstat(source.Get(), &sourceStatus) != 0) return false;
  if (S_ISDIR(sourceStatus.st_mode)) {
    errno = EISDIR;
    return false;
  }
  mode_t const permissions = sourceStatus.st_mode & 0777;
  bool created = true;
  int descriptor = open(to, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, permissions);
  if (descriptor < 0) {
    if (errno != EEXIST || failIfExists) return false;
    created = false;
    descriptor = open(to, O_WRONLY | O_CLOEXEC);
  }
  Descriptor target(descriptor);
  if (target.Get() < 0) return false;
  if (!created) {
    struct stat targetStatus;
    if (fstat(target.Get(), &targetStatus) != 0) return false;
    // Emptying the source itself would lose it.
    if (targetStatus.st_dev == sourceStatus.st_dev && targetStatus.st_ino == sourceStatus.st_ino) {
      errno = EINVAL;
      return false;
    }
  }
  bool const copied =
      (created || ftruncate(target.Get(), 0) == 0) && CopyBytes(source.Get(), target.Get());
  if (copied) {
    // The permissions and times are the copy's finish; a target owned by
    // another user may refuse them and still holds the bytes.
    fchmod(target.Get(), permissions);
    timespec const times[2] = {sourceStatus.st_atim, sourceStatus.st_mtim};
    futimens(target.Get(), times);
  }
  if (copied && target.Close()) return true;
  if (created) {
    ErrnoKeeper const keeper;
    unlink(to);
  }
  return false;
}

}  // namespace kq::sys
