// zipbackup-cli verbs that read archives: list, extract, test.

#include <cstdio>
#include <iostream>
#include <string>

#include "base/date_time.h"
#include "base/errors.h"
#include "cli/verb.h"
#include "zip/zip_reader.h"

namespace zb::cli {
namespace {

using zip::EntryProblem;
using zip::EntryProblemKind;
using zip::TZipReader;

// The DOS fields printed as they are: they already are local time, and a
// round trip through the C library would shift them across DST changes.
std::string FormatDos(uint32_t dos) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u", ((dos >> 25) & 0x7F) + 1980,
                (dos >> 21) & 0x0F, (dos >> 16) & 0x1F, (dos >> 11) & 0x1F, (dos >> 5) & 0x3F,
                (dos & 0x1F) * 2);
  return buf;
}

// A stored name is bytes from someone else's archive: control characters
// (a newline, an escape sequence) are shown escaped, never sent raw to the
// terminal. Other bytes are printed as they are.
std::string EscapedName(std::string_view name) {
  std::string out;
  for (char c : name) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || b == 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02X", b);
      out += buf;
    } else {
      out += c;
    }
  }
  return out;
}

void PrintWarning(const TZipReader& r, const std::string& archive) {
  if (!r.Warning().empty()) std::cerr << "zipbackup-cli: " << archive << ": " << r.Warning() << "\n";
}

int List(Context& ctx) {
  ArgReader args(ctx.args);
  if (args.Done()) throw EInvalidInput("list needs an ARCHIVE");
  std::string archive = args.Next();
  if (args.IsOption(archive)) ThrowUnknownOption("list", archive);
  if (!args.Done()) throw EInvalidInput("list takes one ARCHIVE, not '" + args.Peek() + "'");
  TZipReader r;
  r.SetZipName(archive);
  try {
    r.ReadDirectory();
  } catch (...) {
    RethrowWithArchive(archive);
  }
  PrintWarning(r, archive);
  for (int i = 0; i < r.EntryCount(); ++i) {
    const auto& h = r.Entry(i);
    std::cout << h.uncompressed_size << '\t' << FormatDos(h.dos_date_time) << '\t'
              << EscapedName(h.FullName()) << '\n';
  }
  return kExitOk;
}

zip::TUZOverwriteMode ParseOverwrite(const std::string& v) {
  if (v == "always") return zip::TUZOverwriteMode::Always;
  if (v == "never") return zip::TUZOverwriteMode::Never;
  if (v == "newer") return zip::TUZOverwriteMode::ifNewer;
  if (v == "older") return zip::TUZOverwriteMode::ifOlder;
  throw EInvalidInput("--overwrite takes always, never, newer or older, not '" + v + "'");
}

int Extract(Context& ctx) {
  ArgReader args(ctx.args);
  zip::TUnZipOptions o;
  o.OverwriteMode = zip::TUZOverwriteMode::Never;
  o.RecreateDirs = true;
  std::vector<std::string> positional;
  while (!args.Done()) {
    std::string a = args.Next();
    if (a == "--password") {
      o.Password = args.Value(a);
    } else if (a == "--overwrite") {
      o.OverwriteMode = ParseOverwrite(args.Value(a));
    } else if (a == "--flat") {
      o.RecreateDirs = false;
    } else if (a == "--recover") {
      o.IncompleteZipMode = zip::TIncompleteZipMode::izAssumeBad;
    } else if (args.IsOption(a)) {
      ThrowUnknownOption("extract", a);
    } else {
      positional.push_back(a);
    }
  }
  if (positional.size() < 2) throw EInvalidInput("extract needs an ARCHIVE and a DEST folder");
  std::string archive = positional[0];
  TZipReader r;
  r.SetZipName(archive);
  o.DestDir = positional[1];
  o.FilesList.assign(positional.begin() + 2, positional.end());
  o.DoAll = o.FilesList.empty();
  int failed = 0;
  int kept = 0;
  zip::TUnZipEvents ev;
  ev.OnEntryProblem = [&](const EntryProblem& p) {
    if (p.kind == EntryProblemKind::kExists) {
      ++kept;
      std::cerr << "kept existing " << p.path.string() << "\n";
      return;
    }
    ++failed;
    std::cerr << "failed " << EscapedName(p.entry_name) << ": " << p.reason << "\n";
  };
  ev.OnTotalPercentDone = TerminalProgress(ctx);
  int extracted = 0;
  try {
    extracted = r.UnZip(o, ev);
  } catch (...) {
    RethrowWithArchive(archive);
  }
  PrintWarning(r, archive);
  // Patterns that chose nothing are a typing slip far more often than a
  // wish: "0 extracted" with success would hide it.
  if (!o.FilesList.empty() && extracted + failed + kept == 0) {
    std::string text = archive + ": no entry matches";
    for (const std::string& p : o.FilesList) text += " '" + p + "'";
    throw Error(text);
  }
  if (ctx.stderr_is_terminal) {
    std::cerr << extracted << " extracted, " << failed << " failed\n";
  }
  return failed > 0 ? kExitSomeFailed : kExitOk;
}

int Test(Context& ctx) {
  ArgReader args(ctx.args);
  zip::TUnZipOptions o;
  std::string archive;
  while (!args.Done()) {
    std::string a = args.Next();
    if (a == "--password") {
      o.Password = args.Value(a);
    } else if (a == "--recover") {
      o.IncompleteZipMode = zip::TIncompleteZipMode::izAssumeBad;
    } else if (args.IsOption(a)) {
      ThrowUnknownOption("test", a);
    } else if (archive.empty()) {
      archive = a;
    } else {
      throw EInvalidInput("test takes one ARCHIVE, not '" + a + "'");
    }
  }
  if (archive.empty()) throw EInvalidInput("test needs an ARCHIVE");
  TZipReader r;
  r.SetZipName(archive);
  o.DoAll = true;
  zip::TUnZipEvents ev;
  ev.OnEntryProblem = [](const EntryProblem& p) {
    std::cout << "FAILED\t" << EscapedName(p.entry_name) << "\t" << p.reason << "\n";
  };
  ev.OnTotalPercentDone = TerminalProgress(ctx);
  zip::TestResult result;
  try {
    result = r.Test(o, ev);
  } catch (...) {
    RethrowWithArchive(archive);
  }
  PrintWarning(r, archive);
  std::cout << result.tested << " entries OK, " << result.failed << " failed\n";
  return result.failed > 0 ? kExitSomeFailed : kExitOk;
}

ZB_CLI_VERB(Verb{"list", "list ARCHIVE",
                 "one line per entry: size, TAB, date-time, TAB, stored name", List});
ZB_CLI_VERB(Verb{"extract",
                 "extract ARCHIVE DEST [--password P] [--overwrite always|never|newer|older] "
                 "[--flat] [--recover] [PATTERN...]",
                 "extract all entries, or those matching a PATTERN, into DEST", Extract});
ZB_CLI_VERB(Verb{"test", "test ARCHIVE [--password P] [--recover]",
                 "check every entry's data and CRC without writing anything; --recover scans an "
                 "archive without its end (a cut-off file) for the entries it still holds",
                 Test});

}  // namespace
}  // namespace zb::cli
