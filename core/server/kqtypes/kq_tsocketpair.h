// KQ_TSocketPair: two sockets connected to each other over the loopback
// interface. Its usual use is waking a thread that waits on a
// KQ_TSocketSet: the set holds one end, and another thread writes a byte
// into the other.
//
// The pair is made by a socket listening on 127.0.0.1 at a free port and a
// second thread that connects the other end to it. Only that connection is
// taken: one from anywhere else is refused. Copies share both sockets.
#pragma once

#include "kq_tobject.h"
#include "kq_tsocket.h"

class KQ_EXPORT KQ_TSocketPair : public KQ_TObject {
  KQ_CLASS(KQ_TSocketPair, KQ_TObject)
  // Raises KQ_ECouldNotCreateSocket when the second thread cannot start or
  // cannot connect (it then also says so on the standard error stream), and
  // the exceptions of KQ_TSocket when listening or accepting fails.
  KQ_TSocketPair();
  KQ_TSocketPair(KQ_TSocketPair const& other) = default;
  KQ_TSocketPair& operator=(KQ_TSocketPair const& other) = default;
  ~KQ_TSocketPair() override;

  // The second socket for i > 0, else the first (the accepted end).
  virtual KQ_TSocket& operator[](int i);

 private:
  // Connects client and holds it with the end accepted for it.
  explicit KQ_TSocketPair(KQ_TSocket client);

  KQ_TSocket fSockets[2];
};
