// CRC-32 (reflected polynomial 0xEDB88320), two ways.
//
// The portable path is "slice-by-16": sixteen 256-entry tables let one loop
// iteration fold 16 input bytes into the 32-bit register with 16 independent
// table lookups, instead of the 16 dependent lookups of the byte-at-a-time
// loop. Table t holds the CRC of a byte followed by t zero bytes, so the
// lookups can be xor-ed together in any order. 16 KiB of tables stay in the L1
// cache for long inputs; the byte loop handles short inputs and the ragged
// ends. Measured on x86-64, this loop is bound by the number of instructions
// per byte rather than by the latency of the lookups: slice-by-8 is about a
// quarter slower, and running three independent stripes side by side (merged
// by multiplying with x^(8*stripe) mod P) gained nothing. What did pay was
// indexing the tables with bytes loaded straight from memory, see Step16().
//
// On x86-64 CPUs with carry-less multiplication the CRC is computed by
// folding. Over GF(2) the CRC of a message M is M(x)*x^32 mod P(x), and since
// A(x)*x^T = A(x)*(x^T mod P) (mod P), a 128-bit chunk A lying T bits before
// the end of a later chunk B can be replaced by the two 64x32-bit carry-less
// products of its halves with the precomputed remainders, xor-ed into B.
// Nothing depends on the previous fold except through the accumulator, so
// several accumulators run side by side to hide the multiplier's latency:
// eight 128-bit registers for PCLMULQDQ (four for shorter inputs), four 256-
// or 512-bit registers (two or four 128-bit lanes each) for VPCLMULQDQ. At the end the accumulators
// are folded into one another and finally into a single 128-bit value that is congruent to the
// whole message so far. Its CRC, and that of the last partial chunk, is taken with the table loop:
// 16 to 31 bytes, a few nanoseconds, which buys a much simpler and obviously correct finish than a
// Barrett reduction would, at no visible cost for the large buffers that use
// this path.
//
// The bits are reflected (the first message bit is the least significant bit
// of the first byte), so the remainders are stored bit-reversed, and the
// product of two reflected operands comes out shifted against the register's
// own numbering; FoldConstant() below accounts for both.
//
// The path is chosen once from CPUID, and only when the OS saves the vector
// state (XGETBV), because a CPU may support AVX-512 that the kernel leaves
// disabled. The vector functions carry target attributes, so the file needs no
// special compile flags and still runs on any x86-64 CPU.

#include "zip/crc32.h"

#include <array>
#include <bit>
#include <cstring>

