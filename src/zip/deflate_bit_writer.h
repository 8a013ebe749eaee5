#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace zb::zip::deflate {

// Least-significant-bit-first bit packer over a caller-owned byte buffer.
// Bits collect in a 64-bit register; Flush() stores the whole register with
// one unaligned 8-byte write and advances by the complete bytes only, so the
// hot path has no per-byte loop. The buffer needs 8 bytes of slack beyond the
// last byte that can be produced.
class BitWriter {
 public:
  void Attach(uint8_t* out) { out_ = out; }
  [[nodiscard]] uint8_t* position() const { return out_; }
  void Rewind(uint8_t* out) { out_ = out; }

  // REQUIRES: value < 2^count, count + pending bits <= 64.
  void Add(uint64_t value, int count) {
    bits_ |= value << bit_count_;
    bit_count_ += count;
  }

  // Moves the complete bytes to the buffer; at most 7 bits stay pending.
  void Flush() {
    uint64_t v = bits_;
    if constexpr (std::endian::native == std::endian::big) v = ByteSwap(v);
    std::memcpy(out_, &v, 8);
    const int bytes = bit_count_ >> 3;
    out_ += bytes;
    bits_ = bytes == 8 ? 0 : bits_ >> (bytes * 8);
    bit_count_ &= 7;
  }

  // Pads with zero bits to the next byte boundary and flushes.
  void AlignToByte() {
    bit_count_ = (bit_count_ + 7) & ~7;
    Flush();
  }

  [[nodiscard]] int pending_bits() const { return bit_count_; }

  void Clear() {
    bits_ = 0;
    bit_count_ = 0;
  }

 private:
  static uint64_t ByteSwap(uint64_t v) {
    uint64_t r = 0;
    for (int i = 0; i < 8; ++i) r = (r << 8) | ((v >> (8 * i)) & 0xFF);
    return r;
  }

  uint8_t* out_ = nullptr;
  uint64_t bits_ = 0;
  int bit_count_ = 0;
};

}  // namespace zb::zip::deflate
