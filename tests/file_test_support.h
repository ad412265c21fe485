// Scaffolding of the file and file-information tests: a scratch directory,
// files written and read with the standard library, the exception a call
// raises, and checks run in a child process.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "kq_eexception.h"
#include "kq_tstring.h"

namespace kqtest {

namespace fs = std::filesystem;

inline KQ_TString Name(std::string const& bytes) {
  return KQ_TString::FromUTF8(bytes.data(), static_cast<std::uint32_t>(bytes.size()),
                              KQ_TString::UTF8Rule::kBytes);
}

inline std::string Bytes(KQ_TString const& text) {
  return text.ToUTF8(KQ_TString::UTF8Rule::kBytes);
}

inline void WriteFile(std::string const& path, std::string const& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

inline std::string ReadFile(std::string const& path) {
  std::ostringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

// What call raises as what() gives it ("Class: message"), and its value
// into value; empty when it raises nothing.
inline std::string Raised(std::function<void()> const& call, KQ_TAny* value = nullptr) {
  try {
    call();
  } catch (KQ_EException const& e) {
    if (value != nullptr) *value = e.KQ_Data();
    return e.what();
  }
  return "";
}

// A fresh directory for each test, removed with everything in it.
class ScratchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "kq_file_XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    fDirectory = pattern;
  }
  void TearDown() override { fs::remove_all(fDirectory); }
  std::string Path(std::string const& name) const { return fDirectory + "/" + name; }
  KQ_TString At(std::string const& name) const { return Name(Path(name)); }

  std::string fDirectory;
};

// The exit status of a child process that runs check: 0 when it returns
// true. As root with asNobody set, the child runs as the user "nobody"
// (status 77 when it cannot).
inline int InChild(std::function<bool()> const& check, bool asNobody = false) {
  pid_t const child = fork();
  if (child == 0) {
    if (asNobody && geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(77);
    bool passed = false;
    try {
      passed = check();
    } catch (...) {
    }
    _exit(passed ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace kqtest
