// Entry point of the desktop program.

#include <QApplication>
#include <QMessageBox>
#include <QThread>
#include <cstdio>
#include <optional>

#include "app/data_folder.h"
#include "app/ui/msg_form.h"
#include "app/user_interaction.h"
#include "base/errors.h"
#include "platform/program_dir.h"
#include "shell/main_window.h"
#include "shell/pages.h"
#include "shell/signal_watcher.h"
#include "shell/single_instance.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("zipbackup");
  QApplication::setApplicationDisplayName(zb::app::kAppTitle);
  QApplication::setDesktopFileName("zipbackup");
  // The window lives on in the notification area while hidden, and closing
  // a message box then must not end the program.
  QApplication::setQuitOnLastWindowClosed(false);

  // Installed first: a termination signal from here on is read by the event
  // loop and closes the window normally once it exists.
  zb::shell::SignalWatcher signal_watcher;

  std::filesystem::path data_dir;
  try {
    data_dir = zb::ProgramDir();
  } catch (const zb::Error& e) {
    std::fprintf(stderr, "zipbackup: %s\n", e.what());
    return 2;
  }

  zb::shell::SingleInstance instance(data_dir);
  try {
    if (!instance.Claim()) {
      // Another copy runs on this data folder: bring it forward and leave.
      if (!instance.ActivatePreviousInstance())
        std::fprintf(stderr, "zipbackup: already running; its window could not be raised\n");
      return 0;
    }
  } catch (const zb::Error& e) {
    std::fprintf(stderr, "zipbackup: %s\n", e.what());
    return 2;
  }

  // Held for the whole run so that the companion command-line tool never
  // writes the data files under the window's feet. A tool run that holds
  // it right now is given a few seconds to finish.
  std::optional<zb::app::DataFolderLock> data_lock;
  for (int attempt = 0; !data_lock; ++attempt) {
    try {
      data_lock.emplace(data_dir);
    } catch (const zb::ELocked& e) {
      if (attempt < 25) {
        QThread::msleep(200);
        continue;
      }
      QMessageBox::critical(nullptr, zb::app::kAppTitle, zb::WithFullStop(e.what()).c_str());
      return 1;
    } catch (const zb::Error& e) {
      QMessageBox::critical(nullptr, zb::app::kAppTitle, zb::WithFullStop(e.what()).c_str());
      return 2;
    }
  }

  zb::shell::TFormMain::Options options;
  options.data_dir = data_dir;
  options.install_pages = [](zb::shell::TFormMain& w) { zb::shell::InstallPages(w); };
  zb::shell::TFormMain window(std::move(options));
  QObject::connect(&instance, &zb::shell::SingleInstance::ActivateRequested, &window,
                   &zb::shell::TFormMain::OnOpenMainWindow);
  QObject::connect(&signal_watcher, &zb::shell::SignalWatcher::Received, &window,
                   [&window](int) { window.CloseBySignal(); });
  QObject::connect(&window, &zb::shell::TFormMain::FormClosed, &app, &QCoreApplication::quit,
                   Qt::QueuedConnection);
  window.show();
  return app.exec();
}
