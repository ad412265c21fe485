// KQ_TUserInfo: an operating-system account, named by user id and domain,
// that can be completed with the account's full name and description.
//
// On Linux the domain of an account from the machine's own account file is
// the host name; an account served by the network (NIS and the like) is in
// the machine's NIS domain, or in the host name when the machine has none.
// The full name is the first field of the account's comment (GECOS) field,
// the description the remaining fields as written.
//
// Two user infos are equal when their user ids and domains are equal
// without regard to case. The packed form is the four strings in
// declaration order; the text form is the one string "user@domain" (the
// user id alone for an empty domain).
#pragma once

#include <cstdint>

#include "kq_ihumanreadable.h"
#include "kq_ipackable.h"
#include "kq_tobject.h"
#include "kq_tstring.h"

class KQ_EXPORT KQ_TUserInfo : public KQ_TObject,
                               public virtual KQ_IPackable,
                               public virtual KQ_IHumanReadable {
  KQ_CLASS(KQ_TUserInfo, KQ_TObject, KQ_IPackable, KQ_IHumanReadable)
  // The packing code of the class.
  static constexpr unsigned char kPackingCode = 0x44;
  // The domain that names the machine's built-in groups; a user info in it
  // belongs to the machine itself.
  static constexpr char kBuiltInDomain[] = "BUILTIN";
  // Between user id and domain in the text form.
  static constexpr char kSeparator = '@';

  // Registers the class with the data stream under kPackingCode.
  static bool KQ_Initialize();

  // All four fields empty.
  KQ_TUserInfo();
  KQ_TUserInfo(KQ_TString const& userId, KQ_TString const& domain);
  KQ_TUserInfo(KQ_TUserInfo const& other);
  ~KQ_TUserInfo() override;

  // Copies all four fields.
  virtual KQ_TUserInfo& operator=(KQ_TUserInfo const& other);
  // Unpacks the user info from the stream.
  KQ_IPackable& operator=(KQ_IUnpacking& unpacker) override;

  // Completes domain, full name and description from the account database.
  // An empty domain takes the machine's (its NIS domain, else its host
  // name); a domain equal to the host name looks the account up as a local
  // one, the NIS domain as a network one. "BUILTIN" becomes the host name
  // and nothing else is read. KQ_ENoSuchUser for an empty user id, an
  // unknown account or a domain that is neither the host's nor its NIS
  // domain; KQ_ENoSuchDomain when no domain is known at all. The fields
  // stay as they were when it raises.
  virtual KQ_TUserInfo& GetMoreInfo();

  virtual KQ_TString const& UserID() const;
  virtual KQ_TString const& Domain() const;
  virtual KQ_TString const& FullName() const;
  virtual KQ_TString const& Description() const;

  // User ids and domains equal without regard to case; full name and
  // description are not compared.
  virtual bool operator==(KQ_TUserInfo const& other) const;
  virtual bool operator!=(KQ_TUserInfo const& other) const;

  // The account the calling thread runs under (its effective user), with
  // the domain as above; never raises. An account without a name in the
  // database gives an empty user id with the machine's domain.
  static KQ_TUserInfo CurrentUser();

  // The sum of the string hash values of user id and domain (case counts
  // here, unlike in operator==).
  virtual std::uint32_t KQ_HashValue(std::uint32_t seed) const;

  // User id, domain, full name, description.
  void KQ_Pack(KQ_IPacking& packer) const override;
  void KQ_Unpack(KQ_IUnpacking& unpacker) override;
  KQ_IPackable* KQ_Clone(void* where = nullptr) const override;
  // Another user info equal by operator==.
  bool KQ_IsIdent(KQ_IPackable const& other) const override;

  // One string: user id, kSeparator and domain, or the user id alone when
  // the domain is empty. Returns true.
  bool WriteTo(KQ_THumanReadableStream& stream) const override;
  // Reads one string and splits it at its first kSeparator (no separator:
  // an empty domain); full name and description become empty. Returns false:
  // the closing brace is the caller's.
  bool ReadFrom(KQ_THumanReadableStream& stream) override;
  // False: written on one line.
  bool KQ_HRMultiLine() const override;

 private:
  KQ_TString fUserID;
  KQ_TString fDomain;
  KQ_TString fFullName;
  KQ_TString fDescription;
};
