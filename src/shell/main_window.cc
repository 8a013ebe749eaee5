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
#include <QSystemTrayIcon>
#include <QTabWidget>
#include <QTableView>
#include <QTimer>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>
#include <cstdio>

#include "shell/log_grid_model.h"
#include "app/ui/msg_form.h"
#include "shell/preferences_dialog.h"
#include "app/ui/qt_user_interaction.h"
#include "app/user_interaction.h"
#include "backup/backup_project.h"
#include "base/errors.h"
#include "platform/program_dir.h"

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
constexpr int kScheduleIntervalMs = 30000;
constexpr char kTrayHint[] = "Quillomar ZIP Backup. Right-click to backup";
constexpr char kWebsite[] = "https://quillomar.example/zip-backup/";

// Help contexts of the pages, in page order; the Log page opens the guide
// at its start.
constexpr int kPageHelpContexts[] = {41, 6, 103, 0};

enum Page { kBackupPage = 0, kRestorePage = 1, kSyncPage = 2, kLogPage = 3 };

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
  FormCreate();
}

TFormMain::~TFormMain() {
  if (QApplication::overrideCursor() != nullptr && busy_) QApplication::restoreOverrideCursor();
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
  comboProject_ = new QComboBox(panel);
  comboProject_->setObjectName("comboProject");
  comboProject_->setFixedWidth(180);
  comboProject_->setEditable(false);
  row->addWidget(comboProject_);
  row->addSpacing(6);

  struct ButtonDef {
    const char* name;
    const char* icon;
    const char* hint;
  };
  // The hints are the toolbar's texts as users know them, "Cancel " included.
  const ButtonDef project_buttons[] = {
      {"SpNew", "new", "Add Project"},          {"SpEdit", "edit", "Edit Project"},
      {"SpSave", "save", "Save Project"},       {"SpCancel", "cancel", "Cancel "},
      {"SpRename", "rename", "Rename Project"}, {"spCopy", "copy", "Copy Project"},
      {"SpDelete", "delete", "Delete Project"},
  };
  for (const ButtonDef& s : project_buttons) row->addWidget(AddButton(s.name, s.icon, s.hint));
  panel->findChild<QToolButton*>("SpSave")->setEnabled(false);
  panel->findChild<QToolButton*>("SpCancel")->setEnabled(false);
  row->addSpacing(10);

  QToolButton* menu = AddButton("SpMenu", "menu", "Menu");
  menu->setPopupMode(QToolButton::InstantPopup);
  menu->setFixedWidth(42);
  row->addWidget(menu);
  spEnable_ = AddButton("spEnable", "schedule", "Enable Scheduling");
  spEnable_->setCheckable(true);
  spEnable_->setChecked(true);
  row->addWidget(spEnable_);
  row->addWidget(AddButton("SpeedButton15", "help", "Help"));
  row->addSpacing(10);
  row->addWidget(AddButton("SpStart", "start", "Create Backup"));
  row->addWidget(AddButton("SpRestore", "restore", "Restore File"));
  row->addStretch();
  row->addWidget(AddButton("SpExit", "exit", "Exit"));

  connect(spEnable_, &QToolButton::clicked, this, &TFormMain::spEnableClick);
  connect(panel->findChild<QToolButton*>("SpeedButton15"), &QToolButton::clicked, this,
          &TFormMain::Help2Click);
  connect(panel->findChild<QToolButton*>("SpExit"), &QToolButton::clicked, this,
          &TFormMain::SpExitClick);
}

void TFormMain::CreatePages() {
  // Each page subsystem builds its page into its placeholder here and fills
  // the hooks it serves; until then the placeholder stays empty.
  const struct {
    const char* name;
    const char* caption;
  } pages[] = {{"Tabbackup", "Backup "},
               {"TabRestore", "Restore"},
               {"TabSync", "Synchronize"},
               {"TabLog", "Log"}};
  for (const auto& p : pages) {
    auto* page = new QWidget;
    page->setObjectName(p.name);
    PageControl1_->addTab(page, p.caption);
  }
  CreateLogPage(PageControl1_->widget(kLogPage));
  if (install_pages_) install_pages_(*this);
}

