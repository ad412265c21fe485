#include "kq_tsocketpair.h"

#include <cstdint>
#include <iostream>

#include "kq_eexception.h"
#include "platform/kq_sys_thread.h"

KQ_CLASS_IMPL(KQ_TSocketPair)

namespace {

// The second thread's work: connect the client end to localhost.
struct Connector {
  KQ_TSocket& client;
  std::uint16_t port;
  bool connected;

  static void Run(void* argument) {
    Connector& self = *static_cast<Connector*>(argument);
    self.connected = self.client.Connect(KQ_TSocket::kLoopback, self.port);
    if (!self.connected) {
      std::cerr << "Unable to connect the socket pair to localhost port " << self.port << std::endl;
    }
  }
};

// Listens on a free loopback port, has a second thread connect client to
// it and returns the end accepted for client. The thread is waited for
// before anything else touches client: a connection to a listening socket
// is complete once it is queued, before it is accepted.
KQ_TSocket AcceptedPeerOf(KQ_TSocket& client) {
  KQ_TSocket listener;
  listener.Bind(KQ_TSocket::kLoopback, 0, false);
  Connector connector{client, listener.Port(), false};
  listener.Listen(1);
  kq::sys::Thread* const thread = kq::sys::NewThread();
  if (thread == nullptr) KQ_THROW(KQ_ECouldNotCreateSocket());
  if (!kq::sys::LaunchThread(thread, &Connector::Run, &connector)) {
    kq::sys::CloseThread(thread);
    KQ_THROW(KQ_ECouldNotCreateSocket());
  }
  kq::sys::WaitForThread(thread);
  kq::sys::CloseThread(thread);
  if (!connector.connected) {
    KQ_THROW(KQ_ECouldNotCreateSocket(KQ_TString("KQ_TSocketPair: the ends did not connect")));
  }
  // Another program may have connected to the port first; such a
  // connection is dropped (reset) as its socket goes.
  for (;;) {
    KQ_TSocket accepted = listener.Accept();
    if (accepted.RemoteHost() == KQ_TSocket::kLoopback && accepted.RemotePort() == client.Port()) {
      return accepted;
    }
  }
}

}  // namespace

KQ_TSocketPair::KQ_TSocketPair() : KQ_TSocketPair(KQ_TSocket()) {}

KQ_TSocketPair::KQ_TSocketPair(KQ_TSocket client) : fSockets{AcceptedPeerOf(client), client} {}

KQ_TSocketPair::~KQ_TSocketPair() = default;

KQ_TSocket& KQ_TSocketPair::operator[](int i) { return fSockets[i > 0 ? 1 : 0]; }
