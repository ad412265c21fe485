// KQ_TUserInfo and thread account switches (needs root for the throwaway accounts).
#include <pwd.h>

#include "kq_tthread.h"
#include "kq_tuserinfo.h"
#include "test_support.h"

namespace {

using Pair = std::pair<char const*, char const*>;

using kqtest::Raised;
using UserInfoTest = kqtest::InitializedTest;

std::string HostName() {
  std::string name;
  std::getline(std::ifstream("/proc/sys/kernel/hostname"), name);
  return name;
}

bool RunningAsRoot() { return KQ_TUserInfo::CurrentUser().UserID() == "root"; }

std::string Utf8(KQ_TString const& text) { return text.UTF8(); }

std::string CurrentUserID() { return Utf8(KQ_TThread::CurrentUser().UserID()); }

int Shell(std::string const& command) {
  return std::system((command + " >/dev/null 2>&1").c_str());
}

bool CanRead(char const* path) { return std::ifstream(path).good(); }

// A throwaway account with a password and a comment field; each change is
// retried, as the account files are locked while another tool changes them.
struct ScratchAccount {
  explicit ScratchAccount(std::string const& comment) {
    static std::atomic<int> counter{0};
    auto const stamp = kqtest::Clock::now().time_since_epoch().count() % 100000000;
    name = "kqt" + std::to_string(stamp) + "x" + std::to_string(counter++);
    password = "Pw-" + name + "-9z";
    for (int attempt = 0; attempt < 20 && !created; ++attempt) {
      created = Shell("useradd -m -c '" + comment + "' " + name) == 0;
      if (!created) KQ_TThread::Sleep(100);
    }
    created = created && Shell("echo '" + name + ":" + password + "' | chpasswd") == 0;
  }
  ~ScratchAccount() {
    for (int attempt = 0; attempt < 20; ++attempt) {
      if (Shell("userdel -r " + name) == 0 || Shell("id " + name) != 0) break;
      KQ_TThread::Sleep(100);
    }
  }
  KQ_TUserInfo Info() const { return KQ_TUserInfo(name.c_str(), ""); }
  bool Run(std::string const& command) const { return Shell(command + " " + name) == 0; }

