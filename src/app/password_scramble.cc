#include "app/password_scramble.h"

#include <cstdint>

#include "base/text.h"

namespace zb::app {
namespace {

std::string DecodeCodes(std::string_view text) {
  std::string out;
  uint32_t value = 0;
  bool in_number = false;
  for (char c : text) {
    if (c >= '0' && c <= '9') {
      // Only the low eight bits survive, and (10a + d) mod 256 depends on a
      // only through a mod 256: folding each step handles digit runs of any
      // length without overflow.
      value = (value * 10 + static_cast<uint32_t>(c - '0')) & 0xFF;
      in_number = true;
      continue;
    }
    if (in_number) out.push_back(static_cast<char>(value));
    value = 0;
    in_number = false;
  }
  if (in_number) out.push_back(static_cast<char>(value));
  return out;
}

}  // namespace

std::string PasswordScramble(std::string_view text, std::string_view key, bool encode) {
  std::string bytes =
      !encode && !text.empty() && text.front() == '#' ? DecodeCodes(text) : std::string(text);
  if (!key.empty()) {
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] ^= key[i % key.size()];
  }
  if (!encode) return bytes;
  std::string out;
  out.reserve(bytes.size() * 4);
  for (char c : bytes) {
    out.push_back('#');
    out += std::to_string(static_cast<unsigned char>(c));
  }
  return out;
}

std::string PasswordKey(std::string_view section) {
  return std::string(section) + std::to_string(Utf8Length(section));
}

}  // namespace zb::app
