#include "backup/ui/new_project_wizard.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QSpinBox>
#include <QStackedWidget>
#include <QTimeEdit>
#include <QVBoxLayout>
#include <climits>
#include <string>

#include "app/data_folder.h"
#include "shell/main_window.h"
#include "app/user_interaction.h"
#include "backup/backup_project.h"
#include "backup/retention_ring.h"
#include "backup/ui/entry_delegate.h"
#include "backup/ui/file_picker.h"
#include "backup/ui/list_commands.h"
#include "backup/ui/password_box.h"
#include "base/date_time.h"
#include "base/errors.h"
#include "base/path.h"
#include "base/text.h"
#include "ini/ini_file.h"

namespace zb::backup::ui {

namespace {

constexpr int kFirstHelpTopic = 301;

QLabel* Caption(const QString& text, QWidget* parent, bool bold = false) {
  auto* l = new QLabel(text, parent);
  if (bold) {
    QFont f = l->font();
    f.setBold(true);
    l->setFont(f);
  }
  return l;
}

QPushButton* ListButton(QWidget* parent, const char* name, const char* caption) {
  auto* b = new QPushButton(QString::fromLatin1(caption), parent);
  b->setObjectName(QLatin1String(name));
  b->setToolTip(QString::fromLatin1(caption));
  b->setAutoDefault(false);
  return b;
}

// The page frame: a bold title and a hint above the step's own controls.
QWidget* Page(QStackedWidget* stack, const QString& title, const QString& hint,
              QVBoxLayout** body) {
  auto* page = new QWidget(stack);
  auto* v = new QVBoxLayout(page);
  v->addWidget(Caption(title, page, true));
  if (!hint.isEmpty()) v->addWidget(Caption(hint, page));
  *body = new QVBoxLayout;
  v->addLayout(*body, 1);
  stack->addWidget(page);
  return page;
}

// The list of a step with its six buttons to the right.
QListWidget* FileList(QWidget* page, QVBoxLayout* body, const char* list_name,
                      const char* const names[6]) {
  auto* list = new QListWidget(page);
  list->setObjectName(QLatin1String(list_name));
  list->setSelectionMode(QAbstractItemView::SingleSelection);
  list->setItemDelegate(new TEntryDelegate(list));
  static const char* const kCaptions[6] = {"Select files by wildcard",
                                           "Select files by filename",
                                           "Delete a item",
                                           "Delete all items",
                                           "Up a item",
                                           "Down a item"};
  auto* row = new QHBoxLayout;
  row->addWidget(list, 1);
  auto* side = new QVBoxLayout;
  for (int i = 0; i < 6; ++i) side->addWidget(ListButton(page, names[i], kCaptions[i]));
  side->addStretch();
  row->addLayout(side);
  body->addLayout(row, 1);
  return list;
}

std::vector<std::string> Items(const QListWidget* list) {
  std::vector<std::string> items;
  for (int i = 0; i < list->count(); ++i) items.push_back(list->item(i)->text().toStdString());
  return items;
}

// The index the new name takes in the stored list. The stored "Project
// Count" wins over the list in memory (entries the reader skipped, such as
// empty or repeated names, must not be overwritten), but a count that
// points past every stored "Count" key would put the name where no reader
// looks; then the name goes right after the last entry present.
int AppendIndex(const std::filesystem::path& data_dir) {
  const ini::IniFile f(app::DataFile(data_dir, app::kProjectFile));
  const int stored = f.ReadInteger("Common", "Project Count", 0);
  int present = 0;
  for (const std::string& key : f.KeyNames("Common")) {
    if (key.size() < 6 || key.size() > 14 || !SameText(std::string_view(key).substr(0, 5), "Count"))
      continue;
    int index = 0;
    bool digits = true;
    for (char c : std::string_view(key).substr(5)) {
      if (c < '0' || c > '9') {
        digits = false;
        break;
      }
      index = index * 10 + (c - '0');
    }
    if (digits && index >= present) present = index + 1;
  }
  if (stored >= 0 && stored <= present) return stored;
  return present;
}

}  // namespace

TFormProjectName::TFormProjectName(WizardContext context, QWidget* parent)
    : QDialog(parent), context_(std::move(context)) {
  setObjectName(QStringLiteral("TFormProjectName"));
  save_folder_ = QString::fromStdString(HomeFolder());
  BuildPages();
  ShowStep(0);
  resize(620, 460);
}

void TFormProjectName::BuildPages() {
  pages_ = new QStackedWidget(this);
  QVBoxLayout* body = nullptr;

  // Step 1: the name.
  QWidget* p1 = Page(pages_, QStringLiteral("Please enter new project name:"), QString(), &body);
  comboproject_ = new QLineEdit(p1);
  comboproject_->setObjectName(QStringLiteral("comboproject"));
  auto* name_row = new QHBoxLayout;
  name_row->addWidget(Caption(QStringLiteral("Project name"), p1));
  name_row->addWidget(comboproject_, 1);
  body->addLayout(name_row);
  body->addStretch();

  // Step 2: the files to back up.
  QWidget* p2 = Page(pages_, QStringLiteral("Select files to backup"),
                     QStringLiteral("You can select files by filename or wildcard"), &body);
  static const char* const kIncludeButtons[6] = {"SpeedButton1", "SpeedButton2",  "Button4",
                                                 "SpeedButton3", "SpeedButton10", "SpeedButton11"};
  ListboxBackup_ = FileList(p2, body, "ListboxBackup", kIncludeButtons);
  radioyes_ = new QCheckBox(
      QStringLiteral("Include Subfolders (if checked,it will also look for files in subfolders)"),
      p2);
  radioyes_->setObjectName(QStringLiteral("radioyes"));
  radioyes_->setChecked(true);
  body->addWidget(radioyes_);
  CheckBoxAddNewer_ = new QCheckBox(QStringLiteral("Add only files newer than"), p2);
  CheckBoxAddNewer_->setObjectName(QStringLiteral("CheckBoxAddNewer"));
  DateTimePickerToday_ = new QDateEdit(QDate(1980, 1, 1), p2);
  DateTimePickerToday_->setObjectName(QStringLiteral("DateTimePickerToday"));
  DateTimePickerToday_->setCalendarPopup(true);
  DateTimePickerToday_->setDisplayFormat(QStringLiteral("yyyy-MM-dd"));
  FitDateBox(DateTimePickerToday_);
  DateTimePickerTime_ = new QTimeEdit(QTime(0, 0, 0), p2);
  DateTimePickerTime_->setObjectName(QStringLiteral("DateTimePickerTime"));
  DateTimePickerTime_->setDisplayFormat(QStringLiteral("HH:mm:ss"));
  CheckBoxToday_ = new QCheckBox(QStringLiteral("Next use the last backup date-time"), p2);
  CheckBoxToday_->setObjectName(QStringLiteral("CheckBoxToday"));
  auto* newer_row = new QHBoxLayout;
  newer_row->addWidget(CheckBoxAddNewer_);
  newer_row->addWidget(DateTimePickerToday_);
  newer_row->addWidget(DateTimePickerTime_);
  newer_row->addWidget(CheckBoxToday_);
  newer_row->addStretch();
  body->addLayout(newer_row);

  // Step 3: the files to exclude.
  QWidget* p3 =
      Page(pages_, QStringLiteral("Select files to exclude"),
           QStringLiteral("You can select files by filename or wildcard  ( Option )"), &body);
  static const char* const kExcludeButtons[6] = {"SpeedButton4", "SpeedButton5", "SpeedButton6",
                                                 "SpeedButton7", "SpeedButton8", "SpeedButton9"};
  ListBoxNobackup_ = FileList(p3, body, "ListBoxNobackup", kExcludeButtons);
  LabelYesOrNo_ = new QLabel(p3);
  LabelYesOrNo_->setObjectName(QStringLiteral("LabelYesOrNo"));
  body->addWidget(LabelYesOrNo_);

  // Step 4: the archive name and folder.
  QWidget* p4 = Page(
      pages_, QStringLiteral("Select location to store backup"),
      QStringLiteral("Backup filename can be auto created based on prefix and suffix "), &body);
  auto* prefix_box = new QGroupBox(QStringLiteral("Prefix"), p4);
  EditPrefix_ = new QLineEdit(prefix_box);
  EditPrefix_->setObjectName(QStringLiteral("EditPrefix"));
  (new QVBoxLayout(prefix_box))->addWidget(EditPrefix_);
  auto* suffix_box = new QGroupBox(QStringLiteral("Suffix"), p4);
  RadioUseNone_ = new QRadioButton(QStringLiteral("None"), suffix_box);
  RadioUseNone_->setObjectName(QStringLiteral("RadioUseNone"));
  RadioUseDate_ = new QRadioButton(QStringLiteral("Date"), suffix_box);
  RadioUseDate_->setObjectName(QStringLiteral("RadioUseDate"));
  RadioUserNumber_ = new QRadioButton(QStringLiteral("Number"), suffix_box);
  RadioUserNumber_->setObjectName(QStringLiteral("RadioUserNumber"));
  RadioUserNumber_->setChecked(true);
  spinValue_ = new QSpinBox(suffix_box);
  spinValue_->setObjectName(QStringLiteral("spinValue"));
  spinValue_->setRange(1, 1000);
  spinValue_->setValue(1);
  auto* Labelauto = new QLabel(QStringLiteral("Next increase:"), suffix_box);
  Labelauto->setObjectName(QStringLiteral("Labelauto"));
  SpinIncrease_ = new QSpinBox(suffix_box);
  SpinIncrease_->setObjectName(QStringLiteral("SpinIncrease"));
  SpinIncrease_->setRange(1, 1000);
  SpinIncrease_->setValue(1);
  auto* suffix_row = new QHBoxLayout(suffix_box);
  for (QWidget* w : std::initializer_list<QWidget*>{RadioUseNone_, RadioUseDate_, RadioUserNumber_,
                                                    spinValue_, Labelauto, SpinIncrease_}) {
    suffix_row->addWidget(w);
  }
  suffix_row->addStretch();
  auto* file_box = new QGroupBox(QStringLiteral("Filename"), p4);
  EditFilename_ = new QLineEdit(file_box);
  EditFilename_->setObjectName(QStringLiteral("EditFilename"));
  EditFilename_->setReadOnly(true);
  QPushButton* SpSelectDirectory =
      ListButton(file_box, "SpSelectDirectory", "Select directory to save");
  auto* file_row = new QHBoxLayout(file_box);
  file_row->addWidget(EditFilename_, 1);
  file_row->addWidget(SpSelectDirectory);
  body->addWidget(prefix_box);
  body->addWidget(suffix_box);
  body->addWidget(file_box);
  body->addStretch();

  // Step 5: options.
  QWidget* p5 = Page(pages_, QStringLiteral("Options"), QString(), &body);
  CheckBoxPassword_ = new QCheckBox(QStringLiteral("Use password protect Zip file"), p5);
  CheckBoxPassword_->setObjectName(QStringLiteral("CheckBoxPassword"));
  LabInput_ = new QLabel(QStringLiteral("Enter password:"), p5);
  LabInput_->setObjectName(QStringLiteral("LabInput"));
  EditPassword_ = new QLineEdit(p5);
  EditPassword_->setObjectName(QStringLiteral("EditPassword"));
  MakePasswordBox(EditPassword_);
  LabConfirm_ = new QLabel(QStringLiteral("Retype password:"), p5);
  LabConfirm_->setObjectName(QStringLiteral("LabConfirm"));
  EditConfirmPassword_ = new QLineEdit(p5);
  EditConfirmPassword_->setObjectName(QStringLiteral("EditConfirmPassword"));
  MakePasswordBox(EditConfirmPassword_);
  CheckBoxpath_ = new QCheckBox(
      QStringLiteral("Store full path information ( from the root folder ) with all files added"),
      p5);
  CheckBoxpath_->setObjectName(QStringLiteral("CheckBoxpath"));
  CheckBoxpath_->setChecked(true);
  CheckBoxcomment_ = new QCheckBox(QStringLiteral("Add comment to Zip file:"), p5);
  CheckBoxcomment_->setObjectName(QStringLiteral("CheckBoxcomment"));
  Editcomment_ = new QLineEdit(p5);
  Editcomment_->setObjectName(QStringLiteral("Editcomment"));
  TrackBar1_ = new QSlider(Qt::Horizontal, p5);
  TrackBar1_->setObjectName(QStringLiteral("TrackBar1"));
  TrackBar1_->setRange(0, 9);
  TrackBar1_->setValue(6);
  TrackBar1_->setTickPosition(QSlider::TicksBelow);
  TrackBar1_->setPageStep(1);
  spStore_ = new QSpinBox(p5);
  spStore_->setObjectName(QStringLiteral("spStore"));
  spStore_->setRange(2, 50000);
  spStore_->setValue(50);
  auto* grid = new QGridLayout;
  grid->addWidget(CheckBoxPassword_, 0, 0, 1, 4);
  grid->addWidget(LabInput_, 1, 0);
  grid->addWidget(EditPassword_, 1, 1);
  grid->addWidget(LabConfirm_, 1, 2);
  grid->addWidget(EditConfirmPassword_, 1, 3);
  grid->addWidget(CheckBoxpath_, 2, 0, 1, 4);
  grid->addWidget(CheckBoxcomment_, 3, 0, 1, 4);
  grid->addWidget(Editcomment_, 4, 0, 1, 4);
  auto* level_row = new QHBoxLayout;
  level_row->addWidget(Caption(QStringLiteral("Compression ratio:"), p5));
  level_row->addWidget(Caption(QStringLiteral("(None)"), p5));
  level_row->addWidget(TrackBar1_, 1);
  level_row->addWidget(Caption(QStringLiteral("(Max)"), p5));
  auto* keep_row = new QHBoxLayout;
  keep_row->addWidget(Caption(QStringLiteral("Keep the last "), p5));
  keep_row->addWidget(spStore_);
  keep_row->addWidget(
      Caption(QStringLiteral("backups (if exceeds, the oldest backups deleted)"), p5));
  keep_row->addStretch();
  body->addLayout(grid);
  body->addLayout(level_row);
  body->addLayout(keep_row);
  body->addStretch();

  // Step 6: the schedule.
  QWidget* p6 =
      Page(pages_, QStringLiteral("Schedule"),
           QStringLiteral("You can customize a schedule for project to launch the\nbackup "
                          "operation within a specified time automatically."),
           &body);
  radioNone_ = new QRadioButton(QStringLiteral("None"), p6);
  radioNone_->setObjectName(QStringLiteral("radioNone"));
  radioNone_->setChecked(true);
  radioOnce_ = new QRadioButton(QStringLiteral("Occurs daily once at"), p6);
  radioOnce_->setObjectName(QStringLiteral("radioOnce"));
  DateTimePicker1_ = new QTimeEdit(QTime(12, 0, 0), p6);
  DateTimePicker1_->setObjectName(QStringLiteral("DateTimePicker1"));
  DateTimePicker1_->setDisplayFormat(QStringLiteral("HH:mm:ss"));
  radioDaily_ = new QRadioButton(QStringLiteral("Occurs daily every"), p6);
  radioDaily_->setObjectName(QStringLiteral("radioDaily"));
  SpinEditNumber_ = new QSpinBox(p6);
  SpinEditNumber_->setObjectName(QStringLiteral("SpinEditNumber"));
  SpinEditNumber_->setRange(2, 1000);
  SpinEditNumber_->setValue(20);
  minutes_label_ = new QLabel(QStringLiteral("minutes"), p6);
  radioWeekly_ = new QRadioButton(QStringLiteral("Occurs weekly every on"), p6);
  radioWeekly_->setObjectName(QStringLiteral("radioWeekly"));
  cbWeekly_ = new QComboBox(p6);
  cbWeekly_->setObjectName(QStringLiteral("cbWeekly"));
  for (int d = 1; d <= 7; ++d) {
    cbWeekly_->addItem(QString::fromStdString(std::string(WeekDayName(d))));
  }
  cbWeekly_->setCurrentIndex(-1);
  auto* sched = new QGridLayout;
  sched->addWidget(radioNone_, 0, 0);
  sched->addWidget(radioOnce_, 1, 0);
  sched->addWidget(DateTimePicker1_, 1, 1);
  sched->addWidget(Caption(QStringLiteral("later"), p6), 1, 2);
  sched->addWidget(radioDaily_, 2, 0);
  sched->addWidget(SpinEditNumber_, 2, 1);
  sched->addWidget(minutes_label_, 2, 2);
  sched->addWidget(radioWeekly_, 3, 0);
  sched->addWidget(cbWeekly_, 3, 1);
  sched->addWidget(Caption(QStringLiteral("12:00:00"), p6), 3, 2);
  sched->setColumnStretch(3, 1);
  body->addLayout(sched);
  body->addStretch();

  // Buttons below the pages.
  QPushButton* Button1 = ListButton(this, "Button1", "Help");
  btnBack_ = ListButton(this, "btnBack", "Back");
  btnNext_ = ListButton(this, "btnNext", "Next");
  btnNext_->setDefault(true);
  QPushButton* btnClose = ListButton(this, "btnClose", "Cancel");
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(Button1);
  buttons->addStretch();
  buttons->addWidget(btnBack_);
  buttons->addWidget(btnNext_);
  buttons->addWidget(btnClose);
  auto* top = new QVBoxLayout(this);
  top->addWidget(pages_, 1);
  top->addLayout(buttons);

  // Wiring.
  connect(Button1, &QPushButton::clicked, this, [this] {
    if (context_.pickers.show_help) context_.pickers.show_help(kFirstHelpTopic + Step());
  });
  connect(btnBack_, &QPushButton::clicked, this, &TFormProjectName::btnBackClick);
  connect(btnNext_, &QPushButton::clicked, this, &TFormProjectName::btnNextClick);
  connect(btnClose, &QPushButton::clicked, this, &TFormProjectName::reject);

  auto wire_list = [this](QWidget* page, QListWidget* list, const char* const names[6]) {
    auto button = [page](const char* name) {
      return page->findChild<QPushButton*>(QLatin1String(name));
    };
    connect(button(names[0]), &QPushButton::clicked, this,
            [this, list] { PickByWildcard(this, list, context_.pickers); });
    connect(button(names[1]), &QPushButton::clicked, this,
            [this, list] { PickByFilename(this, list); });
    connect(button(names[2]), &QPushButton::clicked, this,
            [this, list] { list_commands::DeleteListItem(list, *context_.pickers.messages); });
    connect(button(names[3]), &QPushButton::clicked, this,
            [list] { list_commands::ClearList(list); });
    connect(button(names[4]), &QPushButton::clicked, this,
            [list] { list_commands::MoveListItemUp(list); });
    connect(button(names[5]), &QPushButton::clicked, this,
            [list] { list_commands::MoveListItemDown(list); });
  };
  wire_list(p2, ListboxBackup_, kIncludeButtons);
  wire_list(p3, ListBoxNobackup_, kExcludeButtons);

  connect(radioyes_, &QCheckBox::toggled, this, [this] { UpdateEnabling(); });
  connect(CheckBoxAddNewer_, &QCheckBox::toggled, this, [this] { UpdateEnabling(); });
  connect(CheckBoxToday_, &QCheckBox::toggled, this, [this] { UpdateEnabling(); });
  connect(CheckBoxPassword_, &QCheckBox::toggled, this, [this] { UpdateEnabling(); });
  connect(CheckBoxcomment_, &QCheckBox::toggled, this, [this] { UpdateEnabling(); });
  for (QRadioButton* r : {RadioUseNone_, RadioUseDate_, RadioUserNumber_}) {
    connect(r, &QRadioButton::toggled, this, [this] {
      UpdateEnabling();
      UpdateFileName();
    });
  }
  for (QRadioButton* r : {radioNone_, radioOnce_, radioDaily_, radioWeekly_}) {
    connect(r, &QRadioButton::toggled, this, [this] { UpdateEnabling(); });
  }
  connect(EditPrefix_, &QLineEdit::textChanged, this, [this] { UpdateFileName(); });
  connect(spinValue_, &QSpinBox::valueChanged, this, [this] { UpdateFileName(); });
  connect(SpSelectDirectory, &QPushButton::clicked, this,
          &TFormProjectName::SpSelectDirectoryClick);
  Labelauto_ = Labelauto;
  UpdateEnabling();
}

int TFormProjectName::Step() const { return pages_->currentIndex(); }

void TFormProjectName::ShowStep(int step) {
  pages_->setCurrentIndex(step);
  setWindowTitle(QStringLiteral("Add project wizard - Step %1 of %2").arg(step + 1).arg(kSteps));
  btnBack_->setEnabled(step > 0);
  btnNext_->setText(step == kSteps - 1 ? QStringLiteral("Finish") : QStringLiteral("Next"));
  UpdateFileName();
}

void TFormProjectName::UpdateFileName() {
  const int mode = RadioUseNone_->isChecked()   ? kSuffixNone
                   : RadioUseDate_->isChecked() ? kSuffixDate
                                                : kSuffixNumber;
  EditFilename_->setText(QString::fromStdString(
      NextArchiveName(save_folder_.toStdString(), EditPrefix_->text().toStdString(), mode,
                      spinValue_->value(), Now(), context_.naming)));
}

void TFormProjectName::UpdateEnabling() {
  LabelYesOrNo_->setText(radioyes_->isChecked()
                             ? QStringLiteral("Subdirectories are included")
                             : QStringLiteral("Subdirectories are not included"));
  const bool newer = CheckBoxAddNewer_->isChecked();
  CheckBoxToday_->setEnabled(newer);
  const bool pickers = newer && !CheckBoxToday_->isChecked();
  DateTimePickerToday_->setEnabled(pickers);
  DateTimePickerTime_->setEnabled(pickers);

  const bool number = RadioUserNumber_->isChecked();
  spinValue_->setEnabled(number);
  SpinIncrease_->setEnabled(number);
  Labelauto_->setEnabled(number);

  const bool password = CheckBoxPassword_->isChecked();
  for (QWidget* w : std::initializer_list<QWidget*>{LabInput_, EditPassword_, LabConfirm_,
                                                    EditConfirmPassword_}) {
    w->setEnabled(password);
  }
  Editcomment_->setEnabled(CheckBoxcomment_->isChecked());

  DateTimePicker1_->setEnabled(radioOnce_->isChecked());
  SpinEditNumber_->setEnabled(radioDaily_->isChecked());
  minutes_label_->setEnabled(radioDaily_->isChecked());
  cbWeekly_->setEnabled(radioWeekly_->isChecked());
  if (radioWeekly_->isChecked() && cbWeekly_->currentIndex() < 0) cbWeekly_->setCurrentIndex(0);
}

void TFormProjectName::SpSelectDirectoryClick() {
  const std::optional<QString> folder =
      CurrentPickerDialogs().SelectFolder(this, QStringLiteral("Please select directory"));
  if (!folder || Trim(comboproject_->text().toStdString()).empty()) return;
  save_folder_ = *folder;
  UpdateFileName();
}

bool TFormProjectName::CheckStep(int step) {
  UserInteraction& ui = *context_.pickers.messages;
  switch (step) {
    case 0: {
      const QString name = comboproject_->text();
      const std::string trimmed(Trim(name.toStdString()));
      if (trimmed.empty()) {
        ui.ShowError("Please input a new project name!");
        return false;
      }
      std::vector<std::string> names;
      for (const QString& n : context_.project_names) names.push_back(n.toStdString());
      if (FindProjectName(names, trimmed) >= 0) {
        ui.ShowError("Project '" + name.toStdString() + "' exists,please input another name!");
        return false;
      }
      // A name the store cannot take (a line break inside) is refused here,
      // not after five more steps.
      try {
        (void)CheckProjectName(trimmed);
      } catch (const Error& e) {
        ui.ShowError(e.what());
        return false;
      }
      if (Trim(EditPrefix_->text().toStdString()).empty()) EditPrefix_->setText(name);
      return true;
    }
    case 1:
      if (ListboxBackup_->count() == 0) {
        ui.ShowError("Please select files to backup");
        return false;
      }
      return true;
    case 3:
      if (Trim(EditPrefix_->text().toStdString()).empty()) {
        ui.ShowError("Please enter the prefix of backup filename");
        return false;
      }
      return true;
    case 4:
      if (CheckBoxPassword_->isChecked() && Trim(EditPassword_->text().toStdString()) !=
                                                Trim(EditConfirmPassword_->text().toStdString())) {
        ui.ShowError("Confirm password is not matching");
        return false;
      }
      return true;
    default:
      return true;
  }
}

void TFormProjectName::btnNextClick() {
  const int step = Step();
  if (!CheckStep(step)) return;
  if (step == kSteps - 1) {
    Finish();
    return;
  }
  ShowStep(step + 1);
}

void TFormProjectName::btnBackClick() {
  if (Step() > 0) ShowStep(Step() - 1);
}

BackupProject TFormProjectName::ProjectFromControls() const {
  BackupProject p = BackupProject::Defaults();
  p.FilenamePrefix = EditPrefix_->text().toStdString();
  p.Suffix = RadioUseNone_->isChecked()   ? kSuffixNone
             : RadioUseDate_->isChecked() ? kSuffixDate
                                          : kSuffixNumber;
  p.IncreaseValue = SpinIncrease_->value();
  // The stored number is that of the last archive, so the first run adds
  // the step and gets the number the user chose.
  p.Value = spinValue_->value() - SpinIncrease_->value();
  p.SavePath = ExtractFilePath(Trim(EditFilename_->text().toStdString()));
  p.Include = Items(ListboxBackup_);
  p.Exclude = Items(ListBoxNobackup_);
  p.IncludeSubfolders = radioyes_->isChecked();
  p.UsePassword = CheckBoxPassword_->isChecked();
  p.Password = EditPassword_->text().toStdString();
  p.StorePath = CheckBoxpath_->isChecked();
  p.StoreComment = CheckBoxcomment_->isChecked();
  p.Comment = Editcomment_->text().toStdString();
  if (radioNone_->isChecked()) {
    p.BackupMode = kModeNone;
  } else if (radioWeekly_->isChecked()) {
    p.BackupMode = kModeWeekly;
    p.WeekDay = cbWeekly_->currentIndex() + 1;  // 0 when no day is chosen
  } else if (radioDaily_->isChecked()) {
    p.BackupMode = kModeInterval;
    p.IntervalMinutes = SpinEditNumber_->value();
  } else {
    p.BackupMode = kModeDaily;
    const QTime t = DateTimePicker1_->time();
    p.StartTime = (t.hour() * 3600 + t.minute() * 60 + t.second()) / 86400.0;
  }
  p.PackLevel = TrackBar1_->value();
  p.StoreNumber = spStore_->value();
  p.UseNewer = CheckBoxAddNewer_->isChecked();
  p.UseToday = CheckBoxToday_->isChecked();
  const QDate d = DateTimePickerToday_->date();
  const QTime t = DateTimePickerTime_->time();
  p.NewerThan = EncodeDateTime(d.year(), d.month(), d.day(), t.hour(), t.minute(), t.second())
                    .value_or(p.NewerThan);
  return p;
}

void TFormProjectName::Finish() {
  const std::filesystem::path& dir = context_.pickers.data_dir;
  try {
    const std::string name = CheckProjectName(comboproject_->text().toStdString());
    BackupProject project = ProjectFromControls();
    const int index = AppendIndex(dir);
    // A ring or a section left under this name (a project deleted by hand,
    // an interrupted rename) must not hand its archives or restore settings
    // to the new project: the name is not in the list, so both are orphans.
    EraseRing(dir, name);
    EraseProject(dir, name);
    WriteProject(dir, name, project);
    AppendProjectToList(dir, name, index);
    stored_name_ = QString::fromStdString(name);
  } catch (const std::exception& e) {
    // The wizard stays open with everything typed, so the user can retry
    // (a lock held by a running backup) or cancel.
    context_.pickers.messages->ShowError(e.what());
    return;
  }
  accept();
}

bool RunNewProjectWizard(shell::TFormMain& window) {
  WizardContext context;
  context.pickers.data_dir = window.DataDir();
  context.pickers.messages = &window.Ui();
  context.pickers.show_help = [&window](int topic) { window.ShowHelp(topic); };
  context.naming.append_zero = window.Settings().AppendZero;
  context.naming.width = window.Settings().NumberWidth;
  context.project_names = window.ProjectNames();
  TFormProjectName wizard(std::move(context), &window);
  return wizard.exec() == QDialog::Accepted;
}

}  // namespace zb::backup::ui
