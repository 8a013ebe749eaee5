// The Restore page's heavy paths: walking a large folder tree with
// TFileSearch, sorting a long archive list, and listing a large archive.
//
// The tree (ZB_BENCH_FOLDERS x ZB_BENCH_FILES_PER_FOLDER empty files, by
// default 200 x 500 = 100,000) is made once per process under /tmp and
// removed at exit; the 100,000-entry archive is written from it with our
// own writer (level 0) the first time a listing benchmark runs.
//
//   build-bench/bench/restore_bench --benchmark_repetitions=3 \
//       --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "restore/archive_list.h"
#include "file_search/file_search.h"
#include "zip/zip_reader.h"
#include "zip/zip_writer.h"

namespace {

namespace fs = std::filesystem;
using zb::file_search::TFileSearch;
using zb::file_search::TSearchRec;

int EnvInt(const char* name, int fallback) {
  const char* v = std::getenv(name);
  if (v == nullptr || *v == '\0') return fallback;
  return std::max(1, std::atoi(v));
}

// The scratch tree and the archive made from it; removed when the process
// ends normally (a killed run leaves /tmp/zb_restore_bench.* behind).
class Scratch {
 public:
  static Scratch& Get() {
    static Scratch s;
    return s;
  }

  const std::string& TreeRoot() {
    if (tree_.empty()) MakeTree();
    return tree_;
  }
  size_t TreeFiles() {
    TreeRoot();
    return files_;
  }

  const std::string& Archive() {
    if (archive_.empty()) MakeArchive();
    return archive_;
  }

  ~Scratch() {
    if (!root_.empty()) {
      std::error_code ec;
      fs::remove_all(root_, ec);
    }
  }

 private:
  Scratch() {
    char tmpl[] = "/tmp/zb_restore_bench.XXXXXX";
    if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("cannot make a scratch folder");
    root_ = tmpl;
  }

  void MakeTree() {
    const int folders = EnvInt("ZB_BENCH_FOLDERS", 200);
    const int per_folder = EnvInt("ZB_BENCH_FILES_PER_FOLDER", 500);
    const fs::path tree = root_ / "tree";
    for (int d = 0; d < folders; ++d) {
      char dname[32];
      std::snprintf(dname, sizeof dname, "folder%03d", d);
      const fs::path dir = tree / dname;
      fs::create_directories(dir);
      for (int f = 0; f < per_folder; ++f) {
        char fname[32];
        std::snprintf(fname, sizeof fname, "file%04d.txt", f);
        std::ofstream out(dir / fname);
        if (!out) throw std::runtime_error("cannot create " + (dir / fname).string());
      }
    }
    tree_ = tree.string();
    files_ = static_cast<size_t>(folders) * static_cast<size_t>(per_folder);
    std::fprintf(stderr, "scratch tree: %zu files in %d folders under %s\n", files_, folders,
                 tree_.c_str());
  }

  void MakeArchive() {
    const std::string tree = TreeRoot();
    const std::string path = (root_ / "big.zip").string();
    zb::zip::TZipOptions options;
    options.ZipName = path;
    options.PackLevel = 0;
    options.Recurse = true;
    options.StorePaths = true;
    options.FilesList = {tree + "/*.*"};
    const int written = zb::zip::TZipWriter().Zip(options, {});
    archive_ = path;
    entries_ = written;
    std::fprintf(stderr, "scratch archive: %d entries, %ju bytes\n", written,
                 static_cast<uintmax_t>(fs::file_size(path)));
  }

