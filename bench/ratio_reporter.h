#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace zb::bench {

// Prints, after the usual table, each of our rates divided by zlib's for the
// same case (medians when repetitions are asked for). A benchmark named
// `ours` + rest is paired with `zlib` + rest; the line shows the name from
// character `label_from` on.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  RatioReporter(std::string ours, std::string zlib, size_t label_from)
      : ours_(std::move(ours)), zlib_(std::move(zlib)), label_from_(label_from) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& r : runs) {
      if (r.error_occurred) continue;
      if (r.run_type == Run::RT_Aggregate && r.aggregate_name != "median") continue;
      const auto it = r.counters.find("bytes_per_second");
      if (it == r.counters.end()) continue;
      std::string name = r.benchmark_name();
      if (const auto pos = name.rfind("_median"); pos != std::string::npos) name.resize(pos);
      rates_[name] = it->second.value;
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    for (const auto& [name, rate] : rates_) {
      if (name.rfind(ours_, 0) != 0) continue;
      const auto z = rates_.find(zlib_ + name.substr(ours_.size()));
      if (z == rates_.end() || z->second <= 0) continue;
      std::printf("%-28s ours/zlib = %.2f\n", name.c_str() + label_from_, rate / z->second);
    }
  }

 private:
  std::string ours_, zlib_;
  size_t label_from_;
  std::map<std::string, double> rates_;
};

}  // namespace zb::bench
