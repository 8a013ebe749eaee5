#include "backup/ui/backup_page.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QSpinBox>
#include <QStyle>
#include <QTimeEdit>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>

#include "app/activity_log.h"
#include "app/ui/page_host.h"
#include "app/user_interaction.h"
#include "backup/archive_naming.h"
#include "backup/ui/entry_delegate.h"
#include "backup/ui/file_list_buttons.h"
#include "backup/ui/file_picker.h"
#include "backup/ui/new_project_wizard.h"
#include "backup/ui/password_box.h"
#include "backup/ui/range_warning.h"
#include "backup/ui/rename_dialog.h"
#include "backup/ui/wildcard_picker.h"
#include "base/errors.h"

namespace zb::backup::ui {

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }
std::string S(const QString& s) { return s.toStdString(); }

DateTime TimeOfDay(const QTime& t) {
  return (t.hour() * 3600.0 + t.minute() * 60.0 + t.second()) / 86400.0;
}

QTime QTimeOf(DateTime moment) {
  const DateTimeFields f = DecodeDateTime(moment);
  return QTime(f.hour, f.minute, f.second);
}

QDate QDateOf(DateTime moment) {
  const DateTimeFields f = DecodeDateTime(moment);
  return QDate(f.year, f.month, f.day);
}

QToolButton* ListButton(QWidget* parent, const char* name, const char* hint, const QIcon& icon) {
  auto* b = new QToolButton(parent);
  b->setObjectName(name);
  b->setToolTip(hint);
  b->setIcon(icon);
  b->setAutoRaise(true);
  return b;
}

}  // namespace

// ---------------------------------------------------------------------------
// Building

TBackupPage::TBackupPage(app::PageHost& host, QWidget* parent)
    : QWidget(parent), host_(host), ui_(host.Ui()) {
  setObjectName("BackupPage");
  auto* columns = new QHBoxLayout(this);
  columns->setContentsMargins(4, 4, 4, 4);
  columns->setSpacing(4);

  source_group_ = new QGroupBox("Source", this);
  source_group_->setObjectName("GroupSource");
  BuildSource(source_group_);
  columns->addWidget(source_group_, 5);

  auto* right = new QVBoxLayout;
  destination_group_ = new QGroupBox("Destination", this);
  destination_group_->setObjectName("GroupDes");
  BuildDestination(destination_group_);
  right->addWidget(destination_group_);
  options_group_ = new QGroupBox("Options", this);
  options_group_->setObjectName("GroupOption");
  BuildOptions(options_group_);
  right->addWidget(options_group_);
  schedule_group_ = new QGroupBox("Schedule", this);
  schedule_group_->setObjectName("GroupSche");
  BuildSchedule(schedule_group_);
  right->addWidget(schedule_group_);
  right->addStretch();
  right->setSpacing(2);
  columns->addLayout(right, 4);
  // The window is of fixed size: the groups are packed tightly.
  for (QGroupBox* g : {destination_group_, options_group_, schedule_group_}) {
    g->layout()->setContentsMargins(6, 2, 6, 2);
    g->layout()->setSpacing(2);
  }

  // With no project the page shows what a new project starts with.
  ShowProject(BackupProject::Defaults());
  SetEditMode(false);
}

