#include "net/tls.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>

#include <cctype>
#include <cerrno>
#include <cstring>

#include "net/endpoint.h"
#include "net/tls_stream.h"

namespace zb::net {
namespace {

// OpenSSL keeps its errors in a per-thread queue. The earliest entry is the
// cause; later ones only say where it surfaced.
std::string TakeOpenSslReason() {
  std::string reason;
  while (const unsigned long e = ERR_get_error()) {
    if (!reason.empty()) continue;
    const char* text = ERR_reason_error_string(e);
    if (text != nullptr) {
      reason = text;
    } else {
      char buf[256];
      ERR_error_string_n(e, buf, sizeof buf);
      reason = buf;
    }
  }
  return reason;
}

int ProtocolVersion(TlsVersion v) {
  return v == TlsVersion::kTls12 ? TLS1_2_VERSION : TLS1_3_VERSION;
}

// After a failed send or recv: a would-block asks OpenSSL to call again,
// anything else is kept for the error text.
void NoteFailure(BIO* bio, TlsSocketIo* io, bool writing) {
  if (errno == EAGAIN || errno == EWOULDBLOCK) {
    writing ? BIO_set_retry_write(bio) : BIO_set_retry_read(bio);
  } else {
    io->last_errno = errno;
  }
}

// A socket BIO of our own: OpenSSL's writes with write(2), and a write to a
// peer that has gone away would raise SIGPIPE and end the program. send(2)
// with MSG_NOSIGNAL turns that into EPIPE. It also keeps the OS reason of a
// failure for the error text.
int BioWrite(BIO* bio, const char* data, size_t len, size_t* written) {
  auto* io = static_cast<TlsSocketIo*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  for (;;) {
    const ssize_t n = ::send(io->fd, data, len, MSG_NOSIGNAL);
    if (n >= 0) {
      *written = static_cast<size_t>(n);
      return 1;
    }
    if (errno == EINTR) continue;
    NoteFailure(bio, io, true);
    return 0;
  }
}

int BioRead(BIO* bio, char* data, size_t len, size_t* read_bytes) {
  auto* io = static_cast<TlsSocketIo*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  for (;;) {
    const ssize_t n = ::recv(io->fd, data, len, 0);
    if (n > 0) {
      *read_bytes = static_cast<size_t>(n);
      return 1;
    }
    if (n == 0) {
      io->eof = true;
      *read_bytes = 0;
      return 0;
    }
    if (errno == EINTR) continue;
    NoteFailure(bio, io, false);
    return 0;
  }
}

long BioCtrl(BIO* bio, int cmd, long /*num*/, void* /*ptr*/) {
  auto* io = static_cast<TlsSocketIo*>(BIO_get_data(bio));
  switch (cmd) {
    case BIO_CTRL_FLUSH:
      return 1;
    case BIO_CTRL_EOF:  // how OpenSSL tells a cut stream from a would-block
      return io != nullptr && io->eof ? 1 : 0;
    default:
      return 0;
  }
}

const BIO_METHOD* SocketBioMethod() {
  static BIO_METHOD* const method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "zb socket");
    BIO_meth_set_write_ex(m, BioWrite);
    BIO_meth_set_read_ex(m, BioRead);
    BIO_meth_set_ctrl(m, BioCtrl);
    return m;
  }();
  return method;
}

TlsStream* StreamOf(SSL* ssl) { return static_cast<TlsStream*>(SSL_get_app_data(ssl)); }

// Accepts every certificate during the handshake and remembers the first
// complaint. The handshake then completes even for a certificate we refuse,
// so its details can be shown to the user; CheckPeer refuses it before any
// data is exchanged.
int OnVerify(int ok, X509_STORE_CTX* store) {
  if (ok == 0) {
    auto* ssl =
        static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    if (ssl != nullptr && StreamOf(ssl) != nullptr) {
      StreamOf(ssl)->RecordVerifyError(X509_STORE_CTX_get_error(store));
    }
  }
  return 1;
}

