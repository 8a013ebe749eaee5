#include "backup/ui/new_project_wizard.h"

#include <QAbstractButton>
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

#include "app/ui/page_host.h"
#include "app/user_interaction.h"
#include "backup/backup_project.h"
#include "backup/ui/entry_delegate.h"
#include "backup/ui/file_list_buttons.h"
#include "backup/ui/file_picker.h"
#include "backup/ui/password_box.h"
#include "backup/ui/range_warning.h"
#include "base/date_time.h"
#include "base/errors.h"
#include "base/path.h"
#include "base/text.h"

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
  steps_ = new QStackedWidget(this);
  QVBoxLayout* body = nullptr;

  // Step 1: the name.
  QWidget* p1 = Page(steps_, QStringLiteral("Please enter new project name:"), QString(), &body);
  name_edit_ = new QLineEdit(p1);
  name_edit_->setObjectName(QStringLiteral("comboproject"));
  auto* name_row = new QHBoxLayout;
  name_row->addWidget(Caption(QStringLiteral("Project name"), p1));
  name_row->addWidget(name_edit_, 1);
  body->addLayout(name_row);
  body->addStretch();

  // Step 2: the files to back up.
  QWidget* p2 = Page(steps_, QStringLiteral("Select files to backup"),
                     QStringLiteral("You can select files by filename or wildcard"), &body);
  static const char* const kIncludeButtons[6] = {"SpeedButton1", "SpeedButton2",  "Button4",
                                                 "SpeedButton3", "SpeedButton10", "SpeedButton11"};
  include_list_ = FileList(p2, body, "ListboxBackup", kIncludeButtons);
  subfolders_box_ = new QCheckBox(
      QStringLiteral("Include Subfolders (if checked,it will also look for files in subfolders)"),
      p2);
  subfolders_box_->setObjectName(QStringLiteral("radioyes"));
  subfolders_box_->setChecked(true);
  body->addWidget(subfolders_box_);
  newer_only_box_ = new QCheckBox(QStringLiteral("Add only files newer than"), p2);
  newer_only_box_->setObjectName(QStringLiteral("CheckBoxAddNewer"));
  newer_date_edit_ = new QDateEdit(QDate(1980, 1, 1), p2);
  newer_date_edit_->setObjectName(QStringLiteral("DateTimePickerToday"));
  newer_date_edit_->setCalendarPopup(true);
  newer_date_edit_->setDisplayFormat(QStringLiteral("yyyy-MM-dd"));
  FitDateBox(newer_date_edit_);
  newer_time_edit_ = new QTimeEdit(QTime(0, 0, 0), p2);
  newer_time_edit_->setObjectName(QStringLiteral("DateTimePickerTime"));
  newer_time_edit_->setDisplayFormat(QStringLiteral("HH:mm:ss"));
  use_last_date_box_ = new QCheckBox(QStringLiteral("Next use the last backup date-time"), p2);
  use_last_date_box_->setObjectName(QStringLiteral("CheckBoxToday"));
  auto* newer_row = new QHBoxLayout;
  newer_row->addWidget(newer_only_box_);
  newer_row->addWidget(newer_date_edit_);
  newer_row->addWidget(newer_time_edit_);
  newer_row->addWidget(use_last_date_box_);
  newer_row->addStretch();
  body->addLayout(newer_row);

  // Step 3: the files to exclude.
  QWidget* p3 =
      Page(steps_, QStringLiteral("Select files to exclude"),
           QStringLiteral("You can select files by filename or wildcard  ( Option )"), &body);
  static const char* const kExcludeButtons[6] = {"SpeedButton4", "SpeedButton5", "SpeedButton6",
                                                 "SpeedButton7", "SpeedButton8", "SpeedButton9"};
  exclude_list_ = FileList(p3, body, "ListBoxNobackup", kExcludeButtons);
  subfolders_label_ = new QLabel(p3);
  subfolders_label_->setObjectName(QStringLiteral("LabelYesOrNo"));
  body->addWidget(subfolders_label_);

  // Step 4: the archive name and folder.
  QWidget* p4 = Page(
      steps_, QStringLiteral("Select location to store backup"),
      QStringLiteral("Backup filename can be auto created based on prefix and suffix "), &body);
  auto* prefix_box = new QGroupBox(QStringLiteral("Prefix"), p4);
  prefix_edit_ = new QLineEdit(prefix_box);
  prefix_edit_->setObjectName(QStringLiteral("EditPrefix"));
  (new QVBoxLayout(prefix_box))->addWidget(prefix_edit_);
  auto* suffix_box = new QGroupBox(QStringLiteral("Suffix"), p4);
  suffix_none_radio_ = new QRadioButton(QStringLiteral("None"), suffix_box);
  suffix_none_radio_->setObjectName(QStringLiteral("RadioUseNone"));
  suffix_date_radio_ = new QRadioButton(QStringLiteral("Date"), suffix_box);
  suffix_date_radio_->setObjectName(QStringLiteral("RadioUseDate"));
  suffix_number_radio_ = new QRadioButton(QStringLiteral("Number"), suffix_box);
  suffix_number_radio_->setObjectName(QStringLiteral("RadioUserNumber"));
  suffix_number_radio_->setChecked(true);
  next_number_spin_ = new QSpinBox(suffix_box);
  next_number_spin_->setObjectName(QStringLiteral("spinValue"));
  next_number_spin_->setRange(1, 1000);
  next_number_spin_->setValue(1);
  step_label_ = new QLabel(QStringLiteral("Next increase:"), suffix_box);
  step_label_->setObjectName(QStringLiteral("Labelauto"));
  step_spin_ = new QSpinBox(suffix_box);
  step_spin_->setObjectName(QStringLiteral("SpinIncrease"));
  step_spin_->setRange(1, 1000);
  step_spin_->setValue(1);
  auto* suffix_row = new QHBoxLayout(suffix_box);
  for (QWidget* w :
       std::initializer_list<QWidget*>{suffix_none_radio_, suffix_date_radio_, suffix_number_radio_,
                                       next_number_spin_, step_label_, step_spin_}) {
    suffix_row->addWidget(w);
  }
  suffix_row->addStretch();
  auto* file_box = new QGroupBox(QStringLiteral("Filename"), p4);
  file_name_edit_ = new QLineEdit(file_box);
  file_name_edit_->setObjectName(QStringLiteral("EditFilename"));
  file_name_edit_->setReadOnly(true);
  QPushButton* folder_button =
      ListButton(file_box, "SpSelectDirectory", "Select directory to save");
  auto* file_row = new QHBoxLayout(file_box);
  file_row->addWidget(file_name_edit_, 1);
  file_row->addWidget(folder_button);
  body->addWidget(prefix_box);
  body->addWidget(suffix_box);
  body->addWidget(file_box);
  body->addStretch();

  // Step 5: options.
  QWidget* p5 = Page(steps_, QStringLiteral("Options"), QString(), &body);
  password_box_ = new QCheckBox(QStringLiteral("Use password protect Zip file"), p5);
  password_box_->setObjectName(QStringLiteral("CheckBoxPassword"));
  password_label_ = new QLabel(QStringLiteral("Enter password:"), p5);
  password_label_->setObjectName(QStringLiteral("LabInput"));
  password_edit_ = new QLineEdit(p5);
  password_edit_->setObjectName(QStringLiteral("EditPassword"));
  MakePasswordBox(password_edit_);
  confirm_label_ = new QLabel(QStringLiteral("Retype password:"), p5);
  confirm_label_->setObjectName(QStringLiteral("LabConfirm"));
  confirm_password_edit_ = new QLineEdit(p5);
  confirm_password_edit_->setObjectName(QStringLiteral("EditConfirmPassword"));
  MakePasswordBox(confirm_password_edit_);
  store_path_box_ = new QCheckBox(
      QStringLiteral("Store full path information ( from the root folder ) with all files added"),
      p5);
  store_path_box_->setObjectName(QStringLiteral("CheckBoxpath"));
  store_path_box_->setChecked(true);
  comment_box_ = new QCheckBox(QStringLiteral("Add comment to Zip file:"), p5);
  comment_box_->setObjectName(QStringLiteral("CheckBoxcomment"));
  comment_edit_ = new QLineEdit(p5);
  comment_edit_->setObjectName(QStringLiteral("Editcomment"));
  level_slider_ = new QSlider(Qt::Horizontal, p5);
  level_slider_->setObjectName(QStringLiteral("TrackBar1"));
  level_slider_->setRange(0, 9);
  level_slider_->setValue(6);
  level_slider_->setTickPosition(QSlider::TicksBelow);
  level_slider_->setPageStep(1);
  keep_count_spin_ = new QSpinBox(p5);
  keep_count_spin_->setObjectName(QStringLiteral("spStore"));
  keep_count_spin_->setRange(2, 50000);
  keep_count_spin_->setValue(50);
  WarnWhenOutOfRange(keep_count_spin_, *context_.pickers.messages,
                     QStringLiteral("The number of backups to keep"));
  auto* grid = new QGridLayout;
  grid->addWidget(password_box_, 0, 0, 1, 4);
  grid->addWidget(password_label_, 1, 0);
  grid->addWidget(password_edit_, 1, 1);
  grid->addWidget(confirm_label_, 1, 2);
  grid->addWidget(confirm_password_edit_, 1, 3);
  grid->addWidget(store_path_box_, 2, 0, 1, 4);
  grid->addWidget(comment_box_, 3, 0, 1, 4);
  grid->addWidget(comment_edit_, 4, 0, 1, 4);
  auto* level_row = new QHBoxLayout;
  level_row->addWidget(Caption(QStringLiteral("Compression ratio:"), p5));
  level_row->addWidget(Caption(QStringLiteral("(None)"), p5));
  level_row->addWidget(level_slider_, 1);
  level_row->addWidget(Caption(QStringLiteral("(Max)"), p5));
  auto* keep_row = new QHBoxLayout;
  keep_row->addWidget(Caption(QStringLiteral("Keep the last "), p5));
  keep_row->addWidget(keep_count_spin_);
  keep_row->addWidget(
      Caption(QStringLiteral("backups (if exceeds, the oldest backups deleted)"), p5));
  keep_row->addStretch();
  body->addLayout(grid);
  body->addLayout(level_row);
  body->addLayout(keep_row);
  body->addStretch();

  // Step 6: the schedule.
  QWidget* p6 =
      Page(steps_, QStringLiteral("Schedule"),
           QStringLiteral("You can customize a schedule for project to launch the\nbackup "
                          "operation within a specified time automatically."),
           &body);
  schedule_.none = new QRadioButton(QStringLiteral("None"), p6);
  schedule_.none->setObjectName(QStringLiteral("radioNone"));
  schedule_.none->setChecked(true);
  schedule_.daily_once = new QRadioButton(QStringLiteral("Occurs daily once at"), p6);
  schedule_.daily_once->setObjectName(QStringLiteral("radioOnce"));
  schedule_.daily_time = new QTimeEdit(QTime(12, 0, 0), p6);
  schedule_.daily_time->setObjectName(QStringLiteral("DateTimePicker1"));
  schedule_.daily_time->setDisplayFormat(QStringLiteral("HH:mm:ss"));
  schedule_.every_minutes = new QRadioButton(QStringLiteral("Occurs daily every"), p6);
  schedule_.every_minutes->setObjectName(QStringLiteral("radioDaily"));
  schedule_.minutes = new QSpinBox(p6);
  schedule_.minutes->setObjectName(QStringLiteral("SpinEditNumber"));
  schedule_.minutes->setRange(2, 1000);
  schedule_.minutes->setValue(20);
  schedule_.minutes_label = new QLabel(QStringLiteral("minutes"), p6);
  schedule_.weekly = new QRadioButton(QStringLiteral("Occurs weekly every on"), p6);
  schedule_.weekly->setObjectName(QStringLiteral("radioWeekly"));
  schedule_.weekday = new QComboBox(p6);
  schedule_.weekday->setObjectName(QStringLiteral("cbWeekly"));
  for (int d = 1; d <= 7; ++d) {
    schedule_.weekday->addItem(QString::fromStdString(std::string(WeekDayName(d))));
  }
  schedule_.weekday->setCurrentIndex(-1);
  auto* sched = new QGridLayout;
  sched->addWidget(schedule_.none, 0, 0);
  sched->addWidget(schedule_.daily_once, 1, 0);
  sched->addWidget(schedule_.daily_time, 1, 1);
  sched->addWidget(Caption(QStringLiteral("later"), p6), 1, 2);
  sched->addWidget(schedule_.every_minutes, 2, 0);
  sched->addWidget(schedule_.minutes, 2, 1);
  sched->addWidget(schedule_.minutes_label, 2, 2);
  sched->addWidget(schedule_.weekly, 3, 0);
  sched->addWidget(schedule_.weekday, 3, 1);
  sched->addWidget(Caption(QStringLiteral("12:00:00"), p6), 3, 2);
  sched->setColumnStretch(3, 1);
  body->addLayout(sched);
  body->addStretch();

  // Buttons below the pages.
  QPushButton* help_button = ListButton(this, "Button1", "Help");
  back_button_ = ListButton(this, "btnBack", "Back");
  next_button_ = ListButton(this, "btnNext", "Next");
  next_button_->setDefault(true);
  QPushButton* cancel_button = ListButton(this, "btnClose", "Cancel");
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(help_button);
  buttons->addStretch();
  buttons->addWidget(back_button_);
  buttons->addWidget(next_button_);
  buttons->addWidget(cancel_button);
  auto* top = new QVBoxLayout(this);
  top->addWidget(steps_, 1);
  top->addLayout(buttons);

  // Wiring.
  connect(help_button, &QPushButton::clicked, this, [this] {
    if (context_.pickers.show_help) context_.pickers.show_help(kFirstHelpTopic + Step());
  });
  connect(back_button_, &QPushButton::clicked, this, &TFormProjectName::OnBack);
  connect(next_button_, &QPushButton::clicked, this, &TFormProjectName::OnNext);
  connect(cancel_button, &QPushButton::clicked, this, &TFormProjectName::reject);

  const auto wire_list = [this](QWidget* page, QListWidget* list, const char* const names[6]) {
    const auto button = [page, names](int i) {
      return page->findChild<QAbstractButton*>(QLatin1String(names[i]));
    };
    ConnectFileListButtons(this, list,
                           {button(0), button(1), button(2), button(3), button(4), button(5)},
                           context_.pickers);
  };
  wire_list(p2, include_list_, kIncludeButtons);
  wire_list(p3, exclude_list_, kExcludeButtons);

  connect(subfolders_box_, &QCheckBox::toggled, this, [this] { UpdateEnabledStates(); });
  connect(newer_only_box_, &QCheckBox::toggled, this, [this] { UpdateEnabledStates(); });
  connect(use_last_date_box_, &QCheckBox::toggled, this, [this] { UpdateEnabledStates(); });
  connect(password_box_, &QCheckBox::toggled, this, [this] { UpdateEnabledStates(); });
  connect(comment_box_, &QCheckBox::toggled, this, [this] { UpdateEnabledStates(); });
  for (QRadioButton* r : {suffix_none_radio_, suffix_date_radio_, suffix_number_radio_}) {
    connect(r, &QRadioButton::toggled, this, [this] {
      UpdateEnabledStates();
      UpdateFileName();
    });
  }
  for (QRadioButton* r :
       {schedule_.none, schedule_.daily_once, schedule_.every_minutes, schedule_.weekly}) {
    connect(r, &QRadioButton::toggled, this, [this] { UpdateEnabledStates(); });
  }
  connect(prefix_edit_, &QLineEdit::textChanged, this, [this] { UpdateFileName(); });
  connect(next_number_spin_, &QSpinBox::valueChanged, this, [this] { UpdateFileName(); });
  connect(folder_button, &QPushButton::clicked, this, &TFormProjectName::OnSelectSaveFolder);
  UpdateEnabledStates();
}

