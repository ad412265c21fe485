#include "kq_sys_path.h"

#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace kq::sys {

bool CurrentDirectory(std::string* path) {
  std::vector<char> buffer(PATH_MAX);
  while (getcwd(buffer.data(), buffer.size()) == nullptr) {
    if (errno != ERANGE) return false;
    buffer.resize(buffer.size() * 2);
  }
  path->assign(buffer.data());
  return true;
}

bool RealPath(char const* path, std::string* resolved) {
  char* const result = realpath(path, nullptr);
  if (result == nullptr) return false;
  resolved->assign(result);
  free(result);
  return true;
}

}  // namespace kq::sys
