#pragma once

// Internal to src/net: the OpenSSL side of a TLS connection. Nothing outside
// this folder includes this header.

#include <openssl/ssl.h>

#include <cstddef>
#include <memory>
#include <string>

#include "net/tls.h"

namespace zb::net {

struct TlsClient::Impl {
  TlsConfig config;
  std::string pin;  // normalised, empty when none
  SSL_CTX* ctx = nullptr;
  ~Impl();
};

struct TlsSession::Impl {
  SSL_SESSION* session = nullptr;
  ~Impl();
};

// Reaches the private parts of the public handles.
struct TlsAccess {
  static std::shared_ptr<TlsClient::Impl> Of(const TlsClient& c) { return c.impl_; }
  static SSL_SESSION* Of(const TlsSession& s) { return s.impl_ ? s.impl_->session : nullptr; }
  static TlsSession Wrap(SSL_SESSION* owned);
};

// The socket under a TLS stream, as its BIO sees it.
struct TlsSocketIo {
  int fd = -1;
  int last_errno = 0;  // the OS reason of the last failed send or recv
  bool eof = false;    // recv saw the end of the stream
};

// What one step of TLS work needs before it can go on.
enum class TlsIo { kDone, kWantRead, kWantWrite, kClosed };

// One TLS client connection over a non-blocking socket the caller owns and
// waits on. Each call does what it can without blocking and says what it
// waits for; the caller polls and calls again with the same arguments.
class TlsStream final {
 public:
  // `peer_name` ("host:port") is for messages; `verify_host` is the name or
  // address the certificate must carry. Throws ETlsError.
  TlsStream(const TlsClient& client, int fd, std::string peer_name, std::string verify_host,
            const TlsSession& resume);
  ~TlsStream();
  TlsStream(const TlsStream&) = delete;
  TlsStream& operator=(const TlsStream&) = delete;

  [[nodiscard]] TlsIo Handshake();
  // After a completed handshake: the chain and host name, or the pin.
  // Throws ETlsError with the certificate's details.
  void CheckPeer() const;
  // kDone with *got > 0, or kClosed at the peer's close alert.
  [[nodiscard]] TlsIo Read(void* buf, size_t len, size_t* got);
  [[nodiscard]] TlsIo Write(const void* buf, size_t len, size_t* put);
  // Sends the close alert. kDone once it is out.
  [[nodiscard]] TlsIo Shutdown();
  // True once the peer's close alert has arrived.
  [[nodiscard]] bool PeerClosed() const;
  // Marks the connection as shut down without sending anything, so that an
  // abrupt close does not make its session unusable for resumption.
  void ForgetQuietly();

  [[nodiscard]] TlsPeerInfo PeerInfo() const;
  [[nodiscard]] TlsSession Session() const;
  [[nodiscard]] bool Reused() const;

  // The new-session and verify callbacks reach the stream through these.
  void TakeSession(SSL_SESSION* session);
  void RecordVerifyError(int error);

 private:
  enum class Op { kHandshake, kRead, kWrite, kShutdown };
  [[nodiscard]] TlsIo Classify(int ret, Op op);
  void Prepare();

  std::unique_ptr<TlsSocketIo> io_;
  std::shared_ptr<TlsClient::Impl> client_;
  SSL* ssl_ = nullptr;
  std::string peer_name_;
  std::string verify_host_;
  SSL_SESSION* latest_session_ = nullptr;
  int first_verify_error_ = 0;
  bool handshake_done_ = false;
};

}  // namespace zb::net
