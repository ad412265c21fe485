// KQ_TSocket: one TCP/IPv4 stream socket offered as a KQ_IStream, so that a
// data stream, a text stream or any other filter can run over a connection.
// A client connects; a server binds, listens and accepts.
//
// Copies share one system socket through a reference-counted record: the
// socket is closed when the last copy goes, and closing it through one copy
// closes it for all. Each copy keeps its own write buffer. The reference
// count is atomic, so copies may come and go on different threads; each
// object and its buffer are used by one thread at a time.
//
// Reads take a minimum and a maximum and follow the socket's mode:
//   kReadAll     (0, the default) blocks until the minimum has arrived;
//   kReadOnce    (1) blocks for one receive and returns what it brought;
//   kNonBlocking (2) makes one receive that fails at once when nothing is
//                waiting.
// A read that ends with fewer bytes than required (the peer closed, an
// error, a time-out) raises KQ_ECouldNotReadFromSocket.
//
// Writing: unbuffered, each Write hands its bytes to the system at once; a
// buffered socket collects them (growing without limit, in steps of 1 KiB)
// until Flush. A write to a connection the peer has dropped raises
// KQ_ECouldNotWriteToSocket; it never ends the process with SIGPIPE.
//
// Closing resets the connection (linger on, 0 seconds) rather than ending it
// in order: bytes the peer has not yet received may be lost, so a sender
// waits for the peer's answer before it closes. Close ends the connection
// for every copy. While other copies exist, one of them may be waiting in a
// read on another thread, so Close then shuts the connection down instead:
// the read wakes and raises, the peer sees the end at once (and so do
// processes that share the socket after a fork), and the system socket is
// released, with the reset, when the last copy goes. Bytes still in a write
// buffer when a socket is destroyed are dropped, not sent.
//
// New sockets are blocking, send small writes at once (TCP_NODELAY) and
// keep idle connections alive (SO_KEEPALIVE). Every socket is closed in
// programs the process executes.
#pragma once

#include <cstdint>

#include "kq_istream.h"
#include "kq_tobject.h"
#include "kq_tstring.h"

class KQ_EXPORT KQ_TSocket : public KQ_TObject, public virtual KQ_IStream {
  KQ_CLASS(KQ_TSocket, KQ_TObject, KQ_IStream)
  enum TMode : std::int32_t { kReadAll = 0, kReadOnce = 1, kNonBlocking = 2 };

  // IPv4 addresses in host byte order.
  static constexpr std::uint32_t kAnyHost = 0;
  static constexpr std::uint32_t kLoopback = 0x7F000001;

  // A new socket, not connected; KQ_ECouldNotCreateSocket when the system
  // has none to give.
  KQ_TSocket();
  // Shares other's socket, with its buffering setting and a copy of the
  // bytes waiting in its buffer.
  KQ_TSocket(KQ_TSocket const& other);
  // Releases the socket (closing it when this was the last copy); unflushed
  // bytes are dropped.
  ~KQ_TSocket() override;
  static bool KQ_Initialize();

