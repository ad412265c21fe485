// KQ_TFile: open modes, stream operations, copy/rename/remove, failures, big files.
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>

#include "kq_tfile.h"
#include "kq_tfileinfo.h"
#include "test_support.h"

namespace {

using namespace kqtest;

// Whether the process holds descriptors on path, all of them close-on-exec.
bool OpenAndCloseOnExec(std::string const& path) {
  int found = 0;
  for (fs::directory_entry const& entry : fs::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    if (fs::read_symlink(entry.path(), error) != path) continue;
    std::string const info = ReadFile("/proc/self/fdinfo/" + entry.path().filename().string());
    if ((std::stoul(info.substr(info.find("flags:") + 6), nullptr, 8) & O_CLOEXEC) == 0)
      return false;
    ++found;
  }
  return found > 0;
}

using FileTest = ScratchTest;

TEST_F(FileTest, ModesDecideAccessCreationAndWherePiecesGoAndFailuresCarryTheSystemsText) {
  // A mode, whether the file exists, whether it opens readable and writable, and the
  // file after writing "ab" where writable ("-": none).
  using Case = std::tuple<unsigned char, bool, bool, bool, char const*>;
  for (auto const& [mode, exists, readable, writable, after] :
       {Case{KQ_TFile::ReadOnly, true, true, false, "0123"},
        Case{KQ_TFile::ReadOnly, false, false, false, "-"},
        Case{KQ_TFile::WriteOnly, true, false, true, "ab"},
        Case{KQ_TFile::WriteOnly, false, false, true, "ab"},
        Case{KQ_TFile::ReadWrite, true, true, true, "ab23"},
        Case{KQ_TFile::ReadWrite | KQ_TFile::TextMode, false, true, true, "ab"},
        Case{KQ_TFile::Append, true, true, true, "0123ab"},
        Case{KQ_TFile::Append | KQ_TFile::TextMode, false, true, true, "ab"},
        Case{0, false, false, false, "-"}, Case{5, true, false, false, "0123"}}) {
    SCOPED_TRACE(testing::Message() << "mode " << int{mode} << (exists ? ", exists" : ""));
    fs::remove(Path("m"));
    if (exists) WriteFile(Path("m"), "0123");
    bool const opens = (mode & 7) != 0 && (mode & 7) < 5 && (exists || writable);
    EXPECT_EQ(RaisedWhat([&, mode = mode, readable = readable, writable = writable] {
                KQ_TFile file(At("m"), mode);
                EXPECT_TRUE(file.Readable() == readable && file.Writable() == writable &&
                            file.Seekable() && file.Markable() && OpenAndCloseOnExec(Path("m")));
                if (writable) file.Write("ab", 2);
              }).substr(0, 20),
              opens ? "" : "KQ_ECouldNotOpenFile");
    EXPECT_EQ(fs::exists(Path("m")) ? ReadFile(Path("m")) : "-", after);
  }
  // Reopening reuses the stream, which stays close-on-exec.
  KQ_TFile file(At("m"), KQ_TFile::WriteOnly);
  file = At("n");
  EXPECT_TRUE(OpenAndCloseOnExec(Path("n")) && !OpenAndCloseOnExec(Path("m")));

  fs::create_directory(Path("dir"));
  // A name, a mode and the system's text after the exception's name.
  using Row = std::tuple<std::string, unsigned char, std::string>;
  for (auto const& [bytes, mode, text] :
       {Row{Path("none/f"), KQ_TFile::ReadWrite, ": No such file or directory"},
        Row{Path("dir"), KQ_TFile::Append, ": Is a directory"},
        Row{Path("zero") + '\0' + "x", KQ_TFile::WriteOnly, ": Invalid argument"},
        Row{"//otherhost/tmp/f", KQ_TFile::WriteOnly, ": Object is remote"},
        Row{Path("f"), 6, ""}}) {
    KQ_TString const name = kqtest::Name(bytes);
    KQ_TAny value;
    EXPECT_EQ(RaisedWhat([&, mode = mode] { KQ_TFile(name, mode); }, &value),
              "KQ_ECouldNotOpenFile" + text);
    EXPECT_EQ(value, KQ_TAny(KQ_TURL::LocalToURL(name))) << bytes;
  }
  EXPECT_FALSE(fs::exists(Path("zero")) || fs::exists(Path("f")));
}

TEST_F(FileTest, ReadsWritesMarksSeeksTruncatesCopiesRenamesAndRemoves) {
  KQ_TFile file(At("s"), KQ_TFile::ReadWrite);
  char buffer[16] = {};
  file.Write("0123456789", 10);
  EXPECT_TRUE(file.Seek(3) == 10 && file.Seek(10) == 3 && file.Available() == 0);
  ExpectEachRaises("KQ_EStreamEndReached",
                   {[&] { file.Read(buffer, 0, 16); }, [&] { file.Read(); }});
  EXPECT_EQ(file.Read(buffer, 0, 0), 0u);
  EXPECT_EQ(RaisedWhat([&] { file.Rewind(1); }), "KQ_EIllegalStreamMark");
  file.Seek(4);
  file.Mark(7, 0).Seek(1);
  EXPECT_EQ(file.Read(), '1');
  file.Write("ab", 2);  // right after the byte read
  EXPECT_EQ(file.Read(), '4');
  EXPECT_TRUE(file.Rewind(7).Position() == 4 && file.ClearMark(7).Rewind(7).Position() == 0);
  EXPECT_TRUE(file.Available() == 10 && file.Read(buffer, 10, 16) == 10);
  EXPECT_EQ(std::string(buffer, 10), "01ab456789");
  file.Seek(5);
  EXPECT_TRUE(file.Trunc() && file.Length() == 5 && file.Skip(100) && file.Position() == 105);
  // A copy has a position of its own and the marks.
  file.Seek(2);
  file.Mark(9, 0);
  EXPECT_TRUE(KQ_TFile(file).Rewind(9).Read() == 'a' && file.Position() == 2);

  // Every operation on a closed file, and those that need the other access.
  EXPECT_TRUE(file.Close() && !file.Readable() && !file.Writable() && !file.Seekable() &&
              !file.Markable());
  KQ_TFile readOnly(At("s"), KQ_TFile::ReadOnly);
  KQ_TFile writeOnly(At("w"), KQ_TFile::WriteOnly);
  for (int operation = 0; operation < 11; ++operation) {
    auto const apply = [&](KQ_TFile& f) {
      static_cast<void>(operation == 0   ? f.Read(buffer, 1, 1)
                        : operation == 1 ? f.Read()
                        : operation == 2 ? (f.Skip(1), 0u)
                        : operation == 3 ? f.Available()
                        : operation == 4 ? (f.Write('x'), 0u)
                        : operation == 5 ? (f.Mark(1, 0), 0u)
                        : operation == 6 ? (f.ClearMark(1), 0u)
                        : operation == 7 ? f.Seek(0)
                        : operation == 8 ? f.Position()
                        : operation == 9 ? f.Length()
                                         : f.Trunc());
    };
    SCOPED_TRACE(operation);
    EXPECT_EQ(RaisedWhat([&] { apply(file); }), "KQ_EStreamIsNotBound");
    EXPECT_EQ(RaisedWhat([&] { apply(readOnly); }), operation == 4 ? "KQ_EStreamIOError" : "");
    EXPECT_EQ(RaisedWhat([&] { apply(writeOnly); }), operation < 4 ? "KQ_EStreamIOError" : "");
  }
  EXPECT_FALSE(readOnly.Trunc());

  // Copies, renames and removals.
  WriteFile(Path("a"), "alpha");
  fs::permissions(Path("a"), fs::perms::owner_read | fs::perms::group_read);
  fs::last_write_time(Path("a"), fs::file_time_type(std::chrono::hours(400000)));
  EXPECT_TRUE(KQ_TFile::Copy(At("a"), At("b"), true) && ReadFile(Path("b")) == "alpha");
  EXPECT_EQ(fs::status(Path("b")).permissions(), fs::status(Path("a")).permissions());
  EXPECT_EQ(fs::last_write_time(Path("b")), fs::last_write_time(Path("a")));
  WriteFile(Path("c"), "old");
  fs::create_hard_link(Path("a"), Path("a-link"));
  fs::create_directory(Path("dir"));
  // From, to, whether an existing target fails the copy, whether it copies,
  // and the target afterwards ("-": none).
  using Row = std::tuple<char const*, char const*, bool, bool, char const*>;
  for (auto const& [from, to, failIfExists, copies, target] :
       {Row{"c", "b", true, false, "alpha"}, Row{"a", "c", false, true, "alpha"},
        Row{"a", "a-link", false, false, "alpha"}, Row{"dir", "d", false, false, "-"},
        Row{"none", "e", false, false, "-"}, Row{"a", "dir/no/f", false, false, "-"}}) {
    EXPECT_EQ(
        KQ_TFile::Copy(KQ_TURL::LocalToURL(At(from)), KQ_TURL::LocalToURL(At(to)), failIfExists),
        copies)
        << to;
    EXPECT_EQ(fs::exists(Path(to)) ? ReadFile(Path(to)) : "-", target) << to;
  }
  EXPECT_FALSE(KQ_TFile::Copy(KQ_TURL("http://host/a"), KQ_TURL::LocalToURL("/tmp/x"), false));

  KQ_TFile::Rename(At("b"), At("c"));
  EXPECT_TRUE(!fs::exists(Path("b")) && ReadFile(Path("c")) == "alpha");
  KQ_TFile::Remove(KQ_TURL::LocalToURL(At("c")));
  EXPECT_FALSE(fs::exists(Path("c")));
  KQ_TAny value;
  EXPECT_EQ(RaisedWhat([&] { KQ_TFile::Remove(At("c")); }, &value),
            "KQ_ECouldNotRemoveFile: No such file or directory");
  EXPECT_EQ(value, KQ_TAny(At("c")));
  EXPECT_EQ(RaisedWhat([&] { KQ_TFile::Rename(At("b"), At("d")); }, &value),
            "KQ_ECouldNotRenameFile: No such file or directory");
  EXPECT_EQ(value, KQ_TAny(At("b")));
}

TEST_F(FileTest, AFullDeviceOrFileSystemRaisesAndLosesNothingElse) {
  std::string const big(200 * 1024, 'z');
  auto const writeBig = [&](KQ_TFile& file) {
    return RaisedWhat([&] { file.Write(big.data(), static_cast<std::uint32_t>(big.size())); });
  };
  KQ_TFile full(KQ_TString("/dev/full"), KQ_TFile::WriteOnly);
  EXPECT_TRUE(full.Flush()) << "nothing to write yet";
  EXPECT_FALSE(full.Write('x').Flush());
  // A close that cannot write keeps the file open; the C library has dropped
  // the bytes, so the next one closes it.
  EXPECT_TRUE(!full.Write('x').Close() && full.Writable());
  EXPECT_TRUE(writeBig(full) == "KQ_EStreamIOError: No space left on device" && full.Close());

  // A small file system of its own, mounted where only a child sees it.
  WriteFile(Path("big"), big);
  fs::create_directory(Path("mnt"));
  int const status = kqtest::InChild([&] {
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("kq", Path("mnt").c_str(), "tmpfs", 0, "size=64k") != 0) {
      _exit(77);
    }
    KQ_TFile file(At("mnt/f"), KQ_TFile::WriteOnly);
    return !KQ_TFile::Copy(At("big"), At("mnt/copy"), false) && !fs::exists(Path("mnt/copy")) &&
           writeBig(file) == "KQ_EStreamIOError: No space left on device";
  });
  if (status == 77) GTEST_SKIP() << "no file system of its own can be mounted here (needs root)";
  EXPECT_EQ(status, 0);
}

