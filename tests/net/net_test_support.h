#pragma once

// Helpers of the network tests: the stream server's byte pattern and its
// commands, run over a connection of ours, and stop-time measurement.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <optional>
#include <span>
#include <string>

#include "net/connection.h"

namespace zb::net::testing {

using Clock = std::chrono::steady_clock;

// The bytes tests/servers/stream_server.py sends and expects: a block of a
// prime length from a linear congruential generator, repeated.
inline std::string Pattern(size_t offset, size_t size) {
  static const std::string block = [] {
    std::string b(65521, '\0');
    uint32_t x = 12345;
    for (char& c : b) {
      x = (x * 1103515245u + 12345u) & 0x7FFFFFFFu;
      c = static_cast<char>((x >> 16) & 0xFF);
    }
    return b;
  }();
  std::string out;
  while (out.size() < size) {
    const size_t at = (offset + out.size()) % block.size();
    out += block.substr(at, std::min(block.size() - at, size - out.size()));
  }
  return out;
}

inline std::string ReadExactly(Connection& c, size_t size) {
  std::string out(size, '\0');
  for (size_t got = 0; got < size;) {
    const size_t n = c.ReadSome(std::as_writable_bytes(std::span(out)).subspan(got));
    if (n == 0) throw ENetClosed("early end after " + std::to_string(got) + " bytes");
    got += n;
  }
  return out;
}

// ECHO in lockstep pieces: `total` bytes out and back, compared.
inline void EchoRoundTrip(Connection& c, size_t total) {
  c.Write("ECHO\r\n");
  constexpr size_t kPiece = 64 * 1024;
  for (size_t done = 0; done < total; done += kPiece) {
    const std::string piece = Pattern(done, std::min(kPiece, total - done));
    c.Write(piece);
    ASSERT_EQ(ReadExactly(c, piece.size()), piece) << "at offset " << done;
  }
}

// SOURCE: `total` bytes from the server, then its orderly end of stream.
inline void SourceRoundTrip(Connection& c, size_t total) {
  c.Write("SOURCE " + std::to_string(total) + "\r\n");
  ASSERT_EQ(ReadExactly(c, total), Pattern(0, total));
  std::byte extra[16];
  EXPECT_EQ(c.ReadSome(extra), 0u);
}

// SINK: `total` bytes to the server, which checks them.
inline void SinkRoundTrip(Connection& c, size_t total) {
  c.Write("SINK " + std::to_string(total) + "\r\n");
  c.Write(Pattern(0, total));
  EXPECT_EQ(c.ReadLine(), "OK " + std::to_string(total) + "\r\n");
}

// A WaitControl that asks for a stop from `after` on, and measures how long
// the operation took to end after the first "yes", and the longest gap
// between two pumps.
class StopProbe {
 public:
  explicit StopProbe(std::chrono::milliseconds after) : start_(Clock::now()), at_(start_ + after) {}
  WaitControl Control() {
    WaitControl w;
    w.pump = [this] {
      const auto now = Clock::now();
      max_gap_ = std::max(max_gap_, now - last_pump_);
      last_pump_ = now;
    };
    w.stop_requested = [this] {
      if (Clock::now() < at_) return false;
      if (!first_yes_) first_yes_ = Clock::now();
      return true;
    };
    return w;
  }
  // Milliseconds from the moment the stop was requested to now; -1 when
  // the stop check was never asked.
  [[nodiscard]] double LatencyMs() const { return first_yes_ ? Ms(Clock::now() - at_) : -1.0; }
  [[nodiscard]] double MaxPumpGapMs() const { return Ms(max_gap_); }

 private:
  static double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
  }
  Clock::time_point start_;
  Clock::time_point at_;
  Clock::time_point last_pump_ = Clock::now();
  Clock::duration max_gap_{};
  std::optional<Clock::time_point> first_yes_;
};

}  // namespace zb::net::testing