// TLS 1.3 servers send their session tickets after the handshake, so the
// session to resume is only known when one arrives; the last one wins.
int OnNewSession(SSL* ssl, SSL_SESSION* session) {
  TlsStream* stream = StreamOf(ssl);
  if (stream == nullptr) return 0;
  stream->TakeSession(session);
  return 1;  // we keep the reference
}

std::string NameText(const X509_NAME* name) {
  BIO* mem = BIO_new(BIO_s_mem());
  if (mem == nullptr) return {};
  X509_NAME_print_ex(mem, name, 0, XN_FLAG_ONELINE & ~ASN1_STRFLGS_ESC_MSB);
  char* data = nullptr;
  const long len = BIO_get_mem_data(mem, &data);
  std::string out(data != nullptr && len > 0 ? data : "", len > 0 ? static_cast<size_t>(len) : 0);
  BIO_free(mem);
  return out;
}

std::string StripBrackets(const std::string& host) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    return host.substr(1, host.size() - 2);
  }
  return host;
}

}  // namespace

std::optional<std::string> NormalizeFingerprint(const std::string& text) {
  std::string hex;
  for (char c : text) {
    if (c == ':' || c == ' ') continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
    hex += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  if (hex.size() != 64) return std::nullopt;
  std::string out;
  for (size_t i = 0; i < hex.size(); i += 2) {
    if (i > 0) out += ':';
    out += hex.substr(i, 2);
  }
  return out;
}

TlsClient::Impl::~Impl() { SSL_CTX_free(ctx); }

TlsSession::Impl::~Impl() { SSL_SESSION_free(session); }

TlsSession TlsAccess::Wrap(SSL_SESSION* owned) {
  TlsSession s;
  s.impl_ = std::make_shared<TlsSession::Impl>();
  s.impl_->session = owned;
  return s;
}

TlsClient::TlsClient(const TlsConfig& config) : impl_(std::make_shared<Impl>()) {
  impl_->config = config;
  if (!config.pinned_sha256.empty()) {
    auto pin = NormalizeFingerprint(config.pinned_sha256);
    if (!pin) throw EInvalidInput("Not a SHA-256 fingerprint: " + config.pinned_sha256);
    impl_->pin = *pin;
  }
  ERR_clear_error();
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  if (ctx == nullptr) {
    const std::string reason = TakeOpenSslReason();
    throw ETlsError("Unable to set up TLS: " + reason, reason);
  }
  impl_->ctx = ctx;
  SSL_CTX_set_min_proto_version(ctx, ProtocolVersion(config.min_version));
  SSL_CTX_set_max_proto_version(ctx, ProtocolVersion(config.max_version));
  if (config.allow_unclean_close) SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
  SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, OnVerify);
  // Sessions go to OnNewSession and from there to the connection; OpenSSL's
  // own client cache would only hold them twice.
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
  SSL_CTX_sess_set_new_cb(ctx, OnNewSession);
  if (!impl_->pin.empty()) return;  // the pin is the whole check
  if (!config.ca_file.empty()) {
    if (SSL_CTX_load_verify_file(ctx, config.ca_file.c_str()) != 1) {
      const std::string reason = TakeOpenSslReason();
      throw ETlsError("Unable to load the CA file " + config.ca_file + ": " + reason, reason);
    }
  } else if (SSL_CTX_set_default_verify_paths(ctx) != 1) {
    const std::string reason = TakeOpenSslReason();
    throw ETlsError("Unable to load the system's CA certificates: " + reason, reason);
  }
}

const TlsConfig& TlsClient::Config() const { return impl_->config; }

