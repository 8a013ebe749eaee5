#pragma once

#include <QDialog>
#include <filesystem>
#include <functional>

#include "app/app_settings.h"

class QCheckBox;
class QPushButton;
class QRadioButton;
class QSpinBox;
class QTabWidget;

namespace zb {
class UserInteraction;
}

namespace zb::shell {

// The Preferences dialog. It works on a copy of the settings: "Auto Run",
// "Is Minimized" and "Prompt sync" come from the stored file, the rest from
// the main window's memory. "&Apply" registers or removes the autostart
// entry, writes those three keys itself and closes with Accepted; the caller
// then takes Values() into memory. "Clo&se" discards everything.
class TFormPreferences final : public QDialog {
  Q_OBJECT
 public:
  struct Environment {
    std::filesystem::path data_dir;
    std::filesystem::path executable;    // what the autostart entry starts
    UserInteraction* ui = nullptr;       // shows a failed write; required
    std::function<void(int)> show_help;  // opens a help context
  };

  TFormPreferences(const app::AppSettings& memory, Environment env, QWidget* parent = nullptr);

  // The dialog's values on top of the settings it was given.
  [[nodiscard]] app::AppSettings Values() const;

  void OnAutorunToggled();
  void OnApply();
  void OnHelp();

 private:
  void ShowSettings(const app::AppSettings& memory);

  app::AppSettings base_;
  Environment env_;
  QTabWidget* pages_ = nullptr;
  QCheckBox* autorun_box_ = nullptr;
  QCheckBox* minimized_box_ = nullptr;
  QSpinBox* log_count_spin_ = nullptr;
  QCheckBox* pad_number_box_ = nullptr;
  QSpinBox* number_width_spin_ = nullptr;
  QCheckBox* prompt_backup_box_ = nullptr;
  QRadioButton* overwrite_radio_ = nullptr;
  QRadioButton* skip_radio_ = nullptr;
  QCheckBox* prompt_sync_box_ = nullptr;
};

}  // namespace zb::shell