void TFormMain::CreateLogPage(QWidget* page) {
  LogGrid_ = new QTableView(page);
  LogGrid_->setObjectName("LogGrid");
  log_model_ = new LogGridModel(log_, LogGrid_);
  LogGrid_->setModel(log_model_);
  LogGrid_->setFont(QFont(QStringLiteral("Arial")));
  LogGrid_->setShowGrid(false);
  LogGrid_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  LogGrid_->setSelectionBehavior(QAbstractItemView::SelectRows);
  LogGrid_->setSelectionMode(QAbstractItemView::SingleSelection);
  LogGrid_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  LogGrid_->setWordWrap(false);
  LogGrid_->verticalHeader()->hide();
  LogGrid_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  LogGrid_->verticalHeader()->setDefaultSectionSize(20);
  LogGrid_->horizontalHeader()->setHighlightSections(false);
  LogGrid_->horizontalHeader()->setStretchLastSection(true);
  // The widths suit the usual sans-serif faces; where the desktop's
  // substitute for Arial runs wider, a column grows just enough to show its
  // longest fixed word ("Synchronize", a full date and time) uncut.
  const QFontMetrics fm(LogGrid_->font());
  const int widths[] = {std::max(130, fm.horizontalAdvance("0000-00-00 00:00:00") + 10),
                        std::max(67, fm.horizontalAdvance("Synchronize") + 10),
                        std::max(74, fm.horizontalAdvance("Interrupt") + 10), 118, 350};
  for (int c = 0; c < 5; ++c) LogGrid_->setColumnWidth(c, widths[c]);
  LogGrid_->setToolTip("Right-click it to open context menu");

  auto* popup = new QMenu(LogGrid_);
  popup->setObjectName("LogPopupMenu");
  QAction* clear = popup->addAction("Clear all log");
  clear->setObjectName("Clearalllog1");
  connect(clear, &QAction::triggered, this, &TFormMain::Clearalllog1Click);
  LogGrid_->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(LogGrid_, &QWidget::customContextMenuRequested, this, [this, popup](const QPoint& pos) {
    popup->popup(LogGrid_->viewport()->mapToGlobal(pos));
  });

  auto* layout = new QVBoxLayout(page);
  layout->setContentsMargins(4, 4, 4, 4);
  layout->addWidget(LogGrid_);
}

void TFormMain::CreateProgressStrip(QWidget* panel) {
  auto* row = new QHBoxLayout(panel);
  row->setContentsMargins(6, 0, 6, 0);
  A3_ = new QLabel("Total:", panel);
  A3_->setObjectName("A3");
  ProgressBar1_ = new QProgressBar(panel);
  ProgressBar1_->setObjectName("ProgressBar1");
  A1_ = new QLabel("Current:", panel);
  A1_->setObjectName("A1");
  ProgressBar2_ = new QProgressBar(panel);
  ProgressBar2_->setObjectName("ProgressBar2");
  A2_ = new QLabel(panel);
  A2_->setObjectName("A2");
  A2_->setMinimumWidth(200);
  for (QProgressBar* bar : {ProgressBar1_, ProgressBar2_}) {
    bar->setFixedWidth(170);
    bar->setFixedHeight(16);
    bar->setTextVisible(false);
  }
  row->addWidget(A3_);
  row->addWidget(ProgressBar1_);
  row->addSpacing(8);
  row->addWidget(A1_);
  row->addWidget(ProgressBar2_);
  row->addSpacing(8);
  row->addWidget(A2_, 1);
}

