#pragma once

#include <string>
#include <string_view>

namespace zb::app {

// The obfuscation of passwords kept in the data files (not encryption).
// Saving (encode = true): XOR with the key repeated, then every byte as "#"
// and its decimal code. Loading (encode = false): a value starting with "#"
// is first decoded (every run of digits is one byte, its low eight bits;
// any other character ends a run), then XORed. Works on bytes, so UTF-8
// passwords round-trip exactly. An empty key leaves the bytes unXORed.
[[nodiscard]] std::string PasswordScramble(std::string_view text, std::string_view key,
                                           bool encode);

// The key for a password stored under `section`: the name followed by the
// decimal count of its characters (Unicode code points of the UTF-8 name).
[[nodiscard]] std::string PasswordKey(std::string_view section);

}  // namespace zb::app
