#pragma once

// Helpers for the writer's tests: a temporary folder, file helpers, and an
// independent archive parser (it does not use the engine's reader, so a
// reader fault cannot hide a writer fault). Data are checked through zlib.

#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "temp_files.h"
#include "zip/zip_crypto.h"

namespace zb::ztest {

namespace fs = std::filesystem;

// The writer's tests make their folders as "zb_writer_...".
class TempDir : public testfiles::TempDir {
 public:
  TempDir() : testfiles::TempDir("zb_writer") {}
};
using testfiles::ReadFile;
using testfiles::WriteFile;

inline void SetMtime(const std::string& path, time_t t) {
  timeval tv[2] = {{t, 0}, {t, 0}};
  utimes(path.c_str(), tv);
}

// Files in `folder` whose names contain `part`.
inline int CountFilesContaining(const std::string& folder, const std::string& part) {
  int n = 0;
  for (const auto& e : fs::directory_iterator(folder)) {
    if (e.path().filename().string().find(part) != std::string::npos) ++n;
  }
  return n;
}

inline uint16_t Get16(const std::string& b, size_t at) {
  if (at + 2 > b.size()) throw std::runtime_error("read past end");
  return static_cast<uint16_t>(static_cast<uint8_t>(b[at]) |
                               (static_cast<uint8_t>(b[at + 1]) << 8));
}
inline uint32_t Get32(const std::string& b, size_t at) {
  return Get16(b, at) | (static_cast<uint32_t>(Get16(b, at + 2)) << 16);
}
inline uint64_t Get64(const std::string& b, size_t at) {
  return Get32(b, at) | (static_cast<uint64_t>(Get32(b, at + 4)) << 32);
}

struct RawEntry {
  // Local header.
  uint16_t l_version_needed, l_flags, l_method, l_time, l_date;
  uint32_t l_crc, l_csize, l_usize;
  std::string l_name, l_extra;
  // Central header.
  uint16_t version_made_by, version_needed, flags, method, time, date;
  uint32_t crc, csize, usize;
  uint16_t disk, internal_attr;
  uint32_t external_attr, offset;
  std::string name, extra, comment;
  std::string data;  // the stored bytes (encryption header included)
};

struct RawArchive {
  std::vector<RawEntry> entries;
  std::string comment;
  uint64_t total_entries = 0;
  uint32_t central_offset = 0, central_size = 0;
  bool zip64_end = false;
  uint64_t zip64_total = 0;
};

// Parses an archive written in one piece. Throws std::runtime_error on any
// inconsistency so a test fails with a reason.
inline RawArchive ParseArchive(const std::string& b) {
  RawArchive a;
  if (b.size() < 22) throw std::runtime_error("too short");
  size_t end = std::string::npos;
  for (size_t i = b.size() - 22 + 1; i-- > 0;) {
    if (Get32(b, i) == 0x06054B50 && i + 22 + Get16(b, i + 20) == b.size()) {
      end = i;
      break;
    }
  }
  if (end == std::string::npos) throw std::runtime_error("no end record");
  a.total_entries = Get16(b, end + 10);
  if (Get16(b, end + 8) != a.total_entries) throw std::runtime_error("entry counts differ");
  a.central_size = Get32(b, end + 12);
  a.central_offset = Get32(b, end + 16);
  a.comment = b.substr(end + 22, Get16(b, end + 20));
  uint64_t total = a.total_entries;
  uint64_t coff = a.central_offset;
  if (end >= 20 && Get32(b, end - 20) == 0x07064B50) {
    const uint64_t z = Get64(b, end - 20 + 8);
    if (Get32(b, z) != 0x06064B50) throw std::runtime_error("bad zip64 end record");
    a.zip64_end = true;
    a.zip64_total = total = Get64(b, z + 32);
    coff = Get64(b, z + 48);
  }
  size_t p = coff;
  for (uint64_t n = 0; n < total; ++n) {
    if (Get32(b, p) != 0x02014B50) throw std::runtime_error("bad central header");
    RawEntry e{};
    e.version_made_by = Get16(b, p + 4);
    e.version_needed = Get16(b, p + 6);
    e.flags = Get16(b, p + 8);
    e.method = Get16(b, p + 10);
    e.time = Get16(b, p + 12);
    e.date = Get16(b, p + 14);
    e.crc = Get32(b, p + 16);
    e.csize = Get32(b, p + 20);
    e.usize = Get32(b, p + 24);
    const uint16_t nl = Get16(b, p + 28), xl = Get16(b, p + 30), cl = Get16(b, p + 32);
    e.disk = Get16(b, p + 34);
    e.internal_attr = Get16(b, p + 36);
    e.external_attr = Get32(b, p + 38);
    e.offset = Get32(b, p + 42);
    e.name = b.substr(p + 46, nl);
    e.extra = b.substr(p + 46 + nl, xl);
    e.comment = b.substr(p + 46 + nl + xl, cl);
    p += 46 + nl + xl + cl;
    const size_t l = e.offset;
    if (Get32(b, l) != 0x04034B50) throw std::runtime_error("bad local header for " + e.name);
    e.l_version_needed = Get16(b, l + 4);
    e.l_flags = Get16(b, l + 6);
    e.l_method = Get16(b, l + 8);
    e.l_time = Get16(b, l + 10);
    e.l_date = Get16(b, l + 12);
    e.l_crc = Get32(b, l + 14);
    e.l_csize = Get32(b, l + 18);
    e.l_usize = Get32(b, l + 22);
    const uint16_t lnl = Get16(b, l + 26), lxl = Get16(b, l + 28);
    e.l_name = b.substr(l + 30, lnl);
    e.l_extra = b.substr(l + 30 + lnl, lxl);
    const size_t data_at = l + 30 + lnl + lxl;
    if (data_at + e.csize > b.size()) throw std::runtime_error("data past end");
    e.data = b.substr(data_at, e.csize);
    a.entries.push_back(std::move(e));
  }
  if (p != b.size() - 22 - a.comment.size() && !a.zip64_end) {
    throw std::runtime_error("central directory does not end at the end record");
  }
  return a;
}

inline std::string RawInflate(const std::string& in) {
  z_stream z{};
  if (inflateInit2(&z, -15) != Z_OK) throw std::runtime_error("inflateInit2");
  std::string out;
  char buf[65536];
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  z.avail_in = static_cast<uInt>(in.size());
  int rc = Z_OK;
  while (rc == Z_OK) {
    z.next_out = reinterpret_cast<Bytef*>(buf);
    z.avail_out = sizeof buf;
    rc = inflate(&z, Z_NO_FLUSH);
    out.append(buf, sizeof buf - z.avail_out);
  }
  inflateEnd(&z);
  if (rc != Z_STREAM_END) throw std::runtime_error("bad deflate stream");
  return out;
}

// The entry's content: decrypted with `password` when encrypted (the check
// byte must agree with the CRC), inflated when deflated, CRC checked.
inline std::string EntryContent(const RawEntry& e, const std::string& password = "") {
  std::string data = e.data;
  if (e.flags & 1) {
    if (data.size() < 12) throw std::runtime_error("no encryption header");
    zip::ZipCrypto keys(password);
    keys.Decrypt(std::as_writable_bytes(std::span(data.data(), data.size())));
    if (static_cast<uint8_t>(data[11]) != (e.crc >> 24)) throw std::runtime_error("check byte");
    data.erase(0, 12);
  }
  if (e.method == 8) data = RawInflate(data);
  const uint32_t crc =
      static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(data.data()), data.size()));
  if (crc != e.crc) throw std::runtime_error("crc mismatch for " + e.name);
  if (data.size() != e.usize) throw std::runtime_error("size mismatch for " + e.name);
  return data;
}

inline std::vector<std::string> Names(const RawArchive& a) {
  std::vector<std::string> out;
  for (const RawEntry& e : a.entries) out.push_back(e.name);
  return out;
}

// Runs a shell command; returns its exit status (-1 when it could not run).
inline int Run(const std::string& cmd) {
  const int rc = std::system(cmd.c_str());
  return rc == -1 ? -1 : WEXITSTATUS(rc);
}

inline bool HaveTool(const std::string& tool) {
  return Run("command -v " + tool + " >/dev/null 2>&1") == 0;
}

}  // namespace zb::ztest
