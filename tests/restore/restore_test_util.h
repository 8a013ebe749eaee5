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
#include "temp_files.h"
#include "zip/crc32.h"
#include "zip/zip_writer.h"

namespace zb::rtest {

namespace fs = std::filesystem;

// The restore tests make their folders as "zb_restore_...".
class TempDir : public testfiles::TempDir {
 public:
  TempDir() : testfiles::TempDir("zb_restore") {}
};
using testfiles::ReadFile;

// Writes the whole file and, when `mtime` is given, its modification time.
inline void WriteFile(const std::string& path, const std::string& data, std::time_t mtime = 0) {
  testfiles::WriteFile(path, data);
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
  zip::TZipOptions options;
  options.ZipName = archive;
  options.StorePaths = true;
  options.PackLevel = level;
  options.Password = password;
  options.FilesList = files;
  if (zip::TZipWriter().Zip(options, {}) != static_cast<int>(files.size())) {
    throw std::runtime_error("archive incomplete");
  }
}

// An archive of stored entries with names exactly as given, written byte by
// byte, so names the writer would never produce ("../x", "/abs/x") can be
// offered to a restore. Every entry is dated 2020-06-01 12:00:00.
struct RawEntry {
  std::string name;
  std::string data;
};

inline std::string StoredArchive(const std::vector<RawEntry>& entries) {
  std::string out, central;
  auto put = [](std::string& s, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  };
  const uint32_t dos_time = 12u << 11, dos_date = ((2020u - 1980u) << 9) | (6u << 5) | 1u;
  for (const RawEntry& e : entries) {
    const auto offset = static_cast<uint32_t>(out.size());
    const uint32_t crc = zip::Crc32(0, e.data.data(), e.data.size());
    const auto size = static_cast<uint32_t>(e.data.size());
    const auto name_len = static_cast<uint32_t>(e.name.size());
    put(out, 0x04034b50, 4);                                              // local header
    for (uint32_t v : {20u, 0u, 0u, dos_time, dos_date}) put(out, v, 2);  // version..date
    for (uint32_t v : {crc, size, size}) put(out, v, 4);
    put(out, name_len, 2);
    put(out, 0, 2);  // extra length
    out += e.name + e.data;
    put(central, 0x02014b50, 4);  // central header
    for (uint32_t v : {20u, 20u, 0u, 0u, dos_time, dos_date}) put(central, v, 2);
    for (uint32_t v : {crc, size, size}) put(central, v, 4);
    for (uint32_t v : {name_len, 0u, 0u, 0u, 0u}) put(central, v, 2);  // name..internal attrs
    put(central, 0x20, 4);  // external attributes: archive bit
    put(central, offset, 4);
    central += e.name;
  }
  const auto count = static_cast<uint32_t>(entries.size());
  const auto central_at = static_cast<uint32_t>(out.size());
  out += central;
  put(out, 0x06054b50, 4);  // end record
  for (uint32_t v : {0u, 0u, count, count}) put(out, v, 2);
  put(out, static_cast<uint32_t>(central.size()), 4);
  put(out, central_at, 4);
  put(out, 0, 2);  // comment length
  return out;
}

}  // namespace zb::rtest
