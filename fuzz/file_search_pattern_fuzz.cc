// Matches arbitrary names against arbitrary masks and exclusion patterns.
// The input is a name, a NUL byte, then the pattern. Besides running clean
// under the sanitizers, a text without wildcards must match itself, and
// "*" must take every name under the folder-mask rules.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "file_search/file_search.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using zb::file_search::TFileSearch;
  const std::string_view in(reinterpret_cast<const char*>(data), size);
  const size_t cut = in.find('\0');
  const std::string_view name = in.substr(0, cut);
  const std::string_view pattern = cut == std::string_view::npos ? name : in.substr(cut + 1);

  (void)TFileSearch::MaskMatch(name, pattern);
  (void)TFileSearch::ExclusionMatch(name, pattern);
  if (!TFileSearch::MaskMatch(name, "*")) std::abort();
  if (name.find_first_of("*?") == std::string_view::npos) {
    if (!TFileSearch::MaskMatch(name, name)) std::abort();
    if (!TFileSearch::ExclusionMatch(name, name)) std::abort();
  }
  return 0;
}