void TFormMain::CreateMenus() {
  PopupMenu1_ = new QMenu(this);
  PopupMenu1_->setObjectName("PopupMenu1");
  menuPreferences_ = PopupMenu1_->addAction("Preferences...");
  menuPreferences_->setObjectName("menuPreferences");
  PopupMenu1_->addSeparator();
  QAction* website = PopupMenu1_->addAction("Visits Website...");
  website->setObjectName("Help1");
  QAction* help = PopupMenu1_->addAction("Help...");
  help->setObjectName("Help2");
  help->setShortcut(QKeySequence(Qt::Key_F1));
  help->setShortcutContext(Qt::WindowShortcut);
  addAction(help);  // F1 works while the menu is closed
  QAction* about = PopupMenu1_->addAction("About...");
  about->setObjectName("About1");
  findChild<QToolButton*>("SpMenu")->setMenu(PopupMenu1_);
  connect(menuPreferences_, &QAction::triggered, this, &TFormMain::menuPreferencesClick);
  connect(website, &QAction::triggered, this, &TFormMain::Help1Click);
  connect(help, &QAction::triggered, this, &TFormMain::Help2Click);
  connect(about, &QAction::triggered, this, &TFormMain::About1Click);

  PopupMenu2_ = new QMenu(this);
  PopupMenu2_->setObjectName("PopupMenu2");
  QAction* open = PopupMenu2_->addAction(QIcon(":/icons/fornormal.svg"), "Open main window");
  open->setObjectName("OpenMainWindow1");
  menuEnDis_ = PopupMenu2_->addAction(QIcon(":/icons/schedule.svg"), "Enabled Scheduling");
  menuEnDis_->setObjectName("menuEnDis");
  PopupMenu2_->addSeparator();
  menuSync_ = PopupMenu2_->addMenu("Synchronize Project");
  menuSync_->setObjectName("menuSync");
  menuBackup_ = PopupMenu2_->addMenu("Backup Project");
  menuBackup_->setObjectName("menuBackup");
  PopupMenu2_->addSeparator();
  QAction* tray_help = PopupMenu2_->addAction(QIcon(":/icons/help.svg"), "Help...              F1");
  tray_help->setObjectName("Help3");
  QAction* exit = PopupMenu2_->addAction(QIcon(":/icons/exit.svg"), "E&xit");
  exit->setObjectName("Exit1");
  connect(open, &QAction::triggered, this, &TFormMain::OpenMainWindow1Click);
  connect(menuEnDis_, &QAction::triggered, this, &TFormMain::menuEnDisClick);
  connect(tray_help, &QAction::triggered, this, &TFormMain::Help2Click);
  connect(exit, &QAction::triggered, this, &TFormMain::SpExitClick);

  TrayIcon1_ = new QSystemTrayIcon(this);
  TrayIcon1_->setObjectName("TrayIcon1");
  TrayIcon1_->setToolTip(kTrayHint);
  TrayIcon1_->setContextMenu(PopupMenu2_);
  connect(TrayIcon1_, &QSystemTrayIcon::activated, this,
          [this](QSystemTrayIcon::ActivationReason reason) {
            // A right click opens the menu (Qt does that itself) and restores
            // nothing.
            if (reason == QSystemTrayIcon::Trigger) TrayIcon1Click();
          });
}

void TFormMain::FormCreate() {
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
  PageControl1_ = new QTabWidget(central);
  PageControl1_->setObjectName("PageControl1");
  column->addWidget(PageControl1_, 1);
  PanelProgress_ = new QWidget(central);
  PanelProgress_->setObjectName("PanelProgress");
  PanelProgress_->setFixedHeight(kProgressHeight);
  CreateProgressStrip(PanelProgress_);
  column->addWidget(PanelProgress_);
  setCentralWidget(central);

  Timer1_ = new QTimer(this);
  Timer1_->setObjectName("Timer1");
  Timer1_->setInterval(kScheduleIntervalMs);
  // A coarse timer may drift by up to 5 % of its period; the schedule's
  // times are meant to the tick.
  Timer1_->setTimerType(Qt::PreciseTimer);
  connect(Timer1_, &QTimer::timeout, this, &TFormMain::Timer1Timer);

  CreateMenus();
  CreatePages();

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
  PanelProgress_->setVisible(false);
  // Shown even before a notification area exists: the icon then appears as
  // soon as the desktop's panel does.
  if (tray_override_.value_or(true)) TrayIcon1_->show();
}

// ---------------------------------------------------------------------------
// Settings

