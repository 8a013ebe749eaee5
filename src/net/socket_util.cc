#include "net/socket_util.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

namespace zb::net {

socklen_t ToSockaddr(const Endpoint& e, sockaddr_storage* out) {
  std::memset(out, 0, sizeof *out);
  if (e.ipv6) {
    auto* a = reinterpret_cast<sockaddr_in6*>(out);
    a->sin6_family = AF_INET6;
    a->sin6_port = htons(e.port);
    return inet_pton(AF_INET6, e.address.c_str(), &a->sin6_addr) == 1 ? sizeof *a : 0;
  }
  auto* a = reinterpret_cast<sockaddr_in*>(out);
  a->sin_family = AF_INET;
  a->sin_port = htons(e.port);
  return inet_pton(AF_INET, e.address.c_str(), &a->sin_addr) == 1 ? sizeof *a : 0;
}

Endpoint FromSockaddr(const sockaddr_storage& addr) {
  Endpoint e;
  char text[INET6_ADDRSTRLEN] = {};
  if (addr.ss_family == AF_INET6) {
    const auto* a = reinterpret_cast<const sockaddr_in6*>(&addr);
    inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof text);
    e.port = ntohs(a->sin6_port);
    e.ipv6 = true;
  } else if (addr.ss_family == AF_INET) {
    const auto* a = reinterpret_cast<const sockaddr_in*>(&addr);
    inet_ntop(AF_INET, &a->sin_addr, text, sizeof text);
    e.port = ntohs(a->sin_port);
  }
  e.address = text;
  return e;
}

Endpoint LocalOf(int fd) {
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return {};
  return FromSockaddr(addr);
}

Endpoint PeerOf(int fd) {
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return {};
  return FromSockaddr(addr);
}

std::string ErrnoText(int err) { return std::strerror(err); }

}  // namespace zb::net
