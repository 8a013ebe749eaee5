#include "platform/program_dir.h"

#include <cerrno>
#include <system_error>

#include "base/errors.h"

namespace zb {

const std::filesystem::path& ProgramDir() {
  static const std::filesystem::path dir = [] {
    std::error_code ec;
    std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) throw EOSError("Unable to find the program folder", "/proc/self/exe", ec.value());
    return exe.parent_path();
  }();
  return dir;
}

}  // namespace zb