void TFormMain::LoadAppSettings() {
  if (hooks_.reload_sync_projects) hooks_.reload_sync_projects();
  PageControl1_->setCurrentIndex(kBackupPage);
  settings_ = backup::ReadAppSettings(data_dir_);

  // The project box keeps its entries sorted by name, case ignored.
  const std::vector<std::string> names = backup::ReadProjectList(data_dir_).names;
  {
    const QSignalBlocker block(comboProject_);
    comboProject_->clear();
    for (const std::string& n : names) comboProject_->addItem(QString::fromStdString(n));
    const int last = backup::FindProjectName(names, settings_.LastProject);
    comboProject_->setCurrentIndex(last >= 0 ? last : (names.empty() ? -1 : 0));
  }
  RebuildBackupMenu();

  start_minimized_pending_ = settings_.AutoRun && settings_.StartMinimized;
  spEnable_->setChecked(settings_.ScheduleEnabled);
  RefreshSchedulingState();
  if (hooks_.rebuild_schedule) hooks_.rebuild_schedule();
  if (hooks_.load_project_page) hooks_.load_project_page();
}

QStringList TFormMain::ProjectNames() const {
  QStringList names;
  for (int i = 0; i < comboProject_->count(); ++i) names << comboProject_->itemText(i);
  return names;
}

void TFormMain::SaveAppSettings() {
  std::vector<std::string> names;
  for (const QString& n : ProjectNames()) names.push_back(n.toStdString());
  app::AppSettings s = settings_;
  s.ScheduleEnabled = spEnable_->isChecked();
  // Writes nothing at all when there is no project.
  backup::SaveAppSettings(data_dir_, s, names, comboProject_->currentText().toStdString());
}

