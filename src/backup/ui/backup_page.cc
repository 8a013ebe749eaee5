#include "backup/ui/backup_page.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QSpinBox>
#include <QStyle>
#include <QStyledItemDelegate>
#include <QTabWidget>
#include <QTimeEdit>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>

#include "app/activity_log.h"
#include "shell/main_window.h"
#include "app/user_interaction.h"
#include "backup/archive_naming.h"
#include "backup/retention_ring.h"
#include "backup/ui/entry_delegate.h"
#include "backup/ui/file_picker.h"
#include "backup/ui/list_commands.h"
#include "backup/ui/new_project_wizard.h"
#include "backup/ui/password_box.h"
#include "backup/ui/project_name_dialog.h"
#include "backup/ui/wildcard_picker.h"
#include "base/errors.h"

namespace zb::backup::ui {

namespace {

constexpr int kBackupPageIndex = 0;
// Messages of a scheduled start close by themselves after this long.
constexpr int kScheduledMessageSeconds = 6;

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

TBackupPage::TBackupPage(shell::TFormMain& window, QWidget* parent)
    : QWidget(parent), window_(window), ui_(window.Ui()) {
  setObjectName("BackupPage");
  auto* columns = new QHBoxLayout(this);
  columns->setContentsMargins(4, 4, 4, 4);
  columns->setSpacing(4);

  GroupSource_ = new QGroupBox("Source", this);
  GroupSource_->setObjectName("GroupSource");
  BuildSource(GroupSource_);
  columns->addWidget(GroupSource_, 5);

  auto* right = new QVBoxLayout;
  GroupDes_ = new QGroupBox("Destination", this);
  GroupDes_->setObjectName("GroupDes");
  BuildDestination(GroupDes_);
  right->addWidget(GroupDes_);
  GroupOption_ = new QGroupBox("Options", this);
  GroupOption_->setObjectName("GroupOption");
  BuildOptions(GroupOption_);
  right->addWidget(GroupOption_);
  GroupSche_ = new QGroupBox("Schedule", this);
  GroupSche_->setObjectName("GroupSche");
  BuildSchedule(GroupSche_);
  right->addWidget(GroupSche_);
  right->addStretch();
  right->setSpacing(2);
  columns->addLayout(right, 4);
  // The window is of fixed size: the groups are packed tightly.
  for (QGroupBox* g : {GroupDes_, GroupOption_, GroupSche_}) {
    g->layout()->setContentsMargins(6, 2, 6, 2);
    g->layout()->setSpacing(2);
  }

  // Toolbar commands of the shell.
  const struct {
    const char* name;
    void (TBackupPage::*handler)();
  } commands[] = {
      {"SpNew", &TBackupPage::SpNewClick},       {"SpEdit", &TBackupPage::SpEditClick},
      {"SpCancel", &TBackupPage::SpCancelClick}, {"SpRename", &TBackupPage::SpRenameClick},
      {"spCopy", &TBackupPage::spCopyClick},     {"SpDelete", &TBackupPage::SpDeleteClick}};
  for (const auto& c : commands)
    if (QToolButton* b = ToolbarButton(c.name))
      connect(b, &QToolButton::clicked, this, [this, h = c.handler] { (this->*h)(); });
  if (QToolButton* b = ToolbarButton("SpSave"))
    connect(b, &QToolButton::clicked, this, [this] { (void)SpSaveClick(); });
  if (QToolButton* b = ToolbarButton("SpStart"))
    connect(b, &QToolButton::clicked, this, [this] { (void)SpStartClick(false); });

  QComboBox* box = window_.ProjectBox();
  InstallProjectBoxDrawing(box, window_.DataDir());
  connect(box, &QComboBox::currentIndexChanged, this,
          [this] { (void)RunCommand(ui_, [this] { LoadProjectPage(); }); });
  connect(&window_, &shell::TFormMain::BusyChanged, this, &TBackupPage::OnBusyChanged);

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
  ListboxBackup_ = new QListWidget(group);
  ListboxBackup_->setObjectName("ListboxBackup");
  ListboxBackup_->setItemDelegate(new TEntryDelegate(ListboxBackup_));
  grid->addWidget(ListboxBackup_, 1, 0);
  grid->addLayout(
      make_buttons("Button1", "Button2", "Button4", "SpeedButton1", "SpeedButton3", "SpeedButton4"),
      1, 1);

  // The caption is long: a wrapping label beside the box, clicking either
  // toggles it.
  auto* subfolders = new QHBoxLayout;
  radioyes_ = new QCheckBox(group);
  radioyes_->setObjectName("radioyes");
  radioyes_->setAccessibleName(
      "Include Subdirectories ( if checked, it will also look for the files in subfolders )");
  auto* subfolders_label = new QLabel(radioyes_->accessibleName(), group);
  subfolders_label->setObjectName("LabelSubfolders");
  subfolders_label->setWordWrap(true);
  subfolders_label->installEventFilter(this);
  subfolders->addWidget(radioyes_, 0, Qt::AlignTop);
  subfolders->addWidget(subfolders_label, 1);
  grid->addLayout(subfolders, 2, 0, 1, 2);

  auto* newer = new QGridLayout;
  newer->setVerticalSpacing(2);
  CheckBoxAddNewer_ = new QCheckBox("Only files newer than", group);
  CheckBoxAddNewer_->setObjectName("CheckBoxAddNewer");
  DateTimePickerToday_ = new QDateEdit(group);
  DateTimePickerToday_->setObjectName("DateTimePickerToday");
  DateTimePickerToday_->setCalendarPopup(true);
  DateTimePickerToday_->setDisplayFormat("yyyy-MM-dd");
  FitDateBox(DateTimePickerToday_);
  DateTimePickerTime_ = new QTimeEdit(group);
  DateTimePickerTime_->setObjectName("DateTimePickerTime");
  DateTimePickerTime_->setDisplayFormat("HH:mm:ss");
  CheckBoxToday_ = new QCheckBox("Use last backup date", group);
  CheckBoxToday_->setObjectName("CheckBoxToday");
  newer->addWidget(CheckBoxAddNewer_, 0, 0);
  newer->addWidget(DateTimePickerToday_, 0, 1);
  newer->addWidget(DateTimePickerTime_, 0, 2);
  newer->addWidget(CheckBoxToday_, 1, 1, 1, 2);
  newer->setColumnStretch(3, 1);
  grid->addLayout(newer, 3, 0, 1, 2);

  auto* label_ex = new QLabel("Select files to exclude", group);
  label_ex->setObjectName("Label3");
  grid->addWidget(label_ex, 4, 0, 1, 2);
  ListBoxNobackup_ = new QListWidget(group);
  ListBoxNobackup_->setObjectName("ListBoxNobackup");
  ListBoxNobackup_->setItemDelegate(new TEntryDelegate(ListBoxNobackup_));
  grid->addWidget(ListBoxNobackup_, 5, 0);
  grid->addLayout(
      make_buttons("Button6", "Button3", "Button5", "SpeedButton2", "SpeedButton6", "SpeedButton5"),
      5, 1);
  grid->setRowStretch(1, 3);
  grid->setRowStretch(5, 2);

  auto on = [this, group](const char* name, auto fn) {
    connect(group->findChild<QAbstractButton*>(name), &QAbstractButton::clicked, this, fn);
  };
  on("Button4", [this] { list_commands::DeleteListItem(ListboxBackup_, ui_); });
  on("SpeedButton1", [this] { list_commands::ClearList(ListboxBackup_); });
  on("SpeedButton3", [this] { list_commands::MoveListItemUp(ListboxBackup_); });
  on("SpeedButton4", [this] { list_commands::MoveListItemDown(ListboxBackup_); });
  on("Button5", [this] { list_commands::DeleteListItem(ListBoxNobackup_, ui_); });
  on("SpeedButton2", [this] { list_commands::ClearList(ListBoxNobackup_); });
  on("SpeedButton6", [this] { list_commands::MoveListItemUp(ListBoxNobackup_); });
  on("SpeedButton5", [this] { list_commands::MoveListItemDown(ListBoxNobackup_); });
  auto pickers = [this] {
    PickerContext context;
    context.data_dir = window_.DataDir();
    context.messages = &ui_;
    context.show_help = [this](int topic) { window_.ShowHelp(topic); };
    return context;
  };
  on("Button1", [this, pickers] { (void)PickByWildcard(this, ListboxBackup_, pickers()); });
  on("Button2", [this] { (void)PickByFilename(this, ListboxBackup_); });
  on("Button6", [this, pickers] { (void)PickByWildcard(this, ListBoxNobackup_, pickers()); });
  on("Button3", [this] { (void)PickByFilename(this, ListBoxNobackup_); });
  connect(CheckBoxAddNewer_, &QCheckBox::toggled, this, &TBackupPage::NewerClick);
  connect(CheckBoxToday_, &QCheckBox::toggled, this, &TBackupPage::NewerClick);
}

bool TBackupPage::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::MouseButtonRelease && watched->objectName() == "LabelSubfolders" &&
      radioyes_->isEnabled()) {
    radioyes_->toggle();
    return true;
  }
  return QWidget::eventFilter(watched, event);
}