#include "zip/crc32_paths.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define ZB_CRC32_X86 1
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace zb::zip {
namespace {

constexpr uint32_t kPolyReflected = 0xEDB88320u;
constexpr uint32_t kPolyNormal = 0x04C11DB7u;

using Tables = std::array<std::array<uint32_t, 256>, 16>;

constexpr Tables MakeTables() {
  Tables t{};
  for (uint32_t b = 0; b < 256; ++b) {
    uint32_t r = b;
    for (int k = 0; k < 8; ++k) r = (r >> 1) ^ ((r & 1) ? kPolyReflected : 0);
    t[0][b] = r;
  }
  for (size_t s = 1; s < t.size(); ++s) {
    for (uint32_t b = 0; b < 256; ++b) t[s][b] = (t[s - 1][b] >> 8) ^ t[0][t[s - 1][b] & 0xFF];
  }
  return t;
}

constexpr Tables kTables = MakeTables();

inline uint32_t Load32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  // The tables take the first message byte in the low bits.
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
  return v;
}

// One slice-by-16 step: 16 bytes into the register. Only the first word
// meets the register; the other twelve bytes index their tables straight
// from memory (a byte load per index instead of a shift and a mask on a
// loaded word), which takes about a third fewer instructions per byte: the
// loop is bound by instruction throughput, not by the lookups' latency.
inline uint32_t Step16(uint32_t s, const uint8_t* p) {
  const uint32_t a = Load32(p) ^ s;
  return (kTables[15][a & 0xFF] ^ kTables[14][(a >> 8) & 0xFF] ^ kTables[13][(a >> 16) & 0xFF] ^
          kTables[12][a >> 24]) ^
         (kTables[11][p[4]] ^ kTables[10][p[5]] ^ kTables[9][p[6]] ^ kTables[8][p[7]] ^
          kTables[7][p[8]] ^ kTables[6][p[9]] ^ kTables[5][p[10]] ^ kTables[4][p[11]] ^
          kTables[3][p[12]] ^ kTables[2][p[13]] ^ kTables[1][p[14]] ^ kTables[0][p[15]]);
}

// Raw register update (no inversion) over `len` bytes.
uint32_t UpdateTables(uint32_t s, const uint8_t* p, size_t len) {
  while (len >= 16) {
    s = Step16(s, p);
    p += 16;
    len -= 16;
  }
  while (len--) s = (s >> 8) ^ kTables[0][(s ^ *p++) & 0xFF];
  return s;
}

// x^n mod P(x) in normal (most significant bit = x^31) form.
constexpr uint32_t XPowModP(int n) {
  uint32_t v = 1;
  for (int i = 0; i < n; ++i) v = (v << 1) ^ ((v & 0x80000000u) ? kPolyNormal : 0);
  return v;
}

constexpr uint32_t Reflect32(uint32_t v) {
  uint32_t r = 0;
  for (int i = 0; i < 32; ++i) r |= ((v >> i) & 1u) << (31 - i);
  return r;
}

#ifdef ZB_CRC32_X86

// Constants for moving a 128-bit chunk forward by `bits` (the distance from
// the chunk's end to the end of the chunk it is xor-ed into).
//
// A register holding 16 message bytes represents, with bit k the coefficient
// of x^(127-k), the polynomial H*x^64 + L, H being the low quadword. A 32-bit
// constant K in the low half of an operand has bit j = coefficient of
// x^(31-j); the product of H (bit i = x^(63-i)) and K then has bit k =
// coefficient of x^(94-k), i.e. it is the register image of H*K*x^-33. So
//   H*x^(bits+64) -> multiply by x^(bits+64-33) mod P = x^(bits+31) mod P
//   L*x^bits      -> multiply by x^(bits-33) mod P
// and the two products, each under 96 bits, fit the 128-bit register.
struct FoldPair {
  uint64_t for_low;   // multiplies the low quadword (H)
  uint64_t for_high;  // multiplies the high quadword (L)
};
constexpr FoldPair FoldConstant(int bits) {
  return {Reflect32(XPowModP(bits + 31)), Reflect32(XPowModP(bits - 33))};
}

// Sanity anchors: x^32 mod P is P's low terms, and x^31 is below the modulus.
static_assert(XPowModP(32) == kPolyNormal);
static_assert(XPowModP(31) == 0x80000000u);
static_assert(Reflect32(kPolyNormal) == kPolyReflected);

constexpr FoldPair kFold128 = FoldConstant(128);
constexpr FoldPair kFold256 = FoldConstant(256);
constexpr FoldPair kFold384 = FoldConstant(384);
constexpr FoldPair kFold512 = FoldConstant(512);
constexpr FoldPair kFold1024 = FoldConstant(1024);
constexpr FoldPair kFold2048 = FoldConstant(2048);

// Finishes a fold: the 16 bytes of `acc` stand for all data before `tail`.
uint32_t FinishFold(const uint8_t acc[16], const uint8_t* tail, size_t tail_len) {
  uint32_t s = UpdateTables(0, acc, 16);
  return UpdateTables(s, tail, tail_len);
}

__attribute__((target("pclmul,sse4.1"))) inline __m128i Fold128(__m128i acc, __m128i data,
                                                                __m128i k) {
  const __m128i lo = _mm_clmulepi64_si128(acc, k, 0x00);
  const __m128i hi = _mm_clmulepi64_si128(acc, k, 0x11);
  return _mm_xor_si128(_mm_xor_si128(lo, hi), data);
}

__attribute__((target("pclmul,sse4.1"))) inline __m128i Constant128(FoldPair f) {
  return _mm_set_epi64x(static_cast<long long>(f.for_high), static_cast<long long>(f.for_low));
}

// Folds the 16-byte chunks after the first `acc` chunk, then finishes.
// REQUIRES: `acc` covers the bytes before `p`.
__attribute__((target("pclmul,sse4.1"))) uint32_t Fold128Tail(__m128i acc, const uint8_t* p,
                                                              size_t len) {
  const __m128i k128 = Constant128(kFold128);
  while (len >= 16) {
    acc = Fold128(acc, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), k128);
    p += 16;
    len -= 16;
  }
  alignas(16) uint8_t buf[16];
  _mm_store_si128(reinterpret_cast<__m128i*>(buf), acc);
  return FinishFold(buf, p, len);
}

