#include "kq_tfileinfo.h"

#include <cmath>
#include <ctime>
#include <string>
#include <unordered_map>

#include "internal/kq_file_support.h"
#include "internal/kq_mount_table.h"
#include "internal/kq_tuserinfo_account.h"
#include "kq_eexception.h"
#include "kq_ipacking.h"
#include "kq_iunpacking.h"
#include "kq_tdatastream.h"
#include "kq_thumanreadablestream.h"
#include "pathbridge.h"
#include "platform/kq_sys_file.h"
#include "platform/kq_sys_time.h"

namespace {

// Set once by KQ_Initialize, read afterwards.
bool gUseUTCTimestamps = false;

constexpr char kDirectoryWord[] = "DIR";
constexpr char kFileWord[] = "FILE";
constexpr char kOwnerWord[] = "OWNER";

// The owners of one listing: each account is read once.
class OwnerCache {
 public:
  KQ_TUserInfo const& Of(std::uint32_t userId) {
    auto found = fOwners.find(userId);
    if (found == fOwners.end()) {
      KQ_TUserInfo owner;
      kq::UserOfId(userId, &owner);
      found = fOwners.emplace(userId, owner).first;
    }
    return found->second;
  }

 private:
  std::unordered_map<std::uint32_t, KQ_TUserInfo> fOwners;
};

// The times of the look-up by URL and of listings: to the millisecond, as
// UTC or through the local calendar fields (see the header); KQ_EIllegalTime
// for a time that no KQ_TTime holds. The round trip through the local fields
// costs a dozen calendar conversions, and the entries of a directory often
// share their seconds (each file its three times), so the seconds met last
// are kept, in slots by their low bits.
class ListedTimes {
 public:
  KQ_TTime operator()(kq::sys::FileTime const& time) {
    std::uint32_t const micros = time.nanoseconds / 1000000 * 1000;
    KQ_TTime result(time.seconds);
    if (!gUseUTCTimestamps) {
      Slot& slot = fSlots[static_cast<std::uint64_t>(time.seconds) % kSlots];
      if (!slot.used || slot.seconds != time.seconds) {
        slot = Slot{true, time.seconds, ThroughLocalFields(time.seconds)};
      }
      result = KQ_TTime(slot.local, 0u);
    }
    return result.SetMicros(micros);
  }

 private:
  static constexpr std::size_t kSlots = 64;
  struct Slot {
    bool used;
    std::int64_t seconds;
    std::uint32_t local;
  };

  static std::uint32_t ThroughLocalFields(std::int64_t seconds) {
    std::tm fields{};
    if (!kq::sys::LocalFields(seconds, &fields)) KQ_THROW(KQ_EIllegalTime());
    return KQ_TTime(static_cast<std::int16_t>(fields.tm_year + 1900),
                    static_cast<std::uint8_t>(fields.tm_mon + 1),
                    static_cast<std::uint8_t>(fields.tm_mday),
                    static_cast<std::uint8_t>(fields.tm_hour),
                    static_cast<std::uint8_t>(fields.tm_min),
                    static_cast<std::uint8_t>(fields.tm_sec), 0)
        .Seconds();
  }

