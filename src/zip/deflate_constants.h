#pragma once

#include <cstdint>

// Constants of the Deflate format (RFC 1951, section 3.2.5), shared by the
// compressor and the decompressor.
namespace zb::zip::deflate {

inline constexpr int kWindowSize = 32768;      // largest match distance
inline constexpr int kMinMatch = 3;
inline constexpr int kMaxMatch = 258;
inline constexpr int kNumLitLenSymbols = 288;  // 286 and 287 never occur in valid data
inline constexpr int kNumDistSymbols = 32;     // 30 and 31 never occur in valid data
inline constexpr int kNumUsedLitLen = 286;
inline constexpr int kNumUsedDist = 30;
inline constexpr int kNumPrecodeSymbols = 19;
inline constexpr int kEndOfBlock = 256;
inline constexpr int kMaxCodeLength = 15;       // literal/length and distance codes
inline constexpr int kMaxPrecodeLength = 7;     // code-length code
inline constexpr int kMaxStoredBlock = 65535;

enum BlockType : int { kStored = 0, kFixed = 1, kDynamic = 2 };

// Order in which the code-length code lengths are sent.
inline constexpr uint8_t kPrecodeOrder[kNumPrecodeSymbols] = {16, 17, 18, 0,  8, 7,  9, 6, 10, 5,
                                                              11, 4,  12, 3, 13, 2, 14, 1, 15};

// Length symbols 257..285: base length and extra bits.
inline constexpr uint16_t kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,
                                             15, 17, 19, 23, 27, 31, 35, 43, 51,  59,
                                             67, 83, 99, 115, 131, 163, 195, 227, 258};
inline constexpr uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                             2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};

// Distance symbols 0..29: base distance and extra bits.
inline constexpr uint16_t kDistBase[30] = {1,    2,    3,    4,    5,    7,     9,     13,
                                           17,   25,   33,   49,   65,   97,    129,   193,
                                           257,  385,  513,  769,  1025, 1537,  2049,  3073,
                                           4097, 6145, 8193, 12289, 16385, 24577};
inline constexpr uint8_t kDistExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                           6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

}  // namespace zb::zip::deflate