  fs::path root_;
  std::string tree_;
  size_t files_ = 0;
  std::string archive_;
  int entries_ = 0;
};

// ---- TFileSearch -------------------------------------------------------------

// Mask "*.*" with subfolders: every file of the tree is reported.
void PrepareSearch(TFileSearch& s, const std::string& root, uint64_t& hits) {
  s.SetLocationFolder(root);
  s.SetFilename("*.*");
  s.Subfolders = true;
  s.OnFound = [&hits](TFileSearch&, const std::string&, TSearchRec&) { ++hits; };
}

void Finish(benchmark::State& state, uint64_t hits, size_t expected) {
  if (hits != expected * static_cast<uint64_t>(state.iterations())) {
    state.SkipWithError("the walk did not report every file");
    return;
  }
  state.SetItemsProcessed(static_cast<int64_t>(hits));
  state.counters["files"] = static_cast<double>(expected);
}

void BM_FileSearchSync(benchmark::State& state) {
  const std::string& root = Scratch::Get().TreeRoot();
  const size_t expected = Scratch::Get().TreeFiles();
  uint64_t hits = 0;
  for (auto _ : state) {
    TFileSearch s;
    PrepareSearch(s, root, hits);
    s.StartSearch();
    if (s.Aborted()) state.SkipWithError(s.AbortReason().c_str());
  }
  Finish(state, hits, expected);
}

// Threaded, events run on the worker; the caller waits with WaitFor.
void BM_FileSearchThreaded(benchmark::State& state) {
  const std::string& root = Scratch::Get().TreeRoot();
  const size_t expected = Scratch::Get().TreeFiles();
  uint64_t hits = 0;
  for (auto _ : state) {
    TFileSearch s;
    PrepareSearch(s, root, hits);
    s.Threaded = true;
    s.StartSearch();
    s.WaitFor();
    if (s.Aborted()) state.SkipWithError(s.AbortReason().c_str());
  }
  Finish(state, hits, expected);
}

// Threaded with every event handed to the owner thread, as the desktop page
// runs it: each hit is a hand-off between the two threads. WaitFor runs the
// hand-offs; the posted copies a GUI's event loop would run afterwards find
// nothing left to do and are run at the end of each walk.
void BM_FileSearchThreadedPosted(benchmark::State& state) {
  const std::string& root = Scratch::Get().TreeRoot();
  const size_t expected = Scratch::Get().TreeFiles();
  uint64_t hits = 0;
  std::mutex mu;
  std::vector<std::function<void()>> queue;
  for (auto _ : state) {
    {
      TFileSearch s;
      PrepareSearch(s, root, hits);
      s.Threaded = true;
      s.PostEvent = [&](std::function<void()> event) {
        std::lock_guard lk(mu);
        queue.push_back(std::move(event));
      };
      s.StartSearch();
      s.WaitFor();
      if (s.Aborted()) state.SkipWithError(s.AbortReason().c_str());
    }
    std::vector<std::function<void()>> posted;
    {
      std::lock_guard lk(mu);
      posted.swap(queue);
    }
    for (auto& e : posted) e();
  }
  Finish(state, hits, expected);
}

// Process CPU time: the worker's time counts as well as the caller's.
BENCHMARK(BM_FileSearchSync)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_FileSearchThreaded)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_FileSearchThreadedPosted)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

// ---- SortArchiveList ---------------------------------------------------------

enum KeyMix { kDistinct = 0, kRepeated = 1, kAllEqual = 2, kSomeRepeats = 3 };

uint32_t PackDos(int year, int month, int day, int hour, int minute, int second) {
  const uint32_t date = static_cast<uint32_t>(((year - 1980) << 9) | (month << 5) | day);
  const uint32_t time = static_cast<uint32_t>((hour << 11) | (minute << 5) | (second / 2));
  return (date << 16) | time;
}

// A shuffled folder of `n` archives. Distinct: every name, size text and
// date differs. Repeated: 16 size texts and 16 dates shared by all rows.
// Some repeats: 1,000 of each (ZB_BENCH_SORT_KEYS), about 50 rows apiece
// (archives of similar size, sizes shown in KB). All equal: every archive under 1 KB (size text
// "0") and stamped the same second.
std::vector<zb::restore::ArchiveRow> MakeRows(size_t n, KeyMix mix) {
  std::vector<zb::restore::ArchiveRow> rows(n);
  for (size_t i = 0; i < n; ++i) {
    auto& r = rows[i];
    char name[32];
    std::snprintf(name, sizeof name, "backup%06zu.zip", i);
    r.name = name;
    switch (mix) {
      case kDistinct: {
        r.size = static_cast<uint64_t>(i) * 1024 + 17;
        const size_t day = i / 720, slot = i % 720;  // 720 two-minute slots a day
        r.dos_time = PackDos(1990 + static_cast<int>(day / 336),
                             1 + static_cast<int>(day / 28 % 12), 1 + static_cast<int>(day % 28),
                             static_cast<int>(slot / 30), static_cast<int>(slot % 30) * 2, 0);
        break;
      }
      case kRepeated:
        r.size = static_cast<uint64_t>(i % 16) * 1024 * 1024 + 100;
        r.dos_time = PackDos(2026, 12, 1 + static_cast<int>(i % 16), 22, 0, 0);
        break;
      case kSomeRepeats: {
        static const int keys = EnvInt("ZB_BENCH_SORT_KEYS", 1000);
        const int d = static_cast<int>(i % static_cast<size_t>(keys));
        r.size = static_cast<uint64_t>(d) * 1024 + 100;
        r.dos_time = PackDos(2020 + d / 336, 1 + d / 28 % 12, 1 + d % 28, 3, 0, 0);
        break;
      }
      case kAllEqual:
        r.size = 900;
        r.dos_time = PackDos(2026, 12, 9, 22, 30, 10);
        break;
    }
  }
  std::mt19937_64 rng(20261209);
  std::shuffle(rows.begin(), rows.end(), rng);
  return rows;
}

