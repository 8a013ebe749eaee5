// Compression speed and ratio of our Deflate against zlib's, both raw
// streams, every level, on the three corpora of bench/make_corpus.sh.
//
//   bench/make_corpus.sh && build/bench/deflate_bench --benchmark_repetitions=3
//
// Each corpus is cut to ZB_BENCH_MB megabytes (default 32) so a full run
// stays within minutes even at level 9. Counters: bytes_out (compressed
// size) and ratio (compressed / original); MB/s from SetBytesProcessed.

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "bench_corpus.h"
#include "zip/deflate.h"

namespace {

// The two-function adapter: compress `in` at `level`, return the size.
struct Engine {
  const char* name;
  size_t (*compress)(std::span<const std::byte> in, int level, std::vector<unsigned char>& out);
};

size_t OursCompress(std::span<const std::byte> in, int level, std::vector<unsigned char>& out) {
  size_t n = 0;
  zb::zip::Deflater d(level, [&](std::span<const std::byte> piece) {
    if (n + piece.size() > out.size()) out.resize((n + piece.size()) * 2);
    std::memcpy(out.data() + n, piece.data(), piece.size());
    n += piece.size();
  });
  // Feed in 1 MiB pieces, as the archive writer does with file reads.
  constexpr size_t kPiece = 1 << 20;
  for (size_t at = 0; at < in.size(); at += kPiece) {
    d.Write(in.subspan(at, std::min(kPiece, in.size() - at)));
  }
  d.Finish();
  return n;
}

size_t ZlibCompress(std::span<const std::byte> in, int level, std::vector<unsigned char>& out) {
  z_stream z{};
  if (deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return 0;
  out.resize(deflateBound(&z, in.size()));
  z.next_in = reinterpret_cast<Bytef*>(const_cast<std::byte*>(in.data()));
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  const int rc = deflate(&z, Z_FINISH);
  const size_t n = rc == Z_STREAM_END ? z.total_out : 0;
  deflateEnd(&z);
  return n;
}

const Engine kEngines[] = {{"ours", OursCompress}, {"zlib", ZlibCompress}};

size_t CorpusLimit() {
  const char* mb = std::getenv("ZB_BENCH_MB");
  const long v = mb ? std::atol(mb) : 32;
  return static_cast<size_t>(v > 0 ? v : 32) << 20;
}

void BM_Deflate(benchmark::State& state, const Engine* engine, std::string corpus) {
  const auto& data = zb::bench::LoadCorpus(corpus, CorpusLimit());
  if (data.empty()) {
    state.SkipWithError("corpus missing: run bench/make_corpus.sh");
    return;
  }
  const int level = static_cast<int>(state.range(0));
  std::vector<unsigned char> out(data.size() + data.size() / 8 + 1024);
  size_t size = 0;
  for (auto _ : state) {
    size = engine->compress(data, level, out);
    benchmark::DoNotOptimize(out.data());
  }
  if (size == 0) state.SkipWithError("compression failed");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
  state.counters["bytes_out"] = static_cast<double>(size);
  state.counters["ratio"] = static_cast<double>(size) / static_cast<double>(data.size());
}

// Registration order puts ours and zlib side by side per corpus and level.
const bool kRegistered = [] {
  for (const char* corpus : {"text.tar", "binary.tar", "random.bin"}) {
    for (int level = 1; level <= 9; ++level) {
      for (const Engine& e : kEngines) {
        const std::string name = std::string("Deflate/") + corpus + "/" + e.name;
        benchmark::RegisterBenchmark(name.c_str(), BM_Deflate, &e, std::string(corpus))
            ->Arg(level)
            ->Unit(benchmark::kMillisecond)
            // CPU time: the machine running benchmarks is often shared.
            ->MeasureProcessCPUTime();
      }
    }
  }
  return true;
}();

}  // namespace

BENCHMARK_MAIN();
