#include "net/endpoint.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "net/net_error.h"

namespace zb::net {
namespace {

std::string StripBrackets(const std::string& host) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    return host.substr(1, host.size() - 2);
  }
  return host;
}

std::vector<Endpoint> NumericEndpoint(const std::string& host, uint16_t port) {
  const std::string bare = StripBrackets(host);
  in_addr v4;
  if (inet_pton(AF_INET, bare.c_str(), &v4) == 1) return {Endpoint{bare, port, false}};
  in6_addr v6;
  if (inet_pton(AF_INET6, bare.c_str(), &v6) == 1) return {Endpoint{bare, port, true}};
  return {};
}

// What the waiting thread and the lookup thread share. The lookup thread
// holds its own reference, so the state outlives a caller that stopped
// waiting.
struct LookupJob {
  std::mutex mutex;
  std::condition_variable done_cv;
  bool done = false;
  std::vector<Endpoint> result;
  std::exception_ptr error;
};

}  // namespace

std::string Endpoint::ToString() const {
  return ipv6 ? "[" + address + "]:" + std::to_string(port) : address + ":" + std::to_string(port);
}

std::string PeerName(const std::string& host, uint16_t port) {
  const std::string bare = StripBrackets(host);
  if (bare.find(':') != std::string::npos) return "[" + bare + "]:" + std::to_string(port);
  return bare + ":" + std::to_string(port);
}

bool IsIpAddress(const std::string& host) { return !NumericEndpoint(host, 0).empty(); }

std::vector<Endpoint> SystemLookup(const std::string& host, uint16_t port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* list = nullptr;
  const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &list);
  if (rc != 0) {
    throw ENetError("Unable to resolve " + host + ": " + gai_strerror(rc));
  }
  std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> owner(list, freeaddrinfo);
  std::vector<Endpoint> out;
  for (const addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
    char text[INET6_ADDRSTRLEN] = {};
    Endpoint e;
    e.port = port;
    if (ai->ai_family == AF_INET) {
      inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr, text,
                sizeof text);
    } else if (ai->ai_family == AF_INET6) {
      inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(ai->ai_addr)->sin6_addr, text,
                sizeof text);
      e.ipv6 = true;
    } else {
      continue;
    }
    e.address = text;
    bool seen = false;
    for (const Endpoint& o : out) seen = seen || o == e;
    if (!seen) out.push_back(e);
  }
  if (out.empty()) throw ENetError("Unable to resolve " + host + ": no address");
  return out;
}

std::vector<Endpoint> Resolve(const std::string& host, uint16_t port, Pacer& pacer) {
  return ResolveWith(SystemLookup, host, port, pacer);
}

std::vector<Endpoint> ResolveWith(const LookupFunction& lookup, const std::string& host,
                                  uint16_t port, Pacer& pacer) {
  if (auto numeric = NumericEndpoint(host, port); !numeric.empty()) return numeric;
  if (host.empty()) throw ENetError("Unable to resolve an empty host name");

  auto job = std::make_shared<LookupJob>();
  std::thread worker;
  try {
    worker = std::thread([job, lookup, host, port] {
      std::vector<Endpoint> result;
      std::exception_ptr error;
      try {
        result = lookup(host, port);
      } catch (...) {
        error = std::current_exception();
      }
      std::lock_guard lock(job->mutex);
      job->result = std::move(result);
      job->error = error;
      job->done = true;
      job->done_cv.notify_all();
    });
  } catch (const std::system_error& e) {
    throw ENetError("Unable to resolve " + host + ": " + e.what());
  }
  worker.detach();

  pacer.WaitUntil(
      [&job](std::chrono::milliseconds slice) {
        std::unique_lock lock(job->mutex);
        return job->done_cv.wait_for(lock, slice, [&job] { return job->done; });
      },
      "resolving " + host);
  std::lock_guard lock(job->mutex);
  if (job->error) std::rethrow_exception(job->error);
  return std::move(job->result);
}

}  // namespace zb::net
