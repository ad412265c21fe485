#include "kq_sys_volume.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "kq_sys_path.h"

namespace kq::sys {

namespace {

// The whole of a file that may report no size (the files of /proc and
// /sys); false when it cannot be opened or read.
bool ReadWholeFile(char const* name, std::string* text) {
  int const fd = open(name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  text->clear();
  char buffer[4096];
  for (;;) {
    ssize_t const got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      int const saved = errno;
      close(fd);
      errno = saved;
      return got == 0;
    }
    text->append(buffer, static_cast<std::size_t>(got));
  }
}

bool IsFlagSet(std::string const& directory) {
  std::string flag;
  return ReadWholeFile((directory + "/removable").c_str(), &flag) && !flag.empty() &&
         flag[0] == '1';
}

// The last component of a path.
std::string BaseName(std::string const& path) {
  std::size_t const slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The device manager writes bytes outside letters and digits as \xNN.
std::string UnescapeLabel(std::string const& name) {
  std::string label;
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (name[i] == '\\' && i + 3 < name.size() && name[i + 1] == 'x') {
      char const hex[3] = {name[i + 2], name[i + 3], '\0'};
      char* end = nullptr;
      long const value = std::strtol(hex, &end, 16);
      if (end == hex + 2) {
        label.push_back(static_cast<char>(value));
        i += 3;
        continue;
      }
    }
    label.push_back(name[i]);
  }
  return label;
}

}  // namespace

bool ReadMountTable(std::string* text) {
  static std::string const name = [] {
    char const* replaced = std::getenv("KQ_MOUNT_TABLE");
    return std::string(replaced != nullptr && *replaced != '\0' ? replaced : "/proc/self/mounts");
  }();
  return ReadWholeFile(name.c_str(), text);
}

bool FileSystemStatistics(char const* path, FileSystemStats* stats) noexcept {
  struct statfs figures;
  int result;
  do {
    result = statfs(path, &figures);
  } while (result != 0 && errno == EINTR);
  if (result != 0) return false;
  auto const unit =
      static_cast<std::uint64_t>(figures.f_frsize != 0 ? figures.f_frsize : figures.f_bsize);
  stats->totalBytes = static_cast<std::uint64_t>(figures.f_blocks) * unit;
  stats->availableBytes = static_cast<std::uint64_t>(figures.f_bavail) * unit;
  int halves[2];
  static_assert(sizeof halves == sizeof figures.f_fsid);
  std::memcpy(halves, &figures.f_fsid, sizeof halves);
  stats->id = (std::uint64_t{static_cast<std::uint32_t>(halves[1])} << 32) |
              static_cast<std::uint32_t>(halves[0]);
  return true;
}

bool IsRemovableDevice(char const* device) noexcept {
  try {
    std::string node;
    if (!RealPath(device, &node) || node.compare(0, 5, "/dev/") != 0) return false;
    // /sys/class/block/NAME leads to the device, and a partition's
    // directory lies inside its disk's.
    std::string directory;
    if (!RealPath(("/sys/class/block/" + BaseName(node)).c_str(), &directory)) return false;
    if (IsFlagSet(directory)) return true;
    std::string partition;
    return ReadWholeFile((directory + "/partition").c_str(), &partition) &&
           IsFlagSet(directory.substr(0, directory.rfind('/')));
  } catch (...) {
    return false;
  }
}

bool DeviceLabel(char const* device, std::string* label) {
  static char const kLabels[] = "/dev/disk/by-label";
  std::string node;
  if (!RealPath(device, &node)) return false;
  DIR* const directory = opendir(kLabels);
  if (directory == nullptr) return false;
  bool found = false;
  while (dirent const* entry = readdir(directory)) {
    if (entry->d_name[0] == '.') continue;
    std::string target;
    if (RealPath((std::string(kLabels) + "/" + entry->d_name).c_str(), &target) && target == node) {
      *label = UnescapeLabel(entry->d_name);
      found = true;
      break;
    }
  }
  closedir(directory);
  return found;
}

}  // namespace kq::sys
