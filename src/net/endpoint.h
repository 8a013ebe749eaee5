#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "net/wait.h"

namespace zb::net {

// One numeric socket address.
struct Endpoint {
  std::string address;  // "127.0.0.1", "::1"
  uint16_t port = 0;
  bool ipv6 = false;

  // "127.0.0.1:21", "[::1]:21".
  [[nodiscard]] std::string ToString() const;
  bool operator==(const Endpoint&) const = default;
};

// "host:port", with an IPv6 literal in brackets; the form error texts use.
[[nodiscard]] std::string PeerName(const std::string& host, uint16_t port);

// True for a numeric IPv4 or IPv6 address (brackets allowed around IPv6).
[[nodiscard]] bool IsIpAddress(const std::string& host);

// A blocking name lookup. Returns the addresses in the order to try them;
// throws ENetError when the name has none.
using LookupFunction = std::function<std::vector<Endpoint>(const std::string& host, uint16_t port)>;

// The system's lookup (getaddrinfo), TCP addresses of both families.
[[nodiscard]] std::vector<Endpoint> SystemLookup(const std::string& host, uint16_t port);

// Resolves `host`. A numeric address is converted at once; a name is looked
// up on a worker thread while this thread waits through `pacer`, so a stop
// ends the wait even when the lookup hangs (the worker then finishes on its
// own and its result is dropped). Throws ENetError, ENetStopped, ENetTimeout.
[[nodiscard]] std::vector<Endpoint> Resolve(const std::string& host, uint16_t port, Pacer& pacer);
// The same with another lookup, so tests can make one that hangs. `lookup`
// is copied to the worker thread and may outlive this call: it must own
// whatever it uses.
[[nodiscard]] std::vector<Endpoint> ResolveWith(const LookupFunction& lookup,
                                                const std::string& host, uint16_t port,
                                                Pacer& pacer);

}  // namespace zb::net
