#pragma once

#include <string_view>

namespace zb::zip {

// Matches `name` against `pattern` as a whole, ignoring the case of ASCII
// letters. "*" matches any run of characters (none included, "/" included),
// "?" exactly one character (a whole UTF-8 sequence, not a byte), "<...>" one
// character of a set of characters and ranges ("<a-z0-9>"), "<!...>" or
// "<^...>" one character outside it. A "<" without a closing ">" is an
// ordinary character. The pattern "*" alone matches every name.
// Runs in O(pattern * name) at worst, however many "*" the pattern holds.
[[nodiscard]] bool WildcardMatch(std::string_view pattern, std::string_view name);

// True when `text` holds any of the characters * ? < > |, i.e. it is a
// pattern or a prefixed pattern rather than a plain name.
[[nodiscard]] bool HasWildcard(std::string_view text);

}  // namespace zb::zip