  // Flushes and drops this object's buffer, then shares other's socket as
  // the copy constructor does. Nothing happens when other is this object.
  virtual KQ_TSocket& operator=(KQ_TSocket const& other);
  // Flushes, turns buffering off and takes a new socket in place of the
  // shared one.
  virtual KQ_TSocket& Reset();
  // Binds to port on every interface (0 picks a free port), with address
  // reuse as asked; KQ_ECouldNotBindSocket on failure. A bound socket may
  // Listen and Accept.
  virtual KQ_TSocket& Bind(std::uint16_t port, bool reuse);
  // KQ_ECouldNotListenOnSocket when not bound or when the system refuses.
  virtual KQ_TSocket& Listen(std::uint32_t backlog);
  // Connects to an IPv4 address; false on failure. The peer is recorded.
  virtual bool Connect(std::uint32_t host, std::uint16_t port);
  // Connects to a host name or a numeric address: its first IPv4 address.
  // An empty name and "localhost" mean 127.0.0.1, which is never looked up.
  // False when the name is unknown, has only IPv6 addresses (which this
  // socket cannot reach; the answer comes at once, without a wait), or the
  // connection fails.
  virtual bool Connect(KQ_TString const& host, std::uint16_t port);
  // Waits for a connection and returns a socket for it. Raises
  // KQ_ENoConnectionForAccept when not bound or when accepting fails.
  virtual KQ_TSocket Accept();
  // The peer recorded by Connect or Accept (IPv4 in host byte order); 0
  // when unknown.
  virtual std::uint32_t RemoteHost() const;
  virtual std::uint16_t RemotePort() const;
  // Receives up to count bytes and leaves them waiting; 0 for count 0.
  // KQ_ECouldNotReadFromSocket on failure.
  virtual std::uint32_t RawPeek(void* buffer, std::uint32_t count);
  // Reads with minimum and maximum count in the socket's mode; returns how
  // many arrived, which in modes 1 and 2 may be fewer.
  virtual std::uint32_t RawRead(void* buffer, std::uint32_t count);
  // Buffered: appends all count bytes. Unbuffered: one send, which may
  // take fewer; returns how many were taken. KQ_ECouldNotWriteToSocket
  // when the send fails.
  virtual std::uint32_t RawWrite(void const* buffer, std::uint32_t count);
  virtual TMode Mode() const;
  // Sets the mode (non-blocking exactly in mode 2) and returns the old one.
  virtual TMode SetMode(TMode mode);
  virtual bool Buffered() const;
  // Flushes when the setting changes; returns the old setting.
  virtual bool SetBuffered(bool buffered);
  // Time-outs of each receive and each send in milliseconds: 0 waits
  // without limit, -1 when the value cannot be read. The system keeps them
  // in clock ticks, so the value read back may be rounded up to a tick.
  virtual std::int32_t ReadTimeOut() const;
  // A negative value waits without limit, 0 sets 1 ms. Returns the previous
  // value as ReadTimeOut() gives it.
  virtual std::int32_t SetReadTimeOut(std::int32_t milliseconds);
  virtual std::int32_t WriteTimeOut() const;
  virtual std::int32_t SetWriteTimeOut(std::int32_t milliseconds);
  // The local port; 0 when there is none.
  virtual std::uint16_t Port() const;
  // Bytes are waiting to be read; false for a closed socket.
  virtual bool Ready() const;
  // The connection is broken: the socket is closed, has an error, or the
  // peer has closed its end. A bound socket is only checked for errors.
  virtual bool HasFailed() const;
  // Turns keep-alive probes on or off; false when the system refuses.
  virtual bool EnableKeepAlive(bool enable);

  // Binds to one interface only, for example kLoopback for a server that
  // only this machine may reach.
  KQ_TSocket& Bind(std::uint32_t host, std::uint16_t port, bool reuse);
  // The system's socket, -1 once closed, for calls this class does not
  // make. It stays owned by the socket.
  std::int32_t Handle() const;

  // Closes the socket for every copy (see above); false, with the socket
  // kept, when the system refuses.
  bool Close() override;
  // Sends the buffered bytes and empties the buffer, also when sending
  // fails, which raises KQ_ECouldNotWriteToSocket.
  bool Flush() override;
  bool Readable() const override;
  bool Writable() const override;
  // Bytes waiting; 0 for a closed socket.
  std::uint32_t Available() const override;
  std::uint32_t Read(void* buffer, std::uint32_t minimum, std::uint32_t maximum) override;
  KQ_IStream& Read(void* buffer, std::uint32_t count) override;
  unsigned char Read() override;
  // Reads and drops count bytes; raises as Read does.
  bool Skip(std::uint32_t count) override;
  // KQ_ECouldNotWriteToSocket unless every byte is taken.
  KQ_IStream& Write(void const* buffer, std::uint32_t count) override;
  KQ_IStream& Write(unsigned char byte) override;

  // This machine's name, found once per process; "localhost" when the
  // system gives none.
  static KQ_TString HostName();

 private:
  struct Record;
  explicit KQ_TSocket(Record* record);
  // The read behind every Read, RawRead and Skip: returns what arrived
  // once minimum did, or what one receive brought outside mode 0; raises
  // when a receive fails before minimum is reached.
  std::uint32_t Receive(void* buffer, std::uint32_t minimum, std::uint32_t maximum);
  // Raises unless count bytes arrived.
  void ReceiveAll(void* buffer, std::uint32_t count);
  // Sends until every byte is taken; raises when a send fails.
  void SendAll(unsigned char const* bytes, std::uint32_t count);
  void Append(void const* bytes, std::uint32_t count);
  void CopyBufferOf(KQ_TSocket const& other);
  void DropBuffer();

  bool fBuffered;
  unsigned char* fBuffer;
  std::uint32_t fCapacity;
  std::uint32_t fCount;
  Record* fRecord;
};