void TBackupPage::BuildSource(QGroupBox* group) {
  // The window has a fixed size, so the list buttons stand beside their
  // lists as small tool buttons with their captions as hints.
  auto* grid = new QGridLayout(group);
  grid->setContentsMargins(6, 4, 6, 4);
  grid->setVerticalSpacing(3);
  auto make_buttons = [group](const char* wild, const char* file, const char* del,
                              const char* clear, const char* up, const char* down) {
    auto* box = new QGridLayout;
    box->setSpacing(1);
    QStyle* style = group->style();
    box->addWidget(ListButton(group, wild, "Select files by wildcard", EntryMarkIcon(true)), 0, 0);
    box->addWidget(ListButton(group, file, "Select files by filename", EntryMarkIcon(false)), 0, 1);
    box->addWidget(ListButton(group, del, "Delete a item", DeleteItemIcon()), 1, 0);
    box->addWidget(
        ListButton(group, clear, "Delete all items", style->standardIcon(QStyle::SP_TrashIcon)), 1,
        1);
    box->addWidget(ListButton(group, up, "Up a item", style->standardIcon(QStyle::SP_ArrowUp)), 2,
                   0);
    box->addWidget(
        ListButton(group, down, "Down a item", style->standardIcon(QStyle::SP_ArrowDown)), 2, 1);
    box->setRowStretch(3, 1);
    return box;
  };

  auto* label_in = new QLabel("Select files to backup", group);
  label_in->setObjectName("Label2");
  grid->addWidget(label_in, 0, 0, 1, 2);
  include_list_ = new QListWidget(group);
  include_list_->setObjectName("ListboxBackup");
  include_list_->setItemDelegate(new TEntryDelegate(include_list_));
  grid->addWidget(include_list_, 1, 0);
  grid->addLayout(
      make_buttons("Button1", "Button2", "Button4", "SpeedButton1", "SpeedButton3", "SpeedButton4"),
      1, 1);

  // The caption is long: a wrapping label beside the box, clicking either
  // toggles it.
  auto* subfolders = new QHBoxLayout;
  subfolders_box_ = new QCheckBox(group);
  subfolders_box_->setObjectName("radioyes");
  subfolders_box_->setAccessibleName(
      "Include Subdirectories ( if checked, it will also look for the files in subfolders )");
  auto* subfolders_label = new QLabel(subfolders_box_->accessibleName(), group);
  subfolders_label->setObjectName("LabelSubfolders");
  subfolders_label->setWordWrap(true);
  subfolders_label->installEventFilter(this);
  subfolders->addWidget(subfolders_box_, 0, Qt::AlignTop);
  subfolders->addWidget(subfolders_label, 1);
  grid->addLayout(subfolders, 2, 0, 1, 2);

  auto* newer = new QGridLayout;
  newer->setVerticalSpacing(2);
  newer_only_box_ = new QCheckBox("Only files newer than", group);
  newer_only_box_->setObjectName("CheckBoxAddNewer");
  newer_date_edit_ = new QDateEdit(group);
  newer_date_edit_->setObjectName("DateTimePickerToday");
  newer_date_edit_->setCalendarPopup(true);
  newer_date_edit_->setDisplayFormat("yyyy-MM-dd");
  FitDateBox(newer_date_edit_);
  newer_time_edit_ = new QTimeEdit(group);
  newer_time_edit_->setObjectName("DateTimePickerTime");
  newer_time_edit_->setDisplayFormat("HH:mm:ss");
  use_last_date_box_ = new QCheckBox("Use last backup date", group);
  use_last_date_box_->setObjectName("CheckBoxToday");
  newer->addWidget(newer_only_box_, 0, 0);
  newer->addWidget(newer_date_edit_, 0, 1);
  newer->addWidget(newer_time_edit_, 0, 2);
  newer->addWidget(use_last_date_box_, 1, 1, 1, 2);
  newer->setColumnStretch(3, 1);
  grid->addLayout(newer, 3, 0, 1, 2);

  auto* label_ex = new QLabel("Select files to exclude", group);
  label_ex->setObjectName("Label3");
  grid->addWidget(label_ex, 4, 0, 1, 2);
  exclude_list_ = new QListWidget(group);
  exclude_list_->setObjectName("ListBoxNobackup");
  exclude_list_->setItemDelegate(new TEntryDelegate(exclude_list_));
  grid->addWidget(exclude_list_, 5, 0);
  grid->addLayout(
      make_buttons("Button6", "Button3", "Button5", "SpeedButton2", "SpeedButton6", "SpeedButton5"),
      5, 1);
  grid->setRowStretch(1, 3);
  grid->setRowStretch(5, 2);

  PickerContext pickers;
  pickers.data_dir = host_.DataDir();
  pickers.messages = &ui_;
  pickers.show_help = [this](int topic) { host_.ShowHelp(topic); };
  const auto button = [group](const char* name) {
    return group->findChild<QAbstractButton*>(name);
  };
  ConnectFileListButtons(this, include_list_,
                         {button("Button1"), button("Button2"), button("Button4"),
                          button("SpeedButton1"), button("SpeedButton3"), button("SpeedButton4")},
                         pickers);
  ConnectFileListButtons(this, exclude_list_,
                         {button("Button6"), button("Button3"), button("Button5"),
                          button("SpeedButton2"), button("SpeedButton6"), button("SpeedButton5")},
                         pickers);
  connect(newer_only_box_, &QCheckBox::toggled, this, &TBackupPage::UpdateNewerThanControls);
  connect(use_last_date_box_, &QCheckBox::toggled, this, &TBackupPage::UpdateNewerThanControls);
}