// REQUIRES: len >= 64.
__attribute__((target("pclmul,sse4.1"))) uint32_t UpdatePclmul(uint32_t s, const uint8_t* p,
                                                               size_t len) {
  auto load = [](const uint8_t* q) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(q)); };
  // The register state joins the message by xor-ing into its first 4 bytes.
  __m128i a0 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(static_cast<int>(s)));
  __m128i a1 = load(p + 16);
  __m128i a2 = load(p + 32);
  __m128i a3 = load(p + 48);
  p += 64;
  len -= 64;
  const __m128i k512 = Constant128(kFold512);
  if (len >= 256) {
    // Eight accumulators for long inputs: a multiplier with a latency of up
    // to 7 cycles (older CPUs) is then kept busy; four suffice on newer ones.
    __m128i a4 = load(p), a5 = load(p + 16), a6 = load(p + 32), a7 = load(p + 48);
    p += 64;
    len -= 64;
    const __m128i k1024 = Constant128(kFold1024);
    while (len >= 128) {
      a0 = Fold128(a0, load(p), k1024);
      a1 = Fold128(a1, load(p + 16), k1024);
      a2 = Fold128(a2, load(p + 32), k1024);
      a3 = Fold128(a3, load(p + 48), k1024);
      a4 = Fold128(a4, load(p + 64), k1024);
      a5 = Fold128(a5, load(p + 80), k1024);
      a6 = Fold128(a6, load(p + 96), k1024);
      a7 = Fold128(a7, load(p + 112), k1024);
      p += 128;
      len -= 128;
    }
    // Each of a0-a3 lies 64 bytes before its partner in a4-a7.
    a0 = Fold128(a0, a4, k512);
    a1 = Fold128(a1, a5, k512);
    a2 = Fold128(a2, a6, k512);
    a3 = Fold128(a3, a7, k512);
  }
  while (len >= 64) {
    a0 = Fold128(a0, load(p), k512);
    a1 = Fold128(a1, load(p + 16), k512);
    a2 = Fold128(a2, load(p + 32), k512);
    a3 = Fold128(a3, load(p + 48), k512);
    p += 64;
    len -= 64;
  }
  const __m128i k128 = Constant128(kFold128);
  a1 = Fold128(a0, a1, k128);
  a2 = Fold128(a1, a2, k128);
  a3 = Fold128(a2, a3, k128);
  return Fold128Tail(a3, p, len);
}

#define ZB_TARGET_256 __attribute__((target("avx2,pclmul,vpclmulqdq,sse4.1")))
#define ZB_TARGET_512 __attribute__((target("avx512f,avx512bw,avx512vl,pclmul,vpclmulqdq,sse4.1")))

ZB_TARGET_256 inline __m256i Load256(const uint8_t* q) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q));
}
ZB_TARGET_256 inline __m256i Constant256(FoldPair f) {
  return _mm256_broadcastsi128_si256(Constant128(f));
}
ZB_TARGET_256 inline __m256i Fold256(__m256i acc, __m256i data, __m256i k) {
  const __m256i lo = _mm256_clmulepi64_epi128(acc, k, 0x00);
  const __m256i hi = _mm256_clmulepi64_epi128(acc, k, 0x11);
  return _mm256_xor_si256(_mm256_xor_si256(lo, hi), data);
}

ZB_TARGET_512 inline __m512i Load512(const uint8_t* q) { return _mm512_loadu_si512(q); }
ZB_TARGET_512 inline __m512i Constant512(FoldPair f) {
  const auto lo = static_cast<long long>(f.for_low);
  const auto hi = static_cast<long long>(f.for_high);
  return _mm512_set_epi64(hi, lo, hi, lo, hi, lo, hi, lo);
}
ZB_TARGET_512 inline __m512i Fold512(__m512i acc, __m512i data, __m512i k) {
  const __m512i lo = _mm512_clmulepi64_epi128(acc, k, 0x00);
  const __m512i hi = _mm512_clmulepi64_epi128(acc, k, 0x11);
  return _mm512_ternarylogic_epi64(lo, hi, data, 0x96);  // three-way xor
}

