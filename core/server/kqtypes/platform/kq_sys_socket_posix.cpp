#include "kq_sys_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

namespace kq::sys {

namespace {

sockaddr_in AddressOf(std::uint32_t host, std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(host);
  address.sin_port = htons(port);
  return address;
}

bool SetFlag(int socket, int level, int name, bool on) {
  int const value = on ? 1 : 0;
  return setsockopt(socket, level, name, &value, sizeof value) == 0;
}

int OptionName(TimeOut which) { return which == TimeOut::kReceive ? SO_RCVTIMEO : SO_SNDTIMEO; }

std::int64_t MonotonicMilliseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return std::int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

// A connect that a signal interrupted goes on in the background; its outcome
// arrives as the socket turns writable.
bool FinishInterruptedConnect(int socket) {
  pollfd entry{socket, POLLOUT, 0};
  int ready;
  do {
    ready = poll(&entry, 1, -1);
  } while (ready < 0 && errno == EINTR);
  if (ready < 0) return false;
  int error = 0;
  socklen_t size = sizeof error;
  if (getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return false;
  errno = error;
  return error == 0;
}

}  // namespace

bool StartSockets() noexcept { return true; }

bool CloseSocket(int socket) noexcept {
  linger const reset{1, 0};
  setsockopt(socket, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  // The descriptor is released even when close reports an error (an
  // interrupted close included), so it must never be closed again.
  return close(socket) == 0 || errno != EBADF;
}

bool ShutDownSocket(int socket) noexcept { return shutdown(socket, SHUT_RDWR) == 0; }

bool SetSocketOption(int socket, SocketOption option, bool on) noexcept {
  switch (option) {
    case SocketOption::kReuseAddress:
      return SetFlag(socket, SOL_SOCKET, SO_REUSEADDR, on);
    case SocketOption::kNoDelay:
      return SetFlag(socket, IPPROTO_TCP, TCP_NODELAY, on);
    case SocketOption::kKeepAlive:
      return SetFlag(socket, SOL_SOCKET, SO_KEEPALIVE, on);
  }
  return false;
}

bool SetNonBlocking(int socket, bool on) noexcept {
  int const flags = fcntl(socket, F_GETFL);
  if (flags < 0) return false;
  return fcntl(socket, F_SETFL, on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK) == 0;
}

bool GetTimeOut(int socket, TimeOut which, std::int32_t* milliseconds) noexcept {
  timeval value{};
  socklen_t size = sizeof value;
  if (getsockopt(socket, SOL_SOCKET, OptionName(which), &value, &size) != 0) return false;
  // Rounded up, so that a time-out below a millisecond never reads as none.
  std::int64_t const total = std::int64_t{value.tv_sec} * 1000 + (value.tv_usec + 999) / 1000;
  *milliseconds = total > INT32_MAX ? INT32_MAX : static_cast<std::int32_t>(total);
  return true;
}

bool SetTimeOut(int socket, TimeOut which, std::int32_t milliseconds) noexcept {
  timeval const value{milliseconds / 1000, (milliseconds % 1000) * 1000};
  return setsockopt(socket, SOL_SOCKET, OptionName(which), &value, sizeof value) == 0;
}

bool BindSocket(int socket, std::uint32_t host, std::uint16_t port) noexcept {
  sockaddr_in const address = AddressOf(host, port);
  return bind(socket, reinterpret_cast<sockaddr const*>(&address), sizeof address) == 0;
}

bool ListenOnSocket(int socket, std::int32_t backlog) noexcept {
  return listen(socket, backlog) == 0;
}

bool ConnectSocket(int socket, std::uint32_t host, std::uint16_t port) noexcept {
  sockaddr_in const address = AddressOf(host, port);
  if (connect(socket, reinterpret_cast<sockaddr const*>(&address), sizeof address) == 0) {
    return true;
  }
  return errno == EINTR && FinishInterruptedConnect(socket);
}

bool LocalPort(int socket, std::uint16_t* port) noexcept {
  sockaddr_in address{};
  socklen_t size = sizeof address;
  if (getsockname(socket, reinterpret_cast<sockaddr*>(&address), &size) != 0) return false;
  if (address.sin_family != AF_INET) return false;
  *port = ntohs(address.sin_port);
  return true;
}

bool LookUpIPv4Host(char const* name, std::uint32_t* host) noexcept {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &found) != 0 || found == nullptr) return false;
  *host = ntohl(reinterpret_cast<sockaddr_in const*>(found->ai_addr)->sin_addr.s_addr);
  freeaddrinfo(found);
  return true;
}

bool BytesWaiting(int socket, std::uint32_t* count) noexcept {
  int waiting = 0;
  if (ioctl(socket, FIONREAD, &waiting) != 0 || waiting < 0) return false;
  *count = static_cast<std::uint32_t>(waiting);
  return true;
}

int WaitForSockets(int const* sockets, std::uint32_t count, std::int32_t milliseconds,
                   std::uint8_t* events) noexcept {
  if (count > kMaxWaitSockets) {
    errno = EINVAL;
    return -1;
  }
  pollfd entries[kMaxWaitSockets];
  for (std::uint32_t i = 0; i < count; ++i) entries[i] = pollfd{sockets[i], POLLIN, 0};
  std::int64_t const deadline = milliseconds < 0 ? 0 : MonotonicMilliseconds() + milliseconds;
  int ready;
  for (;;) {
    int wait = -1;
    if (milliseconds >= 0) {
      std::int64_t const left = deadline - MonotonicMilliseconds();
      wait = left < 0 ? 0 : static_cast<int>(left);
    }
    ready = poll(entries, count, wait);
    if (ready >= 0 || errno != EINTR) break;
  }
  if (ready < 0) return -1;
  for (std::uint32_t i = 0; i < count; ++i) {
    short const got = entries[i].revents;
    events[i] = static_cast<std::uint8_t>(
        ((got & (POLLIN | POLLERR | POLLHUP)) != 0 ? kSocketReadable : 0) |
        ((got & (POLLERR | POLLHUP | POLLNVAL)) != 0 ? kSocketFailed : 0));
  }
  return ready;
}

}  // namespace kq::sys
