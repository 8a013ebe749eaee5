#pragma once

// The in-memory records of the archive engine, TZipHeaderInfo (one entry)
// and TEndCentral (the end record), and the conversions between them and
// the bytes of the local header, central header, end record and the ZIP64
// records. Parsers never throw: they report a mismatch and the reader
// decides what it means.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "zip/zip_format.h"

namespace zb::zip {

// Little-endian field access. REQUIRES: the span holds the bytes read.
[[nodiscard]] inline uint16_t Load16(std::span<const std::byte> b, size_t at) {
  return static_cast<uint16_t>(static_cast<uint8_t>(b[at]) |
                               (static_cast<uint8_t>(b[at + 1]) << 8));
}
[[nodiscard]] inline uint32_t Load32(std::span<const std::byte> b, size_t at) {
  return static_cast<uint32_t>(Load16(b, at)) | (static_cast<uint32_t>(Load16(b, at + 2)) << 16);
}
[[nodiscard]] inline uint64_t Load64(std::span<const std::byte> b, size_t at) {
  return static_cast<uint64_t>(Load32(b, at)) | (static_cast<uint64_t>(Load32(b, at + 4)) << 32);
}
void Put16(std::vector<std::byte>* out, uint16_t v);
void Put32(std::vector<std::byte>* out, uint32_t v);
void Put64(std::vector<std::byte>* out, uint64_t v);
void PutBytes(std::vector<std::byte>* out, std::string_view bytes);

// One archive entry. Sizes and offsets are 64-bit in memory so that large
// files and ZIP64 archives are never misread; the 32-bit record fields take
// the ZIP64 marker when a value does not fit.
struct TZipHeaderInfo {
  uint16_t version_made_by = kVersionDefault;
  uint16_t version_needed = kVersionDefault;
  uint16_t flags = 0;
  uint16_t method = kMethodDeflated;
  uint32_t dos_date_time = 0;  // date word high, time word low
  uint32_t crc32 = 0xFFFFFFFF;
  uint64_t compressed_size = 0;
  uint64_t uncompressed_size = 0;
  uint16_t central_extra_length = 0;
  uint16_t local_extra_length = 0;
  uint16_t comment_length = 0;
  uint32_t disk_number_start = 0;
  uint16_t internal_attributes = 1;
  uint32_t external_attributes = 0x20;
  uint64_t local_header_offset = 0;
  uint64_t central_header_offset = 0;
  // Modification time in whole seconds (UTC) from the extended timestamp
  // field, when the entry has one; the DOS time only holds even seconds.
  std::optional<int64_t> unix_mtime;
  // The name bytes exactly as stored in the archive (CP437 or UTF-8, "/"
  // separators); kept so an entry can be copied or matched byte for byte.
  std::string raw_name;
  // The entry's comment; read lazily by the owner.
  std::optional<std::string> file_comment;
  bool selected_for_extraction = false;
  bool selected = false;
  bool oem_convert = true;

  // File name and directory part, UTF-8 with "/" separators; the directory
  // ends with "/" when it is not empty (SetDirectory appends it).
  [[nodiscard]] const std::string& FileName() const { return file_name_; }
  [[nodiscard]] const std::string& Directory() const { return directory_; }
  void SetFileName(std::string name);
  void SetDirectory(std::string dir);
  // Directory part plus file name: the stored name in UTF-8.
  [[nodiscard]] std::string FullName() const { return directory_ + file_name_; }
  // Length of directory part plus file name, kept in step with both.
  [[nodiscard]] uint16_t NameLength() const { return name_length_; }

  [[nodiscard]] bool IsEncrypted() const { return (flags & kFlagEncrypted) != 0; }
  [[nodiscard]] bool HasDataDescriptor() const { return (flags & kFlagDataDescriptor) != 0; }
  [[nodiscard]] bool IsDirectoryEntry() const { return file_name_.empty(); }
  [[nodiscard]] uint8_t HostSystem() const { return static_cast<uint8_t>(version_made_by >> 8); }
  // The Unix file type and permission bits of an entry made on Unix (the
  // high 16 bits of the external attributes); 0 for other entries.
  [[nodiscard]] uint32_t UnixMode() const;
  // Whether the attributes call the entry a folder: the DOS directory bit,
  // or a Unix mode of type directory. Only entries without data count, so
  // a stray bit never makes a file's data unreachable.
  [[nodiscard]] bool AttributesSayFolder() const;
  // 30 + stored name length + local extra length.
  [[nodiscard]] uint64_t LocalHeaderSize() const;
  // 46 + stored name length + central extra length + comment length.
  [[nodiscard]] uint64_t CentralHeaderSize() const;
  // The byte the encryption header's last byte is checked against: the CRC's
  // high byte, or with a data descriptor the high byte of the time word.
  [[nodiscard]] uint8_t CheckByte() const;

