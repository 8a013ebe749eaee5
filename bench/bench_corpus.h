#pragma once

// The benchmark corpora: files made by bench/make_corpus.sh in the folder
// named by $ZB_BENCH_CORPUS (default /tmp/zb-corpus).

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace zb::bench {

inline std::string CorpusDir() {
  const char* d = std::getenv("ZB_BENCH_CORPUS");
  return d && *d ? d : "/tmp/zb-corpus";
}

// Loads corpus file `name` ("text.tar", "binary.tar", "random.bin"), at most
// `limit` bytes; empty when it is missing (run bench/make_corpus.sh first).
inline const std::vector<std::byte>& LoadCorpus(const std::string& name,
                                                size_t limit = static_cast<size_t>(-1)) {
  // A map keeps references stable while more corpora are loaded.
  static std::map<std::string, std::vector<std::byte>> cache;
  if (auto it = cache.find(name); it != cache.end()) return it->second;
  std::vector<std::byte> data;
  std::ifstream f(CorpusDir() + "/" + name, std::ios::binary);
  if (f) {
    std::vector<char> raw((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    if (raw.size() > limit) raw.resize(limit);
    data.resize(raw.size());
    for (size_t i = 0; i < raw.size(); ++i) data[i] = static_cast<std::byte>(raw[i]);
  } else {
    std::fprintf(stderr, "corpus %s/%s missing: run bench/make_corpus.sh\n", CorpusDir().c_str(),
                 name.c_str());
  }
  return cache.emplace(name, std::move(data)).first->second;
}

}  // namespace zb::bench
