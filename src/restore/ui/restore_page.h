#pragma once

// The Restore page: the archives of one folder, the entries of the selected
// archive, the restore options and the archive commands. The page holds no
// run logic of its own: listing, restoring and maintenance are the core's
// (restore/archive_list.h, restore_run.h, archive_maintenance.h); the page
// gathers the user's choices, keeps the window responsive and shows results.

#include <QAbstractTableModel>
#include <QStringList>
#include <QWidget>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "backup/backup_project.h"
#include "restore/archive_list.h"
#include "restore/archive_maintenance.h"
#include "restore/restore_run.h"

class QAction;
class QButtonGroup;
class QCheckBox;
class QLabel;
class QLineEdit;
class QMenu;
class QRadioButton;
class QTableView;
class QUrl;

namespace zb::zip {
class TZipReader;
class TZipWriter;
}  // namespace zb::zip

namespace zb::app {
class TFormMain;
class ActivityLog;
}  // namespace zb::app

namespace zb::restore::ui {

// The archive list: one row per archive; always at least one (blank) row.
class ArchiveListModel final : public QAbstractTableModel {
  Q_OBJECT
 public:
  using QAbstractTableModel::QAbstractTableModel;
  void SetRows(std::vector<ArchiveRow> rows);
  [[nodiscard]] std::vector<ArchiveRow>& Rows() { return rows_; }
  [[nodiscard]] const std::vector<ArchiveRow>& Rows() const { return rows_; }
  void Reset();  // after the rows were changed in place
  [[nodiscard]] int rowCount(const QModelIndex& parent = {}) const override;
  [[nodiscard]] int columnCount(const QModelIndex& parent = {}) const override;
  [[nodiscard]] QVariant data(const QModelIndex& index, int role) const override;
  [[nodiscard]] QVariant headerData(int section, Qt::Orientation orientation,
                                    int role) const override;

 private:
  std::vector<ArchiveRow> rows_;
};

// The entry list of the selected archive; always at least one (blank) row.
class EntryListModel final : public QAbstractTableModel {
  Q_OBJECT
 public:
  using QAbstractTableModel::QAbstractTableModel;
  void SetRows(std::vector<EntryRow> rows);
  [[nodiscard]] const std::vector<EntryRow>& Rows() const { return rows_; }
  [[nodiscard]] int rowCount(const QModelIndex& parent = {}) const override;
  [[nodiscard]] int columnCount(const QModelIndex& parent = {}) const override;
  [[nodiscard]] QVariant data(const QModelIndex& index, int role) const override;
  [[nodiscard]] QVariant headerData(int section, Qt::Orientation orientation,
                                    int role) const override;

 private:
  std::vector<EntryRow> rows_;
};

class TRestorePage final : public QObject {
  Q_OBJECT
 public:
  // Builds the page's controls into `page` (the "TabRestore" placeholder).
  TRestorePage(app::TFormMain& window, QWidget* page);
  ~TRestorePage() override;

  // Seams for the dialogs, so that the commands can run without a person.
  // Each returns an empty result for Cancel.
  std::function<QStringList(const QString& title, const QString& filter)> pick_files;
  std::function<QString(const QString& caption)> pick_folder;
  std::function<IncompleteAnswer()> ask_incomplete;
  std::function<bool(const QUrl&)> open_file;
  // The selected backup project's settings as the Backup page holds them
  // (its destination folder and the options adding files uses). By default
  // the project as stored; null when no project is selected. Throws what
  // reading the project throws.
  std::function<std::optional<backup::BackupProject>()> backup_settings;

  // --- The view ---
  void RefreshArchiveList();
  void ShowArchiveContents(const std::string& name);
  void SortArchiveList();
  // The page became the active page: the zip folder is the selected
  // project's destination folder again, and the list is rebuilt.
  void Activate();
  // A project became the selected one: its restore options are shown.
  void LoadOptions();

  // --- Commands ---
  void SpRestoreClick();      // the whole selected archive
  void SpeedButton14Click();  // the selected entries
  void menuimportClick();
  void MenuCopyClick();
  void menuDeleteClick();
  void OpenArchive();
  void SpeedButton12Click();  // add files
  void SpeedButton13Click();  // remove entries
  void SetSort(int field, bool descending);

  // --- State for the commands and the tests ---
  [[nodiscard]] std::string SelectedArchive() const;
  // The first and last row of a grid's selected range (-1, -1 for none).
  [[nodiscard]] std::pair<int, int> ArchiveRange() const;
  [[nodiscard]] std::pair<int, int> EntryRange() const;
  [[nodiscard]] RestoreOptions Options() const;
  [[nodiscard]] ArchiveListModel& Archives() { return archives_; }
  [[nodiscard]] EntryListModel& Entries() { return entries_; }
  [[nodiscard]] QTableView* ArchiveGrid() const { return zip_grid_; }
  [[nodiscard]] QTableView* EntryGrid() const { return entry_grid_; }
  [[nodiscard]] QLineEdit* ZipFolderEdit() const { return DirectoryView_; }
  [[nodiscard]] QMenu* ArchiveMenu() const { return PopupMenuString_; }
  // Shows or hides the archive commands of the context menu, as before it opens.
  void PopupMenuStringPopup();

 private:
  void BuildFiles(QWidget* group);
  void BuildOptions(QWidget* group);
  void BuildMenu();
  void SetZipFolder(const QString& folder);
  void SelectArchiveRow(int row);
  void RunRestoreFor(bool whole_archive);
  void ShowReaderError(const std::exception& e);
  [[nodiscard]] MaintenanceHooks MakeMaintenanceHooks(app::ActivityLog* log);
  [[nodiscard]] std::string ZipFolder();  // trimmed, and written back trimmed
  [[nodiscard]] std::string ProjectName() const;
  [[nodiscard]] std::unique_ptr<app::ActivityLog> OpenLog() const;
  void AfterLogWritten();

  app::TFormMain& window_;
  std::unique_ptr<zip::TZipReader> reader_;
  std::unique_ptr<zip::TZipWriter> writer_;
  ArchiveListModel archives_;
  EntryListModel entries_;
  bool select_attached_ = true;

  QLineEdit* DirectoryView_ = nullptr;
  QTableView* zip_grid_ = nullptr;
  QTableView* entry_grid_ = nullptr;
  QLabel* LabelZipNumber_ = nullptr;
  QLabel* LabelfileNumber_ = nullptr;
  QLineEdit* DirectoryRestore_ = nullptr;
  QLineEdit* EditRestorePassword_ = nullptr;
  QCheckBox* CheckBoxUseFolder_ = nullptr;
  QButtonGroup* overwrite_ = nullptr;
  QMenu* PopupMenuString_ = nullptr;
  QAction* sort_separator_ = nullptr;
  std::vector<QAction*> archive_actions_;  // hidden while the list is empty
  std::vector<QAction*> field_actions_;
  std::vector<QAction*> direction_actions_;
};

// Builds the page into the window's "TabRestore" placeholder and wires the
// toolbar's restore button, the page switch and the project box to it.
TRestorePage* InstallRestorePage(app::TFormMain& window);

}  // namespace zb::restore::ui