// Four 256-bit accumulators of two lanes each: 128 bytes per iteration.
// REQUIRES: len >= 128.
ZB_TARGET_256 uint32_t UpdateVpclmul256(uint32_t s, const uint8_t* p, size_t len) {
  __m256i a0 =
      _mm256_xor_si256(Load256(p), _mm256_zextsi128_si256(_mm_cvtsi32_si128(static_cast<int>(s))));
  __m256i a1 = Load256(p + 32);
  __m256i a2 = Load256(p + 64);
  __m256i a3 = Load256(p + 96);
  p += 128;
  len -= 128;
  const __m256i k1024 = Constant256(kFold1024);
  while (len >= 128) {
    a0 = Fold256(a0, Load256(p), k1024);
    a1 = Fold256(a1, Load256(p + 32), k1024);
    a2 = Fold256(a2, Load256(p + 64), k1024);
    a3 = Fold256(a3, Load256(p + 96), k1024);
    p += 128;
    len -= 128;
  }
  const __m256i k256 = Constant256(kFold256);
  a1 = Fold256(a0, a1, k256);
  a2 = Fold256(a1, a2, k256);
  a3 = Fold256(a2, a3, k256);
  while (len >= 32) {
    a3 = Fold256(a3, Load256(p), k256);
    p += 32;
    len -= 32;
  }
  // Lane 0 lies 128 bits before lane 1.
  const __m128i acc =
      Fold128(_mm256_castsi256_si128(a3), _mm256_extracti128_si256(a3, 1), Constant128(kFold128));
  return Fold128Tail(acc, p, len);
}

// Four 512-bit accumulators of four lanes each: 256 bytes per iteration.
// REQUIRES: len >= 256.
ZB_TARGET_512 uint32_t UpdateVpclmul512(uint32_t s, const uint8_t* p, size_t len) {
  __m512i a0 =
      _mm512_xor_si512(Load512(p), _mm512_zextsi128_si512(_mm_cvtsi32_si128(static_cast<int>(s))));
  __m512i a1 = Load512(p + 64);
  __m512i a2 = Load512(p + 128);
  __m512i a3 = Load512(p + 192);
  p += 256;
  len -= 256;
  const __m512i k2048 = Constant512(kFold2048);
  while (len >= 256) {
    a0 = Fold512(a0, Load512(p), k2048);
    a1 = Fold512(a1, Load512(p + 64), k2048);
    a2 = Fold512(a2, Load512(p + 128), k2048);
    a3 = Fold512(a3, Load512(p + 192), k2048);
    p += 256;
    len -= 256;
  }
  const __m512i k512 = Constant512(kFold512);
  a1 = Fold512(a0, a1, k512);
  a2 = Fold512(a1, a2, k512);
  a3 = Fold512(a2, a3, k512);
  while (len >= 64) {
    a3 = Fold512(a3, Load512(p), k512);
    p += 64;
    len -= 64;
  }
  // The four lanes lie 384, 256 and 128 bits before the end of the last one.
  // (Through memory: once per call, and it avoids lane-extract intrinsics
  // that some compilers warn about.)
  alignas(64) uint8_t lanes[64];
  _mm512_store_si512(lanes, a3);
  auto lane = [&lanes](int i) {
    return _mm_load_si128(reinterpret_cast<const __m128i*>(lanes + 16 * i));
  };
  __m128i acc = Fold128(lane(0), lane(3), Constant128(kFold384));
  acc = Fold128(lane(1), acc, Constant128(kFold256));
  acc = Fold128(lane(2), acc, Constant128(kFold128));
  return Fold128Tail(acc, p, len);
}

uint64_t Xgetbv0() {
  uint32_t eax, edx;
  __asm__ volatile("xgetbv" : "=a"(eax), "=d"(edx) : "c"(0));
  return (static_cast<uint64_t>(edx) << 32) | eax;
}

