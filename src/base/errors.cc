#include "base/errors.h"

#include <cstring>
#include <utility>

namespace zb {

EOSError::EOSError(std::string_view what, const std::string& path, int err)
    : Error(std::string(what) + " " + path + ": " + std::strerror(err)), errno_(err) {}

EWriteError::EWriteError(const std::string& path, std::string reason)
    : Error("Unable to write to " + path), reason_(std::move(reason)) {}

}  // namespace zb
