#include "net/listener.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

#include "net/net_error.h"
#include "net/socket_util.h"
#include "platform/unique_fd.h"

namespace zb::net {

struct Listener::State {
  UniqueFd fd;
  Endpoint local;
  bool closed = false;
};

Listener::Listener() = default;

Listener::Listener(WaitControl wait) : wait_(std::move(wait)) {}

Listener::~Listener() { Close(); }

Listener::Listener(Listener&&) noexcept = default;

Listener& Listener::operator=(Listener&& o) noexcept {
  if (this != &o) {
    Close();
    wait_ = std::move(o.wait_);
    state_ = std::move(o.state_);
  }
  return *this;
}

void Listener::Open(const std::string& address) {
  Close();
  Endpoint want{address, 0, address.find(':') != std::string::npos};
  sockaddr_storage addr;
  const socklen_t len = ToSockaddr(want, &addr);
  if (len == 0) throw ENetError("Not a numeric address: " + address);
  UniqueFd fd(::socket(addr.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP));
  if (!fd.Valid()) throw ENetError("Unable to create a socket: " + ErrnoText(errno));
  if (::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&addr), len) != 0 ||
      ::listen(fd.Get(), 1) != 0) {
    throw ENetError("Unable to listen on " + want.ToString() + ": " + ErrnoText(errno));
  }
  auto s = std::make_shared<State>();
  s->local = LocalOf(fd.Get());
  s->fd = std::move(fd);
  state_ = std::move(s);
}

Endpoint Listener::LocalEndpoint() const { return state_ ? state_->local : Endpoint{}; }

Connection Listener::Accept(const std::string& host, const std::string& only_from) {
  if (!IsOpen()) throw ENetError("Not listening");
  auto s = state_;
  Pacer pacer(wait_);
  UniqueFd accepted;
  try {
    pacer.WaitUntil(
        [&](std::chrono::milliseconds slice) {
          if (s->closed) throw ENetStopped("Listening on " + s->local.ToString() + " closed");
          pollfd p{s->fd.Get(), POLLIN, 0};
          if (::poll(&p, 1, static_cast<int>(slice.count())) <= 0) return false;
          sockaddr_storage peer{};
          socklen_t peer_len = sizeof peer;
          UniqueFd fd(::accept4(s->fd.Get(), reinterpret_cast<sockaddr*>(&peer), &peer_len,
                                SOCK_NONBLOCK | SOCK_CLOEXEC));
          if (!fd.Valid()) {
            // Gone before we took it, or not there after all: wait on.
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED ||
                errno == EINTR) {
              return false;
            }
            throw ENetError("Unable to accept on " + s->local.ToString() + ": " + ErrnoText(errno));
          }
          if (!only_from.empty() && FromSockaddr(peer).address != only_from) return false;
          accepted = std::move(fd);
          return true;
        },
        "waiting for a connection on " + s->local.ToString());
  } catch (...) {
    s->closed = true;
    s->fd.Reset();
    throw;
  }
  s->closed = true;
  s->fd.Reset();
  return Connection(std::move(accepted), host, wait_);
}

void Listener::Close() noexcept {
  if (!state_) return;
  state_->closed = true;
  state_->fd.Reset();
}

bool Listener::IsOpen() const { return state_ && !state_->closed; }

}  // namespace zb::net
