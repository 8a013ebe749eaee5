#include "zip/zip_names.h"

#include <array>

#include "base/text.h"
#include "zip/crc32.h"
#include "zip/zip_format.h"
#include "zip/zip_header_info.h"

namespace zb::zip {
namespace {

// Unicode code points of CP437 bytes 0x80..0xFF. Bytes below 0x80 are ASCII:
// in file names the control range keeps its ASCII meaning, not the glyphs
// DOS drew for it.
constexpr std::array<char32_t, 128> kCp437High = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF,
    0x00EE, 0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,
    0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA,
    0x00F1, 0x00D1, 0x00AA, 0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557,
    0x255D, 0x255C, 0x255B, 0x2510, 0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559,
    0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4, 0x03A6, 0x0398, 0x03A9, 0x03B4,
    0x221E, 0x03C6, 0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248,
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0};

void AppendUtf8(std::string* out, char32_t cp) {
  if (cp < 0x80) {
    *out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    *out += static_cast<char>(0xC0 | (cp >> 6));
    *out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    *out += static_cast<char>(0xE0 | (cp >> 12));
    *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    *out += static_cast<char>(0xF0 | (cp >> 18));
    *out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Decodes one code point of valid UTF-8 at `*pos`.
char32_t NextCodePoint(std::string_view s, size_t* pos) {
  auto b = static_cast<unsigned char>(s[*pos]);
  int len = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
  char32_t cp = len == 1 ? b : len == 2 ? (b & 0x1F) : len == 3 ? (b & 0x0F) : (b & 0x07);
  for (int i = 1; i < len; ++i) cp = (cp << 6) | (static_cast<unsigned char>(s[*pos + i]) & 0x3F);
  *pos += len;
  return cp;
}

}  // namespace

bool IsValidUtf8(std::string_view s) { return zb::IsValidUtf8(s); }

std::string Cp437ToUtf8(std::string_view cp437) {
  std::string out;
  out.reserve(cp437.size());
  for (char c : cp437) {
    auto b = static_cast<unsigned char>(c);
    if (b < 0x80) {
      out += c;
    } else {
      AppendUtf8(&out, kCp437High[b - 0x80]);
    }
  }
  return out;
}

std::optional<std::string> Utf8ToCp437(std::string_view utf8) {
  if (!IsValidUtf8(utf8)) return std::nullopt;
  std::string out;
  out.reserve(utf8.size());
  size_t pos = 0;
  while (pos < utf8.size()) {
    char32_t cp = NextCodePoint(utf8, &pos);
    if (cp < 0x80) {
      out += static_cast<char>(cp);
      continue;
    }
    // 128 entries: a linear search is cheaper than building a map for the
    // few non-ASCII characters names hold.
    size_t i = 0;
    while (i < kCp437High.size() && kCp437High[i] != cp) ++i;
    if (i == kCp437High.size()) return std::nullopt;
    out += static_cast<char>(0x80 + i);
  }
  return out;
}

StoredName EncodeStoredName(std::string_view utf8_name) {
  // A backslash is an ordinary character of a Linux name; the entry is
  // marked as made on Unix, so readers take it as one.
  std::string name(utf8_name);
  if (auto cp437 = Utf8ToCp437(name)) return {std::move(*cp437), false};
  // A Linux file name need not be UTF-8 (old Latin-1 names are common).
  // Flagging such bytes as UTF-8 makes strict readers reject the whole
  // archive; unflagged, an entry made on Unix gives its bytes back as they
  // are, so the name round-trips byte for byte.
  if (!IsValidUtf8(name)) return {std::move(name), false};
  return {std::move(name), true};
}

namespace {

// Writers on DOS and Windows systems separate folders with "\" in some
// archives. A name that already holds a "/" is in ZIP form, and its 0x5C
// bytes are characters (the second byte of a Shift-JIS character is often
// one), so only a name without any "/" is converted.
std::string DosSeparators(std::string s) {
  if (s.find('/') != std::string::npos) return s;
  for (char& c : s) {
    if (c == '\\') c = '/';
  }
  return s;
}

bool MadeOnUnix(uint8_t host) { return host == kHostUnix || host == kHostMacOsX; }

}  // namespace

std::string DecodeStoredName(std::string_view raw, uint16_t flags, uint16_t version_made_by,
                             std::span<const std::byte> extra, bool oem_convert) {
  const uint8_t host = static_cast<uint8_t>(version_made_by >> 8);
  // Only names from DOS-family systems can carry "\" as a separator.
  auto separators = [host](std::string s) {
    return MadeOnUnix(host) ? s : DosSeparators(std::move(s));
  };
  if (auto block = FindExtraBlock(extra, kExtraUnicodePath)) {
    // Version 1, CRC-32 of the header's name, then the UTF-8 name. A CRC
    // that does not match means the name was changed by a tool that did not
    // know the block; the block is then stale and ignored.
    std::span<const std::byte> b = *block;
    if (b.size() >= 5 && static_cast<uint8_t>(b[0]) == 1 &&
        Load32(b, 1) == Crc32(0, raw.data(), raw.size())) {
      std::string_view utf8(reinterpret_cast<const char*>(b.data()) + 5, b.size() - 5);
      if (IsValidUtf8(utf8) && !utf8.empty()) return separators(std::string(utf8));
    }
  }
  if (flags & kFlagUtf8) {
    // A writer that sets the flag over bytes that are not UTF-8 still gets a
    // readable, valid name rather than raw bytes.
    return separators(IsValidUtf8(raw) ? std::string(raw) : Cp437ToUtf8(raw));
  }
  // A Linux name is bytes, whatever their encoding: taken as they are, it
  // comes back under the very name it was saved from.
  if (MadeOnUnix(host)) return std::string(raw);
  if (host == kHostMsDos || host == kHostNtfs) {
    return DosSeparators(oem_convert ? Cp437ToUtf8(raw) : std::string(raw));
  }
  return DosSeparators(IsValidUtf8(raw) ? std::string(raw) : Cp437ToUtf8(raw));
}

void SplitName(std::string_view name, std::string* directory, std::string* file_name) {
  size_t slash = name.rfind('/');
  if (slash == std::string_view::npos) {
    directory->clear();
    *file_name = std::string(name);
  } else {
    *directory = std::string(name.substr(0, slash + 1));
    *file_name = std::string(name.substr(slash + 1));
  }
}

}  // namespace zb::zip