void TBackupPage::BuildDestination(QGroupBox* group) {
  auto* grid = new QGridLayout(group);
  grid->addWidget(new QLabel("Prefix:", group), 0, 0);
  EditPrefix_ = new QLineEdit(group);
  EditPrefix_->setObjectName("EditPrefix");
  grid->addWidget(EditPrefix_, 0, 1, 1, 4);

  grid->addWidget(new QLabel("Suffix:", group), 1, 0);
  RadioUseNone_ = new QRadioButton("None", group);
  RadioUseNone_->setObjectName("RadioUseNone");
  RadioUseDate_ = new QRadioButton("Date", group);
  RadioUseDate_->setObjectName("RadioUseDate");
  RadioUserNumber_ = new QRadioButton("Number", group);
  RadioUserNumber_->setObjectName("RadioUserNumber");
  RadioUserNumber_->setChecked(true);
  spinValue_ = new QSpinBox(group);
  spinValue_->setObjectName("spinValue");
  spinValue_->setRange(1, 1000);
  auto* suffix = new QHBoxLayout;
  suffix->addWidget(RadioUseNone_);
  suffix->addWidget(RadioUseDate_);
  suffix->addWidget(RadioUserNumber_);
  suffix->addWidget(spinValue_);
  suffix->addStretch();
  grid->addLayout(suffix, 1, 1, 1, 4);

  Labelauto_ = new QLabel("Next increase:", group);
  Labelauto_->setObjectName("Labelauto");
  SpinIncrease_ = new QSpinBox(group);
  SpinIncrease_->setObjectName("SpinIncrease");
  SpinIncrease_->setRange(1, 1000);
  auto* step = new QHBoxLayout;
  step->addWidget(Labelauto_);
  step->addWidget(SpinIncrease_);
  step->addStretch();
  grid->addLayout(step, 2, 1, 1, 4);

  grid->addWidget(new QLabel("Filename:", group), 3, 0);
  EditFilename_ = new QLineEdit(group);
  EditFilename_->setObjectName("EditFilename");
  grid->addWidget(EditFilename_, 3, 1, 1, 3);
  auto* browse = new QToolButton(group);
  browse->setObjectName("SpSelectDirectory");
  browse->setToolTip("Select directory to save");
  browse->setIcon(style()->standardIcon(QStyle::SP_DirOpenIcon));
  grid->addWidget(browse, 3, 4);
  grid->setColumnStretch(1, 1);

  for (QRadioButton* r : {RadioUseNone_, RadioUseDate_, RadioUserNumber_})
    connect(r, &QRadioButton::toggled, this, [this](bool on) {
      if (on) RadioSuffixClick();
    });
  connect(EditPrefix_, &QLineEdit::textEdited, this, &TBackupPage::RecomputeFileName);
  connect(spinValue_, &QSpinBox::valueChanged, this, &TBackupPage::RecomputeFileName);
  connect(SpinIncrease_, &QSpinBox::valueChanged, this, &TBackupPage::RecomputeFileName);
  connect(browse, &QToolButton::clicked, this, &TBackupPage::SpSelectDirectoryClick);
}

