#include "zip/sorted_zip.h"

#include <algorithm>
#include <cassert>
#include <string>
#include <string_view>
#include <utility>

#include "base/date_time.h"
#include "base/text.h"

namespace zb::zip {
namespace {

template <typename T>
int Cmp(T a, T b) {
  return a < b ? -1 : (b < a ? 1 : 0);
}

double DateValue(uint32_t dos) { return DosToDateTime(dos).value_or(0.0); }

// CompareText of a1 + a2 against b1 + b2 without joining them: the sort by
// full name compares folder plus file name, and a join would allocate
// twice per comparison.
int CompareJoined(std::string_view a1, std::string_view a2, std::string_view b1,
                  std::string_view b2) {
  const size_t na = a1.size() + a2.size(), nb = b1.size() + b2.size();
  const size_t n = na < nb ? na : nb;
  for (size_t i = 0; i < n; ++i) {
    const char ca = i < a1.size() ? a1[i] : a2[i - a1.size()];
    const char cb = i < b1.size() ? b1[i] : b2[i - b1.size()];
    const auto x = static_cast<unsigned char>(AsciiLower(ca));
    const auto y = static_cast<unsigned char>(AsciiLower(cb));
    if (x != y) return x < y ? -1 : 1;
  }
  if (na == nb) return 0;
  return na < nb ? -1 : 1;
}

// The text a name mode sorts by, folded once: comparing the folded texts
// byte by byte (std::string compares as unsigned char, then by length)
// orders exactly as CompareText does.
std::string FoldedKey(TZipSortMode mode, const TZipHeaderInfo& h) {
  std::string key;
  if (mode != TZipSortMode::ByFileName) key += h.Directory();
  if (mode != TZipSortMode::ByDirectoryName) key += h.FileName();
  for (char& c : key) c = AsciiLower(c);
  return key;
}

// A stable sort of entry pointers by `mode`. The name modes fold each name
// once instead of in every comparison: listing an archive of 100,000
// entries spent most of its time there.
void StableSortEntries(TZipSortMode mode, std::vector<TZipHeaderInfo*>::iterator first,
                       std::vector<TZipHeaderInfo*>::iterator last) {
  const bool by_text = mode == TZipSortMode::ByName || mode == TZipSortMode::ByFileName ||
                       mode == TZipSortMode::ByDirectoryName;
  if (!by_text) {
    std::stable_sort(first, last, [mode](const TZipHeaderInfo* x, const TZipHeaderInfo* y) {
      return CompareEntries(mode, *x, *y) < 0;
    });
    return;
  }
  std::vector<std::pair<std::string, TZipHeaderInfo*>> keyed;
  keyed.reserve(static_cast<size_t>(last - first));
  for (auto it = first; it != last; ++it) keyed.emplace_back(FoldedKey(mode, **it), *it);
  std::stable_sort(keyed.begin(), keyed.end(),
                   [](const auto& x, const auto& y) { return x.first < y.first; });
  for (auto& k : keyed) *first++ = k.second;
}

}  // namespace

int CompressionRate(const TZipHeaderInfo& h) {
  if (h.uncompressed_size == 0) return 0;
  // Rounded in integers: a double would lose exactness past 2^53 bytes.
  unsigned __int128 num =
      static_cast<unsigned __int128>(h.compressed_size) * 200 + h.uncompressed_size;
  unsigned __int128 rate = num / (static_cast<unsigned __int128>(h.uncompressed_size) * 2);
  return rate > 100 ? 100 : static_cast<int>(rate);
}

int CompareEntries(TZipSortMode mode, const TZipHeaderInfo& a, const TZipHeaderInfo& b) {
  switch (mode) {
    case TZipSortMode::ByName:
      return CompareJoined(a.Directory(), a.FileName(), b.Directory(), b.FileName());
    case TZipSortMode::ByFileName:
      return CompareText(a.FileName(), b.FileName());
    case TZipSortMode::ByDirectoryName:
      return CompareText(a.Directory(), b.Directory());
    case TZipSortMode::ByDate:
      return Cmp(DateValue(b.dos_date_time), DateValue(a.dos_date_time));
    case TZipSortMode::ByCompressedSize:
      return Cmp(b.compressed_size, a.compressed_size);
    case TZipSortMode::ByUnCompressedSize:
      return Cmp(b.uncompressed_size, a.uncompressed_size);
    case TZipSortMode::ByRate:
      return Cmp(CompressionRate(b), CompressionRate(a));
    case TZipSortMode::ByNone:
      if (int c = Cmp(a.disk_number_start, b.disk_number_start)) return c;
      return Cmp(a.local_header_offset, b.local_header_offset);
  }
  return 0;
}

TSortedZip::TSortedZip(TZipSortMode mode, bool owns, bool accept_duplicates)
    : mode_(mode), owns_(owns), accept_duplicates_(accept_duplicates) {}

TSortedZip::~TSortedZip() { Clear(); }

size_t TSortedZip::UpperBound(const TZipHeaderInfo& e) const {
  auto it = std::upper_bound(items_.begin(), items_.end(), &e,
                             [this](const TZipHeaderInfo* x, const TZipHeaderInfo* y) {
                               return CompareEntries(mode_, *x, *y) < 0;
                             });
  return static_cast<size_t>(it - items_.begin());
}

int TSortedZip::AddRef(TZipHeaderInfo* entry) {
  size_t at = UpperBound(*entry);
  if (!accept_duplicates_ && at > 0 && CompareEntries(mode_, *items_[at - 1], *entry) == 0) {
    return -1;
  }
  items_.insert(items_.begin() + static_cast<ptrdiff_t>(at), entry);
  return static_cast<int>(at);
}

int TSortedZip::Add(std::unique_ptr<TZipHeaderInfo> entry) {
  assert(owns_);
  int at = AddRef(entry.get());
  if (at >= 0) entry.release();
  return at;
}

void TSortedZip::Append(std::unique_ptr<TZipHeaderInfo> entry) {
  assert(owns_);
  items_.push_back(entry.release());
}

size_t TSortedZip::AddAll(std::vector<std::unique_ptr<TZipHeaderInfo>> entries) {
  assert(owns_);
  std::vector<TZipHeaderInfo*> merged = std::move(items_);
  size_t old_count = merged.size();
  merged.reserve(old_count + entries.size());
  for (auto& e : entries) merged.push_back(e.release());
  auto less = [this](const TZipHeaderInfo* x, const TZipHeaderInfo* y) {
    return CompareEntries(mode_, *x, *y) < 0;
  };
  // The existing part is sorted already; a stable merge keeps it before
  // equal newcomers.
  StableSortEntries(mode_, merged.begin() + static_cast<ptrdiff_t>(old_count), merged.end());
  std::inplace_merge(merged.begin(), merged.begin() + static_cast<ptrdiff_t>(old_count),
                     merged.end(), less);
  size_t refused = 0;
  if (!accept_duplicates_) {
    std::vector<TZipHeaderInfo*> kept;
    kept.reserve(merged.size());
    for (TZipHeaderInfo* e : merged) {
      if (!kept.empty() && CompareEntries(mode_, *kept.back(), *e) == 0) {
        delete e;
        ++refused;
      } else {
        kept.push_back(e);
      }
    }
    merged = std::move(kept);
  }
  items_ = std::move(merged);
  return refused;
}

void TSortedZip::BuildFrom(std::span<TZipHeaderInfo* const> entries) {
  assert(!owns_);
  items_.assign(entries.begin(), entries.end());
  StableSortEntries(mode_, items_.begin(), items_.end());
  if (!accept_duplicates_) {
    auto last = std::unique(items_.begin(), items_.end(),
                            [this](const TZipHeaderInfo* x, const TZipHeaderInfo* y) {
                              return CompareEntries(mode_, *x, *y) == 0;
                            });
    items_.erase(last, items_.end());
  }
}

void TSortedZip::Delete(size_t i) {
  if (owns_) delete items_[i];
  items_.erase(items_.begin() + static_cast<ptrdiff_t>(i));
}

std::unique_ptr<TZipHeaderInfo> TSortedZip::Extract(size_t i) {
  assert(owns_);
  std::unique_ptr<TZipHeaderInfo> e(items_[i]);
  items_.erase(items_.begin() + static_cast<ptrdiff_t>(i));
  return e;
}

void TSortedZip::Clear() {
  if (owns_) {
    for (TZipHeaderInfo* e : items_) delete e;
  }
  items_.clear();
}

}  // namespace zb::zip
