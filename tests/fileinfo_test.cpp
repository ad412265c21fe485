// KQ_TFileInfo: look-ups, listings, removal of trees, time stamps, forms.
#include <fcntl.h>
#include <sys/stat.h>

#include <map>

#include "kq_tfile.h"
#include "kq_tfileinfo.h"
#include "test_support.h"

namespace {

using namespace kqtest;
using Described = std::map<std::string, std::string>;

void SetTimes(std::string const& path, timespec access, timespec modification) {
  timespec const times[2] = {access, modification};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
}

// what(info) of every file info of a listing, by file name.
template <class What>
Described ByName(KQ_TList const& listed, What what) {
  Described result;
  for (std::uint32_t i = 0; i < listed.Entries(); ++i) {
    auto const* info = static_cast<KQ_TFileInfo const*>(listed[i].KQ_Cast("KQ_TFileInfo"));
    result[BytesOf(info->URL().FileName())] = what(*info);
  }
  return result;
}

// The time-stamp test initialises the class in a process of its own.
class FileInfoTest : public ScratchTest {
 protected:
  KQ_TURL URLOf(std::string const& name) const { return KQ_TURL::LocalToURL(At(name)); }
  KQ_TFileInfo Directory() const { return KQ_TFileInfo(Name(fDirectory), true); }
};

TEST_F(FileInfoTest, LooksUpFilesDirectoriesLinksAndMissingPaths) {
  WriteFile(Path("a.txt"), "hello");
  WriteFile(Path(".hidden"), "h");
  fs::create_directory(Path("d"));
  fs::create_directory_symlink("d", Path("ln"));
  fs::create_symlink("missing", Path("dl"));
  SetTimes(Path("a.txt"), {1600000000, 123456789}, {1600000100, 987654321});
  // A name, whether by URL, and the type, size and file type found (from "kept") or the failure.
  using Case = std::tuple<char const*, bool, char const*>;
  for (auto const& [name, byURL, expected] :
       {Case{"a.txt", false, "1 5 kept"}, Case{"a.txt", true, "1 5 "},
        Case{".hidden", false, "1 1 kept"}, Case{".hidden", true, "1 1 hidden"},
        Case{"ln", false, "0 0 kept"}, Case{"ln", true, "1 1 "}, Case{"dl", true, "1 7 "},
        Case{"dl", false, "KQ_ECouldNotGetFileInfo: No such file or directory"},
        Case{"no", true, "KQ_ECouldNotGetFileInfo: No such file or directory"}}) {
    SCOPED_TRACE(testing::Message() << name << (byURL ? " by URL" : " by name"));
    KQ_TFileInfo info;
    info.SetFileType("kept");
    KQ_TAny value;
    std::string found = RaisedWhat(
        [&, name = name, byURL = byURL] {
          byURL ? info.Lookup(URLOf(name), false) : info.Lookup(At(name), false);
        },
        &value);
    if (found.empty()) {
      found = std::to_string(info.Type()) + " " + std::to_string(static_cast<int>(info.Size())) +
              " " + BytesOf(info.FileType());
      EXPECT_TRUE(info.URL() == URLOf(name) && info.Owner() == KQ_TUserInfo::CurrentUser());
    } else {
      EXPECT_TRUE(value == (byURL ? KQ_TAny(URLOf(name)) : KQ_TAny(At(name))) &&
                  BytesOf(info.FileType()) == "kept");
    }
    EXPECT_EQ(found, expected);
  }
  // Whole seconds by name, milliseconds by URL; the creation time is the
  // birth time where the file system keeps one.
  KQ_TFileInfo const byName(At("a.txt"), true);
  KQ_TFileInfo const byURL(URLOf("a.txt"), true);
  EXPECT_TRUE(byName.AccessTime() == KQ_TTime(1600000000u, 0u) &&
              byName.ModificationTime() == KQ_TTime(1600000100u, 0u) &&
              byURL.AccessTime() == KQ_TTime(1600000000u, 123000u) &&
              byURL.ModificationTime() == KQ_TTime(1600000100u, 987000u));
  struct statx status;
  statx(AT_FDCWD, Path("a.txt").c_str(), 0, STATX_BASIC_STATS | STATX_BTIME, &status);
  bool const born = (status.stx_mask & STATX_BTIME) != 0;
  EXPECT_EQ(byURL.CreationTime().Seconds(),
            born ? status.stx_btime.tv_sec : status.stx_ctime.tv_sec);
  EXPECT_TRUE(byName.CreationTime().Seconds() == byURL.CreationTime().Seconds() &&
              byName.Owner() == KQ_TUserInfo());
  KQ_TFileInfo assigned;
  EXPECT_TRUE((assigned = URLOf("a.txt")).Owner() == KQ_TUserInfo::CurrentUser());
  // A "file:" text, a directory and a name joined, the root.
  EXPECT_EQ(KQ_TFileInfo(KQ_TString(URLOf("a.txt")), true), byName);
  EXPECT_EQ(KQ_TFileInfo(Name(fDirectory), "a.txt", true), byName);
  EXPECT_EQ(KQ_TFileInfo(Name(fDirectory + "/"), "a.txt", true), byName);
  KQ_TFileInfo const root(KQ_TURL::LocalToURL("/"), false);
  EXPECT_TRUE(root.Type() == KQ_TFileInfo::kDirectory && root.Size() == 0 &&
              root.Owner() == KQ_TUserInfo());
  EXPECT_LT((KQ_TTime() - root.ModificationTime()).Seconds(), 60);
  // Owners of other accounts, and of a user id without one, as listed.
  if (chown(Path("a.txt").c_str(), 65534, 65534) != 0 || chown(Path("d").c_str(), 54321, 0) != 0)
    GTEST_SKIP() << "files can be given away by root only";
  auto const owner = [](KQ_TFileInfo const& info) { return BytesOf(info.Owner().UserID()); };
  EXPECT_EQ(
      ByName(Directory().ChildrenInfo(false), owner),
      (Described{
          {"a.txt", "nobody"}, {"d", ""}, {".hidden", "root"}, {"ln", "root"}, {"dl", "root"}}));
}

TEST_F(FileInfoTest, ListsRemovesPacksAndPrints) {
  fs::create_directories(Path("tree/a/b/c"));
  fs::create_directories(Path("outside/keep"));
  WriteFile(Path("tree/a/b/c/f"), "f");
  WriteFile(Path("outside/file"), "x");
  fs::create_directory_symlink(Path("outside"), Path("tree/a/out"));
  fs::create_symlink(Path("outside/file"), Path("tree/a/b/file"));
  fs::create_directory_symlink(Path("outside"), Path("top"));
  WriteFile(Path("plain"), "p");
  KQ_TFileInfo const tree(URLOf("tree"), true);
  EXPECT_TRUE(!tree.Remove(false) && tree.Remove(true) && !fs::exists(Path("tree")));
  // A link at the top is removed itself, even looked up by name (which
  // follows it to a directory).
  KQ_TFileInfo const top(At("top"), true);
  EXPECT_TRUE(top.Type() == KQ_TFileInfo::kDirectory && top.Remove(true));
  EXPECT_TRUE(!fs::exists(fs::symlink_status(Path("top"))) &&
              kqtest::ReadFile(Path("outside/file")) == "x" && fs::exists(Path("outside/keep")));
  EXPECT_TRUE(KQ_TFileInfo(URLOf("plain"), true).Remove(false) &&
              !KQ_TFileInfo(tree).SetURL(KQ_TURL("http://h/x")).Remove(true));
  EXPECT_EQ(RaisedWhat([&] { tree.Remove(true); }), "KQ_ENotADirectory: No such file or directory");

  // Listings with and without the entries' information.
  fs::create_directories(Path("d/sub"));
  WriteFile(Path("d/a"), "abc");
  WriteFile(Path("d/.h"), "");
  fs::create_symlink("sub", Path("d/link"));
  KQ_TFileInfo const directory(URLOf("d"), true);
  KQ_TList listed;
  directory.ChildrenInfo(listed, true);
  EXPECT_EQ(directory.Children().Entries(), 4u);
  auto const describe = [](KQ_TFileInfo const& info) {
    return std::to_string(info.Type()) + " " + std::to_string(static_cast<int>(info.Size())) + " " +
           BytesOf(info.FileType()) + BytesOf(info.Owner().UserID());
  };
  EXPECT_EQ(ByName(listed, describe),
            (Described{{"a", "1 3 "}, {".h", "1 0 hidden"}, {"sub", "0 0 "}, {"link", "1 3 "}}));
  EXPECT_EQ(RaisedWhat([&] { KQ_TFileInfo(URLOf("d/a"), true).Children(); }), "KQ_ENotADirectory");
  fs::remove_all(Path("d"));
  KQ_TAny value;
  EXPECT_EQ(RaisedWhat([&] { directory.ChildrenInfo(false); }, &value),
            "KQ_ENotADirectory: No such file or directory");
  EXPECT_EQ(value, KQ_TAny(URLOf("d")));

  ASSERT_TRUE(__KQ_INITIALIZATION_FUNCTION_kqtypes__());
  ASSERT_TRUE(KQ_TFileInfo::KQ_ClassObject()->Initialize());
  // Local times, so that the text is the same in every zone.
  KQ_TFileInfo info;
  info.SetType(KQ_TFileInfo::kDirectory)
      .SetURL(KQ_TURL("file://host/dir/a%20b"))
      .SetOwner(KQ_TUserInfo("al", "host"))
      .SetSize(1234567)
      .SetAccessTime(KQ_TTime(2007, 3, 4, 5, 6, 7, 8))
      .SetModificationTime(KQ_TTime(2020, 9, 13, 12, 28, 20, 5))
      .SetCreationTime(KQ_TTime(2001, 12, 31, 23, 59, 59, 0))
      .SetFileType("hidden");
  std::uint32_t const seconds = info.ModificationTime().Seconds();
  EXPECT_TRUE(info.SmartID() == (seconds + 234567u) % 999999999u &&
              KQ_TFileInfo(info).SetSize(-1).SmartID() == (seconds + 967295u) % 999999999u);
  std::string const written = kqtest::ReadFile(KQ_TEST_DATA_DIR "/fileinfo.txt");
  EXPECT_EQ(Text(info), written);
  std::string const body = written.substr(written.find("DIR") + 3);
  std::string const asFile = "KQ_TFileInfo { FILE" + body;
  std::string const start = "KQ_TFileInfo { FILE KQ_TURL { \"file://h/x\" } ";
  for (std::string const& text : {written, asFile, "KQ_TFileInfo { LINK" + body, start + "OWNR ( 1",
                                  start + "1", written.substr(0, written.size() - 4) + "}"}) {
    KQ_TFileInfo read;
    bool const valid = text == written || text == asFile;
    EXPECT_EQ(RaisedWhat([&] { ReadText(read, text); }).substr(0, 17),
              valid ? "" : "KQ_EHRSyntaxError");
    EXPECT_EQ(read == KQ_TFileInfo(info).SetType(text == written ? KQ_TFileInfo::kDirectory
                                                                 : KQ_TFileInfo::kFile),
              valid)
        << text;
  }

  Bytes packed = Packed(info);
  EXPECT_EQ(Bytes(packed.begin(), packed.begin() + 3), (Bytes{0x42, 0x05, 0x00}));
  KQ_TFileInfo back;
  ReadInto(back, packed);
  packed[2] = 2;
  EXPECT_EQ(RaisedWhat([&] { ReadInto(back, packed); }), "KQ_EWrongPackedType");
  EXPECT_EQ(back, info) << "read back, and left alone by a wrong version";
  // Every field takes part in equality.
  KQ_TTime const other(1u, 0u);
  for (int field = 0; field < 8; ++field) {
    KQ_TFileInfo changed(info);
    field == 0   ? changed.SetType(KQ_TFileInfo::kFile)
    : field == 1 ? changed.SetURL(KQ_TURL("file://host/dir/a"))
    : field == 2 ? changed.SetOwner(KQ_TUserInfo("bo", "host"))
    : field == 3 ? changed.SetSize(1)
    : field == 4 ? changed.SetAccessTime(other)
    : field == 5 ? changed.SetModificationTime(other)
    : field == 6 ? changed.SetCreationTime(other)
                 : changed.SetFileType("");
    EXPECT_FALSE(changed == info || changed.KQ_IsIdent(info)) << field;
    EXPECT_TRUE(changed != info && !(info != KQ_TFileInfo(info))) << field;
  }
}

TEST_F(FileInfoTest, ATreeChangedWhileItIsRemovedRaisesAndLeavesOutsideAlone) {
  // A thread replaces a directory of the tree by a link to outside as soon
  // as the removal has begun: two thousand files stand before the directory
  // in the listing, so the removal meets the link, which it must not follow.
  fs::create_directories(Path("outside/keep"));
  WriteFile(Path("outside/file"), "x");
  for (int attempt = 0; attempt < 3; ++attempt) {
    for (int i = 0; i < 8; ++i) fs::create_directories(Path("t/d" + std::to_string(i)));
    for (int i = 0; i < 2000; ++i) close(creat(Path("t/f" + std::to_string(i)).c_str(), 0600));
    std::string first;
    std::string last;  // the directory listed last, which is kept
    for (fs::directory_entry const& entry : fs::directory_iterator(Path("t"))) {
      std::string const name = entry.path().filename().string();
      if (first.empty() && name[0] == 'f') first = Path("t/" + name);
      if (name[0] == 'd') last = name;
    }
    for (int i = 0; i < 8; ++i)
      if ("d" + std::to_string(i) != last) fs::remove(Path("t/d" + std::to_string(i)));
    std::atomic<bool> swapped{false};
    std::thread swapper([&] {
      while (access(first.c_str(), F_OK) == 0) {
      }
      swapped = rmdir(Path("t/" + last).c_str()) == 0 &&
                symlink(Path("outside").c_str(), Path("t/" + last).c_str()) == 0;
    });
    KQ_TAny value;
    std::string const raised =
        RaisedWhat([&] { KQ_TFileInfo(URLOf("t"), true).Remove(true); }, &value);
    swapper.join();
    EXPECT_TRUE(kqtest::ReadFile(Path("outside/file")) == "x" && fs::exists(Path("outside/keep")));
    if (swapped && !raised.empty()) {
      EXPECT_TRUE(raised == "KQ_ENotADirectory: Not a directory" &&
                  value == KQ_TAny(URLOf("t/" + last)));
      return;
    }
    fs::remove_all(Path("t"));
  }
  GTEST_SKIP() << "the thread never changed the tree in time";
}

TEST_F(FileInfoTest, TimeStampsAreLocalOrUTC) {
  // 2021-10-31 in Central Europe: 02:30 occurs at 00:30 UTC in summer time
  // and again at 01:30 UTC. Local time gives the earlier instant for both,
  // UTC keeps each; a time before 1970 gives 2 January 1970, 01:01:01. Each
  // case runs in a fresh process, started with the variable set or not, since
  // the class reads it when the library is loaded.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (bool utc : {false, true}) {
    auto const check = [&] {
      setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
      tzset();
      for (char const* name : {"summer", "winter", "old"}) WriteFile(Path(name), "");
      SetTimes(Path("summer"), {1635640200, 0}, {1635640200, 0});
      SetTimes(Path("winter"), {1635643800, 0}, {1635643800, 0});
      SetTimes(Path("old"), {-100, 0}, {-100, 0});
      auto const modified = [](KQ_TFileInfo const& info) {
        bool const same = info.AccessTime() == info.ModificationTime();
        return same ? std::to_string(info.ModificationTime().Seconds()) : "differs";
      };
      Described const expected{{"summer", "1635640200"},
                               {"winter", utc ? "1635643800" : "1635640200"},
                               {"old", std::to_string(KQ_TTime(1970, 1, 2, 1, 1, 1, 0).Seconds())}};
      bool const ok = KQ_TFileInfo::UsesUTCTimestamps() == utc &&
                      ByName(Directory().ChildrenInfo(true), modified) == expected &&
                      KQ_TFileInfo(At("winter"), true).ModificationTime().Seconds() == 1635643800;
      fs::remove_all(fDirectory);  // the child's own scratch directory
      return ok;
    };
    if (utc) setenv("KQ_USE_UTC_TIMESTAMPS", "", 1);
    EXPECT_EXIT(_exit(check() ? 0 : 1), testing::ExitedWithCode(0), "")
        << (utc ? "UTC" : "local time");
    unsetenv("KQ_USE_UTC_TIMESTAMPS");
  }
}

