#pragma once

namespace zb::shell {

class TFormMain;

// Builds every page of the main window into its placeholder: each page
// library contributes one installer call in pages.cc.
void InstallPages(TFormMain& window);

}  // namespace zb::shell