void TBackupPage::BuildOptions(QGroupBox* group) {
  auto* grid = new QGridLayout(group);
  CheckBoxPassword_ = new QCheckBox("Use password protect Zip file:", group);
  CheckBoxPassword_->setObjectName("CheckBoxPassword");
  grid->addWidget(CheckBoxPassword_, 0, 0, 1, 3);
  grid->addWidget(new QLabel("Enter Password:", group), 1, 0);
  EditPassword_ = new QLineEdit(group);
  EditPassword_->setObjectName("EditPassword");
  MakePasswordBox(EditPassword_);
  grid->addWidget(EditPassword_, 1, 1, 1, 2);
  grid->addWidget(new QLabel("Retype Password:", group), 2, 0);
  EditConfirmPassword_ = new QLineEdit(group);
  EditConfirmPassword_->setObjectName("EditConfirmPassword");
  MakePasswordBox(EditConfirmPassword_);
  grid->addWidget(EditConfirmPassword_, 2, 1, 1, 2);

  CheckBoxpath_ = new QCheckBox("Save full path information to Zip", group);
  CheckBoxpath_->setObjectName("CheckBoxpath");
  grid->addWidget(CheckBoxpath_, 3, 0, 1, 3);
  CheckBoxcomment_ = new QCheckBox("Add comment:", group);
  CheckBoxcomment_->setObjectName("CheckBoxcomment");
  grid->addWidget(CheckBoxcomment_, 4, 0);
  Editcomment_ = new QLineEdit(group);
  Editcomment_->setObjectName("Editcomment");
  grid->addWidget(Editcomment_, 4, 1, 1, 2);

  grid->addWidget(new QLabel("Compression ratio:", group), 5, 0);
  Trackbar1_ = new QSlider(Qt::Horizontal, group);
  Trackbar1_->setObjectName("Trackbar1");
  Trackbar1_->setRange(0, 9);
  Trackbar1_->setPageStep(1);
  Trackbar1_->setTickPosition(QSlider::TicksBelow);
  Trackbar1_->setToolTip("A value of 9 has the highest compression ratio");
  LevelBox_ = new QSpinBox(group);
  LevelBox_->setObjectName("EditLevel");
  LevelBox_->setRange(0, 9);
  LevelBox_->setToolTip("A value of 9 has the highest compression ratio");
  grid->addWidget(Trackbar1_, 5, 1);
  grid->addWidget(LevelBox_, 5, 2);

  auto* keep = new QHBoxLayout;
  keep->addWidget(new QLabel("Only keep the last ", group));
  spStore_ = new QSpinBox(group);
  spStore_->setObjectName("spStore");
  spStore_->setRange(2, 50000);
  keep->addWidget(spStore_);
  keep->addWidget(new QLabel("backups", group));
  keep->addStretch();
  grid->addLayout(keep, 6, 0, 1, 3);
  grid->setColumnStretch(1, 1);

  connect(CheckBoxPassword_, &QCheckBox::toggled, this, &TBackupPage::PasswordClick);
  connect(CheckBoxcomment_, &QCheckBox::toggled, this, &TBackupPage::CommentClick);
  connect(Trackbar1_, &QSlider::valueChanged, LevelBox_, &QSpinBox::setValue);
  connect(LevelBox_, &QSpinBox::valueChanged, Trackbar1_, &QSlider::setValue);
}

