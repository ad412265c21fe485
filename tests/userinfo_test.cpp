// KQ_TUserInfo (equality, packed and text forms, the account database) and
// running one thread under another account (KQ_TThread::SetCurrentUser).
//
// Tests that need a second account make a throwaway one when they run as
// root and are skipped otherwise. Every wrong password costs the delay of
// the system's authentication modules (about two seconds).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "kq_eexception.h"
#include "kq_initialization.h"
#include "kq_tclass.h"
#include "kq_tdatastream.h"
#include "kq_thumanreadablestream.h"
#include "kq_tmemorystream.h"
#include "kq_tthread.h"
#include "kq_tuserinfo.h"

namespace {

class UserInfoTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(__KQ_INITIALIZATION_FUNCTION_kqtypes__()); }
};

std::string HostName() {
  std::ifstream file("/proc/sys/kernel/hostname");
  std::string name;
  std::getline(file, name);
  return name;
}

// The effective user's name from /proc and /etc/passwd, read as files.
std::string NameOfEffectiveUser() {
  std::ifstream status("/proc/self/status");
  std::string line;
  std::string uid;
  while (std::getline(status, line)) {
    if (line.rfind("Uid:", 0) == 0) {
      std::istringstream fields(line.substr(4));
      std::string real;
      fields >> real >> uid;
    }
  }
  std::ifstream passwd("/etc/passwd");
  while (std::getline(passwd, line)) {
    std::istringstream fields(line);
    std::string name;
    std::string password;
    std::string id;
    std::getline(fields, name, ':');
    std::getline(fields, password, ':');
    std::getline(fields, id, ':');
    if (id == uid) return name;
  }
  return "";
}

bool RunningAsRoot() { return KQ_TUserInfo::CurrentUser().UserID() == "root"; }

std::string Utf8(KQ_TString const& text) { return text.UTF8(); }

int Shell(std::string const& command) {
  return std::system((command + " >/dev/null 2>&1").c_str());
}

// A throwaway account with a password and a comment field; removed again
// with its home directory.
class ScratchAccount {
 public:
  explicit ScratchAccount(std::string const& comment) {
    static std::atomic<int> counter{0};
    auto const stamp = std::chrono::steady_clock::now().time_since_epoch().count() % 100000000;
    fName = "kqt" + std::to_string(stamp) + "x" + std::to_string(counter++);
    fPassword = "Pw-" + fName + "-9z";
    // The account files are locked while another tool changes them: retry.
    for (int attempt = 0; attempt < 20 && !fCreated; ++attempt) {
      fCreated = Shell("useradd -m -c '" + comment + "' " + fName) == 0;
      if (!fCreated) KQ_TThread::Sleep(100);
    }
    if (fCreated) {
      fCreated = Shell("echo '" + fName + ":" + fPassword + "' | chpasswd") == 0;
    }
  }
  ~ScratchAccount() {
    for (int attempt = 0; attempt < 20; ++attempt) {
      if (Shell("userdel -r " + fName) == 0 || Shell("id " + fName) != 0) break;
      KQ_TThread::Sleep(100);
    }
  }
  ScratchAccount(ScratchAccount const&) = delete;
  ScratchAccount& operator=(ScratchAccount const&) = delete;

  bool Created() const { return fCreated; }
  std::string const& Name() const { return fName; }
  std::string const& Password() const { return fPassword; }
  KQ_TUserInfo Info() const { return KQ_TUserInfo(fName.c_str(), ""); }
  bool Run(std::string const& command) const { return Shell(command + " " + fName) == 0; }

 private:
  std::string fName;
  std::string fPassword;
  bool fCreated = false;
};

#define KQ_NEED_ROOT_()                                                    \
  do {                                                                     \
    if (!RunningAsRoot()) GTEST_SKIP() << "needs root to make an account"; \
  } while (false)

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KQ_SANITIZED_ 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define KQ_SANITIZED_ 1
#endif
#endif

