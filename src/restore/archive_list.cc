#include "restore/archive_list.h"

#include <algorithm>
#include <ext/pb_ds/assoc_container.hpp>
#include <ext/pb_ds/tree_policy.hpp>
#include <ext/rope>
#include <limits>
#include <numeric>
#include <optional>
#include <unordered_map>

#include "base/date_time.h"
#include "base/path.h"
#include "base/text.h"
#include "platform/file_system.h"
#include "file_search/file_search.h"
#include "zip/zip_reader.h"

namespace zb::restore {

std::string ArchiveRow::SizeText() const { return IntToStr(static_cast<int64_t>(size / 1024)); }

std::string ArchiveRow::DateText() const {
  auto dt = DosToDateTime(ValidateDos(dos_time));
  return dt ? FormatDateTime(*dt) : std::string();
}

ArchiveListing ListArchives(std::string_view zip_folder, const std::function<void()>& pump) {
  ArchiveListing out;
  std::string folder(Trim(zip_folder));
  if (folder.empty()) {
    out.partial = true;  // a blank folder names nothing; never the working folder
    return out;
  }
  file_search::TFileSearch search;
  search.SetFilename("*.zip");
  search.Subfolders = false;
  search.SetLocationFolder(folder);
  search.Pump = pump;
  search.OnFound = [&out](file_search::TFileSearch&, const std::string&, file_search::TSearchRec& rec) {
    if (rec.Attr & kAttrDirectory) return;
    out.rows.push_back({rec.Name, rec.FullSize, rec.Time});
  };
  search.StartSearch();
  out.partial = search.Aborted() || !search.UnreadableFolders().empty();
  return out;
}

namespace {

// The exchange sort (for q from the last row down to the second, for r from
// the first to q - 1: swap rows r and q when they are out of order) is
// replayed on integer ranks without its quadratic scans. In one pass the
// row at q acts as a cursor: ascending, it trades places with each row
// greater than it (a strict running maximum), which a segment tree finds in
// O(log n). Descending, it also trades with every row EQUAL to it, which
// leaves the ranks as they are and only rotates the identities of those
// equal rows by one place; each rank keeps its positions in an
// order-statistics set and their identities in a rope, so such a rotation
// is one insertion and one erasure.
class ExchangeReplay {
 public:
  explicit ExchangeReplay(const std::vector<int>& rank) : n_(rank.size()) {
    size_ = 1;
    while (size_ < n_) size_ <<= 1;
    lo_.assign(2 * size_, std::numeric_limits<int>::max());
    hi_.assign(2 * size_, std::numeric_limits<int>::min());
    for (size_t i = 0; i < n_; ++i) lo_[size_ + i] = hi_[size_ + i] = rank[i];
    for (size_t i = size_; i-- > 1;) Pull(i);
  }

  // Each returns the row order (identities by final position), or nothing
  // when the rows that move exceed `budget`: on keys that are nearly all
  // distinct a pass can move most rows, and the scanning loop is then faster.
  std::optional<std::vector<size_t>> Ascending(std::vector<int> rank, size_t budget) {
    std::vector<size_t> id(n_);
    std::iota(id.begin(), id.end(), 0);
    for (size_t q = n_; q-- > 1;) {
      int cur = rank[q];
      size_t cur_id = id[q];
      Set(q, std::numeric_limits<int>::max(), std::numeric_limits<int>::min());
      size_t pos = 0;
      for (;;) {
        size_t s = FirstGreater(pos, q, cur);
        if (s >= q) break;
        if (budget-- == 0) return std::nullopt;
        std::swap(rank[s], cur);
        std::swap(id[s], cur_id);
        Set(s, rank[s], rank[s]);
        pos = s + 1;
      }
      rank[q] = cur;
      id[q] = cur_id;
    }
    return id;
  }

