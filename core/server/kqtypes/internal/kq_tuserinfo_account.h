// The account of a user id as a KQ_TUserInfo, for the classes that meet user
// ids (the owners of files): the account name, in the domain that
// KQ_TUserInfo::CurrentUser gives it.
#pragma once

#include <cstdint>

#include "kq_tuserinfo.h"

namespace kq {

// False, with user unchanged, when no account has the id. Never raises for
// want of an account; it reads the account database on every call.
bool UserOfId(std::uint32_t userId, KQ_TUserInfo* user);

}  // namespace kq
