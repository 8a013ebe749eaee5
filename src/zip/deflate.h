#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

namespace zb::zip {

// Streaming Deflate compressor (RFC 1951, raw stream without zlib wrapper).
// Levels 1..9: 1-3 greedy, 4-9 lazy matching, 9 strongest. Output depends only
// on the input bytes and the level, never on how the input is split into
// Write() calls. Memory per stream stays under 1 MiB.
class Deflater final {
 public:
  // Receives compressed bytes in pieces (span valid only during the call).
  using Sink = std::function<void(std::span<const std::byte>)>;

  // REQUIRES: 1 <= level <= 9.
  Deflater(int level, Sink sink);
  ~Deflater();
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;

  // Starts a new stream at `level` (the sink stays).
  void Reset(int level);
  // Adds input; may emit compressed bytes to the sink.
  void Write(std::span<const std::byte> input);
  // Ends the stream (final block) and flushes everything to the sink.
  void Finish();

  [[nodiscard]] uint64_t TotalIn() const;
  [[nodiscard]] uint64_t TotalOut() const;

  // The ZIP internal-attribute text bit, from the byte statistics of the
  // input: binary when the count of bytes 0..6 and 128..255 exceeds a quarter
  // of the count of bytes 7..127, text otherwise.
  [[nodiscard]] bool IsText() const;

 private:
  struct State;
  std::unique_ptr<State> s_;
};

// Largest possible compressed size of `n` input bytes at any level.
[[nodiscard]] uint64_t DeflateBound(uint64_t n);

// Convenience for tests and small buffers: the whole stream in one vector.
[[nodiscard]] std::vector<std::byte> DeflateBuffer(std::span<const std::byte> in, int level);

}  // namespace zb::zip
