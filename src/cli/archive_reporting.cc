// What every archive verb says the same way: whose archive an error is
// about, and how far the work has got.

#include <iostream>
#include <string>

#include "base/errors.h"
#include "cli/verb.h"

namespace zb::cli {

void RethrowWithArchive(const std::string& archive) {
  try {
    throw;
  } catch (const EZipError& e) {
    throw Error(archive + ": " + e.what());
  }
}

std::function<void(int percent)> TerminalProgress(const Context& ctx) {
  if (!ctx.stderr_is_terminal) return nullptr;
  return [last = -1](int p) mutable {
    if (p == last) return;
    last = p;
    std::cerr << "\r" << p << "%" << std::flush;
    if (p >= 100) std::cerr << "\r    \r" << std::flush;
  };
}

}  // namespace zb::cli
