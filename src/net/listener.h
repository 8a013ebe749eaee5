#pragma once

#include <memory>
#include <string>

#include "net/connection.h"
#include "net/endpoint.h"
#include "net/wait.h"

namespace zb::net {

// A one-shot listening socket, for the data connection of FTP's active mode:
// open it on the control connection's local address, tell the server its
// port, accept the server's one connection. Waits go through the
// WaitControl; Close() from the pump ends a waiting Accept with ENetStopped.
class Listener final {
 public:
  Listener();
  explicit Listener(WaitControl wait);
  ~Listener();
  Listener(Listener&&) noexcept;
  Listener& operator=(Listener&&) noexcept;
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  // Listens on the numeric IPv4 or IPv6 `address` at a port the system
  // picks. Throws ENetError.
  void Open(const std::string& address);
  // The address and port to announce (PORT, EPRT).
  [[nodiscard]] Endpoint LocalEndpoint() const;

  // Waits for one connection, then closes the listening socket. `host`
  // names the peer in error texts and is the name TLS checks on the
  // connection. With `only_from` set, a connection from any other address
  // is closed unseen and the wait goes on, so no third party can take the
  // data connection. Throws ENetStopped, ENetTimeout, ENetError.
  [[nodiscard]] Connection Accept(const std::string& host, const std::string& only_from = {});

  void Close() noexcept;
  [[nodiscard]] bool IsOpen() const;

  struct State;

 private:
  WaitControl wait_;
  std::shared_ptr<State> state_;
};

}  // namespace zb::net
