#include "kq_tuserinfo.h"

#include <string>

#include "internal/kq_tuserinfo_account.h"
#include "kq_eexception.h"
#include "kq_ipacking.h"
#include "kq_iunpacking.h"
#include "kq_tdatastream.h"
#include "kq_thumanreadablestream.h"
#include "platform/kq_sys_user.h"

namespace {

// The account database speaks UTF-8 of any length; a malformed sequence
// becomes U+FFFD.
KQ_TString FromSystem(std::string const& text) {
  std::wstring wide;
  wide.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    auto const lead = static_cast<unsigned char>(text[i]);
    std::size_t const length = lead < 0x80   ? 1
                               : lead < 0xC2 ? 0
                               : lead < 0xE0 ? 2
                               : lead < 0xF0 ? 3
                               : lead < 0xF5 ? 4
                                             : 0;
    char32_t c = length == 1   ? lead
                 : length == 2 ? lead & 0x1F
                 : length == 3 ? lead & 0x0F
                               : lead & 0x07;
    bool valid = length != 0 && i + length <= text.size();
    for (std::size_t k = 1; valid && k < length; ++k) {
      auto const next = static_cast<unsigned char>(text[i + k]);
      valid = (next & 0xC0) == 0x80;
      c = (c << 6) | (next & 0x3F);
    }
    valid = valid && !(length == 3 && c < 0x800) &&
            !(length == 4 && (c < 0x10000 || c > 0x10FFFF)) && !(c >= 0xD800 && c <= 0xDFFF);
    wide.push_back(valid ? static_cast<wchar_t>(c) : L'\uFFFD');
    i += valid ? length : 1;
  }
  return KQ_TString(wide.c_str(), static_cast<std::uint32_t>(wide.size()));
}

// Equal without regard to case.
bool SameName(KQ_TString const& a, KQ_TString const& b) { return a.CompareWith(b, true) == 0; }

// The machine's domain: its NIS domain, else its host name.
KQ_TString MachineDomain(KQ_TString const& host, KQ_TString const& nis) {
  return nis.Length() != 0 ? nis : host;
}

}  // namespace

KQ_CLASS_IMPL(KQ_TUserInfo)

bool KQ_TUserInfo::KQ_Initialize() {
  KQ_TDataStream::RegisterSpecificType(kPackingCode, KQ_ClassObject());
  return true;
}

KQ_TUserInfo::KQ_TUserInfo() = default;

KQ_TUserInfo::KQ_TUserInfo(KQ_TString const& userId, KQ_TString const& domain)
    : fUserID(userId), fDomain(domain) {}

KQ_TUserInfo::KQ_TUserInfo(KQ_TUserInfo const& other) = default;

KQ_TUserInfo::~KQ_TUserInfo() = default;

KQ_TUserInfo& KQ_TUserInfo::operator=(KQ_TUserInfo const& other) = default;

KQ_IPackable& KQ_TUserInfo::operator=(KQ_IUnpacking& unpacker) {
  return KQ_IPackable::operator=(unpacker);
}

KQ_TUserInfo& KQ_TUserInfo::GetMoreInfo() {
  if (fUserID.Length() == 0) KQ_THROW(KQ_ENoSuchUser());
  KQ_TString const host = FromSystem(kq::sys::HostName());
  KQ_TString const nis = FromSystem(kq::sys::NisDomainName());
  KQ_TString const domain = fDomain.Length() != 0 ? fDomain : MachineDomain(host, nis);
  if (domain.Length() == 0) KQ_THROW(KQ_ENoSuchDomain());
  if (SameName(domain, kBuiltInDomain)) {
    fDomain = host;
    return *this;
  }
  kq::sys::Account account;
  bool found = false;
  if (SameName(domain, host)) {
    // Without a NIS domain, network accounts live in the host's name too.
    found =
        kq::sys::AccountByName(fUserID.UTF8(), &account) && (account.local || nis.Length() == 0);
  } else if (nis.Length() != 0 && SameName(domain, nis)) {
    found = kq::sys::AccountByName(fUserID.UTF8(), &account) && !account.local;
  }
  if (!found) KQ_THROW(KQ_ENoSuchUser());
  KQ_TString fullName = FromSystem(account.fullName);
  KQ_TString description = FromSystem(account.description);
  fDomain = domain;
  fFullName = fullName;
  fDescription = description;
  return *this;
}

KQ_TString const& KQ_TUserInfo::UserID() const { return fUserID; }
KQ_TString const& KQ_TUserInfo::Domain() const { return fDomain; }
KQ_TString const& KQ_TUserInfo::FullName() const { return fFullName; }
KQ_TString const& KQ_TUserInfo::Description() const { return fDescription; }

bool KQ_TUserInfo::operator==(KQ_TUserInfo const& other) const {
  return SameName(fUserID, other.fUserID) && SameName(fDomain, other.fDomain);
}

bool KQ_TUserInfo::operator!=(KQ_TUserInfo const& other) const { return !(*this == other); }

KQ_TUserInfo KQ_TUserInfo::CurrentUser() {
  KQ_TUserInfo result;
  if (!kq::UserOfId(kq::sys::ThreadUserId(), &result)) {
    result.fDomain =
        MachineDomain(FromSystem(kq::sys::HostName()), FromSystem(kq::sys::NisDomainName()));
  }
  return result;
}

bool kq::UserOfId(std::uint32_t userId, KQ_TUserInfo* user) {
  kq::sys::Account account;
  if (!kq::sys::AccountById(userId, &account)) return false;
  KQ_TString const host = FromSystem(kq::sys::HostName());
  KQ_TString const domain =
      account.local ? host : MachineDomain(host, FromSystem(kq::sys::NisDomainName()));
  *user = KQ_TUserInfo(FromSystem(account.name), domain);
  return true;
}

std::uint32_t KQ_TUserInfo::KQ_HashValue(std::uint32_t seed) const {
  return fUserID.KQ_HashValue(seed) + fDomain.KQ_HashValue(seed);
}

void KQ_TUserInfo::KQ_Pack(KQ_IPacking& packer) const {
  packer << fUserID << fDomain << fFullName << fDescription;
}

void KQ_TUserInfo::KQ_Unpack(KQ_IUnpacking& unpacker) {
  unpacker >> fUserID >> fDomain >> fFullName >> fDescription;
}

KQ_IPackable* KQ_TUserInfo::KQ_Clone(void*) const { return new KQ_TUserInfo(*this); }

bool KQ_TUserInfo::KQ_IsIdent(KQ_IPackable const& other) const {
  auto const* user = static_cast<KQ_TUserInfo const*>(other.KQ_Cast("KQ_TUserInfo"));
  return user != nullptr && *this == *user;
}

bool KQ_TUserInfo::WriteTo(KQ_THumanReadableStream& stream) const {
  KQ_TString text = fUserID;
  if (fDomain.Length() != 0) {
    text += kSeparator;
    text += fDomain;
  }
  stream << static_cast<KQ_IHumanReadable const&>(text);
  return true;
}

bool KQ_TUserInfo::ReadFrom(KQ_THumanReadableStream& stream) {
  KQ_TString text;
  stream >> static_cast<KQ_IHumanReadable&>(text);
  std::int32_t const at = text.Find(kSeparator);
  if (at < 0) {
    fUserID = text;
    fDomain = KQ_TString();
  } else {
    fUserID = text.Substring(0, at);
    fDomain = text.Substring(at + 1);
  }
  fFullName = KQ_TString();
  fDescription = KQ_TString();
  return false;
}

bool KQ_TUserInfo::KQ_HRMultiLine() const { return false; }