  Slot fSlots[kSlots] = {};
};

// A time of the look-up by local name: whole seconds.
KQ_TTime StatusTime(kq::sys::FileTime const& time) { return KQ_TTime(time.seconds); }

// Sets the three times of info from status by convert; when one of them is
// no KQ_TTime, all three are 2 January 1970, 01:01:01 local time.
template <class Convert>
void TakeTimes(KQ_TFileInfo& info, kq::sys::FileStatus const& status, Convert&& convert) {
  try {
    KQ_TTime const access = convert(status.access);
    KQ_TTime const modification = convert(status.modification);
    KQ_TTime const creation = convert(status.creation);
    info.SetAccessTime(access).SetModificationTime(modification).SetCreationTime(creation);
  } catch (KQ_EIllegalTime const&) {
    KQ_TTime const early(1970, 1, 2, 1, 1, 1, 0);
    info.SetAccessTime(early).SetModificationTime(early).SetCreationTime(early);
  }
}

// Type, size and owner (none without owners).
void TakeKind(KQ_TFileInfo& info, kq::sys::FileStatus const& status, OwnerCache* owners) {
  info.SetType(status.directory ? KQ_TFileInfo::kDirectory : KQ_TFileInfo::kFile);
  info.SetSize(status.directory ? 0.0 : static_cast<double>(status.size));
  info.SetOwner(owners != nullptr ? owners->Of(status.owner) : KQ_TUserInfo());
}

// An entry as the look-up by URL and the listings describe it.
void TakeEntry(KQ_TFileInfo& info, kq::sys::FileStatus const& status, std::string const& name,
               OwnerCache* owners, ListedTimes& times) {
  TakeKind(info, status, owners);
  TakeTimes(info, status, times);
  info.SetFileType(!name.empty() && name[0] == '.' ? KQ_TFileInfo::kHidden : "");
}

// The URLs of the entries of a directory: the directory's URL + name, kept
// in one object whose path alone changes from entry to entry.
class ChildURL {
 public:
  explicit ChildURL(KQ_TURL const& directory)
      : fChild(directory), fBase(directory.Path().Length() == 0 ? "" : directory.Path() + "/") {}
  KQ_TURL const& Of(std::string const& name) {
    return fChild.SetPath(fBase + kq::FromFileSystem(name));
  }

 private:
  KQ_TURL fChild;
  KQ_TString const fBase;
};

// Appends a copy of object to list, cloning it once.
void AppendObject(KQ_TList& list, KQ_IPackable const& object) {
  KQ_TAny value(object);
  list.Add(KQ_TAny())->Value().Swap(value);
}

// The local name of url, or false when it has none (another protocol, a
// changed medium) or none the system can open.
bool LocalBytes(KQ_TURL const& url, std::string* bytes) {
  try {
    return kq::FileSystemName(url.LocalName(), bytes);
  } catch (KQ_EURLException const&) {
    return false;
  }
}

// Hands the entries of the directory that info describes to visit;
// KQ_ENotADirectory when it is none or cannot be read.
void ListEntries(KQ_TFileInfo const& info, bool withStatus,
                 kq::sys::DirectoryVisitor const& visit) {
  if (info.Type() != KQ_TFileInfo::kDirectory) KQ_THROW_FILE_FAULT(KQ_ENotADirectory, info.URL());
  std::string bytes;
  if (!kq::FileSystemName(info.LocalName(), &bytes) ||
      !kq::sys::ReadDirectory(bytes.c_str(), withStatus, visit)) {
    KQ_THROW_SYSTEM_ERROR(KQ_ENotADirectory, info.URL());
  }
}

// act(the bytes of a local name, or of a URL's local name); false when there
// are none.
bool OnName(KQ_TString const& name, bool (*act)(char const*) noexcept) {
  std::string bytes;
  return kq::FileSystemName(name, &bytes) && act(bytes.c_str());
}

bool OnName(KQ_TURL const& url, bool (*act)(char const*) noexcept) {
  std::string bytes;
  return LocalBytes(url, &bytes) && act(bytes.c_str());
}

// The next word of letters, for the text form.
KQ_TString ReadWord(KQ_THumanReadableStream& stream) {
  static KQ_TString const letters("ABCDEFGHIJKLMNOPQRSTUVWXYZ");
  stream.SkipWhiteSpace();
  return stream.ReadSpan(letters);
}

}  // namespace

KQ_CLASS_IMPL(KQ_TFileInfo)

bool KQ_TFileInfo::KQ_Initialize() {
  gUseUTCTimestamps = getenv_utf8("KQ_USE_UTC_TIMESTAMPS") != nullptr;
  KQ_TDataStream::RegisterSpecificType(kPackingCode, KQ_ClassObject());
  return true;
}

bool KQ_TFileInfo::UsesUTCTimestamps() { return gUseUTCTimestamps; }

KQ_TFileInfo::KQ_TFileInfo()
    : fType(kFile),
      fSize(0),
      fAccessTime(0u, 0u),
      fModificationTime(0u, 0u),
      fCreationTime(0u, 0u) {}

KQ_TFileInfo::KQ_TFileInfo(KQ_TFileInfo const& other) = default;

KQ_TFileInfo::KQ_TFileInfo(KQ_TURL const& url, bool skipOwner) : KQ_TFileInfo() {
  Lookup(url, skipOwner);
}