void TFormMain::RebuildBackupMenu() {
  // The schedule images are set by the schedule's rebuild; a project that
  // keeps its name keeps its image until then.
  QHash<QString, QIcon> images;
  for (const QAction* item : menuBackup_->actions()) images.insert(item->text(), item->icon());
  menuBackup_->clear();
  for (const QString& name : ProjectNames()) {
    QAction* item = menuBackup_->addAction(images.value(name), name);
    item->setEnabled(!busy_);
    connect(item, &QAction::triggered, this, [this, name] {
      // A run works on the project it started with: a choice that slipped
      // through while one is going on is dropped.
      if (busy_) return;
      const int index = comboProject_->findText(name, Qt::MatchFixedString);
      if (index >= 0) comboProject_->setCurrentIndex(index);
      if (hooks_.backup_project_chosen) hooks_.backup_project_chosen(name);
    });
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

void TFormMain::Clearalllog1Click() {
  (void)RunCommand(*ui_, [this] {
    log_.Clear();
    log_model_->Refresh();
  });
}

// ---------------------------------------------------------------------------
// Scheduling switch

void TFormMain::RefreshSchedulingState() {
  const bool on = spEnable_->isChecked();
  const QString text =
      on ? QStringLiteral("Enabled Scheduling") : QStringLiteral("Disabled Scheduling");
  spEnable_->setToolTip(text);
  menuEnDis_->setText(text);
  const QIcon icon = ScheduleIcon(on);
  setWindowIcon(icon);
  QApplication::setWindowIcon(icon);
  TrayIcon1_->setIcon(icon);
}

void TFormMain::spEnableClick() {
  if (!spEnable_->isChecked() &&
      !ui_->AskYesNo("Do you want to disable all scheduling?", MessageKind::kWarning))
    spEnable_->setChecked(true);
  RefreshSchedulingState();
}

void TFormMain::menuEnDisClick() {
  spEnable_->setChecked(!spEnable_->isChecked());
  spEnableClick();
}

void TFormMain::Timer1Timer() {
  if (!hooks_.timer_tick) return;
  // Nobody may be at the screen when the schedule runs, and an exception
  // must not end the program through the event loop: the tick is reported
  // on stderr, and the next one comes as usual.
  try {
    hooks_.timer_tick();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "zipbackup: scheduled check failed: %s\n", WithFullStop(e.what()).c_str());
  } catch (...) {
    std::fprintf(stderr, "zipbackup: scheduled check failed.\n");
  }
}

// ---------------------------------------------------------------------------
// Busy state and progress

void TFormMain::SetBusy(bool on) {
  const bool busy = !on;
  if (busy == busy_) return;
  busy_ = busy;
  for (const char* name : {"SpStart", "SpRestore"})
    if (auto* b = findChild<QToolButton*>(name)) b->setEnabled(on);
  PageControl1_->setEnabled(on);
  for (QAction* a : menuBackup_->actions()) a->setEnabled(on);
  for (QAction* a : menuSync_->actions()) a->setEnabled(on);
  if (busy) {
    QApplication::setOverrideCursor(Qt::WaitCursor);
  } else {
    QApplication::restoreOverrideCursor();
  }
  emit BusyChanged(busy);
  if (!busy && close_pending_) {
    // A close that arrived during the run; carried out once the run's own
    // clean-up (its report, its log entry) is done.
    QTimer::singleShot(0, this, [this] { close(); });
  }
}

void TFormMain::ShowProgress(bool on) {
  A2_->clear();
  for (QProgressBar* bar : {ProgressBar1_, ProgressBar2_}) {
    bar->setRange(0, 100);
    bar->setValue(0);
  }
  PanelProgress_->setVisible(on);
}

std::function<void()> TFormMain::Pump() const {
  return [] { QCoreApplication::processEvents(QEventLoop::AllEvents, 50); };
}

app::RunProgress TFormMain::ProgressHooks() {
  app::RunProgress p;
  p.pump = Pump();
  p.set_running = [this](bool running) {
    SetBusy(!running);
    ShowProgress(running);
  };
  p.on_total_percent = [this](int percent) { TotalBar()->setValue(percent); };
  p.on_file_percent = [this](int percent) { CurrentBar()->setValue(percent); };
  p.on_file = [this](const std::string& name) {
    FileNameLabel()->setText(QString::fromStdString(name));
    FileNameLabel()->repaint();
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

void TFormMain::menuPreferencesClick() {
  TFormPreferences::Environment env;
  env.data_dir = data_dir_;
  try {
    env.executable = std::filesystem::path(ProgramDir()) / "zipbackup";
  } catch (const Error&) {
    env.executable = QCoreApplication::applicationFilePath().toStdString();
  }
  env.ui = ui_;
  env.show_help = [this](int context) { ShowHelp(context); };
  (void)RunCommand(*ui_, [&] {
    TFormPreferences dialog(settings_, env, this);
    if (dialog.exec() != QDialog::Accepted) return;
    const app::AppSettings v = dialog.Values();
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

void TFormMain::Help2Click() {
  const int page = std::clamp(PageControl1_->currentIndex(), 0, 3);
  ShowHelp(kPageHelpContexts[page]);
}

void TFormMain::Help1Click() {
  if (!open_url_(QUrl(QString::fromLatin1(kWebsite))))
    ui_->ShowError(std::string("No web browser could be started for ") + kWebsite);
}

void TFormMain::About1Click() {
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

void TFormMain::OpenMainWindow1Click() {
  show();
  setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
  raise();
  activateWindow();
}

bool TFormMain::TrayAvailable() const {
  return tray_override_.value_or(QSystemTrayIcon::isSystemTrayAvailable());
}

void TFormMain::TrayIcon1Click() { OpenMainWindow1Click(); }

void TFormMain::ApplicationEvents1Minimize() {
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
    ApplicationEvents1Minimize();
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

void TFormMain::SpExitClick() { close(); }

void TFormMain::CloseBySignal() {
  closing_by_signal_ = true;
  if (busy_) {
    interrupt_requested_ = true;
    close_pending_ = true;
    return;
  }
  close();
}

void TFormMain::FormClose() {
  Timer1_->stop();
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

void TFormMain::closeEvent(QCloseEvent* event) {
  if (busy_) {
    // Tearing the window down under a running writer would leave a broken
    // archive; the close happens when the run has ended.
    close_pending_ = true;
    event->ignore();
    return;
  }
  FormClose();
  TrayIcon1_->hide();
  event->accept();
  emit FormClosed();
}

}  // namespace zb::shell
