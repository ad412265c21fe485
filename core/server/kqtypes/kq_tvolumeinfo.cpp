#include "kq_tvolumeinfo.h"

#include <cinttypes>
#include <cstdio>
#include <string>

#include "internal/kq_mount_table.h"
#include "kq_eexception.h"
#include "kq_ipacking.h"
#include "kq_iunpacking.h"
#include "kq_thumanreadablestream.h"
#include "kq_turl.h"
#include "platform/kq_sys_path.h"
#include "platform/kq_sys_volume.h"

namespace {

using Rule = KQ_TString::UTF8Rule;

// The words of the text form, indexed by type and by state.
constexpr char const* kTypeWords[] = {"UNKNOWN", "FIXED", "REMOVABLE", "NETWORK"};
constexpr char const* kStateWords[] = {"LOADED", "EJECTED"};

KQ_TString FromSystem(std::string const& bytes) {
  return KQ_TString::FromUTF8(bytes.data(), static_cast<std::uint32_t>(bytes.size()), Rule::kBytes);
}

// The index of the next word in words; a syntax error for any other.
template <std::size_t N>
std::uint32_t ReadWord(KQ_THumanReadableStream& stream, char const* const (&words)[N]) {
  static KQ_TString const letters("ABCDEFGHIJKLMNOPQRSTUVWXYZ");
  stream.SkipWhiteSpace();
  KQ_TString const word = stream.ReadSpan(letters);
  for (std::uint32_t i = 0; i < N; ++i) {
    if (word == words[i]) return i;
  }
  stream.SyntaxError();
}

}  // namespace

KQ_CLASS_IMPL(KQ_TVolumeInfo)

KQ_TVolumeInfo::KQ_TVolumeInfo() : fType(kUnknown), fState(kLoaded), fSize(0), fAvailable(0) {}

KQ_TVolumeInfo::KQ_TVolumeInfo(KQ_TURL const& url) : KQ_TVolumeInfo() { *this = url; }

KQ_TVolumeInfo::KQ_TVolumeInfo(KQ_TString const& path) : KQ_TVolumeInfo() { *this = path; }

KQ_TVolumeInfo::KQ_TVolumeInfo(KQ_TVolumeInfo const& other) = default;

KQ_TVolumeInfo::~KQ_TVolumeInfo() = default;

KQ_TVolumeInfo::TDeviceType KQ_TVolumeInfo::Type() const { return fType; }
KQ_TVolumeInfo::TDeviceState KQ_TVolumeInfo::State() const { return fState; }
double KQ_TVolumeInfo::Size() const { return fSize; }
double KQ_TVolumeInfo::Available() const { return fAvailable; }
KQ_TString const& KQ_TVolumeInfo::Name() const { return fName; }
KQ_TString const& KQ_TVolumeInfo::Serial() const { return fSerial; }
KQ_TString const& KQ_TVolumeInfo::FileSystem() const { return fFileSystem; }

KQ_TVolumeInfo& KQ_TVolumeInfo::operator=(KQ_TURL const& url) { return *this = url.LocalName(); }

KQ_TVolumeInfo& KQ_TVolumeInfo::operator=(KQ_TString const& path) {
  std::string location = kq::AbsolutePath(path.ToUTF8(Rule::kBytes));
  std::string resolved;
  if (kq::sys::RealPath(location.c_str(), &resolved)) location = resolved;
  std::vector<kq::Mount> const mounts = kq::ReadMounts();
  kq::Mount const* const mount = kq::FindMount(mounts, location);
  KQ_TVolumeInfo result;
  if (mount != nullptr) {
    location = mount->mountPoint;
    result.fType = kq::IsNetworkFileSystem(mount->type)                ? kNetwork
                   : kq::sys::IsRemovableDevice(mount->source.c_str()) ? kRemovable
                                                                       : kFixed;
  }
  kq::sys::FileSystemStats stats;
  if (!kq::sys::FileSystemStatistics(location.c_str(), &stats)) {
    result.fState = kEjected;
  } else {
    result.fSize = static_cast<double>(stats.totalBytes);
    result.fAvailable = static_cast<double>(stats.availableBytes);
    auto const serial = static_cast<std::uint32_t>(stats.id ^ (stats.id >> 32));
    result.fSerial = KQ_TString::Format("%08" PRIx32, serial);
    if (mount != nullptr) {
      std::string label;
      if (kq::sys::DeviceLabel(mount->source.c_str(), &label)) result.fName = FromSystem(label);
      result.fFileSystem = FromSystem(mount->type);
    }
  }
  return *this = result;
}

