// KQ_TURL's local names: the mapping between "file" URLs and the paths of
// this machine, with the network mounts read through a cache.
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "internal/kq_mount_table.h"
#include "kq_eexception.h"
#include "kq_tany.h"
#include "kq_tsocket.h"
#include "kq_turl.h"
#include "kq_tvolumeinfo.h"
#include "pathbridge.h"

namespace {

using Rule = KQ_TString::UTF8Rule;
using Clock = std::chrono::steady_clock;

KQ_TString FromSystem(std::string const& bytes) {
  return KQ_TString::FromUTF8(bytes.data(), static_cast<std::uint32_t>(bytes.size()), Rule::kBytes);
}

// This machine's network name, as the sockets give it.
KQ_TString const& ThisHostName() {
  static KQ_TString const name = KQ_TSocket::HostName();
  return name;
}

bool IsThisHost(KQ_TString const& host) {
  KQ_TString const lower = host.ToLower();
  return lower.Length() == 0 || lower == "localhost" || lower == ThisHostName().ToLower();
}

// The mount table, read again when the time-out
// (LOCALNAME_CACHE_TIMEOUT milliseconds, default 2000) has passed since the
// last reading; a time-out of 0 reads them on every call.
class MountCache {
 public:
  MountCache() : fTimeout(2000), fValid(false), fLastRefresh(Clock::now()) {
    if (char const* value = getenv_utf8("LOCALNAME_CACHE_TIMEOUT")) {
      long const milliseconds = std::atol(value);
      fTimeout = milliseconds > 0 ? milliseconds : 0;
    }
  }

  std::vector<kq::Mount> Current() {
    std::lock_guard<std::mutex> const hold(fLock);
    Clock::time_point const now = Clock::now();
    if (fValid && now - fLastRefresh >= std::chrono::milliseconds(fTimeout)) fValid = false;
    if (!fValid) {
      fMounts = kq::ReadMounts();
      fLastRefresh = now;
      fValid = fTimeout != 0;
    }
    return fMounts;
  }

  // The one cache of the process, made the first time a local name needs it.
  static MountCache& Instance() {
    static MountCache cache;
    return cache;
  }

 private:
  std::mutex fLock;
  long fTimeout;
  bool fValid;
  Clock::time_point fLastRefresh;
  std::vector<kq::Mount> fMounts;
};

KQ_TURL FileURL(KQ_TString const& host, std::string const& path) {
  return KQ_TURL("file", KQ_TString(), KQ_TString(), host, 0, FromSystem(path), KQ_TString());
}

std::string Below(std::string const& path, std::string const& directory) {
  std::size_t const skip = directory.size() + (directory.empty() || directory == "/" ? 0 : 1);
  return skip < path.size() ? path.substr(skip) : std::string();
}

std::string Joined(std::string const& directory, std::string const& rest) {
  if (rest.empty()) return directory;
  if (directory.empty() || directory.back() == '/') return directory + rest;
  return directory + "/" + rest;
}

}  // namespace

KQ_TString KQ_TURL::LocalName() const {
  if (fProtocol.ToLower() != "file") KQ_THROW(KQ_ENotALocalURL(KQ_TString(), KQ_TAny(*this)));
  if (IsThisHost(fHost)) {
    KQ_TString const local = "/" + fPath;
    KQ_TString serial;
    if (GetParam(kSerialParam, serial) && KQ_TVolumeInfo(local).Serial() != serial) {
      KQ_THROW(KQ_ERemovableMediumChanged(KQ_TString(), KQ_TAny(*this)));
    }
    return local;
  }
  KQ_TString const host = fHost.ToLower();
  std::string const path = fPath.ToUTF8(Rule::kBytes);
  kq::Mount const* best = nullptr;
  std::string bestDirectory;
  std::vector<kq::Mount> const mounts = MountCache::Instance().Current();
  for (kq::Mount const& mount : mounts) {
    std::string remoteHost;
    std::string directory;
    if (!kq::RemoteOf(mount, &remoteHost, &directory) || FromSystem(remoteHost).ToLower() != host ||
        !kq::IsBelow(path, directory)) {
      continue;
    }
    if (best == nullptr || directory.size() >= bestDirectory.size()) {
      best = &mount;
      bestDirectory = directory;
    }
  }
  if (best != nullptr) return FromSystem(Joined(best->mountPoint, Below(path, bestDirectory)));
  return "//" + fHost + "/" + fPath;
}

KQ_TURL KQ_TURL::LocalToURL(KQ_TString const& localName) {
  std::string const name = localName.ToUTF8(Rule::kBytes);
  if (name.size() > 2 && name.compare(0, 2, "//") == 0 && name[2] != '/') {
    std::size_t const slash = name.find('/', 2);
    std::string const host = name.substr(2, slash == std::string::npos ? slash : slash - 2);
    return FileURL(FromSystem(host).ToLower(),
                   slash == std::string::npos ? std::string() : name.substr(slash));
  }
  std::string const path = kq::AbsolutePath(name);
  std::vector<kq::Mount> const mounts = MountCache::Instance().Current();
  kq::Mount const* const mount = kq::FindMount(mounts, path);
  std::string host;
  std::string directory;
  if (mount != nullptr && kq::RemoteOf(*mount, &host, &directory)) {
    return FileURL(FromSystem(host).ToLower(), Joined(directory, Below(path, mount->mountPoint)));
  }
  return FileURL(ThisHostName(), path);
}

KQ_TURL& KQ_TURL::AddVolumeInfo() {
  KQ_TVolumeInfo const volume(*this);
  if (volume.Type() != KQ_TVolumeInfo::kRemovable) return *this;
  KQ_TDict params = ParamDict();
  params.Add(kSerialParam, KQ_TAny(volume.Serial()));
  params.Add(kVolumeParam, KQ_TAny(volume.Name()));
  return SetParamDict(params);
}
