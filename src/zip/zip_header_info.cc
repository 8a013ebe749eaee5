#include "zip/zip_header_info.h"

#include <algorithm>
#include <limits>

namespace zb::zip {
namespace {

uint16_t Clamp16(size_t n) {
  return static_cast<uint16_t>(std::min<size_t>(n, std::numeric_limits<uint16_t>::max()));
}

uint32_t Field32(uint64_t v) {
  return v >= kZip64Marker32 ? kZip64Marker32 : static_cast<uint32_t>(v);
}

uint16_t Field16(uint64_t v) {
  return v >= kZip64Marker16 ? kZip64Marker16 : static_cast<uint16_t>(v);
}

}  // namespace

void Put16(std::vector<std::byte>* out, uint16_t v) {
  out->push_back(static_cast<std::byte>(v & 0xFF));
  out->push_back(static_cast<std::byte>(v >> 8));
}

void Put32(std::vector<std::byte>* out, uint32_t v) {
  Put16(out, static_cast<uint16_t>(v & 0xFFFF));
  Put16(out, static_cast<uint16_t>(v >> 16));
}

void Put64(std::vector<std::byte>* out, uint64_t v) {
  Put32(out, static_cast<uint32_t>(v & 0xFFFFFFFF));
  Put32(out, static_cast<uint32_t>(v >> 32));
}

void PutBytes(std::vector<std::byte>* out, std::string_view bytes) {
  for (char c : bytes) out->push_back(static_cast<std::byte>(c));
}

// --- TZipHeaderInfo ---------------------------------------------------------------

void TZipHeaderInfo::SetFileName(std::string name) {
  file_name_ = std::move(name);
  name_length_ = Clamp16(directory_.size() + file_name_.size());
}

void TZipHeaderInfo::SetDirectory(std::string dir) {
  if (!dir.empty() && dir.back() != '/') dir += '/';
  directory_ = std::move(dir);
  name_length_ = Clamp16(directory_.size() + file_name_.size());
}

uint64_t TZipHeaderInfo::LocalHeaderSize() const {
  return kLocalHeaderSize + raw_name.size() + local_extra_length;
}

uint64_t TZipHeaderInfo::CentralHeaderSize() const {
  return kCentralHeaderSize + raw_name.size() + central_extra_length + comment_length;
}

uint8_t TZipHeaderInfo::CheckByte() const {
  // With a data descriptor the writer did not know the CRC when it wrote the
  // encryption header; the APPNOTE has it use the time instead.
  if (HasDataDescriptor()) return static_cast<uint8_t>((dos_date_time >> 8) & 0xFF);
  return static_cast<uint8_t>(crc32 >> 24);
}

uint32_t TZipHeaderInfo::UnixMode() const {
  const uint8_t host = HostSystem();
  if (host != kHostUnix && host != kHostMacOsX) return 0;
  return external_attributes >> 16;
}

bool TZipHeaderInfo::AttributesSayFolder() const {
  if (uncompressed_size != 0 || compressed_size != 0) return false;
  constexpr uint32_t kTypeMask = 0170000;
  constexpr uint32_t kTypeFolder = 0040000;
  if ((UnixMode() & kTypeMask) == kTypeFolder) return true;
  // The low byte holds DOS attributes for the DOS family and for Unix
  // writers, which keep them there for other readers.
  const uint8_t host = HostSystem();
  const bool dos_byte = host == kHostMsDos || host == kHostNtfs || host == kHostVfat ||
                        host == kHostUnix || host == kHostMacOsX;
  return dos_byte && (external_attributes & 0x10) != 0;
}

std::vector<std::byte> MakeTimestampExtra(int64_t mtime) {
  if (mtime < std::numeric_limits<int32_t>::min() || mtime > std::numeric_limits<int32_t>::max()) {
    return {};
  }
  std::vector<std::byte> out;
  Put16(&out, kExtraExtendedTimestamp);
  Put16(&out, 5);
  out.push_back(std::byte{1});
  Put32(&out, static_cast<uint32_t>(static_cast<int32_t>(mtime)));
  return out;
}

std::optional<int64_t> ReadTimestampExtra(std::span<const std::byte> extra) {
  auto block = FindExtraBlock(extra, kExtraExtendedTimestamp);
  if (!block || block->size() < 5 || (static_cast<uint8_t>((*block)[0]) & 1) == 0) {
    return std::nullopt;
  }
  return static_cast<int64_t>(static_cast<int32_t>(Load32(*block, 1)));
}

// --- TEndCentral ------------------------------------------------------------------

void TEndCentral::Clear() {
  signature = kEndCentralSignature;
  this_disk = central_disk = 0;
  entries_this_disk = total_entries = 0;
  central_size = central_offset = 0;
  comment_length = 0;
  comment.reset();
  comment_offset = 0;
  comment_changed = false;
  record_offset = 0;
  zip64 = false;
}

// --- Local header -----------------------------------------------------------------

bool ParseLocalHeader(std::span<const std::byte> rec, LocalHeader* out) {
  if (rec.size() < kLocalHeaderSize || Load32(rec, 0) != kLocalHeaderSignature) return false;
  out->version_needed = Load16(rec, kLocVersionNeeded);
  out->flags = Load16(rec, kLocFlags);
  out->method = Load16(rec, kLocMethod);
  out->dos_date_time = (static_cast<uint32_t>(Load16(rec, kLocDate)) << 16) | Load16(rec, kLocTime);
  out->crc32 = Load32(rec, kLocCrc);
  out->compressed_size = Load32(rec, kLocCompressedSize);
  out->uncompressed_size = Load32(rec, kLocSize);
  out->name_length = Load16(rec, kLocNameLength);
  out->extra_length = Load16(rec, kLocExtraLength);
  return true;
}

void SerializeLocalHeader(const TZipHeaderInfo& h, std::span<const std::byte> extra,
                          std::vector<std::byte>* out) {
  Put32(out, kLocalHeaderSignature);
  Put16(out, h.version_needed);
  Put16(out, h.flags);
  Put16(out, h.method);
  Put16(out, static_cast<uint16_t>(h.dos_date_time & 0xFFFF));
  Put16(out, static_cast<uint16_t>(h.dos_date_time >> 16));
  Put32(out, h.crc32);
  Put32(out, Field32(h.compressed_size));
  Put32(out, Field32(h.uncompressed_size));
  Put16(out, Clamp16(h.raw_name.size()));
  Put16(out, Clamp16(extra.size()));
  PutBytes(out, h.raw_name);
  out->insert(out->end(), extra.begin(), extra.end());
}

// --- Central header ---------------------------------------------------------------

bool ParseCentralHeader(std::span<const std::byte> rec, TZipHeaderInfo* h) {
  if (rec.size() < kCentralHeaderSize || Load32(rec, 0) != kCentralHeaderSignature) return false;
  h->version_made_by = Load16(rec, kCenVersionMadeBy);
  h->version_needed = Load16(rec, kCenVersionNeeded);
  h->flags = Load16(rec, kCenFlags);
  h->method = Load16(rec, kCenMethod);
  h->dos_date_time = (static_cast<uint32_t>(Load16(rec, kCenDate)) << 16) | Load16(rec, kCenTime);
  h->crc32 = Load32(rec, kCenCrc);
  h->compressed_size = Load32(rec, kCenCompressedSize);
  h->uncompressed_size = Load32(rec, kCenSize);
  h->central_extra_length = Load16(rec, kCenExtraLength);
  h->comment_length = Load16(rec, kCenCommentLength);
  h->disk_number_start = Load16(rec, kCenDiskStart);
  h->internal_attributes = Load16(rec, kCenInternalAttr);
  h->external_attributes = Load32(rec, kCenExternalAttr);
  h->local_header_offset = Load32(rec, kCenLocalOffset);
  return true;
}

void SerializeCentralHeader(const TZipHeaderInfo& h, std::span<const std::byte> extra,
                            std::string_view comment, std::vector<std::byte>* out) {
  Put32(out, kCentralHeaderSignature);
  Put16(out, h.version_made_by);
  Put16(out, h.version_needed);
  Put16(out, h.flags);
  Put16(out, h.method);
  Put16(out, static_cast<uint16_t>(h.dos_date_time & 0xFFFF));
  Put16(out, static_cast<uint16_t>(h.dos_date_time >> 16));
  Put32(out, h.crc32);
  Put32(out, Field32(h.compressed_size));
  Put32(out, Field32(h.uncompressed_size));
  Put16(out, Clamp16(h.raw_name.size()));
  Put16(out, Clamp16(extra.size()));
  Put16(out, Clamp16(comment.size()));
  Put16(out, Field16(h.disk_number_start));
  Put16(out, h.internal_attributes);
  Put32(out, h.external_attributes);
  Put32(out, Field32(h.local_header_offset));
  PutBytes(out, h.raw_name);
  out->insert(out->end(), extra.begin(), extra.end());
  PutBytes(out, comment.substr(0, kMaxCommentLength));
}

// --- Extra fields -----------------------------------------------------------------

std::optional<std::span<const std::byte>> FindExtraBlock(std::span<const std::byte> extra,
                                                         uint16_t id) {
  size_t pos = 0;
  while (pos + 4 <= extra.size()) {
    uint16_t block_id = Load16(extra, pos);
    uint16_t len = Load16(extra, pos + 2);
    if (pos + 4 + len > extra.size()) return std::nullopt;
    if (block_id == id) return extra.subspan(pos + 4, len);
    pos += 4 + len;
  }
  return std::nullopt;
}

bool ApplyZip64Extra(std::span<const std::byte> extra, uint32_t raw_size, uint32_t raw_compressed,
                     uint32_t raw_offset, uint16_t raw_disk, TZipHeaderInfo* h) {
  bool need_size = raw_size == kZip64Marker32;
  bool need_compressed = raw_compressed == kZip64Marker32;
  bool need_offset = raw_offset == kZip64Marker32;
  bool need_disk = raw_disk == kZip64Marker16;
  if (!need_size && !need_compressed && !need_offset && !need_disk) return true;
  auto block = FindExtraBlock(extra, kExtraZip64);
  if (!block) {
    // A marker value without the block: some writers store an honest
    // 0xFFFFFFFF. Take the field as it stands.
    return true;
  }
  // The values present follow the APPNOTE order, each only when its record
  // field holds the marker.
  std::span<const std::byte> b = *block;
  size_t pos = 0;
  auto take64 = [&](uint64_t* v) {
    if (pos + 8 > b.size()) return false;
    *v = Load64(b, pos);
    pos += 8;
    return true;
  };
  if (need_size && !take64(&h->uncompressed_size)) return false;
  if (need_compressed && !take64(&h->compressed_size)) return false;
  if (need_offset && !take64(&h->local_header_offset)) return false;
  if (need_disk) {
    if (pos + 4 > b.size()) return false;
    h->disk_number_start = Load32(b, pos);
  }
  return true;
}

std::vector<std::byte> MakeZip64Extra(const TZipHeaderInfo& h, bool with_offset) {
  std::vector<std::byte> data;
  bool size = h.uncompressed_size >= kZip64Marker32;
  bool compressed = h.compressed_size >= kZip64Marker32;
  bool offset = with_offset && h.local_header_offset >= kZip64Marker32;
  bool disk = with_offset && h.disk_number_start >= kZip64Marker16;
  if (!size && !compressed && !offset && !disk) return data;
  std::vector<std::byte> body;
  if (size) Put64(&body, h.uncompressed_size);
  if (compressed) Put64(&body, h.compressed_size);
  if (offset) Put64(&body, h.local_header_offset);
  if (disk) Put32(&body, h.disk_number_start);
  Put16(&data, kExtraZip64);
  Put16(&data, static_cast<uint16_t>(body.size()));
  data.insert(data.end(), body.begin(), body.end());
  return data;
}

// --- End records ------------------------------------------------------------------

bool ParseEndCentral(std::span<const std::byte> rec, TEndCentral* out) {
  if (rec.size() < kEndCentralSize || Load32(rec, 0) != kEndCentralSignature) return false;
  out->signature = kEndCentralSignature;
  out->this_disk = Load16(rec, kEndThisDisk);
  out->central_disk = Load16(rec, kEndCentralDisk);
  out->entries_this_disk = Load16(rec, kEndEntriesThisDisk);
  out->total_entries = Load16(rec, kEndTotalEntries);
  out->central_size = Load32(rec, kEndCentralDirSize);
  out->central_offset = Load32(rec, kEndCentralOffset);
  out->comment_length = Load16(rec, kEndCommentLength);
  out->zip64 = false;
  return true;
}

void SerializeEndCentral(const TEndCentral& end, std::string_view comment,
                         std::vector<std::byte>* out) {
  comment = comment.substr(0, kMaxCommentLength);
  Put32(out, kEndCentralSignature);
  Put16(out, Field16(end.this_disk));
  Put16(out, Field16(end.central_disk));
  Put16(out, Field16(end.entries_this_disk));
  Put16(out, Field16(end.total_entries));
  Put32(out, Field32(end.central_size));
  Put32(out, Field32(end.central_offset));
  Put16(out, static_cast<uint16_t>(comment.size()));
  PutBytes(out, comment);
}

bool EndCentralNeedsZip64(const TEndCentral& end) {
  return end.this_disk >= kZip64Marker16 || end.central_disk >= kZip64Marker16 ||
         end.entries_this_disk >= kZip64Marker16 || end.total_entries >= kZip64Marker16 ||
         end.central_size >= kZip64Marker32 || end.central_offset >= kZip64Marker32;
}

bool ParseZip64Locator(std::span<const std::byte> rec, Zip64Locator* out) {
  if (rec.size() < kZip64LocatorSize || Load32(rec, 0) != kZip64LocatorSignature) return false;
  out->disk = Load32(rec, kZ64LocDisk);
  out->offset = Load64(rec, kZ64LocOffset);
  out->total_disks = Load32(rec, kZ64LocTotalDisks);
  return true;
}

void SerializeZip64Locator(const Zip64Locator& loc, std::vector<std::byte>* out) {
  Put32(out, kZip64LocatorSignature);
  Put32(out, loc.disk);
  Put64(out, loc.offset);
  Put32(out, loc.total_disks);
}

bool ParseZip64EndCentral(std::span<const std::byte> rec, TEndCentral* end) {
  if (rec.size() < kZip64EndCentralSize || Load32(rec, 0) != kZip64EndCentralSignature) {
    return false;
  }
  end->this_disk = Load32(rec, kZ64ThisDisk);
  end->central_disk = Load32(rec, kZ64CentralDisk);
  end->entries_this_disk = Load64(rec, kZ64EntriesThisDisk);
  end->total_entries = Load64(rec, kZ64TotalEntries);
  end->central_size = Load64(rec, kZ64CentralSize);
  end->central_offset = Load64(rec, kZ64CentralOffset);
  end->zip64 = true;
  return true;
}

void SerializeZip64EndCentral(const TEndCentral& end, std::vector<std::byte>* out) {
  Put32(out, kZip64EndCentralSignature);
  Put64(out, kZip64EndCentralSize - 12);  // the record's size excludes its first 12 bytes
  Put16(out, kVersionZip64);
  Put16(out, kVersionZip64);
  Put32(out, end.this_disk);
  Put32(out, end.central_disk);
  Put64(out, end.entries_this_disk);
  Put64(out, end.total_entries);
  Put64(out, end.central_size);
  Put64(out, end.central_offset);
}

}  // namespace zb::zip