KQ_TVolumeInfo& KQ_TVolumeInfo::operator=(KQ_TVolumeInfo const& other) = default;

KQ_IPackable& KQ_TVolumeInfo::operator=(KQ_IUnpacking& unpacker) {
  return KQ_IPackable::operator=(unpacker);
}

bool KQ_TVolumeInfo::operator==(KQ_TVolumeInfo const& other) const {
  return fType == other.fType && fState == other.fState && fSize == other.fSize &&
         fName == other.fName && fSerial == other.fSerial && fFileSystem == other.fFileSystem;
}

bool KQ_TVolumeInfo::operator!=(KQ_TVolumeInfo const& other) const { return !(*this == other); }

void KQ_TVolumeInfo::KQ_Pack(KQ_IPacking& packer) const {
  packer << static_cast<std::uint8_t>(fType) << static_cast<std::uint8_t>(fState) << fSize
         << fAvailable << fName << fSerial << fFileSystem;
}

void KQ_TVolumeInfo::KQ_Unpack(KQ_IUnpacking& unpacker) {
  std::uint8_t type = 0;
  std::uint8_t state = 0;
  KQ_TVolumeInfo read;
  unpacker >> type >> state >> read.fSize >> read.fAvailable >> read.fName >> read.fSerial >>
      read.fFileSystem;
  if (type > kNetwork || state > kEjected) KQ_THROW(KQ_EWrongPackedType());
  read.fType = static_cast<TDeviceType>(type);
  read.fState = static_cast<TDeviceState>(state);
  *this = read;
}

KQ_IPackable* KQ_TVolumeInfo::KQ_Clone(void*) const { return new KQ_TVolumeInfo(*this); }

bool KQ_TVolumeInfo::KQ_IsIdent(KQ_IPackable const& other) const {
  auto const* info = static_cast<KQ_TVolumeInfo const*>(other.KQ_Cast("KQ_TVolumeInfo"));
  return info != nullptr && *this == *info;
}

bool KQ_TVolumeInfo::WriteTo(KQ_THumanReadableStream& stream) const {
  stream.WriteTokens(kTypeWords[fType]);
  stream << cr;
  stream.WriteTokens(kStateWords[fState]);
  stream << cr << fAvailable;
  stream.WriteTokens("/");
  stream << fSize;
  if (fState == kLoaded) {
    for (KQ_TString const* text : {&fName, &fSerial, &fFileSystem}) {
      stream << cr << static_cast<KQ_IHumanReadable const&>(*text);
    }
  }
  return true;
}

bool KQ_TVolumeInfo::ReadFrom(KQ_THumanReadableStream& stream) {
  KQ_TVolumeInfo read;
  read.fType = static_cast<TDeviceType>(ReadWord(stream, kTypeWords));
  read.fState = static_cast<TDeviceState>(ReadWord(stream, kStateWords));
  stream >> read.fAvailable;
  stream.Expect('/');
  stream >> read.fSize;
  if (read.fState == kLoaded) {
    for (KQ_TString* text : {&read.fName, &read.fSerial, &read.fFileSystem}) {
      stream >> static_cast<KQ_IHumanReadable&>(*text);
    }
  }
  *this = read;
  return false;
}
