// Accounts on Linux: the name service (getpwnam_r and friends) and
// /etc/passwd for telling local accounts from network ones, PAM for
// passwords, and per-thread credentials.
//
// Credentials belong to each thread in the kernel; the C library's setuid
// family changes them in every thread of the process at once. Switching one
// thread therefore uses the raw system calls. A switched thread keeps its
// previous saved user id (normally 0), which lets it switch back; its
// effective capabilities are gone while it runs under the other account.
//
// The PAM service is "kqtypes"; a system without /etc/pam.d/kqtypes uses its
// "other" service. The modules' own policy applies, including their delay
// after a wrong password.
#include "kq_sys_user.h"

#include <grp.h>
#include <linux/capability.h>
#include <pwd.h>
#include <shadow.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "kq_sys_errno_posix.h"

#if KQ_HAVE_PAM
#include <security/pam_appl.h>
#endif

namespace {

using kq::sys::SwitchResult;

// The lookups keep the caller's pending error: they set errno on their way
// even when they succeed.
using kq::sys::ErrnoKeeper;

// Calls lookup(record, buffer, size, &result) with a buffer that grows while
// the record does not fit; true when a record was found.
template <class Record, class Lookup>
bool LookUp(Record* record, std::vector<char>* buffer, Lookup lookup) {
  buffer->resize(1024);
  for (;;) {
    Record* result = nullptr;
    int const error = lookup(record, buffer->data(), buffer->size(), &result);
    if (error == ERANGE && buffer->size() < (std::size_t{1} << 20)) {
      buffer->resize(buffer->size() * 2);
      continue;
    }
    return error == 0 && result != nullptr;
  }
}

bool InLocalFile(char const* name) {
  std::FILE* file = std::fopen("/etc/passwd", "re");
  if (file == nullptr) return false;
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* result = nullptr;
  bool found = false;
  while (!found && fgetpwent_r(file, &entry, buffer.data(), buffer.size(), &result) == 0) {
    found = std::strcmp(result->pw_name, name) == 0;
  }
  std::fclose(file);
  return found;
}

void Fill(passwd const& entry, kq::sys::Account* account) {
  account->name = entry.pw_name;
  std::string const comment = entry.pw_gecos != nullptr ? entry.pw_gecos : "";
  std::size_t const comma = comment.find(',');
  account->fullName = comment.substr(0, comma);
  account->description.clear();
  if (comma != std::string::npos) {
    account->description = comment.substr(comma + 1);
    std::size_t const end = account->description.find_last_not_of(',');
    account->description.resize(end == std::string::npos ? 0 : end + 1);
  }
  account->userId = entry.pw_uid;
  account->groupId = entry.pw_gid;
  account->local = InLocalFile(entry.pw_name);
}

struct Credentials {
  uid_t realUser, effectiveUser, savedUser;
  gid_t realGroup, effectiveGroup, savedGroup;
  std::vector<gid_t> groups;
};

bool ReadCredentials(Credentials* c) {
  if (syscall(SYS_getresuid, &c->realUser, &c->effectiveUser, &c->savedUser) != 0) return false;
  if (syscall(SYS_getresgid, &c->realGroup, &c->effectiveGroup, &c->savedGroup) != 0) return false;
  long const count = syscall(SYS_getgroups, 0, nullptr);
  if (count < 0) return false;
  c->groups.resize(static_cast<std::size_t>(count));
  return syscall(SYS_getgroups, count, c->groups.data()) == count;
}

// Towards fewer privileges: groups and group ids while the user ids still
// allow it, then the user ids.
bool Lower(Credentials const& c) {
  return syscall(SYS_setgroups, c.groups.size(), c.groups.data()) == 0 &&
         syscall(SYS_setresgid, c.realGroup, c.effectiveGroup, c.savedGroup) == 0 &&
         syscall(SYS_setresuid, c.realUser, c.effectiveUser, c.savedUser) == 0;
}

// Back towards the privileged credentials: the user ids first, which
// restores the capabilities needed for the rest.
bool Raise(Credentials const& c) {
  return syscall(SYS_setresuid, c.realUser, c.effectiveUser, c.savedUser) == 0 &&
         syscall(SYS_setresgid, c.realGroup, c.effectiveGroup, c.savedGroup) == 0 &&
         syscall(SYS_setgroups, c.groups.size(), c.groups.data()) == 0;
}

// Whether the calling thread may set other user and group ids.
bool MaySwitch() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
  if (syscall(SYS_capget, &header, data) != 0) return false;
  std::uint32_t const needed = (1u << CAP_SETUID) | (1u << CAP_SETGID);
  return (data[0].effective & needed) == needed;
}