// The sanitizers look up the system functions they wrap when the program
// starts. The password module loads libcrypt only later, and a sanitizer's
// crypt_r wrapper would then call nowhere; so unless libcrypt came with the
// program, passwords cannot be checked under a sanitizer.
bool PasswordChecksWork() {
#if defined(KQ_SANITIZED_)
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line)) {
    if (line.find("/libcrypt.so") != std::string::npos) return true;
  }
  return false;
#else
  return true;
#endif
}

#define KQ_NEED_PASSWORD_CHECKS_()                                                        \
  do {                                                                                    \
    KQ_NEED_ROOT_();                                                                      \
    if (!PasswordChecksWork()) GTEST_SKIP() << "libcrypt is not loaded with the program"; \
  } while (false)

// Runs body on a thread of its own, so that account switches stay there.
void OnThread(std::function<void()> const& body) {
  struct Runner : KQ_TThread {
    explicit Runner(std::function<void()> const& f) : code(f) {}
    std::int32_t Run(void*) override {
      code();
      return 1;
    }
    std::function<void()> const& code;
  };
  Runner runner(body);
  runner.Start().Join();
  ASSERT_TRUE(runner.IsFinished()) << "the body raised";
}

template <class E, class F>
bool Raises(F f) {
  try {
    f();
  } catch (E const&) {
    return true;
  }
  return false;
}

bool CanRead(char const* path) {
  std::ifstream file(path);
  return file.good();
}

TEST_F(UserInfoTest, ClassRecordAndPackingCode) {
  KQ_TClass const* record = KQ_TUserInfo::KQ_ClassObject();
  EXPECT_STREQ(record->ClassName(), "KQ_TUserInfo");
  EXPECT_STREQ(record->ParentClass()->ClassName(), "KQ_TObject");
  EXPECT_TRUE(record->Implements("KQ_IPackable"));
  EXPECT_TRUE(record->Implements("KQ_IHumanReadable"));
  EXPECT_FALSE(record->Implements("KQ_IHashable"));
  EXPECT_EQ(KQ_TDataStream::SpecificType(0x44), record);
  std::unique_ptr<KQ_TObject> made(KQ_TClass::FindClass("KQ_TUserInfo")->CreateInstance());
  auto const* user = static_cast<KQ_TUserInfo const*>(made->KQ_Cast("KQ_TUserInfo"));
  ASSERT_NE(user, nullptr);
  EXPECT_EQ(user->UserID().Length() + user->Domain().Length() + user->FullName().Length() +
                user->Description().Length(),
            0u);
  EXPECT_STREQ(KQ_ENoSuchUser::KQ_ParentClass()->ClassName(), "KQ_EUserInfoException");
  EXPECT_STREQ(KQ_ENoSuchDomain::KQ_ParentClass()->ClassName(), "KQ_EUserInfoException");
  EXPECT_STREQ(KQ_ENotLoggedOn::KQ_ParentClass()->ClassName(), "KQ_EUserInfoException");
  EXPECT_STREQ(KQ_EUserInfoException::KQ_ParentClass()->ClassName(), "KQ_EException");
}

TEST_F(UserInfoTest, EqualityIgnoresCaseAndTheDescriptiveFields) {
  KQ_TUserInfo const bob("Bob", "LAB");
  EXPECT_TRUE(bob == KQ_TUserInfo("bob", "lab"));
  EXPECT_FALSE(bob != KQ_TUserInfo("bOB", "Lab"));
  EXPECT_TRUE(bob != KQ_TUserInfo("bob", "lab2"));
  EXPECT_TRUE(bob != KQ_TUserInfo("bobby", "lab"));
  EXPECT_TRUE(bob != KQ_TUserInfo("bob", ""));
  // GetMoreInfo's fields play no part.
  KQ_TUserInfo described("root", "");
  described.GetMoreInfo();
  EXPECT_TRUE(described == KQ_TUserInfo("ROOT", described.Domain()));
  KQ_TUserInfo copy;
  copy = described;
  EXPECT_EQ(Utf8(copy.FullName()), Utf8(described.FullName()));
  EXPECT_TRUE(copy.KQ_IsIdent(described));
  EXPECT_FALSE(copy.KQ_IsIdent(KQ_TString("root")));
  // The hash adds the strings' hashes, case included.
  EXPECT_EQ(bob.KQ_HashValue(3),
            KQ_TString("Bob").KQ_HashValue(3) + KQ_TString("LAB").KQ_HashValue(3));
  EXPECT_NE(bob.KQ_HashValue(0), KQ_TUserInfo("bob", "lab").KQ_HashValue(0));
}

