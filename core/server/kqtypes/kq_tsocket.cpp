#include "kq_tsocket.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>

#include "kq_eexception.h"
#include "kq_memalloc.h"
#include "platform/kq_sys_host.h"
#include "platform/kq_sys_socket.h"

// The system socket, shared by every copy of a KQ_TSocket.
struct KQ_TSocket::Record {
  // Atomic, so that a copy may close it while another thread waits on it.
  std::atomic<std::int32_t> fSocket;
  std::atomic<std::uint32_t> fReferences;
  // A socket closed through one copy while others existed: shut down at
  // once, released with the record (see Close).
  std::int32_t fClosed;
  // Set by Bind; Listen and Accept need it, and HasFailed does not peek.
  bool fListening;
  TMode fMode;
  std::uint32_t fRemoteHost;
  std::uint16_t fRemotePort;

  // A record for a socket that the caller hands over, set up as every new
  // socket is. The socket is closed when no record can be made.
  static Record* Adopt(int socket, std::uint32_t host, std::uint16_t port) {
    Record* record;
    try {
      record = new Record{{socket}, {1}, kq::sys::kNoSocket, false, kReadAll, host, port};
    } catch (...) {
      kq::sys::CloseSocket(socket);
      throw;
    }
    kq::sys::SetNonBlocking(socket, false);
    kq::sys::SetSocketOption(socket, kq::sys::SocketOption::kNoDelay, true);
    kq::sys::SetSocketOption(socket, kq::sys::SocketOption::kKeepAlive, true);
    return record;
  }

  static Record* New() {
    int const socket = kq::sys::NewStreamSocket();
    if (socket == kq::sys::kNoSocket) KQ_THROW(KQ_ECouldNotCreateSocket());
    return Adopt(socket, 0, 0);
  }

