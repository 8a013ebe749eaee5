#include "app/ui/pages.h"

#include "app/ui/main_window.h"
#include "backup/ui/backup_page.h"
#include "restore/ui/restore_page.h"

namespace zb::app {

void InstallPages(TFormMain& window) {
  // Page installers are added here as the page libraries land, e.g.
  // backup::ui::InstallBackupPage(window);
  backup::ui::InstallBackupPage(window);
  (void)restore::ui::InstallRestorePage(window);
}

}  // namespace zb::app
