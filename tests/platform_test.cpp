// The platform layer: last error, error texts, executable path, stacks, UTF-8 calls.

#include "pathbridge.h"
#include "platform/kq_sys_error.h"
#include "platform/kq_sys_stack.h"
#include "test_support.h"

namespace {

using kq::sys::StackFrame;
namespace fs = std::filesystem;

std::string Describe(std::vector<StackFrame> const& frames) {
  std::string text;
  for (StackFrame const& frame : frames)
    text += frame.function + " | " + frame.file + ":" + std::to_string(frame.line) + " | " +
            frame.module + "\n";
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

TEST(SysStack, FramesNameTheCallersDemangledWithTheirSourceLinesFromTheSkippedOnesOnAnyThread) {
  std::vector<StackFrame> const frames = CaptureOuter(0);
  std::string const all = Describe(frames);
  ASSERT_GE(frames.size(), 3u) << all;
  SCOPED_TRACE(all);
  for (int i : {0, 1}) {
    EXPECT_NE(frames[i].function.find(i == 0 ? "CaptureInner" : "CaptureOuter"), std::string::npos);
    EXPECT_TRUE(fs::path(frames[i].file).filename() == "platform_test.cpp" &&
                fs::path(frames[i].module).filename() == "platform_test");
    EXPECT_EQ(frames[i].line,
              static_cast<std::uint32_t>((i == 0 ? gInnerLine : gOuterLine).load()));
  }
  EXPECT_NE(frames[2].function.find("FramesNameTheCallers"), std::string::npos) << all;
  bool reachedMain = false;
  for (StackFrame const& frame : frames) {
    EXPECT_EQ(frame.function.find("CaptureStack"), std::string::npos) << all;
    EXPECT_EQ(frame.line == 0, frame.file.empty()) << all;
    reachedMain = reachedMain || frame.function == "main";
    // The start-up code has no debug information; it must not borrow the
    // line of a neighbouring function.
    EXPECT_TRUE(frame.function != "_start" || frame.file.empty()) << all;
  }
  EXPECT_TRUE(reachedMain) << all;

  std::vector<StackFrame> const skipped = CaptureOuter(1);
  ASSERT_EQ(skipped.size() + 1, frames.size()) << Describe(skipped);
  EXPECT_NE(skipped[0].function.find("CaptureOuter"), std::string::npos) << Describe(skipped);
  EXPECT_EQ(skipped[0].line, static_cast<std::uint32_t>(gOuterLine.load()));
  EXPECT_TRUE(CaptureOuter(1000000).empty() && CaptureOuter(~0u).empty());
  kq::sys::SetLastError(2);
  EXPECT_TRUE(!CaptureOuter(0).empty() && kq::sys::LastError() == 2) << "the error is left alone";
  kq::sys::SetLastError(0);

  // Names are demangled, and deep stacks cut at 256 frames.
  std::vector<StackFrame> const probed = stacktest::Probe().Capture(3, "tag");
  ASSERT_FALSE(probed.empty());
  EXPECT_EQ(probed[0].function, "stacktest::Probe::Capture(int, char const*) const")
      << Describe(probed);
  std::vector<StackFrame> const deep = CaptureRecursively(300);
  ASSERT_EQ(deep.size(), 256u);
  for (StackFrame const& frame : deep)
    EXPECT_NE(frame.function.find("CaptureRecursively"), std::string::npos) << frame.function;

  // Threads capture at the same time.
  std::atomic<int> good{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&good] {
      for (int round = 0; round < 25; ++round) {
        std::vector<StackFrame> const frames = CaptureInner(0);
        good += !frames.empty() && frames[0].line == static_cast<std::uint32_t>(gInnerLine.load());
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(good.load(), 100);

  // The last error follows a failing call; each error text goes into a buffer
  // within a larger area of 'X', which must stay untouched past its end.
  ASSERT_EQ(std::fopen("/kq-no-such-directory/missing.txt", "r"), nullptr);
  EXPECT_EQ(kq::sys::LastError(), 2u);
  // A code, the buffer's size and the text (null: none, false returned).
  using Row = std::tuple<std::uint32_t, std::size_t, char const*>;
  for (auto const& [code, size, text] :
       {Row{2, 256, "No such file or directory"}, Row{2, 5, "No s"}, Row{2, 1, ""},
        Row{2, 0, nullptr}, Row{987654, 256, "Unknown error 987654"}, Row{987654, 8, "Unknown"}}) {
    SCOPED_TRACE(testing::Message() << code << " in " << size);
    char area[300];
    std::memset(area, 'X', sizeof area);
    EXPECT_EQ(kq::sys::ErrorText(code, area, size), text != nullptr);
    std::size_t const length = text != nullptr ? std::strlen(text) + 1 : 0;
    EXPECT_EQ(std::string(area, length), std::string(text != nullptr ? text : "", length));
    EXPECT_EQ(area[length], 'X');
  }
  EXPECT_FALSE(kq::sys::ErrorText(2, nullptr, 16));
  EXPECT_EQ(kq::sys::LastError(), 2u) << "reading a text leaves the pending error alone";
  kq::sys::SetLastError(0);

  // The executable's path names this program; too small a buffer gives no
  // path rather than part of one.
  char path[4096];
  ASSERT_TRUE(kq::sys::ExecutablePath(path, sizeof path));
  EXPECT_TRUE(fs::path(path).is_absolute() && fs::equivalent(path, "/proc/self/exe")) << path;
  char tiny[8];
  std::memset(tiny, 'X', sizeof tiny);
  EXPECT_TRUE(!kq::sys::ExecutablePath(tiny, sizeof tiny) && tiny[0] == '\0');
  EXPECT_FALSE(kq::sys::ExecutablePath(tiny, 0) || kq::sys::ExecutablePath(nullptr, 64));
}

// The UTF-8 calls, in a fresh directory whose name needs more than ASCII.
TEST(PathBridge, EnvironmentStatAndRmdirWorkInUtf8) {
  // The assignment is copied: the caller's text may change right after.
  std::string assignment = "KQ_PLATFORM_TEST_VALUE=Gr\xC3\xBC\xC3\x9F\x65 \xF0\x9F\x98\x80";
  ASSERT_EQ(putenv_utf8(assignment.c_str()), 0);
  assignment.assign(assignment.size(), '?');
  char const* read = getenv_utf8("KQ_PLATFORM_TEST_VALUE");
  EXPECT_EQ(std::string(read != nullptr ? read : "(none)"),
            "Gr\xC3\xBC\xC3\x9F\x65 \xF0\x9F\x98\x80");
  for (char const* bad : {static_cast<char const*>(nullptr), "KQ_PLATFORM_TEST_NO_EQUALS", "=x"})
    EXPECT_NE(putenv_utf8(bad), 0);
  EXPECT_TRUE(getenv_utf8("KQ_PLATFORM_TEST_NO_EQUALS") == nullptr &&
              getenv_utf8(nullptr) == nullptr);

  fs::path const directory =
      fs::temp_directory_path() /
      fs::u8path("kq_platform_test_\xC3\xA4\xE6\xB5\x8B_" + std::to_string(getpid()));
  fs::create_directories(directory);
  std::string const dir = directory.u8string();
  std::string const file = dir + "/d\xC3\xA9j\xC3\xA0.bin";
  std::ofstream(fs::u8path(file), std::ios::binary) << std::string(1234, 'k');
  PathBridgeStat status{};
  ASSERT_EQ(stat32_utf8(dir.c_str(), &status), 0);
  EXPECT_NE(status.mode & 0x4000u, 0u);
  ASSERT_EQ(stat32_utf8(file.c_str(), &status), 0);
  EXPECT_TRUE((status.mode & 0xC000u) == 0x8000u && status.size == 1234u);
  EXPECT_TRUE(stat32_utf8((dir + "/missing").c_str(), &status) != 0 &&
              stat32_utf8(nullptr, &status) != 0 && stat32_utf8(file.c_str(), nullptr) != 0);
  std::FILE* const stream = std::fopen(file.c_str(), "rb");
  status = PathBridgeStat{};
  EXPECT_TRUE(fstat32_utf8(fileno(stream), &status) == 0 && status.size == 1234u);
  EXPECT_TRUE(fstat32_utf8(fileno(stream), nullptr) != 0 && fstat32_utf8(-1, &status) != 0);
  std::fclose(stream);

  // Only empty directories go.
  std::string const empty = dir + "/leer \xE2\x88\x85";
  fs::create_directory(fs::u8path(empty));
  EXPECT_TRUE(rmdir_utf8(empty.c_str()) == 0 && !fs::exists(fs::u8path(empty)));
  for (char const* path :
       {empty.c_str(), dir.c_str(), file.c_str(), static_cast<char const*>(nullptr)})
    EXPECT_NE(rmdir_utf8(path), 0);
  EXPECT_TRUE(fs::exists(fs::u8path(file)));
  fs::remove_all(directory);
}