Crc32Path DetectPath() {
  unsigned eax, ebx, ecx, edx;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return Crc32Path::kTables;
  const bool pclmul = ecx & (1u << 1);
  const bool sse41 = ecx & (1u << 19);
  const bool osxsave = ecx & (1u << 27);
  const bool avx = ecx & (1u << 28);
  if (!pclmul || !sse41) return Crc32Path::kTables;
  if (!osxsave || !avx) return Crc32Path::kPclmul;
  const uint64_t xcr0 = Xgetbv0();
  const bool os_ymm = (xcr0 & 0x6) == 0x6;    // SSE and AVX state
  const bool os_zmm = (xcr0 & 0xE6) == 0xE6;  // plus opmask and both ZMM halves
  if (!os_ymm || __get_cpuid_max(0, nullptr) < 7) return Crc32Path::kPclmul;
  __cpuid_count(7, 0, eax, ebx, ecx, edx);
  const bool avx2 = ebx & (1u << 5);
  const bool avx512f = ebx & (1u << 16);
  const bool avx512bw = ebx & (1u << 30);
  const bool avx512vl = ebx & (1u << 31);
  const bool vpclmul = ecx & (1u << 10);
  if (vpclmul && os_zmm && avx512f && avx512bw && avx512vl) return Crc32Path::kVpclmul512;
  if (vpclmul && avx2) return Crc32Path::kVpclmul256;
  return Crc32Path::kPclmul;
}

// A function-local static, so a caller in another file's static initialiser
// still finds the path decided.
Crc32Path BestPath() {
  static const Crc32Path path = DetectPath();
  return path;
}

#endif  // ZB_CRC32_X86

}  // namespace

uint32_t Crc32Portable(uint32_t crc, const void* data, size_t len) {
  return ~UpdateTables(~crc, static_cast<const uint8_t*>(data), len);
}

bool Crc32PathSupported(Crc32Path path) {
#ifdef ZB_CRC32_X86
  const Crc32Path best = BestPath();
  switch (path) {
    case Crc32Path::kTables:
      return true;
    case Crc32Path::kPclmul:
      return best != Crc32Path::kTables;
    case Crc32Path::kVpclmul256:
      // Every CPU with the 512-bit form has the 256-bit one (AVX-512VL).
      return best == Crc32Path::kVpclmul256 || best == Crc32Path::kVpclmul512;
    case Crc32Path::kVpclmul512:
      return best == Crc32Path::kVpclmul512;
  }
  return false;
#else
  return path == Crc32Path::kTables;
#endif
}

uint32_t Crc32With(Crc32Path path, uint32_t crc, const void* data, size_t len) {
  const auto* p = static_cast<const uint8_t*>(data);
  const uint32_t s = ~crc;
#ifdef ZB_CRC32_X86
  // Below these sizes setting up the accumulators costs more than it saves.
  switch (path) {
    case Crc32Path::kVpclmul512:
      if (len >= 256) return ~UpdateVpclmul512(s, p, len);
      if (len >= 64) return ~UpdatePclmul(s, p, len);
      break;
    case Crc32Path::kVpclmul256:
      if (len >= 128) return ~UpdateVpclmul256(s, p, len);
      if (len >= 64) return ~UpdatePclmul(s, p, len);
      break;
    case Crc32Path::kPclmul:
      if (len >= 64) return ~UpdatePclmul(s, p, len);
      break;
    case Crc32Path::kTables:
      break;
  }
#else
  (void)path;
#endif
  return ~UpdateTables(s, p, len);
}

uint32_t Crc32(uint32_t crc, const void* data, size_t len) {
#ifdef ZB_CRC32_X86
  return Crc32With(BestPath(), crc, data, len);
#else
  return Crc32Portable(crc, data, len);
#endif
}

const char* Crc32Implementation() {
#ifdef ZB_CRC32_X86
  switch (BestPath()) {
    case Crc32Path::kVpclmul512:
      return "vpclmulqdq-512";
    case Crc32Path::kVpclmul256:
      return "vpclmulqdq-256";
    case Crc32Path::kPclmul:
      return "pclmulqdq";
    case Crc32Path::kTables:
      break;
  }
#endif
  return "slice-by-16";
}

uint32_t Crc32UpdateByte(uint32_t reg, uint8_t byte) {
  return (reg >> 8) ^ kTables[0][(reg ^ byte) & 0xFF];
}

}  // namespace zb::zip
