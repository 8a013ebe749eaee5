// Inflate throughput, ours against zlib on the same streams in the same run.
// Each corpus is compressed once with zlib level 6 (raw Deflate) during set-up;
// only decoding is timed. Bytes/s count the decompressed bytes. Run
// bench/make_corpus.sh first.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdio>
#include <map>
#include <string>

#include "bench_corpus.h"
#include "ratio_reporter.h"
#include "zip/inflate.h"

namespace {

// The corpora are cut to 32 MiB so one iteration stays short on a shared machine.
constexpr size_t kCorpusLimit = size_t{32} << 20;

struct Stream {
  std::vector<std::byte> plain;
  std::vector<std::byte> packed;
};

const Stream& GetStream(const std::string& name) {
  static std::map<std::string, Stream> cache;
  if (auto it = cache.find(name); it != cache.end()) return it->second;
  Stream s;
  s.plain = zb::bench::LoadCorpus(name, kCorpusLimit);
  z_stream z{};
  deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  s.packed.resize(deflateBound(&z, s.plain.size()));
  z.next_in = reinterpret_cast<Bytef*>(s.plain.data());
  z.avail_in = static_cast<uInt>(s.plain.size());
  z.next_out = reinterpret_cast<Bytef*>(s.packed.data());
  z.avail_out = static_cast<uInt>(s.packed.size());
  deflate(&z, Z_FINISH);
  s.packed.resize(z.total_out);
  deflateEnd(&z);
  return cache.emplace(name, std::move(s)).first->second;
}

// The two engines behind one adapter: decode `in` into `out`, return the size.
size_t OursOneShot(const std::vector<std::byte>& in, std::vector<std::byte>& out) {
  size_t used = 0, size = 0;
  if (zb::zip::InflateBuffer(in, out, &used, &size) != zb::zip::InflateResult::kDone) return 0;
  return size;
}

size_t ZlibOneShot(const std::vector<std::byte>& in, std::vector<std::byte>& out) {
  z_stream z{};
  inflateInit2(&z, -15);
  z.next_in = reinterpret_cast<Bytef*>(const_cast<std::byte*>(in.data()));
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  const int rc = inflate(&z, Z_FINISH);
  const size_t n = z.total_out;
  inflateEnd(&z);
  return rc == Z_STREAM_END ? n : 0;
}

// Streaming, as the archive reader uses it: 64 KiB input pieces, output
// through a sink (a checksum-free sum so the bytes are touched once).
size_t OursStreaming(const std::vector<std::byte>& in, std::vector<std::byte>&) {
  size_t total = 0;
  zb::zip::Inflater inf([&total](std::span<const std::byte> s) {
    total += s.size();
    benchmark::DoNotOptimize(s.data());
    return true;
  });
  size_t pos = 0;
  for (;;) {
    const size_t n = std::min<size_t>(65536, in.size() - pos);
    size_t used = 0;
    const auto r = inf.Inflate(std::span(in).subspan(pos, n), pos + n == in.size(), &used);
    pos += used;
    if (r != zb::zip::InflateResult::kNeedInput) break;
  }
  return total;
}

size_t ZlibStreaming(const std::vector<std::byte>& in, std::vector<std::byte>& out) {
  z_stream z{};
  inflateInit2(&z, -15);
  size_t total = 0, pos = 0;
  int rc = Z_OK;
  while (rc == Z_OK) {
    const size_t n = std::min<size_t>(65536, in.size() - pos);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<std::byte*>(in.data() + pos));
    z.avail_in = static_cast<uInt>(n);
    do {
      z.next_out = reinterpret_cast<Bytef*>(out.data());
      z.avail_out = 128 * 1024;
      rc = inflate(&z, Z_NO_FLUSH);
      total += 128 * 1024 - z.avail_out;
      benchmark::DoNotOptimize(out.data());
    } while (rc == Z_OK && z.avail_out == 0);
    pos += n - z.avail_in;
    if (rc == Z_BUF_ERROR) rc = Z_OK;
    if (pos == in.size() && rc == Z_OK && z.avail_in == 0 && z.avail_out != 0) {
      rc = inflate(&z, Z_FINISH);
    }
  }
  inflateEnd(&z);
  return rc == Z_STREAM_END ? total : 0;
}

using Engine = size_t (*)(const std::vector<std::byte>&, std::vector<std::byte>&);

void BM_Inflate(benchmark::State& state, Engine engine, const char* corpus) {
  const Stream& s = GetStream(corpus);
  if (s.plain.empty()) {
    state.SkipWithError("corpus missing");
    return;
  }
  std::vector<std::byte> out(s.plain.size());
  for (auto _ : state) {
    if (engine(s.packed, out) != s.plain.size()) {
      state.SkipWithError("decoding failed");
      return;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s.plain.size()));
  state.counters["ratio"] = static_cast<double>(s.packed.size()) / s.plain.size();
}

}  // namespace

int main(int argc, char** argv) {
  const std::pair<const char*, const char*> corpora[] = {
      {"text", "text.tar"}, {"binary", "binary.tar"}, {"random", "random.bin"}};
  const std::pair<const char*, Engine> engines[] = {{"ours_oneshot", OursOneShot},
                                                    {"zlib_oneshot", ZlibOneShot},
                                                    {"ours_stream", OursStreaming},
                                                    {"zlib_stream", ZlibStreaming}};
  for (const auto& [label, file] : corpora) {
    for (const auto& [name, engine] : engines) {
      benchmark::RegisterBenchmark((std::string(name) + "/" + label).c_str(), BM_Inflate, engine,
                                   file);
    }
  }
  benchmark::Initialize(&argc, argv);
  zb::bench::RatioReporter reporter("ours_", "zlib_", 5);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