bool TBackupPage::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::MouseButtonRelease && watched->objectName() == "LabelSubfolders" &&
      subfolders_box_->isEnabled()) {
    subfolders_box_->toggle();
    return true;
  }
  return QWidget::eventFilter(watched, event);
}

void TBackupPage::BuildDestination(QGroupBox* group) {
  auto* grid = new QGridLayout(group);
  grid->addWidget(new QLabel("Prefix:", group), 0, 0);
  prefix_edit_ = new QLineEdit(group);
  prefix_edit_->setObjectName("EditPrefix");
  grid->addWidget(prefix_edit_, 0, 1, 1, 4);

  grid->addWidget(new QLabel("Suffix:", group), 1, 0);
  suffix_none_radio_ = new QRadioButton("None", group);
  suffix_none_radio_->setObjectName("RadioUseNone");
  suffix_date_radio_ = new QRadioButton("Date", group);
  suffix_date_radio_->setObjectName("RadioUseDate");
  suffix_number_radio_ = new QRadioButton("Number", group);
  suffix_number_radio_->setObjectName("RadioUserNumber");
  suffix_number_radio_->setChecked(true);
  next_number_spin_ = new QSpinBox(group);
  next_number_spin_->setObjectName("spinValue");
  next_number_spin_->setRange(1, 1000);
  auto* suffix = new QHBoxLayout;
  suffix->addWidget(suffix_none_radio_);
  suffix->addWidget(suffix_date_radio_);
  suffix->addWidget(suffix_number_radio_);
  suffix->addWidget(next_number_spin_);
  suffix->addStretch();
  grid->addLayout(suffix, 1, 1, 1, 4);

  step_label_ = new QLabel("Next increase:", group);
  step_label_->setObjectName("Labelauto");
  step_spin_ = new QSpinBox(group);
  step_spin_->setObjectName("SpinIncrease");
  step_spin_->setRange(1, 1000);
  auto* step = new QHBoxLayout;
  step->addWidget(step_label_);
  step->addWidget(step_spin_);
  step->addStretch();
  grid->addLayout(step, 2, 1, 1, 4);

  grid->addWidget(new QLabel("Filename:", group), 3, 0);
  file_name_edit_ = new QLineEdit(group);
  file_name_edit_->setObjectName("EditFilename");
  grid->addWidget(file_name_edit_, 3, 1, 1, 3);
  auto* browse = new QToolButton(group);
  browse->setObjectName("SpSelectDirectory");
  browse->setToolTip("Select directory to save");
  browse->setIcon(style()->standardIcon(QStyle::SP_DirOpenIcon));
  grid->addWidget(browse, 3, 4);
  grid->setColumnStretch(1, 1);

  for (QRadioButton* r : {suffix_none_radio_, suffix_date_radio_, suffix_number_radio_})
    connect(r, &QRadioButton::toggled, this, [this](bool on) {
      if (on) OnSuffixChosen();
    });
  connect(prefix_edit_, &QLineEdit::textEdited, this, &TBackupPage::RecomputeFileName);
  connect(next_number_spin_, &QSpinBox::valueChanged, this, &TBackupPage::RecomputeFileName);
  connect(step_spin_, &QSpinBox::valueChanged, this, &TBackupPage::RecomputeFileName);
  connect(browse, &QToolButton::clicked, this, &TBackupPage::OnSelectSaveFolder);
}

