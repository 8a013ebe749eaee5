// zipbackup-cli projects: the backup projects, one name a line, in the order
// of the program's project box.

#include <iostream>

#include "backup/backup_project.h"
#include "base/errors.h"
#include "cli/verb.h"

namespace zb::cli {
namespace {

int RunProjects(Context& ctx) {
  if (!ctx.args.empty()) {
    throw EInvalidInput("projects takes no arguments (unexpected '" + ctx.args.front() + "')");
  }
  // Reading takes no lock: the file is only ever replaced whole, so a
  // reader sees the old list or the new one.
  for (const std::string& name : backup::ReadProjectList(ctx.data_dir).names) {
    std::cout << name << "\n";
  }
  return kExitOk;
}

ZB_CLI_VERB(Verb{"projects", "projects", "list the backup projects, one name a line", RunProjects});

}  // namespace
}  // namespace zb::cli
