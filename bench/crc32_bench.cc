// CRC-32 throughput: our dispatched path, each of our paths, and zlib's crc32
// on the same corpus in the same run. Run bench/make_corpus.sh first.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdio>
#include <map>
#include <string>

#include "bench_corpus.h"
#include "ratio_reporter.h"
#include "zip/crc32.h"
#include "zip/crc32_paths.h"

namespace {

using zb::bench::LoadCorpus;

// The text corpus, cut to 64 MiB so a run stays short on a shared machine.
const std::vector<std::byte>& Data() { return LoadCorpus("text.tar", size_t{64} << 20); }

template <typename F>
void Run(benchmark::State& state, F crc) {
  const auto& data = Data();
  if (data.empty()) {
    state.SkipWithError("corpus missing");
    return;
  }
  // The buffer is cut into pieces of the benchmark's argument, as a caller
  // hashing a file block by block does.
  const size_t piece = static_cast<size_t>(state.range(0));
  for (auto _ : state) {
    uint32_t c = 0;
    for (size_t pos = 0; pos < data.size(); pos += piece) {
      c = crc(c, data.data() + pos, std::min(piece, data.size() - pos));
    }
    benchmark::DoNotOptimize(c);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}

void BM_Ours(benchmark::State& state) {
  state.SetLabel(zb::zip::Crc32Implementation());
  Run(state, [](uint32_t c, const void* p, size_t n) { return zb::zip::Crc32(c, p, n); });
}
void BM_OursPortable(benchmark::State& state) {
  Run(state, [](uint32_t c, const void* p, size_t n) { return zb::zip::Crc32Portable(c, p, n); });
}
void BM_OursPclmul(benchmark::State& state) {
  if (!zb::zip::Crc32PathSupported(zb::zip::Crc32Path::kPclmul)) {
    state.SkipWithError("not supported");
    return;
  }
  Run(state, [](uint32_t c, const void* p, size_t n) {
    return zb::zip::Crc32With(zb::zip::Crc32Path::kPclmul, c, p, n);
  });
}
void BM_OursVpclmul256(benchmark::State& state) {
  if (!zb::zip::Crc32PathSupported(zb::zip::Crc32Path::kVpclmul256)) {
    state.SkipWithError("not supported");
    return;
  }
  Run(state, [](uint32_t c, const void* p, size_t n) {
    return zb::zip::Crc32With(zb::zip::Crc32Path::kVpclmul256, c, p, n);
  });
}
void BM_Zlib(benchmark::State& state) {
  Run(state, [](uint32_t c, const void* p, size_t n) {
    return static_cast<uint32_t>(crc32(c, static_cast<const Bytef*>(p), static_cast<uInt>(n)));
  });
}

// 32 KiB is the engine's read block; 1 MiB shows the asymptotic speed.
BENCHMARK(BM_Ours)->Arg(32768)->Arg(1 << 20);
BENCHMARK(BM_OursVpclmul256)->Arg(1 << 20);
BENCHMARK(BM_OursPclmul)->Arg(1 << 20);
BENCHMARK(BM_OursPortable)->Arg(32768)->Arg(1 << 20);
BENCHMARK(BM_Zlib)->Arg(32768)->Arg(1 << 20);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  zb::bench::RatioReporter reporter("BM_Ours", "BM_Zlib", 3);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