void TBackupPage::BuildOptions(QGroupBox* group) {
  auto* grid = new QGridLayout(group);
  password_box_ = new QCheckBox("Use password protect Zip file:", group);
  password_box_->setObjectName("CheckBoxPassword");
  grid->addWidget(password_box_, 0, 0, 1, 3);
  grid->addWidget(new QLabel("Enter Password:", group), 1, 0);
  password_edit_ = new QLineEdit(group);
  password_edit_->setObjectName("EditPassword");
  MakePasswordBox(password_edit_);
  grid->addWidget(password_edit_, 1, 1, 1, 2);
  grid->addWidget(new QLabel("Retype Password:", group), 2, 0);
  confirm_password_edit_ = new QLineEdit(group);
  confirm_password_edit_->setObjectName("EditConfirmPassword");
  MakePasswordBox(confirm_password_edit_);
  grid->addWidget(confirm_password_edit_, 2, 1, 1, 2);

  store_path_box_ = new QCheckBox("Save full path information to Zip", group);
  store_path_box_->setObjectName("CheckBoxpath");
  grid->addWidget(store_path_box_, 3, 0, 1, 3);
  comment_box_ = new QCheckBox("Add comment:", group);
  comment_box_->setObjectName("CheckBoxcomment");
  grid->addWidget(comment_box_, 4, 0);
  comment_edit_ = new QLineEdit(group);
  comment_edit_->setObjectName("Editcomment");
  grid->addWidget(comment_edit_, 4, 1, 1, 2);

  grid->addWidget(new QLabel("Compression ratio:", group), 5, 0);
  level_slider_ = new QSlider(Qt::Horizontal, group);
  level_slider_->setObjectName("Trackbar1");
  level_slider_->setRange(0, 9);
  level_slider_->setPageStep(1);
  level_slider_->setTickPosition(QSlider::TicksBelow);
  level_slider_->setToolTip("A value of 9 has the highest compression ratio");
  level_spin_ = new QSpinBox(group);
  level_spin_->setObjectName("EditLevel");
  level_spin_->setRange(0, 9);
  level_spin_->setToolTip("A value of 9 has the highest compression ratio");
  grid->addWidget(level_slider_, 5, 1);
  grid->addWidget(level_spin_, 5, 2);

  auto* keep = new QHBoxLayout;
  keep->addWidget(new QLabel("Only keep the last ", group));
  keep_count_spin_ = new QSpinBox(group);
  keep_count_spin_->setObjectName("spStore");
  keep_count_spin_->setRange(2, 50000);
  WarnWhenOutOfRange(keep_count_spin_, ui_, QStringLiteral("The number of backups to keep"));
  keep->addWidget(keep_count_spin_);
  keep->addWidget(new QLabel("backups", group));
  keep->addStretch();
  grid->addLayout(keep, 6, 0, 1, 3);
  grid->setColumnStretch(1, 1);

  connect(password_box_, &QCheckBox::toggled, this, &TBackupPage::OnPasswordToggled);
  connect(comment_box_, &QCheckBox::toggled, this, &TBackupPage::OnCommentToggled);
  connect(level_slider_, &QSlider::valueChanged, level_spin_, &QSpinBox::setValue);
  connect(level_spin_, &QSpinBox::valueChanged, level_slider_, &QSlider::setValue);
}

void TBackupPage::BuildSchedule(QGroupBox* group) {
  auto* grid = new QGridLayout(group);
  schedule_.none = new QRadioButton("None", group);
  schedule_.none->setObjectName("radioNone");
  schedule_.none->setChecked(true);
  grid->addWidget(schedule_.none, 0, 0);

  schedule_.daily_once = new QRadioButton("Daily once at", group);
  schedule_.daily_once->setObjectName("radioOnce");
  schedule_.daily_time = new QTimeEdit(QTime(12, 0, 0), group);
  schedule_.daily_time->setObjectName("DateTimePicker1");
  schedule_.daily_time->setDisplayFormat("HH:mm:ss");
  grid->addWidget(schedule_.daily_once, 1, 0);
  grid->addWidget(schedule_.daily_time, 1, 1);
  grid->addWidget(new QLabel("later", group), 1, 2);

  schedule_.every_minutes = new QRadioButton("Daily every", group);
  schedule_.every_minutes->setObjectName("radioDaily");
  schedule_.minutes = new QSpinBox(group);
  schedule_.minutes->setObjectName("SpinEditNumber");
  schedule_.minutes->setRange(2, 1000);
  schedule_.minutes->setValue(2);
  schedule_.minutes_label = new QLabel("minutes", group);
  schedule_.minutes_label->setObjectName("Label11");
  grid->addWidget(schedule_.every_minutes, 2, 0);
  grid->addWidget(schedule_.minutes, 2, 1);
  grid->addWidget(schedule_.minutes_label, 2, 2);

  schedule_.weekly = new QRadioButton("Weekly every on", group);
  schedule_.weekly->setObjectName("radioWeekly");
  schedule_.weekday = new QComboBox(group);
  schedule_.weekday->setObjectName("cbWeekly");
  for (int d = 1; d <= 7; ++d) schedule_.weekday->addItem(Q(std::string(WeekDayName(d))));
  schedule_.weekday->setCurrentIndex(-1);
  grid->addWidget(schedule_.weekly, 3, 0);
  grid->addWidget(schedule_.weekday, 3, 1);
  grid->addWidget(new QLabel("12:00:00", group), 3, 2);
  grid->setColumnStretch(3, 1);

  for (QRadioButton* r :
       {schedule_.none, schedule_.daily_once, schedule_.every_minutes, schedule_.weekly})
    connect(r, &QRadioButton::toggled, this, [this](bool on) {
      if (on) schedule_.EnableChosen();
    });
  schedule_.EnableChosen();
}

