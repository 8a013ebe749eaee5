#pragma once

// Helpers for the restore tests: a temporary folder, files with set times,
// and archives written by the engine's writer.

#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "platform/file_system.h"
#include "zip/zip_writer.h"

namespace zb::rtest {

namespace fs = std::filesystem;

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/zb_restore_XXXXXX";
    if (::mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  [[nodiscard]] const std::string& path() const { return path_; }
  [[nodiscard]] std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }

 private:
  std::string path_;
};

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void WriteFile(const std::string& path, const std::string& data, std::time_t mtime = 0) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
  if (mtime != 0) SetFileTimes(path, timespec{mtime, 0});
}

inline std::time_t LocalTime(int y, int mo, int d, int h = 12) {
  std::tm tm{};
  tm.tm_year = y - 1900;
  tm.tm_mon = mo - 1;
  tm.tm_mday = d;
  tm.tm_hour = h;
  tm.tm_isdst = -1;
  return std::mktime(&tm);
}

// Writes `archive` from `files` (full paths) with stored paths.
inline void MakeArchive(const std::string& archive, const std::vector<std::string>& files,
                        const std::string& password = "", int level = 6) {
  zip::TZipWriter w;
  w.SetZipName(archive);
  w.StorePaths = true;
  w.PackLevel = level;
  w.Password = password;
  w.FilesList = files;
  if (w.Zip() != static_cast<int>(files.size())) throw std::runtime_error("archive incomplete");
}

}  // namespace zb::rtest