TEST_F(FileTest, FilesOf4GiBAndMoreRaiseWhereANumberWouldNotFit) {
  std::uint64_t const size = std::uint64_t{5} << 30;
  int const descriptor = open(Path("sparse").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
  bool const made = ftruncate(descriptor, static_cast<off_t>(size)) == 0;
  close(descriptor);
  if (!made) GTEST_SKIP() << "the file system refuses a sparse file of 5 GiB";
  KQ_TFile file(At("sparse"), KQ_TFile::ReadWrite);
  EXPECT_EQ(file.Length64(), size);
  EXPECT_EQ(RaisedWhat([&] { file.Length(); }),
            "KQ_EStreamIOError: The file's length, 5368709120 bytes, does not fit 32 bits; use "
            "Length64");
  EXPECT_EQ(RaisedWhat([&] { file.Available(); }).substr(19, 21), "The file's number of ");
  file.Seek(4000000000u);
  ASSERT_TRUE(file.Skip(1000000000u));
  file.Mark(1, 0).Write("tail", 4);
  EXPECT_EQ(RaisedWhat([&] { file.Position(); }).substr(19, 19), "The file's position");
  EXPECT_EQ(RaisedWhat([&] { file.Seek(0); }).substr(19, 19), "The file's position");
  EXPECT_EQ(file.Position64(), 5000000004u);
  char buffer[4];
  file.Rewind(1).Read(buffer, 4);
  EXPECT_EQ(std::string(buffer, 4), "tail");
  EXPECT_TRUE(file.Seek64(size - 10) == 5000000004u && file.Available() == 10);
  file.Seek64(std::uint64_t{1} << 32);
  EXPECT_TRUE(file.Trunc() && file.Length64() == std::uint64_t{1} << 32);
  EXPECT_EQ(RaisedWhat([&] {
              file.Seek64(5000000000u);
              file.Read();
            }),
            "KQ_EStreamEndReached");
  EXPECT_EQ(KQ_TFileInfo(At("sparse"), true).Size(), 4294967296.0);
}

}  // namespace
