#pragma once

#include <cstddef>
#include <cstdint>

// The individual CRC-32 paths behind Crc32(), so tests and benchmarks can
// check and time each one the CPU supports, not only the one it dispatches to.
namespace zb::zip {

enum class Crc32Path { kTables, kPclmul, kVpclmul256, kVpclmul512 };

// True when this CPU and OS can run `path`.
[[nodiscard]] bool Crc32PathSupported(Crc32Path path);

// Crc32() forced onto `path` (short inputs still take the table loop).
// REQUIRES: Crc32PathSupported(path).
[[nodiscard]] uint32_t Crc32With(Crc32Path path, uint32_t crc, const void* data, size_t len);

}  // namespace zb::zip