KQ_TFileInfo::KQ_TFileInfo(KQ_TString const& name, bool skipOwner) : KQ_TFileInfo() {
  Lookup(name, skipOwner);
}

KQ_TFileInfo::KQ_TFileInfo(KQ_TString const& directory, KQ_TString const& name, bool skipOwner)
    : KQ_TFileInfo() {
  bool const joined = directory.Length() == 0 || directory[-1] == '/';
  Lookup(joined ? directory + name : directory + "/" + name, skipOwner);
}

KQ_TFileInfo::~KQ_TFileInfo() = default;

KQ_TFileInfo& KQ_TFileInfo::operator=(KQ_TFileInfo const& other) = default;

KQ_TFileInfo& KQ_TFileInfo::operator=(KQ_TString const& name) { return Lookup(name, false); }

KQ_TFileInfo& KQ_TFileInfo::operator=(KQ_TURL const& url) { return Lookup(url, false); }

KQ_IPackable& KQ_TFileInfo::operator=(KQ_IUnpacking& unpacker) {
  return KQ_IPackable::operator=(unpacker);
}

KQ_TFileInfo& KQ_TFileInfo::Lookup(KQ_TString const& name, bool skipOwner) {
  KQ_TFileInfo found(*this);
  KQ_TString local = name;
  if (name.Substring(0, 5) == "file:") {
    found.fURL = KQ_TURL(name);
    local = found.fURL.LocalName();
  } else {
    found.fURL = KQ_TURL::LocalToURL(name);
  }
  std::string bytes;
  kq::sys::FileStatus status;
  if (!kq::FileSystemName(local, &bytes) || !kq::sys::PathStatus(bytes.c_str(), true, &status)) {
    KQ_THROW_SYSTEM_ERROR(KQ_ECouldNotGetFileInfo, name);
  }
  OwnerCache owners;
  TakeKind(found, status, skipOwner ? nullptr : &owners);
  TakeTimes(found, status, StatusTime);
  return *this = found;
}

KQ_TFileInfo& KQ_TFileInfo::Lookup(KQ_TURL const& url, bool skipOwner) {
  KQ_TFileInfo found(*this);
  found.fURL = url;
  std::string bytes;
  if (!kq::FileSystemName(url.LocalName(), &bytes)) {
    KQ_THROW_SYSTEM_ERROR(KQ_ECouldNotGetFileInfo, url);
  }
  if (bytes == "/") {
    // The root has no entry of its own to describe; it must be readable.
    if (!kq::sys::ReadDirectory(bytes.c_str(), false, [](std::string const&, auto) {})) {
      KQ_THROW_SYSTEM_ERROR(KQ_ECouldNotGetFileInfo, url);
    }
    found.fType = kDirectory;
    found.fSize = 0;
    found.fOwner = KQ_TUserInfo();
    found.fAccessTime = found.fModificationTime = found.fCreationTime = KQ_TTime();
    return *this = found;
  }
  kq::sys::FileStatus status;
  if (!kq::sys::PathStatus(bytes.c_str(), false, &status)) {
    KQ_THROW_SYSTEM_ERROR(KQ_ECouldNotGetFileInfo, url);
  }
  OwnerCache owners;
  ListedTimes times;
  TakeEntry(found, status, bytes.substr(bytes.rfind('/') + 1), skipOwner ? nullptr : &owners,
            times);
  return *this = found;
}

bool KQ_TFileInfo::operator==(KQ_TFileInfo const& other) const {
  return fType == other.fType && fURL == other.fURL && fOwner == other.fOwner &&
         fSize == other.fSize && fAccessTime == other.fAccessTime &&
         fModificationTime == other.fModificationTime && fCreationTime == other.fCreationTime &&
         fFileType == other.fFileType;
}

bool KQ_TFileInfo::operator!=(KQ_TFileInfo const& other) const { return !(*this == other); }

std::uint32_t KQ_TFileInfo::SmartID() const {
  KQ_TInterval const age = fModificationTime - KQ_TTime(0u, 0u);
  std::uint64_t const seconds = static_cast<std::uint32_t>(age.Seconds());
  // The size as the unsigned 32 bits of its whole number; a size that is no
  // number counts as 0.
  double rounded = std::isfinite(fSize) ? std::fmod(std::round(fSize), 4294967296.0) : 0.0;
  if (rounded < 0) rounded += 4294967296.0;
  std::uint64_t const size = static_cast<std::uint32_t>(rounded);
  return static_cast<std::uint32_t>((seconds + size % 1000000) % 999999999);
}

