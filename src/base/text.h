#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zb {

// Trimming removes blanks and every control character (codes <= ' ') from
// the ends, as the classic trim does; bytes >= 0x80 (UTF-8) are kept.
[[nodiscard]] std::string_view Trim(std::string_view s);
[[nodiscard]] std::string_view TrimLeft(std::string_view s);
[[nodiscard]] std::string_view TrimRight(std::string_view s);

// ASCII case folding only: names in data files are compared this way, so
// the result never depends on the user's locale.
[[nodiscard]] char AsciiLower(char c);
[[nodiscard]] std::string LowerCase(std::string_view s);
[[nodiscard]] std::string UpperCase(std::string_view s);
// <0, 0, >0 like strcmp, ignoring ASCII letter case.
[[nodiscard]] int CompareText(std::string_view a, std::string_view b);
[[nodiscard]] bool SameText(std::string_view a, std::string_view b);
[[nodiscard]] bool TextLess(std::string_view a, std::string_view b);
// A strict weak order for sorting or keying containers without regard to case.
struct TextLessFn {
  bool operator()(std::string_view a, std::string_view b) const { return TextLess(a, b); }
};

[[nodiscard]] bool StartsWith(std::string_view s, std::string_view prefix);
[[nodiscard]] bool EndsWith(std::string_view s, std::string_view suffix);
[[nodiscard]] bool StartsWithText(std::string_view s, std::string_view prefix);  // no case

[[nodiscard]] std::string IntToStr(int64_t v);
// Decimal text with an optional sign, surrounding blanks allowed; anything
// else (garbage, empty, out of the int range) yields `def`.
[[nodiscard]] int StrToIntDef(std::string_view s, int def);
[[nodiscard]] int64_t StrToInt64Def(std::string_view s, int64_t def);

// Splits at every `sep`; an empty text gives one empty piece.
[[nodiscard]] std::vector<std::string> Split(std::string_view s, char sep);
// Splits into lines at LF, CRLF or a lone CR.
[[nodiscard]] std::vector<std::string> SplitLines(std::string_view s);
[[nodiscard]] std::string Join(const std::vector<std::string>& parts, std::string_view sep);

// True when `s` is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF).
[[nodiscard]] bool IsValidUtf8(std::string_view s);
// Number of code points in well-formed UTF-8; a byte that does not start a
// valid sequence counts as one.
[[nodiscard]] size_t Utf8Length(std::string_view s);

}  // namespace zb
