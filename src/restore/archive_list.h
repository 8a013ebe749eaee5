#pragma once

// The data side of the archive folder view: the archives of one folder with
// their sort, and the entries of one archive, as rows ready for the grids.
// No widget logic: the page fills its grids from these rows in one go.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace zb::zip {
class TZipReader;
enum class TIncompleteZipMode;
}  // namespace zb::zip

namespace zb::restore {

// One archive of the zip folder, in the order the search found it.
struct ArchiveRow {
  std::string name;       // file name without folder
  uint64_t size = 0;      // bytes
  uint32_t dos_time = 0;  // last-write time, packed DOS date-time
  // "Size(KB)": size div 1024, so files under 1 KB show 0.
  [[nodiscard]] std::string SizeText() const;
  // "Date": the process-wide date-time text (time left out at midnight).
  [[nodiscard]] std::string DateText() const;
};

struct ArchiveListing {
  std::vector<ArchiveRow> rows;
  // The folder could not be read completely (or not at all): the list may
  // be partial, and nothing should be done on the grounds that an archive
  // is missing from it.
  bool partial = false;
};

// Lists the "*.zip" files directly in `zip_folder` (trimmed, taken as one
// folder whatever characters its name holds). A missing folder gives an
// empty, partial listing. Calls `pump` every few hundred entries.
[[nodiscard]] ArchiveListing ListArchives(std::string_view zip_folder,
                                          const std::function<void()>& pump = {});

enum class SortField { kName = 0, kSize = 1, kDate = 2 };

// Sorts the rows as the archive list's exchange sort orders them: names and
// size texts compared as byte strings (so "10" < "9"), dates as moments.
// Each key is computed once and the rows are ranked by one O(n log n) sort;
// when keys repeat, the exchange passes are replayed on the integer ranks
// (each pass visiting only the rows that move) so equal keys end in exactly
// the exchange sort's order.
void SortArchiveList(std::vector<ArchiveRow>& rows, SortField field, bool descending);

// "(Total " + count + " files)".
[[nodiscard]] std::string TotalLabel(size_t count);

// The archive path: the trimmed folder, a separator unless it ends with one,
// and the name.
[[nodiscard]] std::string ArchivePath(std::string_view zip_folder, std::string_view name);

// One entry of an archive, for the entry grid.
struct EntryRow {
  int index = -1;         // in the reader's ByName order: identifies the entry
  std::string full_name;  // stored folder + name ("/" separators), identity check
  std::string file_name;  // "Filename"
  std::string size_text;  // "Size(KB)": size div 1024, at least 1
  std::string path;       // "Path": stored folder with its trailing "/", blank for none
  std::string date_text;  // "Date"
};

// What to assume about an archive without an end record (the reader's
// OnInCompleteZip: the incomplete-archive dialog's answer).
using IncompleteHandler = std::function<void(zip::TIncompleteZipMode& mode)>;

// Reads the directory of `archive_path` with `reader` (sort mode ByName) and
// returns its rows. Throws the reader's errors (EZipError family, EOSError).
[[nodiscard]] std::vector<EntryRow> ArchiveContents(zip::TZipReader& reader,
                                                    const std::string& archive_path,
                                                    const IncompleteHandler& on_incomplete = {});

}  // namespace zb::restore
