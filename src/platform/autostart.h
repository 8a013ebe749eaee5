#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace zb {

// The name under which the program is entered in the logon autostart list.
inline constexpr std::string_view kAutostartEntryName = "Quillomar Compress Backup";

// The user's autostart folder: $XDG_CONFIG_HOME/autostart when that variable
// holds an absolute path, otherwise ~/.config/autostart.
[[nodiscard]] std::filesystem::path AutostartDir();
// The entry file inside AutostartDir().
[[nodiscard]] std::filesystem::path AutostartFile();

// One argument of an Exec line, quoted when it holds a reserved character
// and with "%" doubled so it is never taken for a field code.
[[nodiscard]] std::string QuoteExecArgument(std::string_view arg);
// A value as the desktop entry file format stores it (\s, \n, \t, \r, \\).
[[nodiscard]] std::string EscapeDesktopValue(std::string_view value);
// The whole text of the entry that starts `executable`.
// Throws zb::EInvalidInput when the path is not valid UTF-8 (desktop entry
// files are UTF-8 only) or not absolute.
[[nodiscard]] std::string AutostartEntryText(const std::filesystem::path& executable);

// Writes the entry (temporary file + rename, so a half-written entry never
// exists). Throws zb::Error "Failed to set data for '<entry name>'" when the
// folder or file cannot be written.
void WriteAutostartEntry(const std::filesystem::path& executable);
// Removes the entry; a missing entry is fine. Returns false when it existed
// but could not be removed (not reported to the user).
bool RemoveAutostartEntry() noexcept;
[[nodiscard]] bool AutostartEntryExists();

}  // namespace zb
