// TCP over IPv4 under KQ_TSocket, KQ_TSocketSet and KQ_TSocketPair.
//
// A socket is the system's descriptor, kNoSocket when there is none.
// Addresses are IPv4 in host byte order (127.0.0.1 is 0x7F000001), ports
// plain numbers. Every socket made here is closed when the process executes
// another program, and no call ends the process with SIGPIPE when the peer
// has gone: the call fails instead. A call that a signal interrupts is
// carried on inside. Failures are reported by the result and leave the
// system's error pending for the caller's exception.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kq::sys {

constexpr int kNoSocket = -1;

// Readies the socket layer for the process; false when it cannot be used.
// POSIX sockets need nothing, so there this only answers true.
bool StartSockets() noexcept;

// A new TCP socket, blocking; kNoSocket when the system refuses.
int NewStreamSocket() noexcept;
// Closes the socket resetting the connection (linger on, 0 seconds): bytes
// not yet delivered are dropped and the peer sees a reset rather than an
// orderly end. Processes that share the socket keep it. False only when
// socket was no open descriptor; the descriptor is gone afterwards in every
// case.
bool CloseSocket(int socket) noexcept;
// Ends the connection in both directions, for every process that shares
// the socket: a thread blocked on it wakes, its call failing.
bool ShutDownSocket(int socket) noexcept;

enum class SocketOption { kReuseAddress, kNoDelay, kKeepAlive };
bool SetSocketOption(int socket, SocketOption option, bool on) noexcept;
// Reads return at once, failing when nothing is waiting, while on.
bool SetNonBlocking(int socket, bool on) noexcept;

enum class TimeOut { kReceive, kSend };
// How long a receive or send waits before failing, in milliseconds; 0 waits
// without limit. The system keeps the value in its own clock ticks, so the
// value read back may be rounded up to a whole tick.
bool GetTimeOut(int socket, TimeOut which, std::int32_t* milliseconds) noexcept;
bool SetTimeOut(int socket, TimeOut which, std::int32_t milliseconds) noexcept;

bool BindSocket(int socket, std::uint32_t host, std::uint16_t port) noexcept;
bool ListenOnSocket(int socket, std::int32_t backlog) noexcept;
// Waits for a connection on a listening socket: the new socket (blocking)
// and the peer's address, or kNoSocket. A connection that the peer gave up
// before it was taken is passed over.
int AcceptConnection(int socket, std::uint32_t* host, std::uint16_t* port) noexcept;
bool ConnectSocket(int socket, std::uint32_t host, std::uint16_t port) noexcept;
// The local port; false when the socket has none.
bool LocalPort(int socket, std::uint16_t* port) noexcept;

// The first IPv4 address of a host name or a numeric address; false when
// there is none (a name with only IPv6 addresses included).
bool LookUpIPv4Host(char const* name, std::uint32_t* host) noexcept;

// Receive flags: kPeek leaves the bytes waiting, kNoWait fails at once
// instead of waiting when nothing is there.
constexpr unsigned kPeek = 1;
constexpr unsigned kNoWait = 2;
// At most size bytes: the count, 0 when the peer has closed its end, -1 on
// failure (a time-out or, without waiting, nothing there included).
std::int64_t ReceiveBytes(int socket, void* buffer, std::size_t size, unsigned flags) noexcept;
// Hands at most size bytes to the system: the count accepted, -1 on
// failure.
std::int64_t SendBytes(int socket, void const* buffer, std::size_t size) noexcept;
// Bytes waiting to be received; false when that cannot be told.
bool BytesWaiting(int socket, std::uint32_t* count) noexcept;

// What WaitForSockets found on a socket: readable (a receive or accept
// would not wait: bytes, a connection, the peer's close or an error), and
// failed (an error, a broken connection, or not an open socket at all).
constexpr std::uint8_t kSocketReadable = 1;
constexpr std::uint8_t kSocketFailed = 2;
constexpr std::uint32_t kMaxWaitSockets = 512;
// Waits until one of count sockets (at most kMaxWaitSockets; kNoSocket
// entries are passed over) is readable or has failed, at most milliseconds
// (a negative value waits without limit). events[i] gets the flags of
// sockets[i]. The number of sockets with flags, 0 on time-out, -1 on
// failure.
int WaitForSockets(int const* sockets, std::uint32_t count, std::int32_t milliseconds,
                   std::uint8_t* events) noexcept;

}  // namespace kq::sys