  // Gives up one copy's share; the last closes the socket.
  void Release() {
    if (fReferences.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    for (int const socket : {fSocket.load(), fClosed}) {
      if (socket != kq::sys::kNoSocket) kq::sys::CloseSocket(socket);
    }
    delete this;
  }
};

KQ_CLASS_IMPL(KQ_TSocket)

namespace {

constexpr std::uint32_t kBufferStep = 1024;
constexpr std::uint32_t kSkipPiece = 4096;

[[noreturn]] void RaiseReadFailure(std::int64_t received) {
  if (received == 0) {
    KQ_THROW(KQ_ECouldNotReadFromSocket(KQ_TString("KQ_TSocket: the peer closed the connection")));
  }
  KQ_THROW(KQ_ECouldNotReadFromSocket());
}

[[noreturn]] void RaiseShortRead(std::uint32_t arrived, std::uint32_t required) {
  KQ_THROW(KQ_ECouldNotReadFromSocket(KQ_TString::Format("KQ_TSocket: %u of %u bytes arrived",
                                                         static_cast<unsigned>(arrived),
                                                         static_cast<unsigned>(required))));
}

std::int32_t TimeOutOf(int socket, kq::sys::TimeOut which) {
  std::int32_t milliseconds = 0;
  return kq::sys::GetTimeOut(socket, which, &milliseconds) ? milliseconds : -1;
}

std::int32_t ChangeTimeOut(int socket, kq::sys::TimeOut which, std::int32_t milliseconds) {
  std::int32_t const previous = TimeOutOf(socket, which);
  kq::sys::SetTimeOut(socket, which, milliseconds < 0 ? 0 : milliseconds == 0 ? 1 : milliseconds);
  return previous;
}

}  // namespace

KQ_TSocket::KQ_TSocket()
    : fBuffered(false), fBuffer(nullptr), fCapacity(0), fCount(0), fRecord(Record::New()) {}

KQ_TSocket::KQ_TSocket(Record* record)
    : fBuffered(false), fBuffer(nullptr), fCapacity(0), fCount(0), fRecord(record) {}

KQ_TSocket::KQ_TSocket(KQ_TSocket const& other)
    : KQ_IInterface(other),
      KQ_IStream(other),
      KQ_TObject(other),
      fBuffered(other.fBuffered),
      fBuffer(nullptr),
      fCapacity(0),
      fCount(0),
      fRecord(other.fRecord) {
  CopyBufferOf(other);
  fRecord->fReferences.fetch_add(1, std::memory_order_relaxed);
}

KQ_TSocket::~KQ_TSocket() {
  fRecord->Release();
  KQ_Free(fBuffer);
}

bool KQ_TSocket::KQ_Initialize() { return kq::sys::StartSockets(); }

KQ_TSocket& KQ_TSocket::operator=(KQ_TSocket const& other) {
  if (this == &other) return *this;
  Flush();
  DropBuffer();
  fBuffered = other.fBuffered;
  CopyBufferOf(other);
  other.fRecord->fReferences.fetch_add(1, std::memory_order_relaxed);
  fRecord->Release();
  fRecord = other.fRecord;
  return *this;
}

KQ_TSocket& KQ_TSocket::Reset() {
  Flush();
  DropBuffer();
  fBuffered = false;
  Record* const fresh = Record::New();
  fRecord->Release();
  fRecord = fresh;
  return *this;
}

KQ_TSocket& KQ_TSocket::Bind(std::uint16_t port, bool reuse) { return Bind(kAnyHost, port, reuse); }

KQ_TSocket& KQ_TSocket::Bind(std::uint32_t host, std::uint16_t port, bool reuse) {
  kq::sys::SetSocketOption(fRecord->fSocket, kq::sys::SocketOption::kReuseAddress, reuse);
  if (!kq::sys::BindSocket(fRecord->fSocket, host, port)) KQ_THROW(KQ_ECouldNotBindSocket());
  fRecord->fListening = true;
  return *this;
}

KQ_TSocket& KQ_TSocket::Listen(std::uint32_t backlog) {
  if (!fRecord->fListening) {
    KQ_THROW(KQ_ECouldNotListenOnSocket(KQ_TString("KQ_TSocket: the socket is not bound")));
  }
  std::int32_t const queue = backlog > INT32_MAX ? INT32_MAX : static_cast<std::int32_t>(backlog);
  if (!kq::sys::ListenOnSocket(fRecord->fSocket, queue)) KQ_THROW(KQ_ECouldNotListenOnSocket());
  return *this;
}

bool KQ_TSocket::Connect(std::uint32_t host, std::uint16_t port) {
  if (!kq::sys::ConnectSocket(fRecord->fSocket, host, port)) return false;
  fRecord->fRemoteHost = host;
  fRecord->fRemotePort = port;
  return true;
}

bool KQ_TSocket::Connect(KQ_TString const& host, std::uint16_t port) {
  std::uint32_t address = kLoopback;
  if (host.Length() != 0 && host.CompareWith(KQ_TString("localhost"), true) != 0) {
    std::string const name = host.ToUTF8(KQ_TString::UTF8Rule::kStandard);
    if (name.find('\0') != std::string::npos) return false;
    // A name with only IPv6 addresses is one this socket cannot reach.
    if (!kq::sys::LookUpIPv4Host(name.c_str(), &address)) return false;
  }
  return Connect(address, port);
}

KQ_TSocket KQ_TSocket::Accept() {
  if (!fRecord->fListening) {
    KQ_THROW(KQ_ENoConnectionForAccept(KQ_TString("KQ_TSocket: the socket is not bound")));
  }
  std::uint32_t host = 0;
  std::uint16_t port = 0;
  int const accepted = kq::sys::AcceptConnection(fRecord->fSocket, &host, &port);
  if (accepted == kq::sys::kNoSocket) KQ_THROW(KQ_ENoConnectionForAccept());
  return KQ_TSocket(Record::Adopt(accepted, host, port));
}

std::uint32_t KQ_TSocket::RemoteHost() const { return fRecord->fRemoteHost; }

std::uint16_t KQ_TSocket::RemotePort() const { return fRecord->fRemotePort; }

std::uint32_t KQ_TSocket::RawPeek(void* buffer, std::uint32_t count) {
  if (count == 0) return 0;
  std::int64_t const got = kq::sys::ReceiveBytes(fRecord->fSocket, buffer, count, kq::sys::kPeek);
  if (got < 0) KQ_THROW(KQ_ECouldNotReadFromSocket());
  return static_cast<std::uint32_t>(got);
}

std::uint32_t KQ_TSocket::RawRead(void* buffer, std::uint32_t count) {
  return Receive(buffer, count, count);
}

std::uint32_t KQ_TSocket::RawWrite(void const* buffer, std::uint32_t count) {
  if (fBuffered) {
    Append(buffer, count);
    return count;
  }
  std::int64_t const sent = kq::sys::SendBytes(fRecord->fSocket, buffer, count);
  if (sent < 0) KQ_THROW(KQ_ECouldNotWriteToSocket());
  return static_cast<std::uint32_t>(sent);
}

KQ_TSocket::TMode KQ_TSocket::Mode() const { return fRecord->fMode; }

KQ_TSocket::TMode KQ_TSocket::SetMode(TMode mode) {
  TMode const previous = fRecord->fMode;
  kq::sys::SetNonBlocking(fRecord->fSocket, mode == kNonBlocking);
  kq::sys::SetSocketOption(fRecord->fSocket, kq::sys::SocketOption::kNoDelay, true);
  fRecord->fMode = mode;
  return previous;
}

bool KQ_TSocket::Buffered() const { return fBuffered; }

bool KQ_TSocket::SetBuffered(bool buffered) {
  bool const previous = fBuffered;
  if (buffered != previous) {
    Flush();
    fBuffered = buffered;
  }
  return previous;
}

std::int32_t KQ_TSocket::ReadTimeOut() const {
  return TimeOutOf(fRecord->fSocket, kq::sys::TimeOut::kReceive);
}

std::int32_t KQ_TSocket::SetReadTimeOut(std::int32_t milliseconds) {
  return ChangeTimeOut(fRecord->fSocket, kq::sys::TimeOut::kReceive, milliseconds);
}

std::int32_t KQ_TSocket::WriteTimeOut() const {
  return TimeOutOf(fRecord->fSocket, kq::sys::TimeOut::kSend);
}

std::int32_t KQ_TSocket::SetWriteTimeOut(std::int32_t milliseconds) {
  return ChangeTimeOut(fRecord->fSocket, kq::sys::TimeOut::kSend, milliseconds);
}

std::uint16_t KQ_TSocket::Port() const {
  std::uint16_t port = 0;
  return kq::sys::LocalPort(fRecord->fSocket, &port) ? port : 0;
}

bool KQ_TSocket::Ready() const { return Available() > 0; }

bool KQ_TSocket::HasFailed() const {
  int const socket = fRecord->fSocket;
  if (socket == kq::sys::kNoSocket) return true;
  std::uint8_t events = 0;
  if (kq::sys::WaitForSockets(&socket, 1, 0, &events) < 0) return true;
  if ((events & kq::sys::kSocketFailed) != 0) return true;
  if ((events & kq::sys::kSocketReadable) == 0 || fRecord->fListening) return false;
  // Readable with nothing to peek: the peer has closed its end.
  unsigned char byte;
  return kq::sys::ReceiveBytes(socket, &byte, 1, kq::sys::kPeek | kq::sys::kNoWait) != 1;
}

bool KQ_TSocket::EnableKeepAlive(bool enable) {
  return kq::sys::SetSocketOption(fRecord->fSocket, kq::sys::SocketOption::kKeepAlive, enable);
}

std::int32_t KQ_TSocket::Handle() const { return fRecord->fSocket; }

bool KQ_TSocket::Close() {
  int const socket = fRecord->fSocket.exchange(kq::sys::kNoSocket);
  if (socket == kq::sys::kNoSocket) return true;
  if (fRecord->fReferences.load(std::memory_order_acquire) > 1) {
    // Another thread may wait in a read through a copy. Shutting down wakes
    // it; the socket itself stays open until the last copy goes, so that its
    // number is not given to another file under that read.
    kq::sys::ShutDownSocket(socket);
    fRecord->fClosed = socket;
    return true;
  }
  if (kq::sys::CloseSocket(socket)) return true;
  fRecord->fSocket = socket;
  return false;
}

bool KQ_TSocket::Flush() {
  std::uint32_t const count = fCount;
  fCount = 0;
  SendAll(fBuffer, count);
  return true;
}

bool KQ_TSocket::Readable() const { return true; }

bool KQ_TSocket::Writable() const { return true; }

std::uint32_t KQ_TSocket::Available() const {
  std::uint32_t count = 0;
  return kq::sys::BytesWaiting(fRecord->fSocket, &count) ? count : 0;
}

std::uint32_t KQ_TSocket::Read(void* buffer, std::uint32_t minimum, std::uint32_t maximum) {
  std::uint32_t const count = Receive(buffer, minimum, maximum);
  if (count < minimum && minimum <= maximum) RaiseShortRead(count, minimum);
  return count;
}

KQ_IStream& KQ_TSocket::Read(void* buffer, std::uint32_t count) {
  ReceiveAll(buffer, count);
  return *this;
}

unsigned char KQ_TSocket::Read() {
  unsigned char byte;
  ReceiveAll(&byte, 1);
  return byte;
}

bool KQ_TSocket::Skip(std::uint32_t count) {
  unsigned char scratch[kSkipPiece];
  for (std::uint32_t done = 0; done < count; done += kSkipPiece) {
    ReceiveAll(scratch, std::min(count - done, kSkipPiece));
  }
  return true;
}

KQ_IStream& KQ_TSocket::Write(void const* buffer, std::uint32_t count) {
  if (fBuffered) {
    Append(buffer, count);
  } else {
    SendAll(static_cast<unsigned char const*>(buffer), count);
  }
  return *this;
}

KQ_IStream& KQ_TSocket::Write(unsigned char byte) { return Write(&byte, 1); }

KQ_TString KQ_TSocket::HostName() {
  static char const* const name = [] {
    static char found[80];
    if (!kq::sys::HostName(found, sizeof found)) std::strcpy(found, "localhost");
    return found;
  }();
  return KQ_TString::FromUTF8(name, static_cast<std::uint32_t>(std::strlen(name)),
                              KQ_TString::UTF8Rule::kBytes);
}

std::uint32_t KQ_TSocket::Receive(void* buffer, std::uint32_t minimum, std::uint32_t maximum) {
  if (minimum == 0 || minimum > maximum) return 0;
  auto* const bytes = static_cast<unsigned char*>(buffer);
  std::uint32_t total = 0;
  do {
    std::int64_t const got =
        kq::sys::ReceiveBytes(fRecord->fSocket, bytes + total, maximum - total, 0);
    if (got <= 0) RaiseReadFailure(got);
    total += static_cast<std::uint32_t>(got);
  } while (total < minimum && fRecord->fMode == kReadAll);
  return total;
}

void KQ_TSocket::ReceiveAll(void* buffer, std::uint32_t count) {
  std::uint32_t const arrived = Receive(buffer, count, count);
  if (arrived < count) RaiseShortRead(arrived, count);
}

void KQ_TSocket::SendAll(unsigned char const* bytes, std::uint32_t count) {
  while (count > 0) {
    std::int64_t const sent = kq::sys::SendBytes(fRecord->fSocket, bytes, count);
    if (sent <= 0) KQ_THROW(KQ_ECouldNotWriteToSocket());
    bytes += sent;
    count -= static_cast<std::uint32_t>(sent);
  }
}

void KQ_TSocket::Append(void const* bytes, std::uint32_t count) {
  if (count == 0) return;
  std::uint64_t const needed = std::uint64_t{fCount} + count;
  if (needed > fCapacity) {
    std::uint64_t const capacity = (needed + kBufferStep - 1) / kBufferStep * kBufferStep;
    if (capacity > UINT32_MAX) KQ_THROW(KQ_EOutOfMemory());
    fBuffer =
        static_cast<unsigned char*>(KQ_Realloc(fBuffer, static_cast<std::uint32_t>(capacity)));
    fCapacity = static_cast<std::uint32_t>(capacity);
  }
  std::memcpy(fBuffer + fCount, bytes, count);
  fCount = static_cast<std::uint32_t>(needed);
}

void KQ_TSocket::CopyBufferOf(KQ_TSocket const& other) {
  if (fBuffered) Append(other.fBuffer, other.fCount);
}

void KQ_TSocket::DropBuffer() {
  KQ_Free(fBuffer);
  fBuffer = nullptr;
  fCapacity = 0;
  fCount = 0;
}
