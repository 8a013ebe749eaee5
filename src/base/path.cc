#include "base/path.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace zb {
namespace {

size_t NameStart(std::string_view path) {
  const size_t pos = path.rfind(kPathDelim);
  return pos == std::string_view::npos ? 0 : pos + 1;
}

// Position of the extension's dot in the name part, or npos.
size_t ExtStart(std::string_view path) {
  const size_t name = NameStart(path);
  const size_t dot = path.rfind('.');
  return dot == std::string_view::npos || dot < name ? std::string_view::npos : dot;
}

}  // namespace

std::string IncludeTrailingSeparator(std::string_view path) {
  std::string r(path);
  if (r.empty() || r.back() != kPathDelim) r += kPathDelim;
  return r;
}

std::string ExcludeTrailingSeparator(std::string_view path) {
  // The root keeps its only separator.
  if (path.size() > 1 && path.back() == kPathDelim) path.remove_suffix(1);
  return std::string(path);
}

std::string ExtractFilePath(std::string_view path) {
  return std::string(path.substr(0, NameStart(path)));
}

std::string ExtractFileName(std::string_view path) {
  return std::string(path.substr(NameStart(path)));
}

std::string ExtractFileExt(std::string_view path) {
  const size_t dot = ExtStart(path);
  return dot == std::string_view::npos ? std::string() : std::string(path.substr(dot));
}

std::string ChangeFileExt(std::string_view path, std::string_view ext) {
  const size_t dot = ExtStart(path);
  std::string r(dot == std::string_view::npos ? path : path.substr(0, dot));
  r += ext;
  return r;
}

}  // namespace zb

namespace zb {

std::string HomeFolder() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return IncludeTrailingSeparator(home);
  if (const passwd* pw = getpwuid(getuid()); pw != nullptr && pw->pw_dir != nullptr) {
    return IncludeTrailingSeparator(pw->pw_dir);
  }
  return "/";
}

}  // namespace zb
