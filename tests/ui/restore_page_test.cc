// The Restore page on the offscreen platform: the archive and entry grids,
// their sort and selection ranges, the context menu, restores and the
// archive commands, with a scripted user.

#include "restore/ui/restore_page.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QTabWidget>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <chrono>
#include <filesystem>
#include <memory>

#include "app/app_settings.h"
#include "backup/backup_project.h"
#include "base/path.h"
#include "ini/ini_file.h"
#include "restore/ui/incomplete_zip_dlg.h"
#include "scripted_user_interaction.h"
#include "shell/main_window.h"
#include "ui/ui_test_support.h"
#include "zip/zip_writer.h"

using zb::restore::ui::TRestorePage;
using zb::shell::TFormMain;
namespace fs = std::filesystem;

namespace {

// Writes a ZIP archive with the given (stored name, content) entries.
bool MakeZip(const fs::path& path,
             const std::vector<std::pair<std::string, std::string>>& entries) {
  QString script = QStringLiteral(
      "import sys, zipfile\n"
      "z = zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED)\n"
      "a = sys.argv[2:]\n"
      "for i in range(0, len(a), 2):\n"
      "    zi = zipfile.ZipInfo(a[i], (2024, 5, 6, 7, 8, 10))\n"
      "    zi.compress_type = zipfile.ZIP_DEFLATED\n"
      "    z.writestr(zi, a[i + 1])\n"
      "z.close()\n");
  QStringList args{QStringLiteral("-c"), script, QString::fromStdString(path.string())};
  for (const auto& [name, data] : entries)
    args << QString::fromStdString(name) << QString::fromStdString(data);
  QProcess p;
  p.start(QStringLiteral("/usr/bin/python3"), args);
  return p.waitForFinished(30000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

void SetAge(const fs::path& p, int hours_ago) {
  fs::last_write_time(p, fs::file_time_type::clock::now() - std::chrono::hours(hours_ago));
}

}  // namespace

class RestorePageTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<QTemporaryDir> dir_;
  zb::app::ScriptedUserInteraction ui_;
  std::unique_ptr<TFormMain> w_;
  TRestorePage* page_ = nullptr;

  fs::path Data() const { return zb::test::PathOf(*dir_) / "data"; }
  fs::path Zips() const { return zb::test::PathOf(*dir_) / "zips"; }
  fs::path Out() const { return zb::test::PathOf(*dir_) / "out"; }

  QStringList Column(QTableView* grid, int column) {
    QStringList out;
    for (int r = 0; r < grid->model()->rowCount(); ++r)
      out << grid->model()->index(r, column).data().toString();
    return out;
  }
  QString Label(const char* name) { return w_->findChild<QLabel*>(name)->text(); }
  void SelectEntries(int top, int bottom) {
    QTableView* g = page_->EntryGrid();
    g->clearSelection();
    g->setCurrentIndex(g->model()->index(top, 0));
    g->selectionModel()->select(
        QItemSelection(g->model()->index(top, 0), g->model()->index(bottom, 3)),
        QItemSelectionModel::ClearAndSelect);
  }
  bool Shown(const std::string& what, const std::string& start) {
    for (const auto& s : ui_.shown)
      if (s.what == what && s.text.rfind(start, 0) == 0) return true;
    return false;
  }
  void ShowRestorePage() { w_->ShowPage(zb::app::Page::kRestore); }
  void MakeWindow() {
    w_.reset();
    page_ = nullptr;
    TFormMain::Options o;
    o.data_dir = Data();
    o.ui = &ui_;
    o.tray_available = false;
    o.install_pages = [this](TFormMain& w) {
      page_ = zb::restore::ui::InstallRestorePage(w, w.PageArea(zb::app::Page::kRestore));
    };
    w_ = std::make_unique<TFormMain>(std::move(o));
    QCOMPARE(w_->SelectedProject(), std::string("Docs"));
  }
  QAction* MenuItem(QMenu* menu, const QString& text) {
    for (QAction* a : menu->actions())
      if (a->text() == text) return a;
    return nullptr;
  }

 private slots:
  void init() {
    dir_ = std::make_unique<QTemporaryDir>();
    // Defaults that name the home folder must never reach the real one.
    qputenv("HOME", dir_->path().toLocal8Bit());
    fs::create_directories(Data());
    fs::create_directories(Zips());
    // Archive sizes chosen so that the size texts sort as text: 0 < 2 < 9.
    QVERIFY(
        MakeZip(Zips() / "a.zip",
                {{"a*.txt", "star"}, {"abc.txt", "abc"}, {"two.txt", "2"}, {"x/one.txt", "one"}}));
    QVERIFY(MakeZip(Zips() / "Z.zip", {{"big.bin", std::string(3000, 'q')}}));
    QVERIFY(MakeZip(Zips() / "m.zip", {{"empty.txt", ""}}));
    SetAge(Zips() / "a.zip", 30);
    SetAge(Zips() / "Z.zip", 10);
    SetAge(Zips() / "m.zip", 20);

    zb::backup::BackupProject p = zb::backup::BackupProject::Defaults();
    p.SavePath = Zips().string();
    p.RestorePath = Out().string();
    p.RestoreToOrigPath = true;
    p.OverwriteMode = 0;
    zb::backup::WriteProject(Data(), "Docs", p);
    zb::backup::WriteProjectList(Data(), {"Docs"});
    zb::restore::RestoreOptions options;
    options.extract_to = Out().string();
    options.use_original_folder = true;
    options.overwrite_mode = zb::restore::kOverwriteAlways;
    zb::restore::SaveRestoreOptions(Data(), "Docs", options);

    ui_ = zb::app::ScriptedUserInteraction();
    MakeWindow();
    QVERIFY(page_ != nullptr);
  }
  void cleanup() {
    w_.reset();
    page_ = nullptr;
    dir_.reset();
  }

  void gridsFilledAndSorted() {
    page_->SetSort(2, true);  // newest first
    ShowRestorePage();
    QCOMPARE(page_->ZipFolderEdit()->text(), QString::fromStdString(Zips().string()));
    QCOMPARE(Column(page_->ArchiveGrid(), 0), (QStringList{"Z.zip", "m.zip", "a.zip"}));
    QCOMPARE(Label("LabelZipNumber"), QStringLiteral("(Total 3 files)"));
    // Row 1's entries are shown; an empty entry counts as 1 KB.
    QCOMPARE(Column(page_->EntryGrid(), 0), QStringList{"big.bin"});
    QCOMPARE(Label("LabelfileNumber"), QStringLiteral("(Total 1 files)"));

    page_->SetSort(0, false);
    page_->SortArchiveList();
    QCOMPARE(Column(page_->ArchiveGrid(), 0), (QStringList{"Z.zip", "a.zip", "m.zip"}));
    QCOMPARE(page_->SelectedArchive(), std::string("Z.zip"));
    QCOMPARE(w_->Settings().SortField, 0);
    QCOMPARE(w_->Settings().SortDescending, 0);

    // Choosing a row shows that archive's entries, in the reader's order.
    page_->ArchiveGrid()->setCurrentIndex(page_->ArchiveGrid()->model()->index(1, 0));
    QCOMPARE(Column(page_->EntryGrid(), 0),
             (QStringList{"a*.txt", "abc.txt", "two.txt", "one.txt"}));
    QCOMPARE(Column(page_->EntryGrid(), 2), (QStringList{"", "", "", "x/"}));
    QCOMPARE(Label("LabelfileNumber"), QStringLiteral("(Total 4 files)"));
    page_->ArchiveGrid()->setCurrentIndex(page_->ArchiveGrid()->model()->index(2, 0));
    QCOMPARE(Column(page_->EntryGrid(), 1), QStringList{"1"});

    // The sort menu's items set the stored state.
    QMenu* sort = page_->ArchiveMenu()->findChild<QMenu*>("FilesSort");
    QVERIFY(sort);
    for (QAction* a : sort->actions())
      if (a->text() == QStringLiteral("Descending")) a->trigger();
    QCOMPARE(w_->Settings().SortDescending, 1);
    QCOMPARE(Column(page_->ArchiveGrid(), 0), (QStringList{"m.zip", "a.zip", "Z.zip"}));
  }

  void emptyFolderAndContextMenu() {
    ShowRestorePage();
    QMenu* menu = page_->ArchiveMenu();
    auto visible = [menu](const char* name) {
      for (QAction* a : menu->actions())
        if (a->objectName() == QLatin1String(name)) return a->isVisible();
      return false;
    };
    page_->PrepareArchiveMenu();
    QVERIFY(visible("MenuCopy"));
    QVERIFY(visible("OpenZipFile1"));

    const fs::path empty = zb::test::PathOf(*dir_) / "none";
    fs::create_directories(empty);
    page_->ZipFolderEdit()->setText(QString::fromStdString(empty.string()));
    QCOMPARE(page_->ArchiveGrid()->model()->rowCount(), 1);
    QCOMPARE(Column(page_->ArchiveGrid(), 0), QStringList{""});
    QCOMPARE(page_->EntryGrid()->model()->rowCount(), 1);
    QCOMPARE(Label("LabelZipNumber"), QStringLiteral("(Total 0 files)"));
    QCOMPARE(Label("LabelfileNumber"), QStringLiteral("(Total 0 files)"));
    page_->PrepareArchiveMenu();
    QVERIFY(!visible("MenuCopy"));
    QVERIFY(!visible("menuRestore"));
    QVERIFY(!visible("menuDelete"));
    QVERIFY(!visible("OpenZipFile1"));
    QVERIFY(visible("menuimport"));

    // Delete with an empty list asks about one file and deletes nothing.
    page_->OnDeleteArchives();
    QVERIFY(Shown("ask", "Do you want to delete the 1 files "));
  }

  void selectionRanges() {
    page_->SetSort(0, false);
    ShowRestorePage();
    page_->ArchiveGrid()->setCurrentIndex(page_->ArchiveGrid()->model()->index(1, 0));
    SelectEntries(1, 3);
    QCOMPARE(page_->EntryRange(), std::make_pair(1, 3));
    // Shift+click extends the range from the current row.
    QTableView* g = page_->EntryGrid();
    g->setCurrentIndex(g->model()->index(0, 0));
    const QRect r = g->visualRect(g->model()->index(2, 0));
    QTest::mouseClick(g->viewport(), Qt::LeftButton, Qt::ShiftModifier, r.center());
    QCOMPARE(page_->EntryRange(), std::make_pair(0, 2));
  }

  void wholeRestore() {
    page_->SetSort(0, false);
    ShowRestorePage();
    page_->ArchiveGrid()->setCurrentIndex(page_->ArchiveGrid()->model()->index(1, 0));
    QCOMPARE(page_->SelectedArchive(), std::string("a.zip"));
    // The stored options were loaded with the project.
    QCOMPARE(w_->findChild<QLineEdit*>("DirectoryRestore")->text(),
             QString::fromStdString(Out().string()));
    QVERIFY(w_->findChild<QRadioButton*>("RadioAlways")->isChecked());
    // Typed with blanks: the trimmed folder is used and stored.
    w_->findChild<QLineEdit*>("DirectoryRestore")
        ->setText(QStringLiteral("  ") + QString::fromStdString(Out().string()) +
                  QStringLiteral(" "));
    w_->findChild<QRadioButton*>("RadioNewer")->setChecked(true);
    ui_.Answer(true);
    page_->OnRestoreArchive();
    QVERIFY(Shown("ask", "Do you want to restore the file 'a.zip'?"));
    QCOMPARE(zb::test::ReadText(Out() / "a*.txt"), std::string("star"));
    QCOMPARE(zb::test::ReadText(Out() / "x" / "one.txt"), std::string("one"));
    QVERIFY(Shown("timed", "Restore 4 Files Succeeds!"));
    QVERIFY(!w_->Busy());
    QVERIFY(w_->Log().Total() >= 1);
    // The window's log grid shows the run's line.
    bool logged = false;
    for (const auto& row : w_->Log().Rows())
      logged |= row.operation == "Restore" && row.status == "Succeeds" && row.project == "Docs";
    QVERIFY(logged);
    const auto stored = zb::backup::ReadProject(Data(), "Docs");
    QCOMPARE(stored.RestorePath, Out().string());
    QCOMPARE(stored.OverwriteMode, 3);
  }

  // The page's own question seam dropped the several-button question to a
  // plain Yes/No; a cancelled run left the log grid behind.
  void promptOffersAnswersForAllAndCancel() {
    page_->SetSort(0, false);
    ShowRestorePage();
    page_->ArchiveGrid()->setCurrentIndex(page_->ArchiveGrid()->model()->index(1, 0));
    w_->findChild<QRadioButton*>("RadioPrompt")->setChecked(true);
    ui_.Answer(true);
    page_->OnRestoreArchive();  // nothing on disk yet: no question
    ui_.shown.clear();
    ui_.Answer(true);
    ui_.AnswerButton(zb::Button::kCancel);
    page_->OnRestoreArchive();
    int questions = 0;
    for (const auto& s : ui_.shown) questions += s.what == "buttons";
    QCOMPARE(questions, 1);
    QVERIFY(Shown("timed", "Restore cancelled: 0 files restored"));
    QCOMPARE(w_->Log().Rows().front().status, std::string("Interrupt"));
    QVERIFY(!w_->Busy());
  }

  void selectedRestoreTakesExactlyTheRows() {
    page_->SetSort(0, false);
    ShowRestorePage();
    page_->ArchiveGrid()->setCurrentIndex(page_->ArchiveGrid()->model()->index(1, 0));
    QCOMPARE(w_->findChild<QLineEdit*>("DirectoryRestore")->text(),
             QString::fromStdString(Out().string()));
    w_->findChild<QCheckBox*>("CheckBoxUseFolder")->setChecked(false);
    // "a*.txt" would match "abc.txt" as a pattern: only its own row goes.
    SelectEntries(0, 0);
    ui_.Answer(true);
    page_->OnRestoreSelected();
    QVERIFY(Shown("ask", "Do you want to restore 1 files from 'a.zip'?"));
    QVERIFY(fs::exists(Out() / "a*.txt"));
    QVERIFY(!fs::exists(Out() / "abc.txt"));
    QVERIFY(Shown("timed", "Restore 1 Files Succeeds!"));

    // Flat restore of the last two rows: the folder entry lands beside.
    SelectEntries(2, 3);
    ui_.Answer(true);
    page_->OnRestoreSelected();
    QVERIFY(fs::exists(Out() / "two.txt"));
    QVERIFY(fs::exists(Out() / "one.txt"));
    QVERIFY(!fs::exists(Out() / "x"));

    // Declined at the question: nothing is written.
    SelectEntries(1, 1);
    ui_.Answer(false);
    page_->OnRestoreSelected();
    QVERIFY(!fs::exists(Out() / "abc.txt"));
  }

  void maintenanceCommands() {
    page_->SetSort(0, false);
    ShowRestorePage();
    page_->ArchiveGrid()->setCurrentIndex(page_->ArchiveGrid()->model()->index(1, 0));

    // Remove exactly the selected row, never as a pattern.
    SelectEntries(0, 0);
    ui_.Answer(true);
    page_->OnRemoveEntries();
    QCOMPARE(Column(page_->EntryGrid(), 0), (QStringList{"abc.txt", "two.txt", "one.txt"}));

    // Add a file picked by hand: it joins the archive's entries.
    const fs::path added = zb::test::PathOf(*dir_) / "added.txt";
    zb::test::WriteText(added, "new");
    page_->pick_files = [&added](const QString&, const QString&) {
      return QStringList{QString::fromStdString(added.string())};
    };
    page_->OnAddFiles();
    QCOMPARE(page_->EntryGrid()->model()->rowCount(), 4);
    QVERIFY(Column(page_->EntryGrid(), 0).contains(QStringLiteral("added.txt")));
    QVERIFY(!w_->Busy());

    // Open hands the archive file itself to the desktop.
    QList<QUrl> opened;
    page_->open_file = [&opened](const QUrl& u) {
      opened << u;
      return true;
    };
    page_->OpenArchive();
    QCOMPARE(opened,
             QList<QUrl>{QUrl::fromLocalFile(QString::fromStdString((Zips() / "a.zip").string()))});

    // Export into a folder, then import it back under the question.
    const fs::path dest = zb::test::PathOf(*dir_) / "exported";
    fs::create_directories(dest);
    page_->pick_folder = [&dest](const QString&, const QString&) {
      return QString::fromStdString(dest.string());
    };
    page_->OnExportArchive();
    QVERIFY(fs::exists(dest / "a.zip"));
    QCOMPARE(fs::file_size(dest / "a.zip"), fs::file_size(Zips() / "a.zip"));

    page_->pick_files = [&dest](const QString&, const QString&) {
      return QStringList{QString::fromStdString((dest / "a.zip").string())};
    };
    ui_.Answer(false);  // keep the existing archive
    page_->OnImportArchive();
    QVERIFY(Shown("ask", "File already exists! Do you want to overwrite?"));
    QCOMPARE(Label("LabelZipNumber"), QStringLiteral("(Total 3 files)"));

    // Delete the selected archive after the question.
    page_->ArchiveGrid()->setCurrentIndex(page_->ArchiveGrid()->model()->index(2, 0));
    QCOMPARE(page_->SelectedArchive(), std::string("m.zip"));
    ui_.Answer(true);
    page_->OnDeleteArchives();
    QVERIFY(!fs::exists(Zips() / "m.zip"));
    QVERIFY(fs::exists(Zips() / "a.zip"));
    QCOMPARE(Label("LabelZipNumber"), QStringLiteral("(Total 2 files)"));
  }

  void passwordWrongThenTypedWithBlanks() {
    const fs::path src = zb::test::PathOf(*dir_) / "secret.txt";
    zb::test::WriteText(src, "classified");
    {
      zb::zip::TZipOptions o;
      o.ZipName = (Zips() / "enc.zip").string();
      o.Password = "right";
      o.StorePaths = false;
      o.FilesList = {src.string()};
      QCOMPARE(zb::zip::TZipWriter().Zip(o, {}), 1);
    }
    page_->SetSort(0, false);
    ShowRestorePage();
    page_->ArchiveGrid()->setCurrentIndex(page_->ArchiveGrid()->model()->index(2, 0));
    QCOMPARE(page_->SelectedArchive(), std::string("enc.zip"));
    auto* password = w_->findChild<QLineEdit*>("EditRestorePassword");
    password->setText(QStringLiteral("wrong"));
    ui_.Answer(true);
    page_->OnRestoreArchive();
    QVERIFY(Shown("error", "The password is incorrect"));
    QVERIFY(Shown("timed", "Restore files fails!"));
    QVERIFY(!fs::exists(Out() / "secret.txt"));
    bool failed_logged = false;
    for (const auto& row : w_->Log().Rows())
      failed_logged |= row.operation == "Restore" && row.status == "Fails";
    QVERIFY(failed_logged);
    QVERIFY(!w_->Busy());

    // Blanks around the right password: the trimmed text is tried.
    password->setText(QStringLiteral(" right "));
    ui_.Answer(true);
    page_->OnRestoreArchive();
    QCOMPARE(zb::test::ReadText(Out() / "secret.txt"), std::string("classified"));
  }

  void incompleteArchiveDialog() {
    // An archive without its end record: Cancel refuses it and the entry
    // list keeps what it showed; Recover reads what the scan finds.
    const fs::path cut = Zips() / "cut.zip";
    fs::copy_file(Zips() / "a.zip", cut);
    fs::resize_file(cut, fs::file_size(cut) - 22);
    page_->SetSort(0, false);
    ShowRestorePage();
    QCOMPARE(page_->SelectedArchive(), std::string("Z.zip"));
    int asked = 0;
    page_->ask_incomplete = [&asked] {
      ++asked;
      return zb::restore::IncompleteAnswer::kCancel;
    };
    page_->ShowArchiveContents("cut.zip");
    QCOMPARE(asked, 1);
    QVERIFY(Shown("error", "Not a valid zip file!"));
    QCOMPARE(Column(page_->EntryGrid(), 0), QStringList{"big.bin"});

    page_->ask_incomplete = [&asked] {
      ++asked;
      return zb::restore::IncompleteAnswer::kRecover;
    };
    page_->ShowArchiveContents("cut.zip");
    QCOMPARE(asked, 2);
    QCOMPARE(Column(page_->EntryGrid(), 0),
             (QStringList{"a*.txt", "abc.txt", "two.txt", "one.txt"}));
  }

  void allColumnsInViewInTheFixedWindow() {
    // Both grids at their design column widths used to need a sideways
    // scroll for "Date" in the fixed-size window.
    QCOMPARE(page_->ZipFolderEdit()->text(), QString::fromStdString(zb::HomeFolder()));
    w_->show();
    QVERIFY(QTest::qWaitForWindowExposed(w_.get()));
    ShowRestorePage();
    struct Case {
      QTableView* grid;
      QList<int> widths;
    } cases[] = {{page_->ArchiveGrid(), {222, 224, 147}},
                 {page_->EntryGrid(), {140, 82, 224, 149}}};
    for (const Case& c : cases) {
      int total = 0;
      for (int i = 0; i < c.widths.size(); ++i) {
        QCOMPARE(c.grid->columnWidth(i), c.widths[i]);
        total += c.widths[i];
      }
      QVERIFY2(c.grid->viewport()->width() >= total, qPrintable(c.grid->objectName()));
      QCOMPARE(c.grid->horizontalScrollBar()->maximum(), 0);
      QVERIFY(c.grid->isVisible());
      // Stacked, each list still shows a handful of rows.
      QVERIFY2(c.grid->viewport()->height() >= 4 * 20, qPrintable(c.grid->objectName()));
    }
    QVERIFY(w_->findChild<QRadioButton*>("RadioOlder")->isVisible());
    const QRect options =
        w_->findChild<QWidget*>("GroupOptions")
            ->geometry()
            .translated(
                w_->findChild<QWidget*>("GroupOptions")->parentWidget()->mapTo(w_.get(), QPoint()));
    QVERIFY(w_->rect().contains(options));
  }

  void storedSortStateIsUsed() {
    // "By Field" 0 (name) and "Sort" 1 (descending) from the settings file.
    zb::app::AppSettings settings = zb::backup::ReadAppSettings(Data());
    settings.SortField = 0;
    settings.SortDescending = 1;
    zb::backup::SaveAppSettings(Data(), settings, {"Docs"}, "Docs");
    MakeWindow();
    ShowRestorePage();
    QCOMPARE(Column(page_->ArchiveGrid(), 0), (QStringList{"m.zip", "a.zip", "Z.zip"}));
    QCOMPARE(Column(page_->EntryGrid(), 0), QStringList{"empty.txt"});
    page_->PrepareArchiveMenu();
    QMenu* sort = page_->ArchiveMenu()->findChild<QMenu*>("FilesSort");
    QVERIFY(MenuItem(sort, "By name")->isChecked());
    QVERIFY(MenuItem(sort, "Descending")->isChecked());
    QVERIFY(!MenuItem(sort, "By date")->isChecked());
    // Choosing another field keeps the direction.
    MenuItem(sort, "By date")->trigger();
    QCOMPARE(Column(page_->ArchiveGrid(), 0), (QStringList{"Z.zip", "m.zip", "a.zip"}));
  }

  void entriesOfAnotherArchiveAreNeverActedOn() {
    // A listing that fails keeps the previous archive's rows on screen. The
    // commands on entries used to take those rows for entries of the newly
    // selected archive: restoring "abc.txt" here wrote b.zip's "abc.txt".
    QVERIFY(MakeZip(Zips() / "b.zip", {{"abc.txt", "from b"}, {"pad.txt", "p"}}));
    fs::resize_file(Zips() / "b.zip", fs::file_size(Zips() / "b.zip") - 22);
    const auto b_size = fs::file_size(Zips() / "b.zip");
    page_->SetSort(0, false);
    ShowRestorePage();
    QCOMPARE(Column(page_->ArchiveGrid(), 0), (QStringList{"Z.zip", "a.zip", "b.zip", "m.zip"}));
    page_->ArchiveGrid()->setCurrentIndex(page_->ArchiveGrid()->model()->index(1, 0));
    // b.zip has no end record: Cancel when it is listed, Recover later.
    QList<zb::restore::IncompleteAnswer> answers{zb::restore::IncompleteAnswer::kCancel};
    page_->ask_incomplete = [&answers] {
      return answers.isEmpty() ? zb::restore::IncompleteAnswer::kRecover : answers.takeFirst();
    };
    page_->ArchiveGrid()->setCurrentIndex(page_->ArchiveGrid()->model()->index(2, 0));
    QCOMPARE(page_->SelectedArchive(), std::string("b.zip"));
    QCOMPARE(Column(page_->EntryGrid(), 0),
             (QStringList{"a*.txt", "abc.txt", "two.txt", "one.txt"}));

    SelectEntries(1, 1);
    ui_.shown.clear();
    page_->OnRestoreSelected();
    QVERIFY(Shown("error", "The file list does not show the entries of 'b.zip'"));
    QVERIFY(!Shown("ask", "Do you want to restore"));
    QVERIFY(!fs::exists(Out() / "abc.txt"));

    page_->OnRemoveEntries();
    QVERIFY(!Shown("ask", "Do you want to delete"));
    QCOMPARE(fs::file_size(Zips() / "b.zip"), b_size);

    // Listed again (recovered), its own rows are taken.
    page_->ShowArchiveContents("b.zip");
    QCOMPARE(Column(page_->EntryGrid(), 0), (QStringList{"abc.txt", "pad.txt"}));
    w_->findChild<QCheckBox*>("CheckBoxUseFolder")->setChecked(false);
    SelectEntries(0, 0);
    ui_.Answer(true);
    page_->OnRestoreSelected();
    QCOMPARE(zb::test::ReadText(Out() / "abc.txt"), std::string("from b"));
  }

  void incompleteArchiveDialogButtons() {
    // Left to right MultiZip (default, OK), Recover (Retry), Cancel
    // (Escape); each answer maps to its reading mode.
    using zb::restore::ui::TIncompleteZipDlg;
    using Answer = zb::restore::IncompleteAnswer;
    struct Case {
      const char* press;  // button name, or "Escape"
      Answer answer;
    } cases[] = {{"MultiZip", Answer::kMultiZip},
                 {"Recover", Answer::kRecover},
                 {"Cancel", Answer::kCancel},
                 {"Escape", Answer::kCancel},
                 {"Return", Answer::kMultiZip}};
    for (const Case& c : cases) {
      TIncompleteZipDlg dlg(w_.get());
      QCOMPARE(dlg.windowTitle(), QStringLiteral("Incomplete Zip file!"));
      QCOMPARE(dlg.findChild<QLabel*>("Label1")->text(),
               QString::fromLatin1(zb::restore::kIncompleteText1));
      QCOMPARE(dlg.findChild<QLabel*>("Label2")->text(),
               QString::fromLatin1(zb::restore::kIncompleteText2));
      QTimer::singleShot(0, &dlg, [&dlg, &c] {
        auto* multi = dlg.findChild<QPushButton*>("MultiZip");
        auto* recover = dlg.findChild<QPushButton*>("Recover");
        auto* cancel = dlg.findChild<QPushButton*>("Cancel");
        if (!(multi->x() < recover->x() && recover->x() < cancel->x())) {
          dlg.done(-1);
          return;
        }
        const QString press = QString::fromLatin1(c.press);
        if (press == QLatin1String("Escape")) {
          QTest::keyClick(&dlg, Qt::Key_Escape);
        } else if (press == QLatin1String("Return")) {
          QTest::keyClick(&dlg, Qt::Key_Return);
        } else {
          dlg.findChild<QPushButton*>(press)->click();
        }
      });
      const int result = dlg.exec();
      QVERIFY2(result != -1, "buttons out of order");
      QCOMPARE(TIncompleteZipDlg::AnswerFor(result), c.answer);
    }
  }

  void unknownOverwriteModeChecksNoRadio() {
    // A stored mode no radio has: none is checked, the reader keeps its
    // policy, and the restore stores "Never" (2).
    {
      zb::ini::IniFile f(Data() / "project.ini");
      f.WriteInteger("Docs", "Overwrite Mode", 7);
      f.Save();
    }
    MakeWindow();
    for (const char* name :
         {"RadioAlways", "RadioPrompt", "RadioNever", "RadioNewer", "RadioOlder"})
      QVERIFY2(!w_->findChild<QRadioButton*>(name)->isChecked(), name);
    page_->SetSort(0, false);
    ShowRestorePage();
    page_->ArchiveGrid()->setCurrentIndex(page_->ArchiveGrid()->model()->index(2, 0));
    ui_.Answer(true);
    page_->OnRestoreArchive();
    QVERIFY(Shown("ask", "Do you want to restore the file 'm.zip'?\rExtract to:"));
    bool empty_caption = false;
    for (const auto& m : ui_.shown)
      empty_caption |= m.text.find("\rOverwrite Mode:      ''") != std::string::npos;
    QVERIFY(empty_caption);
    QVERIFY(Shown("timed", "Restore 1 Files Succeeds!"));
    QCOMPARE(zb::backup::ReadProject(Data(), "Docs").OverwriteMode, 2);
  }

  void largeArchiveFillsInOneGo() {
    // 100,000 empty entries: the entry grid is one model reset, not a
    // repaint per row, so the fill takes a moment rather than minutes.
    const fs::path big = Zips() / "big.zip";
    QProcess p;
    p.start(
        QStringLiteral("/usr/bin/python3"),
        {QStringLiteral("-c"),
         QStringLiteral("import sys, zipfile\n"
                        "z = zipfile.ZipFile(sys.argv[1], 'w')\n"
                        "for i in range(100000): z.writestr('d%d/f%06d.txt' % (i % 50, i), '')\n"
                        "z.close()\n"),
         QString::fromStdString(big.string())});
    QVERIFY(p.waitForFinished(120000) && p.exitCode() == 0);
    ShowRestorePage();
    QElapsedTimer t;
    t.start();
    page_->ShowArchiveContents("big.zip");
    const qint64 ms = t.elapsed();
    QCOMPARE(page_->EntryGrid()->model()->rowCount(), 100000);
    QCOMPARE(Label("LabelfileNumber"), QStringLiteral("(Total 100000 files)"));
    qInfo("100,000 entries listed in %lld ms", static_cast<long long>(ms));
    QVERIFY2(ms < 10000, "listing 100,000 entries took more than 10 s");
  }
};

QTEST_MAIN(RestorePageTest)
#include "restore_page_test.moc"
