// zipbackup-cli verbs that write archives: zip (create or update) and remove.

#include <sys/stat.h>

#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "base/errors.h"
#include "cli/verb.h"
#include "zip/dir_search.h"
#include "zip/wildcard.h"
#include "zip/zip_writer.h"

namespace zb::cli {
namespace {

using zip::TZipWriter;

// Archive errors carry fixed texts; say which archive they are about.
[[noreturn]] void RethrowWithArchive(const std::string& archive) {
  try {
    throw;
  } catch (const EZipError& e) {
    throw Error(archive + ": " + e.what());
  }
}

// Progress goes to a terminal only, on one line rewritten in place.
void WireProgress(TZipWriter& w, const Context& ctx) {
  if (!ctx.stderr_is_terminal) return;
  w.OnTotalPercentDone = [last = -1](int p) mutable {
    if (p == last) return;
    last = p;
    std::cerr << "\r" << p << "%" << std::flush;
    if (p >= 100) std::cerr << "\r    \r" << std::flush;
  };
}

bool IsFolder(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int Zip(Context& ctx) {
  ArgReader args(ctx.args);
  TZipWriter w;
  std::string archive;
  std::vector<std::string> entries;
  bool comment_set = false;
  std::string comment;
  while (!args.Done()) {
    const std::string a = args.Next();
    if (a == "--level") {
      const std::string v = args.Value(a);
      if (v.size() != 1 || v[0] < '0' || v[0] > '9') {
        throw EInvalidInput("--level takes a number from 0 to 9, not '" + v + "'");
      }
      w.PackLevel = v[0] - '0';
    } else if (a == "--password") {
      w.Password = args.Value(a);
    } else if (a == "--recurse") {
      w.Recurse = true;
    } else if (a == "--store-paths") {
      w.StorePaths = true;
    } else if (a == "--comment") {
      comment = args.Value(a);
      comment_set = true;
    } else if (a == "--exclude") {
      w.ExcludeList.push_back(args.Value(a));
    } else if (args.IsOption(a)) {
      ThrowUnknownOption("zip", a);
    } else if (archive.empty()) {
      archive = a;
    } else {
      // A bare folder stands for its contents, as a user typing it means.
      if (!zip::HasWildcard(a) && a.back() != '/' && IsFolder(a)) {
        entries.push_back(a + "/*");
      } else {
        entries.push_back(a);
      }
    }
  }
  if (archive.empty()) throw EInvalidInput("zip needs an ARCHIVE");
  if (entries.empty()) throw EInvalidInput("zip needs at least one ENTRY");

  w.SetZipName(archive);
  if (comment_set) w.SetArchiveComment(comment);
  int left_out = 0;
  w.OnFileProblem = [&](const std::string& path, zip::FileProblem problem,
                        const std::string& detail) {
    ++left_out;
    if (ctx.stderr_is_terminal) std::cerr << "\r";
    std::cerr << "zipbackup-cli: left out " << path << ": " << zip::FileProblemText(problem);
    if (!detail.empty()) std::cerr << " (" << detail << ")";
    std::cerr << "\n";
  };
  WireProgress(w, ctx);
  w.FilesList = entries;
  int written = 0;
  try {
    written = w.Zip();
  } catch (...) {
    RethrowWithArchive(archive);
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

  TZipWriter w;
  w.SetZipName(archive);
  // Names are matched exactly (never as patterns); say which are absent.
  std::map<std::string, int> present;
  int removed = 0;
  try {
    w.ReadDirectory();
    for (int i = 0; i < w.EntryCount(); ++i) ++present[w.Entry(i).FullName()];
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
      w.ExactNames = found;
      removed = w.RemoveEntries();
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
