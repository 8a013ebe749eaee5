#pragma once

// The schedule group of the Backup page and the wizard's last step: four
// mode buttons, and beside three of them the control that holds the mode's
// value. Each window builds the widgets with its own captions; the rules
// that tie them together and to a project live here.

class QComboBox;
class QLabel;
class QRadioButton;
class QSpinBox;
class QTimeEdit;

namespace zb::backup {
struct BackupProject;
}

namespace zb::backup::ui {

struct ScheduleControls {
  QRadioButton* none = nullptr;
  QRadioButton* daily_once = nullptr;
  QTimeEdit* daily_time = nullptr;
  QRadioButton* every_minutes = nullptr;
  QSpinBox* minutes = nullptr;
  QLabel* minutes_label = nullptr;
  QRadioButton* weekly = nullptr;
  QComboBox* weekday = nullptr;

  // Only the control of the chosen mode is enabled; weekly without a day
  // chosen offers Sunday.
  void EnableChosen() const;
  // Shows the schedule of `p`: a time that is no time shows 12:00:00, the
  // minutes are brought into 2..1000, an unknown day shows no day, and a
  // mode outside 0..3 changes no button.
  void Show(const BackupProject& p) const;
  // The chosen mode ("None" first, then weekly, every N minutes, daily
  // once) and the values of all three controls into `p`.
  void Store(BackupProject& p) const;
};

}  // namespace zb::backup::ui
