// KQ_TURL: grammar, encoding, paths, relative references, parameters, forms, local names.

#include "kq_turl.h"
#include "kq_tvolumeinfo.h"
#include "test_support.h"

namespace {

using Pair = std::pair<char const*, char const*>;

using kqtest::Raised;

kqtest::MountTableReplacement const kMounts(nullptr);

constexpr auto T = &kqtest::Name;
constexpr auto S = &kqtest::BytesOf;

std::string Fields(KQ_TURL const& u) {
  return S(u.Protocol()) + "|" + S(u.User()) + "|" + S(u.Password()) + "|" + S(u.Host()) + "|" +
         std::to_string(u.Port()) + "|" + S(u.Path()) + "|" + S(u.Params());
}

std::string ThisHost() {
  char name[256] = {};
  gethostname(name, sizeof name - 1);
  return name;
}

using URLTest = kqtest::InitializedTest;

TEST_F(URLTest, ParsesTheGrammarOrRaisesAndFormatsBack) {
  // fields: or the exception's class name
  for (auto const& [text, fields] :
       {Pair{"http://u:p@host:8080/x?a=1&b", "http|u|p|host|8080|x|a=1&b"},
        Pair{"file://h:0x10/x", "file|||h|16|x|"}, Pair{"file://h: +7z/x", "file|||h|7|x|"},
        Pair{"file://h:99999999999/x", "file|||h|4294967295|x|"},
        Pair{"file://h/C%3A/dir", "file|||h|0|C:/dir|"},
        Pair{"ftp://us%40r:pa%3Ass@h/a+b/%7e%zz/%4", "ftp|us@r|pa:ss|h|0|a b/~%zz/%4|"},
        Pair{"x://a@b/c@d", "x|a||b|0|c@d|"},
        Pair{"x://h/a/./b//c/../d?k=v:w", "x|||h|0|a/b/d|k=v:w"},
        Pair{"x://ho?st/p?q?r", "x|||ho?st|0|p|q?r"}, Pair{"x:///", "x||||0||"},
        Pair{"x://h", "x|||h|0||"}, Pair{"x://u@h:81?a=1", "x|u||h|81||a=1"},
        Pair{"file:/host/x", "KQ_EIllegalURLName"}, Pair{"no-colon", "KQ_EIllegalURLName"},
        Pair{"file://host/C:/x", "KQ_EIllegalURLName"}, Pair{"x://h/p?a/b", "KQ_EIllegalURLName"},
        Pair{"x://h/a=b", "KQ_EIllegalURLEncoding"}, Pair{"x://h/../a", "KQ_EURLTopReached"}}) {
    KQ_TURL url;
    std::string const raised = Raised([&, text = text] { url = T(text); });
    EXPECT_EQ(raised.empty() ? Fields(url) : raised, fields) << text;
  }
  KQ_TURL kept("a://b/c");
  EXPECT_EQ(Raised([&] { kept = KQ_TString("a://b/../.."); }), "KQ_EURLTopReached");
  EXPECT_EQ(Fields(kept), "a|||b|0|c|");
  // The text of a URL parses back equal.
  using Formatted = std::pair<KQ_TURL, char const*>;
  for (auto const& [url, text] :
       {Formatted{KQ_TURL("file", "", "", "h", 0, "C:/dir", ""), "file://h/C%3A/dir"},
        Formatted{KQ_TURL("x y", "a@b", "c/d", "e@f/g", 0, "", ""),
                  "x%20y://a%40b:c%2Fd@e%40f%2Fg/"},
        Formatted{KQ_TURL("x", "", "secret", "h", 0, "a b+c", ""), "x://:secret@h/a%20b%2Bc"},
        Formatted{KQ_TURL("x", "", "", "h", 0, T("\xC3\xA9\xFF/~?#"), ""),
                  "x://h/%C3%A9%FF/%7E%3F%23"}}) {
    EXPECT_EQ(S(KQ_TString(url)), text);
    EXPECT_EQ(Fields(KQ_TURL(KQ_TString(url))), Fields(url)) << text;
  }
}

TEST_F(URLTest, EncodesEveryByteOfAFileNameAndDecodesItBack) {
  std::string const kept = "*-./0123456789@ABCDEFGHIJKLMNOPQRSTUVWXYZ_abcdefghijklmnopqrstuvwxyz";
  for (int b = 1; b < 256; ++b) {
    std::string const byte(1, static_cast<char>(b));
    char escaped[4];
    std::snprintf(escaped, sizeof escaped, "%%%02X", b);
    bool const literal = kept.find(static_cast<char>(b)) != std::string::npos;
    EXPECT_EQ(S(KQ_TURL::HexEncode(T(byte))), literal ? byte : escaped) << b;
    EXPECT_EQ(S(KQ_TURL::HexEncodeParams(T(byte))), literal && b != '/' ? byte : escaped) << b;
    EXPECT_EQ(S(KQ_TURL::HexDecode(escaped)), byte) << b;
    EXPECT_EQ(KQ_TURL::IsLegal(T(byte)), literal || b == '=' || b == '?' || b == '+') << b;
  }
  // expected: the decoded text or the exception
  for (auto const& [text, expected] :
       {Pair{"a%zz", "a%zz"}, Pair{"a%4", "a%4"}, Pair{"a+b", "a b"}, Pair{"a?%3a", "a?:"},
        Pair{"a:b", "KQ_EIllegalURLEncoding"}, Pair{"a&b", "KQ_EIllegalURLEncoding"}}) {
    std::string decoded;
    std::string const raised = Raised([&, text = text] { decoded = S(KQ_TURL::HexDecode(text)); });
    EXPECT_EQ(raised.empty() ? decoded : raised, expected) << text;
  }
  EXPECT_FALSE(KQ_TURL::IsLegal(KQ_TString(L"a\x100")) ||
               KQ_TURL::IsLegal(KQ_TString(std::uint16_t{0})));
}

TEST_F(URLTest, NormalisesPathsAndDerivesNames) {
  KQ_TURL url("x://h/");
  // The path name, file name, file part and extension of a path.
  for (auto const& [path, names] : {Pair{"dir.x/file", "dir.x|file|file|"},
                                    Pair{"dir/file.tar.gz", "dir|file.tar.gz|file.tar|.gz"},
                                    Pair{"a", "|a|a|"}, Pair{".rc", "|.rc||.rc"}}) {
    url.SetPath(path);
    EXPECT_EQ(S(url.PathName()) + "|" + S(url.FileName()) + "|" + S(url.FilePart()) + "|" +
                  S(url.Extension()),
              names);
  }
  // A change and the path it gives, or the exception.
  using Change = std::pair<std::function<void(KQ_TURL&)>, char const*>;
  for (auto const& [change, result] :
       {Change{[](KQ_TURL& u) { u.SetExtension("txt"); }, "d/f.txt"},
        Change{[](KQ_TURL& u) { u.SetExtension(".txt"); }, "d/f.txt"},
        Change{[](KQ_TURL& u) { u.SetExtension(""); }, "d/f"},
        Change{[](KQ_TURL& u) { u.SetExtension("a.b"); }, "KQ_EIllegalURLExtension"},
        Change{[](KQ_TURL& u) { u.SetFileName("g"); }, "d/g"},
        Change{[](KQ_TURL& u) { u.SetFileName("g/h"); }, "KQ_EIllegalURLFileName"},
        Change{[](KQ_TURL& u) { u.SetFilePart("g"); }, "d/g.c"},
        Change{[](KQ_TURL& u) { u.SetFilePart("/"); }, "KQ_EIllegalURLFileName"},
        Change{[](KQ_TURL& u) { u.SetPathName("p/q/../r"); }, "p/r/f.c"},
        Change{[](KQ_TURL& u) { u = (*u).Parent(); }, ""},
        Change{[](KQ_TURL& u) { u = u + "x/../y"; }, "d/f.c/y"},
        Change{[](KQ_TURL& u) { u = u.Child("../../.."); }, "KQ_EURLTopReached"},
        Change{[](KQ_TURL& u) { u.SetPath("").Parent(); }, "KQ_EURLTopReached"},
        Change{[](KQ_TURL& u) { u.SetPath("").PathName(); }, "KQ_EURLTopReached"},
        Change{[](KQ_TURL& u) { u.SetParams("a/b"); }, "KQ_EIllegalURLParams"}}) {
    KQ_TURL u("x://h/d/f.c");
    std::string const raised = Raised([&, &change = change] { change(u); });
    EXPECT_EQ(raised.empty() ? S(u.Path()) : raised, result);
  }
}

TEST_F(URLTest, ResolvesAndMakesRelativeReferencesBothWaysAndReadsAndWritesParameters) {
  // From a path to another: the relative reference, or the exception.
  using Row = std::tuple<char const*, char const*, char const*>;
  for (auto const& [fromPath, toPath, expected] :
       {Row{"a/b/c", "a/x", "../../x"}, Row{"a/b", "a/b", "."}, Row{"a/b", "a/b/c/d", "c/d"},
        Row{"a/b", "a/bc", "../bc"}, Row{"a/x/y", "a/x", ".."}, Row{"a/bc", "a/b", "../b"},
        Row{"", "x/y", "/x/y"}, Row{"a", "b/c", "/b/c"}, Row{"ab", "ac", "KQ_EURLIsNoRelative"},
        Row{"a/b", "ab", "KQ_EURLIsNoRelative"}}) {
    SCOPED_TRACE(std::string(fromPath) + " -> " + toPath);
    KQ_TURL const from("x", "", "", "h", 0, fromPath, "");
    KQ_TURL const to("X", "", "", "H", 0, toPath, "");
    std::string relative;
    std::string const raised = Raised([&] { relative = S(from.Relative(to)); });
    EXPECT_EQ(raised.empty() ? relative : raised, expected);
    EXPECT_TRUE(!raised.empty() || KQ_TURL(from, T(relative)) == to);
  }
  KQ_TURL const base("x://h/a/b");
  for (auto const& [relative, path] :
       {Pair{"../c", "a/c"}, Pair{"/c", "c"}, Pair{"", "a/b"}, Pair{"c/", "a/b/c"},
        Pair{"c//d", "d"}, Pair{"./c/../d", "a/b/d"}, Pair{"%20", "a/b/%20"}}) {
    EXPECT_EQ(S(KQ_TURL(base, relative).Path()), path) << relative;
  }
  EXPECT_EQ(Raised([&] { KQ_TURL(base, "../../.."); }), "KQ_EURLTopReached");
  EXPECT_EQ(Raised([&] { base.Relative(KQ_TURL("y://h/a")); }), "KQ_EURLIsNoRelative");

  // Parameters are read and written.
  KQ_TURL url("x://h/p?a=1&b&c=%C3%A9+x&a=2&&d=");
  KQ_TDict const dict = url.ParamDict();
  EXPECT_EQ(dict.Entries(), 4u);
  EXPECT_EQ(S(*static_cast<KQ_TString const*>(dict["a"]->KQ_Cast("KQ_TString"))), "2");
  KQ_TString value("kept");
  EXPECT_TRUE(url.GetParam("a", value) && !url.GetParam("z", value));
  EXPECT_EQ(S(value), "1") << "the first of two, kept when there is none";
  EXPECT_EQ(S(url.Param("b")) + "|" + S(url.Param("c")), "|\xC3\xA9 x");
  KQ_TAny data;
  EXPECT_EQ(kqtest::RaisedMessage([&] { url.Param("z"); }, &data).substr(0, 23),
            "KQ_EURLParameterNotSet|");
  EXPECT_EQ(data, KQ_TAny(KQ_TString("z")));
  KQ_TURL small("x://h/p?k=v");
  small.SetParam("n a/m", "1&2");
  EXPECT_EQ(S(small.Param("n a/m")) + "|" + S(small.Param("k")), "1&2|v");
  KQ_TDict bare;
  bare.Add("flag", KQ_TAny(std::int32_t{5}));
  EXPECT_EQ(S(small.SetParamDict(bare).Params()), "flag");
  KQ_TDict badKey;
  badKey.Add(KQ_TURL("x://h/"), KQ_TAny("v"));
  EXPECT_EQ(Raised([&] { small.SetParamDict(badKey); }), "KQ_EIllegalURLParams");
}

TEST_F(URLTest, ComparesSchemeHostAndFirstSegmentWithoutCase) {
  KQ_TURL const url("FILE", "u", "p", "HOST", 0, "C:/x", "");
  // Another URL, whether it equals url and whether url is its ancestor.
  using Row = std::tuple<KQ_TURL, bool, bool>;
  for (auto const& [other, equal, ancestor] :
       {Row{KQ_TURL("file", "u", "p", "host", 0, "c:/x", ""), true, true},
        Row{KQ_TURL("file", "u", "p", "host", 0, "c:/X", ""), false, false},
        Row{KQ_TURL("file", "U", "p", "host", 0, "C:/x", ""), false, true},
        Row{KQ_TURL("file", "u", "p", "host", 1, "C:/x", ""), false, false},
        Row{KQ_TURL("file", "u", "p", "host", 0, "C:/x", "a"), false, true},
        Row{KQ_TURL("file", "u", "p", "host", 0, "c:/x/y", ""), false, true},
        Row{KQ_TURL("file", "u", "p", "host", 0, "C:/xy", ""), false, false},
        Row{KQ_TURL("file", "u", "p", "host", 0, "C:x", ""), false, false},
        Row{KQ_TURL("file", "u", "p", "other", 0, "C:/x/y", ""), false, false}}) {
    SCOPED_TRACE(S(KQ_TString(other)));
    EXPECT_TRUE((url == other) == equal && (url != other) != equal &&
                url.KQ_IsIdent(other) == equal);
    EXPECT_TRUE(url.IsAncestorOf(other) == ancestor && other.IsDescendantOf(url) == ancestor);
    EXPECT_TRUE(!equal || url.KQ_HashValue(5) == other.KQ_HashValue(5));
  }
  EXPECT_TRUE(KQ_TURL("x://h/").IsAncestorOf(KQ_TURL("x://H/a/b")));
  EXPECT_EQ(url.KQ_HashValue(3), 1212267046u);
  EXPECT_NE(url.KQ_HashValue(3), KQ_TURL("file", "u", "p", "host", 0, "c:/X", "").KQ_HashValue(3));
}

TEST_F(URLTest, PacksUnderItsCodeAndWritesItsText) {
  KQ_TURL::KQ_Initialize();
  KQ_TURL const url("x", "u", "", "h", 258, "p", "q");
  kqtest::Bytes expected = {0x43};
  for (char const* field : {"x", "u", "", "h", "#", "p", "q"}) {
    if (field[0] == '#') {
      expected.insert(expected.end(), {7, 0, 0, 1, 2});  // the port, a 32-bit number
      continue;
    }
    std::uint8_t const n = static_cast<std::uint8_t>(std::strlen(field));
    expected.insert(expected.end(), {0x41, 7, 0, 0, 0, n, 0x0F, 0, 0, 0, std::uint8_t(2 * n)});
    for (std::uint8_t i = 0; i < n; ++i)
      expected.insert(expected.end(), {0, std::uint8_t(field[i])});
  }
  EXPECT_TRUE(kqtest::Packed(url) == expected && kqtest::Extracted(expected)->KQ_IsIdent(url));
  EXPECT_EQ(kqtest::Printed(url), "x://u@h:258/p?q");
  EXPECT_EQ(kqtest::Text(url), "KQ_TURL { \"x://u@h:258/p?q\" }");
  // expected: the URL read or the exception
  std::string const local = "file://" + ThisHost() + "/tmp/a%20b";
  for (auto const& [text, expected] : {Pair{"KQ_TURL { \"x://h/a\" }", "x://h/a"},
                                       Pair{"KQ_TURL { LOCAL \"/tmp/x/../a b\" }", local.c_str()},
                                       Pair{"KQ_TURL { REMOTE \"/tmp\" }", "KQ_EHRSyntaxError"},
                                       Pair{"KQ_TURL { \"x:/h\" }", "KQ_EIllegalURLName"}}) {
    KQ_TURL read;
    std::string const raised = Raised([&, text = text] { kqtest::ReadText(read, text); });
    EXPECT_EQ(raised.empty() ? S(KQ_TString(read)) : raised, expected) << text;
  }
  std::istringstream words("x://h/a  y://h/b");
  KQ_TURL scanned;
  scanned.ScanFrom(words);
  EXPECT_EQ(S(KQ_TString(scanned)), "x://h/a");
  std::FILE* file = fmemopen(const_cast<char*>("y://h/b\nz"), 9, "r");
  EXPECT_TRUE(scanned.Read(file, "\n") == 1 && S(KQ_TString(scanned)) == "y://h/b");
  std::fclose(file);
}

TEST_F(URLTest, LocalNamesOfThisMachineRoundTripEveryByteAndNetworkMountsNameTheirServer) {
  std::filesystem::path const dir =
      std::filesystem::temp_directory_path() / ("kq_url_" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  std::string const base = dir.string() + "/";
  auto roundTrip = [&](std::string const& name) {
    EXPECT_EQ(S(KQ_TURL(KQ_TString(KQ_TURL::LocalToURL(T(base + name)))).LocalName()), base + name);
  };
  for (int b = 1; b < 256; ++b)
    if (b != '/' && b != '.') roundTrip(std::string(1, static_cast<char>(b)) + "x");
  // Whole characters of two, three and four bytes, a cut one, an encoded surrogate.
  roundTrip("\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80 \xC3 \xED\xA0\x80\xF0\x9F");
  std::filesystem::remove_all(dir);

  std::string const cwd = std::filesystem::current_path().string();
  EXPECT_EQ(S(KQ_TURL::LocalToURL("C:/dir/../f").LocalName()), cwd + "/C:/f");
  EXPECT_EQ(S(KQ_TURL::LocalToURL("/a//b/./c/").Path()), "a/b/c");
  EXPECT_EQ(S(KQ_TURL("file:///etc/hosts").LocalName()), "/etc/hosts");
  EXPECT_EQ(S(KQ_TURL("FILE://LocalHost/etc").LocalName()), "/etc");
  EXPECT_EQ(Raised([] { KQ_TURL("mem://h/x").LocalName(); }), "KQ_ENotALocalURL");
  // A serial number that is not the volume's: the medium was changed.
  KQ_TURL stamped = KQ_TURL::LocalToURL("/");
  stamped.SetParam(KQ_TURL::kSerialParam, "00000000");
  EXPECT_EQ(Raised([&] { stamped.LocalName(); }), "KQ_ERemovableMediumChanged");
  stamped.SetParam(KQ_TURL::kSerialParam, KQ_TVolumeInfo(KQ_TString("/")).Serial());
  EXPECT_EQ(S(stamped.LocalName()), "/");
  // No removable medium here: AddVolumeInfo leaves the URL as it is.
  EXPECT_EQ(KQ_TURL::LocalToURL("/").AddVolumeInfo(), KQ_TURL::LocalToURL("/"));

  // Network mounts name files by their server.
  std::string const thisHost = "file://" + ThisHost();
  std::string const scratch = thisHost + "/mnt/kq-test/home/scratch/t";
  for (auto const& [local, expected] :
       {Pair{"/mnt/kq-test/home/alice/notes.txt", "file://fileserver/export/home/alice/notes.txt"},
        Pair{"/mnt/kq-test/all/tmp/x", "file://fileserver/export/tmp/x"},
        Pair{"/mnt/kq-test/data set/a", "file://backup.example/srv/data/a"},
        Pair{"/mnt/kq-test/public/Docs/r.doc", "file://winsrv/Public/Docs/r.doc"},
        Pair{"/mnt/kq-test/public", "file://winsrv/Public"},
        Pair{"/mnt/kq-test/laptop/src", "file://laptop/projects/src"},
        Pair{"/mnt/kq-test/home/scratch/t", scratch.c_str()},
        Pair{"//otherhost/a/b", "file://otherhost/a/b"}}) {
    KQ_TURL const url = KQ_TURL::LocalToURL(local);
    EXPECT_TRUE(S(KQ_TString(url)) == expected && S(url.LocalName()) == local) << local;
  }
  EXPECT_EQ(S(KQ_TURL("file://WINSRV/Public/x").LocalName()), "/mnt/kq-test/public/x");
  EXPECT_EQ(S(KQ_TURL("file://fileserver/elsewhere").LocalName()), "//fileserver/elsewhere");
  // With the default time-out a mount added just after a reading is not seen.
  kqtest::WriteMountTable("newserver:/share /mnt/kq-test/new nfs rw 0 0\n");
  EXPECT_EQ(S(KQ_TURL("file://newserver/share/f").LocalName()), "//newserver/share/f");
  kqtest::WriteMountTable();
}

}  // namespace