bool GroupsOf(char const* name, gid_t group, std::vector<gid_t>* groups) {
  int count = 32;
  for (int attempt = 0; attempt < 8; ++attempt) {
    groups->resize(static_cast<std::size_t>(count));
    int found = count;
    if (getgrouplist(name, group, groups->data(), &found) >= 0) {
      groups->resize(static_cast<std::size_t>(found));
      return true;
    }
    count = found > count ? found : count * 2;
  }
  return false;
}

#if KQ_HAVE_PAM

// A locked password or an expired account, as the shadow file says (only
// readable with privileges).
bool ShadowSaysDisabled(char const* name) {
  spwd entry{};
  std::vector<char> buffer;
  if (!LookUp(&entry, &buffer, [name](spwd* r, char* b, std::size_t n, spwd** out) {
        return getspnam_r(name, r, b, n, out);
      })) {
    return false;
  }
  if (entry.sp_pwdp != nullptr && entry.sp_pwdp[0] == '!') return true;
  long const today = static_cast<long>(std::time(nullptr) / 86400);
  return entry.sp_expire >= 0 && today >= entry.sp_expire;
}

struct Conversation {
  char const* name;
  char const* password;
};

void FreeResponses(pam_response* responses, int count) {
  for (int i = 0; i < count; ++i) {
    if (responses[i].resp != nullptr) {
      std::memset(responses[i].resp, 0, std::strlen(responses[i].resp));
      std::free(responses[i].resp);
    }
  }
  std::free(responses);
}

// Answers password prompts with the password and other prompts with the
// account name; messages for the user are dropped.
int Converse(int count, pam_message const** messages, pam_response** responses, void* data) {
  if (count <= 0 || count > PAM_MAX_NUM_MSG) return PAM_CONV_ERR;
  auto const* conversation = static_cast<Conversation const*>(data);
  auto* answers = static_cast<pam_response*>(std::calloc(count, sizeof(pam_response)));
  if (answers == nullptr) return PAM_BUF_ERR;
  for (int i = 0; i < count; ++i) {
    char const* answer = nullptr;
    switch (messages[i]->msg_style) {
      case PAM_PROMPT_ECHO_OFF:
        answer = conversation->password;
        break;
      case PAM_PROMPT_ECHO_ON:
        answer = conversation->name;
        break;
      case PAM_ERROR_MSG:
      case PAM_TEXT_INFO:
        continue;
      default:
        FreeResponses(answers, count);
        return PAM_CONV_ERR;
    }
    answers[i].resp = strdup(answer);
    if (answers[i].resp == nullptr) {
      FreeResponses(answers, count);
      return PAM_BUF_ERR;
    }
  }
  *responses = answers;
  return PAM_SUCCESS;
}

SwitchResult Authenticate(char const* name, char const* password) {
  Conversation conversation{name, password};
  pam_conv const conv{&Converse, &conversation};
  pam_handle_t* handle = nullptr;
  if (pam_start("kqtypes", name, &conv, &handle) != PAM_SUCCESS) {
    return SwitchResult::kIllegalUserOrPassword;
  }
  int const flags = PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK;
  int status = pam_authenticate(handle, flags);
  SwitchResult result = SwitchResult::kSwitched;
  if (status != PAM_SUCCESS) {
    result = ShadowSaysDisabled(name) ? SwitchResult::kAccountDisabled
                                      : SwitchResult::kIllegalUserOrPassword;
  } else {
    // The password is right; a refusal now is the account's (expired,
    // locked, restricted), whatever code the service stack turns it into.
    status = pam_acct_mgmt(handle, flags);
    if (status != PAM_SUCCESS) result = SwitchResult::kAccountDisabled;
  }
  pam_end(handle, status);
  return result;
}

