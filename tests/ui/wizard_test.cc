// The new-project wizard, the wildcard list editor and the two pickers:
// each step's checks and messages, what Finish stores (read back through the
// core), what Cancel leaves alone, and the pickers' list entries. The
// system's file and folder dialogs are replaced by a scripted PickerDialogs.

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTest>
#include <QTimer>
#include <deque>
#include <memory>

#include "backup/archive_naming.h"
#include "backup/backup_project.h"
#include "backup/ui/entry_delegate.h"
#include "backup/ui/file_picker.h"
#include "backup/ui/new_project_wizard.h"
#include "backup/ui/wildcard_picker.h"
#include "backup/wildcard_list.h"
#include "base/date_time.h"
#include "scripted_user_interaction.h"
#include "shell/main_window.h"
#include "ui/ui_test_support.h"

using zb::app::ScriptedUserInteraction;
using zb::backup::ui::PickerContext;
using zb::backup::ui::TFormProjectName;
using zb::backup::ui::TFormselectbyfilter;
using zb::backup::ui::TFormWildcard;
using zb::backup::ui::WizardContext;
using zb::test::ReadText;
using zb::test::WriteText;

namespace {

// Answers the file-open and folder dialogs from queues; an empty queue is
// Cancel.
class ScriptedDialogs final : public zb::backup::ui::PickerDialogs {
 public:
  std::optional<QStringList> OpenFiles(QWidget*, const QString& title) override {
    titles.push_back(title);
    if (files.empty()) return std::nullopt;
    QStringList f = files.front();
    files.pop_front();
    return f;
  }
  std::optional<QString> SelectFolder(QWidget*, const QString& title) override {
    titles.push_back(title);
    if (folders.empty()) return std::nullopt;
    QString f = folders.front();
    folders.pop_front();
    return f;
  }
  std::deque<QStringList> files;
  std::deque<QString> folders;
  QStringList titles;
};

}  // namespace

class WizardTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<QTemporaryDir> dir_;
  QTemporaryDir home_;
  ScriptedUserInteraction ui_;
  ScriptedDialogs dialogs_;
  std::vector<int> help_;

  std::filesystem::path Data() const { return zb::test::PathOf(*dir_); }
  QString Home() const { return home_.path() + "/"; }
  PickerContext Pickers() {
    return PickerContext{Data(), &ui_, [this](int topic) { help_.push_back(topic); }};
  }
  std::unique_ptr<TFormProjectName> Open(QStringList names = {}, bool append_zero = false) {
    WizardContext c;
    c.pickers = Pickers();
    c.naming.append_zero = append_zero;
    c.naming.width = 2;
    c.project_names = std::move(names);
    return std::make_unique<TFormProjectName>(std::move(c));
  }
  template <typename T>
  static T* Find(QWidget* w, const char* name) {
    T* found = w->findChild<T*>(name);
    if (found == nullptr) qWarning("missing control %s", name);
    return found;
  }
  static void Click(QWidget* w, const char* button) {
    QPushButton* b = Find<QPushButton>(w, button);
    QVERIFY(b != nullptr);
    b->click();
  }
  std::string LastError() const {
    return ui_.shown.empty() ? std::string() : ui_.shown.back().text;
  }
  std::string LastKind() const { return ui_.shown.empty() ? std::string() : ui_.shown.back().what; }
  // Fills step 1 and step 2 (one file) and stops on step 3.
  void ToStep3(TFormProjectName& w, const QString& name) {
    Find<QLineEdit>(&w, "comboproject")->setText(name);
    Click(&w, "btnNext");
    dialogs_.files.push_back({"/srv/data/report.txt"});
    Click(&w, "SpeedButton2");
    Click(&w, "btnNext");
  }

 private slots:
  void initTestCase() {
    QVERIFY(home_.isValid());
    qputenv("HOME", home_.path().toUtf8());
  }
  void init() {
    dir_ = std::make_unique<QTemporaryDir>();
    ui_ = ScriptedUserInteraction();
    dialogs_.files.clear();
    dialogs_.folders.clear();
    dialogs_.titles.clear();
    help_.clear();
    zb::backup::ui::SetPickerDialogs(&dialogs_);
  }
  void cleanup() { zb::backup::ui::SetPickerDialogs(nullptr); }

  void finishWithInitialValuesStoresNumberModeProject() {
    auto w = Open();
    QCOMPARE(w->windowTitle(), QString("Add project wizard - Step 1 of 6"));
    QVERIFY(!Find<QPushButton>(w.get(), "btnBack")->isEnabled());

    // Step 1: empty name, then a name with blanks around it.
    Click(w.get(), "btnNext");
    QCOMPARE(LastError(), std::string("Please input a new project name!"));
    QCOMPARE(LastKind(), std::string("error"));
    QCOMPARE(w->Step(), 0);
    Find<QLineEdit>(w.get(), "comboproject")->setText("  Daily ");
    Click(w.get(), "btnNext");
    QCOMPARE(w->Step(), 1);
    QCOMPARE(Find<QLineEdit>(w.get(), "EditPrefix")->text(), QString("  Daily "));
    QVERIFY(Find<QPushButton>(w.get(), "btnBack")->isEnabled());

    // Step 2: the list must not be empty; the file picker fills it.
    Click(w.get(), "btnNext");
    QCOMPARE(LastError(), std::string("Please select files to backup"));
    QCOMPARE(w->Step(), 1);
    dialogs_.files.push_back({"/srv/data/report.txt"});
    Click(w.get(), "SpeedButton2");
    QCOMPARE(dialogs_.titles.back(), QString("Select files by filename"));
    for (int step = 2; step <= 5; ++step) {
      Click(w.get(), "btnNext");
      QCOMPARE(w->Step(), step);
    }
    QCOMPARE(w->windowTitle(), QString("Add project wizard - Step 6 of 6"));
    QCOMPARE(Find<QPushButton>(w.get(), "btnNext")->text(), QString("Finish"));
    QCOMPARE(Find<QLineEdit>(w.get(), "EditFilename")->text(), Home() + "Daily1.zip");
    const size_t messages = ui_.shown.size();
    Click(w.get(), "btnNext");
    QCOMPARE(ui_.shown.size(), messages);
    QCOMPARE(w->result(), int(QDialog::Accepted));

    const auto list = zb::backup::ReadProjectList(Data());
    QCOMPARE(list.names, std::vector<std::string>{"Daily"});
    QCOMPARE(list.last_project, std::string("Daily"));
    zb::backup::BackupProject p = zb::backup::ReadProject(Data(), "Daily");
    QCOMPARE(p.FilenamePrefix, std::string("Daily"));
    QCOMPARE(p.Suffix, zb::backup::kSuffixNumber);
    QCOMPARE(p.Value, 0);
    QCOMPARE(p.IncreaseValue, 1);
    QCOMPARE(p.SavePath, Home().toStdString());
    QCOMPARE(p.PackLevel, 6);
    QCOMPARE(p.StoreNumber, 50);
    QCOMPARE(p.BackupMode, zb::backup::kModeNone);
    QCOMPARE(p.Include, std::vector<std::string>{"/srv/data/report.txt"});
    QVERIFY(p.Exclude.empty());
    QVERIFY(p.IncludeSubfolders && p.StorePath && !p.UsePassword && !p.StoreComment);
    QVERIFY(!p.UseNewer && !p.UseToday);
    QCOMPARE(zb::FormatDateTimeFull(p.NewerThan),
             zb::FormatDateTimeFull(*zb::EncodeDateTime(1980, 1, 1)));
    // The first run of the stored project names its archive with number 1.
    zb::backup::ClampForRun(p);
    QCOMPARE(zb::backup::NextArchiveName(p, zb::Now(), {false, 2}),
             (Home() + "Daily1.zip").toStdString());
    QCOMPARE(zb::backup::NextArchiveName(p, zb::Now(), {true, 2}),
             (Home() + "Daily01.zip").toStdString());
  }

  void nameExistingInAnyCaseIsRefused() {
    auto w = Open({"Daily", "Weekly"});
    Find<QLineEdit>(w.get(), "comboproject")->setText("dAILY");
    Click(w.get(), "btnNext");
    QCOMPARE(LastError(), std::string("Project 'dAILY' exists,please input another name!"));
    QCOMPARE(w->Step(), 0);
  }

  // A "/" in the name showed one archive path and stored another
  // (<home>/Docs/Docs/Set1.zip), and the run then failed.
  void nameOrPrefixWithSlashIsRefused() {
    auto w = Open();
    for (const char* bad : {"Docs/Set", "..."}) {
      Find<QLineEdit>(w.get(), "comboproject")->setText(bad);
      Click(w.get(), "btnNext");
      QCOMPARE(LastError(), "The project name '" + std::string(bad) +
                                "' cannot be used: a name is part of the archive file name, so "
                                "it cannot contain \"/\" or consist of dots only");
      QCOMPARE(w->Step(), 0);
    }
    ToStep3(*w, "Docs");
    Click(w.get(), "btnNext");
    Find<QLineEdit>(w.get(), "EditPrefix")->setText("Docs/Set");
    Click(w.get(), "btnNext");
    QCOMPARE(LastError(), std::string(zb::backup::kBadPrefixMessage));
    QCOMPARE(w->Step(), 3);
    // What is shown is what is stored.
    Find<QLineEdit>(w.get(), "EditPrefix")->setText("Set");
    const QString shown = Find<QLineEdit>(w.get(), "EditFilename")->text();
    for (int i = 3; i < 6; ++i) Click(w.get(), "btnNext");
    QCOMPARE(w->result(), int(QDialog::Accepted));
    zb::backup::BackupProject p = zb::backup::ReadProject(Data(), "Docs");
    zb::backup::ClampForRun(p);
    QCOMPARE(QString::fromStdString(zb::backup::NextArchiveName(p, zb::Now(), {false, 2})), shown);
  }

  void goingBackKeepsAPrefixAlreadySet() {
    auto w = Open();
    Find<QLineEdit>(w.get(), "comboproject")->setText("First");
    Click(w.get(), "btnNext");
    Click(w.get(), "btnBack");
    QCOMPARE(w->Step(), 0);
    QVERIFY(!Find<QPushButton>(w.get(), "btnBack")->isEnabled());
    QCOMPARE(Find<QPushButton>(w.get(), "btnNext")->text(), QString("Next"));
    Find<QLineEdit>(w.get(), "comboproject")->setText("Second");
    Click(w.get(), "btnNext");
    QCOMPARE(Find<QLineEdit>(w.get(), "EditPrefix")->text(), QString("First"));
  }

  void prefixAndPasswordChecksHoldTheirSteps() {
    auto w = Open();
    ToStep3(*w, "Docs");
    QCOMPARE(Find<QLabel>(w.get(), "LabelYesOrNo")->text(), QString("Subdirectories are included"));
    Find<QCheckBox>(w.get(), "radioyes")->setChecked(false);
    QCOMPARE(Find<QLabel>(w.get(), "LabelYesOrNo")->text(),
             QString("Subdirectories are not included"));
    Click(w.get(), "btnNext");
    QCOMPARE(w->Step(), 3);
    Find<QLineEdit>(w.get(), "EditPrefix")->setText("   ");
    Click(w.get(), "btnNext");
    QCOMPARE(LastError(), std::string("Please enter the prefix of backup filename"));
    QCOMPARE(w->Step(), 3);
    // Naming mode: the number boxes follow Number mode, the name follows all.
    Find<QLineEdit>(w.get(), "EditPrefix")->setText("Docs");
    Find<QRadioButton>(w.get(), "RadioUseNone")->setChecked(true);
    QVERIFY(!Find<QSpinBox>(w.get(), "spinValue")->isEnabled());
    QCOMPARE(Find<QLineEdit>(w.get(), "EditFilename")->text(), Home() + "Docs.zip");
    Find<QRadioButton>(w.get(), "RadioUserNumber")->setChecked(true);
    Find<QSpinBox>(w.get(), "spinValue")->setValue(7);
    QCOMPARE(Find<QLineEdit>(w.get(), "EditFilename")->text(), Home() + "Docs7.zip");
    Click(w.get(), "btnNext");

    // Step 5: passwords compared trimmed, only when the box is checked.
    Find<QLineEdit>(w.get(), "EditPassword")->setText("abc");
    QCOMPARE(Find<QLineEdit>(w.get(), "EditPassword")->displayText(), QString("***"));
    Click(w.get(), "btnNext");
    QCOMPARE(w->Step(), 5);
    Click(w.get(), "btnBack");
    Find<QCheckBox>(w.get(), "CheckBoxPassword")->setChecked(true);
    QVERIFY(Find<QLineEdit>(w.get(), "EditConfirmPassword")->isEnabled());
    Find<QLineEdit>(w.get(), "EditConfirmPassword")->setText("abd");
    Click(w.get(), "btnNext");
    QCOMPARE(LastError(), std::string("Confirm password is not matching"));
    QCOMPARE(w->Step(), 4);
    Find<QLineEdit>(w.get(), "EditConfirmPassword")->setText(" abc ");
    Click(w.get(), "btnNext");
    QCOMPARE(w->Step(), 5);

    // Step 6: weekly with no day picks Sunday; Finish stores it.
    Find<QRadioButton>(w.get(), "radioWeekly")->setChecked(true);
    QCOMPARE(Find<QComboBox>(w.get(), "cbWeekly")->currentText(), QString("Sunday"));
    QVERIFY(!Find<QSpinBox>(w.get(), "SpinEditNumber")->isEnabled());
    Click(w.get(), "btnNext");
    QCOMPARE(w->result(), int(QDialog::Accepted));
    const auto p = zb::backup::ReadProject(Data(), "Docs");
    QCOMPARE(p.BackupMode, zb::backup::kModeWeekly);
    QCOMPARE(p.WeekDay, 1);
    QCOMPARE(p.Value, 6);
    QVERIFY(!p.IncludeSubfolders);
    QVERIFY(p.UsePassword);
    QCOMPARE(p.Password, std::string("abc"));
  }

  void cancelOnAnyStepStoresNothing() {
    const std::string before = "[Common]\nProject Count=1\nCount0=Old\n[Old]\nValue=3\n";
    WriteText(Data() / "project.ini", before);
    for (int stop : {0, 2, 3, 4, 5}) {
      auto w = Open({"Old"});
      if (stop > 0) ToStep3(*w, "New");
      while (w->Step() < stop) Click(w.get(), "btnNext");
      Click(w.get(), "btnClose");
      QCOMPARE(w->result(), int(QDialog::Rejected));
      QCOMPARE(ReadText(Data() / "project.ini"), before);
    }
  }

  void finishAppendsAtStoredCountAndDropsLeftovers() {
    // The second entry repeats the first (so the list in memory has one
    // name); a ring and a section of the new name were left behind.
    WriteText(Data() / "project.ini",
              "[Common]\nProject Count=2\nCount0=Old\nCount1=old\n[New]\nRestore path=/x\n");
    WriteText(Data() / "StoreNumber.txt", "[New]\nMax=3\nHead=2\n1=/a/New1.zip\n");
    auto w = Open({"Old"});
    ToStep3(*w, "New");
    while (w->Step() < 5) Click(w.get(), "btnNext");
    Click(w.get(), "btnNext");
    QCOMPARE(w->result(), int(QDialog::Accepted));
    const std::string ini = ReadText(Data() / "project.ini");
    QVERIFY(ini.find("Count1=old") != std::string::npos);
    QVERIFY(ini.find("Count2=New") != std::string::npos);
    QVERIFY(ini.find("Project Count=3") != std::string::npos);
    QVERIFY(ini.find("Restore path=/x") == std::string::npos);
    QVERIFY(ReadText(Data() / "StoreNumber.txt").find("New1.zip") == std::string::npos);
  }

  void finishThatCannotStoreSaysSoAndStaysOpen() {
    // A folder where "project.ini" should be: neither readable nor writable.
    std::filesystem::create_directory(Data() / "project.ini");
    auto w = Open();
    ToStep3(*w, "New");
    while (w->Step() < 5) Click(w.get(), "btnNext");
    const size_t before = ui_.shown.size();
    Click(w.get(), "btnNext");
    QCOMPARE(ui_.shown.size(), before + 1);
    QCOMPARE(LastKind(), std::string("error"));
    QVERIFY(w->result() != QDialog::Accepted);
    QCOMPARE(w->Step(), 5);
    QVERIFY(w->StoredName().isEmpty());
  }

  void folderButtonNeedsANameAndMovesTheArchive() {
    auto w = Open();
    dialogs_.folders.push_back("/srv/backups");
    Click(w.get(), "SpSelectDirectory");  // no name yet: folder ignored
    QCOMPARE(dialogs_.titles.back(), QString("Please select directory"));
    QVERIFY(Find<QLineEdit>(w.get(), "EditFilename")->text().startsWith(Home()));
    Find<QLineEdit>(w.get(), "comboproject")->setText("Daily");
    dialogs_.folders.push_back("/srv/backups");
    Click(w.get(), "SpSelectDirectory");
    QCOMPARE(Find<QLineEdit>(w.get(), "EditFilename")->text(), QString("/srv/backups/1.zip"));
  }

  void stepListButtonsEditTheList() {
    auto w = Open();
    Find<QLineEdit>(w.get(), "comboproject")->setText("A");
    Click(w.get(), "btnNext");
    auto* list = Find<QListWidget>(w.get(), "ListboxBackup");
    Click(w.get(), "Button4");  // empty list: nothing, no message
    QVERIFY(ui_.shown.empty());
    dialogs_.files.push_back({"/1", "/2", "/3"});
    Click(w.get(), "SpeedButton2");
    Click(w.get(), "Button4");  // nothing selected
    QCOMPARE(LastError(), std::string("Please select a item by clicking"));
    list->setCurrentRow(0);
    Click(w.get(), "SpeedButton10");  // up at the top: nothing
    Click(w.get(), "SpeedButton11");  // down
    QCOMPARE(list->item(1)->text(), QString("/1"));
    QCOMPARE(list->currentRow(), 1);
    Click(w.get(), "Button4");
    QCOMPARE(list->count(), 2);
    QCOMPARE(list->item(1)->text(), QString("/3"));
    Click(w.get(), "SpeedButton3");  // delete all
    QCOMPARE(list->count(), 0);
    // Both lists draw their entries with the marks of the Backup page.
    for (const char* name : {"ListboxBackup", "ListBoxNobackup"})
      QVERIFY2(qobject_cast<zb::backup::ui::TEntryDelegate*>(
                   Find<QListWidget>(w.get(), name)->itemDelegate()) != nullptr,
               name);
  }

  void filePickerAppendsEveryChosenFile() {
    QListWidget list;
    list.addItems({"/a", "/b"});
    list.setCurrentRow(1);
    dialogs_.files.push_back({"/a", "/c", "/a"});
    QVERIFY(zb::backup::ui::PickByFilename(nullptr, &list));
    QCOMPARE(list.count(), 5);
    QCOMPARE(list.item(4)->text(), QString("/a"));
    QCOMPARE(list.currentRow(), 1);
    QVERIFY(!zb::backup::ui::PickByFilename(nullptr, &list));  // Cancel
    QCOMPARE(list.count(), 5);
  }

  void wildcardEditorAddsDeletesAndStoresOnlyOnOk() {
    WriteText(Data() / "project.ini",
              "[Common]\nWildcard Total=2\nWildcard0=*.bak\nWildcard1=*.tmp\n");
    const std::string before = ReadText(Data() / "project.ini");
    {
      TFormWildcard d(Pickers());
      auto* list = Find<QListWidget>(&d, "ListBox1");
      QCOMPARE(list->count(), 2);
      Find<QLineEdit>(&d, "Edit1")->setText(" *.BAK ");
      Click(&d, "SpNew");
      QCOMPARE(list->count(), 2);
      QVERIFY(Find<QLineEdit>(&d, "Edit1")->text().isEmpty());
      Find<QLineEdit>(&d, "Edit1")->setText(" *.doc ");
      Click(&d, "SpNew");
      QCOMPARE(list->item(2)->text(), QString("*.doc"));
      list->clearSelection();
      list->setCurrentItem(nullptr);
      Click(&d, "Button4");
      QCOMPARE(LastError(), std::string("Please select a item by clicking"));
      QCOMPARE(LastKind(), std::string("information"));
      Click(&d, "Button3");  // Cancel
      QCOMPARE(ReadText(Data() / "project.ini"), before);
    }
    {
      TFormWildcard d(Pickers());
      auto* list = Find<QListWidget>(&d, "ListBox1");
      list->setCurrentRow(1);
      Click(&d, "SpeedButton3");  // up
      QCOMPARE(list->item(0)->text(), QString("*.tmp"));
      Click(&d, "btnOk");
      QCOMPARE(d.result(), int(QDialog::Accepted));
      QCOMPARE(zb::backup::ReadWildcardList(Data()), (std::vector<std::string>{"*.tmp", "*.bak"}));
    }
    {
      TFormWildcard d(Pickers());
      Click(&d, "SpeedButton1");  // delete all
      Click(&d, "btnOk");
      QVERIFY(zb::backup::ReadWildcardList(Data()).empty());
      const std::string ini = ReadText(Data() / "project.ini");
      QVERIFY(ini.find("Wildcard Total=0") != std::string::npos);
      QVERIFY(ini.find("Wildcard1=*.bak") != std::string::npos);
    }
  }

  void wildcardEditorThatCannotStoreStaysOpen() {
    std::filesystem::create_directory(Data() / "project.ini");
    TFormWildcard d(Pickers());
    Find<QLineEdit>(&d, "Edit1")->setText("*.log");
    Click(&d, "SpNew");
    Click(&d, "btnOk");
    QCOMPARE(LastKind(), std::string("error"));
    QVERIFY(d.result() != QDialog::Accepted);
    QCOMPARE(Find<QListWidget>(&d, "ListBox1")->count(), 1);
  }

  void wildcardPickerNeedsAFolderAndBuildsTheEntry() {
    QTemporaryDir folder;
    TFormselectbyfilter d(Pickers());
    QCOMPARE(Find<QComboBox>(&d, "ComboBox1")->currentText(), QString("*.*"));
    QCOMPARE(Find<QComboBox>(&d, "ComboBox1")->count(), 0);
    // It opens on the home folder, not on the file-system root.
    QCOMPARE(d.SelectedFolder(), home_.path());
    d.SelectFolder(QString());
    QVERIFY(d.SelectedFolder().isEmpty());
    Click(&d, "Button1");
    QCOMPARE(LastError(), std::string("Please select a folder!"));
    QCOMPARE(LastKind(), std::string("warning"));
    QVERIFY(d.result() != QDialog::Accepted);
    d.SelectFolder(folder.path());
    QCOMPARE(Find<QLabel>(&d, "labFolder")->text(), folder.path());
    QCOMPARE(d.Entry(), folder.path() + "/*.*");
    d.SelectFolder("/");
    Find<QComboBox>(&d, "ComboBox1")->setEditText(" *.txt ");
    QCOMPARE(d.Entry(), QString("/*.txt"));
  }

  void pickByWildcardAppendsAndSelectsTheFirstEqualEntry() {
    zb::backup::WriteWildcardList(Data(), {"*.doc", "*.xls"});
    QTemporaryDir folder;
    const QString entry = folder.path() + "/*.doc";
    QListWidget list;
    list.addItems({"/x", entry.toUpper()});
    QTimer::singleShot(0, this, [&] {
      auto* d = qobject_cast<TFormselectbyfilter*>(QApplication::activeModalWidget());
      QVERIFY(d != nullptr);
      QCOMPARE(qobject_cast<QComboBox*>(d->findChild<QComboBox*>("ComboBox1"))->currentText(),
               QString("*.doc"));
      d->SelectFolder(folder.path());
      d->accept();
    });
    QVERIFY(zb::backup::ui::PickByWildcard(nullptr, &list, Pickers()));
    QCOMPARE(list.count(), 3);
    QCOMPARE(list.item(2)->text(), entry);
    QCOMPARE(list.currentRow(), 1);
  }

  void addThroughTheMainWindowUsesItsSettingsAndList() {
    WriteText(Data() / "project.ini",
              "[Common]\nIs Append 0=1\nWidth=3\nProject Count=1\nCount0=Old\n");
    zb::shell::TFormMain::Options o;
    o.data_dir = Data();
    o.ui = &ui_;
    o.tray_available = false;
    o.open_url = [](const QUrl&) { return true; };
    zb::shell::TFormMain window(std::move(o));
    QString shown_name;
    QTimer::singleShot(0, this, [&] {
      auto* w = qobject_cast<TFormProjectName*>(QApplication::activeModalWidget());
      QVERIFY(w != nullptr);
      Find<QLineEdit>(w, "comboproject")->setText("old");  // the window's list, case ignored
      Click(w, "btnNext");
      QCOMPARE(LastError(), std::string("Project 'old' exists,please input another name!"));
      ToStep3(*w, "New");
      Click(w, "btnNext");
      shown_name = Find<QLineEdit>(w, "EditFilename")->text();
      while (w->Step() < 5) Click(w, "btnNext");
      Click(w, "btnNext");
    });
    QVERIFY(zb::backup::ui::RunNewProjectWizard(window, &window));
    QCOMPARE(shown_name, Home() + "New001.zip");
    window.LoadAppSettings();
    QCOMPARE(window.ProjectNames(), (std::vector<std::string>{"New", "Old"}));
  }

  // Every help button opens its own section, and the user guide has it.
  void helpOpensTheStepsTopic() {
    auto w = Open();
    Click(w.get(), "Button1");
    ToStep3(*w, "A");
    for (int step = 2; step < 6; ++step) {
      QCOMPARE(w->Step(), step);
      Click(w.get(), "Button1");
      Click(w.get(), "btnNext");
    }
    {
      TFormWildcard d(Pickers());
      Click(&d, "Button1");
    }
    QCOMPARE(help_, (std::vector<int>{301, 303, 304, 305, 306, 801}));
    Click(w.get(), "btnBack");
    Click(w.get(), "btnBack");
    Click(w.get(), "btnBack");
    Click(w.get(), "btnBack");
    QCOMPARE(w->Step(), 1);
    Click(w.get(), "Button1");
    QCOMPARE(help_.back(), 302);
    const std::string guide = ReadText(qEnvironmentVariable("ZB_SOURCE_DIR").toStdString() +
                                       "/src/shell/help/index.html");
    for (int topic : help_)
      QVERIFY2(guide.find("id=\"context-" + std::to_string(topic) + "\"") != std::string::npos,
               std::to_string(topic).c_str());
  }

  // Suffix None with "Skip" in the preferences refused every run after the
  // first; nothing said so. A keep count below 2 sprang back silently.
  void warnsOfRepeatedNamesAndOfAKeepCountOutOfRange() {
    for (bool overwrite : {false, true}) {
      WizardContext c;
      c.pickers = Pickers();
      c.overwrite_existing = overwrite;
      TFormProjectName w(std::move(c));
      ToStep3(w, "Same");
      Click(&w, "btnNext");
      Find<QRadioButton>(&w, "RadioUseNone")->setChecked(true);
      ui_.shown.clear();
      Click(&w, "btnNext");
      QCOMPARE(w.Step(), 4);  // a warning, not a refusal
      QCOMPARE(ui_.shown.size(), size_t{overwrite ? 0u : 1u});
      if (!overwrite) {
        QCOMPARE(LastKind(), std::string("warning"));
        QVERIFY(LastError().find("every backup after the first will be refused") !=
                std::string::npos);
      }
    }
    auto w = Open();
    ToStep3(*w, "Keep");
    Click(w.get(), "btnNext");
    Click(w.get(), "btnNext");
    auto* keep = Find<QSpinBox>(w.get(), "spStore");
    keep->setFocus();
    keep->selectAll();
    ui_.shown.clear();
    QTest::keyClicks(keep, "1");
    QTest::keyClick(keep, Qt::Key_Return);
    QCOMPARE(keep->value(), 50);
    QCOMPARE(LastError(),
             std::string("The number of backups to keep must be from 2 to 50000; it stays 50."));
  }
};

QTEST_MAIN(WizardTest)
#include "wizard_test.moc"
