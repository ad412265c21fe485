#include "kq_tsocketset.h"

#include <algorithm>

#include "kq_eexception.h"
#include "platform/kq_sys_socket.h"

namespace {

// A count and room for kMaxSockets system sockets.
struct SocketList {
  std::uint32_t fCount = 0;
  std::int32_t fSockets[KQ_TSocketSet::kMaxSockets] = {};

  std::int32_t const* End() const { return fSockets + fCount; }
  bool Holds(std::int32_t socket) const {
    return socket != kq::sys::kNoSocket && std::find(fSockets, End(), socket) != End();
  }
  void Add(std::int32_t socket) {
    if (socket == kq::sys::kNoSocket || fCount == KQ_TSocketSet::kMaxSockets || Holds(socket)) {
      return;
    }
    fSockets[fCount++] = socket;
  }
  void Add(SocketList const& other) {
    for (std::uint32_t i = 0; i < other.fCount; ++i) Add(other.fSockets[i]);
  }
  // Later members move down by one, keeping their order.
  void Remove(std::int32_t socket) {
    std::int32_t* const found = std::find(fSockets, fSockets + fCount, socket);
    if (found == End()) return;
    std::copy(found + 1, fSockets + fCount, found);
    --fCount;
  }
  void Remove(SocketList const& other) {
    for (std::uint32_t i = 0; i < other.fCount; ++i) Remove(other.fSockets[i]);
  }
};

}  // namespace

// The members, and the members that the last Wait found readable or failed.
struct KQ_TSocketSet::Record {
  SocketList fMembers;
  SocketList fReadable;
  SocketList fFailed;
};

KQ_CLASS_IMPL(KQ_TSocketSet)

KQ_TSocketSet::KQ_TSocketSet() : fRecord(new Record) {}

KQ_TSocketSet::KQ_TSocketSet(KQ_TSocket const& socket) : KQ_TSocketSet() { *this += socket; }

KQ_TSocketSet::KQ_TSocketSet(KQ_TSocketSet const& other)
    : KQ_IInterface(other), KQ_TObject(other), fRecord(new Record(*other.fRecord)) {}

KQ_TSocketSet::~KQ_TSocketSet() { delete fRecord; }

KQ_TSocketSet KQ_TSocketSet::operator+(KQ_TSocketSet const& other) const {
  return KQ_TSocketSet(*this) += other;
}

KQ_TSocketSet KQ_TSocketSet::operator+(KQ_TSocket const& socket) const {
  return KQ_TSocketSet(*this) += socket;
}

KQ_TSocketSet KQ_TSocketSet::operator-(KQ_TSocketSet const& other) const {
  return KQ_TSocketSet(*this) -= other;
}

KQ_TSocketSet KQ_TSocketSet::operator-(KQ_TSocket const& socket) const {
  return KQ_TSocketSet(*this) -= socket;
}

KQ_TSocketSet& KQ_TSocketSet::operator=(KQ_TSocketSet const& other) {
  *fRecord = *other.fRecord;
  return *this;
}

KQ_TSocketSet& KQ_TSocketSet::operator=(KQ_TSocket const& socket) {
  Reset();
  return *this += socket;
}

KQ_TSocketSet& KQ_TSocketSet::operator+=(KQ_TSocketSet const& other) {
  fRecord->fMembers.Add(other.fRecord->fMembers);
  return *this;
}

KQ_TSocketSet& KQ_TSocketSet::operator+=(KQ_TSocket const& socket) {
  fRecord->fMembers.Add(socket.Handle());
  return *this;
}

KQ_TSocketSet& KQ_TSocketSet::operator-=(KQ_TSocketSet const& other) {
  fRecord->fMembers.Remove(other.fRecord->fMembers);
  return *this;
}

KQ_TSocketSet& KQ_TSocketSet::operator-=(KQ_TSocket const& socket) {
  fRecord->fMembers.Remove(socket.Handle());
  return *this;
}

KQ_TSocketSet& KQ_TSocketSet::Reset() {
  fRecord->fMembers.fCount = 0;
  fRecord->fReadable.fCount = 0;
  fRecord->fFailed.fCount = 0;
  return *this;
}

bool KQ_TSocketSet::Wait(std::int32_t milliseconds) {
  SocketList const& members = fRecord->fMembers;
  fRecord->fReadable.fCount = 0;
  fRecord->fFailed.fCount = 0;
  if (members.fCount == 0) {
    KQ_THROW(KQ_ECouldNotListenOnSocket(KQ_TString("KQ_TSocketSet: waiting on an empty set")));
  }
  std::uint8_t events[kMaxSockets];
  int const found = kq::sys::WaitForSockets(members.fSockets, members.fCount, milliseconds, events);
  if (found < 0) KQ_THROW(KQ_ECouldNotListenOnSocket());
  for (std::uint32_t i = 0; i < members.fCount; ++i) {
    if ((events[i] & kq::sys::kSocketReadable) != 0) fRecord->fReadable.Add(members.fSockets[i]);
    if ((events[i] & kq::sys::kSocketFailed) != 0) fRecord->fFailed.Add(members.fSockets[i]);
  }
  return found > 0;
}

bool KQ_TSocketSet::Ready(KQ_TSocket const& socket) const {
  return fRecord->fReadable.Holds(socket.Handle());
}

bool KQ_TSocketSet::HasFailed(KQ_TSocket const& socket) const {
  return fRecord->fFailed.Holds(socket.Handle());
}