#else

// Without an authentication service no password can be checked.
SwitchResult Authenticate(char const*, char const*) { return SwitchResult::kNotPrivileged; }

#endif

// The credentials the thread had before its first switch.
struct SwitchState {
  bool active = false;
  Credentials original{};
};
thread_local SwitchState tSwitch;

SwitchResult SwitchTo(char const* name, char const* password) {
  passwd entry{};
  std::vector<char> buffer;
  if (name == nullptr || name[0] == '\0' ||
      !LookUp(&entry, &buffer, [name](passwd* r, char* b, std::size_t n, passwd** out) {
        return getpwnam_r(name, r, b, n, out);
      })) {
    return SwitchResult::kIllegalUserOrPassword;
  }
  Credentials target{};
  target.realUser = target.effectiveUser = entry.pw_uid;
  target.realGroup = target.effectiveGroup = entry.pw_gid;
  if (!GroupsOf(entry.pw_name, entry.pw_gid, &target.groups)) {
    return SwitchResult::kIllegalUserOrPassword;
  }
  Credentials current{};
  if (!ReadCredentials(&current)) return SwitchResult::kNotPrivileged;
  bool const same =
      current.realUser == target.realUser && current.effectiveUser == target.effectiveUser &&
      current.realGroup == target.realGroup && current.effectiveGroup == target.effectiveGroup;
  if (!same && !MaySwitch()) return SwitchResult::kNotPrivileged;
  SwitchResult const checked = Authenticate(entry.pw_name, password);
  if (checked != SwitchResult::kSwitched || same) return checked;
  target.savedUser = current.savedUser;
  target.savedGroup = current.savedGroup;
  if (!Lower(target)) {
    Raise(current);
    return SwitchResult::kNotPrivileged;
  }
  tSwitch.original = current;
  tSwitch.active = true;
  return SwitchResult::kSwitched;
}

}  // namespace

namespace kq::sys {

bool AccountById(std::uint32_t userId, Account* account) {
  ErrnoKeeper const keeper;
  passwd entry{};
  std::vector<char> buffer;
  if (!LookUp(&entry, &buffer, [userId](passwd* r, char* b, std::size_t n, passwd** out) {
        return getpwuid_r(static_cast<uid_t>(userId), r, b, n, out);
      })) {
    return false;
  }
  Fill(entry, account);
  return true;
}

bool AccountByName(char const* name, Account* account) {
  ErrnoKeeper const keeper;
  if (name == nullptr || name[0] == '\0') return false;
  passwd entry{};
  std::vector<char> buffer;
  if (!LookUp(&entry, &buffer, [name](passwd* r, char* b, std::size_t n, passwd** out) {
        return getpwnam_r(name, r, b, n, out);
      })) {
    return false;
  }
  Fill(entry, account);
  return true;
}

std::uint32_t ThreadUserId() noexcept { return static_cast<std::uint32_t>(syscall(SYS_geteuid)); }

std::string HostName() {
  utsname names{};
  return uname(&names) == 0 ? std::string(names.nodename) : std::string();
}

std::string NisDomainName() {
  utsname names{};
  if (uname(&names) != 0) return std::string();
  std::string const domain = names.domainname;
  return domain == "(none)" ? std::string() : domain;
}

SwitchResult SwitchThreadUser(char const* name, char const* password) {
  ErrnoKeeper const keeper;
  Credentials previous{};
  bool const wasSwitched = tSwitch.active;
  if (wasSwitched) {
    if (!ReadCredentials(&previous) || !Raise(tSwitch.original))
      return SwitchResult::kNotPrivileged;
    tSwitch.active = false;
  }
  SwitchResult const result = SwitchTo(name, password);
  if (result != SwitchResult::kSwitched && wasSwitched && Lower(previous)) tSwitch.active = true;
  return result;
}

bool RevertThreadUser() noexcept {
  ErrnoKeeper const keeper;
  if (!tSwitch.active) return true;
  if (!Raise(tSwitch.original)) return false;
  tSwitch.active = false;
  return true;
}

}  // namespace kq::sys
