#include "app/ui/pages.h"

#include "app/ui/main_window.h"

namespace zb::app {

void InstallPages(TFormMain& window) {
  // Page installers are added here as the page libraries land, e.g.
  // backup::ui::InstallBackupPage(window);
  (void)window;
}

}  // namespace zb::app