int TFormProjectName::Step() const { return steps_->currentIndex(); }

void TFormProjectName::ShowStep(int step) {
  steps_->setCurrentIndex(step);
  setWindowTitle(QStringLiteral("Add project wizard - Step %1 of %2").arg(step + 1).arg(kSteps));
  back_button_->setEnabled(step > 0);
  next_button_->setText(step == kSteps - 1 ? QStringLiteral("Finish") : QStringLiteral("Next"));
  UpdateFileName();
}

void TFormProjectName::UpdateFileName() {
  const int mode = suffix_none_radio_->isChecked()   ? kSuffixNone
                   : suffix_date_radio_->isChecked() ? kSuffixDate
                                                     : kSuffixNumber;
  file_name_edit_->setText(QString::fromStdString(
      NextArchiveName(save_folder_.toStdString(), prefix_edit_->text().toStdString(), mode,
                      next_number_spin_->value(), Now(), context_.naming)));
}

void TFormProjectName::UpdateEnabledStates() {
  subfolders_label_->setText(subfolders_box_->isChecked()
                                 ? QStringLiteral("Subdirectories are included")
                                 : QStringLiteral("Subdirectories are not included"));
  const bool newer = newer_only_box_->isChecked();
  use_last_date_box_->setEnabled(newer);
  const bool pickers = newer && !use_last_date_box_->isChecked();
  newer_date_edit_->setEnabled(pickers);
  newer_time_edit_->setEnabled(pickers);

  const bool number = suffix_number_radio_->isChecked();
  next_number_spin_->setEnabled(number);
  step_spin_->setEnabled(number);
  step_label_->setEnabled(number);

  const bool password = password_box_->isChecked();
  for (QWidget* w : std::initializer_list<QWidget*>{password_label_, password_edit_, confirm_label_,
                                                    confirm_password_edit_}) {
    w->setEnabled(password);
  }
  comment_edit_->setEnabled(comment_box_->isChecked());

  schedule_.EnableChosen();
}

