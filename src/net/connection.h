#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "net/endpoint.h"
#include "net/tls.h"
#include "platform/unique_fd.h"
#include "net/wait.h"

namespace zb::net {

// The longest line ReadLine returns, line end not counted.
inline constexpr size_t kMaxLineBytes = 8192;

// A TCP client connection, plain or TLS, over a non-blocking socket. Every
// wait goes through the WaitControl given at construction (pump, stop check,
// time-out), so an operation ends within about kWaitSlice of a stop. Writes
// never raise SIGPIPE: a peer that has gone away is an ENetError.
//
// Close() may be called from inside the pump, even on the connection that
// is waiting (an Abort button): the waiting operation then throws
// ENetStopped. Destroying the object inside the pump is safe as well.
// Movable, not copyable; one thread at a time.
class Connection final {
 public:
  Connection();
  explicit Connection(WaitControl wait);
  ~Connection();
  Connection(Connection&&) noexcept;
  Connection& operator=(Connection&&) noexcept;
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Closes what was open, resolves `host` and connects to its addresses in
  // turn; `on_attempt` is told each address before it is tried ("Connecting
  // to ..."). Throws ENetError (the last address's reason), ENetStopped,
  // ENetTimeout; on failure the connection stays closed and holds no
  // descriptor. An operation still waiting on the old connection (in the
  // pump that called this) ends with ENetStopped.
  void Connect(const std::string& host, uint16_t port,
               const std::function<void(const Endpoint&)>& on_attempt = {});
  // The same with addresses already resolved; `host` names the peer in
  // error texts and is the name TLS checks.
  void Connect(const std::string& host, const std::vector<Endpoint>& addresses,
               const std::function<void(const Endpoint&)>& on_attempt = {});
  // Connect, then StartTls (implicit TLS, as on ports 990 and 465).
  void ConnectTls(const std::string& host, uint16_t port, const TlsClient& tls,
                  const TlsSession& resume = {});

  // Turns the open plain connection into TLS (STARTTLS, AUTH TLS): the
  // handshake, then the chain and name check or the pin. `resume` is offered
  // to the server. On failure throws ETlsError (or a wait error) and closes
  // the connection. REQUIRES: open, not TLS yet, nothing left unread.
  void StartTls(const TlsClient& tls, const TlsSession& resume = {});

  // Reads what is available, waiting for at least one byte; returns 0 at the
  // end of the stream (after a TLS close alert under TLS). Throws ENetError.
  [[nodiscard]] size_t ReadSome(std::span<std::byte> buf);
  // Reads one line, its line end ("\n" or "\r\n") included. At the end of the
  // stream a partial line is returned without one; when nothing is left,
  // throws ENetClosed. A line over kMaxLineBytes throws EProtocolError.
  [[nodiscard]] std::string ReadLine();
  // Writes all of `data` or throws ENetError.
  void Write(std::span<const std::byte> data);
  void Write(std::string_view text);

  // Ends the stream in order: under TLS sends the close alert (waiting as a
  // write does), then closes. Throws when the alert cannot be sent, so an
  // upload learns that its end did not arrive. Closes in every case.
  void CloseOrderly();
  // Closes at once, without a close alert, never waiting or throwing. Safe
  // from inside the pump.
  void Close() noexcept;

  [[nodiscard]] bool IsOpen() const;
  [[nodiscard]] bool IsTls() const;
  // The name given to Connect (or Listener::Accept).
  [[nodiscard]] const std::string& Host() const;
  // "host:port", as error texts name the peer.
  [[nodiscard]] std::string PeerName() const;
  [[nodiscard]] Endpoint LocalEndpoint() const;  // for FTP's PORT and EPRT
  [[nodiscard]] Endpoint PeerEndpoint() const;

  // Under TLS: the server's certificate, the session to offer to a later
  // connection, and whether this one resumed the session it offered.
  [[nodiscard]] TlsPeerInfo PeerCertificate() const;
  [[nodiscard]] TlsSession Session() const;
  [[nodiscard]] bool SessionReused() const;

  // Application bytes moved since the connection opened.
  [[nodiscard]] uint64_t BytesRead() const;
  [[nodiscard]] uint64_t BytesWritten() const;

  struct State;

 private:
  friend class Listener;
  // Takes a connected socket (from Listener::Accept).
  Connection(UniqueFd fd, std::string host, WaitControl wait);
  // Closes the current state and publishes a new one for `host`.
  std::shared_ptr<State> Fresh(const std::string& host);
  // Tries each address with the state's pacer; holds no descriptor on failure.
  static void ConnectTo(State& s, const std::vector<Endpoint>& addresses,
                        const std::function<void(const Endpoint&)>& on_attempt);

  // A fresh state for every connect, so an operation still waiting on the
  // old one (in a pump that reconnects) never wakes up on the new socket.
  WaitControl wait_;
  std::shared_ptr<State> state_;
};

}  // namespace zb::net
