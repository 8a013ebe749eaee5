// The main window on a temporary data folder: layout, toolbar, menus, tray
// behaviour, settings at start and close, the log grid, help, busy close.

#include "shell/main_window.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QMenu>
#include <QProgressBar>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QUrl>
#include <memory>
#include <stdexcept>

#include "backup/backup_project.h"
#include "scripted_user_interaction.h"
#include "shell/log_grid_model.h"
#include "shell/scheduler.h"
#include "ui/ui_test_support.h"

using zb::app::ScriptedUserInteraction;
using zb::shell::TFormMain;
using zb::test::ReadText;
using zb::test::WriteText;

class MainWindowTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<QTemporaryDir> dir_;
  std::unique_ptr<QTemporaryDir> help_;
  ScriptedUserInteraction ui_;
  QList<QUrl> opened_;
  std::unique_ptr<TFormMain> w_;

  std::filesystem::path Data() const { return zb::test::PathOf(*dir_); }
  void Make(std::optional<bool> tray = false) {
    TFormMain::Options o;
    o.data_dir = Data();
    o.ui = &ui_;
    o.help_dir = zb::test::PathOf(*help_);
    o.tray_available = tray;
    o.open_url = [this](const QUrl& u) {
      opened_ << u;
      return true;
    };
    w_ = std::make_unique<TFormMain>(std::move(o));
  }
  template <typename T>
  T* Find(const char* name) {
    T* t = w_->findChild<T*>(name);
    if (!t) qWarning("missing control %s", name);
    return t;
  }
  QStringList Texts(QMenu* m) {
    QStringList out;
    for (QAction* a : m->actions()) out << (a->isSeparator() ? QStringLiteral("-") : a->text());
    return out;
  }
  const char* kProjects =
      "[Common]\nProject Count=3\nCount0=Weekly\nCount1=alpha\nCount2=Daily\n"
      "Last Project=daily\n";

 private slots:
  void init() {
    dir_ = std::make_unique<QTemporaryDir>();
    help_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid() && help_->isValid());
    WriteText(zb::test::PathOf(*help_) / "index.html", "<html></html>");
    ui_ = ScriptedUserInteraction();
    opened_.clear();
  }
  void cleanup() { w_.reset(); }

  void captionSizeAndPageOrder() {
    Make();
    QCOMPARE(w_->windowTitle(), QString("Quillomar ZIP Backup  V1.50"));
    QCOMPARE(w_->size(), QSize(779, 543));
    QCOMPARE(w_->minimumSize(), w_->maximumSize());
    QVERIFY(!(w_->windowFlags() & Qt::WindowMaximizeButtonHint));
    auto* pages = Find<QTabWidget>("PageControl1");
    QVERIFY(pages);
    QStringList captions, names;
    for (int i = 0; i < pages->count(); ++i) {
      captions << pages->tabText(i);
      names << pages->widget(i)->objectName();
    }
    QCOMPARE(captions, (QStringList{"Backup ", "Restore", "Synchronize", "Log"}));
    QCOMPARE(names, (QStringList{"Tabbackup", "TabRestore", "TabSync", "TabLog"}));
    QCOMPARE(pages->currentIndex(), 0);
    QVERIFY(!Find<QWidget>("PanelProgress")->isVisibleTo(w_.get()));
  }

  void toolbarHintsAndEnabledStates() {
    Make();
    const std::pair<const char*, const char*> buttons[] = {{"SpNew", "Add Project"},
                                                           {"SpEdit", "Edit Project"},
                                                           {"SpSave", "Save Project"},
                                                           {"SpCancel", "Cancel "},
                                                           {"SpRename", "Rename Project"},
                                                           {"spCopy", "Copy Project"},
                                                           {"SpDelete", "Delete Project"},
                                                           {"SpMenu", "Menu"},
                                                           {"spEnable", "Enabled Scheduling"},
                                                           {"SpeedButton15", "Help"},
                                                           {"SpStart", "Create Backup"},
                                                           {"SpRestore", "Restore File"},
                                                           {"SpExit", "Exit"}};
    int previous_x = -1;
    w_->show();
    for (const auto& [name, hint] : buttons) {
      auto* b = Find<QToolButton>(name);
      QVERIFY2(b, name);
      QCOMPARE(b->toolTip(), QString(hint));
      const bool disabled_at_start = QString(name) == "SpSave" || QString(name) == "SpCancel";
      QCOMPARE(b->isEnabled(), !disabled_at_start);
      QVERIFY2(b->x() > previous_x, name);  // left to right in this order
      previous_x = b->x();
    }
    QVERIFY(Find<QToolButton>("spEnable")->isChecked());
    QVERIFY(Find<QComboBox>("comboProject")->x() < Find<QToolButton>("SpNew")->x());
  }

  void menusHoldTheirItemsInOrder() {
    Make();
    QCOMPARE(Texts(Find<QMenu>("PopupMenu1")),
             (QStringList{"Preferences...", "-", "Visits Website...", "Help...", "About..."}));
    QCOMPARE(Find<QAction>("Help2")->shortcut(), QKeySequence(Qt::Key_F1));
    QCOMPARE(Find<QToolButton>("SpMenu")->menu(), Find<QMenu>("PopupMenu1"));
    QCOMPARE(Texts(Find<QMenu>("PopupMenu2")),
             (QStringList{"Open main window", "Enabled Scheduling", "-", "Synchronize Project",
                          "Backup Project", "-", "Help...              F1", "E&xit"}));
  }

  void firstStartInEmptyFolderShowsDefaults() {
    Make();
    QCOMPARE(Find<QComboBox>("comboProject")->count(), 0);
    QCOMPARE(w_->Settings().LogCount, 50);
    QCOMPARE(w_->Log().Rows().size(), size_t{50});
    QVERIFY(!w_->StartMinimizedPending());
    QVERIFY(ui_.shown.empty());
  }

  void projectsSettingsAndTrayMenuLoad() {
    WriteText(Data() / "project.ini", std::string(kProjects) + "Enable schedule=0\n");
    Make();
    auto* combo = Find<QComboBox>("comboProject");
    QCOMPARE(w_->ProjectNames(), (std::vector<std::string>{"alpha", "Daily", "Weekly"}));
    QCOMPARE(combo->currentText(), QString("Daily"));  // "Last Project", case ignored
    QCOMPARE(Texts(Find<QMenu>("menuBackup")), (QStringList{"alpha", "Daily", "Weekly"}));
    QVERIFY(!Find<QToolButton>("spEnable")->isChecked());
    QCOMPARE(Find<QAction>("menuEnDis")->text(), QString("Disabled Scheduling"));
    QCOMPARE(Find<QToolButton>("spEnable")->toolTip(), QString("Disabled Scheduling"));

    // A tray project item selects its project, tells the pages and runs it:
    // this one has no prefix, so the run's check refuses it in its box.
    int shown = 0;
    w_->Hooks().project_selected.push_back([&] { ++shown; });
    Find<QMenu>("menuBackup")->actions().at(2)->trigger();
    QCOMPARE(combo->currentText(), QString("Weekly"));
    QCOMPARE(shown, 1);
    QCOMPARE(ui_.shown.size(), size_t{1});
    QCOMPARE(ui_.shown[0].what, std::string("error"));
    QCOMPARE(ui_.shown[0].text, std::string("Please enter the prefix of backup filename"));
  }

  void schedulingSwitchAsksBeforeTurningOff() {
    Make();
    auto* button = Find<QToolButton>("spEnable");
    ui_.Answer(false);
    button->click();
    QCOMPARE(ui_.shown.size(), size_t{1});
    QCOMPARE(ui_.shown[0].text, std::string("Do you want to disable all scheduling?"));
    QCOMPARE(ui_.shown[0].kind, zb::MessageKind::kWarning);
    QVERIFY(button->isChecked());
    QCOMPARE(button->toolTip(), QString("Enabled Scheduling"));

    ui_.Answer(true);
    Find<QAction>("menuEnDis")->trigger();
    QVERIFY(!button->isChecked());
    QCOMPARE(Find<QAction>("menuEnDis")->text(), QString("Disabled Scheduling"));
    const qint64 off_key = w_->windowIcon().cacheKey();
    button->click();  // switching on asks nothing
    QCOMPARE(ui_.shown.size(), size_t{2});
    QCOMPARE(Find<QAction>("menuEnDis")->text(), QString("Enabled Scheduling"));
    QVERIFY(w_->windowIcon().cacheKey() != off_key);
  }

  void schedulingIconsFollowTheStoredSwitch() {
    const auto same = [](const QIcon& a, const char* file) {
      return a.pixmap(16, 16).toImage() == QIcon(file).pixmap(16, 16).toImage();
    };
    WriteText(Data() / "project.ini", std::string(kProjects) + "Enable schedule=0\n");
    Make();
    QVERIFY(same(w_->windowIcon(), ":/icons/fornormal.svg"));
    w_->OnSchedulingMenuItem();  // switching on asks nothing
    QVERIFY(ui_.shown.empty());
    QVERIFY(same(w_->windowIcon(), ":/icons/forauto.svg"));
    QVERIFY(!same(w_->windowIcon(), ":/icons/fornormal.svg"));
  }

  void scheduleTimerIsPreciseAndOutlivesAFailingTick() {
    Make();
    auto* timer = Find<QTimer>("Timer1");
    QCOMPARE(timer->interval(), 30000);
    QCOMPARE(timer->timerType(), Qt::PreciseTimer);
    QVERIFY(!timer->isActive());  // nothing scheduled: the timer stays stopped

    WriteText(Data() / "project.ini",
              std::string(kProjects) + "[alpha]\nBackupMode=1\nStartTime_or_Increase=5\n");
    Make();
    timer = Find<QTimer>("Timer1");
    QVERIFY(timer->isActive());
    int ticks = 0;
    w_->SetClock([&] {
      if (++ticks == 1) throw std::runtime_error("the clock could not be read");
      return zb::Now();
    });
    timer->setInterval(5);
    QTRY_VERIFY(ticks >= 3);     // the failed tick ended neither the timer nor the program
    QVERIFY(ui_.shown.empty());  // and it waited for nobody
    w_->close();                 // closing stops the timer before the settings are saved
    QVERIFY(!timer->isActive());
  }

  void scheduledProjectRunsWithoutAnyPage() {
    // The window runs a due project from the store itself: no page is
    // installed to show it, and the question configured for Create Backup
    // is not asked.
    const std::filesystem::path src = Data() / "src";
    std::filesystem::create_directories(src);
    WriteText(src / "a.txt", "alpha");
    WriteText(Data() / "project.ini",
              "[Common]\nPromptBeforeBackup=1\nProject Count=2\nCount0=Nightly\nCount1=Docs\n"
              "Last Project=Docs\n[Nightly]\nFilename prefix=night\nValue=0\nSave Path=" +
                  Data().string() + "/out/\nBackup Directory Count=1\nBackup0=" + src.string() +
                  "/*.txt\nWhether password Project=0\nBackupMode=1\n"
                  "StartTime_or_Increase=5\n");
    zb::DateTime now = zb::Now();
    Make();
    w_->SetClock([&] { return now; });
    w_->Scheduler().OnTick();  // not due yet
    QVERIFY(!std::filesystem::exists(Data() / "out" / "night1.zip"));
    now += 6.0 / 1440;
    w_->Scheduler().OnTick();
    QVERIFY(std::filesystem::is_regular_file(Data() / "out" / "night1.zip"));
    QCOMPARE(w_->SelectedProject(), std::string("Nightly"));
    QCOMPARE(zb::backup::ReadProject(Data(), "Nightly").Value, 1);
    QCOMPARE(w_->Log().Rows().front().status, std::string("Succeeds"));
    QCOMPARE(w_->Log().Rows().front().project, std::string("Nightly"));
    QVERIFY(!w_->Busy());
    QVERIFY(!ui_.shown.empty());
    for (const auto& s : ui_.shown) QCOMPARE(s.what, std::string("timed"));
  }

  // A daily time already past was made up at every start of the program.
  void missedDailyTimeIsMadeUpOnceAcrossTwoStarts() {
    const std::filesystem::path src = Data() / "src";
    std::filesystem::create_directories(src);
    WriteText(src / "a.txt", "alpha");
    WriteText(Data() / "project.ini",
              "[Common]\nProject Count=1\nCount0=Early\n[Early]\nFilename prefix=early\n"
              "Value=0\nSave Path=" +
                  Data().string() + "/out/\nBackup Directory Count=1\nBackup0=" + src.string() +
                  "/*.txt\nWhether password Project=0\nBackupMode=0\n"
                  "StartTime_or_Increase=00:00:01\n");
    for (int start = 1; start <= 2; ++start) {
      Make();
      w_->Scheduler().OnTick();
      QVERIFY(!w_->Busy());
    }
    QVERIFY(std::filesystem::is_regular_file(Data() / "out" / "early1.zip"));
    QVERIFY(!std::filesystem::exists(Data() / "out" / "early2.zip"));
    QCOMPARE(zb::backup::ReadProject(Data(), "Early").Value, 1);
  }

  void trayBackupItemsKeepTheirImageAndRestDuringARun() {
    WriteText(Data() / "project.ini", kProjects);
    Make();
    auto* menu = Find<QMenu>("menuBackup");
    // The schedule's rebuild marks the scheduled projects; a later rebuild
    // of the menu (a project added or renamed) keeps the marks.
    menu->actions().at(1)->setIcon(QIcon(":/icons/schedule.svg"));
    w_->RebuildBackupMenu();
    QCOMPARE(Texts(menu), (QStringList{"alpha", "Daily", "Weekly"}));
    QVERIFY(menu->actions().at(0)->icon().isNull());
    QVERIFY(!menu->actions().at(1)->icon().isNull());
    QVERIFY(menu->actions().at(2)->icon().isNull());

    auto* combo = Find<QComboBox>("comboProject");
    w_->SetBusy(false);
    w_->RebuildBackupMenu();
    for (QAction* a : menu->actions()) QVERIFY(!a->isEnabled());
    // A choice that reaches the window anyway changes nothing during the run.
    menu->actions().at(0)->setEnabled(true);
    menu->actions().at(0)->trigger();
    QVERIFY(ui_.shown.empty());
    QCOMPARE(combo->currentText(), QString("Daily"));
    w_->SetBusy(true);
    for (QAction* a : menu->actions()) QVERIFY(a->isEnabled());
    menu->actions().at(0)->trigger();
    QCOMPARE(combo->currentText(), QString("alpha"));
    QCOMPARE(ui_.shown.size(), size_t{1});  // the run of "alpha" spoke
  }

  void logGridShowsEntriesNewestFirstAndTrims() {
    WriteText(Data() / "project.ini", "[Common]\nLog Count=10\n");
    Make();
    auto* grid = Find<QTableView>("LogGrid");
    QAbstractItemModel* m = grid->model();
    QCOMPARE(m->rowCount(), 10);
    QStringList headings;
    for (int c = 0; c < m->columnCount(); ++c)
      headings << m->headerData(c, Qt::Horizontal).toString();
    QCOMPARE(headings, (QStringList{"Date", "Operation", "Status", "Project", "Information"}));

    w_->AddLogEntry("Backup", "Succeeds", "Daily", "3 files");
    w_->AddLogEntry("Restore", "Fails", "Weekly", "bad");
    QCOMPARE(m->index(0, 1).data().toString(), QString("Restore"));
    QCOMPARE(m->index(1, 3).data().toString(), QString("Daily"));
    QVERIFY(!m->index(0, 0).data().toString().isEmpty());
    // A failed row is red in every column; a good one keeps the normal colour.
    for (int c = 0; c < 5; ++c)
      QCOMPARE(m->index(0, c).data(Qt::ForegroundRole).value<QBrush>().color(), QColor(Qt::red));
    QVERIFY(!m->index(1, 2).data(Qt::ForegroundRole).isValid());

    for (int i = 0; i < 8; ++i) w_->AddLogEntry("Backup", "Succeeds", "P" + std::to_string(i), "");
    QCOMPARE(w_->Log().Total(), 5);
    QCOMPARE(m->index(0, 3).data().toString(), QString("P7"));
    QCOMPARE(m->index(4, 3).data().toString(), QString("P3"));
    QVERIFY(m->index(5, 3).data().toString().isEmpty());

    Find<QAction>("Clearalllog1")->trigger();
    QVERIFY(m->index(0, 3).data().toString().isEmpty());
    QVERIFY(ReadText(Data() / "log.txt").find("Log Total=0") != std::string::npos);
  }

  void handEditedLogCountCannotCrashTheGrid() {
    WriteText(Data() / "project.ini", "[Common]\nLog Count=-4\n");
    WriteText(Data() / "log.txt", "[Common]\nLog Total=-9\n");
    Make();
    QCOMPARE(w_->Log().Total(), 0);
    QCOMPARE(Find<QTableView>("LogGrid")->model()->rowCount(), 5);
    for (int i = 0; i < 7; ++i) w_->AddLogEntry("Backup", "Succeeds", "P", "");
    QCOMPARE(w_->Settings().LogCount, -4);  // the stored value is left alone
    QVERIFY(w_->Log().Total() <= 5);
  }

  void helpOpensTheContextOfThePage() {
    Make();
    auto* pages = Find<QTabWidget>("PageControl1");
    QStringList fragments;
    for (int i = 0; i < 4; ++i) {
      pages->setCurrentIndex(i);
      Find<QToolButton>("SpeedButton15")->click();
      QCOMPARE(opened_.size(), i + 1);
      QVERIFY(opened_.last().isLocalFile());
      QVERIFY(opened_.last().toLocalFile().endsWith("index.html"));
      fragments << opened_.last().fragment();
    }
    QCOMPARE(fragments, (QStringList{"context-41", "context-6", "context-103", ""}));
    Find<QAction>("Help1")->trigger();
    QCOMPARE(opened_.last().scheme(), QString("https"));
  }

  void missingHelpFileIsReported() {
    help_ = std::make_unique<QTemporaryDir>();  // empty: no guide
    Make();
    w_->OnHelp();
    QVERIFY(opened_.isEmpty());
    QCOMPARE(ui_.shown.size(), size_t{1});
    QCOMPARE(ui_.shown[0].what, std::string("error"));
    QVERIFY(ui_.shown[0].text.find("index.html") != std::string::npos);
  }

  void closeSavesSettingsOnlyWithProjects() {
    Make();
    QSignalSpy closed(w_.get(), &TFormMain::FormClosed);
    w_->show();
    QVERIFY(w_->close());
    QCOMPARE(closed.count(), 1);
    QVERIFY(!QFile::exists(QString::fromStdString((Data() / "project.ini").string())));

    WriteText(Data() / "project.ini", kProjects);
    Make();
    w_->Settings().NumberWidth = 7;
    Find<QComboBox>("comboProject")->setCurrentIndex(2);
    Find<QToolButton>("SpExit")->click();
    const std::string text = ReadText(Data() / "project.ini");
    QVERIFY(text.find("Width=7") != std::string::npos);
    QVERIFY(text.find("Last Project=Weekly") != std::string::npos);
    QVERIFY(text.find("Enable schedule=1") != std::string::npos);
  }

  void closeDuringARunWaitsForItsEnd() {
    WriteText(Data() / "project.ini", kProjects);
    Make();
    w_->show();
    QSignalSpy closed(w_.get(), &TFormMain::FormClosed);
    w_->SetBusy(false);
    w_->ShowProgress(true);
    QVERIFY(!Find<QToolButton>("SpStart")->isEnabled());
    QVERIFY(!Find<QToolButton>("SpRestore")->isEnabled());
    QVERIFY(!Find<QTabWidget>("PageControl1")->isEnabled());
    for (QAction* a : Find<QMenu>("menuBackup")->actions()) QVERIFY(!a->isEnabled());
    QVERIFY(Find<QWidget>("PanelProgress")->isVisible());

    QVERIFY(!w_->close());  // remembered, not done
    QCOMPARE(closed.count(), 0);
    QVERIFY(!w_->InterruptRequested());
    QVERIFY(ReadText(Data() / "project.ini").find("Width=") == std::string::npos);

    w_->ShowProgress(false);
    w_->SetBusy(true);
    QTRY_COMPARE(closed.count(), 1);
    QVERIFY(ReadText(Data() / "project.ini").find("Width=") != std::string::npos);
  }

  void signalDuringARunInterruptsThenCloses() {
    WriteText(Data() / "project.ini", kProjects);
    Make();
    w_->show();
    QSignalSpy closed(w_.get(), &TFormMain::FormClosed);
    w_->SetBusy(false);
    w_->CloseBySignal();
    QVERIFY(w_->InterruptRequested());  // the run polls this at its next block
    QCOMPARE(closed.count(), 0);
    w_->SetBusy(true);
    QTRY_COMPARE(closed.count(), 1);
    QVERIFY(ui_.shown.empty());  // nothing asked
  }

  // A long run that opts in is stopped by a close request and the window
  // closes after it has returned, its tool windows first; a backup-style run
  // still finishes first on the close box. Columns: stops on close, asked by
  // the signal path, whether the run should stop early.
  void closeStopsARunThatOptsIn_data() {
    QTest::addColumn<bool>("stoppable");
    QTest::addColumn<bool>("by_signal");
    QTest::addColumn<bool>("stops");
    QTest::newRow("opted in, close box") << true << false << true;
    QTest::newRow("opted in, signal") << true << true << true;
    QTest::newRow("backup, close box") << false << false << false;
    QTest::newRow("backup, signal") << false << true << true;
  }
  void closeStopsARunThatOptsIn() {
    QFETCH(bool, stoppable);
    QFETCH(bool, by_signal);
    QFETCH(bool, stops);
    WriteText(Data() / "project.ini", kProjects);
    Make();
    w_->show();
    QWidget tool;  // a tool window of the program, such as the FTP window
    tool.show();
    QStringList events;
    connect(w_.get(), &TFormMain::FormClosed, this,
            [&] { events << (tool.isVisible() ? "closed, tool open" : "closed"); });
    zb::app::BusyStyle style;
    style.stop_on_close = stoppable;
    style.wait_cursor = !stoppable;
    zb::app::RunProgress run = w_->ProgressHooks(style);
    run.set_running(true);
    QCOMPARE(QApplication::overrideCursor() != nullptr, !stoppable);
    QTimer::singleShot(0, w_.get(), [&] {
      if (by_signal) {
        w_->CloseBySignal();
      } else {
        w_->close();  // what the close box and "E&xit" do
      }
    });
    constexpr int kBlocks = 100;
    int blocks = 0;
    for (; blocks < kBlocks && !run.interrupted(); ++blocks) run.pump();
    QVERIFY(events.isEmpty());  // the window waited for the run
    events << "returned";
    run.set_running(false);
    QCOMPARE(blocks < kBlocks, stops);
    QTRY_COMPARE(events, (QStringList{"returned", "closed"}));
    QVERIFY(QApplication::overrideCursor() == nullptr);
  }

  void minimizeGoesToTrayAndClickRestores() {
    Make(true);
    w_->show();
    QVERIFY(QTest::qWaitForWindowExposed(w_.get()));
    w_->showMinimized();
    QTRY_VERIFY(!w_->isVisible());
    w_->OnTrayIconClicked();
    QVERIFY(w_->isVisible());
    QVERIFY(!w_->isMinimized());
  }

  void withoutTrayMinimizeKeepsTheWindowReachable() {
    Make(false);
    w_->show();
    w_->showMinimized();
    QCoreApplication::processEvents();
    QVERIFY(w_->isVisible());
    QVERIFY(w_->isMinimized());
  }

  void minimizedStartKeepsTaskbarButtonOnce() {
    WriteText(Data() / "project.ini", "[Common]\nAuto Run=1\nIs Minimized=1\n");
    Make(true);
    QVERIFY(w_->windowState() & Qt::WindowMinimized);
    w_->show();
    QCoreApplication::processEvents();
    // The start's own minimize is consumed: the window stays on the taskbar.
    QVERIFY(!w_->StartMinimizedPending());
    QVERIFY(w_->isVisible());
    QVERIFY(w_->isMinimized());
    w_->OnOpenMainWindow();
    w_->showMinimized();
    QTRY_VERIFY(!w_->isVisible());  // the next minimize goes to the tray
  }

  void minimizedStartNeedsAutoRun() {
    WriteText(Data() / "project.ini", "[Common]\nAuto Run=0\nIs Minimized=1\n");
    Make(true);
    QVERIFY(!w_->StartMinimizedPending());
    QVERIFY(!(w_->windowState() & Qt::WindowMinimized));
  }
};

QTEST_MAIN(MainWindowTest)
#include "main_window_test.moc"
