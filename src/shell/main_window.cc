#include "shell/main_window.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDesktopServices>
#include <QDialog>
#include <QFile>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHash>
#include <QHeaderView>
#include <QIcon>
#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSignalBlocker>
#include <QSystemTrayIcon>
#include <QTabWidget>
#include <QTableView>
#include <QTimer>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>
#include <cstdio>

#include "app/ui/msg_form.h"
#include "app/ui/qt_user_interaction.h"
#include "app/user_interaction.h"
#include "backup/backup_project.h"
#include "base/errors.h"
#include "platform/program_dir.h"
#include "shell/log_grid_model.h"
#include "shell/preferences_dialog.h"
#include "shell/project_box.h"
#include "shell/scheduler.h"

// The icons are compiled into this static library; a static library's
// resources must be registered by hand (the linker drops the automatic
// registration) and outside any namespace.
static void InitShellResources() { Q_INIT_RESOURCE(resources); }

namespace zb::shell {
namespace {

constexpr int kClientWidth = 779;
constexpr int kClientHeight = 543;
constexpr int kToolbarHeight = 37;
constexpr int kProgressHeight = 24;
constexpr char kTrayHint[] = "Quillomar ZIP Backup. Right-click to backup";
constexpr char kWebsite[] = "https://quillomar.example/zip-backup/";

// Help contexts of the pages, in page order; the Log page opens the guide
// at its start.
constexpr int kPageHelpContexts[] = {41, 6, 103, 0};

// The page areas, in tab order.
constexpr struct {
  const char* name;
  const char* caption;
} kPages[] = {{"Tabbackup", "Backup "},
              {"TabRestore", "Restore"},
              {"TabSync", "Synchronize"},
              {"TabLog", "Log"}};

int IndexOf(app::Page page) { return static_cast<int>(page); }

QIcon ScheduleIcon(bool on) {
  return QIcon(on ? QStringLiteral(":/icons/forauto.svg")
                  : QStringLiteral(":/icons/fornormal.svg"));
}

}  // namespace

TFormMain::TFormMain(Options options, QWidget* parent)
    : QMainWindow(parent),
      data_dir_(std::move(options.data_dir)),
      help_dir_(std::move(options.help_dir)),
      ui_(options.ui),
      open_url_(std::move(options.open_url)),
      install_pages_(std::move(options.install_pages)),
      log_(data_dir_ / "log.txt") {
  InitShellResources();
  if (ui_ == nullptr) {
    own_ui_ = std::make_unique<app::QtUserInteraction>(this);
    ui_ = own_ui_.get();
  }
  if (!open_url_) open_url_ = [](const QUrl& url) { return QDesktopServices::openUrl(url); };
  tray_override_ = options.tray_available;
  Initialize();
}

TFormMain::~TFormMain() {
  if (QApplication::overrideCursor() != nullptr && busy_) QApplication::restoreOverrideCursor();
  // The widgets outlive this part of the window while QWidget deletes them;
  // what they signal then must not reach it or the pages.
  project_box_->disconnect(this);
  pages_->disconnect(this);
}

// ---------------------------------------------------------------------------
// Building the window

QToolButton* TFormMain::AddButton(const char* name, const char* icon, const char* hint) {
  auto* b = new QToolButton;
  b->setObjectName(name);
  b->setIcon(QIcon(QStringLiteral(":/icons/") + icon + QStringLiteral(".svg")));
  b->setIconSize(QSize(24, 24));
  b->setFixedSize(32, 32);
  b->setAutoRaise(true);
  b->setToolTip(QString::fromUtf8(hint));
  return b;
}

void TFormMain::CreateToolbar(QWidget* panel) {
  auto* row = new QHBoxLayout(panel);
  row->setContentsMargins(6, 2, 6, 2);
  row->setSpacing(2);
  auto* label = new QLabel("Project:", panel);
  label->setObjectName("Label1");
  row->addWidget(label);
  project_box_ = new QComboBox(panel);
  project_box_->setObjectName("comboProject");
  project_box_->setFixedWidth(180);
  project_box_->setEditable(false);
  row->addWidget(project_box_);
  row->addSpacing(6);

  struct ButtonDef {
    const char* name;
    const char* icon;
    const char* hint;
    app::Command command;
  };
  // The hints are the toolbar's texts as users know them, "Cancel " included.
  const ButtonDef project_buttons[] = {
      {"SpNew", "new", "Add Project", app::Command::kAddProject},
      {"SpEdit", "edit", "Edit Project", app::Command::kEditProject},
      {"SpSave", "save", "Save Project", app::Command::kSaveProject},
      {"SpCancel", "cancel", "Cancel ", app::Command::kCancelEdit},
      {"SpRename", "rename", "Rename Project", app::Command::kRenameProject},
      {"spCopy", "copy", "Copy Project", app::Command::kCopyProject},
      {"SpDelete", "delete", "Delete Project", app::Command::kDeleteProject},
  };
  const ButtonDef run_buttons[] = {
      {"SpStart", "start", "Create Backup", app::Command::kCreateBackup},
      {"SpRestore", "restore", "Restore File", app::Command::kRestoreFile},
  };
  const auto add_command = [this, row](const ButtonDef& b) {
    QToolButton* button = AddButton(b.name, b.icon, b.hint);
    command_buttons_[b.command] = button;
    connect(button, &QToolButton::clicked, this, [this, c = b.command] { RunCommandOfPage(c); });
    row->addWidget(button);
  };
  for (const ButtonDef& b : project_buttons) add_command(b);
  row->addSpacing(10);

  QToolButton* menu = AddButton("SpMenu", "menu", "Menu");
  menu->setPopupMode(QToolButton::InstantPopup);
  menu->setFixedWidth(42);
  row->addWidget(menu);
  scheduling_button_ = AddButton("spEnable", "schedule", "Enable Scheduling");
  scheduling_button_->setCheckable(true);
  scheduling_button_->setChecked(true);
  row->addWidget(scheduling_button_);
  QToolButton* help = AddButton("SpeedButton15", "help", "Help");
  row->addWidget(help);
  row->addSpacing(10);
  for (const ButtonDef& b : run_buttons) add_command(b);
  row->addStretch();
  QToolButton* exit = AddButton("SpExit", "exit", "Exit");
  row->addWidget(exit);

  InstallProjectBoxDrawing(project_box_, data_dir_);
  connect(project_box_, &QComboBox::currentIndexChanged, this,
          [this] { (void)RunCommand(*ui_, [this] { TellPagesProjectSelected(); }); });
  connect(scheduling_button_, &QToolButton::clicked, this, &TFormMain::OnSchedulingToggled);
  connect(help, &QToolButton::clicked, this, &TFormMain::OnHelp);
  connect(exit, &QToolButton::clicked, this, &TFormMain::OnExit);
}

void TFormMain::CreatePages() {
  // Each page subsystem builds its page into its area here and fills the
  // hooks it serves; until then the area stays empty.
  for (const auto& p : kPages) {
    auto* page = new QWidget;
    page->setObjectName(p.name);
    pages_->addTab(page, p.caption);
  }
  CreateLogPage(PageArea(app::Page::kLog));
  connect(pages_, &QTabWidget::currentChanged, this, &TFormMain::TellPagesPageEntered);
  if (install_pages_) install_pages_(*this);
}

QWidget* TFormMain::PageArea(app::Page page) const { return pages_->widget(IndexOf(page)); }

void TFormMain::CreateLogPage(QWidget* page) {
  log_grid_ = new QTableView(page);
  log_grid_->setObjectName("LogGrid");
  log_model_ = new LogGridModel(log_, log_grid_);
  log_grid_->setModel(log_model_);
  log_grid_->setFont(QFont(QStringLiteral("Arial")));
  log_grid_->setShowGrid(false);
  log_grid_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  log_grid_->setSelectionBehavior(QAbstractItemView::SelectRows);
  log_grid_->setSelectionMode(QAbstractItemView::SingleSelection);
  log_grid_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  log_grid_->setWordWrap(false);
  log_grid_->verticalHeader()->hide();
  log_grid_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  log_grid_->verticalHeader()->setDefaultSectionSize(20);
  log_grid_->horizontalHeader()->setHighlightSections(false);
  log_grid_->horizontalHeader()->setStretchLastSection(true);
  // The widths suit the usual sans-serif faces; where the desktop's
  // substitute for Arial runs wider, a column grows just enough to show its
  // longest fixed word ("Synchronize", a full date and time) uncut.
  const QFontMetrics fm(log_grid_->font());
  const int widths[] = {std::max(130, fm.horizontalAdvance("0000-00-00 00:00:00") + 10),
                        std::max(67, fm.horizontalAdvance("Synchronize") + 10),
                        std::max(74, fm.horizontalAdvance("Interrupt") + 10), 118, 350};
  for (int c = 0; c < 5; ++c) log_grid_->setColumnWidth(c, widths[c]);
  log_grid_->setToolTip("Right-click it to open context menu");

  auto* popup = new QMenu(log_grid_);
  popup->setObjectName("LogPopupMenu");
  QAction* clear = popup->addAction("Clear all log");
  clear->setObjectName("Clearalllog1");
  connect(clear, &QAction::triggered, this, &TFormMain::OnClearLog);
  log_grid_->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(log_grid_, &QWidget::customContextMenuRequested, this, [this, popup](const QPoint& pos) {
    popup->popup(log_grid_->viewport()->mapToGlobal(pos));
  });

  auto* layout = new QVBoxLayout(page);
  layout->setContentsMargins(4, 4, 4, 4);
  layout->addWidget(log_grid_);
}

void TFormMain::CreateProgressStrip(QWidget* panel) {
  auto* row = new QHBoxLayout(panel);
  row->setContentsMargins(6, 0, 6, 0);
  auto* total_label = new QLabel("Total:", panel);
  total_label->setObjectName("A3");
  total_bar_ = new QProgressBar(panel);
  total_bar_->setObjectName("ProgressBar1");
  auto* current_label = new QLabel("Current:", panel);
  current_label->setObjectName("A1");
  current_bar_ = new QProgressBar(panel);
  current_bar_->setObjectName("ProgressBar2");
  file_name_label_ = new QLabel(panel);
  file_name_label_->setObjectName("A2");
  file_name_label_->setMinimumWidth(200);
  for (QProgressBar* bar : {total_bar_, current_bar_}) {
    bar->setFixedWidth(170);
    bar->setFixedHeight(16);
    bar->setTextVisible(false);
  }
  row->addWidget(total_label);
  row->addWidget(total_bar_);
  row->addSpacing(8);
  row->addWidget(current_label);
  row->addWidget(current_bar_);
  row->addSpacing(8);
  row->addWidget(file_name_label_, 1);
}

void TFormMain::CreateMenus() {
  main_menu_ = new QMenu(this);
  main_menu_->setObjectName("PopupMenu1");
  preferences_item_ = main_menu_->addAction("Preferences...");
  preferences_item_->setObjectName("menuPreferences");
  main_menu_->addSeparator();
  QAction* website = main_menu_->addAction("Visits Website...");
  website->setObjectName("Help1");
  QAction* help = main_menu_->addAction("Help...");
  help->setObjectName("Help2");
  help->setShortcut(QKeySequence(Qt::Key_F1));
  help->setShortcutContext(Qt::WindowShortcut);
  addAction(help);  // F1 works while the menu is closed
  QAction* about = main_menu_->addAction("About...");
  about->setObjectName("About1");
  findChild<QToolButton*>("SpMenu")->setMenu(main_menu_);
  connect(preferences_item_, &QAction::triggered, this, &TFormMain::OnPreferences);
  connect(website, &QAction::triggered, this, &TFormMain::OnVisitWebsite);
  connect(help, &QAction::triggered, this, &TFormMain::OnHelp);
  connect(about, &QAction::triggered, this, &TFormMain::OnAbout);

  tray_menu_ = new QMenu(this);
  tray_menu_->setObjectName("PopupMenu2");
  QAction* open = tray_menu_->addAction(QIcon(":/icons/fornormal.svg"), "Open main window");
  open->setObjectName("OpenMainWindow1");
  tray_scheduling_item_ =
      tray_menu_->addAction(QIcon(":/icons/schedule.svg"), "Enabled Scheduling");
  tray_scheduling_item_->setObjectName("menuEnDis");
  tray_menu_->addSeparator();
  tray_sync_menu_ = tray_menu_->addMenu("Synchronize Project");
  tray_sync_menu_->setObjectName("menuSync");
  tray_backup_menu_ = tray_menu_->addMenu("Backup Project");
  tray_backup_menu_->setObjectName("menuBackup");
  tray_menu_->addSeparator();
  QAction* tray_help = tray_menu_->addAction(QIcon(":/icons/help.svg"), "Help...              F1");
  tray_help->setObjectName("Help3");
  QAction* exit = tray_menu_->addAction(QIcon(":/icons/exit.svg"), "E&xit");
  exit->setObjectName("Exit1");
  connect(open, &QAction::triggered, this, &TFormMain::OnOpenMainWindow);
  connect(tray_scheduling_item_, &QAction::triggered, this, &TFormMain::OnSchedulingMenuItem);
  connect(tray_help, &QAction::triggered, this, &TFormMain::OnHelp);
  connect(exit, &QAction::triggered, this, &TFormMain::OnExit);

  tray_icon_ = new QSystemTrayIcon(this);
  tray_icon_->setObjectName("TrayIcon1");
  tray_icon_->setToolTip(kTrayHint);
  tray_icon_->setContextMenu(tray_menu_);
  connect(tray_icon_, &QSystemTrayIcon::activated, this,
          [this](QSystemTrayIcon::ActivationReason reason) {
            // A right click opens the menu (Qt does that itself) and restores
            // nothing.
            if (reason == QSystemTrayIcon::Trigger) OnTrayIconClicked();
          });
}

void TFormMain::Initialize() {
  setObjectName("FormMain");
  setWindowTitle(app::kAppTitle);
  // A fixed single border with minimize and close boxes, no maximize box.
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
  setFixedSize(kClientWidth, kClientHeight);

  auto* central = new QWidget(this);
  central->setObjectName("central");
  auto* column = new QVBoxLayout(central);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(0);
  auto* toolbar = new QWidget(central);
  toolbar->setObjectName("Panel2");
  toolbar->setFixedHeight(kToolbarHeight);
  CreateToolbar(toolbar);
  column->addWidget(toolbar);
  pages_ = new QTabWidget(central);
  pages_->setObjectName("PageControl1");
  column->addWidget(pages_, 1);
  progress_strip_ = new QWidget(central);
  progress_strip_->setObjectName("PanelProgress");
  progress_strip_->setFixedHeight(kProgressHeight);
  CreateProgressStrip(progress_strip_);
  column->addWidget(progress_strip_);
  setCentralWidget(central);

  scheduler_ = new TScheduler(
      *this,
      [this] {
        schedule::TickGate gate;
        gate.scheduling_enabled = scheduling_button_->isChecked();
        gate.editing = editing_;
        gate.start_enabled =
            !busy_ && command_buttons_.at(app::Command::kCreateBackup)->isEnabled();
        return gate;
      },
      this);

  CreateMenus();
  CreatePages();
  UpdateCommandStates();

  // Icons and texts of the scheduling switch hold even when the settings
  // below cannot be read.
  RefreshSchedulingState();
  if (help_dir_.empty()) {
    try {
      help_dir_ = ProgramDir() / "help";
    } catch (const Error&) {
      help_dir_ = data_dir_ / "help";
    }
  }
  (void)RunCommand(*ui_, [this] { LoadAppSettings(); });
  log_.SetLogCount(settings_.LogCount);
  LoadLog();
  if (start_minimized_pending_) setWindowState(windowState() | Qt::WindowMinimized);
  progress_strip_->setVisible(false);
  // Shown even before a notification area exists: the icon then appears as
  // soon as the desktop's panel does.
  if (tray_override_.value_or(true)) tray_icon_->show();
}

// ---------------------------------------------------------------------------
// Settings

void TFormMain::LoadAppSettings() {
  if (hooks_.reload_sync_projects) hooks_.reload_sync_projects();
  pages_->setCurrentIndex(IndexOf(app::Page::kBackup));
  settings_ = backup::ReadAppSettings(data_dir_);

  // The project box keeps its entries sorted by name, case ignored.
  const std::vector<std::string> names = backup::ReadProjectList(data_dir_).names;
  const int last = backup::FindProjectName(names, settings_.LastProject);
  FillProjectBox(names, last >= 0 ? names[static_cast<size_t>(last)]
                                  : (names.empty() ? std::string() : names.front()));
  RebuildBackupMenu();

  start_minimized_pending_ = settings_.AutoRun && settings_.StartMinimized;
  scheduling_button_->setChecked(settings_.ScheduleEnabled);
  RefreshSchedulingState();
  RebuildSchedule();
  TellPagesProjectSelected();
}

void TFormMain::SaveAppSettings() {
  app::AppSettings s = settings_;
  s.ScheduleEnabled = scheduling_button_->isChecked();
  // Writes nothing at all when there is no project.
  backup::SaveAppSettings(data_dir_, s, ProjectNames(), SelectedProject());
}

// ---------------------------------------------------------------------------
// The project list

std::vector<std::string> TFormMain::ProjectNames() const {
  std::vector<std::string> names;
  for (int i = 0; i < project_box_->count(); ++i)
    names.push_back(project_box_->itemText(i).toStdString());
  return names;
}

std::string TFormMain::SelectedProject() const { return project_box_->currentText().toStdString(); }

void TFormMain::FillProjectBox(const std::vector<std::string>& names, const std::string& selected) {
  const QSignalBlocker block(project_box_);
  project_box_->clear();
  for (const std::string& n : names) project_box_->addItem(QString::fromStdString(n));
  project_box_->setCurrentIndex(backup::FindProjectName(names, selected));
}

void TFormMain::SelectProject(const std::string& name) {
  {
    const QSignalBlocker block(project_box_);
    project_box_->setCurrentIndex(
        project_box_->findText(QString::fromStdString(name), Qt::MatchFixedString));
  }
  TellPagesProjectSelected();
}

void TFormMain::TellPagesProjectSelected() {
  for (const auto& show : hooks_.project_selected)
    if (show) show();
}

void TFormMain::ProjectListChanged(const std::vector<std::string>& names,
                                   const std::string& selected) {
  FillProjectBox(names, selected);
  RebuildBackupMenu();
  RebuildSchedule();
}

void TFormMain::ProjectSaved() {
  RebuildSchedule();
  // The box's mark is read from the store as it is drawn.
  project_box_->update();
}

void TFormMain::RebuildBackupMenu() {
  // The schedule images are set by the schedule's rebuild; a project that
  // keeps its name keeps its image until then.
  QHash<QString, QIcon> images;
  for (const QAction* item : tray_backup_menu_->actions())
    images.insert(item->text(), item->icon());
  tray_backup_menu_->clear();
  for (const std::string& name : ProjectNames()) {
    const QString caption = QString::fromStdString(name);
    QAction* item = tray_backup_menu_->addAction(images.value(caption), caption);
    item->setEnabled(!busy_);
    connect(item, &QAction::triggered, this, [this, name] { OnBackupProjectChosen(name); });
  }
}

// ---------------------------------------------------------------------------
// Activity log

void TFormMain::LoadLog() {
  log_.Load();
  log_model_->Refresh();
}

void TFormMain::AddLogEntry(const std::string& operation, const std::string& status,
                            const std::string& project, const std::string& information) {
  log_.Add(operation, status, project, information);
  log_model_->Refresh();
}

void TFormMain::OnClearLog() {
  (void)RunCommand(*ui_, [this] {
    log_.Clear();
    log_model_->Refresh();
  });
}

// ---------------------------------------------------------------------------
// Scheduling switch

void TFormMain::RefreshSchedulingState() {
  const bool on = scheduling_button_->isChecked();
  const QString text =
      on ? QStringLiteral("Enabled Scheduling") : QStringLiteral("Disabled Scheduling");
  scheduling_button_->setToolTip(text);
  tray_scheduling_item_->setText(text);
  const QIcon icon = ScheduleIcon(on);
  setWindowIcon(icon);
  QApplication::setWindowIcon(icon);
  tray_icon_->setIcon(icon);
}

void TFormMain::OnSchedulingToggled() {
  if (!scheduling_button_->isChecked() &&
      !ui_->AskYesNo("Do you want to disable all scheduling?", MessageKind::kWarning))
    scheduling_button_->setChecked(true);
  RefreshSchedulingState();
}

void TFormMain::OnSchedulingMenuItem() {
  scheduling_button_->setChecked(!scheduling_button_->isChecked());
  OnSchedulingToggled();
}

// ---------------------------------------------------------------------------
// The schedule and the runs of stored projects

DateTime TFormMain::Now() const { return clock_ ? clock_() : zb::Now(); }

void TFormMain::RebuildSchedule() {
  scheduler_->Rebuild();
  // The tray items of scheduled projects carry the schedule image.
  static const QIcon mark(QStringLiteral(":/icons/schedule.svg"));
  for (QAction* item : tray_backup_menu_->actions())
    item->setIcon(scheduler_->Table().IsScheduled(item->text().toStdString()) ? mark : QIcon());
  project_box_->update();
}

const schedule::ScheduleTable& TFormMain::Schedule() const { return scheduler_->Table(); }

void TFormMain::OnBackupProjectChosen(const std::string& name) {
  // A run works on the project it started with: a choice that slipped
  // through while one is going on is dropped.
  if (busy_) return;
  (void)scheduler_->RunProject(name, false);
}

// ---------------------------------------------------------------------------
// Busy state and progress

void TFormMain::SetBusy(bool on, const app::BusyStyle& style) {
  const bool busy = !on;
  if (busy == busy_) return;
  busy_ = busy;
  if (busy) busy_style_ = style;
  UpdateCommandStates();
  pages_->setEnabled(on);
  for (QAction* a : tray_backup_menu_->actions()) a->setEnabled(on);
  for (QAction* a : tray_sync_menu_->actions()) a->setEnabled(on);
  if (busy && style.wait_cursor) {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    wait_cursor_set_ = true;
  } else if (!busy && wait_cursor_set_) {
    QApplication::restoreOverrideCursor();
    wait_cursor_set_ = false;
  }
  emit BusyChanged(busy);
  if (!busy && close_pending_) {
    // A close that arrived during the run; carried out once the run's own
    // clean-up (its report, its log entry) is done.
    QTimer::singleShot(0, this, [this] { close(); });
  }
}

void TFormMain::SetEditing(bool editing) {
  editing_ = editing;
  UpdateCommandStates();
}

void TFormMain::UpdateCommandStates() {
  // Browse-mode commands: off while a project is edited, and off during a
  // run, so that the run keeps working on the project it started with.
  const bool browse = !editing_ && !busy_;
  project_box_->setEnabled(browse);
  using app::Command;
  for (Command c : {Command::kAddProject, Command::kEditProject, Command::kRenameProject,
                    Command::kDeleteProject})
    command_buttons_.at(c)->setEnabled(browse);
  command_buttons_.at(Command::kCopyProject)->setEnabled(!busy_);
  for (Command c : {Command::kSaveProject, Command::kCancelEdit})
    command_buttons_.at(c)->setEnabled(editing_);
  for (Command c : {Command::kCreateBackup, Command::kRestoreFile})
    command_buttons_.at(c)->setEnabled(browse);
  preferences_item_->setEnabled(!editing_);
}

void TFormMain::RunCommandOfPage(app::Command command) {
  const auto found = hooks_.commands.find(command);
  if (found != hooks_.commands.end() && found->second) found->second();
}

// ---------------------------------------------------------------------------
// Pages

app::Page TFormMain::CurrentPage() const {
  return static_cast<app::Page>(std::max(0, pages_->currentIndex()));
}

void TFormMain::ShowPage(app::Page page) { pages_->setCurrentIndex(IndexOf(page)); }

void TFormMain::ReenterPage(app::Page page) {
  if (pages_->currentIndex() != IndexOf(page)) {
    ShowPage(page);  // tells the pages through currentChanged
  } else {
    TellPagesPageEntered(IndexOf(page));
  }
}

void TFormMain::TellPagesPageEntered(int index) {
  if (index < 0) return;
  const auto page = static_cast<app::Page>(index);
  for (const auto& entered : hooks_.page_entered)
    if (entered) (void)RunCommand(*ui_, [&] { entered(page); });
}

// ---------------------------------------------------------------------------
// Progress

void TFormMain::ShowProgress(bool on) {
  file_name_label_->clear();
  for (QProgressBar* bar : {total_bar_, current_bar_}) {
    bar->setRange(0, 100);
    bar->setValue(0);
  }
  progress_strip_->setVisible(on);
}

std::function<void()> TFormMain::Pump() const {
  return [] { QCoreApplication::processEvents(QEventLoop::AllEvents, 50); };
}

app::RunProgress TFormMain::ProgressHooks(const app::BusyStyle& style) {
  app::RunProgress p;
  p.pump = Pump();
  p.set_running = [this, style](bool running) {
    SetBusy(!running, style);
    ShowProgress(running);
  };
  p.on_total_percent = [this](int percent) { total_bar_->setValue(percent); };
  p.on_file_percent = [this](int percent) { current_bar_->setValue(percent); };
  p.on_file = [this](const std::string& name) {
    file_name_label_->setText(QString::fromStdString(name));
    file_name_label_->repaint();
  };
  p.interrupted = [this] { return InterruptRequested(); };
  return p;
}

std::unique_ptr<app::ActivityLog> TFormMain::OpenRunLog() const {
  auto log = std::make_unique<app::ActivityLog>(log_.File(), log_.LogCount());
  log->Load();
  return log;
}

// ---------------------------------------------------------------------------
// Preferences, help, about

void TFormMain::OnPreferences() {
  TFormPreferences::Environment env;
  env.data_dir = data_dir_;
  try {
    env.executable = std::filesystem::path(ProgramDir()) / "zipbackup";
  } catch (const Error&) {
    env.executable = QCoreApplication::applicationFilePath().toStdString();
  }
  env.ui = ui_;
  env.show_help = [this](int context) { ShowHelp(context); };
  // OK and Apply have saved the values already; memory takes them at once.
  env.applied = [this](const app::AppSettings& v) {
    settings_.AutoRun = v.AutoRun;
    settings_.StartMinimized = v.StartMinimized;
    settings_.PromptBeforeBackup = v.PromptBeforeBackup;
    settings_.AppendZero = v.AppendZero;
    settings_.NumberWidth = v.NumberWidth;
    settings_.OverwriteExisting = v.OverwriteExisting;
    settings_.LogCount = v.LogCount;
    settings_.PromptSync = v.PromptSync;
    log_.SetLogCount(settings_.LogCount);
    log_model_->Refresh();
  };
  (void)RunCommand(*ui_, [&] {
    TFormPreferences dialog(settings_, env, this);
    (void)dialog.exec();
  });
}

void TFormMain::ShowHelp(int context) {
  const std::filesystem::path file = help_dir_ / "index.html";
  if (!QFile::exists(QString::fromStdString(file.string()))) {
    ui_->ShowError("The help file " + file.string() +
                   " was not found. Reinstall the program to get its user guide back.");
    return;
  }
  QUrl url = QUrl::fromLocalFile(QString::fromStdString(file.string()));
  if (context > 0) url.setFragment(QStringLiteral("context-%1").arg(context));
  if (!open_url_(url))
    ui_->ShowError("No program to show " + file.string() + " was found on this desktop.");
}

void TFormMain::OnHelp() {
  const int page = std::clamp(pages_->currentIndex(), 0, IndexOf(app::Page::kLog));
  ShowHelp(kPageHelpContexts[page]);
}

void TFormMain::OnVisitWebsite() {
  if (!open_url_(QUrl(QString::fromLatin1(kWebsite))))
    ui_->ShowError(std::string("No web browser could be started for ") + kWebsite);
}

void TFormMain::OnAbout() {
  QDialog about(this);
  about.setObjectName("FormAbout");
  about.setWindowTitle("About");
  auto* icon = new QLabel(&about);
  icon->setPixmap(ScheduleIcon(true).pixmap(48, 48));
  auto* text = new QLabel(
      "<b>Quillomar ZIP Backup</b><br>Version 1.50<br><br>Backups of your files as ZIP archives,"
      "<br>on demand and on a schedule.",
      &about);
  auto* close = new QPushButton("Close", &about);
  close->setObjectName("btnClose");
  close->setDefault(true);
  connect(close, &QPushButton::clicked, &about, &QDialog::accept);
  auto* top = new QHBoxLayout;
  top->addWidget(icon, 0, Qt::AlignTop);
  top->addSpacing(12);
  top->addWidget(text, 1);
  auto* layout = new QVBoxLayout(&about);
  layout->addLayout(top);
  layout->addWidget(close, 0, Qt::AlignHCenter);
  about.setFixedSize(about.sizeHint());
  about.exec();
}

// ---------------------------------------------------------------------------
// Notification area, minimizing, restoring

void TFormMain::OnOpenMainWindow() {
  show();
  setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
  raise();
  activateWindow();
}

bool TFormMain::TrayAvailable() const {
  return tray_override_.value_or(QSystemTrayIcon::isSystemTrayAvailable());
}

void TFormMain::OnTrayIconClicked() { OnOpenMainWindow(); }

void TFormMain::OnMinimized() {
  if (start_minimized_pending_) {
    // A minimized start keeps its taskbar button.
    start_minimized_pending_ = false;
    return;
  }
  // A hidden window gets state changes from the window system as it is
  // unmapped; those are no user's minimize and must not bring it back.
  if (!isVisible()) return;
  // Without a notification area a hidden window could never come back, so
  // it then stays minimized on the taskbar.
  if (TrayAvailable()) QTimer::singleShot(0, this, [this] { hide(); });
}

void TFormMain::changeEvent(QEvent* event) {
  QMainWindow::changeEvent(event);
  if (event->type() != QEvent::WindowStateChange) return;
  const bool minimized = isMinimized();
  if (minimized && !was_minimized_) {
    OnMinimized();
  } else if (!minimized && was_minimized_) {
    // Restored: whatever the start was, the next minimize goes to the tray.
    start_minimized_pending_ = false;
  }
  was_minimized_ = minimized;
}

void TFormMain::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (shown_once_) return;
  shown_once_ = true;
  // FormShow: centred, a little above the middle.
  if (const QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen()) {
    const QRect r = screen->geometry();
    move(r.x() + (r.width() - frameGeometry().width()) / 2,
         r.y() + (r.height() - frameGeometry().height()) / 2 - 14);
  }
}

