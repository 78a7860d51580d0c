// Creating the sockets of a node: every one is non-blocking and closed on
// exec from the system call that creates it, so that no program started by
// another thread in the meantime inherits it.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "async/asio.h"

namespace vardimont::transport {

// Opens a TCP socket of `protocol`'s family into `socket` (an Asio socket or
// acceptor that holds none). On failure nothing stays open.
template <class Socket>
std::error_code open_socket(Socket& socket, const asio::ip::tcp& protocol) {
  const int fd = ::socket(protocol.family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) return {errno, std::system_category()};
  std::error_code ec;
  socket.assign(protocol, fd, ec);
  if (ec) ::close(fd);
  return ec;
}

}  // namespace vardimont::transport