TEST_F(UserInfoTest, PacksTheFourStringsUnderItsCode) {
  KQ_TUserInfo original("al", "lab");
  KQ_TMemoryStream memory;
  KQ_TDataStream data(memory);
  data << original;
  std::vector<unsigned char> const bytes(memory.Data(), memory.Data() + memory.Size());
  // Code 0x44, then each string as code 0x41, its length (tag 7) and a
  // packet (tag 0x0F) of big-endian units.
  std::vector<unsigned char> const expected = {
      0x44,                                                           //
      0x41, 7, 0, 0, 0, 2, 0x0F, 0, 0, 0, 4, 0, 'a', 0, 'l',          // user id
      0x41, 7, 0, 0, 0, 3, 0x0F, 0, 0, 0, 6, 0, 'l', 0, 'a', 0, 'b',  // domain
      0x41, 7, 0, 0, 0, 0, 0x0F, 0, 0, 0, 0,                          // full name
      0x41, 7, 0, 0, 0, 0, 0x0F, 0, 0, 0, 0,                          // description
  };
  EXPECT_EQ(bytes, expected);

  KQ_TUserInfo described("root", "");
  described.GetMoreInfo();
  memory.Clear();
  data << described;
  memory.Seek(0);
  std::unique_ptr<KQ_IPackable> back(data.Extract(false));
  auto const* user = static_cast<KQ_TUserInfo const*>(back->KQ_Cast("KQ_TUserInfo"));
  ASSERT_NE(user, nullptr);
  EXPECT_EQ(Utf8(user->UserID()), "root");
  EXPECT_EQ(Utf8(user->Domain()), Utf8(described.Domain()));
  EXPECT_EQ(Utf8(user->FullName()), Utf8(described.FullName()));
  EXPECT_EQ(Utf8(user->Description()), Utf8(described.Description()));
}

std::string Written(KQ_TUserInfo const& user) {
  KQ_TMemoryStream memory;
  KQ_THumanReadableStream stream(memory);
  stream << user;
  return std::string(reinterpret_cast<char const*>(memory.Data()), memory.Size());
}

std::unique_ptr<KQ_IHumanReadable> Extracted(std::string const& text) {
  KQ_TMemoryStream memory;
  memory.Write(text.data(), static_cast<std::uint32_t>(text.size()));
  memory.Seek(0);
  KQ_THumanReadableStream stream(memory);
  return std::unique_ptr<KQ_IHumanReadable>(stream.Extract());
}

