#pragma once

// The question asked when an archive has no end record: a disk of a set
// (MultiZip), a damaged archive to scan (Recover), or not an archive at all
// (Cancel). Modal, centred on the screen, with a beep each time it is
// activated so that a restore running unattended draws the user back.

#include <QDialog>

#include "restore/archive_maintenance.h"

class QPushButton;

namespace zb::restore::ui {

class TIncompleteZipDlg final : public QDialog {
  Q_OBJECT
 public:
  // The modal result of Recover; MultiZip closes with Accepted, Cancel and
  // Escape with Rejected.
  static constexpr int kRetry = 2;

  explicit TIncompleteZipDlg(QWidget* owner);

  // The answer for a result of exec().
  [[nodiscard]] static IncompleteAnswer AnswerFor(int result);
  // Creates the dialog, shows it modally and returns the user's answer.
  [[nodiscard]] static IncompleteAnswer Ask(QWidget* owner);

 protected:
  bool event(QEvent* e) override;
  void showEvent(QShowEvent* e) override;
};

}  // namespace zb::restore::ui