void TBackupPage::BuildSchedule(QGroupBox* group) {
  auto* grid = new QGridLayout(group);
  radioNone_ = new QRadioButton("None", group);
  radioNone_->setObjectName("radioNone");
  radioNone_->setChecked(true);
  grid->addWidget(radioNone_, 0, 0);

  radioOnce_ = new QRadioButton("Daily once at", group);
  radioOnce_->setObjectName("radioOnce");
  DateTimePicker1_ = new QTimeEdit(QTime(12, 0, 0), group);
  DateTimePicker1_->setObjectName("DateTimePicker1");
  DateTimePicker1_->setDisplayFormat("HH:mm:ss");
  grid->addWidget(radioOnce_, 1, 0);
  grid->addWidget(DateTimePicker1_, 1, 1);
  grid->addWidget(new QLabel("later", group), 1, 2);

  radioDaily_ = new QRadioButton("Daily every", group);
  radioDaily_->setObjectName("radioDaily");
  SpinEditNumber_ = new QSpinBox(group);
  SpinEditNumber_->setObjectName("SpinEditNumber");
  SpinEditNumber_->setRange(2, 1000);
  SpinEditNumber_->setValue(2);
  LabelMinutes_ = new QLabel("minutes", group);
  LabelMinutes_->setObjectName("Label11");
  grid->addWidget(radioDaily_, 2, 0);
  grid->addWidget(SpinEditNumber_, 2, 1);
  grid->addWidget(LabelMinutes_, 2, 2);

  radioWeekly_ = new QRadioButton("Weekly every on", group);
  radioWeekly_->setObjectName("radioWeekly");
  cbWeekly_ = new QComboBox(group);
  cbWeekly_->setObjectName("cbWeekly");
  for (int d = 1; d <= 7; ++d) cbWeekly_->addItem(Q(std::string(WeekDayName(d))));
  cbWeekly_->setCurrentIndex(-1);
  grid->addWidget(radioWeekly_, 3, 0);
  grid->addWidget(cbWeekly_, 3, 1);
  grid->addWidget(new QLabel("12:00:00", group), 3, 2);
  grid->setColumnStretch(3, 1);

  for (QRadioButton* r : {radioNone_, radioOnce_, radioDaily_, radioWeekly_})
    connect(r, &QRadioButton::toggled, this, [this](bool on) {
      if (on) radioNoneClick();
    });
  radioNoneClick();
}

QToolButton* TBackupPage::ToolbarButton(const char* name) const {
  return window_.findChild<QToolButton*>(name);
}

// ---------------------------------------------------------------------------
// Modes and dependent enabling

bool TBackupPage::Editing() const { return editing_; }