  std::optional<std::vector<size_t>> Descending(std::vector<int> rank, size_t budget) {
    // Per rank: its positions (ordered) and, aligned with them, identities.
    std::unordered_map<int, Group> groups;
    for (size_t i = 0; i < n_; ++i) {
      Group& g = groups[rank[i]];
      g.pos.insert(i);
      g.ids.push_back(i);
    }
    std::vector<size_t> out(n_);
    for (size_t q = n_; q-- > 1;) {
      int cur = rank[q];
      size_t cur_id = Take(groups[cur], q);
      Set(q, std::numeric_limits<int>::max(), std::numeric_limits<int>::min());
      size_t pos = 0;
      for (;;) {
        size_t s = FirstLess(pos, q, cur);
        size_t end = std::min(s, q);
        // Rows equal to the cursor in [pos, end): identities rotate by one.
        Group& g = groups[cur];
        size_t i = g.pos.order_of_key(pos), j = g.pos.order_of_key(end);
        if (j > i) {
          g.ids.insert(i, cur_id);
          cur_id = g.ids[j];
          g.ids.erase(j, 1);
        }
        if (s >= q) break;
        if (budget-- == 0) return std::nullopt;
        int w = rank[s];
        size_t w_id = Take(groups[w], s);
        rank[s] = cur;
        Group& gv = groups[cur];
        gv.pos.insert(s);
        gv.ids.insert(gv.pos.order_of_key(s), cur_id);
        Set(s, cur, cur);
        cur = w;
        cur_id = w_id;
        pos = s + 1;
      }
      rank[q] = cur;
      out[q] = cur_id;
    }
    if (n_ > 0) out[0] = groups[rank[0]].ids[0];
    return out;
  }

 private:
  using PositionSet =
      __gnu_pbds::tree<size_t, __gnu_pbds::null_type, std::less<size_t>, __gnu_pbds::rb_tree_tag,
                       __gnu_pbds::tree_order_statistics_node_update>;
  struct Group {
    PositionSet pos;
    __gnu_cxx::rope<size_t> ids;
  };

  // Removes position p from its group and returns the identity it held.
  static size_t Take(Group& g, size_t p) {
    size_t k = g.pos.order_of_key(p);
    size_t id = g.ids[k];
    g.ids.erase(k, 1);
    g.pos.erase(p);
    return id;
  }
  void Pull(size_t i) {
    lo_[i] = std::min(lo_[2 * i], lo_[2 * i + 1]);
    hi_[i] = std::max(hi_[2 * i], hi_[2 * i + 1]);
  }
  void Set(size_t p, int lo, int hi) {
    size_t i = size_ + p;
    lo_[i] = lo;
    hi_[i] = hi;
    for (i >>= 1; i >= 1; i >>= 1) Pull(i);
  }
  // First index in [from, to) whose rank is > v (or < v); `to` when none.
  size_t FirstGreater(size_t from, size_t to, int v) const {
    return Find(1, 0, size_, from, to, [&](size_t i) { return hi_[i] > v; });
  }
  size_t FirstLess(size_t from, size_t to, int v) const {
    return Find(1, 0, size_, from, to, [&](size_t i) { return lo_[i] < v; });
  }
  template <typename Pred>
  size_t Find(size_t node, size_t l, size_t r, size_t from, size_t to, const Pred& has) const {
    if (r <= from || l >= to || !has(node)) return to;
    if (r - l == 1) return l;
    size_t m = (l + r) / 2;
    size_t left = Find(2 * node, l, m, from, to, has);
    if (left < to) return left;
    return Find(2 * node + 1, m, r, from, to, has);
  }

