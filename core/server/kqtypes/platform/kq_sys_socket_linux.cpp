// The socket calls that take Linux's flags: descriptors made close-on-exec
// atomically (no other thread's fork and exec can inherit them in between),
// and sends that fail with EPIPE instead of raising SIGPIPE.
#include "kq_sys_socket.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>

namespace kq::sys {

int NewStreamSocket() noexcept { return socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0); }

int AcceptConnection(int socket, std::uint32_t* host, std::uint16_t* port) noexcept {
  for (;;) {
    sockaddr_in address{};
    socklen_t size = sizeof address;
    int const accepted =
        accept4(socket, reinterpret_cast<sockaddr*>(&address), &size, SOCK_CLOEXEC);
    if (accepted >= 0) {
      *host = ntohl(address.sin_addr.s_addr);
      *port = ntohs(address.sin_port);
      return accepted;
    }
    if (errno != EINTR && errno != ECONNABORTED) return kNoSocket;
  }
}

std::int64_t ReceiveBytes(int socket, void* buffer, std::size_t size, unsigned flags) noexcept {
  int const how =
      ((flags & kPeek) != 0 ? MSG_PEEK : 0) | ((flags & kNoWait) != 0 ? MSG_DONTWAIT : 0);
  for (;;) {
    ssize_t const got = recv(socket, buffer, size, how);
    if (got >= 0 || errno != EINTR) return got;
  }
}

std::int64_t SendBytes(int socket, void const* buffer, std::size_t size) noexcept {
  for (;;) {
    ssize_t const sent = send(socket, buffer, size, MSG_NOSIGNAL);
    if (sent >= 0 || errno != EINTR) return sent;
  }
}

}  // namespace kq::sys
