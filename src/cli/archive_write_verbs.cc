// zipbackup-cli verbs that write archives: zip (create or update) and remove.

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "base/errors.h"
#include "cli/verb.h"
#include "zip/dir_search.h"
#include "zip/file_list_expander.h"
#include "zip/wildcard.h"
#include "zip/zip_writer.h"

namespace zb::cli {
namespace {

using zip::TZipWriter;

bool IsFolder(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int Zip(Context& ctx) {
  ArgReader args(ctx.args);
  zip::TZipOptions o;
  std::string archive;
  std::vector<std::string> entries;
  while (!args.Done()) {
    const std::string a = args.Next();
    if (a == "--level") {
      const std::string v = args.Value(a);
      if (v.size() != 1 || v[0] < '0' || v[0] > '9') {
        throw EInvalidInput("--level takes a number from 0 to 9, not '" + v + "'");
      }
      o.PackLevel = v[0] - '0';
    } else if (a == "--password") {
      o.Password = args.Value(a);
    } else if (a == "--recurse") {
      o.Recurse = true;
    } else if (a == "--store-paths") {
      o.StorePaths = true;
    } else if (a == "--comment") {
      o.ArchiveComment = args.Value(a);
    } else if (a == "--exclude") {
      o.ExcludeList.push_back(args.Value(a));
    } else if (args.IsOption(a)) {
      ThrowUnknownOption("zip", a);
    } else if (archive.empty()) {
      archive = a;
    } else {
      entries.push_back(a);
    }
  }
  if (archive.empty()) throw EInvalidInput("zip needs an ARCHIVE");
  if (entries.empty()) throw EInvalidInput("zip needs at least one ENTRY");

  // A folder stands for itself and its files (its subfolders under
  // --recurse), typed with or without a trailing "/". With stored paths the
  // folders are stored too, so their modes come back on restore.
  o.AddDirEntriesOnRecurse = o.StorePaths;
  zip::ExpandOptions probe;
  probe.exclude_list = o.ExcludeList;
  probe.recurse = o.Recurse;
  std::vector<std::string> files_list;
  for (std::string a : entries) {
    const std::string typed = a;
    std::string search;  // the pattern whose files the argument stands for
    if (!zip::HasWildcard(a) && IsFolder(a)) {
      while (a.size() > 1 && a.back() == '/') a.pop_back();
      const std::string folder = a == "/" ? a : a + "/";
      if (o.StorePaths) files_list.push_back(folder);
      search = folder + "*";
    } else if (zip::HasWildcard(a)) {
      search = a;
    }
    files_list.push_back(search.empty() ? a : search);
    // An argument that matches nothing is named, and nothing is written:
    // reporting success for work not done would hide a typing slip.
    const bool found = search.empty()
                           ? ::access(a.c_str(), F_OK) == 0
                           : !zip::ExpandFilesList({search}, probe, nullptr, nullptr).empty();
    if (!found && !(o.StorePaths && zip::HasWildcard(search) && !zip::HasWildcard(typed))) {
      throw EInvalidInput("zip: nothing matches '" + typed + "'");
    }
  }
  o.ZipName = archive;
  int left_out = 0;
  zip::TZipEvents ev;
  ev.OnFileProblem = [&](const std::string& path, zip::FileProblem problem,
                         const std::string& detail) {
    ++left_out;
    if (ctx.stderr_is_terminal) std::cerr << "\r";
    std::cerr << "zipbackup-cli: left out " << path << ": " << zip::FileProblemText(problem);
    if (!detail.empty()) std::cerr << " (" << detail << ")";
    std::cerr << "\n";
  };
  ev.OnTotalPercentDone = TerminalProgress(ctx);
  o.FilesList = files_list;
  const bool existed = ::access(archive.c_str(), F_OK) == 0;
  int written = 0;
  try {
    written = TZipWriter().Zip(o, ev);
  } catch (...) {
    RethrowWithArchive(archive);
  }
  if (written == 0 && !existed) {
    // Every file was left out: no empty archive stands for a backup.
    std::remove(archive.c_str());
    throw Error(archive + ": no file could be stored; no archive was written");
  }
  std::cout << written << (written == 1 ? " file" : " files") << " written to " << archive;
  if (left_out > 0) std::cout << ", " << left_out << " left out";
  std::cout << "\n";
  return left_out > 0 ? kExitSomeFailed : kExitOk;
}

int Remove(Context& ctx) {
  ArgReader args(ctx.args);
  if (args.Done()) throw EInvalidInput("remove needs an ARCHIVE");
  const std::string archive = args.Next();
  if (args.IsOption(archive)) ThrowUnknownOption("remove", archive);
  std::vector<std::string> names;
  while (!args.Done()) {
    // Stored names may start with "-"; only "--" makes them unambiguous.
    std::string n = args.Next();
    if (args.IsOption(n)) ThrowUnknownOption("remove", n);
    names.push_back(std::move(n));
  }
  if (names.empty()) throw EInvalidInput("remove needs at least one NAME");

  zip::TZipReader r;
  r.SetZipName(archive);
  // Names are matched exactly (never as patterns); say which are absent.
  std::map<std::string, int> present;
  int removed = 0;
  try {
    r.ReadDirectory();
    for (int i = 0; i < r.EntryCount(); ++i) ++present[r.Entry(i).FullName()];
    int missing = 0;
    std::vector<std::string> found;
    for (const std::string& n : names) {
      auto it = present.find(n);
      if (it == present.end() || it->second == 0) {
        std::cerr << "zipbackup-cli: " << archive << ": no entry named " << n << "\n";
        ++missing;
      } else {
        --it->second;
        found.push_back(n);
      }
    }
    if (!found.empty()) {
      zip::TRemoveOptions o;
      o.ZipName = archive;
      o.ExactNames = std::move(found);
      removed = TZipWriter().RemoveEntries(o, {});
    }
    std::cout << removed << (removed == 1 ? " entry" : " entries") << " removed from " << archive
              << "\n";
    return missing > 0 ? kExitSomeFailed : kExitOk;
  } catch (...) {
    RethrowWithArchive(archive);
  }
}

ZB_CLI_VERB(Verb{"zip",
                 "zip ARCHIVE [--level N] [--password P] [--recurse] [--store-paths] "
                 "[--comment TEXT] [--exclude PATTERN]... ENTRY...",
                 "store files in ARCHIVE (updating it when it exists); an ENTRY is a file, a "
                 "folder, or a folder with a mask such as docs/*.txt",
                 Zip});
ZB_CLI_VERB(Verb{"remove", "remove ARCHIVE NAME...",
                 "remove the entries with exactly these stored names from ARCHIVE", Remove});

}  // namespace
}  // namespace zb::cli
