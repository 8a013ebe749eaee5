// One whole backup run as the scheduler starts it: the file list expanded,
// the archive written at level 6 to a temporary name, read back and every
// entry checked, renamed, entered in the retention ring (keep 2, so older
// archives of the bench are deleted as it goes) and logged.
//
// The source tree is ZB_BENCH_TREE (default /usr/share/doc); the data
// folder and the archives live in a scratch folder under /tmp that is
// removed at exit. The input rate is the sum of the stored files' sizes
// over the time of a run.
//
//   build-bench/bench/backup_run_bench --benchmark_repetitions=3
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

#include "app/activity_log.h"
#include "app/app_settings.h"
#include "app/user_interaction.h"
#include "backup/backup_project.h"
#include "backup/backup_run.h"
#include "zip/zip_reader.h"

namespace {

namespace fs = std::filesystem;

// A scheduled run asks nothing; whatever it would show is dropped here (the
// bench reads the result instead).
class SilentInteraction final : public zb::UserInteraction {
 public:
  bool AskYesNo(std::string_view, zb::MessageKind) override { return false; }
  void ShowError(std::string_view) override {}
  void ShowWarning(std::string_view) override {}
  void ShowInformation(std::string_view) override {}
  void ShowTimedMessage(std::string_view, zb::MessageKind, int) override {}
  void ShowCommandError(std::string_view) override {}
};

class ScratchFolder {
 public:
  ScratchFolder() {
    char tmpl[] = "/tmp/zb_backup_run_bench.XXXXXX";
    if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("cannot make a scratch folder");
    root_ = tmpl;
    fs::create_directories(root_ / "data");
    fs::create_directories(root_ / "out");
  }
  ~ScratchFolder() {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  [[nodiscard]] fs::path Data() const { return root_ / "data"; }
  [[nodiscard]] fs::path Out() const { return root_ / "out"; }

 private:
  fs::path root_;
};

std::string SourceTree() {
  const char* v = std::getenv("ZB_BENCH_TREE");
  std::string tree = (v != nullptr && *v != '\0') ? v : "/usr/share/doc";
  while (tree.size() > 1 && tree.back() == '/') tree.pop_back();
  return tree;
}

// The stored bytes and entries of an archive, from its directory.
struct ArchiveTotals {
  uint64_t input_bytes = 0;
  int entries = 0;
};
ArchiveTotals Totals(const std::string& archive) {
  zb::zip::TZipReader reader;
  reader.SetZipName(archive);
  reader.ReadDirectory();
  ArchiveTotals t;
  t.entries = reader.EntryCount();
  for (int i = 0; i < t.entries; ++i) t.input_bytes += reader.EntrySize(i);
  return t;
}

// Arg: the pack level.
void BM_BackupRun(benchmark::State& state) {
  const std::string tree = SourceTree();
  if (!fs::is_directory(tree)) {
    state.SkipWithError(("no folder " + tree).c_str());
    return;
  }
  ScratchFolder scratch;
  zb::backup::BackupProject project = zb::backup::BackupProject::Defaults();
  project.FilenamePrefix = "bench";
  project.Suffix = zb::backup::kSuffixNumber;
  project.Value = 0;
  project.SavePath = scratch.Out().string() + "/";
  project.Include = {tree + "/*.*"};
  project.IncludeSubfolders = true;
  project.UsePassword = false;
  project.StoreComment = false;
  project.StorePath = true;
  project.PackLevel = static_cast<int>(state.range(0));
  project.StoreNumber = 2;

  SilentInteraction ui;
  zb::app::ActivityLog log(scratch.Data() / "log.txt");
  log.Load();

  zb::backup::BackupRunResult last;
  for (auto _ : state) {
    zb::backup::BackupRunRequest request;
    request.data_dir = scratch.Data();
    request.project_name = "Bench";
    request.project = project;
    request.scheduled = true;
    zb::backup::BackupRunHooks hooks;
    hooks.ui = &ui;
    hooks.log = &log;
    last = zb::backup::RunBackup(request, hooks);
    if (last.status != zb::backup::RunStatus::kSucceeded) {
      state.SkipWithError(("the run did not succeed: " + last.message).c_str());
      return;
    }
    project = last.project;  // the next run takes the next number
  }

  const ArchiveTotals totals = Totals(last.archive_path);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * totals.input_bytes));
  state.counters["files"] = last.file_count;
  state.counters["left_out"] = static_cast<double>(last.left_out.size());
  state.counters["input_MB"] = static_cast<double>(totals.input_bytes) / 1e6;
  state.counters["archive_MB"] = static_cast<double>(last.archive_size) / 1e6;
  state.SetLabel(tree);
}

// A run takes seconds: a few iterations are enough. The CPU time is the
// process's (the run may use helper threads), and the input rate is taken
// over it, which a shared machine disturbs least; the wall time is in the
// Time column.
BENCHMARK(BM_BackupRun)
    ->Arg(6)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime();

}  // namespace

BENCHMARK_MAIN();