// ---------------------------------------------------------------------------
// Closing

void TFormMain::OnExit() { close(); }

void TFormMain::CloseBySignal() {
  closing_by_signal_ = true;
  if (busy_) {
    interrupt_requested_ = true;
    close_pending_ = true;
    return;
  }
  close();
}

void TFormMain::SaveOnClose() {
  scheduler_->Stop();
  if (closing_by_signal_) {
    // Nobody may be at the screen to answer a message box: report on stderr.
    try {
      SaveAppSettings();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "zipbackup: %s\n", WithFullStop(e.what()).c_str());
    }
  } else {
    (void)RunCommand(*ui_, [this] { SaveAppSettings(); });
  }
}

bool TFormMain::CloseToolWindows() {
  for (QWidget* w : QApplication::topLevelWidgets()) {
    if (w == this || !w->isVisible()) continue;
    const Qt::WindowType type = w->windowType();
    if (type == Qt::Popup || type == Qt::ToolTip || type == Qt::Desktop) continue;
    w->close();
  }
  for (QWidget* w : QApplication::topLevelWidgets()) {
    const Qt::WindowType type = w->windowType();
    if (w != this && w->isVisible() && type != Qt::Popup && type != Qt::ToolTip &&
        type != Qt::Desktop)
      return false;
  }
  return true;
}

void TFormMain::closeEvent(QCloseEvent* event) {
  if (busy_) {
    // Tearing the window down under a running writer would leave a broken
    // archive; the close happens when the run has ended. A run that stops
    // on close is asked to stop at its next pump.
    close_pending_ = true;
    if (busy_style_.stop_on_close) interrupt_requested_ = true;
    event->ignore();
    return;
  }
  // The tool windows go first, so none of them is left without its owner.
  if (!CloseToolWindows()) {
    // One of them refused (it asked, and the user kept it): the program
    // stays, and later runs are not stopped by this request.
    close_pending_ = false;
    interrupt_requested_ = false;
    event->ignore();
    return;
  }
  SaveOnClose();
  tray_icon_->hide();
  event->accept();
  emit FormClosed();
}

}  // namespace zb::shell
