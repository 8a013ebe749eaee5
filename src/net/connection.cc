#include "net/connection.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <exception>

#include "net/net_error.h"
#include "net/socket_util.h"
#include "net/tls_stream.h"

namespace zb::net {

struct Connection::State {
  explicit State(const WaitControl& wait, std::string host_name)
      : pacer(wait), host(std::move(host_name)) {}

  Pacer pacer;
  std::string host;
  UniqueFd fd;
  bool closed = false;
  Endpoint local;
  Endpoint peer;
  std::unique_ptr<TlsStream> tls;
  std::string in;  // received, not yet handed out from in_pos on
  size_t in_pos = 0;
  uint64_t bytes_read = 0;
  uint64_t bytes_written = 0;

  [[nodiscard]] std::string Peer() const { return net::PeerName(host, peer.port); }
};

namespace {

using State = Connection::State;

// Reads and writes move at most this much per system call.
constexpr size_t kReadChunk = 64 * 1024;

void Shut(State& s) noexcept {
  s.closed = true;
  if (s.tls) {
    s.tls->ForgetQuietly();
    s.tls.reset();
  }
  s.fd.Reset();
  s.in.clear();
  s.in_pos = 0;
}

void CheckLive(const State& s) {
  if (s.closed) throw ENetStopped("Connection to " + s.Peer() + " closed");
}

// Waits until the socket is ready for `events`. The pump may close the
// connection meanwhile; the next slice then ends the wait.
void WaitReady(State& s, short events) {
  s.pacer.WaitUntil(
      [&s, events](std::chrono::milliseconds slice) {
        CheckLive(s);
        pollfd p{s.fd.Get(), events, 0};
        const int r = ::poll(&p, 1, static_cast<int>(slice.count()));
        if (r < 0 && errno != EINTR) {
          throw ENetError("Unable to wait for " + s.Peer() + ": " + ErrnoText(errno));
        }
        return r > 0;
      },
      "waiting for " + s.Peer());
}

void WaitTls(State& s, TlsIo want) { WaitReady(s, want == TlsIo::kWantWrite ? POLLOUT : POLLIN); }

void SetNoDelay(int fd) {
  // Commands go out as single small writes and their replies are awaited;
  // Nagle's delay would only add latency to each.
  const int one = 1;
  (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

std::string Target(const std::string& host, const Endpoint& e) {
  std::string text = net::PeerName(host, e.port);
  if (host != e.address) text += " (" + e.address + ")";
  return text;
}

void ConnectOne(State& s, const Endpoint& e) {
  sockaddr_storage addr;
  const socklen_t len = ToSockaddr(e, &addr);
  if (len == 0) throw ENetError("Not a numeric address: " + e.address);
  UniqueFd fd(::socket(addr.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP));
  if (!fd.Valid()) throw ENetError("Unable to create a socket: " + ErrnoText(errno));
  const int r = ::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&addr), len);
  // A non-blocking connect interrupted by a signal goes on in the background
  // just as one in progress does.
  if (r != 0 && errno != EINPROGRESS && errno != EINTR) {
    throw ENetError("Unable to connect to " + Target(s.host, e) + ": " + ErrnoText(errno));
  }
  s.fd = std::move(fd);
  s.peer = e;
  if (r != 0) {
    WaitReady(s, POLLOUT);
    int err = 0;
    socklen_t err_len = sizeof err;
    if (getsockopt(s.fd.Get(), SOL_SOCKET, SO_ERROR, &err, &err_len) != 0) err = errno;
    if (err != 0) {
      s.fd.Reset();
      throw ENetError("Unable to connect to " + Target(s.host, e) + ": " + ErrnoText(err));
    }
  }
  SetNoDelay(s.fd.Get());
  s.local = LocalOf(s.fd.Get());
  s.peer = PeerOf(s.fd.Get());
}

// A socket that failed is of no further use: it is closed before the error
// passes on, so no descriptor outlives a failure. A stop or a time-out
// leaves it open for the caller to decide.
template <typename Fn>
auto ClosingOnFailure(State& s, Fn&& fn) -> decltype(fn()) {
  try {
    return fn();
  } catch (const ENetStopped&) {
    throw;
  } catch (const ENetTimeout&) {
    throw;
  } catch (const ENetError&) {
    Shut(s);
    throw;
  }
}

size_t ReadRawOnce(State& s, void* buf, size_t len) {
  for (;;) {
    s.pacer.Tick();
    CheckLive(s);
    if (s.tls) {
      size_t got = 0;
      const TlsIo r = s.tls->Read(buf, len, &got);
      if (r == TlsIo::kDone) {
        s.bytes_read += got;
        return got;
      }
      if (r == TlsIo::kClosed) return 0;
      WaitTls(s, r);
      continue;
    }
    const ssize_t n = ::recv(s.fd.Get(), buf, len, 0);
    if (n >= 0) {
      s.bytes_read += static_cast<uint64_t>(n);
      return static_cast<size_t>(n);
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      throw ENetError("Unable to receive from " + s.Peer() + ": " + ErrnoText(errno));
    }
    WaitReady(s, POLLIN);
  }
}

size_t ReadRaw(State& s, void* buf, size_t len) {
  return ClosingOnFailure(s, [&] { return ReadRawOnce(s, buf, len); });
}

void WriteAll(State& s, std::span<const std::byte> data) {
  while (!data.empty()) {
    s.pacer.Tick();
    CheckLive(s);
    if (s.tls) {
      size_t put = 0;
      const TlsIo r = s.tls->Write(data.data(), data.size(), &put);
      if (r == TlsIo::kDone) {
        s.bytes_written += put;
        data = data.subspan(put);
      } else if (r == TlsIo::kClosed) {
        throw ENetError("Unable to send to " + s.Peer() + ": the peer closed the connection");
      } else {
        WaitTls(s, r);
      }
      continue;
    }
    const ssize_t n = ::send(s.fd.Get(), data.data(), data.size(), MSG_NOSIGNAL);
    if (n >= 0) {
      s.bytes_written += static_cast<uint64_t>(n);
      data = data.subspan(static_cast<size_t>(n));
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      throw ENetError("Unable to send to " + s.Peer() + ": " + ErrnoText(errno));
    }
    WaitReady(s, POLLOUT);
  }
}

void DropConsumed(State& s) {
  if (s.in_pos == s.in.size()) {
    s.in.clear();
    s.in_pos = 0;
  } else if (s.in_pos > kReadChunk) {
    s.in.erase(0, s.in_pos);
    s.in_pos = 0;
  }
}

const std::string kNoHost;

}  // namespace

Connection::Connection() = default;

Connection::Connection(WaitControl wait) : wait_(std::move(wait)) {}

Connection::Connection(UniqueFd fd, std::string host, WaitControl wait) : wait_(std::move(wait)) {
  auto s = std::make_shared<State>(wait_, std::move(host));
  s->fd = std::move(fd);
  SetNoDelay(s->fd.Get());
  s->local = LocalOf(s->fd.Get());
  s->peer = PeerOf(s->fd.Get());
  state_ = std::move(s);
}

Connection::~Connection() { Close(); }

Connection::Connection(Connection&& o) noexcept = default;

Connection& Connection::operator=(Connection&& o) noexcept {
  if (this != &o) {
    Close();
    wait_ = std::move(o.wait_);
    state_ = std::move(o.state_);
  }
  return *this;
}

void Connection::Connect(const std::string& host, uint16_t port,
                         const std::function<void(const Endpoint&)>& on_attempt) {
  auto s = Fresh(host);
  std::vector<Endpoint> addresses;
  try {
    // The lookup runs on a thread of its own and knows nothing of this
    // connection; a Close() from the pump reaches it as a stop.
    WaitControl control = wait_;
    control.stop_requested = [state = s.get(), stop = wait_.stop_requested] {
      return state->closed || (stop && stop());
    };
    Pacer pacer(std::move(control));
    addresses = Resolve(host, port, pacer);
  } catch (...) {
    Shut(*s);
    throw;
  }
  ConnectTo(*s, addresses, on_attempt);
}

void Connection::Connect(const std::string& host, const std::vector<Endpoint>& addresses,
                         const std::function<void(const Endpoint&)>& on_attempt) {
  auto s = Fresh(host);
  ConnectTo(*s, addresses, on_attempt);
}

std::shared_ptr<Connection::State> Connection::Fresh(const std::string& host) {
  Close();
  // Published before the first wait, so that Close() from the pump reaches
  // the attempt in progress.
  state_ = std::make_shared<State>(wait_, host);
  return state_;
}

void Connection::ConnectTo(State& s, const std::vector<Endpoint>& addresses,
                           const std::function<void(const Endpoint&)>& on_attempt) {
  std::exception_ptr last;
  try {
    for (const Endpoint& e : addresses) {
      if (on_attempt) on_attempt(e);
      CheckLive(s);
      try {
        ConnectOne(s, e);
        return;
      } catch (const ENetStopped&) {
        throw;
      } catch (const ENetError&) {
        last = std::current_exception();  // the next address may answer
      }
    }
  } catch (...) {
    Shut(s);
    throw;
  }
  Shut(s);
  if (last) std::rethrow_exception(last);
  throw ENetError("Unable to connect to " + s.host + ": no address");
}

void Connection::ConnectTls(const std::string& host, uint16_t port, const TlsClient& tls,
                            const TlsSession& resume) {
  Connect(host, port);
  StartTls(tls, resume);
}

void Connection::StartTls(const TlsClient& tls, const TlsSession& resume) {
  if (!IsOpen()) throw ENetError("Not connected");
  auto s = state_;
  if (s->tls) throw ENetError("The connection to " + s->Peer() + " already uses TLS");
  try {
    // Bytes that arrived before the handshake were sent in the clear and
    // would be read as if protected; a server never sends any there.
    if (s->in_pos < s->in.size()) {
      throw EProtocolError(s->Peer() + " sent data before the TLS handshake");
    }
    const std::string& name = tls.Config().server_name;
    s->tls = std::make_unique<TlsStream>(tls, s->fd.Get(), s->Peer(), name.empty() ? s->host : name,
                                         resume);
    for (;;) {
      CheckLive(*s);
      const TlsIo r = s->tls->Handshake();
      if (r == TlsIo::kDone) break;
      if (r == TlsIo::kClosed) {
        throw ETlsError("TLS handshake with " + s->Peer() + " failed: connection closed",
                        "connection closed");
      }
      WaitTls(*s, r);
    }
    s->tls->CheckPeer();
  } catch (...) {
    Shut(*s);
    throw;
  }
}

size_t Connection::ReadSome(std::span<std::byte> buf) {
  if (!IsOpen()) throw ENetError("Not connected");
  auto s = state_;
  if (buf.empty()) return 0;
  if (s->in_pos < s->in.size()) {
    const size_t n = std::min(buf.size(), s->in.size() - s->in_pos);
    std::copy_n(reinterpret_cast<const std::byte*>(s->in.data() + s->in_pos), n, buf.data());
    s->in_pos += n;
    DropConsumed(*s);
    return n;
  }
  return ReadRaw(*s, buf.data(), buf.size());
}

std::string Connection::ReadLine() {
  if (!IsOpen()) throw ENetError("Not connected");
  auto s = state_;
  size_t scan_from = s->in_pos;
  for (;;) {
    const size_t nl = s->in.find('\n', scan_from);
    if (nl != std::string::npos) {
      size_t content = nl - s->in_pos;
      if (content > 0 && s->in[nl - 1] == '\r') --content;
      if (content > kMaxLineBytes) break;
      std::string line = s->in.substr(s->in_pos, nl + 1 - s->in_pos);
      s->in_pos = nl + 1;
      DropConsumed(*s);
      return line;
    }
    // One byte of slack for the CR of a line that ends right at the limit.
    if (s->in.size() - s->in_pos > kMaxLineBytes + 1) break;
    scan_from = s->in.size();
    char buf[kReadChunk];
    const size_t n = ReadRaw(*s, buf, sizeof buf);
    if (n == 0) {
      if (s->in_pos == s->in.size()) throw ENetClosed("Connection closed by " + s->Peer());
      std::string rest = s->in.substr(s->in_pos);
      s->in.clear();
      s->in_pos = 0;
      return rest;
    }
    s->in.append(buf, n);
  }
  // What follows an over-long line cannot be trusted to start a new one.
  const std::string peer = s->Peer();
  Shut(*s);
  throw EProtocolError("A line from " + peer + " is longer than " + std::to_string(kMaxLineBytes) +
                       " bytes");
}

void Connection::Write(std::string_view text) {
  Write(std::span(reinterpret_cast<const std::byte*>(text.data()), text.size()));
}

void Connection::Write(std::span<const std::byte> data) {
  if (!IsOpen()) throw ENetError("Not connected");
  auto s = state_;
  ClosingOnFailure(*s, [&] { WriteAll(*s, data); });
}

void Connection::CloseOrderly() {
  if (!IsOpen()) return;
  auto s = state_;
  try {
    if (s->tls) {
      for (;;) {
        CheckLive(*s);
        const TlsIo r = s->tls->Shutdown();
        if (r == TlsIo::kDone || r == TlsIo::kClosed) break;
        WaitTls(*s, r);
      }
    } else {
      (void)::shutdown(s->fd.Get(), SHUT_WR);
    }
  } catch (const ENetStopped&) {
    Shut(*s);
    throw;
  } catch (const ENetError&) {
    // A peer that has already closed its side in order (after a download)
    // needs no alert from us.
    const bool peer_done = s->tls && s->tls->PeerClosed();
    Shut(*s);
    if (!peer_done) throw;
    return;
  }
  Shut(*s);
}

void Connection::Close() noexcept {
  if (state_) Shut(*state_);
}

bool Connection::IsOpen() const { return state_ && !state_->closed; }

bool Connection::IsTls() const { return IsOpen() && state_->tls != nullptr; }

const std::string& Connection::Host() const { return state_ ? state_->host : kNoHost; }

std::string Connection::PeerName() const { return state_ ? state_->Peer() : std::string(); }

Endpoint Connection::LocalEndpoint() const { return state_ ? state_->local : Endpoint{}; }

Endpoint Connection::PeerEndpoint() const { return state_ ? state_->peer : Endpoint{}; }

TlsPeerInfo Connection::PeerCertificate() const {
  return IsTls() ? state_->tls->PeerInfo() : TlsPeerInfo{};
}

TlsSession Connection::Session() const { return IsTls() ? state_->tls->Session() : TlsSession{}; }

bool Connection::SessionReused() const { return IsTls() && state_->tls->Reused(); }

uint64_t Connection::BytesRead() const { return state_ ? state_->bytes_read : 0; }

uint64_t Connection::BytesWritten() const { return state_ ? state_->bytes_written : 0; }

}  // namespace zb::net
