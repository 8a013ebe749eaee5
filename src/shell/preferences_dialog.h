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
// the main window's memory. "&OK" and "&Apply" register or remove the
// autostart entry, save every key the dialog edits in one save and hand the
// values to `applied`; "&OK" then closes with Accepted, "&Apply" stays open.
// "Clo&se", Escape and the close box ask first when there are changes that
// were not applied.
class TFormPreferences final : public QDialog {
  Q_OBJECT
 public:
  struct Environment {
    std::filesystem::path data_dir;
    std::filesystem::path executable;    // what the autostart entry starts
    UserInteraction* ui = nullptr;       // shows a failed write; required
    std::function<void(int)> show_help;  // opens a help context
    // Takes applied values into memory; may be empty.
    std::function<void(const app::AppSettings&)> applied;
  };

  TFormPreferences(const app::AppSettings& memory, Environment env, QWidget* parent = nullptr);

  // The dialog's values on top of the settings it was given.
  [[nodiscard]] app::AppSettings Values() const;

  void OnAutorunToggled();
  void OnOk();
  void OnApply();
  void OnHelp();
  // Closing without OK: asks whether to save changes not yet applied.
  void reject() override;

 private:
  void ShowSettings(const app::AppSettings& memory);
  // Saves and hands the values on; false when nothing could be saved.
  bool Apply();

  app::AppSettings base_;
  app::AppSettings applied_;  // the values as last shown or saved
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