 private:
  std::string file_name_;
  std::string directory_;
  uint16_t name_length_ = 0;
};

// The end record of one archive. Counts and the central directory's size
// and offset are 64-bit so a ZIP64 end record fits the same place.
struct TEndCentral {
  uint32_t signature = kEndCentralSignature;
  uint32_t this_disk = 0;
  uint32_t central_disk = 0;
  uint64_t entries_this_disk = 0;
  uint64_t total_entries = 0;
  uint64_t central_size = 0;
  uint64_t central_offset = 0;
  uint16_t comment_length = 0;
  std::optional<std::string> comment;  // raw bytes; read on demand
  uint64_t comment_offset = 0;         // file offset of the comment
  bool comment_changed = false;
  // Where the end record itself starts, and whether ZIP64 records supplied
  // the values above.
  uint64_t record_offset = 0;
  bool zip64 = false;

  void Clear();
};

// --- Local header ------------------------------------------------------------

// The fixed part of a local header as read.
struct LocalHeader {
  uint16_t version_needed = 0;
  uint16_t flags = 0;
  uint16_t method = 0;
  uint32_t dos_date_time = 0;
  uint32_t crc32 = 0;
  uint32_t compressed_size = 0;
  uint32_t uncompressed_size = 0;
  uint16_t name_length = 0;
  uint16_t extra_length = 0;
};
// False when `rec` is shorter than 30 bytes or the signature differs.
[[nodiscard]] bool ParseLocalHeader(std::span<const std::byte> rec, LocalHeader* out);
// Appends the local header of `h` with its raw name and the given extra
// field. Sizes that do not fit 32 bits are written as the ZIP64 marker; the
// caller then supplies a ZIP64 extra field.
void SerializeLocalHeader(const TZipHeaderInfo& h, std::span<const std::byte> extra,
                          std::vector<std::byte>* out);

// --- Central header ----------------------------------------------------------

// Reads the fixed 46 bytes into `h` (every field but names, comment and
// offsets of the header itself). False on a short buffer or wrong signature.
// The 32-bit sizes and offset are taken as read; apply the ZIP64 extra field
// afterwards with ApplyZip64Extra.
[[nodiscard]] bool ParseCentralHeader(std::span<const std::byte> rec, TZipHeaderInfo* h);
// The name length field of a central header. REQUIRES: rec.size() >= 46.
[[nodiscard]] inline uint16_t CentralNameLength(std::span<const std::byte> rec) {
  return Load16(rec, kCenNameLength);
}
// Appends the central header of `h` with its raw name, extra and comment.
void SerializeCentralHeader(const TZipHeaderInfo& h, std::span<const std::byte> extra,
                            std::string_view comment, std::vector<std::byte>* out);

// --- Extra fields ------------------------------------------------------------

// Finds the data of the first extra block with `id`; nullopt when absent or
// when the block's length runs past the field.
[[nodiscard]] std::optional<std::span<const std::byte>> FindExtraBlock(
    std::span<const std::byte> extra, uint16_t id);
// Replaces the 32-bit values of `h` that hold the ZIP64 marker (and a disk
// number of 0xFFFF) with those of the ZIP64 extra block, in the APPNOTE
// order. `raw_*` are the values as they were in the record. False when a
// marked value has no room in the block (the record is damaged).
[[nodiscard]] bool ApplyZip64Extra(std::span<const std::byte> extra, uint32_t raw_size,
                                   uint32_t raw_compressed, uint32_t raw_offset, uint16_t raw_disk,
                                   TZipHeaderInfo* h);
// Builds a ZIP64 extra block for the values of `h` that need one; empty when
// none does. `with_offset` includes the local header offset (central only).
[[nodiscard]] std::vector<std::byte> MakeZip64Extra(const TZipHeaderInfo& h, bool with_offset);

// The extended timestamp block (id, length, flags, modification time) for
// `mtime`; empty when the time does not fit the field's signed 32 bits.
[[nodiscard]] std::vector<std::byte> MakeTimestampExtra(int64_t mtime);
// The modification time of an extended timestamp block in `extra`, when
// the block is there and holds one.
[[nodiscard]] std::optional<int64_t> ReadTimestampExtra(std::span<const std::byte> extra);

// --- End records -------------------------------------------------------------

// Parses the 22-byte end record (not the comment). False on signature mismatch.
[[nodiscard]] bool ParseEndCentral(std::span<const std::byte> rec, TEndCentral* out);
// Appends the end record and `comment`; counts, size and offset above the
// 16/32-bit fields are written as markers (the caller adds ZIP64 records).
void SerializeEndCentral(const TEndCentral& end, std::string_view comment,
                         std::vector<std::byte>* out);

struct Zip64Locator {
  uint32_t disk = 0;    // disk holding the ZIP64 end record
  uint64_t offset = 0;  // its offset
  uint32_t total_disks = 1;
};
[[nodiscard]] bool ParseZip64Locator(std::span<const std::byte> rec, Zip64Locator* out);
void SerializeZip64Locator(const Zip64Locator& loc, std::vector<std::byte>* out);
// Parses the ZIP64 end record into the counts, size, offset and disks of
// `end`. False on a short buffer or wrong signature.
[[nodiscard]] bool ParseZip64EndCentral(std::span<const std::byte> rec, TEndCentral* end);
void SerializeZip64EndCentral(const TEndCentral& end, std::vector<std::byte>* out);

// True when a record field holds the value that defers to the ZIP64 records.
[[nodiscard]] bool EndCentralNeedsZip64(const TEndCentral& end);

}  // namespace zb::zip
