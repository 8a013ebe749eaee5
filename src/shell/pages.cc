#include "shell/pages.h"

#include <optional>

#include "backup/ui/backup_page.h"
#include "restore/ui/restore_page.h"
#include "shell/main_window.h"

namespace zb::shell {

void InstallPages(TFormMain& window) {
  auto* backup_page = backup::ui::InstallBackupPage(window, window.PageArea(app::Page::kBackup));
  auto* restore_page =
      restore::ui::InstallRestorePage(window, window.PageArea(app::Page::kRestore));
  // The Restore page takes the zip folder and the add options from the
  // Backup page as it stands, saved or not.
  restore_page->backup_settings = [backup_page, &window]() -> std::optional<backup::BackupProject> {
    if (QString::fromStdString(window.SelectedProject()).trimmed().isEmpty()) return std::nullopt;
    return backup_page->PageProject();
  };
}

}  // namespace zb::shell
