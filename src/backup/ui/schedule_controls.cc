#include "backup/ui/schedule_controls.h"

#include <QComboBox>
#include <QLabel>
#include <QRadioButton>
#include <QSpinBox>
#include <QTimeEdit>
#include <algorithm>

#include "backup/backup_project.h"
#include "base/date_time.h"

namespace zb::backup::ui {
namespace {

QTime TimeOf(DateTime moment) {
  const DateTimeFields f = DecodeDateTime(moment);
  return QTime(f.hour, f.minute, f.second);
}

}  // namespace

void ScheduleControls::EnableChosen() const {
  daily_time->setEnabled(daily_once->isChecked());
  minutes->setEnabled(every_minutes->isChecked());
  minutes_label->setEnabled(every_minutes->isChecked());
  weekday->setEnabled(weekly->isChecked());
  if (weekly->isChecked() && weekday->currentIndex() < 0) weekday->setCurrentIndex(0);
}

void ScheduleControls::Show(const BackupProject& p) const {
  switch (p.BackupMode) {
    case kModeDaily:
      daily_once->setChecked(true);
      daily_time->setTime(TimeOf(p.StartTime).isValid() ? TimeOf(p.StartTime) : QTime(12, 0, 0));
      break;
    case kModeInterval:
      every_minutes->setChecked(true);
      minutes->setValue(std::clamp(p.IntervalMinutes, 2, 1000));
      break;
    case kModeWeekly:
      weekly->setChecked(true);
      break;
    case kModeNone:
      none->setChecked(true);
      break;
    default:
      break;
  }
  EnableChosen();
  // The stored day wins over the Sunday a click on the weekly button offers:
  // a day name that is not one of the seven shows no day, as it is stored.
  if (p.BackupMode == kModeWeekly)
    weekday->setCurrentIndex(p.WeekDay >= 1 && p.WeekDay <= 7 ? p.WeekDay - 1 : -1);
}

void ScheduleControls::Store(BackupProject& p) const {
  p.BackupMode = none->isChecked()            ? kModeNone
                 : weekly->isChecked()        ? kModeWeekly
                 : every_minutes->isChecked() ? kModeInterval
                                              : kModeDaily;
  const QTime t = daily_time->time();
  p.StartTime = (t.hour() * 3600.0 + t.minute() * 60.0 + t.second()) / 86400.0;
  p.IntervalMinutes = minutes->value();
  p.WeekDay = WeekDayFromName(weekday->currentText().toStdString());
}

}  // namespace zb::backup::ui
