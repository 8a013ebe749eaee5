#pragma once

#include <filesystem>

namespace zb {

// The folder that holds the running executable (the data folder of the
// program), computed once from /proc/self/exe. Throws zb::EOSError when the
// path cannot be found.
[[nodiscard]] const std::filesystem::path& ProgramDir();

}  // namespace zb
