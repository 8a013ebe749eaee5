// Entry point of the desktop program.

#include <QApplication>
#include <cstdio>

#include "app/ui/main_window.h"
#include "app/ui/msg_form.h"
#include "app/ui/signal_watcher.h"
#include "app/ui/single_instance.h"
#include "base/errors.h"
#include "platform/program_dir.h"

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
  zb::app::SignalWatcher signal_watcher;

  std::filesystem::path data_dir;
  try {
    data_dir = zb::ProgramDir();
  } catch (const zb::Error& e) {
    std::fprintf(stderr, "zipbackup: %s\n", e.what());
    return 2;
  }

  zb::app::SingleInstance instance(data_dir);
  try {
    if (!instance.Claim()) {
      // Another copy runs on this data folder: bring it forward and leave.
      if (!instance.ActivatePrevious())
        std::fprintf(stderr, "zipbackup: already running; its window could not be raised\n");
      return 0;
    }
  } catch (const zb::Error& e) {
    std::fprintf(stderr, "zipbackup: %s\n", e.what());
    return 2;
  }

  zb::app::TFormMain::Options options;
  options.data_dir = data_dir;
  zb::app::TFormMain window(std::move(options));
  QObject::connect(&instance, &zb::app::SingleInstance::ActivateRequested, &window,
                   &zb::app::TFormMain::OpenMainWindow1Click);
  QObject::connect(&signal_watcher, &zb::app::SignalWatcher::Received, &window,
                   [&window](int) { window.CloseBySignal(); });
  QObject::connect(&window, &zb::app::TFormMain::FormClosed, &app, &QCoreApplication::quit,
                   Qt::QueuedConnection);
  window.show();
  return app.exec();
}
