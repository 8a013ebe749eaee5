#include "zip/wildcard.h"

#include <cstddef>
#include <cstdint>

namespace zb::zip {
namespace {

// One character of a name or pattern: its code point (ASCII letters folded
// to lower case) and its length in bytes. Bytes that do not start a valid
// UTF-8 sequence stand for themselves, mapped above the Unicode range so that
// a stray byte never equals a real character.
struct Char {
  uint32_t cp;
  size_t len;
};

constexpr uint32_t kRawByteBase = 0x110000;

Char Decode(std::string_view s, size_t i) {
  const auto b0 = static_cast<uint8_t>(s[i]);
  if (b0 < 0x80) {
    uint32_t cp = b0;
    if (cp >= 'A' && cp <= 'Z') cp += 'a' - 'A';
    return {cp, 1};
  }
  size_t len = 0;
  uint32_t cp = 0;
  uint32_t min = 0;
  if ((b0 & 0xE0) == 0xC0) {
    len = 2, cp = b0 & 0x1F, min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3, cp = b0 & 0x0F, min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4, cp = b0 & 0x07, min = 0x10000;
  } else {
    return {kRawByteBase + b0, 1};
  }
  if (i + len > s.size()) return {kRawByteBase + b0, 1};
  for (size_t k = 1; k < len; ++k) {
    const auto b = static_cast<uint8_t>(s[i + k]);
    if ((b & 0xC0) != 0x80) return {kRawByteBase + b0, 1};
    cp = (cp << 6) | (b & 0x3F);
  }
  // Overlong forms and surrogates are not characters; keep them as bytes so
  // that two different byte strings never compare equal.
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    return {kRawByteBase + b0, 1};
  }
  return {cp, len};
}

// Finds the ">" closing a set that opens at `open`; npos when there is none.
// The first character of a set (after a negation mark) may itself be ">",
// which lets a set name that character.
size_t FindSetEnd(std::string_view pattern, size_t open) {
  size_t i = open + 1;
  if (i < pattern.size() && (pattern[i] == '!' || pattern[i] == '^')) ++i;
  if (i < pattern.size() && pattern[i] == '>') ++i;
  for (; i < pattern.size(); ++i) {
    if (pattern[i] == '>') return i;
  }
  return std::string_view::npos;
}

// Tests `c` against the set pattern[open+1 .. close-1].
bool MatchSet(std::string_view pattern, size_t open, size_t close, uint32_t c) {
  size_t i = open + 1;
  bool negate = false;
  if (i < close && (pattern[i] == '!' || pattern[i] == '^')) {
    negate = true;
    ++i;
  }
  bool found = false;
  while (i < close) {
    const Char lo = Decode(pattern, i);
    i += lo.len;
    if (i + 1 < close && pattern[i] == '-') {
      const Char hi = Decode(pattern, i + 1);
      i += 1 + hi.len;
      if (c >= lo.cp && c <= hi.cp) found = true;
    } else if (c == lo.cp) {
      found = true;
    }
  }
  return found != negate;
}

// Tries the single-character token at pattern[p] against `c`; on success
// returns the token's length in the pattern, else 0.
size_t MatchToken(std::string_view pattern, size_t p, uint32_t c) {
  const char ch = pattern[p];
  if (ch == '?') return 1;
  if (ch == '<') {
    const size_t close = FindSetEnd(pattern, p);
    if (close != std::string_view::npos) {
      return MatchSet(pattern, p, close, c) ? close - p + 1 : 0;
    }
  }
  const Char pc = Decode(pattern, p);
  return pc.cp == c ? pc.len : 0;
}

}  // namespace

bool WildcardMatch(std::string_view pattern, std::string_view name) {
  if (pattern == "*") return true;
  // Greedy scan with one backtrack point: on a mismatch the most recent "*"
  // absorbs one more character and matching resumes after it. Earlier stars
  // never need revisiting, because a later star can absorb whatever an
  // earlier one would have; this keeps "*a*a*a*b" linear per star.
  size_t p = 0;
  size_t n = 0;
  size_t star_p = std::string_view::npos;
  size_t star_n = 0;
  while (n < name.size()) {
    if (p < pattern.size()) {
      if (pattern[p] == '*') {
        star_p = p++;
        star_n = n;
        continue;
      }
      const Char c = Decode(name, n);
      const size_t used = MatchToken(pattern, p, c.cp);
      if (used != 0) {
        p += used;
        n += c.len;
        continue;
      }
    }
    if (star_p == std::string_view::npos) return false;
    p = star_p + 1;
    star_n += Decode(name, star_n).len;
    n = star_n;
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

bool HasWildcard(std::string_view text) {
  return text.find_first_of("*?<>|") != std::string_view::npos;
}

}  // namespace zb::zip
