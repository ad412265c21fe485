// The platform layer under the exceptions (last error, error texts, the
// executable's path, call stacks) and the companion UTF-8 environment and
// file-system calls.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "pathbridge.h"
#include "platform/kq_sys_error.h"
#include "platform/kq_sys_stack.h"

namespace {

using kq::sys::StackFrame;

bool EndsWith(std::string const& text, std::string const& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::string Describe(std::vector<StackFrame> const& frames) {
  std::string text;
  for (StackFrame const& frame : frames) {
    text += frame.function + " | " + frame.file + ":" + std::to_string(frame.line) + " | " +
            frame.module + "\n";
  }
  return text;
}

// Stores that keep the helpers below from ending in a tail call, which would
// drop their frames, and that put a statement on the line after each call.
// Atomic because several threads capture at once.
std::atomic<std::size_t> gSink{0};
std::atomic<int> gInnerLine{0};
std::atomic<int> gOuterLine{0};

__attribute__((noinline)) std::vector<StackFrame> CaptureInner(unsigned skipFrames) {
  gInnerLine = __LINE__ + 1;
  std::vector<StackFrame> frames = kq::sys::CaptureStack(skipFrames);
  gSink = frames.size();
  return frames;
}

__attribute__((noinline)) std::vector<StackFrame> CaptureOuter(unsigned skipFrames) {
  gOuterLine = __LINE__ + 1;
  std::vector<StackFrame> frames = CaptureInner(skipFrames);
  gSink = frames.size() + 1;
  return frames;
}

__attribute__((noinline)) std::vector<StackFrame> CaptureRecursively(int depth) {
  if (depth == 0) return kq::sys::CaptureStack(0);
  std::vector<StackFrame> frames = CaptureRecursively(depth - 1);
  gSink = frames.size() + static_cast<std::size_t>(depth);
  return frames;
}

}  // namespace

namespace stacktest {

struct Probe {
  std::vector<StackFrame> Capture(int depth, char const* tag) const;
};

__attribute__((noinline)) std::vector<StackFrame> Probe::Capture(int depth, char const* tag) const {
  std::vector<StackFrame> frames = kq::sys::CaptureStack(0);
  gSink = frames.size() + static_cast<std::size_t>(depth) + std::strlen(tag);
  return frames;
}

}  // namespace stacktest

TEST(SysError, LastErrorFollowsAFailingCallAndResets) {
  kq::sys::SetLastError(0);
  EXPECT_EQ(kq::sys::LastError(), 0u);
  std::FILE* const missing = std::fopen("/kq-no-such-directory/missing.txt", "r");
  ASSERT_EQ(missing, nullptr);
  std::uint32_t const code = kq::sys::LastError();
  EXPECT_EQ(code, 2u);
  char text[256];
  ASSERT_TRUE(kq::sys::ErrorText(code, text, sizeof text));
  EXPECT_STREQ(text, "No such file or directory");
  // Reading the text leaves the pending error alone; only a reset clears it.
  EXPECT_EQ(kq::sys::LastError(), 2u);
  kq::sys::SetLastError(0);
  EXPECT_EQ(kq::sys::LastError(), 0u);
  kq::sys::SetLastError(13);
  EXPECT_EQ(kq::sys::LastError(), 13u);
  kq::sys::SetLastError(0);
}

TEST(SysError, ErrorTextStaysWithinTheBuffer) {
  char area[16];
  std::memset(area, 'X', sizeof area);
  ASSERT_TRUE(kq::sys::ErrorText(2, area, 5));
  EXPECT_STREQ(area, "No s");
  EXPECT_EQ(area[5], 'X');

  std::memset(area, 'X', sizeof area);
  ASSERT_TRUE(kq::sys::ErrorText(2, area, 1));
  EXPECT_EQ(area[0], '\0');
  EXPECT_EQ(area[1], 'X');

  std::memset(area, 'X', sizeof area);
  EXPECT_FALSE(kq::sys::ErrorText(2, area, 0));
  EXPECT_EQ(area[0], 'X');
  EXPECT_FALSE(kq::sys::ErrorText(2, nullptr, 16));

  // A code the system does not know still gets a text naming it.
  char text[256];
  ASSERT_TRUE(kq::sys::ErrorText(987654, text, sizeof text));
  EXPECT_NE(std::string(text).find("987654"), std::string::npos) << text;
  std::memset(area, 'X', sizeof area);
  ASSERT_TRUE(kq::sys::ErrorText(987654, area, 8));
  EXPECT_EQ(std::strlen(area), 7u);
  EXPECT_EQ(area[8], 'X');

  kq::sys::SetLastError(5);
  ASSERT_TRUE(kq::sys::ErrorText(2, text, sizeof text));
  EXPECT_EQ(kq::sys::LastError(), 5u);
  kq::sys::SetLastError(0);
}

TEST(SysError, ExecutablePathNamesThisProgram) {
  char path[4096];
  ASSERT_TRUE(kq::sys::ExecutablePath(path, sizeof path));
  std::filesystem::path const program(path);
  EXPECT_TRUE(program.is_absolute()) << path;
  EXPECT_EQ(program.filename(), "platform_test");
  EXPECT_TRUE(std::filesystem::is_regular_file(program));

  // Too small a buffer gives no path rather than part of one.
  char tiny[8];
  std::memset(tiny, 'X', sizeof tiny);
  EXPECT_FALSE(kq::sys::ExecutablePath(tiny, sizeof tiny));
  EXPECT_EQ(tiny[0], '\0');
  EXPECT_FALSE(kq::sys::ExecutablePath(tiny, 0));
  EXPECT_FALSE(kq::sys::ExecutablePath(nullptr, 64));
}

TEST(SysStack, FramesNameTheCallersWithTheirSourceLines) {
  std::vector<StackFrame> const frames = CaptureOuter(0);
  ASSERT_GE(frames.size(), 3u) << Describe(frames);
  EXPECT_NE(frames[0].function.find("CaptureInner"), std::string::npos) << Describe(frames);
  EXPECT_TRUE(EndsWith(frames[0].file, "platform_test.cpp")) << Describe(frames);
  EXPECT_EQ(frames[0].line, static_cast<std::uint32_t>(gInnerLine.load())) << Describe(frames);
  EXPECT_NE(frames[1].function.find("CaptureOuter"), std::string::npos) << Describe(frames);
  EXPECT_TRUE(EndsWith(frames[1].file, "platform_test.cpp")) << Describe(frames);
  EXPECT_EQ(frames[1].line, static_cast<std::uint32_t>(gOuterLine.load())) << Describe(frames);
  EXPECT_NE(frames[2].function.find("FramesNameTheCallersWithTheirSourceLines"), std::string::npos)
      << Describe(frames);

  EXPECT_TRUE(EndsWith(frames[0].module, "platform_test")) << Describe(frames);

  bool reachedMain = false;
  for (StackFrame const& frame : frames) {
    EXPECT_EQ(frame.function.find("CaptureStack"), std::string::npos) << Describe(frames);
    EXPECT_EQ(frame.line == 0, frame.file.empty()) << Describe(frames);
    reachedMain = reachedMain || frame.function == "main";
    // The start-up code has no debug information; it must not borrow the
    // line of a neighbouring function.
    if (frame.function == "_start") {
      EXPECT_EQ(frame.file, "") << Describe(frames);
    }
  }
  EXPECT_TRUE(reachedMain) << Describe(frames);
}

TEST(SysStack, SkippedFramesStartTheStackFurtherOut) {
  std::vector<StackFrame> const full = CaptureOuter(0);
  std::vector<StackFrame> const skipped = CaptureOuter(1);
  ASSERT_GE(skipped.size(), 2u) << Describe(skipped);
  EXPECT_EQ(skipped.size() + 1, full.size()) << Describe(full) << Describe(skipped);
  EXPECT_NE(skipped[0].function.find("CaptureOuter"), std::string::npos) << Describe(skipped);
  EXPECT_EQ(skipped[0].line, static_cast<std::uint32_t>(gOuterLine.load()));
  EXPECT_TRUE(CaptureOuter(1000000).empty());
  EXPECT_TRUE(CaptureOuter(~0u).empty());
}

TEST(SysStack, NamesAreDemangled) {
  std::vector<StackFrame> const frames = stacktest::Probe().Capture(3, "tag");
  ASSERT_FALSE(frames.empty());
  EXPECT_EQ(frames[0].function, "stacktest::Probe::Capture(int, char const*) const")
      << Describe(frames);
}

TEST(SysStack, DeepStacksAreCutAt256Frames) {
  std::vector<StackFrame> const frames = CaptureRecursively(300);
  ASSERT_EQ(frames.size(), 256u);
  for (StackFrame const& frame : frames) {
    EXPECT_NE(frame.function.find("CaptureRecursively"), std::string::npos) << frame.function;
  }
}

TEST(SysStack, CaptureKeepsThePendingError) {
  kq::sys::SetLastError(2);
  std::vector<StackFrame> const frames = CaptureOuter(0);
  EXPECT_FALSE(frames.empty());
  EXPECT_EQ(kq::sys::LastError(), 2u);
  kq::sys::SetLastError(0);
}

TEST(SysStack, ThreadsCaptureAtTheSameTime) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 25;
  std::vector<int> good(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &good] {
      for (int round = 0; round < kRounds; ++round) {
        std::vector<StackFrame> const frames = CaptureInner(0);
        if (!frames.empty() && frames[0].function.find("CaptureInner") != std::string::npos &&
            EndsWith(frames[0].file, "platform_test.cpp") && frames[0].line != 0) {
          ++good[t];
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(good[t], kRounds) << "thread " << t;
}

namespace {

// A fresh directory under the system's temporary directory, with a name that
// needs more than ASCII, removed with everything in it at the end.
class ScratchDirectory {
 public:
  ScratchDirectory() {
    std::random_device random;
    fPath = std::filesystem::temp_directory_path() /
            std::filesystem::u8path("kq_platform_test_\xC3\xA4\xE6\xB5\x8B_" +
                                    std::to_string(random()));
    std::filesystem::create_directory(fPath);
  }
  ~ScratchDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(fPath, ignored);
  }
  std::filesystem::path const& Path() const { return fPath; }
  // The UTF-8 name of an entry below the directory.
  std::string Child(char const* name) const {
    return (fPath / std::filesystem::u8path(name)).u8string();
  }

 private:
  std::filesystem::path fPath;
};

void WriteFile(std::string const& path, std::size_t size) {
  std::ofstream out(std::filesystem::u8path(path), std::ios::binary);
  out << std::string(size, 'k');
}

}  // namespace

TEST(PathBridge, EnvironmentIsReadAndSetInUtf8) {
  EXPECT_EQ(getenv_utf8("KQ_PLATFORM_TEST_SURELY_UNSET"), nullptr);
  EXPECT_EQ(getenv_utf8(nullptr), nullptr);

  // The assignment is copied: the caller's text may change right after.
  std::string assignment =
      "KQ_PLATFORM_TEST_VALUE=Gr\xC3\xBC\xC3\x9F\x65 \xE2\x82\xAC \xF0\x9F\x98\x80";
  ASSERT_EQ(putenv_utf8(assignment.c_str()), 0);
  assignment.assign(assignment.size(), '?');
  char const* value = getenv_utf8("KQ_PLATFORM_TEST_VALUE");
  ASSERT_NE(value, nullptr);
  EXPECT_STREQ(value, "Gr\xC3\xBC\xC3\x9F\x65 \xE2\x82\xAC \xF0\x9F\x98\x80");

  ASSERT_EQ(putenv_utf8("KQ_PLATFORM_TEST_VALUE=second"), 0);
  value = getenv_utf8("KQ_PLATFORM_TEST_VALUE");
  ASSERT_NE(value, nullptr);
  EXPECT_STREQ(value, "second");

  ASSERT_EQ(putenv_utf8("KQ_PLATFORM_TEST_VALUE="), 0);
  value = getenv_utf8("KQ_PLATFORM_TEST_VALUE");
  ASSERT_NE(value, nullptr);
  EXPECT_STREQ(value, "");

  EXPECT_NE(putenv_utf8(nullptr), 0);
  EXPECT_NE(putenv_utf8("KQ_PLATFORM_TEST_NO_EQUALS"), 0);
  EXPECT_NE(putenv_utf8("=no name"), 0);
  EXPECT_EQ(getenv_utf8("KQ_PLATFORM_TEST_NO_EQUALS"), nullptr);
}

TEST(PathBridge, StatDescribesDirectoriesAndFiles) {
  ScratchDirectory scratch;
  std::time_t const before = std::time(nullptr);
  std::string const file = scratch.Child("d\xC3\xA9j\xC3\xA0.bin");
  WriteFile(file, 1234);
  std::time_t const after = std::time(nullptr);

  PathBridgeStat status;
  ASSERT_EQ(stat32_utf8(scratch.Path().u8string().c_str(), &status), 0);
  EXPECT_NE(status.mode & 0x4000u, 0u);

  std::memset(&status, 0, sizeof status);
  ASSERT_EQ(stat32_utf8(file.c_str(), &status), 0);
  EXPECT_EQ(status.mode & 0x4000u, 0u);
  EXPECT_NE(status.mode & 0x8000u, 0u);
  EXPECT_EQ(status.size, 1234u);
  for (std::int64_t const time : {status.accessTime, status.modificationTime, status.changeTime}) {
    EXPECT_GE(time, static_cast<std::int64_t>(before) - 2);
    EXPECT_LE(time, static_cast<std::int64_t>(after) + 2);
  }

  EXPECT_NE(stat32_utf8(scratch.Child("missing").c_str(), &status), 0);
  EXPECT_NE(stat32_utf8(nullptr, &status), 0);
  EXPECT_NE(stat32_utf8(file.c_str(), nullptr), 0);
}

TEST(PathBridge, FstatGivesTheSizeOfAnOpenFile) {
  ScratchDirectory scratch;
  std::string const file = scratch.Child("open.bin");
  WriteFile(file, 777);
  std::FILE* const stream = std::fopen(file.c_str(), "rb");
  ASSERT_NE(stream, nullptr);
  PathBridgeStat status;
  std::memset(&status, 0, sizeof status);
  EXPECT_EQ(fstat32_utf8(fileno(stream), &status), 0);
  EXPECT_EQ(status.size, 777u);
  EXPECT_EQ(status.mode & 0x4000u, 0u);
  EXPECT_NE(fstat32_utf8(fileno(stream), nullptr), 0);
  std::fclose(stream);
  EXPECT_NE(fstat32_utf8(-1, &status), 0);
}

TEST(PathBridge, RmdirRemovesOnlyEmptyDirectories) {
  ScratchDirectory scratch;
  std::string const empty = scratch.Child("leer \xE2\x88\x85");
  std::string const full = scratch.Child("full");
  std::filesystem::create_directory(std::filesystem::u8path(empty));
  std::filesystem::create_directory(std::filesystem::u8path(full));
  WriteFile(full + "/inside.txt", 3);

  EXPECT_EQ(rmdir_utf8(empty.c_str()), 0);
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::u8path(empty)));
  EXPECT_NE(rmdir_utf8(empty.c_str()), 0);
  EXPECT_NE(rmdir_utf8(full.c_str()), 0);
  EXPECT_TRUE(std::filesystem::exists(std::filesystem::u8path(full)));
  EXPECT_NE(rmdir_utf8((full + "/inside.txt").c_str()), 0);
  EXPECT_TRUE(std::filesystem::exists(std::filesystem::u8path(full + "/inside.txt")));
  EXPECT_NE(rmdir_utf8(nullptr), 0);
}