TEST_F(UserInfoTest, TextFormIsOneStringSplitAtTheFirstSeparator) {
  EXPECT_EQ(Written(KQ_TUserInfo("bob", "")), "KQ_TUserInfo { \"bob\" }");
  KQ_TUserInfo described("bob", "lab");
  EXPECT_EQ(Written(described), "KQ_TUserInfo { \"bob@lab\" }");
  EXPECT_EQ(Written(KQ_TUserInfo("", "lab")), "KQ_TUserInfo { \"@lab\" }");

  struct Case {
    char const* text;
    char const* user;
    char const* domain;
  };
  for (Case const& c :
       {Case{"KQ_TUserInfo { \"bob@lab\" } ", "bob", "lab"},
        Case{"KQ_TUserInfo {\"bob\"}", "bob", ""}, Case{"KQ_TUserInfo{ \"a@b@c\" } ", "a", "b@c"},
        Case{"KQ_TUserInfo {\n  \"@\"\n}", "", ""},
        Case{"KQ_TUserInfo { \"J\\303\\266rg@LAB\" }", "J\xC3\xB6rg", "LAB"}}) {
    SCOPED_TRACE(c.text);
    std::unique_ptr<KQ_IHumanReadable> object = Extracted(c.text);
    auto const* user = static_cast<KQ_TUserInfo const*>(object->KQ_Cast("KQ_TUserInfo"));
    ASSERT_NE(user, nullptr);
    EXPECT_EQ(Utf8(user->UserID()), c.user);
    EXPECT_EQ(Utf8(user->Domain()), c.domain);
  }
  // Reading over an object clears what the text does not carry.
  KQ_TUserInfo target("root", "");
  target.GetMoreInfo();
  KQ_TMemoryStream memory;
  std::string const text = "KQ_TUserInfo { \"x@y\" }";
  memory.Write(text.data(), static_cast<std::uint32_t>(text.size()));
  memory.Seek(0);
  KQ_THumanReadableStream stream(memory);
  stream >> target;
  EXPECT_EQ(Utf8(target.UserID()), "x");
  EXPECT_EQ(Utf8(target.Domain()), "y");
  EXPECT_EQ(target.FullName().Length() + target.Description().Length(), 0u);
  // A missing closing brace or a non-string content is malformed.
  EXPECT_THROW(Extracted("KQ_TUserInfo { \"x\" "), KQ_EException);
  EXPECT_THROW(Extracted("KQ_TUserInfo { 5 } "), KQ_EHRSyntaxError);
}

TEST_F(UserInfoTest, CurrentUserIsTheThreadsAccountInTheHostsDomain) {
  KQ_TUserInfo const current = KQ_TUserInfo::CurrentUser();
  ASSERT_NE(current.UserID().Length(), 0u);
  EXPECT_EQ(Utf8(current.Domain()), HostName());
  EXPECT_EQ(current.FullName().Length(), 0u);
  EXPECT_TRUE(KQ_TThread::CurrentUser() == current);
  EXPECT_EQ(Utf8(current.UserID()), NameOfEffectiveUser());
}

TEST_F(UserInfoTest, GetMoreInfoCompletesLocalAccountsAndRefusesOthers) {
  KQ_TUserInfo root("root", "");
  EXPECT_EQ(&root.GetMoreInfo(), &root);
  EXPECT_EQ(Utf8(root.Domain()), HostName());
  EXPECT_EQ(Utf8(root.FullName()), "root");
  EXPECT_EQ(root.Description().Length(), 0u);

  // The host name in another case is the same domain.
  KQ_TUserInfo shouted("root", KQ_TString(HostName().c_str()).ToUpper());
  shouted.GetMoreInfo();
  EXPECT_EQ(Utf8(shouted.FullName()), "root");

  // The built-in domain becomes the host, nothing else is read.
  KQ_TUserInfo builtIn("Administrators", "builtin");
  builtIn.GetMoreInfo();
  EXPECT_EQ(Utf8(builtIn.Domain()), HostName());
  EXPECT_EQ(builtIn.FullName().Length(), 0u);

  KQ_TUserInfo nobody;
  EXPECT_THROW(nobody.GetMoreInfo(), KQ_ENoSuchUser);
  for (KQ_TUserInfo user :
       {KQ_TUserInfo("no-such-account-kq", ""), KQ_TUserInfo("root", "some.other.domain")}) {
    KQ_TString const domainBefore = user.Domain();
    EXPECT_THROW(user.GetMoreInfo(), KQ_ENoSuchUser) << Utf8(user.UserID());
    EXPECT_TRUE(user.Domain() == domainBefore) << "unchanged after a failure";
    EXPECT_EQ(user.FullName().Length(), 0u);
  }
}

TEST_F(UserInfoTest, GetMoreInfoSplitsTheCommentField) {
  KQ_NEED_ROOT_();
  // Full name with a character beyond the 16-bit plane, then room, two
  // empty phone fields and a note, and a trailing empty field.
  ScratchAccount account("Zo\xC3\xAB \xF0\x9F\x98\x80 Smith,Room 7,,,tester,");
  ASSERT_TRUE(account.Created());
  KQ_TUserInfo user = account.Info();
  user.GetMoreInfo();
  EXPECT_TRUE(user.FullName() == KQ_TString(L"Zo\u00EB \U0001F600 Smith"));
  EXPECT_EQ(user.FullName().Length(), 12u) << "the emoji is a surrogate pair";
  EXPECT_EQ(Utf8(user.Description()), "Room 7,,,tester");
  EXPECT_EQ(Utf8(user.Domain()), HostName());
}