KQ_TFileInfo::TType KQ_TFileInfo::Type() const { return fType; }
KQ_TURL const& KQ_TFileInfo::URL() const { return fURL; }
KQ_TString KQ_TFileInfo::LocalName() const { return fURL.LocalName(); }
KQ_TUserInfo const& KQ_TFileInfo::Owner() const { return fOwner; }
double KQ_TFileInfo::Size() const { return fSize; }
KQ_TTime const& KQ_TFileInfo::AccessTime() const { return fAccessTime; }
KQ_TTime const& KQ_TFileInfo::ModificationTime() const { return fModificationTime; }
KQ_TTime const& KQ_TFileInfo::CreationTime() const { return fCreationTime; }
KQ_TString const& KQ_TFileInfo::FileType() const { return fFileType; }

KQ_TList& KQ_TFileInfo::Children(KQ_TList& list) const {
  ChildURL child(fURL);
  ListEntries(*this, false, [&](std::string const& name, kq::sys::FileStatus const*) {
    AppendObject(list, child.Of(name));
  });
  return list;
}

KQ_TList KQ_TFileInfo::Children() const {
  KQ_TList list;
  Children(list);
  return list;
}

KQ_TList& KQ_TFileInfo::ChildrenInfo(KQ_TList& list, bool skipOwners) const {
  OwnerCache owners;
  ListedTimes times;
  ChildURL child(fURL);
  KQ_TFileInfo info;
  ListEntries(*this, true, [&](std::string const& name, kq::sys::FileStatus const* status) {
    info.fURL = child.Of(name);
    TakeEntry(info, *status, name, skipOwners ? nullptr : &owners, times);
    AppendObject(list, info);
  });
  return list;
}

KQ_TList KQ_TFileInfo::ChildrenInfo(bool skipOwners) const {
  KQ_TList list;
  ChildrenInfo(list, skipOwners);
  return list;
}

KQ_TFileInfo& KQ_TFileInfo::SetType(TType type) { return Set(fType, type); }
KQ_TFileInfo& KQ_TFileInfo::SetURL(KQ_TURL const& url) { return Set(fURL, url); }
KQ_TFileInfo& KQ_TFileInfo::SetOwner(KQ_TUserInfo const& owner) { return Set(fOwner, owner); }
KQ_TFileInfo& KQ_TFileInfo::SetSize(double size) { return Set(fSize, size); }
KQ_TFileInfo& KQ_TFileInfo::SetAccessTime(KQ_TTime const& time) { return Set(fAccessTime, time); }
KQ_TFileInfo& KQ_TFileInfo::SetModificationTime(KQ_TTime const& time) {
  return Set(fModificationTime, time);
}
KQ_TFileInfo& KQ_TFileInfo::SetCreationTime(KQ_TTime const& time) {
  return Set(fCreationTime, time);
}
KQ_TFileInfo& KQ_TFileInfo::SetFileType(KQ_TString const& fileType) {
  return Set(fFileType, fileType);
}

bool KQ_TFileInfo::Remove(bool recursive) const {
  std::string bytes;
  if (!LocalBytes(fURL, &bytes)) return false;
  if (fType != kDirectory) return kq::sys::RemoveFile(bytes.c_str());
  if (!recursive) return rmdir_utf8(bytes.c_str()) == 0;
  std::string unlisted;
  switch (kq::sys::RemoveTree(bytes.c_str(), &unlisted)) {
    case kq::sys::TreeRemoval::kRemoved:
      return true;
    case kq::sys::TreeRemoval::kNotRemoved:
      return false;
    case kq::sys::TreeRemoval::kNotListed:
      break;
  }
  KQ_THROW_SYSTEM_ERROR(KQ_ENotADirectory,
                        unlisted.empty() ? fURL : fURL + kq::FromFileSystem(unlisted));
}

