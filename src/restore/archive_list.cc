#include "restore/archive_list.h"

#include <algorithm>
#include <numeric>

#include "base/date_time.h"
#include "base/path.h"
#include "base/text.h"
#include "platform/file_system.h"
#include "sync/file_search.h"
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
  sync::TFileSearch search;
  search.SetFilename("*.zip");
  search.Subfolders = false;
  search.SetLocationFolder(folder);
  search.Pump = pump;
  search.OnFound = [&out](sync::TFileSearch&, const std::string&, sync::TSearchRec& rec) {
    if (rec.Attr & kAttrDirectory) return;
    out.rows.push_back({rec.Name, rec.FullSize, rec.Time});
  };
  search.StartSearch();
  out.partial = search.Aborted() || !search.UnreadableFolders().empty();
  return out;
}

namespace {

// Replays the exchange sort (for q from the last row down to the second,
// for r from the first to q - 1: swap when the pair is out of order) on
// integer ranks. Quadratic, but on plain integers: 50,000 rows take about a
// second only when keys repeat; distinct keys never come here.
void ExchangeOnRanks(std::vector<int>& rank, std::vector<size_t>& perm, bool descending) {
  const size_t n = rank.size();
  for (size_t q = n; q-- > 1;) {
    int cur = rank[q];
    size_t cur_row = perm[q];
    for (size_t r = 0; r < q; ++r) {
      bool swap = descending ? rank[r] <= cur : rank[r] > cur;
      if (swap) {
        std::swap(rank[r], cur);
        std::swap(perm[r], cur_row);
      }
    }
    rank[q] = cur;
    perm[q] = cur_row;
  }
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
    perm.resize(n);
    std::iota(perm.begin(), perm.end(), 0);
    ExchangeOnRanks(rank, perm, descending);
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

std::vector<EntryRow> ArchiveContents(zip::TZipReader& reader, const std::string& archive_path) {
  reader.SetSortMode(zip::TZipSortMode::ByName);
  reader.SetZipName(archive_path);
  reader.ReadDirectory();
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
    auto dt = DosToDateTime(ValidateDos(h.dos_date_time));
    row.date_text = dt ? FormatDateTime(*dt) : std::string();
    rows.push_back(std::move(row));
  }
  return rows;
}

}  // namespace zb::restore