TEST_F(FileInfoTest, NamesOfEveryByteAreCreatedFoundListedRenamedRemovedAndMadeFull) {
  std::string bytes;
  for (int b = 1; b < 256; ++b)
    if (b != '/') bytes += static_cast<char>(b);
  KQ_TString const name = At(bytes);
  KQ_TFile(name, KQ_TFile::WriteOnly).Write("12", 2);
  KQ_TFileInfo const byURL(KQ_TURL::LocalToURL(name), false);
  KQ_TList const children = Directory().Children();
  EXPECT_TRUE(kqtest::ReadFile(Path(bytes)) == "12" && KQ_TFileInfo::Exists(name) &&
              KQ_TFileInfo(name, false).Size() == 2.0 &&
              BytesOf(byURL.LocalName()) == Path(bytes) && children.Entries() == 1 &&
              children[0] == KQ_TAny(byURL.URL()));
  KQ_TFile::Rename(name, name + "2");
  EXPECT_TRUE(KQ_TFileInfo(name + "2", true).Remove(false) && fs::is_empty(fDirectory));

  // Existence, new directories and full paths.
  fs::create_symlink("missing", Path("dangling"));
  EXPECT_TRUE(KQ_TFileInfo::Exists(At("dangling")) && !KQ_TFileInfo::Exists(URLOf("none")) &&
              !KQ_TFileInfo::Exists(KQ_TURL("http://h/x")));
  EXPECT_TRUE(KQ_TFileInfo::CreateDir(URLOf("new")) && fs::is_directory(Path("new")) &&
              !KQ_TFileInfo::CreateDir(At("new")) && !KQ_TFileInfo::CreateDir(At("none/new")));
  EXPECT_EQ(BytesOf(KQ_TFileInfo::FullPath(KQ_TString("a/../b/./c//d"))),
            fs::current_path().string() + "/b/c/d");
  EXPECT_EQ(KQ_TFileInfo::FullPath(KQ_TURL::LocalToURL(At("new/../x"))), URLOf("x"));
}

}  // namespace
