#pragma once

#include <string>

#include "base/errors.h"

namespace zb::net {

// A network operation failed. The text names the peer ("host:port") and the
// OS or library reason: "Unable to connect to ftp.example.org:21: Connection
// refused".
class ENetError : public Error {
 public:
  using Error::Error;
};

// The caller ended a wait: its stop check answered true, or its pump closed
// the connection the operation was waiting on.
class ENetStopped final : public ENetError {
 public:
  using ENetError::ENetError;
};

// A wait lasted longer than the time-out the caller set.
class ENetTimeout final : public ENetError {
 public:
  using ENetError::ENetError;
};

// The peer ended the stream where more was expected (inside a line or a
// reply).
class ENetClosed final : public ENetError {
 public:
  using ENetError::ENetError;
};

// The peer broke the bounds of the line protocol: a line longer than
// kMaxLineBytes, a reply of more than kMaxReplyLines lines, or a reply that
// does not begin with a three-digit code.
class EProtocolError final : public ENetError {
 public:
  using ENetError::ENetError;
};

}  // namespace zb::net
