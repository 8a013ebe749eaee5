#include "backup/archive_naming.h"

#include <algorithm>

#include "backup/backup_project.h"
#include "base/path.h"
#include "base/text.h"

namespace zb::backup {

std::string NextArchiveName(std::string_view save_folder, std::string_view prefix, int naming_mode,
                            int number, DateTime moment, const NamingOptions& options) {
  std::string name(Trim(save_folder));
  if (!name.empty()) name = IncludeTrailingSeparator(name);
  name += Trim(prefix);
  switch (naming_mode) {
    case kSuffixNone:
      break;
    case kSuffixDate:
      name += FormatPattern(kArchiveDatePattern, moment);
      break;
    default: {
      std::string digits = IntToStr(number);
      // The width comes from a hand-editable file: cap it so a huge value
      // cannot make a name no file system accepts.
      const int width = std::min(options.width, kMaxNumberWidth);
      if (options.append_zero && width > static_cast<int>(digits.size())) {
        digits.insert(0, static_cast<size_t>(width) - digits.size(), '0');
      }
      name += digits;
      break;
    }
  }
  return name + ".zip";
}

std::string NextArchiveName(const BackupProject& project, DateTime moment,
                            const NamingOptions& options) {
  return NextArchiveName(project.SavePath, project.FilenamePrefix, project.Suffix,
                         NextNumber(project), moment, options);
}

std::optional<std::string> CheckProject(std::string_view file_name, const BackupProject& project,
                                        std::string_view confirm_password) {
  if (Trim(file_name).empty()) return "Please enter the backup filename";
  if (Trim(project.FilenamePrefix).empty()) return "Please enter the prefix of backup filename";
  if (project.UsePassword && Trim(project.Password) != Trim(confirm_password)) {
    return "Confirm password is not matching";
  }
  if (project.Include.empty()) return "Please select files to backup";
  return std::nullopt;
}

}  // namespace zb::backup
