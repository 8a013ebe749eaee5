// The Backup page driven as a user would: showing, editing and saving a
// project, the project commands, a run from the toolbar and from the timer.

#include "backup/ui/backup_page.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QListWidget>
#include <QRadioButton>
#include <QSpinBox>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <memory>

#include "app/activity_log.h"
#include "app/ui/main_window.h"
#include "app/ui/scripted_user_interaction.h"
#include "backup/backup_project.h"
#include "ui/ui_test_support.h"

using zb::DateTime;
using zb::app::ScriptedUserInteraction;
using zb::app::TFormMain;
using zb::backup::BackupProject;
using zb::backup::ui::TBackupPage;
namespace fs = std::filesystem;

class BackupPageTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<QTemporaryDir> dir_;
  ScriptedUserInteraction ui_;
  std::unique_ptr<TFormMain> w_;
  TBackupPage* page_ = nullptr;

  fs::path Root() const { return zb::test::PathOf(*dir_); }
  fs::path Data() const { return Root() / "data"; }
  fs::path Out() const { return Root() / "out"; }

  BackupProject Project(const std::string& prefix) const {
    BackupProject p = BackupProject::Defaults();
    p.FilenamePrefix = prefix;
    p.Suffix = zb::backup::kSuffixNumber;
    p.Value = 4;
    p.IncreaseValue = 2;
    p.SavePath = Out().string() + "/";
    p.Include = {(Root() / "src").string() + "/*.*"};
    p.Exclude = {(Root() / "src").string() + "/*.tmp"};
    p.UsePassword = false;
    p.StoreNumber = 3;
    return p;
  }
  void Store(const std::vector<std::string>& names) {
    zb::backup::WriteProjectList(Data(), names);
    for (const std::string& n : names) {
      BackupProject p = Project(n == "Weekly" ? "w" : "d");
      zb::backup::WriteProject(Data(), n, p);
    }
  }
  void Make() {
    TFormMain::Options o;
    o.data_dir = Data();
    o.ui = &ui_;
    o.help_dir = Root();
    o.tray_available = false;
    o.install_pages = [](TFormMain& w) { zb::backup::ui::InstallBackupPage(w); };
    w_ = std::make_unique<TFormMain>(std::move(o));
    page_ = w_->findChild<TBackupPage*>();
    QVERIFY(page_ != nullptr);
  }
  template <typename T>
  T* Find(const char* name) {
    T* t = w_->findChild<T*>(name);
    if (!t) qFatal("missing control %s", name);
    return t;
  }
  QToolButton* Button(const char* name) { return Find<QToolButton>(name); }
  QString Selected() { return w_->ProjectBox()->currentText(); }
  bool ShownError(const std::string& text) {
    for (const auto& s : ui_.shown)
      if (s.text == text) return true;
    return false;
  }

 private slots:
  void init() {
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
    fs::create_directories(Data());
    fs::create_directories(Out());
    fs::create_directories(Root() / "src" / "sub");
    zb::test::WriteText(Root() / "src" / "a.txt", "alpha alpha alpha");
    zb::test::WriteText(Root() / "src" / "sub" / "b.txt", "beta");
    ui_ = ScriptedUserInteraction();
  }
  void cleanup() {
    w_.reset();
    page_ = nullptr;
  }

  void ShowsTheProjectAndSwitchesModes() {
    Store({"Daily", "Weekly"});
    Make();
    QCOMPARE(Selected(), QString("Daily"));
    QCOMPARE(Find<QLineEdit>("EditPrefix")->text(), QString("d"));
    // The box shows the next number: last 4 plus step 2.
    QCOMPARE(Find<QSpinBox>("spinValue")->value(), 6);
    QCOMPARE(Find<QLineEdit>("EditFilename")->text(),
             QString::fromStdString(Out().string() + "/d6.zip"));
    QCOMPARE(Find<QListWidget>("ListboxBackup")->count(), 1);
    QCOMPARE(Find<QListWidget>("ListBoxNobackup")->count(), 1);

    // Browse mode.
    QVERIFY(!Button("SpSave")->isEnabled());
    QVERIFY(!Find<QGroupBox>("GroupDes")->isEnabled());
    QVERIFY(!Button("Button4")->isEnabled());
    QVERIFY(Find<QListWidget>("ListboxBackup")->isEnabled());
    QVERIFY(w_->ProjectBox()->isEnabled() && Button("SpStart")->isEnabled());

    QTest::mouseClick(Button("SpEdit"), Qt::LeftButton);
    QVERIFY(page_->Editing());
    QVERIFY(Button("SpSave")->isEnabled() && Button("SpCancel")->isEnabled());
    for (const char* g : {"GroupDes", "GroupOption", "GroupSche"})
      QVERIFY(Find<QGroupBox>(g)->isEnabled());
    QVERIFY(Button("Button4")->isEnabled());
    for (const char* b : {"SpNew", "SpEdit", "SpRename", "SpDelete", "SpStart"})
      QVERIFY2(!Button(b)->isEnabled(), b);
    QVERIFY(!w_->ProjectBox()->isEnabled());
    QVERIFY(Button("spCopy")->isEnabled());
    QVERIFY(Find<QListWidget>("ListboxBackup")->isEnabled());

    // Typing a prefix recomputes the name; Cancel throws the change away.
    QLineEdit* prefix = Find<QLineEdit>("EditPrefix");
    prefix->selectAll();
    QTest::keyClicks(prefix, "night");
    QCOMPARE(Find<QLineEdit>("EditFilename")->text(),
             QString::fromStdString(Out().string() + "/night6.zip"));
    QTest::mouseClick(Button("SpCancel"), Qt::LeftButton);
    QVERIFY(!page_->Editing());
    QCOMPARE(prefix->text(), QString("d"));
    QCOMPARE(Find<QLineEdit>("EditFilename")->text(),
             QString::fromStdString(Out().string() + "/d6.zip"));

    // Showing the other project.
    w_->ProjectBox()->setCurrentIndex(1);
    QCOMPARE(prefix->text(), QString("w"));
  }

  void SaveWritesThePageAndRefusesAFailedCheck() {
    Store({"Daily"});
    Make();
    QTest::mouseClick(Button("SpEdit"), Qt::LeftButton);
    QLineEdit* prefix = Find<QLineEdit>("EditPrefix");
    prefix->selectAll();
    QTest::keyClicks(prefix, "  night ");
    Find<QSpinBox>("spinValue")->setValue(10);
    Find<QSpinBox>("spStore")->setValue(7);
    Find<QRadioButton>("radioDaily")->setChecked(true);
    Find<QSpinBox>("SpinEditNumber")->setValue(90);
    QTest::mouseClick(Button("SpSave"), Qt::LeftButton);
    QVERIFY(!page_->Editing());
    const BackupProject p = zb::backup::ReadProject(Data(), "Daily");
    QCOMPARE(p.FilenamePrefix, std::string("night"));
    QCOMPARE(p.Value, 8);  // shown 10 minus step 2
    QCOMPARE(p.StoreNumber, 7);
    QCOMPARE(p.BackupMode, zb::backup::kModeInterval);
    QCOMPARE(p.IntervalMinutes, 90);
    QCOMPARE(p.SavePath, Out().string() + "/");
    // Save rebuilt the schedule.
    QVERIFY(page_->Schedule().IsScheduled("Daily"));

    // A failed check: message, edit mode kept, nothing written.
    QTest::mouseClick(Button("SpEdit"), Qt::LeftButton);
    Find<QLineEdit>("EditFilename")->clear();
    Find<QSpinBox>("spStore")->setValue(9);
    QTest::mouseClick(Button("SpSave"), Qt::LeftButton);
    QVERIFY(page_->Editing());
    QVERIFY(ShownError("Please enter the backup filename"));
    QCOMPARE(zb::backup::ReadProject(Data(), "Daily").StoreNumber, 7);
  }

  void RenameCopyAndDelete() {
    Store({"Daily", "Weekly"});
    Make();
    QStringList captions, proposals;
    QStringList answers = {"weekly", "Nightly", "Copy A"};
    page_->SetNameAsker(
        [&](const QString& caption, const QString& initial) -> std::optional<QString> {
          captions << caption;
          proposals << initial;
          return answers.takeFirst();
        });

    // Rename onto another project's name (case ignored) changes nothing.
    QTest::mouseClick(Button("SpRename"), Qt::LeftButton);
    QVERIFY(ShownError("Project Name exists,Rename fail!"));
    QCOMPARE(w_->ProjectNames(), QStringList({"Daily", "Weekly"}));

    QTest::mouseClick(Button("SpRename"), Qt::LeftButton);
    QCOMPARE(w_->ProjectNames(), QStringList({"Nightly", "Weekly"}));
    QCOMPARE(Selected(), QString("Nightly"));
    QCOMPARE(zb::backup::ReadProjectList(Data()).names,
             std::vector<std::string>({"Nightly", "Weekly"}));
    QCOMPARE(zb::backup::ReadProject(Data(), "Nightly").FilenamePrefix, std::string("d"));
    QVERIFY(zb::test::ReadText(Data() / "project.ini").find("[Daily]") == std::string::npos);

    QTest::mouseClick(Button("spCopy"), Qt::LeftButton);
    QCOMPARE(proposals.last(), QString("Copy of Nightly"));
    QCOMPARE(captions, QStringList({"Rename Project", "Rename Project", "Copy Project"}));
    QCOMPARE(Selected(), QString("Copy A"));
    QCOMPARE(Find<QLineEdit>("EditPrefix")->text(), QString("d"));
    QCOMPARE(zb::backup::ReadProject(Data(), "Copy A").FilenamePrefix, std::string("d"));
    QCOMPARE(w_->ProjectNames().size(), 3);

    // Delete asks; No keeps the project.
    ui_.Answer(false);
    QTest::mouseClick(Button("SpDelete"), Qt::LeftButton);
    QVERIFY(ShownError("Do you want to delete 'Copy A' project?"));
    QCOMPARE(w_->ProjectNames().size(), 3);
    QTest::mouseClick(Button("SpDelete"), Qt::LeftButton);
    QCOMPARE(w_->ProjectNames(), QStringList({"Nightly", "Weekly"}));
    QCOMPARE(Selected(), QString("Nightly"));
    QTest::mouseClick(Button("SpDelete"), Qt::LeftButton);
    QTest::mouseClick(Button("SpDelete"), Qt::LeftButton);
    QVERIFY(w_->ProjectNames().isEmpty());
    QVERIFY(zb::backup::ReadProjectList(Data()).names.empty());
    QVERIFY(Find<QLineEdit>("EditPrefix")->text().isEmpty());
    QVERIFY(Find<QLineEdit>("EditFilename")->text().isEmpty());
    QCOMPARE(Find<QListWidget>("ListboxBackup")->count(), 0);
    QCOMPARE(Find<QListWidget>("ListBoxNobackup")->count(), 0);
  }

  void RunFromTheToolbarMakesAnArchiveAndLocksTheProject() {
    Store({"Daily", "Weekly"});
    Make();
    w_->Settings().PromptBeforeBackup = true;
    // What the user could touch while the run works.
    QStringList enabled_during_run;
    bool saw_busy = false;
    connect(w_.get(), &TFormMain::BusyChanged, this, [&](bool busy) {
      if (!busy) return;
      saw_busy = true;
      if (w_->ProjectBox()->isEnabled()) enabled_during_run << "comboProject";
      for (const char* b : {"SpNew", "SpEdit", "SpRename", "spCopy", "SpDelete", "SpStart"})
        if (Button(b)->isEnabled()) enabled_during_run << b;
    });
    QTest::mouseClick(Button("SpStart"), Qt::LeftButton);
    QVERIFY(saw_busy);
    QCOMPARE(enabled_during_run, QStringList());
    QVERIFY(ShownError("Do you want to backup the project 'Daily'?"));
    QVERIFY(fs::is_regular_file(Out() / "d6.zip"));
    // The log page shows the run's line, and the page the next number.
    QCOMPARE(w_->Log().Rows().front().status, std::string("Succeeds"));
    QCOMPARE(w_->Log().Rows().front().project, std::string("Daily"));
    QCOMPARE(Find<QSpinBox>("spinValue")->value(), 8);
    QCOMPARE(Find<QLineEdit>("EditFilename")->text(),
             QString::fromStdString(Out().string() + "/d8.zip"));
    QCOMPARE(zb::backup::ReadProject(Data(), "Daily").Value, 6);
    // Everything is usable again.
    for (const char* b : {"SpNew", "SpEdit", "SpRename", "spCopy", "SpDelete", "SpStart"})
      QVERIFY2(Button(b)->isEnabled(), b);
    QVERIFY(w_->ProjectBox()->isEnabled());

    // Declined at the question: nothing written, nothing logged.
    const int total = w_->Log().Total();
    ui_.Answer(false);
    QTest::mouseClick(Button("SpStart"), Qt::LeftButton);
    QVERIFY(!fs::exists(Out() / "d8.zip"));
    QCOMPARE(w_->Log().Total(), total);
  }

  void AddShowsTheProjectTheWizardStored() {
    Store({"Daily", "Weekly"});
    Make();
    page_->SetNewProjectDialog([this](QWidget*) {
      BackupProject p = Project("m");
      zb::backup::AppendProjectToList(Data(), "Monthly", 2);
      zb::backup::WriteProject(Data(), "Monthly", p);
      return true;
    });
    QTest::mouseClick(Button("SpNew"), Qt::LeftButton);
    QCOMPARE(w_->ProjectNames(), QStringList({"Daily", "Monthly", "Weekly"}));
    QCOMPARE(Selected(), QString("Monthly"));
    QCOMPARE(Find<QLineEdit>("EditPrefix")->text(), QString("m"));
  }

  void TrayItemDuringEditingRunsTheStoredProject() {
    Store({"Daily", "Weekly"});
    Make();
    QTest::mouseClick(Button("SpEdit"), Qt::LeftButton);
    QLineEdit* prefix = Find<QLineEdit>("EditPrefix");
    prefix->selectAll();
    QTest::keyClicks(prefix, "unsaved");
    w_->Hooks().backup_project_chosen("weekly");
    // The stored project replaced the unsaved page and ran; editing goes on.
    QVERIFY(fs::is_regular_file(Out() / "w6.zip"));
    QCOMPARE(Selected(), QString("Weekly"));
    QCOMPARE(prefix->text(), QString("w"));
    QVERIFY(page_->Editing());
    QVERIFY(Button("SpSave")->isEnabled());
    QVERIFY(!Button("SpStart")->isEnabled());
    QVERIFY(!w_->ProjectBox()->isEnabled());
  }

  void TimerStartsADueProjectWithoutAQuestion() {
    Store({"Daily", "Weekly"});
    BackupProject weekly = zb::backup::ReadProject(Data(), "Weekly");
    weekly.BackupMode = zb::backup::kModeInterval;
    weekly.IntervalMinutes = 10;
    zb::backup::WriteProject(Data(), "Weekly", weekly);
    DateTime now = zb::Now();
    Make();
    page_->SetClock([&] { return now; });
    w_->Settings().PromptBeforeBackup = true;
    page_->RebuildSchedule();
    QVERIFY(w_->ScheduleTimer()->isActive());

    // Not due yet: nothing starts.
    page_->Timer1Timer();
    QVERIFY(!fs::exists(Out() / "w6.zip"));

    // Due, but a project is being edited: the tick is skipped.
    now += 11.0 / 1440;
    QTest::mouseClick(Button("SpEdit"), Qt::LeftButton);
    page_->Timer1Timer();
    QVERIFY(!fs::exists(Out() / "w6.zip"));
    QTest::mouseClick(Button("SpCancel"), Qt::LeftButton);

    ui_.shown.clear();
    page_->Timer1Timer();
    QVERIFY(fs::is_regular_file(Out() / "w6.zip"));
    QCOMPARE(Selected(), QString("Weekly"));
    for (const auto& s : ui_.shown) {
      QVERIFY2(s.what != "ask", s.text.c_str());
      QCOMPARE(s.what, std::string("timed"));
    }
    QVERIFY(w_->Settings().PromptBeforeBackup);
    QCOMPARE(w_->Log().Rows().front().project, std::string("Weekly"));

    // A scheduled run that fails its checks leaves a log line, no waiting box.
    fs::remove_all(Root() / "src");
    BackupProject broken = zb::backup::ReadProject(Data(), "Weekly");
    broken.Include.clear();
    zb::backup::WriteProject(Data(), "Weekly", broken);
    ui_.shown.clear();
    now += 11.0 / 1440;
    page_->Timer1Timer();
    QCOMPARE(w_->Log().Rows().front().status, std::string("Fails"));
    for (const auto& s : ui_.shown) QCOMPARE(s.what, std::string("timed"));
  }
};

QTEST_MAIN(BackupPageTest)
#include "backup_page_test.moc"
