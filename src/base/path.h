#pragma once

#include <string>
#include <string_view>

namespace zb {

// Path text helpers on the native separator "/". They work on text, never
// touch the file system, and keep everything before the last separator
// byte for byte.
inline constexpr char kPathDelim = '/';

[[nodiscard]] std::string IncludeTrailingSeparator(std::string_view path);
[[nodiscard]] std::string ExcludeTrailingSeparator(std::string_view path);
// The folder part including its final separator ("/a/b/c.txt" -> "/a/b/").
[[nodiscard]] std::string ExtractFilePath(std::string_view path);
// The part after the last separator ("/a/b/c.txt" -> "c.txt").
[[nodiscard]] std::string ExtractFileName(std::string_view path);
// The extension with its dot, of the name part only ("/a.b/c" -> "").
[[nodiscard]] std::string ExtractFileExt(std::string_view path);
// Replaces (or appends) the extension; `ext` includes the dot or is empty.
[[nodiscard]] std::string ChangeFileExt(std::string_view path, std::string_view ext);

}  // namespace zb

namespace zb {

// The user's home folder with a trailing separator: the stand-in for a
// drive root wherever a folder must default to something ($HOME, else the
// password database, else "/").
[[nodiscard]] std::string HomeFolder();

}  // namespace zb
