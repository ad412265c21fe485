// Accounts under KQ_TUserInfo and KQ_TThread: the account database, the
// machine's names, and running the calling thread under another account.
//
// Texts are UTF-8.
#pragma once

#include <cstdint>
#include <string>

#include "kq_types.h"

namespace kq::sys {

struct Account {
  std::string name;
  // The first field of the account's comment (GECOS) field.
  std::string fullName;
  // The comment's remaining fields as written, separators included, without
  // trailing empty fields.
  std::string description;
  std::uint32_t userId = 0;
  std::uint32_t groupId = 0;
  // True when the account comes from the machine's own account file rather
  // than from a network service.
  bool local = false;
};

// The account of a user id or name; false when there is none.
bool AccountById(std::uint32_t userId, Account* account);
bool AccountByName(char const* name, Account* account);
// The effective user id of the calling thread (not of the process: a thread
// may run under another account, see SwitchThreadUser).
std::uint32_t ThreadUserId() noexcept;

// The machine's host name, and its NIS domain; empty when there is none.
std::string HostName();
std::string NisDomainName();

enum class SwitchResult {
  kSwitched,
  // Unknown account or wrong password.
  kIllegalUserOrPassword,
  // A locked or expired account, or a right password for an account that
  // may not log on now (its password must be changed, access rules).
  kAccountDisabled,
  // The calling thread may not change its credentials.
  kNotPrivileged,
};

// Checks the password of the named account with the system's
// authentication service and lets the calling thread, and no other, run
// under the account: its user and group ids and supplementary groups.
// The thread keeps the privilege to switch back (RevertThreadUser). A thread
// that runs under another account already switches back first, and stays
// under that account when the new switch fails. The password text is not
// kept.
SwitchResult SwitchThreadUser(char const* name, char const* password);
// Gives the calling thread the credentials it had before its first switch;
// true also when it has not switched. False when the system refuses.
bool RevertThreadUser() noexcept;

}  // namespace kq::sys