void TBackupPage::SetEditMode(bool editing) {
  editing_ = editing;
  // The lists stay usable for scrolling and selecting in both modes; only
  // the controls that change them follow the mode.
  for (QWidget* w : GroupSource_->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
    if (w != ListboxBackup_ && w != ListBoxNobackup_) w->setEnabled(editing);
  NewerClick();
  for (QGroupBox* g : {GroupDes_, GroupOption_, GroupSche_}) g->setEnabled(editing);
  for (const char* name : {"SpSave", "SpCancel"})
    if (QToolButton* b = ToolbarButton(name)) b->setEnabled(editing);
  RefreshCommandStates();
}

void TBackupPage::RefreshCommandStates() {
  // Browse-mode commands: off while editing, and off during a run, so that
  // the run keeps working on the project it started with.
  const bool browse = !editing_ && !running_;
  window_.ProjectBox()->setEnabled(browse);
  for (const char* name : {"SpNew", "SpEdit", "SpRename", "SpDelete"})
    if (QToolButton* b = ToolbarButton(name)) b->setEnabled(browse);
  if (QToolButton* b = ToolbarButton("spCopy")) b->setEnabled(!running_);
  if (!window_.Busy()) {
    for (const char* name : {"SpStart", "SpRestore"})
      if (QToolButton* b = ToolbarButton(name)) b->setEnabled(!editing_);
  }
  for (QAction* a : window_.findChildren<QAction*>())
    if (a->objectName() == "menuPreferences") a->setEnabled(!editing_);
}

void TBackupPage::OnBusyChanged(bool busy) {
  running_ = busy;
  RefreshCommandStates();
}

int TBackupPage::SuffixChosen() const {
  if (RadioUserNumber_->isChecked()) return kSuffixNumber;
  if (RadioUseDate_->isChecked()) return kSuffixDate;
  if (RadioUseNone_->isChecked()) return kSuffixNone;
  return kSuffixNumber;
}

void TBackupPage::RadioSuffixClick() {
  const bool number = RadioUserNumber_->isChecked();
  spinValue_->setEnabled(number);
  Labelauto_->setEnabled(number);
  SpinIncrease_->setEnabled(number);
  RecomputeFileName();
}

void TBackupPage::RecomputeFileName() {
  if (SelectedName().isEmpty()) return;
  EditFilename_->setText(
      Q(NextArchiveName(save_folder_, S(EditPrefix_->text()), SuffixChosen(), spinValue_->value(),
                        NowMoment(), NamingFrom(window_.Settings()))));
}

void TBackupPage::PasswordClick() {
  const bool on = CheckBoxPassword_->isChecked();
  EditPassword_->setEnabled(on);
  EditConfirmPassword_->setEnabled(on);
}

void TBackupPage::CommentClick() { Editcomment_->setEnabled(CheckBoxcomment_->isChecked()); }

void TBackupPage::NewerClick() {
  // The source controls follow the mode as well as their own boxes, since
  // the lists of the same group must stay usable.
  const bool newer = editing_ && CheckBoxAddNewer_->isChecked();
  CheckBoxToday_->setEnabled(newer);
  const bool moment = newer && !CheckBoxToday_->isChecked();
  DateTimePickerToday_->setEnabled(moment);
  DateTimePickerTime_->setEnabled(moment);
}

void TBackupPage::radioNoneClick() {
  DateTimePicker1_->setEnabled(radioOnce_->isChecked());
  SpinEditNumber_->setEnabled(radioDaily_->isChecked());
  LabelMinutes_->setEnabled(radioDaily_->isChecked());
  cbWeekly_->setEnabled(radioWeekly_->isChecked());
  if (radioWeekly_->isChecked() && cbWeekly_->currentIndex() < 0) cbWeekly_->setCurrentIndex(0);
}

void TBackupPage::SpSelectDirectoryClick() {
  const std::optional<QString> folder =
      CurrentPickerDialogs().SelectFolder(this, "Please select directory");
  if (!folder || folder->isEmpty() || SelectedName().isEmpty()) return;
  save_folder_ = S(*folder);
  if (!save_folder_.empty() && save_folder_.back() != '/') save_folder_ += '/';
  RecomputeFileName();
}

// ---------------------------------------------------------------------------
// Showing a project

QString TBackupPage::SelectedName() const { return window_.ProjectBox()->currentText(); }

std::vector<std::string> TBackupPage::ProjectList() const {
  std::vector<std::string> names;
  for (const QString& n : window_.ProjectNames()) names.push_back(S(n));
  return names;
}

void TBackupPage::FillProjectBox(const std::vector<std::string>& names,
                                 const std::string& selected) {
  QComboBox* box = window_.ProjectBox();
  const QSignalBlocker block(box);
  box->clear();
  for (const std::string& n : names) box->addItem(Q(n));
  box->setCurrentIndex(FindProjectName(names, selected));
}

void TBackupPage::ShowNewerThan(DateTime moment) {
  QDate date = QDateOf(moment);
  QTime time = QTimeOf(moment);
  if (!date.isValid() || !time.isValid()) {
    const QDateTime now = QDateTime::currentDateTime();
    date = now.date();
    time = now.time();
  }
  DateTimePickerToday_->setDate(date);
  DateTimePickerTime_->setTime(time);
}

void TBackupPage::ShowSchedule(const BackupProject& p) {
  switch (p.BackupMode) {
    case kModeDaily:
      radioOnce_->setChecked(true);
      DateTimePicker1_->setTime(QTimeOf(p.StartTime).isValid() ? QTimeOf(p.StartTime)
                                                               : QTime(12, 0, 0));
      break;
    case kModeInterval:
      radioDaily_->setChecked(true);
      SpinEditNumber_->setValue(std::clamp(p.IntervalMinutes, 2, 1000));
      break;
    case kModeWeekly:
      radioWeekly_->setChecked(true);
      break;
    case kModeNone:
      radioNone_->setChecked(true);
      break;
    default:
      break;
  }
  radioNoneClick();
  // The stored day wins over the Sunday a click on "Weekly every on" offers:
  // a day name that is not one of the seven shows no day, as it is stored.
  if (p.BackupMode == kModeWeekly)
    cbWeekly_->setCurrentIndex(p.WeekDay >= 1 && p.WeekDay <= 7 ? p.WeekDay - 1 : -1);
}

void TBackupPage::LoadProjectPage() {
  const QString name = SelectedName();
  if (name.isEmpty()) return;
  ShowProject(ReadProject(window_.DataDir(), S(name)));
  window_.Pages()->setCurrentIndex(kBackupPageIndex);
}

bool TBackupPage::ShowSelectedProject(bool scheduled) {
  // The window's hook also brings the Restore page's settings of the project
  // along; the page alone when no hook is installed.
  shell::TMainPageHooks& hooks = window_.Hooks();
  return RunStartStep(scheduled, SelectedName(), [&] {
    if (hooks.load_project_page)
      hooks.load_project_page();
    else
      LoadProjectPage();
  });
}

bool TBackupPage::RunStartStep(bool scheduled, const QString& project,
                               const std::function<void()>& step) {
  if (!scheduled) return RunCommand(ui_, step);
  try {
    step();
    return true;
  } catch (const EAbort&) {
    return false;
  } catch (const std::exception& e) {
    try {
      ReportScheduledFailure(ui_, *window_.OpenRunLog(), S(project), e.what());
    } catch (const std::exception&) {
      // An unreadable log: the box alone tells of the failure.
      ui_.ShowTimedMessage(WithFullStop(e.what()), MessageKind::kError, kScheduledMessageSeconds);
    }
    try {
      window_.LoadLog();
    } catch (const std::exception&) {
    }
    return false;
  }
}

void TBackupPage::ShowProject(const BackupProject& p) {
  // The boxes are filled without their change handlers; the file name is
  // computed once below.
  {
    const QSignalBlocker b1(EditPrefix_), b2(spinValue_), b3(SpinIncrease_);
    const QSignalBlocker b4(RadioUseNone_), b5(RadioUseDate_), b6(RadioUserNumber_);
    EditPrefix_->setText(Q(p.FilenamePrefix));
    // A hand-edited mode outside the three names like Number, as every run
    // reads it; left as it was, the page would name this project's archives
    // by the mode of the project shown before.
    if (p.Suffix == kSuffixNone) RadioUseNone_->setChecked(true);
    if (p.Suffix == kSuffixDate) RadioUseDate_->setChecked(true);
    if (p.Suffix != kSuffixNone && p.Suffix != kSuffixDate) RadioUserNumber_->setChecked(true);
    if (RadioUserNumber_->isChecked()) {
      SpinIncrease_->setValue(std::clamp(p.IncreaseValue, 1, 1000));
      spinValue_->setValue(NextNumber(p));
    }
  }
  const bool number = RadioUserNumber_->isChecked();
  spinValue_->setEnabled(number);
  Labelauto_->setEnabled(number);
  SpinIncrease_->setEnabled(number);
  save_folder_ = p.SavePath;
  RecomputeFileName();

  ListboxBackup_->clear();
  for (const std::string& e : p.Include) ListboxBackup_->addItem(Q(e));
  ListBoxNobackup_->clear();
  for (const std::string& e : p.Exclude) ListBoxNobackup_->addItem(Q(e));

  radioyes_->setChecked(p.IncludeSubfolders);
  CheckBoxPassword_->setChecked(p.UsePassword);
  EditPassword_->setText(Q(p.Password));
  EditConfirmPassword_->setText(Q(p.Password));
  PasswordClick();
  CheckBoxpath_->setChecked(p.StorePath);
  CheckBoxcomment_->setChecked(p.StoreComment);
  Editcomment_->setText(Q(p.Comment));
  CommentClick();
  ShowSchedule(p);
  LevelBox_->setValue(std::clamp(p.PackLevel, 0, 9));
  spStore_->setValue(std::clamp(p.StoreNumber, 2, 50000));
  CheckBoxAddNewer_->setChecked(p.UseNewer);
  CheckBoxToday_->setChecked(p.UseToday);
  ShowNewerThan(p.NewerThan);
  NewerClick();
}

void TBackupPage::ShowStored(const BackupProject& stored) {
  // What the store did to the page's values shows at once: the prefix is
  // trimmed, and a password or comment that was not written leaves its
  // boxes empty.
  save_folder_ = stored.SavePath;
  if (stored.FilenamePrefix != S(EditPrefix_->text()))
    EditPrefix_->setText(Q(stored.FilenamePrefix));
  if (!stored.UsePassword || stored.Password.empty()) {
    EditPassword_->clear();
    EditConfirmPassword_->clear();
  }
  if (!stored.StoreComment || stored.Comment.empty()) Editcomment_->clear();
}

BackupProject TBackupPage::PageProject() const {
  BackupProject p = ReadProject(window_.DataDir(), S(SelectedName()));
  p.FilenamePrefix = S(EditPrefix_->text());
  p.Suffix = SuffixChosen();
  p.IncreaseValue = SpinIncrease_->value();
  // The box shows the number of the next archive; the project keeps the
  // number of the last one.
  p.Value = spinValue_->value() - SpinIncrease_->value();
  const QString file = EditFilename_->text().trimmed();
  const int cut = static_cast<int>(file.lastIndexOf('/'));
  p.SavePath = cut >= 0 ? S(file.left(cut + 1)) : std::string();
  p.Include.clear();
  for (int i = 0; i < ListboxBackup_->count(); ++i)
    p.Include.push_back(S(ListboxBackup_->item(i)->text()));
  p.Exclude.clear();
  for (int i = 0; i < ListBoxNobackup_->count(); ++i)
    p.Exclude.push_back(S(ListBoxNobackup_->item(i)->text()));
  p.IncludeSubfolders = radioyes_->isChecked();
  p.UsePassword = CheckBoxPassword_->isChecked();
  p.Password = S(EditPassword_->text());
  p.StorePath = CheckBoxpath_->isChecked();
  p.StoreComment = CheckBoxcomment_->isChecked();
  p.Comment = S(Editcomment_->text());
  p.BackupMode = radioNone_->isChecked()     ? kModeNone
                 : radioWeekly_->isChecked() ? kModeWeekly
                 : radioDaily_->isChecked()  ? kModeInterval
                                             : kModeDaily;
  p.StartTime = TimeOfDay(DateTimePicker1_->time());
  p.IntervalMinutes = SpinEditNumber_->value();
  p.WeekDay = WeekDayFromName(S(cbWeekly_->currentText()));
  p.PackLevel = LevelBox_->value();
  p.StoreNumber = spStore_->value();
  p.UseNewer = CheckBoxAddNewer_->isChecked();
  p.UseToday = CheckBoxToday_->isChecked();
  const QDate d = DateTimePickerToday_->date();
  if (auto day = EncodeDateTime(d.year(), d.month(), d.day()))
    p.NewerThan = *day + TimeOfDay(DateTimePickerTime_->time());
  return p;
}

// ---------------------------------------------------------------------------
// Project commands

void TBackupPage::SpNewClick() {
  window_.Pages()->setCurrentIndex(kBackupPageIndex);
  const bool finished =
      new_project_dialog_ ? new_project_dialog_(this) : RunNewProjectWizard(window_);
  if (finished) (void)RunCommand(ui_, [this] { window_.LoadAppSettings(); });
}

void TBackupPage::SpEditClick() {
  if (window_.ProjectBox()->count() == 0) return;
  window_.Pages()->setCurrentIndex(kBackupPageIndex);
  SetEditMode(true);
}

bool TBackupPage::SpSaveClick() {
  const QString name = SelectedName();
  if (name.isEmpty()) return false;
  BackupProject p = PageProject();
  if (auto message = CheckProject(S(EditFilename_->text()), p, S(EditConfirmPassword_->text()))) {
    ui_.ShowError(*message);
    return false;
  }
  const bool written = RunCommand(ui_, [&] { WriteProject(window_.DataDir(), S(name), p); });
  if (!written) return false;
  ShowStored(p);
  SetEditMode(false);
  RebuildSchedule();
  window_.ProjectBox()->update();
  return true;
}

void TBackupPage::SpCancelClick() {
  SetEditMode(false);
  (void)ShowSelectedProject();
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

void TBackupPage::SpRenameClick() {
  const QString old_name = SelectedName();
  if (old_name.isEmpty()) return;
  ChangeProjectName("Rename Project", old_name, RenameProject);
}

void TBackupPage::spCopyClick() {
  const QString selected = SelectedName();
  if (selected.isEmpty()) return;
  // A copy made while editing stores the unsaved page, so it must pass the
  // checks Save applies; otherwise the copy would be stored without, say,
  // any file to back up. Nothing is asked or written then, and editing goes
  // on.
  if (editing_) {
    const BackupProject page = PageProject();
    if (auto message =
            CheckProject(S(EditFilename_->text()), page, S(EditConfirmPassword_->text()))) {
      ui_.ShowError(*message);
      return;
    }
  }
  // The page keeps showing the settings that were copied, now under the new
  // name.
  ChangeProjectName("Copy Project", "Copy of " + selected, CopyProject);
}

void TBackupPage::ChangeProjectName(const QString& caption, const QString& proposal,
                                    const NameStoreOperation& store) {
  // The page is taken before the question: while the dialog is open a
  // scheduled start or a tray item may show and run another project.
  const QString selected = SelectedName();
  BackupProject p;
  if (!RunCommand(ui_, [&] { p = PageProject(); })) return;
  const auto answer = AskName(ask_name_, caption, proposal, ui_, this);
  if (!answer) return;
  std::vector<std::string> names = ProjectList();
  NameChange change = NameChange::kSameProject;
  const std::string new_name = S(answer->trimmed());
  if (!RunCommand(ui_, [&] { change = store(window_.DataDir(), names, S(selected), new_name, p); }))
    return;
  if (change == NameChange::kNameExists) {
    ui_.ShowError("Project Name exists,Rename fail!");
    return;
  }
  if (change == NameChange::kSameProject) return;
  FillProjectBox(names, new_name);
  window_.RebuildBackupMenu();
  SetEditMode(false);
  // Shown as stored: the same settings the page held, and the pages that
  // follow the selected project see the new name's own (default) restore
  // settings.
  (void)ShowSelectedProject();
  RebuildSchedule();
}

void TBackupPage::SpDeleteClick() {
  const QString name = SelectedName();
  if (window_.ProjectBox()->count() == 0 || name.isEmpty()) return;
  if (!ui_.AskYesNo("Do you want to delete '" + S(name) + "' project?", MessageKind::kWarning))
    return;
  std::vector<std::string> names = ProjectList();
  if (!RunCommand(ui_, [&] { DeleteProject(window_.DataDir(), names, S(name)); })) return;
  FillProjectBox(names, names.empty() ? std::string() : names.front());
  window_.RebuildBackupMenu();
  if (names.empty()) {
    EditPrefix_->clear();
    EditFilename_->clear();
    ListboxBackup_->clear();
    ListBoxNobackup_->clear();
  } else {
    (void)ShowSelectedProject();
  }
  RebuildSchedule();
}

// ---------------------------------------------------------------------------
// Runs

BackupRunResult TBackupPage::SpStartClick(bool scheduled) {
  BackupRunResult result;
  const QString name = SelectedName();
  if (name.isEmpty() || running_ || editing_) return result;

  BackupRunRequest request;
  request.data_dir = window_.DataDir();
  request.project_name = S(name);
  request.settings = window_.Settings();
  request.scheduled = scheduled;
  if (!RunStartStep(scheduled, name, [&] { request.project = PageProject(); })) return result;
  if (!scheduled) {
    request.file_name = S(EditFilename_->text());
    request.confirm_password = S(EditConfirmPassword_->text());
  }
  request.project.SavePath = save_folder_;

  // The run logs into log.txt itself; the Log page rereads it afterwards.
  const std::unique_ptr<app::ActivityLog> log = window_.OpenRunLog();
  BackupRunHooks hooks;
  static_cast<app::RunProgress&>(hooks) = window_.ProgressHooks();
  hooks.ui = &ui_;
  hooks.log = log.get();
  hooks.on_archive_name = [this](const std::string& path) { EditFilename_->setText(Q(path)); };
  if (clock_) hooks.clock = clock_;

  const int page = window_.Pages()->currentIndex();
  result = RunBackup(request, hooks);
  // A run that went wrong past its own reporting must still leave a usable
  // window.
  if (window_.Busy()) {
    window_.SetBusy(true);
    window_.ShowProgress(false);
  }
  if (!scheduled) {
    (void)RunCommand(ui_, [this] { window_.LoadLog(); });
  } else {
    try {
      window_.LoadLog();
    } catch (const std::exception& e) {
      ui_.ShowTimedMessage(WithFullStop(e.what()), MessageKind::kError, kScheduledMessageSeconds);
    }
  }
  if (result.status == RunStatus::kNotStarted) return result;

  // The page follows what the run advanced: the next number, the newer-than
  // moment and the next archive name.
  if (result.status == RunStatus::kSucceeded && SelectedName() == name) {
    const QSignalBlocker block(spinValue_);
    if (result.project.Suffix == kSuffixNumber) spinValue_->setValue(NextNumber(result.project));
    if (result.project.UseToday) ShowNewerThan(result.project.NewerThan);
  }
  if (!result.next_file_name.empty() && SelectedName() == name)
    EditFilename_->setText(Q(result.next_file_name));
  // The page that was active comes back and is told so, as if it had just
  // been chosen: a Restore page that stayed visible lists the new archive.
  QTabWidget* pages = window_.Pages();
  if (pages->currentIndex() != page)
    pages->setCurrentIndex(page);
  else
    emit pages->currentChanged(page);
  return result;
}

void TBackupPage::BackupProjectChosen(const QString& name) {
  QComboBox* box = window_.ProjectBox();
  const int index = box->findText(name, Qt::MatchFixedString);
  if (index < 0) return;
  {
    const QSignalBlocker block(box);
    box->setCurrentIndex(index);
  }
  if (!ShowSelectedProject()) return;
  // Chosen during editing, the stored project replaces the unsaved page and
  // runs; the page stays in edit mode.
  const bool was_editing = editing_;
  editing_ = false;
  (void)SpStartClick(false);
  editing_ = was_editing;
  RefreshCommandStates();
}

// ---------------------------------------------------------------------------
// Schedule

void TBackupPage::RebuildSchedule() {
  QTimer* timer = window_.ScheduleTimer();
  timer->stop();
  (void)RunCommand(
      ui_, [this] { schedule_.RebuildSchedule(window_.DataDir(), ProjectList(), NowMoment()); });
  // The tray items of scheduled projects carry the schedule image.
  static const QIcon mark(QStringLiteral(":/icons/schedule.svg"));
  for (QMenu* menu : window_.findChildren<QMenu*>())
    if (menu->objectName() == "menuBackup")
      for (QAction* item : menu->actions())
        item->setIcon(schedule_.IsScheduled(S(item->text())) ? mark : QIcon());
  if (schedule_.TimerActive()) timer->start();
  window_.ProjectBox()->update();
}

void TBackupPage::Timer1Timer() {
  // The gate is read again before each start: a run may last long, and
  // scheduling switched off meanwhile holds back the entries after it.
  const auto gate = [this] {
    schedule::TickGate g;
    g.scheduling_enabled = window_.SchedulingButton()->isChecked();
    g.editing = editing_;
    QToolButton* start = ToolbarButton("SpStart");
    g.start_enabled = !running_ && !window_.Busy() && (!start || start->isEnabled());
    return g;
  };
  const std::function<DateTime()> clock = clock_ ? clock_ : std::function<DateTime()>(Now);
  (void)schedule_.Timer1TimerGated(gate, clock, [this](const std::string& project) {
    QComboBox* box = window_.ProjectBox();
    const int index = box->findText(Q(project), Qt::MatchFixedString);
    if (index < 0) return false;
    {
      const QSignalBlocker block(box);
      box->setCurrentIndex(index);
    }
    if (!ShowSelectedProject(true)) return true;
    (void)SpStartClick(true);
    return true;
  });
}

// ---------------------------------------------------------------------------

void InstallBackupPage(shell::TFormMain& window) {
  QWidget* holder = window.Pages()->findChild<QWidget*>("Tabbackup");
  if (!holder) return;
  auto* layout = new QVBoxLayout(holder);
  layout->setContentsMargins(0, 0, 0, 0);
  auto* page = new TBackupPage(window, holder);
  layout->addWidget(page);
  shell::TMainPageHooks& hooks = window.Hooks();
  hooks.load_project_page = [page] { page->LoadProjectPage(); };
  hooks.rebuild_schedule = [page] { page->RebuildSchedule(); };
  hooks.timer_tick = [page] { page->Timer1Timer(); };
  hooks.backup_project_chosen = [page](const QString& name) { page->BackupProjectChosen(name); };
}

}  // namespace zb::backup::ui