// Args: field (0 name, 1 size, 2 date), descending (0/1), key mix.
void BM_SortArchiveList(benchmark::State& state) {
  const auto field = static_cast<zb::restore::SortField>(state.range(0));
  const bool descending = state.range(1) != 0;
  const auto mix = static_cast<KeyMix>(state.range(2));
  const size_t n = static_cast<size_t>(EnvInt("ZB_BENCH_ARCHIVES", 50000));
  const std::vector<zb::restore::ArchiveRow> input = MakeRows(n, mix);
  static const char* const kFields[] = {"name", "size", "date"};
  const std::string mixes[] = {"distinct", "repeated 16", "all-equal",
                               "repeated " + std::to_string(EnvInt("ZB_BENCH_SORT_KEYS", 1000))};
  state.SetLabel(std::string(kFields[state.range(0)]) + (descending ? " desc " : " asc ") +
                 mixes[mix]);
  for (auto _ : state) {
    state.PauseTiming();
    std::vector<zb::restore::ArchiveRow> rows = input;
    state.ResumeTiming();
    zb::restore::SortArchiveList(rows, field, descending);
    benchmark::DoNotOptimize(rows.data());
    benchmark::ClobberMemory();
    state.PauseTiming();
    rows.clear();  // the freeing is not part of the sort
    state.ResumeTiming();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n));
}

// Names are unique in a folder, so they are sorted with distinct keys only.
BENCHMARK(BM_SortArchiveList)
    ->ArgsProduct({{0}, {0, 1}, {kDistinct}})
    ->ArgsProduct({{1, 2}, {0, 1}, {kDistinct, kRepeated, kSomeRepeats, kAllEqual}})
    ->Unit(benchmark::kMillisecond);

// ---- Listing a large archive -------------------------------------------------

// The reader's directory alone, in the archive's own order (arg 0) and
// sorted by name as the page asks (arg 1).
void BM_ReadDirectory(benchmark::State& state) {
  const std::string& archive = Scratch::Get().Archive();
  const auto mode =
      state.range(0) == 0 ? zb::zip::TZipSortMode::ByNone : zb::zip::TZipSortMode::ByName;
  state.SetLabel(state.range(0) == 0 ? "unsorted" : "by name");
  int count = 0;
  for (auto _ : state) {
    zb::zip::TZipReader reader;
    reader.SetSortMode(mode);
    reader.SetZipName(archive);
    reader.ReadDirectory();
    count = reader.EntryCount();
    benchmark::DoNotOptimize(count);
  }
  state.counters["entries"] = count;
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * count);
}

// The directory plus the rows the entry grid shows (names, size and date
// texts).
void BM_ArchiveContents(benchmark::State& state) {
  const std::string& archive = Scratch::Get().Archive();
  size_t count = 0;
  for (auto _ : state) {
    zb::zip::TZipReader reader;
    const std::vector<zb::restore::EntryRow> rows = zb::restore::ArchiveContents(reader, archive);
    count = rows.size();
    benchmark::DoNotOptimize(rows.data());
  }
  state.counters["entries"] = static_cast<double>(count);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * count));
}

BENCHMARK(BM_ReadDirectory)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ArchiveContents)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
