#pragma once

// Folders opened one level at a time with openat, so that a symbolic link
// planted on the way (in a destination folder, or by an archive's own
// earlier entries) cannot lead a later write somewhere else.

#include <filesystem>
#include <span>
#include <string>

#include "platform/unique_fd.h"

namespace zb {

// A folder open for the *at() calls, with the path it was reached by (for
// messages only: the descriptor is what counts).
struct OpenFolder {
  UniqueFd fd;
  std::filesystem::path path;

  // Opens `path` itself, following links as any open does. Invalid when it
  // cannot be opened (errno tells why).
  [[nodiscard]] static OpenFolder Open(const std::filesystem::path& path);
  // A second holder of the same folder (for a cache of the last one walked).
  [[nodiscard]] OpenFolder Duplicate() const { return {fd.Duplicate(), path}; }
  [[nodiscard]] bool Valid() const { return fd.Valid(); }
};

enum class WalkError {
  kNone,
  kThroughLink,  // a level is a symbolic link and links are not followed
  kFailed,       // a level could not be opened or made
};

struct WalkResult {
  WalkError error = WalkError::kNone;
  std::string why;  // a sentence naming the level and the reason

  [[nodiscard]] bool Ok() const { return error == WalkError::kNone; }
};

struct WalkOptions {
  bool create = false;        // make missing levels (mode 0777 less the umask)
  bool follow_links = false;  // let a level be a symbolic link
};

// Opens base/parts[0]/parts[1]/... into `out`. The parts must be single
// names (no "/", no ".."): the caller has made them safe.
[[nodiscard]] WalkResult WalkFolders(const OpenFolder& base, std::span<const std::string> parts,
                                     const WalkOptions& options, OpenFolder* out);

}  // namespace zb
