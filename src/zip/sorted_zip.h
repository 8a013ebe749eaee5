#pragma once

// TSortedZip: an ordered list of entries under one sort key. It either owns
// its entries or refers to entries owned by another list (the reader's
// sorted view refers to its physical-order list).

#include <cstddef>
#include <memory>
#include <span>
#include <vector>

#include "zip/zip_header_info.h"

namespace zb::zip {

enum class TZipSortMode {
  ByName,              // directory + file name, ASCII case folded, ascending
  ByFileName,          // file name alone
  ByDirectoryName,     // directory part alone
  ByDate,              // newest first
  ByCompressedSize,    // largest first
  ByUnCompressedSize,  // largest first
  ByRate,              // compression rate in percent, highest first
  ByNone,              // physical order: disk, then local header offset
};

// <0, 0, >0 as `a` sorts before, with, after `b` under `mode`.
[[nodiscard]] int CompareEntries(TZipSortMode mode, const TZipHeaderInfo& a,
                                 const TZipHeaderInfo& b);
// Compression rate in percent: compressed * 100 / uncompressed, rounded, at
// most 100 (0 for an empty entry).
[[nodiscard]] int CompressionRate(const TZipHeaderInfo& h);

class TSortedZip final {
 public:
  // `owns`: the list deletes its entries. `accept_duplicates`: an entry equal
  // under the key to others goes after them; otherwise it is refused.
  TSortedZip(TZipSortMode mode, bool owns, bool accept_duplicates);
  ~TSortedZip();
  TSortedZip(const TSortedZip&) = delete;
  TSortedZip& operator=(const TSortedZip&) = delete;

  [[nodiscard]] TZipSortMode SortMode() const { return mode_; }
  [[nodiscard]] bool Owns() const { return owns_; }
  [[nodiscard]] size_t Count() const { return items_.size(); }
  [[nodiscard]] TZipHeaderInfo& operator[](size_t i) { return *items_[i]; }
  [[nodiscard]] const TZipHeaderInfo& operator[](size_t i) const { return *items_[i]; }
  [[nodiscard]] TZipHeaderInfo* At(size_t i) const { return items_[i]; }

  // Inserts by binary search. Returns the index, or -1 when a duplicate was
  // refused (an owning list then deletes the entry).
  int Add(std::unique_ptr<TZipHeaderInfo> entry);  // REQUIRES: Owns()
  int AddRef(TZipHeaderInfo* entry);               // REQUIRES: !Owns()
  // Appends at the end without sorting (the writer's new directory in
  // writing order). The list must then not be searched.
  void Append(std::unique_ptr<TZipHeaderInfo> entry);  // REQUIRES: Owns()

  // Adds many entries with one stable sort (equal keys keep their order,
  // after entries already in the list), instead of one binary insertion each,
  // which costs quadratic moves when the input comes in reverse order.
  // Returns how many duplicates were refused (and deleted). REQUIRES: Owns().
  size_t AddAll(std::vector<std::unique_ptr<TZipHeaderInfo>> entries);

  // Replaces the contents with references to `entries` ordered by one
  // stable sort: the order repeated insertion "after equals" would give.
  // Duplicates are dropped first-kept when the list refuses them.
  void BuildFrom(std::span<TZipHeaderInfo* const> entries);  // REQUIRES: !Owns()

  // Removes entry i (deleting it when owned).
  void Delete(size_t i);
  // Hands entry i to the caller and removes it. REQUIRES: Owns().
  std::unique_ptr<TZipHeaderInfo> Extract(size_t i);
  void Clear();

 private:
  [[nodiscard]] size_t UpperBound(const TZipHeaderInfo& e) const;
  TZipSortMode mode_;
  bool owns_;
  bool accept_duplicates_;
  std::vector<TZipHeaderInfo*> items_;
};

}  // namespace zb::zip
