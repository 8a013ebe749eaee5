#pragma once

// Constants of the ZIP file format, named after the PKWARE APPNOTE. Shared by
// the reader and the writer; all multi-byte fields are little-endian.

#include <cstdint>

namespace zb::zip {

// --- Record signatures -------------------------------------------------------

// "PK\3\4": starts every local file header.
inline constexpr uint32_t kLocalHeaderSignature = 0x04034B50;
// "PK\1\2": starts every central directory file header.
inline constexpr uint32_t kCentralHeaderSignature = 0x02014B50;
// "PK\5\6": the end of central directory record.
inline constexpr uint32_t kEndCentralSignature = 0x06054B50;
// "PK\6\6": the ZIP64 end of central directory record.
inline constexpr uint32_t kZip64EndCentralSignature = 0x06064B50;
// "PK\6\7": the ZIP64 end of central directory locator.
inline constexpr uint32_t kZip64LocatorSignature = 0x07064B50;
// "PK\7\8": optional signature in front of a data descriptor.
inline constexpr uint32_t kDataDescriptorSignature = 0x08074B50;

// --- Record sizes (fixed part, before variable-length fields) ----------------

// Local file header without name and extra field.
inline constexpr uint32_t kLocalHeaderSize = 30;
// Central directory header without name, extra field and comment.
inline constexpr uint32_t kCentralHeaderSize = 46;
// End of central directory record without the comment.
inline constexpr uint32_t kEndCentralSize = 22;
// ZIP64 end of central directory record up to and including the last fixed
// field (the "size of record" field counts from offset 12).
inline constexpr uint32_t kZip64EndCentralSize = 56;
// ZIP64 end of central directory locator.
inline constexpr uint32_t kZip64LocatorSize = 20;
// Data descriptor without its optional signature (CRC, two 32-bit sizes).
inline constexpr uint32_t kDataDescriptorSize = 12;
// Longest archive comment: its length is a 16-bit field.
inline constexpr uint32_t kMaxCommentLength = 65535;
// How far from the end an end record can start: comment plus record.
inline constexpr uint32_t kEndCentralSearchSpan = kMaxCommentLength + kEndCentralSize;

// --- Local header field offsets ----------------------------------------------

inline constexpr int kLocVersionNeeded = 4;    // version needed to extract
inline constexpr int kLocFlags = 6;            // general purpose bit flag
inline constexpr int kLocMethod = 8;           // compression method
inline constexpr int kLocTime = 10;            // last mod file time (DOS)
inline constexpr int kLocDate = 12;            // last mod file date (DOS)
inline constexpr int kLocCrc = 14;             // crc-32
inline constexpr int kLocCompressedSize = 18;  // compressed size
inline constexpr int kLocSize = 22;            // uncompressed size
inline constexpr int kLocNameLength = 26;      // file name length
inline constexpr int kLocExtraLength = 28;     // extra field length

// --- Central header field offsets --------------------------------------------

inline constexpr int kCenVersionMadeBy = 4;    // version made by (high byte: host)
inline constexpr int kCenVersionNeeded = 6;    // version needed to extract
inline constexpr int kCenFlags = 8;            // general purpose bit flag
inline constexpr int kCenMethod = 10;          // compression method
inline constexpr int kCenTime = 12;            // last mod file time
inline constexpr int kCenDate = 14;            // last mod file date
inline constexpr int kCenCrc = 16;             // crc-32
inline constexpr int kCenCompressedSize = 20;  // compressed size
inline constexpr int kCenSize = 24;            // uncompressed size
inline constexpr int kCenNameLength = 28;      // file name length
inline constexpr int kCenExtraLength = 30;     // extra field length
inline constexpr int kCenCommentLength = 32;   // file comment length
inline constexpr int kCenDiskStart = 34;       // disk number start
inline constexpr int kCenInternalAttr = 36;    // internal file attributes
inline constexpr int kCenExternalAttr = 38;    // external file attributes
inline constexpr int kCenLocalOffset = 42;     // relative offset of local header

// --- End of central directory record field offsets ---------------------------

inline constexpr int kEndThisDisk = 4;         // number of this disk
inline constexpr int kEndCentralDisk = 6;      // disk where the central directory starts
inline constexpr int kEndEntriesThisDisk = 8;  // central entries on this disk
inline constexpr int kEndTotalEntries = 10;    // total central entries
inline constexpr int kEndCentralDirSize = 12;  // size of the central directory
inline constexpr int kEndCentralOffset = 16;   // offset of start of central directory
inline constexpr int kEndCommentLength = 20;   // .ZIP file comment length

// --- ZIP64 end record and locator field offsets ------------------------------

inline constexpr int kZ64RecordSize = 4;        // size of the rest of the record (8 bytes)
inline constexpr int kZ64VersionMadeBy = 12;    // version made by
inline constexpr int kZ64VersionNeeded = 14;    // version needed to extract
inline constexpr int kZ64ThisDisk = 16;         // number of this disk (4 bytes)
inline constexpr int kZ64CentralDisk = 20;      // disk of the central directory (4 bytes)
inline constexpr int kZ64EntriesThisDisk = 24;  // entries on this disk (8 bytes)
inline constexpr int kZ64TotalEntries = 32;     // total entries (8 bytes)
inline constexpr int kZ64CentralSize = 40;      // size of the central directory (8 bytes)
inline constexpr int kZ64CentralOffset = 48;    // offset of the central directory (8 bytes)
inline constexpr int kZ64LocDisk = 4;           // locator: disk of the ZIP64 end record
inline constexpr int kZ64LocOffset = 8;         // locator: offset of the ZIP64 end record
inline constexpr int kZ64LocTotalDisks = 16;    // locator: total number of disks

// --- General purpose flag bits -----------------------------------------------

inline constexpr uint16_t kFlagEncrypted = 0x0001;  // bit 0: traditional encryption
inline constexpr uint16_t kFlagDeflateMax =
    0x0002;  // bit 1: deflate levels 8-9 (implode: 8K dictionary)
inline constexpr uint16_t kFlagDeflateFast =
    0x0004;  // bit 2: deflate levels 1-2 (implode: 3 trees)
inline constexpr uint16_t kFlagDataDescriptor = 0x0008;  // bit 3: CRC and sizes follow the data
inline constexpr uint16_t kFlagStrongEncryption =
    0x0040;                                    // bit 6: strong encryption (not supported)
inline constexpr uint16_t kFlagUtf8 = 0x0800;  // bit 11: name and comment are UTF-8

// --- Compression methods -----------------------------------------------------

inline constexpr uint16_t kMethodStored = 0;    // no compression
inline constexpr uint16_t kMethodShrunk = 1;    // LZW (Shrink)
inline constexpr uint16_t kMethodReduced1 = 2;  // Reduce, compression factor 1
inline constexpr uint16_t kMethodReduced4 = 5;  // Reduce, compression factor 4
inline constexpr uint16_t kMethodImploded = 6;  // Implode
inline constexpr uint16_t kMethodDeflated = 8;  // Deflate (RFC 1951)

// --- Versions and host systems (high byte of "version made by") --------------

inline constexpr uint16_t kVersionDefault = 20;  // 2.0: deflate, encryption, folders
inline constexpr uint16_t kVersionZip64 = 45;    // 4.5: ZIP64 extensions
inline constexpr uint8_t kHostMsDos = 0;         // MS-DOS and FAT-family file systems
inline constexpr uint8_t kHostUnix = 3;          // UNIX
inline constexpr uint8_t kHostNtfs = 10;         // Windows NTFS
inline constexpr uint8_t kHostVfat = 14;         // VFAT (Windows long names on FAT)
inline constexpr uint8_t kHostMacOsX = 19;       // OS X (Darwin)

// --- ZIP64 markers -----------------------------------------------------------

// A 32-bit size or offset field holding this value defers to the ZIP64 extra
// field; likewise 0xFFFF for 16-bit counts and disk numbers.
inline constexpr uint32_t kZip64Marker32 = 0xFFFFFFFF;
inline constexpr uint16_t kZip64Marker16 = 0xFFFF;

// --- Extra field header ids --------------------------------------------------

// ZIP64 extended information: uncompressed size, compressed size, local
// header offset, disk start, each present only when its field holds the marker.
inline constexpr uint16_t kExtraZip64 = 0x0001;
// Info-ZIP Unicode Path: version 1, CRC-32 of the header's name, UTF-8 name.
inline constexpr uint16_t kExtraUnicodePath = 0x7075;
// Extended timestamp: a flags byte, then the modification time (bit 0) in
// whole seconds since 1970 UTC, signed 32-bit. The central form carries only
// the modification time.
inline constexpr uint16_t kExtraExtendedTimestamp = 0x5455;

// --- Limits of this reader ---------------------------------------------------

// Disk numbers above this make an end record implausible.
inline constexpr uint32_t kMaxDiskNumber = 999;
// Offset where the recovery scan starts in a self-extracting ".exe" archive.
inline constexpr uint64_t kSfxScanStart = 14000;

}  // namespace zb::zip
