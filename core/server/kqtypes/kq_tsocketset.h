// KQ_TSocketSet: sockets that one thread waits on together until any of
// them has bytes (or a connection) to take, or has failed. Another thread
// wakes the waiter by writing into one end of a KQ_TSocketPair whose other
// end is a member.
//
// A set holds at most kMaxSockets sockets, each at most once: further
// additions are ignored, as are sockets that are closed. Members keep the
// order in which they were added. The set names sockets by their system
// socket, so a socket is taken out of every set before it is closed.
#pragma once

#include <cstdint>

#include "kq_tobject.h"
#include "kq_tsocket.h"

class KQ_EXPORT KQ_TSocketSet : public KQ_TObject {
  KQ_CLASS(KQ_TSocketSet, KQ_TObject)
  static constexpr std::uint32_t kMaxSockets = 512;

  KQ_TSocketSet();
  explicit KQ_TSocketSet(KQ_TSocket const& socket);
  KQ_TSocketSet(KQ_TSocketSet const& other);
  ~KQ_TSocketSet() override;

  virtual KQ_TSocketSet operator+(KQ_TSocketSet const& other) const;
  virtual KQ_TSocketSet operator+(KQ_TSocket const& socket) const;
  virtual KQ_TSocketSet operator-(KQ_TSocketSet const& other) const;
  virtual KQ_TSocketSet operator-(KQ_TSocket const& socket) const;
  virtual KQ_TSocketSet& operator=(KQ_TSocketSet const& other);
  // The set of that one socket.
  virtual KQ_TSocketSet& operator=(KQ_TSocket const& socket);
  virtual KQ_TSocketSet& operator+=(KQ_TSocketSet const& other);
  virtual KQ_TSocketSet& operator+=(KQ_TSocket const& socket);
  virtual KQ_TSocketSet& operator-=(KQ_TSocketSet const& other);
  virtual KQ_TSocketSet& operator-=(KQ_TSocket const& socket);
  // Empties the set.
  virtual KQ_TSocketSet& Reset();
  // Waits until a member is readable or has failed, at most milliseconds (a
  // negative value waits without limit); true when one is. Raises
  // KQ_ECouldNotListenOnSocket when the system cannot wait, and for an empty
  // set, which nothing could ever wake.
  virtual bool Wait(std::int32_t milliseconds);
  // Whether the last Wait found socket readable, or failed.
  virtual bool Ready(KQ_TSocket const& socket) const;
  virtual bool HasFailed(KQ_TSocket const& socket) const;

 private:
  struct Record;
  Record* fRecord;
};
