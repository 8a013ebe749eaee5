#pragma once

// Internal to src/net: conversions between Endpoint and socket addresses.

#include <sys/socket.h>

#include <string>

#include "net/endpoint.h"

namespace zb::net {

// Fills `out` for `e`; returns the address length, 0 when `e.address` is not
// numeric.
[[nodiscard]] socklen_t ToSockaddr(const Endpoint& e, sockaddr_storage* out);
[[nodiscard]] Endpoint FromSockaddr(const sockaddr_storage& addr);
[[nodiscard]] Endpoint LocalOf(int fd);
[[nodiscard]] Endpoint PeerOf(int fd);
// The OS reason for `err`.
[[nodiscard]] std::string ErrnoText(int err);

}  // namespace zb::net
