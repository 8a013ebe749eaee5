#pragma once

// Input and output plumbing shared by the legacy decoders: a least-significant
// bit first reader over the pulled source, and a zero-filled history window
// that pushes its bytes to the sink and stops at the entry's size.

#include <array>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "zip/legacy_decoders.h"

namespace zb::zip::legacy {

// All three methods pack their codes starting at the least significant bit of
// each byte.
class BitReader final {
 public:
  explicit BitReader(const LegacySource& source) : source_(source) {}

  // Reads `n` (0..24) bits; false when the input ends first.
  [[nodiscard]] bool Read(int n, uint32_t* value) {
    assert(n >= 0 && n <= 24);
    while (count_ < n) {
      uint8_t byte;
      if (!NextByte(&byte)) return false;
      bits_ |= uint32_t{byte} << count_;
      count_ += 8;
    }
    *value = bits_ & ((uint32_t{1} << n) - 1);
    bits_ >>= n;
    count_ -= n;
    return true;
  }

  [[nodiscard]] bool ReadBit(uint32_t* bit) { return Read(1, bit); }

  // Reads a whole byte of the stream; only valid on a byte boundary (the
  // tree descriptions of Implode are byte-aligned at the start).
  [[nodiscard]] bool ReadAlignedByte(uint8_t* byte) {
    assert(count_ == 0);
    return NextByte(byte);
  }

 private:
  [[nodiscard]] bool NextByte(uint8_t* byte) {
    if (pos_ == len_) {
      if (ended_) return false;
      len_ = source_(buffer_);
      pos_ = 0;
      if (len_ > buffer_.size()) len_ = 0;  // a misbehaving source is the end
      if (len_ == 0) {
        ended_ = true;
        return false;
      }
    }
    *byte = std::to_integer<uint8_t>(buffer_[pos_++]);
    return true;
  }

  const LegacySource& source_;
  std::array<std::byte, 4096> buffer_{};
  size_t pos_ = 0;
  size_t len_ = 0;
  bool ended_ = false;
  uint32_t bits_ = 0;
  int count_ = 0;
};

// History window plus output. The window starts as zeros, so a match that
// reaches back before the first byte of the entry copies zero bytes: old
// compressors did emit such references, and zeros are what their own
// decoders produced. The window is a power of two at least as large as the
// longest distance of the method, so such reads never leave it.
class OutWindow final {
 public:
  static constexpr size_t kSize = 16384;

  OutWindow(const LegacySink& sink, uint64_t limit)
      : sink_(sink), remaining_(limit), window_(kSize, std::byte{0}) {}

  [[nodiscard]] bool Done() const { return remaining_ == 0 || stopped_; }
  [[nodiscard]] bool Stopped() const { return stopped_; }

  // Appends one byte; beyond the limit bytes are dropped.
  void Put(uint8_t b) {
    if (Done()) return;
    window_[pos_++] = std::byte{b};
    --remaining_;
    if (pos_ == kSize) Flush();
  }

  // Copies `length` bytes from `distance` back (1..kSize), overlapping copies
  // included.
  void Copy(size_t distance, size_t length) {
    assert(distance >= 1 && distance <= kSize);
    for (size_t i = 0; i < length && !Done(); ++i) {
      Put(std::to_integer<uint8_t>(window_[(pos_ - distance) & (kSize - 1)]));
    }
  }

  // Hands the bytes not yet given to the sink over; false when it refused.
  bool Flush() {
    if (!stopped_ && pos_ > flushed_) {
      if (!sink_(std::span<const std::byte>(window_.data() + flushed_, pos_ - flushed_))) {
        stopped_ = true;
      }
    }
    flushed_ = pos_;
    if (pos_ == kSize) pos_ = flushed_ = 0;
    return !stopped_;
  }

  // The result once decoding ended: kOk only when every byte was produced
  // and accepted; `short_result` otherwise.
  [[nodiscard]] LegacyResult Finish(LegacyResult short_result) {
    Flush();
    if (stopped_) return LegacyResult::kSinkStopped;
    return remaining_ == 0 ? LegacyResult::kOk : short_result;
  }

 private:
  const LegacySink& sink_;
  uint64_t remaining_;
  std::vector<std::byte> window_;
  size_t pos_ = 0;
  size_t flushed_ = 0;
  bool stopped_ = false;
};

}  // namespace zb::zip::legacy