TlsStream::TlsStream(const TlsClient& client, int fd, std::string peer_name,
                     std::string verify_host, const TlsSession& resume)
    : io_(std::make_unique<TlsSocketIo>()),
      client_(TlsAccess::Of(client)),
      peer_name_(std::move(peer_name)),
      verify_host_(StripBrackets(verify_host)) {
  io_->fd = fd;
  ERR_clear_error();
  ssl_ = SSL_new(client_->ctx);
  BIO* bio = ssl_ != nullptr ? BIO_new(SocketBioMethod()) : nullptr;
  if (bio == nullptr) {
    SSL_free(ssl_);
    const std::string reason = TakeOpenSslReason();
    throw ETlsError("Unable to set up TLS with " + peer_name_ + ": " + reason, reason);
  }
  BIO_set_data(bio, io_.get());
  BIO_set_init(bio, 1);
  SSL_set_bio(ssl_, bio, bio);
  SSL_set_app_data(ssl_, this);
  const bool numeric = IsIpAddress(verify_host_);
  bool ok = true;
  if (client_->pin.empty()) {
    if (numeric) {
      ok = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_), verify_host_.c_str()) == 1;
    } else {
      SSL_set_hostflags(ssl_, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
      ok = SSL_set1_host(ssl_, verify_host_.c_str()) == 1;
    }
  }
  // Server name indication carries host names only (RFC 6066, section 3).
  if (ok && !numeric && !verify_host_.empty()) {
    ok = SSL_set_tlsext_host_name(ssl_, verify_host_.c_str()) == 1;
  }
  if (ok && TlsAccess::Of(resume) != nullptr) {
    // A copy: after a TLS 1.3 handshake OpenSSL marks the session it used as
    // spent, and FTPS offers the control connection's session on every data
    // connection.
    SSL_SESSION* copy = SSL_SESSION_dup(TlsAccess::Of(resume));
    ok = copy != nullptr && SSL_set_session(ssl_, copy) == 1;
    SSL_SESSION_free(copy);
  }
  if (!ok) {
    const std::string reason = TakeOpenSslReason();
    SSL_free(ssl_);
    throw ETlsError("Unable to set up TLS with " + peer_name_ + ": " + reason, reason);
  }
  SSL_set_connect_state(ssl_);
}

TlsStream::~TlsStream() {
  SSL_free(ssl_);
  SSL_SESSION_free(latest_session_);
  ERR_clear_error();
}

void TlsStream::Prepare() {
  ERR_clear_error();
  io_->last_errno = 0;
}

TlsIo TlsStream::Handshake() {
  Prepare();
  const int ret = SSL_do_handshake(ssl_);
  if (ret == 1) {
    handshake_done_ = true;
    return TlsIo::kDone;
  }
  return Classify(ret, Op::kHandshake);
}

TlsIo TlsStream::Read(void* buf, size_t len, size_t* got) {
  Prepare();
  *got = 0;
  if (SSL_read_ex(ssl_, buf, len, got) == 1) return TlsIo::kDone;
  return Classify(0, Op::kRead);
}

TlsIo TlsStream::Write(const void* buf, size_t len, size_t* put) {
  Prepare();
  *put = 0;
  if (SSL_write_ex(ssl_, buf, len, put) == 1) return TlsIo::kDone;
  return Classify(0, Op::kWrite);
}

TlsIo TlsStream::Shutdown() {
  Prepare();
  const int ret = SSL_shutdown(ssl_);
  if (ret >= 0) return TlsIo::kDone;  // 0: ours is out; the peer's is not awaited
  return Classify(ret, Op::kShutdown);
}

bool TlsStream::PeerClosed() const { return (SSL_get_shutdown(ssl_) & SSL_RECEIVED_SHUTDOWN) != 0; }

void TlsStream::ForgetQuietly() {
  if (!handshake_done_) return;
  // OpenSSL drops the session of a connection freed without a close alert;
  // a quiet shutdown records one as sent without sending it. The peer still
  // sees an abrupt end, as it should after an abort.
  SSL_set_quiet_shutdown(ssl_, 1);
  (void)SSL_shutdown(ssl_);
  ERR_clear_error();
}

