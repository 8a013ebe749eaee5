#include "shell/pages.h"

#include <QComboBox>
#include <optional>

#include "shell/main_window.h"
#include "backup/ui/backup_page.h"
#include "restore/ui/restore_page.h"

namespace zb::shell {

void InstallPages(TFormMain& window) {
  // Page installers are added here as the page libraries land, e.g.
  // backup::ui::InstallBackupPage(window);
  backup::ui::InstallBackupPage(window);
  auto* restore_page = restore::ui::InstallRestorePage(window);
  // The Restore page takes the zip folder and the add options from the
  // Backup page as it stands, saved or not.
  auto* backup_page = window.findChild<backup::ui::TBackupPage*>();
  if (restore_page && backup_page) {
    restore_page->backup_settings = [backup_page,
                                     &window]() -> std::optional<backup::BackupProject> {
      if (window.ProjectBox()->currentText().trimmed().isEmpty()) return std::nullopt;
      return backup_page->PageProject();
    };
  }
}

}  // namespace zb::shell
