#include "platform/autostart.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <system_error>

#include "base/errors.h"
#include "base/text.h"
#include "platform/atomic_file.h"

namespace zb {
namespace {

std::filesystem::path HomeDir() {
  if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') return home;
  if (const passwd* pw = getpwuid(getuid()); pw != nullptr && pw->pw_dir != nullptr)
    return pw->pw_dir;
  return "/";
}

// The file name is the entry name in the form desktop file ids prefer: no
// blanks, lower case.
std::string EntryFileName() {
  std::string name;
  for (char c : kAutostartEntryName)
    name.push_back(c == ' ' ? '-' : static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  return name + ".desktop";
}

[[noreturn]] void ThrowSetFailed() {
  throw Error("Failed to set data for '" + std::string(kAutostartEntryName) + "'");
}

}  // namespace

std::filesystem::path AutostartDir() {
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr && xdg[0] == '/')
    return std::filesystem::path(xdg) / "autostart";
  return HomeDir() / ".config" / "autostart";
}

std::filesystem::path AutostartFile() { return AutostartDir() / EntryFileName(); }

std::string QuoteExecArgument(std::string_view arg) {
  // Characters that make an argument need double quotes (Desktop Entry
  // Specification, "The Exec key").
  constexpr std::string_view kReserved = " \t\n\"'\\><~|&;$*?#()`";
  bool quote = arg.empty() || arg.find_first_of(kReserved) != std::string_view::npos;
  std::string out;
  if (quote) out.push_back('"');
  for (char c : arg) {
    if (c == '%') {
      out += "%%";
      continue;
    }
    // Inside quotes these four must carry a backslash.
    if (quote && (c == '"' || c == '`' || c == '$' || c == '\\')) out.push_back('\\');
    out.push_back(c);
  }
  if (quote) out.push_back('"');
  return out;
}

std::string EscapeDesktopValue(std::string_view value) {
  std::string out;
  for (size_t i = 0; i < value.size(); ++i) {
    const char c = value[i];
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      // Only a leading blank would be lost to the reader's trimming.
      case ' ':
        out += (i == 0 ? "\\s" : " ");
        break;
      default:
        out.push_back(c);
    }
  }
  return out;
}

std::string AutostartEntryText(const std::filesystem::path& executable) {
  const std::string exe = executable.string();
  if (!executable.is_absolute()) throw EInvalidInput("The program path is not absolute: " + exe);
  if (!IsValidUtf8(exe)) throw EInvalidInput("The program path is not valid UTF-8: " + exe);
  std::string text = "[Desktop Entry]\n";
  text += "Type=Application\n";
  text += "Version=1.0\n";
  text += "Name=" + std::string(kAutostartEntryName) + "\n";
  text += "Comment=Starts the backup program and its scheduled backups at logon\n";
  text += "Exec=" + EscapeDesktopValue(QuoteExecArgument(exe)) + "\n";
  text += "Terminal=false\n";
  text += "X-GNOME-Autostart-enabled=true\n";
  return text;
}

void WriteAutostartEntry(const std::filesystem::path& executable) {
  const std::string text = AutostartEntryText(executable);
  const std::filesystem::path dir = AutostartDir();
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) ThrowSetFailed();
  try {
    WriteFileAtomically(dir / EntryFileName(), text);
  } catch (const Error&) {
    ThrowSetFailed();
  }
}

bool RemoveAutostartEntry() noexcept {
  std::error_code ec;
  std::filesystem::remove(AutostartFile(), ec);
  return !ec;
}

bool AutostartEntryExists() {
  std::error_code ec;
  return std::filesystem::exists(AutostartFile(), ec);
}

}  // namespace zb