// Running a thread under another account.

TEST_F(UserInfoTest, SwitchesOnlyTheCallingThreadAndSwitchesBack) {
  KQ_NEED_PASSWORD_CHECKS_();
  ScratchAccount account("Scratch Account");
  ASSERT_TRUE(account.Created());
  ASSERT_TRUE(CanRead("/etc/shadow"));
  bool switched = false;
  OnThread([&] {
    KQ_TUserInfo const before =
        KQ_TThread::SetCurrentUser(account.Info(), account.Password().c_str());
    EXPECT_EQ(Utf8(before.UserID()), "root") << "the result is the account before";
    EXPECT_EQ(Utf8(KQ_TThread::CurrentUser().UserID()), account.Name());
    EXPECT_FALSE(CanRead("/etc/shadow")) << "the thread has the account's rights";
    // Switching again (here to the same account, with the domain given)
    // starts from the original account.
    KQ_TUserInfo const again = KQ_TThread::SetCurrentUser(
        KQ_TUserInfo(account.Name().c_str(), KQ_TString(HostName().c_str()).ToUpper()),
        account.Password().c_str());
    EXPECT_EQ(Utf8(again.UserID()), account.Name());
    switched = true;
    KQ_TUserInfo const reverted = KQ_TThread::RevertToOriginalUser();
    EXPECT_EQ(Utf8(reverted.UserID()), account.Name());
    EXPECT_EQ(Utf8(KQ_TThread::CurrentUser().UserID()), "root");
    EXPECT_TRUE(CanRead("/etc/shadow"));
    // Reverting without a switch changes nothing.
    EXPECT_EQ(Utf8(KQ_TThread::RevertToOriginalUser().UserID()), "root");
  });
  EXPECT_TRUE(switched);
  EXPECT_EQ(Utf8(KQ_TThread::CurrentUser().UserID()), "root");
}

TEST_F(UserInfoTest, OtherThreadsKeepTheirAccountWhileOneIsSwitched) {
  KQ_NEED_PASSWORD_CHECKS_();
  ScratchAccount account("Scratch Account");
  ASSERT_TRUE(account.Created());
  std::atomic<int> phase{0};
  struct Switcher : KQ_TThread {
    Switcher(ScratchAccount const& a, std::atomic<int>& p) : account(a), phase(p) {}
    std::int32_t Run(void*) override {
      KQ_TThread::SetCurrentUser(account.Info(), account.Password().c_str());
      phase = 1;
      while (phase != 2) KQ_TThread::Sleep(1);
      bool const stillSwitched = Utf8(KQ_TThread::CurrentUser().UserID()) == account.Name();
      KQ_TThread::RevertToOriginalUser();
      return stillSwitched ? 1 : 0;
    }
    ScratchAccount const& account;
    std::atomic<int>& phase;
  };
  Switcher switcher(account, phase);
  switcher.Start();
  while (phase == 0 && switcher.IsRunning()) KQ_TThread::Sleep(1);
  ASSERT_EQ(phase.load(), 1) << "the switch failed";
  EXPECT_EQ(Utf8(KQ_TThread::CurrentUser().UserID()), "root");
  EXPECT_TRUE(CanRead("/etc/shadow"));
  phase = 2;
  switcher.Join();
  EXPECT_TRUE(switcher.IsFinished());
  EXPECT_EQ(switcher.Result(), 1);
}

