#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace zb::zip {

// CRC-32 of the ZIP format (reflected polynomial 0xEDB88320, initial value
// and final xor 0xFFFFFFFF). Incremental: pass the previous result as `crc`
// (0 to start); any split of the data gives the same result as one call.
// The fastest path the CPU supports is chosen once, on first use.
[[nodiscard]] uint32_t Crc32(uint32_t crc, const void* data, size_t len);
[[nodiscard]] inline uint32_t Crc32(uint32_t crc, std::span<const std::byte> data) {
  return Crc32(crc, data.data(), data.size());
}

// The portable table-driven path, for tests and benchmarks.
[[nodiscard]] uint32_t Crc32Portable(uint32_t crc, const void* data, size_t len);

// Name of the path Crc32() uses on this CPU ("vpclmulqdq-512", "pclmulqdq",
// "slice-by-8", ...), for benchmark reports.
[[nodiscard]] const char* Crc32Implementation();

// One step of the raw (non-inverted) CRC register over one byte, as the
// traditional ZIP cipher needs it for its key schedule.
[[nodiscard]] uint32_t Crc32UpdateByte(uint32_t reg, uint8_t byte);

}  // namespace zb::zip