void TFormProjectName::OnSelectSaveFolder() {
  const std::optional<QString> folder =
      CurrentPickerDialogs().SelectFolder(this, QStringLiteral("Please select directory"));
  if (!folder || Trim(name_edit_->text().toStdString()).empty()) return;
  save_folder_ = *folder;
  UpdateFileName();
}

bool TFormProjectName::CheckStep(int step) {
  UserInteraction& ui = *context_.pickers.messages;
  switch (step) {
    case 0: {
      const QString name = name_edit_->text();
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
      // A name the store cannot take (a line break inside, a "/") is refused
      // here, not after five more steps.
      try {
        (void)CheckNewProjectName(trimmed);
      } catch (const Error& e) {
        ui.ShowError(e.what());
        return false;
      }
      if (Trim(prefix_edit_->text().toStdString()).empty()) prefix_edit_->setText(name);
      return true;
    }
    case 1:
      if (include_list_->count() == 0) {
        ui.ShowError("Please select files to backup");
        return false;
      }
      return true;
    case 3:
      if (Trim(prefix_edit_->text().toStdString()).empty()) {
        ui.ShowError("Please enter the prefix of backup filename");
        return false;
      }
      // The archive folder is taken from the path shown; a "/" in the prefix
      // would move part of the prefix into that folder.
      if (!IsFileNamePart(prefix_edit_->text().toStdString())) {
        ui.ShowError(kBadPrefixMessage);
        return false;
      }
      // A warning, not a refusal: the user may mean to change the preference.
      if (const std::string warning =
              RepeatedNameWarning(suffix_none_radio_->isChecked() ? kSuffixNone : kSuffixNumber,
                                  context_.overwrite_existing);
          !warning.empty())
        ui.ShowWarning(warning);
      return true;
    case 4:
      if (password_box_->isChecked() && Trim(password_edit_->text().toStdString()) !=
                                            Trim(confirm_password_edit_->text().toStdString())) {
        ui.ShowError("Confirm password is not matching");
        return false;
      }
      return true;
    default:
      return true;
  }
}

