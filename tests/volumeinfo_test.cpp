// KQ_TVolumeInfo: mount points, test mounts, forms, and a table read on every call.
#include <sys/statfs.h>

#include "kq_turl.h"
#include "kq_tvolumeinfo.h"
#include "test_support.h"

namespace {

kqtest::MountTableReplacement const kMounts("0");

std::string S(KQ_TString const& text) { return text.ToUTF8(KQ_TString::UTF8Rule::kBytes); }

// The volume read back from text, or the name of the exception raised.
std::string ReadBack(std::string const& text, KQ_TVolumeInfo* info) {
  return kqtest::Raised([&] { kqtest::ReadText(*info, text); });
}

TEST(VolumeInfoTest, MountPointsOfTheMachineAndTheTestGiveTheirKindAndAreReadOnEveryCall) {
  using Mount = std::pair<char const*, KQ_TVolumeInfo::TDeviceType>;
  for (auto const& [path, type] : {Mount{"/mnt/kq-test/home/a/b", KQ_TVolumeInfo::kNetwork},
                                   Mount{"/mnt/kq-test/laptop", KQ_TVolumeInfo::kNetwork},
                                   Mount{"/mnt/kq-test/disk/f", KQ_TVolumeInfo::kFixed},
                                   Mount{"/mnt/kq-test/home/scratch/f", KQ_TVolumeInfo::kFixed}}) {
    KQ_TVolumeInfo const info{KQ_TString(path)};
    EXPECT_TRUE(info.Type() == type && info.State() == KQ_TVolumeInfo::kEjected &&
                info.Size() + info.Available() == 0.0 &&
                info.Name().Length() + info.Serial().Length() + info.FileSystem().Length() == 0)
        << path;
  }
  // With a time-out of zero the table is read again on every call.
  KQ_TURL const url("file://newserver/share/f");
  EXPECT_EQ(S(url.LocalName()), "//newserver/share/f");
  kqtest::WriteMountTable("newserver:/share /mnt/kq-test/new nfs rw 0 0\n");
  EXPECT_TRUE(S(url.LocalName()) == "/mnt/kq-test/new/f" &&
              KQ_TVolumeInfo(url).Type() == KQ_TVolumeInfo::kNetwork);
  kqtest::WriteMountTable();
  EXPECT_EQ(S(url.LocalName()), "//newserver/share/f");

  // The machine's own mount points.
  KQ_TVolumeInfo const root(KQ_TString("/"));
  struct statfs figures;
  ASSERT_EQ(statfs("/", &figures), 0);
  EXPECT_TRUE(root.State() == KQ_TVolumeInfo::kLoaded && root.Type() != KQ_TVolumeInfo::kUnknown);
  EXPECT_EQ(root.Size(), static_cast<double>(figures.f_blocks) * figures.f_frsize);
  EXPECT_GT(root.Available(), 0.0);
  EXPECT_TRUE(root.Serial().Length() == 8 &&
              S(root.Serial()).find_first_not_of("0123456789abcdef") == std::string::npos);
  // A path below the root and the root itself are one volume, and so are
  // two look-ups at different times; free space plays no part.
  EXPECT_TRUE(KQ_TVolumeInfo(KQ_TString("/usr/lib/../share")) == root &&
              KQ_TVolumeInfo(KQ_TString("/no/such/dir")) == root &&
              KQ_TVolumeInfo(KQ_TURL::LocalToURL("/")) == root);
  KQ_TVolumeInfo const proc(KQ_TString("/proc/self/status"));
  EXPECT_TRUE(S(proc.FileSystem()) == "proc" && proc.Type() == KQ_TVolumeInfo::kFixed &&
              proc != root);
}

TEST(VolumeInfoTest, PacksAndWritesItsFields) {
  ASSERT_TRUE(__KQ_INITIALIZATION_FUNCTION_kqtypes__());
  KQ_TVolumeInfo::KQ_ClassObject();
  KQ_TVolumeInfo loaded;
  KQ_TVolumeInfo ejected(KQ_TString("/mnt/kq-test/home"));
  std::string const ejectedText = "KQ_TVolumeInfo {\n  NETWORK\n  EJECTED\n  0.000000/0.000000\n}";
  EXPECT_EQ(kqtest::Text(ejected), ejectedText);
  ASSERT_EQ(ReadBack("KQ_TVolumeInfo { REMOVABLE LOADED 1.5/2048 \"USB\" \"0a0b0c0d\" \"vfat\" }",
                     &loaded),
            "");
  EXPECT_EQ(kqtest::Text(loaded),
            "KQ_TVolumeInfo {\n  REMOVABLE\n  LOADED\n  1.500000/2048.000000\n  \"USB\"\n"
            "  \"0a0b0c0d\"\n  \"vfat\"\n}");
  KQ_TVolumeInfo read;
  EXPECT_TRUE(ReadBack(ejectedText, &read).empty() && read == ejected);
  // Every field but the free space takes part in equality.
  using Text = std::pair<char const*, bool>;  // and whether it reads as the same volume
  for (auto const& [text, same] :
       {Text{"REMOVABLE LOADED 9/2048 \"USB\" \"0a0b0c0d\" \"vfat\"", true},
        Text{"FIXED LOADED 1.5/2048 \"USB\" \"0a0b0c0d\" \"vfat\"", false},
        Text{"REMOVABLE EJECTED 1.5/2048", false},
        Text{"REMOVABLE LOADED 1.5/2047 \"USB\" \"0a0b0c0d\" \"vfat\"", false},
        Text{"REMOVABLE LOADED 1.5/2048 \"US\" \"0a0b0c0d\" \"vfat\"", false},
        Text{"REMOVABLE LOADED 1.5/2048 \"USB\" \"0a0b0c0e\" \"vfat\"", false},
        Text{"REMOVABLE LOADED 1.5/2048 \"USB\" \"0a0b0c0d\" \"ext4\"", false}}) {
    ASSERT_EQ(ReadBack(std::string("KQ_TVolumeInfo { ") + text + " }", &read), "") << text;
    EXPECT_TRUE((read == loaded) == same && (read != loaded) != same) << text;
  }
  for (char const* bad : {"KQ_TVolumeInfo { SOLID LOADED 1/2 \"\" \"\" \"\" }",
                          "KQ_TVolumeInfo { FIXED LOADED 1 2 \"\" \"\" \"\" }",
                          "KQ_TVolumeInfo { FIXED LOADED 1/2 \"\" \"\" }",
                          "KQ_TVolumeInfo { FIXED EJECTED 1/2 \"x\" }"}) {
    EXPECT_EQ(ReadBack(bad, &read), "KQ_EHRSyntaxError") << bad;
  }

  // Framed by class name; the type and state as single bytes.
  auto const extracted = kqtest::Extracted(kqtest::Packed(loaded));
  KQ_TVolumeInfo const& back = kqtest::As<KQ_TVolumeInfo>(extracted);
  EXPECT_TRUE(back.KQ_IsIdent(loaded) && back.Available() == 1.5);
  EXPECT_EQ(S(back.Name()) + S(back.Serial()) + S(back.FileSystem()), "USB0a0b0c0dvfat");
}

}  // namespace
