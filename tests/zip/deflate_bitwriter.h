#pragma once

// A bit writer for hand-built Deflate streams in tests (RFC 1951 bit order):
// fields go in least significant bit first, Huffman codes most significant
// bit first. Used to make exact, commented bad and odd streams.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zb::zip::testing {

class BitWriter {
 public:
  // `n` low bits of `v`, least significant first (header fields, extra bits).
  BitWriter& Bits(uint32_t v, int n) {
    for (int i = 0; i < n; ++i) Bit((v >> i) & 1);
    return *this;
  }
  // A Huffman code of `len` bits, most significant first.
  BitWriter& Code(uint32_t code, int len) {
    for (int i = len - 1; i >= 0; --i) Bit((code >> i) & 1);
    return *this;
  }
  // Zero bits up to the next byte boundary (as before a stored block's LEN).
  BitWriter& Align() {
    while (nbits_ != 0) Bit(0);
    return *this;
  }
  BitWriter& Byte(uint8_t b) { return Bits(b, 8); }

  // Block header: BFINAL then BTYPE.
  BitWriter& Header(bool final, int type) { return Bits(final ? 1 : 0, 1).Bits(type, 2); }

  // A literal/length symbol of the fixed code (RFC 1951 3.2.6).
  BitWriter& FixedSymbol(int sym) {
    if (sym < 144) return Code(0x30 + sym, 8);
    if (sym < 256) return Code(0x190 + sym - 144, 9);
    if (sym < 280) return Code(sym - 256, 7);
    return Code(0xC0 + sym - 280, 8);
  }
  // A distance symbol of the fixed code: 5 bits, the symbol itself.
  BitWriter& FixedDistance(int sym) { return Code(sym, 5); }

  // The bytes so far, the last one padded with zero bits.
  std::vector<std::byte> Finish() const {
    std::vector<std::byte> out = bytes_;
    if (nbits_ != 0) out.push_back(static_cast<std::byte>(cur_));
    return out;
  }

 private:
  void Bit(uint32_t b) {
    cur_ |= b << nbits_;
    if (++nbits_ == 8) {
      bytes_.push_back(static_cast<std::byte>(cur_));
      cur_ = 0;
      nbits_ = 0;
    }
  }

  std::vector<std::byte> bytes_;
  uint32_t cur_ = 0;
  int nbits_ = 0;
};

// Canonical Huffman codes (RFC 1951 3.2.2) for code lengths, so a test can
// write the symbols of a dynamic block it describes.
inline std::vector<uint32_t> CanonicalCodes(const std::vector<int>& lens) {
  int count[16] = {};
  for (int l : lens) ++count[l];
  count[0] = 0;
  uint32_t next[16] = {};
  uint32_t code = 0;
  for (int bits = 1; bits < 16; ++bits) {
    code = (code + count[bits - 1]) << 1;
    next[bits] = code;
  }
  std::vector<uint32_t> codes(lens.size());
  for (size_t i = 0; i < lens.size(); ++i) {
    if (lens[i] != 0) codes[i] = next[lens[i]]++;
  }
  return codes;
}

}  // namespace zb::zip::testing
