#pragma once

#include <memory>
#include <optional>
#include <string>

#include "net/net_error.h"

namespace zb::net {

enum class TlsVersion { kTls12, kTls13 };

// How a TLS client checks its servers. A plain value: copy it, keep it in
// settings.
struct TlsConfig {
  // PEM file of the certificates to trust. Empty: the system's store
  // through OpenSSL's default paths (SSL_CERT_FILE and SSL_CERT_DIR apply).
  std::string ca_file;
  // SHA-256 fingerprint of the one certificate to accept, as hex with or
  // without colons. When set it replaces the CA and host name checks.
  std::string pinned_sha256;
  // The name to send (SNI) and to check the certificate against, when it is
  // not the host connected to.
  std::string server_name;
  TlsVersion min_version = TlsVersion::kTls12;
  TlsVersion max_version = TlsVersion::kTls13;
  // Treat a peer that closes the socket without a TLS close alert as a
  // normal end of stream. Off, such an end is an error, since the data
  // before it may have been cut short.
  bool allow_unclean_close = false;
};

// The server certificate as a user would be shown it.
struct TlsPeerInfo {
  std::string sha256_fingerprint;  // "AB:CD:...", 32 bytes as upper-case hex
  std::string subject;             // "CN = host, O = ..."
  std::string issuer;
  [[nodiscard]] bool empty() const { return sha256_fingerprint.empty(); }
};

// A TLS handshake, verification or record failed. The text names the peer
// and OpenSSL's reason; a failed verification also keeps the certificate so
// a window can ask whether to trust it and retry with it pinned.
class ETlsError final : public ENetError {
 public:
  ETlsError(const std::string& message, std::string reason, TlsPeerInfo peer = {},
            bool verification_failed = false)
      : ENetError(message),
        reason_(std::move(reason)),
        peer_(std::move(peer)),
        verification_failed_(verification_failed) {}
  [[nodiscard]] const std::string& Reason() const { return reason_; }
  [[nodiscard]] const TlsPeerInfo& Peer() const { return peer_; }
  // True when the handshake worked but the certificate was refused (not
  // trusted, wrong name, not the pinned one).
  [[nodiscard]] bool VerificationFailed() const { return verification_failed_; }

 private:
  std::string reason_;
  TlsPeerInfo peer_;
  bool verification_failed_;
};

// A TLS session a connection established, offered by a later connection to
// resume it (FTPS data connections resume the control connection's). Empty
// until the server has sent one; under TLS 1.3 that happens after the
// handshake, on the first read.
class TlsSession final {
 public:
  TlsSession() = default;
  [[nodiscard]] bool empty() const { return !impl_; }

  struct Impl;

 private:
  friend class TlsClient;
  friend struct TlsAccess;
  std::shared_ptr<Impl> impl_;
};

// A TLS client made from a TlsConfig: holds the loaded trust store, and is
// shared by every connection that uses the config. Cheap to copy.
class TlsClient final {
 public:
  // Throws ETlsError when the CA file cannot be loaded, EInvalidInput when
  // the pinned fingerprint is not 64 hex digits.
  explicit TlsClient(const TlsConfig& config);
  [[nodiscard]] const TlsConfig& Config() const;

  struct Impl;

 private:
  friend struct TlsAccess;
  std::shared_ptr<Impl> impl_;
};

// "AB:CD:..." from hex with or without colons or blanks, either case;
// nullopt unless it holds exactly 32 bytes.
[[nodiscard]] std::optional<std::string> NormalizeFingerprint(const std::string& text);

}  // namespace zb::net
