// The mount table of the local-name and volume tests: the machine's own
// table followed by data/mounts.txt, in a file of this test program that
// replaces the system's (KQ_MOUNT_TABLE) before the library first reads it.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace kqtest {

inline std::string ReadFile(std::string const& name) {
  std::ifstream file(name, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

inline std::string const& MountTableFile() {
  static std::string const name =
      (std::filesystem::temp_directory_path() / ("kq_mounts_" + std::to_string(getpid()))).string();
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
