// The Preferences dialog: what it reads, what OK and Apply save at once
// (project.ini and the autostart entry in a temporary home), and the
// question before changes are dropped.

#include <QApplication>
#include <QCheckBox>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <memory>

#include "platform/autostart.h"
#include "scripted_user_interaction.h"
#include "shell/main_window.h"
#include "shell/preferences_dialog.h"
#include "ui/ui_test_support.h"

using zb::app::AppSettings;
using zb::app::ScriptedUserInteraction;
using zb::shell::TFormPreferences;
using zb::test::ReadText;
using zb::test::WriteText;

class PreferencesTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<QTemporaryDir> dir_;
  QTemporaryDir home_;
  ScriptedUserInteraction ui_;
  std::vector<int> help_;
  const std::filesystem::path exe_ = "/opt/Zip Backup/bin/zipbackup";

  std::filesystem::path Data() const { return zb::test::PathOf(*dir_); }
  std::unique_ptr<TFormPreferences> Open(const AppSettings& memory = {}) {
    TFormPreferences::Environment env;
    env.data_dir = Data();
    env.executable = exe_;
    env.ui = &ui_;
    env.show_help = [this](int c) { help_.push_back(c); };
    return std::make_unique<TFormPreferences>(memory, env);
  }
  template <typename T>
  static T* Find(QWidget* w, const char* name) {
    return w->findChild<T*>(name);
  }

 private slots:
  void initTestCase() {
    QVERIFY(home_.isValid());
    qputenv("HOME", home_.path().toUtf8());
    qputenv("XDG_CONFIG_HOME", (home_.path() + "/config").toUtf8());
  }
  void init() {
    dir_ = std::make_unique<QTemporaryDir>();
    ui_ = ScriptedUserInteraction();
    help_.clear();
    (void)zb::RemoveAutostartEntry();
  }

  void opensWithStoredAndMemoryValues() {
    WriteText(Data() / "project.ini", "[Common]\nAuto Run=0\nIs Minimized=1\nPrompt sync=1\n");
    AppSettings memory;
    memory.PromptBeforeBackup = true;
    memory.NumberWidth = 99;  // out of range: clamped in the field
    memory.LogCount = 3;
    memory.OverwriteExisting = true;
    auto d = Open(memory);
    QCOMPARE(d->windowTitle(), QString("Preferences"));
    QCOMPARE(d->size(), QSize(353, 294));
    QCOMPARE(Find<QTabWidget>(d.get(), "PageControl1")->currentIndex(), 0);
    QVERIFY(!Find<QCheckBox>(d.get(), "cbRun")->isChecked());
    QVERIFY(Find<QCheckBox>(d.get(), "cbMini")->isChecked());
    QVERIFY(!Find<QCheckBox>(d.get(), "cbMini")->isEnabled());
    QVERIFY(Find<QCheckBox>(d.get(), "cbPromptSync")->isChecked());
    QVERIFY(Find<QCheckBox>(d.get(), "cbprompt")->isChecked());
    QCOMPARE(Find<QSpinBox>(d.get(), "SpinEdit1")->value(), 30);
    QCOMPARE(Find<QSpinBox>(d.get(), "LogSpinEdit")->value(), 10);
    QVERIFY(Find<QRadioButton>(d.get(), "rbOverwrite")->isChecked());
    Find<QCheckBox>(d.get(), "cbRun")->click();
    QVERIFY(Find<QCheckBox>(d.get(), "cbMini")->isEnabled());
    Find<QPushButton>(d.get(), "Button1")->click();
    QCOMPARE(help_, std::vector<int>{601});
  }

  void applyWritesKeysAndAutostartEntry() {
    auto d = Open();
    QVERIFY(Find<QRadioButton>(d.get(), "rbSkip")->isChecked());
    Find<QCheckBox>(d.get(), "cbMini")->setChecked(true);  // disabled, still stored
    Find<QCheckBox>(d.get(), "cbPromptSync")->setChecked(true);
    Find<QCheckBox>(d.get(), "cbRun")->setChecked(true);
    Find<QSpinBox>(d.get(), "LogSpinEdit")->setValue(120);
    Find<QPushButton>(d.get(), "btnApply")->click();
    QVERIFY(ui_.shown.empty());

    // Saved at once, with no project in the folder: a crash loses nothing.
    const std::string ini = ReadText(Data() / "project.ini");
    QVERIFY(ini.find("Auto Run=1") != std::string::npos);
    QVERIFY(ini.find("Is Minimized=1") != std::string::npos);
    QVERIFY(ini.find("Prompt sync=1") != std::string::npos);
    QVERIFY(ini.find("Log Count=120") != std::string::npos);
    // Applied, so closing now has nothing to ask.
    d->reject();
    QVERIFY(ui_.shown.empty());

    const auto entry = home_.path().toStdString() + "/config/autostart";
    QCOMPARE(zb::AutostartDir().string(), entry);
    const std::string desktop = ReadText(zb::AutostartFile());
    QVERIFY(desktop.find("Exec=\"/opt/Zip Backup/bin/zipbackup\"\n") != std::string::npos);

    auto again = Open();
    QVERIFY(Find<QCheckBox>(again.get(), "cbRun")->isChecked());
    Find<QCheckBox>(again.get(), "cbRun")->setChecked(false);
    Find<QPushButton>(again.get(), "btnOk")->click();
    QCOMPARE(again->result(), int(QDialog::Accepted));
    QVERIFY(!zb::AutostartEntryExists());
    QVERIFY(ReadText(Data() / "project.ini").find("Auto Run=0") != std::string::npos);
  }

  void failedAutostartKeepsStoredKeys() {
    // A file where the autostart folder should be: the entry cannot be made.
    std::filesystem::create_directories(zb::AutostartDir().parent_path());
    std::filesystem::remove_all(zb::AutostartDir());
    WriteText(zb::AutostartDir(), "not a folder");
    auto d = Open();
    Find<QCheckBox>(d.get(), "cbRun")->setChecked(true);
    Find<QCheckBox>(d.get(), "cbPromptSync")->setChecked(true);
    Find<QPushButton>(d.get(), "btnOk")->click();
    std::filesystem::remove(zb::AutostartDir());
    QCOMPARE(d->result(), int(QDialog::Accepted));
    QCOMPARE(ui_.shown.size(), size_t{1});
    QCOMPARE(ui_.shown[0].text, std::string("Failed to set data for 'Quillomar Compress Backup'."));
    // No entry, so "Auto Run" stays as stored; the rest is kept.
    const std::string ini = ReadText(Data() / "project.ini");
    QVERIFY(ini.find("Auto Run=0") != std::string::npos);
    QVERIFY(ini.find("Prompt sync=1") != std::string::npos);
  }

  // Enter, the close box and Escape all ask before unapplied changes go.
  void closingWithChangesAsks_data() {
    QTest::addColumn<int>("answer");
    QTest::addColumn<int>("result");  // -1: the dialog stays open
    QTest::addColumn<bool>("saved");
    QTest::newRow("no") << int(zb::Button::kNo) << int(QDialog::Rejected) << false;
    QTest::newRow("yes") << int(zb::Button::kYes) << int(QDialog::Accepted) << true;
    QTest::newRow("cancel") << int(zb::Button::kCancel) << -1 << false;
  }
  void closingWithChangesAsks() {
    QFETCH(int, answer);
    QFETCH(int, result);
    QFETCH(bool, saved);
    auto d = Open();
    Find<QCheckBox>(d.get(), "cbPromptSync")->setChecked(true);
    Find<QCheckBox>(d.get(), "cbPromptSync")->setFocus();
    ui_.AnswerButton(static_cast<zb::Button>(answer));
    bool open_after = false;
    // The key is pressed from inside the dialog's own event loop.
    QTimer::singleShot(0, this, [&] {
      QWidget* modal = QApplication::activeModalWidget();
      QVERIFY(modal);
      QTest::keyClick(modal, Qt::Key_Return);
      open_after = modal->isVisible();
      if (open_after) modal->close();  // asks again: the default answer Yes saves
    });
    const int got = d->exec();
    QCOMPARE(ui_.shown.at(0).what, std::string("buttons"));
    QCOMPARE(ui_.shown[0].buttons,
             (std::vector<zb::Button>{zb::Button::kYes, zb::Button::kNo, zb::Button::kCancel}));
    if (result < 0) {
      QVERIFY(open_after);
      QCOMPARE(ui_.shown.size(), size_t{2});
    } else {
      QVERIFY(!open_after);
      QCOMPARE(got, result);
      const bool stored = QFile::exists(QString::fromStdString((Data() / "project.ini").string()));
      QCOMPARE(stored, saved);
    }
    QVERIFY(!zb::AutostartEntryExists());
  }

  void closingWithoutChangesDoesNotAsk() {
    auto d = Open();
    d->reject();
    QCOMPARE(d->result(), int(QDialog::Rejected));
    QVERIFY(ui_.shown.empty());
  }

  // Apply through the window: memory and file follow before the dialog
  // closes, so killing the program afterwards loses nothing.
  void applyResizesTheLogGridAtOnce() {
    ScriptedUserInteraction ui;
    zb::shell::TFormMain::Options o;
    o.data_dir = Data();
    o.ui = &ui;
    o.tray_available = false;
    zb::shell::TFormMain w(std::move(o));
    auto* grid = w.findChild<QTableView*>("LogGrid");
    QCOMPARE(grid->model()->rowCount(), 50);
    QTimer::singleShot(0, this, [this] {
      auto* dialog = qobject_cast<TFormPreferences*>(QApplication::activeModalWidget());
      QVERIFY(dialog);
      dialog->findChild<QSpinBox*>("LogSpinEdit")->setValue(10);
      dialog->findChild<QCheckBox*>("cbprompt")->setChecked(true);
      dialog->findChild<QPushButton*>("btnApply")->click();
      QCOMPARE(dialog->parentWidget()->findChild<QTableView*>("LogGrid")->model()->rowCount(), 10);
      const std::string ini = ReadText(zb::test::PathOf(*dir_) / "project.ini");
      QVERIFY(ini.find("Log Count=10") != std::string::npos);
      QVERIFY(ini.find("PromptBeforeBackup=1") != std::string::npos);
      dialog->reject();
    });
    w.OnPreferences();
    QCOMPARE(grid->model()->rowCount(), 10);
    QCOMPARE(w.Settings().LogCount, 10);
    QVERIFY(w.Settings().PromptBeforeBackup);
  }
};

QTEST_MAIN(PreferencesTest)
#include "preferences_test.moc"