bool KQ_TFileInfo::Exists(KQ_TString const& name) { return OnName(name, kq::sys::PathExists); }
bool KQ_TFileInfo::Exists(KQ_TURL const& url) { return OnName(url, kq::sys::PathExists); }
bool KQ_TFileInfo::CreateDir(KQ_TString const& name) {
  return OnName(name, kq::sys::MakeDirectory);
}
bool KQ_TFileInfo::CreateDir(KQ_TURL const& url) { return OnName(url, kq::sys::MakeDirectory); }

KQ_TString KQ_TFileInfo::FullPath(KQ_TString const& name) {
  return kq::FromFileSystem(kq::AbsolutePath(name.ToUTF8(KQ_TString::UTF8Rule::kBytes)));
}

KQ_TURL KQ_TFileInfo::FullPath(KQ_TURL const& url) {
  return KQ_TURL::LocalToURL(FullPath(url.LocalName()));
}

void KQ_TFileInfo::KQ_Pack(KQ_IPacking& packer) const {
  packer << static_cast<std::uint8_t>(fType) << fURL << fOwner << fSize << fAccessTime
         << fModificationTime << fCreationTime << fFileType;
}

void KQ_TFileInfo::KQ_Unpack(KQ_IUnpacking& unpacker) {
  std::uint8_t type = 0;
  KQ_TFileInfo read;
  unpacker >> type >> read.fURL >> read.fOwner >> read.fSize >> read.fAccessTime >>
      read.fModificationTime >> read.fCreationTime >> read.fFileType;
  if (type > kFile) {
    kq::sys::SetLastError(0);  // bad data, not the system's failure
    KQ_THROW(KQ_EWrongPackedType());
  }
  read.fType = static_cast<TType>(type);
  *this = read;
}

KQ_IPackable* KQ_TFileInfo::KQ_Clone(void*) const { return new KQ_TFileInfo(*this); }

bool KQ_TFileInfo::KQ_IsIdent(KQ_IPackable const& other) const {
  auto const* info = static_cast<KQ_TFileInfo const*>(other.KQ_Cast("KQ_TFileInfo"));
  return info != nullptr && *this == *info;
}

bool KQ_TFileInfo::WriteTo(KQ_THumanReadableStream& stream) const {
  // The words are padded to one width, so that the URLs line up.
  stream.WriteTokens(fType == kDirectory ? "DIR  " : "FILE ");
  stream << static_cast<KQ_IHumanReadable const&>(fURL) << cr;
  stream.WriteTokens("OWNER ");
  stream << static_cast<KQ_IHumanReadable const&>(fOwner);
  stream.WriteTokens("( ");
  stream.Indent();
  stream << fSize;
  for (KQ_TTime const* time : {&fAccessTime, &fModificationTime, &fCreationTime}) {
    stream << cr << static_cast<KQ_IHumanReadable const&>(*time);
  }
  stream << cr << static_cast<KQ_IHumanReadable const&>(fFileType);
  stream.ReverseIndent();
  stream << cr;
  stream.WriteTokens(")");
  return true;
}

bool KQ_TFileInfo::ReadFrom(KQ_THumanReadableStream& stream) {
  KQ_TFileInfo read;
  KQ_TString const kind = ReadWord(stream);
  if (kind == kDirectoryWord) {
    read.fType = kDirectory;
  } else if (kind != kFileWord) {
    stream.SyntaxError("DIR or FILE", KQ_THumanReadableStream::Quoted(kind.UTF8()));
  }
  stream >> static_cast<KQ_IHumanReadable&>(read.fURL);
  if (stream.PeekNonWhite() == kOwnerWord[0]) {
    KQ_TString const word = ReadWord(stream);
    if (word != kOwnerWord) {
      stream.SyntaxError("OWNER or (", KQ_THumanReadableStream::Quoted(word.UTF8()));
    }
    stream >> static_cast<KQ_IHumanReadable&>(read.fOwner);
  }
  stream.Expect('(');
  stream >> read.fSize;
  for (KQ_TTime* time : {&read.fAccessTime, &read.fModificationTime, &read.fCreationTime}) {
    stream >> static_cast<KQ_IHumanReadable&>(*time);
  }
  stream >> static_cast<KQ_IHumanReadable&>(read.fFileType);
  stream.Expect(')');
  *this = read;
  return false;
}