  std::string name;
  std::string password;
  bool created = false;
};

// A sanitizer's crypt_r wrapper calls nowhere unless libcrypt came with the
// program (the password module loads it late).
bool PasswordChecksWork() {
#if defined(KQ_TEST_SANITIZED)
  return kqtest::ReadFile("/proc/self/maps").find("/libcrypt.so") != std::string::npos;
#else
  return true;
#endif
}

// Runs body on a library thread of its own, so that account switches stay
// there.
void OnThread(std::function<void()> const& body) {
  struct Runner : KQ_TThread {
    explicit Runner(std::function<void()> const& f) : code(f) {}
    std::int32_t Run(void*) override { return code(), 1; }
    std::function<void()> const& code;
  } runner(body);
  runner.Start().Join();
  ASSERT_TRUE(runner.IsFinished()) << "the body raised";
}

TEST_F(UserInfoTest, EqualityIgnoresCaseAndTheDescriptiveFieldsAndSwitchesNeedPrivilege) {
  KQ_TUserInfo const bob("Bob", "LAB");
  EXPECT_TRUE(bob == KQ_TUserInfo("bob", "lab") && !(bob != KQ_TUserInfo("bOB", "Lab")));
  for (KQ_TUserInfo const& other :
       {KQ_TUserInfo("bob", "lab2"), KQ_TUserInfo("bobby", "lab"), KQ_TUserInfo("bob", "")}) {
    EXPECT_TRUE(bob != other);
  }
  // GetMoreInfo's fields play no part.
  KQ_TUserInfo const described = KQ_TUserInfo("root", "").GetMoreInfo();
  EXPECT_TRUE(described.KQ_IsIdent(KQ_TUserInfo("ROOT", described.Domain())) &&
              !described.KQ_IsIdent(KQ_TString("root")));

  // Without the right to change credentials a switch is refused before any password is checked; as
  // root the check runs in a child as nobody.
  int const status = kqtest::InChild(
      [] {
        std::string const before = CurrentUserID();
        return Raised([] { KQ_TThread::SetCurrentUser(KQ_TUserInfo("root", ""), "whatever"); }) ==
                   "KQ_EThreadNotPrivileged" &&
               CurrentUserID() == before &&
               Utf8(KQ_TThread::RevertToOriginalUser().UserID()) == before;
      },
      true);
  if (status == 77) GTEST_SKIP() << "cannot become nobody";
  EXPECT_EQ(status, 0);
}

TEST_F(UserInfoTest, PacksTheFourStringsUnderItsCodeAndWritesOneText) {
  // Code 0x44, then each string as code 0x41, its length (tag 7) and a
  // packet (tag 0x0F) of big-endian units.
  kqtest::Bytes const expected = {
      0x44,                                                           //
      0x41, 7, 0, 0, 0, 2, 0x0F, 0, 0, 0, 4, 0, 'a', 0, 'l',          // user id
      0x41, 7, 0, 0, 0, 3, 0x0F, 0, 0, 0, 6, 0, 'l', 0, 'a', 0, 'b',  // domain
      0x41, 7, 0, 0, 0, 0, 0x0F, 0, 0, 0, 0,                          // full name
      0x41, 7, 0, 0, 0, 0, 0x0F, 0, 0, 0, 0,                          // description
  };
  EXPECT_EQ(kqtest::Packed(KQ_TUserInfo("al", "lab")), expected);

  kqtest::Bytes const packed = kqtest::Packed(KQ_TUserInfo("root", "").GetMoreInfo());
  EXPECT_EQ(kqtest::Packed(kqtest::As<KQ_TUserInfo>(kqtest::Extracted(packed))), packed);

  // The text form is one string, split at the first separator.
  EXPECT_EQ(kqtest::Text(KQ_TUserInfo("bob", "")), "KQ_TUserInfo { \"bob\" }");
  EXPECT_EQ(kqtest::Text(KQ_TUserInfo("bob", "lab")), "KQ_TUserInfo { \"bob@lab\" }");
  // A text and the user and domain it gives; reading over an object clears
  // what the text does not carry.
  for (auto const& [text, read] :
       {Pair{"KQ_TUserInfo { \"bob@lab\" } ", "bob|lab"}, Pair{"KQ_TUserInfo {\"bob\"}", "bob|"},
        Pair{"KQ_TUserInfo{ \"a@b@c\" } ", "a|b@c"}, Pair{"KQ_TUserInfo {\n  \"@\"\n}", "|"},
        Pair{"KQ_TUserInfo { \"J\\303\\266rg@LAB\" }", "J\xC3\xB6rg|LAB"}}) {
    KQ_TUserInfo user = KQ_TUserInfo("root", "").GetMoreInfo();
    kqtest::ReadText(user, text);
    EXPECT_EQ(Utf8(user.UserID()) + "|" + Utf8(user.Domain()), read) << text;
    EXPECT_EQ(user.FullName().Length() + user.Description().Length(), 0u) << text;
  }
  // A missing closing brace or a non-string content is malformed.
  KQ_TUserInfo user;
  EXPECT_EQ(Raised([&] { kqtest::ReadText(user, "KQ_TUserInfo { 5 } "); }), "KQ_EHRSyntaxError");
}

TEST_F(UserInfoTest, CurrentUserAndGetMoreInfoNameLocalAccountsInTheHostsDomain) {
  KQ_TUserInfo const current = KQ_TUserInfo::CurrentUser();
  EXPECT_EQ(Utf8(current.UserID()), getpwuid(geteuid())->pw_name);
  EXPECT_TRUE(Utf8(current.Domain()) == HostName() && current.FullName().Length() == 0 &&
              KQ_TThread::CurrentUser() == current);
  KQ_TUserInfo const root = KQ_TUserInfo("root", "").GetMoreInfo();
  EXPECT_TRUE(Utf8(root.Domain()) == HostName() && Utf8(root.FullName()) == "root" &&
              root.Description().Length() == 0);
  // The host name in another case is the same domain.
  KQ_TUserInfo shouted("root", KQ_TString(HostName().c_str()).ToUpper());
  EXPECT_EQ(Utf8(shouted.GetMoreInfo().FullName()), "root");
  // The built-in domain becomes the host, nothing else is read.
  KQ_TUserInfo const builtIn = KQ_TUserInfo("Administrators", "builtin").GetMoreInfo();
  EXPECT_TRUE(Utf8(builtIn.Domain()) == HostName() && builtIn.FullName().Length() == 0);

  for (KQ_TUserInfo user : {KQ_TUserInfo(), KQ_TUserInfo("no-such-account-kq", ""),
                            KQ_TUserInfo("root", "some.other.domain")}) {
    KQ_TString const domainBefore = user.Domain();
    EXPECT_EQ(Raised([&] { user.GetMoreInfo(); }), "KQ_ENoSuchUser") << Utf8(user.UserID());
    EXPECT_TRUE(user.Domain() == domainBefore && user.FullName().Length() == 0)
        << "unchanged after a failure";
  }
}

TEST_F(UserInfoTest, GetMoreInfoSplitsTheCommentAndSwitchesOnlyTheCallingThreadAndBack) {
  if (!RunningAsRoot()) GTEST_SKIP() << "needs root to make an account";
  // Full name with a character beyond the 16-bit plane, then room, two
  // empty phone fields and a note, and a trailing empty field.
  ScratchAccount account("Zo\xC3\xAB \xF0\x9F\x98\x80 Smith,Room 7,,,tester,");
  ASSERT_TRUE(account.created);
  KQ_TUserInfo const described = account.Info().GetMoreInfo();
  EXPECT_TRUE(described.FullName() == KQ_TString(L"Zo\u00EB \U0001F600 Smith"));
  EXPECT_EQ(Utf8(described.Description()), "Room 7,,,tester");
  if (!PasswordChecksWork()) GTEST_SKIP() << "libcrypt is not loaded with the program";
  ASSERT_TRUE(CanRead("/etc/shadow"));
  std::atomic<int> phase{0};
  auto switcher = std::async(std::launch::async, [&] {
    OnThread([&] {
      KQ_TUserInfo const before =
          KQ_TThread::SetCurrentUser(account.Info(), account.password.c_str());
      EXPECT_EQ(Utf8(before.UserID()), "root") << "the result is the account before";
      EXPECT_EQ(CurrentUserID(), account.name);
      EXPECT_FALSE(CanRead("/etc/shadow")) << "the thread has the account's rights";
      phase = 1;
      EXPECT_TRUE(kqtest::Eventually([&] { return phase == 2; }));
      // Switching again (here to the same account, with the domain given)
      // starts from the original account.
      KQ_TUserInfo const again = KQ_TThread::SetCurrentUser(
          KQ_TUserInfo(account.name.c_str(), KQ_TString(HostName().c_str()).ToUpper()),
          account.password.c_str());
      EXPECT_TRUE(Utf8(again.UserID()) == account.name &&
                  Utf8(KQ_TThread::RevertToOriginalUser().UserID()) == account.name);
      EXPECT_TRUE(CurrentUserID() == "root" && CanRead("/etc/shadow"));
    });
  });
  // Meanwhile the other threads keep their account.
  EXPECT_TRUE(kqtest::Eventually([&] { return phase == 1; }));
  EXPECT_TRUE(CurrentUserID() == "root" && CanRead("/etc/shadow"));
  phase = 2;
  switcher.get();
}

TEST_F(UserInfoTest, RefusesUnknownForeignDisabledAccountsAndWrongPasswords) {
  if (!RunningAsRoot()) GTEST_SKIP() << "needs root to make an account";
  if (!PasswordChecksWork()) GTEST_SKIP() << "libcrypt is not loaded with the program";
  ScratchAccount account("Scratch Account");
  ScratchAccount locked("Locked Account");
  ScratchAccount expired("Expired Account");
  ASSERT_TRUE(account.created && locked.created && expired.created);
  ASSERT_TRUE(locked.Run("usermod -L") && expired.Run("usermod -e 1970-01-02"));
  OnThread([&] {
    // An account, its password and what the switch raises.
    using Row = std::tuple<KQ_TUserInfo, char const*, char const*>;
    for (auto const& [user, password, raised] :
         {Row{KQ_TUserInfo("no-such-account-kq", ""), "x", "KQ_EThreadIllegalUserOrPassword"},
          Row{KQ_TUserInfo(account.name.c_str(), "elsewhere"), account.password.c_str(),
              "KQ_EThreadIllegalUserOrPassword"},
          Row{locked.Info(), locked.password.c_str(), "KQ_EThreadAccountDisabled"},
          Row{expired.Info(), expired.password.c_str(), "KQ_EThreadAccountDisabled"}}) {
      EXPECT_EQ(Raised([&, &u = user, p = password] { KQ_TThread::SetCurrentUser(u, p); }), raised)
          << Utf8(user.UserID());
      EXPECT_EQ(CurrentUserID(), "root");
    }
    // A wrong password while switched leaves the thread switched.
    KQ_TThread::SetCurrentUser(account.Info(), account.password.c_str());
    EXPECT_EQ(Raised([&] { KQ_TThread::SetCurrentUser(account.Info(), "wrong password"); }),
              "KQ_EThreadIllegalUserOrPassword");
    EXPECT_EQ(CurrentUserID(), account.name);
    KQ_TThread::RevertToOriginalUser();
    EXPECT_EQ(CurrentUserID(), "root");
  });
}

}  // namespace
