// Reads a text configuration file into a tree and looks values up by path.
//
//   config_tree [FILE]      (default: server.conf beside this example)
//
// The file is in the library's text format: a KQ_TTree whose values are
// numbers, strings, TRUE/FALSE or further trees. Values are addressed by
// paths such as "server/port".
#include <fstream>
#include <iostream>

#include "kq_eexception.h"
#include "kq_initialization.h"
#include "kq_tany.h"
#include "kq_tcxxstream.h"
#include "kq_thumanreadablestream.h"
#include "kq_ttree.h"

int main(int argc, char** argv) {
  char const* path = argc > 1 ? argv[1] : KQ_EXAMPLES_DIR "/server.conf";
  if (!__KQ_INITIALIZATION_FUNCTION_kqtypes__()) return 1;
  try {
    std::ifstream file(path);
    if (!file) {
      std::cerr << "config_tree: cannot open " << path << '\n';
      return 1;
    }
    // The human-readable stream parses text from any stream.
    KQ_TCxxStream in(file);
    KQ_THumanReadableStream text(in);
    KQ_TTree config;
    text >> config;

    // Paths walk through the subtrees; a missing component raises
    // KQ_ENoMatchingTreeKey, so optional settings are asked with HasKey.
    std::int32_t const port = config("server/port", '/');
    std::cout << "listen on " << config("server/host", '/') << ':' << port << " with "
              << config("server/threads", '/') << " threads\n";
    std::cout << "log to " << config("log/file", '/') << " at level " << config("log/level", '/')
              << '\n';
    if (config.HasKey("cache/enabled", '/') && static_cast<bool>(config("cache/enabled", '/'))) {
      std::cout << "cache on, ratio " << static_cast<double>(config("cache/ratio", '/')) << '\n';
    }
    std::cout << "timeout: "
              << (config.HasKey("server/timeout", '/')
                      ? static_cast<std::int32_t>(config("server/timeout", '/'))
                      : 30)
              << " s (default 30)\n";
  } catch (KQ_EException const& e) {
    // A syntax error names its line (counted from 0) in its message.
    e.PrintOn(std::cerr);
    return 1;
  }
  return 0;
}
