#pragma once

// Entry names between the archive and memory. In memory a name is UTF-8
// with "/" separators. In the archive a name that CP437 can represent is
// stored in CP437 with flag bit 11 clear, and any other name as UTF-8 with
// bit 11 set, so no name is ever mangled or made to collide.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace zb::zip {

[[nodiscard]] bool IsValidUtf8(std::string_view s);
// Every CP437 byte has a Unicode character, so this never fails.
[[nodiscard]] std::string Cp437ToUtf8(std::string_view cp437);
// nullopt when a character has no CP437 form or `utf8` is not valid UTF-8.
[[nodiscard]] std::optional<std::string> Utf8ToCp437(std::string_view utf8);

struct StoredName {
  std::string bytes;  // what goes into the header
  bool utf8 = false;  // set flag bit 11
};
// Encodes a UTF-8 name for storing (as above). Backslashes become "/".
// Bytes that are not valid UTF-8 are stored as they are, without bit 11.
[[nodiscard]] StoredName EncodeStoredName(std::string_view utf8_name);

// Decodes a stored name to UTF-8 with "/" separators: bit 11 means UTF-8;
// else a Unicode Path extra block (0x7075) whose CRC matches `raw` wins;
// else host 0 (with `oem_convert`) means CP437; other hosts give the bytes
// as they are when they are valid UTF-8, CP437 otherwise. Backslashes,
// which only DOS-family writers put into names, are taken as separators.
[[nodiscard]] std::string DecodeStoredName(std::string_view raw, uint16_t flags,
                                           uint16_t version_made_by,
                                           std::span<const std::byte> extra, bool oem_convert);

// Splits after the last "/": directory part (with its "/") and file name.
void SplitName(std::string_view name, std::string* directory, std::string* file_name);

}  // namespace zb::zip