// ---------------------------------------------------------------------------
// Modes and dependent enabling

void TBackupPage::SetEditMode(bool editing) {
  editing_ = editing;
  // The lists stay usable for scrolling and selecting in both modes; only
  // the controls that change them follow the mode.
  for (QWidget* w : source_group_->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
    if (w != include_list_ && w != exclude_list_) w->setEnabled(editing);
  UpdateNewerThanControls();
  for (QGroupBox* g : {destination_group_, options_group_, schedule_group_}) g->setEnabled(editing);
  host_.SetEditing(editing);
}

int TBackupPage::SuffixChosen() const {
  if (suffix_number_radio_->isChecked()) return kSuffixNumber;
  if (suffix_date_radio_->isChecked()) return kSuffixDate;
  if (suffix_none_radio_->isChecked()) return kSuffixNone;
  return kSuffixNumber;
}

void TBackupPage::OnSuffixChosen() {
  const bool number = suffix_number_radio_->isChecked();
  next_number_spin_->setEnabled(number);
  step_label_->setEnabled(number);
  step_spin_->setEnabled(number);
  RecomputeFileName();
}

void TBackupPage::RecomputeFileName() {
  if (host_.SelectedProject().empty()) return;
  file_name_edit_->setText(
      Q(NextArchiveName(save_folder_, S(prefix_edit_->text()), SuffixChosen(),
                        next_number_spin_->value(), host_.Now(), NamingFrom(host_.Settings()))));
}

void TBackupPage::OnPasswordToggled() {
  const bool on = password_box_->isChecked();
  password_edit_->setEnabled(on);
  confirm_password_edit_->setEnabled(on);
}

void TBackupPage::OnCommentToggled() { comment_edit_->setEnabled(comment_box_->isChecked()); }

void TBackupPage::UpdateNewerThanControls() {
  // The source controls follow the mode as well as their own boxes, since
  // the lists of the same group must stay usable.
  const bool newer = editing_ && newer_only_box_->isChecked();
  use_last_date_box_->setEnabled(newer);
  const bool moment = newer && !use_last_date_box_->isChecked();
  newer_date_edit_->setEnabled(moment);
  newer_time_edit_->setEnabled(moment);
}

void TBackupPage::OnSelectSaveFolder() {
  const std::optional<QString> folder =
      CurrentPickerDialogs().SelectFolder(this, "Please select directory");
  if (!folder || folder->isEmpty() || host_.SelectedProject().empty()) return;
  save_folder_ = S(*folder);
  if (!save_folder_.empty() && save_folder_.back() != '/') save_folder_ += '/';
  RecomputeFileName();
}

// ---------------------------------------------------------------------------
// Showing a project

void TBackupPage::ShowNewerThan(DateTime moment) {
  QDate date = QDateOf(moment);
  QTime time = QTimeOf(moment);
  if (!date.isValid() || !time.isValid()) {
    const QDateTime now = QDateTime::currentDateTime();
    date = now.date();
    time = now.time();
  }
  newer_date_edit_->setDate(date);
  newer_time_edit_->setTime(time);
}

void TBackupPage::LoadProjectPage() {
  const std::string name = host_.SelectedProject();
  if (name.empty()) return;
  ShowProject(ReadProject(host_.DataDir(), name));
  host_.ShowPage(app::Page::kBackup);
}

void TBackupPage::ShowSelectedProject() {
  // Through the window, so that the Restore page's settings come along.
  (void)RunCommand(ui_, [this] { host_.SelectProject(host_.SelectedProject()); });
}

void TBackupPage::ShowArchiveName(const std::string& path) { file_name_edit_->setText(Q(path)); }

void TBackupPage::ShowProject(const BackupProject& p) {
  // The boxes are filled without their change handlers; the file name is
  // computed once below.
  {
    const QSignalBlocker b1(prefix_edit_), b2(next_number_spin_), b3(step_spin_);
    const QSignalBlocker b4(suffix_none_radio_), b5(suffix_date_radio_), b6(suffix_number_radio_);
    prefix_edit_->setText(Q(p.FilenamePrefix));
    // A hand-edited mode outside the three names like Number, as every run
    // reads it; left as it was, the page would name this project's archives
    // by the mode of the project shown before.
    if (p.Suffix == kSuffixNone) suffix_none_radio_->setChecked(true);
    if (p.Suffix == kSuffixDate) suffix_date_radio_->setChecked(true);
    if (p.Suffix != kSuffixNone && p.Suffix != kSuffixDate) suffix_number_radio_->setChecked(true);
    if (suffix_number_radio_->isChecked()) {
      step_spin_->setValue(std::clamp(p.IncreaseValue, 1, 1000));
      next_number_spin_->setValue(NextNumber(p));
    }
  }
  const bool number = suffix_number_radio_->isChecked();
  next_number_spin_->setEnabled(number);
  step_label_->setEnabled(number);
  step_spin_->setEnabled(number);
  save_folder_ = p.SavePath;
  RecomputeFileName();

  include_list_->clear();
  for (const std::string& e : p.Include) include_list_->addItem(Q(e));
  exclude_list_->clear();
  for (const std::string& e : p.Exclude) exclude_list_->addItem(Q(e));

  subfolders_box_->setChecked(p.IncludeSubfolders);
  password_box_->setChecked(p.UsePassword);
  password_edit_->setText(Q(p.Password));
  confirm_password_edit_->setText(Q(p.Password));
  OnPasswordToggled();
  store_path_box_->setChecked(p.StorePath);
  comment_box_->setChecked(p.StoreComment);
  comment_edit_->setText(Q(p.Comment));
  OnCommentToggled();
  schedule_.Show(p);
  level_spin_->setValue(std::clamp(p.PackLevel, 0, 9));
  keep_count_spin_->setValue(std::clamp(p.StoreNumber, 2, 50000));
  newer_only_box_->setChecked(p.UseNewer);
  use_last_date_box_->setChecked(p.UseToday);
  ShowNewerThan(p.NewerThan);
  UpdateNewerThanControls();
}

void TBackupPage::ShowStored(const BackupProject& stored) {
  // What the store did to the page's values shows at once: the prefix is
  // trimmed, and a password or comment that was not written leaves its
  // boxes empty.
  save_folder_ = stored.SavePath;
  if (stored.FilenamePrefix != S(prefix_edit_->text()))
    prefix_edit_->setText(Q(stored.FilenamePrefix));
  if (!stored.UsePassword || stored.Password.empty()) {
    password_edit_->clear();
    confirm_password_edit_->clear();
  }
  if (!stored.StoreComment || stored.Comment.empty()) comment_edit_->clear();
}

BackupProject TBackupPage::PageProject() const {
  BackupProject p = ReadProject(host_.DataDir(), host_.SelectedProject());
  p.FilenamePrefix = S(prefix_edit_->text());
  p.Suffix = SuffixChosen();
  p.IncreaseValue = step_spin_->value();
  // The box shows the number of the next archive; the project keeps the
  // number of the last one.
  p.Value = next_number_spin_->value() - step_spin_->value();
  const QString file = file_name_edit_->text().trimmed();
  const int cut = static_cast<int>(file.lastIndexOf('/'));
  p.SavePath = cut >= 0 ? S(file.left(cut + 1)) : std::string();
  p.Include.clear();
  for (int i = 0; i < include_list_->count(); ++i)
    p.Include.push_back(S(include_list_->item(i)->text()));
  p.Exclude.clear();
  for (int i = 0; i < exclude_list_->count(); ++i)
    p.Exclude.push_back(S(exclude_list_->item(i)->text()));
  p.IncludeSubfolders = subfolders_box_->isChecked();
  p.UsePassword = password_box_->isChecked();
  p.Password = S(password_edit_->text());
  p.StorePath = store_path_box_->isChecked();
  p.StoreComment = comment_box_->isChecked();
  p.Comment = S(comment_edit_->text());
  schedule_.Store(p);
  p.PackLevel = level_spin_->value();
  p.StoreNumber = keep_count_spin_->value();
  p.UseNewer = newer_only_box_->isChecked();
  p.UseToday = use_last_date_box_->isChecked();
  const QDate d = newer_date_edit_->date();
  if (auto day = EncodeDateTime(d.year(), d.month(), d.day()))
    p.NewerThan = *day + TimeOfDay(newer_time_edit_->time());
  return p;
}

// ---------------------------------------------------------------------------
// Project commands

void TBackupPage::OnAddProject() {
  host_.ShowPage(app::Page::kBackup);
  const bool finished =
      new_project_dialog_ ? new_project_dialog_(this) : RunNewProjectWizard(host_, window());
  if (finished) (void)RunCommand(ui_, [this] { host_.ReloadSettings(); });
}

void TBackupPage::OnEditProject() {
  if (host_.ProjectNames().empty()) return;
  host_.ShowPage(app::Page::kBackup);
  SetEditMode(true);
}

bool TBackupPage::OnSaveProject() {
  const std::string name = host_.SelectedProject();
  if (name.empty()) return false;
  BackupProject p;
  if (!RunCommand(ui_, [&] { p = PageProject(); })) return false;
  if (auto message =
          CheckProject(S(file_name_edit_->text()), p, S(confirm_password_edit_->text()))) {
    ui_.ShowError(*message);
    return false;
  }
  // The folder is cut from the archive path at its last "/"; one inside the
  // prefix would store a folder and prefix other than those shown.
  if (!IsFileNamePart(p.FilenamePrefix)) {
    ui_.ShowError(kBadPrefixMessage);
    return false;
  }
  if (const std::string warning = RepeatedNameWarning(p.Suffix, host_.Settings().OverwriteExisting);
      !warning.empty())
    ui_.ShowWarning(warning);
  if (!RunCommand(ui_, [&] { WriteProject(host_.DataDir(), name, p); })) return false;
  ShowStored(p);
  SetEditMode(false);
  host_.ProjectSaved();
  return true;
}

void TBackupPage::OnCancelEdit() {
  SetEditMode(false);
  ShowSelectedProject();
}

namespace {

std::optional<QString> AskName(const TBackupPage::NameAsker& asker, const QString& caption,
                               const QString& initial, UserInteraction& ui, QWidget* parent) {
  if (asker) return asker(caption, initial);
  TFormRename dialog(caption, initial, ui, parent);
  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  return dialog.Name();
}

}  // namespace

void TBackupPage::OnRenameProject() {
  const std::string old_name = host_.SelectedProject();
  if (old_name.empty()) return;
  ChangeProjectName("Rename Project", Q(old_name), RenameProject);
}

void TBackupPage::OnCopyProject() {
  const std::string selected = host_.SelectedProject();
  if (selected.empty()) return;
  // A copy made while editing stores the unsaved page, so it must pass the
  // checks Save applies; otherwise the copy would be stored without, say,
  // any file to back up. Nothing is asked or written then, and editing goes
  // on.
  if (editing_) {
    BackupProject page;
    if (!RunCommand(ui_, [&] { page = PageProject(); })) return;
    if (auto message =
            CheckProject(S(file_name_edit_->text()), page, S(confirm_password_edit_->text()))) {
      ui_.ShowError(*message);
      return;
    }
  }
  // The page keeps showing the settings that were copied, now under the new
  // name.
  ChangeProjectName("Copy Project", Q("Copy of " + selected), CopyProject);
}

void TBackupPage::ChangeProjectName(const QString& caption, const QString& proposal,
                                    const NameStoreOperation& store) {
  // The page is taken before the question: while the dialog is open a
  // scheduled start or a tray item may show and run another project.
  const std::string selected = host_.SelectedProject();
  BackupProject p;
  if (!RunCommand(ui_, [&] { p = PageProject(); })) return;
  const auto answer = AskName(ask_name_, caption, proposal, ui_, this);
  if (!answer) return;
  std::vector<std::string> names = host_.ProjectNames();
  NameChange change = NameChange::kSameProject;
  const std::string new_name = S(answer->trimmed());
  if (!RunCommand(ui_, [&] { change = store(host_.DataDir(), names, selected, new_name, p); }))
    return;
  if (change == NameChange::kNameExists) {
    ui_.ShowError("Project Name exists,Rename fail!");
    return;
  }
  if (change == NameChange::kSameProject) return;
  host_.ProjectListChanged(names, new_name);
  SetEditMode(false);
  // Shown as stored: the same settings the page held, and the pages that
  // follow the selected project see the new name's own (default) restore
  // settings.
  ShowSelectedProject();
}

void TBackupPage::OnDeleteProject() {
  const std::string name = host_.SelectedProject();
  if (name.empty()) return;
  if (!ui_.AskYesNo("Do you want to delete '" + name + "' project?", MessageKind::kWarning)) return;
  std::vector<std::string> names = host_.ProjectNames();
  if (!RunCommand(ui_, [&] { DeleteProject(host_.DataDir(), names, name); })) return;
  host_.ProjectListChanged(names, names.empty() ? std::string() : names.front());
  if (names.empty()) {
    prefix_edit_->clear();
    file_name_edit_->clear();
    include_list_->clear();
    exclude_list_->clear();
  } else {
    ShowSelectedProject();
  }
}

// ---------------------------------------------------------------------------
// Runs

BackupRunResult TBackupPage::OnCreateBackup() {
  BackupRunResult result;
  const std::string name = host_.SelectedProject();
  if (name.empty() || host_.Busy() || editing_) return result;

  BackupRunRequest request;
  request.data_dir = host_.DataDir();
  request.project_name = name;
  request.settings = host_.Settings();
  std::unique_ptr<app::ActivityLog> log;
  // The run logs into log.txt itself; the Log page rereads it afterwards.
  if (!RunCommand(ui_, [&] {
        request.project = PageProject();
        log = host_.OpenRunLog();
      }))
    return result;
  request.file_name = S(file_name_edit_->text());
  request.confirm_password = S(confirm_password_edit_->text());
  request.project.SavePath = save_folder_;

  BackupRunHooks hooks;
  static_cast<app::RunProgress&>(hooks) = host_.ProgressHooks();
  hooks.ui = &ui_;
  hooks.log = log.get();
  hooks.on_archive_name = [this](const std::string& path) { ShowArchiveName(path); };
  hooks.clock = [this] { return host_.Now(); };

  const app::Page page = host_.CurrentPage();
  result = RunBackup(request, hooks);
  // A run that went wrong past its own reporting must still leave a usable
  // window.
  if (host_.Busy() && hooks.set_running) hooks.set_running(false);
  (void)RunCommand(ui_, [this] { host_.LoadLog(); });
  if (result.status == RunStatus::kNotStarted) return result;

  // The page follows what the run advanced: the next number, the newer-than
  // moment and the next archive name.
  if (result.status == RunStatus::kSucceeded && host_.SelectedProject() == name) {
    const QSignalBlocker block(next_number_spin_);
    if (result.project.Suffix == kSuffixNumber)
      next_number_spin_->setValue(NextNumber(result.project));
    if (result.project.UseToday) ShowNewerThan(result.project.NewerThan);
  }
  if (!result.next_file_name.empty() && host_.SelectedProject() == name)
    ShowArchiveName(result.next_file_name);
  // The page that was active comes back and is told so, as if it had just
  // been chosen: a Restore page that stayed visible lists the new archive.
  host_.ReenterPage(page);
  return result;
}

// ---------------------------------------------------------------------------

TBackupPage* InstallBackupPage(app::PageHost& host, QWidget* area) {
  auto* layout = new QVBoxLayout(area);
  layout->setContentsMargins(0, 0, 0, 0);
  auto* page = new TBackupPage(host, area);
  layout->addWidget(page);
  app::PageHooks& hooks = host.Hooks();
  using app::Command;
  const std::pair<Command, void (TBackupPage::*)()> commands[] = {
      {Command::kAddProject, &TBackupPage::OnAddProject},
      {Command::kEditProject, &TBackupPage::OnEditProject},
      {Command::kCancelEdit, &TBackupPage::OnCancelEdit},
      {Command::kRenameProject, &TBackupPage::OnRenameProject},
      {Command::kCopyProject, &TBackupPage::OnCopyProject},
      {Command::kDeleteProject, &TBackupPage::OnDeleteProject}};
  for (const auto& [command, handler] : commands)
    hooks.commands[command] = [page, h = handler] { (page->*h)(); };
  hooks.commands[Command::kSaveProject] = [page] { (void)page->OnSaveProject(); };
  hooks.commands[Command::kCreateBackup] = [page] { (void)page->OnCreateBackup(); };
  hooks.project_selected.push_back([page] { page->LoadProjectPage(); });
  hooks.archive_named = [page](const std::string& path) { page->ShowArchiveName(path); };
  return page;
}

}  // namespace zb::backup::ui
