#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>

namespace zb::zip {

// Outcome of decoding a raw Deflate stream (RFC 1951). Every condition that
// depends on the input has its own code; nothing reads or writes out of
// bounds whatever the input.
enum class InflateResult {
  kDone,              // the final block ended; `consumed` tells where
  kNeedInput,         // all input used, stream not finished (streaming only)
  kTruncated,         // the input ended (marked last) before the final block did
  kBadBlockType,      // block type 3
  kBadStoredLength,   // stored block LEN != ~NLEN
  kBadCodeLengths,    // over-subscribed or incomplete code set, bad repeat
  kBadSymbol,         // a code that is not in the table, literal/length 286/287
  kBadDistance,       // distance code 30/31 or a distance beyond the output
  kOutputLimit,       // more output than the caller's limit
  kSinkStopped,       // the sink returned false
};

[[nodiscard]] const char* InflateResultText(InflateResult r);

// Streaming decoder. Feed input pieces of any size; decoded bytes go to the
// sink in pieces (a span valid only during the call). Memory is bounded by the
// 32 KiB window plus a fixed output buffer, whatever the stream's size.
class Inflater final {
 public:
  // Returning false stops decoding with kSinkStopped (e.g. a failed write).
  using Sink = std::function<bool(std::span<const std::byte>)>;

  explicit Inflater(Sink sink);
  ~Inflater();
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;

  // Starts a new stream (the sink stays).
  void Reset();
  // Output beyond `limit` bytes in total ends with kOutputLimit.
  void SetOutputLimit(uint64_t limit);

  // Decodes from `input`. `last` says no input follows this piece; then an
  // unfinished stream ends with kTruncated instead of kNeedInput. `*consumed`
  // receives the bytes of `input` used; after kDone, bytes beyond it are not
  // part of the stream (trailing data). The decoder may hold back up to a few
  // bytes of input internally between calls; those count as consumed.
  [[nodiscard]] InflateResult Inflate(std::span<const std::byte> input, bool last,
                                      size_t* consumed);

  [[nodiscard]] uint64_t TotalOut() const;
  [[nodiscard]] uint64_t TotalIn() const;

 private:
  struct State;
  std::unique_ptr<State> s_;
};

// One-shot decode of a whole stream into `out` (its size is the output limit).
// `*in_used` and `*out_size` receive the bytes read and written.
[[nodiscard]] InflateResult InflateBuffer(std::span<const std::byte> in, std::span<std::byte> out,
                                          size_t* in_used, size_t* out_size);

}  // namespace zb::zip
