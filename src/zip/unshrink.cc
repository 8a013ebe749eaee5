// Unshrink: method 1 of the APPNOTE, a dynamic LZW with partial clearing.
//
// Codes 0..255 are literal bytes, 256 is an escape and 257..8191 name strings
// that the decoder builds as it goes: after every code (but the first) it adds
// the previous code's string plus the first byte of the current one at the
// lowest free code. Unlike classic LZW the compressor decides when codes grow:
//   256, 1   the code size grows by one bit (9 up to 13), read at once;
//   256, 2   partial clear: every string that is no prefix of another (a leaf
//            of the code tree) is freed; freed codes are reused lowest first.
// The code that is read may be the very one about to be added (the "KwKwK"
// case: a string followed by its own first byte); it stands for the previous
// string plus that string's first byte.
//
// Safety: a code that is neither in use nor the one about to be added, an
// unknown escape, a size beyond 13 bits or a first code that is not a
// literal is corrupt. Strings are produced by walking parent links; a walk
// longer than the table (possible only through links to codes that were
// freed and reused) is corrupt too, so no input can make the walk run
// forever or overflow the string buffer.

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>

#include "zip/legacy_decoders.h"
#include "zip/legacy_io.h"

namespace zb::zip {

namespace {

constexpr int kInitialCodeSize = 9;
constexpr int kMaxCodeSize = 13;
constexpr uint32_t kTableSize = uint32_t{1} << kMaxCodeSize;
constexpr uint32_t kEscape = 256;
constexpr uint32_t kFirstFree = 257;
constexpr uint32_t kGrow = 1;
constexpr uint32_t kPartialClear = 2;

struct ShrinkTable {
  std::array<uint16_t, kTableSize> parent{};
  std::array<uint8_t, kTableSize> value{};
  std::array<bool, kTableSize> in_use{};
  std::array<bool, kTableSize> has_child{};  // scratch for PartialClear
  uint32_t next_free = kFirstFree;           // kTableSize when full
  // The previous code's string, kept whole so the KwKwK case and the pending
  // addition never depend on a table entry a clear may have freed.
  std::array<uint8_t, kTableSize> prev_string{};
  uint32_t prev_length = 0;
  std::array<uint8_t, kTableSize> scratch{};

  ShrinkTable() {
    for (uint32_t c = 0; c < 256; ++c) {
      value[c] = static_cast<uint8_t>(c);
      in_use[c] = true;
    }
  }

  void FindNextFree(uint32_t from) {
    next_free = from;
    while (next_free < kTableSize && in_use[next_free]) ++next_free;
  }

  void Add(uint32_t parent_code, uint8_t first_byte) {
    if (next_free >= kTableSize) return;  // full: the compressor must clear
    parent[next_free] = static_cast<uint16_t>(parent_code);
    value[next_free] = first_byte;
    in_use[next_free] = true;
    FindNextFree(next_free + 1);
  }

  void PartialClear() {
    has_child.fill(false);
    for (uint32_t c = kFirstFree; c < kTableSize; ++c) {
      if (in_use[c]) has_child[parent[c]] = true;
    }
    for (uint32_t c = kFirstFree; c < kTableSize; ++c) {
      if (!has_child[c]) in_use[c] = false;
    }
    FindNextFree(kFirstFree);
  }

  // Writes the string of `code` into `scratch` (ending at its last index);
  // returns its length, 0 when the parent links do not end at a literal
  // within the table's size.
  uint32_t Expand(uint32_t code, uint32_t* start) {
    uint32_t at = kTableSize;
    while (code >= kEscape) {
      if (at == 0 || code == kEscape) return 0;
      scratch[--at] = value[code];
      code = parent[code];
    }
    if (at == 0) return 0;
    scratch[--at] = static_cast<uint8_t>(code);
    *start = at;
    return kTableSize - at;
  }
};

}  // namespace

LegacyResult Unshrink(const LegacySource& in, const LegacySink& out, uint64_t uncompressed_size) {
  legacy::OutWindow window(out, uncompressed_size);
  if (window.Done()) return window.Finish(LegacyResult::kOk);
  legacy::BitReader bits(in);
  auto table = std::make_unique<ShrinkTable>();
  int code_size = kInitialCodeSize;
  bool have_prev = false;
  uint32_t prev_code = 0;

  while (!window.Done()) {
    uint32_t code;
    if (!bits.Read(code_size, &code)) return window.Finish(LegacyResult::kTruncated);
    if (code == kEscape) {
      uint32_t sub;
      if (!bits.Read(code_size, &sub)) return window.Finish(LegacyResult::kTruncated);
      if (sub == kGrow) {
        if (code_size == kMaxCodeSize) return window.Finish(LegacyResult::kCorrupt);
        ++code_size;
      } else if (sub == kPartialClear) {
        table->PartialClear();
      } else {
        return window.Finish(LegacyResult::kCorrupt);
      }
      continue;
    }

    const uint8_t* str;
    uint32_t length;
    if (table->in_use[code]) {
      uint32_t start = 0;
      length = table->Expand(code, &start);
      if (length == 0) return window.Finish(LegacyResult::kCorrupt);
      str = table->scratch.data() + start;
    } else if (have_prev && code == table->next_free) {
      // KwKwK: the previous string plus its own first byte.
      length = table->prev_length + 1;
      if (length > kTableSize) return window.Finish(LegacyResult::kCorrupt);
      table->prev_string[table->prev_length] = table->prev_string[0];
      str = table->prev_string.data();
    } else {
      return window.Finish(LegacyResult::kCorrupt);
    }

    if (have_prev) table->Add(prev_code, str[0]);
    for (uint32_t i = 0; i < length; ++i) window.Put(str[i]);
    if (str != table->prev_string.data()) {
      std::copy(str, str + length, table->prev_string.begin());
    }
    table->prev_length = length;
    prev_code = code;
    have_prev = true;
  }
  return window.Finish(LegacyResult::kOk);
}

const char* LegacyResultText(LegacyResult r) {
  switch (r) {
    case LegacyResult::kOk:
      return "ok";
    case LegacyResult::kTruncated:
      return "compressed data ends too soon";
    case LegacyResult::kCorrupt:
      return "compressed data is corrupt";
    case LegacyResult::kSinkStopped:
      return "output stopped";
  }
  return "unknown result";
}

}  // namespace zb::zip