  size_t n_;
  size_t size_ = 1;
  std::vector<int> lo_, hi_;
};

// The exchange passes as written, with one shortcut: within a pass the
// cursor (row q) changes only where a row trades places with it, and the
// rows between are left as they are. So each pass scans the ranks a block
// at a time with a branch-free test the compiler turns into vector
// compares, and steps row by row only through a block that holds a trade.
// The order of rows, equal ones included, is exactly that of the plain
// loop; the quadratic count of comparisons stays, but at several per cycle.
std::vector<size_t> ScanExchange(const std::vector<int>& ranks, bool descending) {
  constexpr size_t kBlock = 16;  // one or two vector registers of ranks
  const size_t n = ranks.size();
  std::vector<int32_t> rank(ranks.begin(), ranks.end());
  std::vector<size_t> id(n);
  std::iota(id.begin(), id.end(), 0);
  // Ascending a row trades with the cursor when it ranks higher;
  // descending when it ranks lower or equal.
  auto trades = [descending](int32_t row, int32_t cursor) {
    return descending ? row <= cursor : row > cursor;
  };
  for (size_t q = n; q-- > 1;) {
    int32_t cur = rank[q];
    size_t cur_id = id[q];
    size_t r = 0;
    while (r < q) {
      while (r + kBlock <= q) {
        const int32_t* block = rank.data() + r;
        int any = 0;
        if (descending) {
          for (size_t k = 0; k < kBlock; ++k) any |= block[k] <= cur;
        } else {
          for (size_t k = 0; k < kBlock; ++k) any |= block[k] > cur;
        }
        if (any) break;
        r += kBlock;
      }
      for (const size_t end = std::min(q, r + kBlock); r < end; ++r) {
        if (trades(rank[r], cur)) {
          std::swap(rank[r], cur);
          std::swap(id[r], cur_id);
        }
      }
    }
    rank[q] = cur;
    id[q] = cur_id;
  }
  return id;
}

}  // namespace

void SortArchiveList(std::vector<ArchiveRow>& rows, SortField field, bool descending) {
  const size_t n = rows.size();
  if (n < 2 || rows[0].name.empty()) return;
  // Keys computed once per row.
  std::vector<std::string> text_keys;
  std::vector<uint32_t> date_keys;
  if (field == SortField::kDate) {
    date_keys.reserve(n);
    for (const auto& r : rows) date_keys.push_back(ValidateDos(r.dos_time));
  } else {
    text_keys.reserve(n);
    for (const auto& r : rows)
      text_keys.push_back(field == SortField::kName ? r.name : r.SizeText());
  }
  auto less = [&](size_t a, size_t b) {
    return field == SortField::kDate ? date_keys[a] < date_keys[b] : text_keys[a] < text_keys[b];
  };
  std::vector<size_t> order(n);
  std::iota(order.begin(), order.end(), 0);
  std::sort(order.begin(), order.end(), less);
  std::vector<int> rank(n);
  bool repeats = false;
  int next = 0;
  for (size_t i = 0; i < n; ++i) {
    if (i > 0 && less(order[i - 1], order[i]))
      ++next;
    else if (i > 0)
      repeats = true;
    rank[order[i]] = next;
  }
  std::vector<size_t> perm;
  if (!repeats) {
    perm = order;
    if (descending) std::reverse(perm.begin(), perm.end());
  } else {
    // The replay's cost grows with the rows that move; past a budget of a
    // few moves per row the scanning loop is the cheaper one.
    const size_t budget = 8 * n;
    std::optional<std::vector<size_t>> fast;
    {
      ExchangeReplay replay(rank);
      fast = descending ? replay.Descending(rank, budget) : replay.Ascending(rank, budget);
    }
    perm = fast ? std::move(*fast) : ScanExchange(rank, descending);
  }
  std::vector<ArchiveRow> sorted;
  sorted.reserve(n);
  for (size_t i : perm) sorted.push_back(std::move(rows[i]));
  rows = std::move(sorted);
}

std::string TotalLabel(size_t count) {
  return "(Total " + IntToStr(static_cast<int64_t>(count)) + " files)";
}

std::string ArchivePath(std::string_view zip_folder, std::string_view name) {
  return IncludeTrailingSeparator(Trim(zip_folder)) + std::string(name);
}

std::vector<EntryRow> ArchiveContents(zip::TZipReader& reader, const std::string& archive_path,
                                      const IncompleteHandler& on_incomplete) {
  reader.SetSortMode(zip::TZipSortMode::ByName);
  reader.SetZipName(archive_path);
  zip::TReadEvents events;
  events.OnInCompleteZip = on_incomplete;
  reader.ReadDirectory({}, events);
  std::vector<EntryRow> rows;
  const int count = reader.EntryCount();
  rows.reserve(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    const auto& h = reader.Entry(i);
    EntryRow row;
    row.index = i;
    row.full_name = h.FullName();
    row.file_name = h.FileName();
    row.size_text =
        IntToStr(static_cast<int64_t>(std::max<uint64_t>(1, h.uncompressed_size / 1024)));
    row.path = h.Directory();
    // A stamp that names no real day even after repair (31 February) shows
    // the moment of listing, as the reader's own date accessor does.
    auto dt = DosToDateTime(ValidateDos(h.dos_date_time));
    row.date_text = FormatDateTime(dt ? *dt : Now());
    rows.push_back(std::move(row));
  }
  return rows;
}

}  // namespace zb::restore