TEST_F(UserInfoTest, RefusesUnknownAccountsForeignDomainsAndWrongPasswords) {
  KQ_NEED_PASSWORD_CHECKS_();
  ScratchAccount account("Scratch Account");
  ASSERT_TRUE(account.Created());
  OnThread([&] {
    EXPECT_TRUE(Raises<KQ_EThreadIllegalUserOrPassword>(
        [&] { KQ_TThread::SetCurrentUser(KQ_TUserInfo("no-such-account-kq", ""), "x"); }));
    EXPECT_TRUE(Raises<KQ_EThreadIllegalUserOrPassword>([&] {
      KQ_TThread::SetCurrentUser(KQ_TUserInfo(account.Name().c_str(), "elsewhere"),
                                 account.Password().c_str());
    }));
    EXPECT_EQ(Utf8(KQ_TThread::CurrentUser().UserID()), "root");
    // A wrong password while switched leaves the thread switched.
    KQ_TThread::SetCurrentUser(account.Info(), account.Password().c_str());
    EXPECT_TRUE(Raises<KQ_EThreadIllegalUserOrPassword>(
        [&] { KQ_TThread::SetCurrentUser(account.Info(), "wrong password"); }));
    EXPECT_EQ(Utf8(KQ_TThread::CurrentUser().UserID()), account.Name());
    KQ_TThread::RevertToOriginalUser();
    EXPECT_EQ(Utf8(KQ_TThread::CurrentUser().UserID()), "root");
  });
}

TEST_F(UserInfoTest, LockedAndExpiredAccountsAreDisabled) {
  KQ_NEED_PASSWORD_CHECKS_();
  ScratchAccount locked("Locked Account");
  ScratchAccount expired("Expired Account");
  ASSERT_TRUE(locked.Created() && expired.Created());
  ASSERT_TRUE(locked.Run("usermod -L"));
  ASSERT_TRUE(expired.Run("usermod -e 1970-01-02"));
  OnThread([&] {
    EXPECT_TRUE(Raises<KQ_EThreadAccountDisabled>(
        [&] { KQ_TThread::SetCurrentUser(locked.Info(), locked.Password().c_str()); }));
    EXPECT_TRUE(Raises<KQ_EThreadAccountDisabled>(
        [&] { KQ_TThread::SetCurrentUser(expired.Info(), expired.Password().c_str()); }));
    EXPECT_EQ(Utf8(KQ_TThread::CurrentUser().UserID()), "root");
  });
}

// Without the right to change credentials a switch is refused before any
// password is checked. As root, the test runs itself again as "nobody".
TEST_F(UserInfoTest, RefusedWithoutPrivilege) {
  char const* marker = std::getenv("KQ_USERINFO_TEST_MARKER");
  if (RunningAsRoot()) {
    if (Shell("command -v setpriv") != 0) GTEST_SKIP() << "setpriv is missing";
    std::filesystem::path const self = std::filesystem::read_symlink("/proc/self/exe");
    std::string const asNobody = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
    if (Shell(asNobody + self.string() + " --gtest_list_tests") != 0) {
      GTEST_SKIP() << "the test program is out of reach of an unprivileged account";
    }
    std::filesystem::path const file =
        std::filesystem::temp_directory_path() /
        ("kq_userinfo_marker_" +
         std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    { std::ofstream create(file); }
    std::filesystem::permissions(file, std::filesystem::perms::all);
    int const status =
        Shell("KQ_USERINFO_TEST_MARKER=" + file.string() + " " + asNobody + self.string() +
              " --gtest_filter=UserInfoTest.RefusedWithoutPrivilege");
    std::ifstream in(file);
    std::string content;
    std::getline(in, content);
    std::filesystem::remove(file);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(content, "refused");
    return;
  }
  std::string const before = Utf8(KQ_TThread::CurrentUser().UserID());
  EXPECT_TRUE(Raises<KQ_EThreadNotPrivileged>(
      [] { KQ_TThread::SetCurrentUser(KQ_TUserInfo("root", ""), "whatever"); }));
  EXPECT_EQ(Utf8(KQ_TThread::CurrentUser().UserID()), before);
  // Nothing to revert.
  EXPECT_EQ(Utf8(KQ_TThread::RevertToOriginalUser().UserID()), before);
  if (marker != nullptr && !HasFailure()) std::ofstream(marker) << "refused\n";
}

}  // namespace