void TFormProjectName::OnNext() {
  const int step = Step();
  if (!CheckStep(step)) return;
  if (step == kSteps - 1) {
    Finish();
    return;
  }
  ShowStep(step + 1);
}

void TFormProjectName::OnBack() {
  if (Step() > 0) ShowStep(Step() - 1);
}

BackupProject TFormProjectName::ProjectFromControls() const {
  BackupProject p = BackupProject::Defaults();
  p.FilenamePrefix = prefix_edit_->text().toStdString();
  p.Suffix = suffix_none_radio_->isChecked()   ? kSuffixNone
             : suffix_date_radio_->isChecked() ? kSuffixDate
                                               : kSuffixNumber;
  p.IncreaseValue = step_spin_->value();
  // The stored number is that of the last archive, so the first run adds
  // the step and gets the number the user chose.
  p.Value = next_number_spin_->value() - step_spin_->value();
  p.SavePath = ExtractFilePath(Trim(file_name_edit_->text().toStdString()));
  p.Include = Items(include_list_);
  p.Exclude = Items(exclude_list_);
  p.IncludeSubfolders = subfolders_box_->isChecked();
  p.UsePassword = password_box_->isChecked();
  p.Password = password_edit_->text().toStdString();
  p.StorePath = store_path_box_->isChecked();
  p.StoreComment = comment_box_->isChecked();
  p.Comment = comment_edit_->text().toStdString();
  schedule_.Store(p);
  p.PackLevel = level_slider_->value();
  p.StoreNumber = keep_count_spin_->value();
  p.UseNewer = newer_only_box_->isChecked();
  p.UseToday = use_last_date_box_->isChecked();
  const QDate d = newer_date_edit_->date();
  const QTime t = newer_time_edit_->time();
  p.NewerThan = EncodeDateTime(d.year(), d.month(), d.day(), t.hour(), t.minute(), t.second())
                    .value_or(p.NewerThan);
  return p;
}

void TFormProjectName::Finish() {
  try {
    BackupProject project = ProjectFromControls();
    stored_name_ = QString::fromStdString(
        AddProject(context_.pickers.data_dir, name_edit_->text().toStdString(), project));
  } catch (const std::exception& e) {
    // The wizard stays open with everything typed, so the user can retry
    // (a lock held by a running backup) or cancel.
    context_.pickers.messages->ShowError(e.what());
    return;
  }
  accept();
}

bool RunNewProjectWizard(app::PageHost& host, QWidget* parent) {
  WizardContext context;
  context.pickers.data_dir = host.DataDir();
  context.pickers.messages = &host.Ui();
  context.pickers.show_help = [&host](int topic) { host.ShowHelp(topic); };
  context.naming.append_zero = host.Settings().AppendZero;
  context.naming.width = host.Settings().NumberWidth;
  context.overwrite_existing = host.Settings().OverwriteExisting;
  for (const std::string& name : host.ProjectNames())
    context.project_names << QString::fromStdString(name);
  TFormProjectName wizard(std::move(context), parent);
  return wizard.exec() == QDialog::Accepted;
}

}  // namespace zb::backup::ui