TlsIo TlsStream::Classify(int ret, Op op) {
  const int err = SSL_get_error(ssl_, ret);
  switch (err) {
    case SSL_ERROR_WANT_READ:
      return TlsIo::kWantRead;
    case SSL_ERROR_WANT_WRITE:
      return TlsIo::kWantWrite;
    case SSL_ERROR_ZERO_RETURN:
      return TlsIo::kClosed;
    default:
      break;
  }
  std::string reason = TakeOpenSslReason();
  if (io_->last_errno != 0) {
    reason = std::strerror(io_->last_errno);
  } else if (reason.empty()) {
    reason = io_->eof ? "connection closed by the peer" : "error " + std::to_string(err);
  }
  std::string message;
  switch (op) {
    case Op::kHandshake:
      message = "TLS handshake with " + peer_name_ + " failed: ";
      break;
    case Op::kRead:
      message = "Unable to receive from " + peer_name_ + ": ";
      break;
    case Op::kWrite:
      message = "Unable to send to " + peer_name_ + ": ";
      break;
    case Op::kShutdown:
      message = "Unable to close the TLS connection to " + peer_name_ + ": ";
      break;
  }
  throw ETlsError(message + reason, reason);
}

void TlsStream::CheckPeer() const {
  const TlsPeerInfo info = PeerInfo();
  if (info.empty()) {
    throw ETlsError(peer_name_ + " sent no certificate", "no peer certificate", info, true);
  }
  if (!client_->pin.empty()) {
    if (info.sha256_fingerprint != client_->pin) {
      throw ETlsError(
          "The certificate of " + peer_name_ + " is not the pinned one",
          "fingerprint " + info.sha256_fingerprint + " is not the pinned " + client_->pin, info,
          true);
    }
    return;
  }
  // A resumed session carries the verdict of the handshake that made it.
  const long err = first_verify_error_ != 0 ? first_verify_error_ : SSL_get_verify_result(ssl_);
  if (err != X509_V_OK) {
    const std::string reason = X509_verify_cert_error_string(err);
    throw ETlsError("Certificate verification failed for " + peer_name_ + ": " + reason, reason,
                    info, true);
  }
}

TlsPeerInfo TlsStream::PeerInfo() const {
  TlsPeerInfo info;
  const X509* cert = SSL_get0_peer_certificate(ssl_);
  if (cert == nullptr) return info;
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (X509_digest(cert, EVP_sha256(), md, &len) == 1) {
    static const char kHex[] = "0123456789ABCDEF";
    for (unsigned int i = 0; i < len; ++i) {
      if (i > 0) info.sha256_fingerprint += ':';
      info.sha256_fingerprint += kHex[md[i] >> 4];
      info.sha256_fingerprint += kHex[md[i] & 15];
    }
  }
  info.subject = NameText(X509_get_subject_name(cert));
  info.issuer = NameText(X509_get_issuer_name(cert));
  ERR_clear_error();
  return info;
}

TlsSession TlsStream::Session() const {
  if (latest_session_ != nullptr) {
    SSL_SESSION_up_ref(latest_session_);
    return TlsAccess::Wrap(latest_session_);
  }
  if (!handshake_done_) return {};
  SSL_SESSION* s = SSL_get1_session(ssl_);
  if (s == nullptr) return {};
  if (SSL_SESSION_is_resumable(s) != 1) {
    SSL_SESSION_free(s);
    return {};
  }
  return TlsAccess::Wrap(s);
}

bool TlsStream::Reused() const { return SSL_session_reused(ssl_) == 1; }

void TlsStream::TakeSession(SSL_SESSION* session) {
  SSL_SESSION_free(latest_session_);
  latest_session_ = session;
}

void TlsStream::RecordVerifyError(int error) {
  if (first_verify_error_ == 0) first_verify_error_ = error;
}

}  // namespace zb::net
