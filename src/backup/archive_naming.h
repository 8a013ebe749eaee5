#pragma once

// The name of a project's next archive, and the checks a project must pass
// before it is run or saved.

#include <optional>
#include <string>
#include <string_view>

#include "base/date_time.h"

namespace zb::backup {

struct BackupProject;

// The time stamp of Date mode: month-day_hour h minute m second s.
inline constexpr char kArchiveDatePattern[] = "mm\"-\"dd\"_\"hh\"h\"nn\"m\"ss\"s\"";
// Zero padding never makes a name longer than this many digits.
inline constexpr int kMaxNumberWidth = 200;

struct NamingOptions {
  bool append_zero = false;  // "Is Append 0"
  int width = 2;             // "Width"
};

// The archive path: the trimmed folder (a separator appended when it lacks
// one; an empty folder stays empty), the trimmed prefix, then by mode the
// `moment` stamped with kArchiveDatePattern (Date), the decimal `number`
// zero-padded to the width when padding is on (Number), or nothing (None),
// and ".zip". An unknown mode names like Number.
[[nodiscard]] std::string NextArchiveName(std::string_view save_folder, std::string_view prefix,
                                          int naming_mode, int number, DateTime moment,
                                          const NamingOptions& options);

// NextArchiveName for `project` as it stands: its folder, prefix, mode and
// next number.
[[nodiscard]] std::string NextArchiveName(const BackupProject& project, DateTime moment,
                                          const NamingOptions& options);

// The checks of a run and of Save, in order; the message of the first that
// fails, or nothing. `file_name` is the text of the archive name box and
// `confirm_password` that of the confirmation box.
[[nodiscard]] std::optional<std::string> CheckProject(std::string_view file_name,
                                                      const BackupProject& project,
                                                      std::string_view confirm_password);

}  // namespace zb::backup
