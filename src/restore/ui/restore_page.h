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

namespace zb {
class UserInteraction;
}

namespace zb::zip {
class TZipReader;
class TZipWriter;
}  // namespace zb::zip

namespace zb::app {
class ActivityLog;
}  // namespace zb::app

namespace zb::app {
class PageHost;
}  // namespace zb::app

namespace zb::restore::ui {

// A grid over a vector of rows, filled in one reset (no per-row repaints).
// `cell(row, column)` gives a cell's text. Like the design's string grids it
// always shows at least one row: an empty list shows one blank row.
template <typename Row>
class RowTableModel final : public QAbstractTableModel {
 public:
  using CellFn = QString (*)(const Row& row, int column);
  RowTableModel(QStringList headers, CellFn cell) : headers_(std::move(headers)), cell_(cell) {}

  void SetRows(std::vector<Row> rows) {
    beginResetModel();
    rows_ = std::move(rows);
    endResetModel();
  }
  [[nodiscard]] std::vector<Row>& Rows() { return rows_; }
  [[nodiscard]] const std::vector<Row>& Rows() const { return rows_; }
  void Reset() {  // after the rows were changed in place
    beginResetModel();
    endResetModel();
  }

  [[nodiscard]] int rowCount(const QModelIndex& parent = {}) const override {
    if (parent.isValid()) return 0;
    return rows_.empty() ? 1 : static_cast<int>(rows_.size());
  }
  [[nodiscard]] int columnCount(const QModelIndex& parent = {}) const override {
    return parent.isValid() ? 0 : static_cast<int>(headers_.size());
  }
  [[nodiscard]] QVariant data(const QModelIndex& index, int role) const override {
    if (role != Qt::DisplayRole || !index.isValid()) return {};
    const auto row = static_cast<size_t>(index.row());
    if (row >= rows_.size()) return QString();
    return cell_(rows_[row], index.column());
  }
  [[nodiscard]] QVariant headerData(int section, Qt::Orientation orientation,
                                    int role) const override {
    if (orientation != Qt::Horizontal) return {};
    if (role == Qt::DisplayRole) return headers_.value(section);
    if (role == Qt::TextAlignmentRole) return QVariant(int(Qt::AlignLeft | Qt::AlignVCenter));
    return {};
  }

 private:
  QStringList headers_;
  CellFn cell_;
  std::vector<Row> rows_;
};

// The archive list (one row per archive) and the entry list of the
// selected archive.
using ArchiveListModel = RowTableModel<ArchiveRow>;
using EntryListModel = RowTableModel<EntryRow>;

class TRestorePage final : public QObject {
  Q_OBJECT
 public:
  // Builds the page's controls into `page` (the "TabRestore" area).
  TRestorePage(app::PageHost& host, QWidget* page);
  ~TRestorePage() override;

  // Seams for the dialogs, so that the commands can run without a person.
  // Each returns an empty result for Cancel.
  std::function<QStringList(const QString& title, const QString& filter)> pick_files;
  // `start`: the folder the picker opens in (home when blank or missing).
  std::function<QString(const QString& caption, const QString& start)> pick_folder;
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
  void OnRestoreArchive();   // the whole selected archive
  void OnRestoreSelected();  // the selected entries
  void OnImportArchive();
  void OnExportArchive();
  void OnDeleteArchives();
  void OpenArchive();
  void OnAddFiles();       // to the selected archive
  void OnRemoveEntries();  // the selected entries from their archive
  void SetSort(int field, bool descending);
  // Runs one of the commands above as the controls do: an error that
  // escapes it is shown and ends the command, never the program.
  void Command(void (TRestorePage::*handler)());

  // --- State for the commands and the tests ---
  [[nodiscard]] std::string SelectedArchive() const;
  // The first and last row of a grid's selected range (-1, -1 for none).
  [[nodiscard]] std::pair<int, int> ArchiveRange() const;
  [[nodiscard]] std::pair<int, int> EntryRange() const;
  [[nodiscard]] RestoreOptions Options() const;
  [[nodiscard]] ArchiveListModel& Archives() { return archives_; }
  [[nodiscard]] EntryListModel& Entries() { return entries_; }
  [[nodiscard]] QTableView* ArchiveGrid() const { return archive_grid_; }
  [[nodiscard]] QTableView* EntryGrid() const { return entry_grid_; }
  [[nodiscard]] QLineEdit* ZipFolderEdit() const { return zip_folder_edit_; }
  [[nodiscard]] QMenu* ArchiveMenu() const { return archive_menu_; }
  // Shows or hides the archive commands of the context menu, as before it opens.
  void PrepareArchiveMenu();

 private:
  void BuildFiles(QWidget* group);
  void BuildOptions(QWidget* group);
  void BuildMenu();
  void SetZipFolder(const QString& folder);
  void SelectArchiveRow(int row);
  void RunRestoreFor(bool whole_archive);
  // True when the entry list shows the archive `name`; otherwise says so.
  [[nodiscard]] bool EntriesShowSelected(const std::string& name);
  void ShowReaderError(const std::exception& e);
  [[nodiscard]] MaintenanceHooks MakeMaintenanceHooks(app::ActivityLog* log);
  [[nodiscard]] std::string ZipFolder();  // trimmed, and written back trimmed
  [[nodiscard]] std::string ProjectName() const;
  void AfterLogWritten();

  app::PageHost& host_;
  std::unique_ptr<zip::TZipReader> reader_;
  RestoreMemory restore_memory_;         // policy and password one restore leaves the next
  std::unique_ptr<UserInteraction> ui_;  // the window's, with the normal pointer
  std::unique_ptr<zip::TZipWriter> writer_;
  ArchiveListModel archives_;
  EntryListModel entries_;
  bool select_attached_ = true;
  // The archive whose entries the entry list shows (blank: none). A listing
  // that failed leaves the old rows in place, and they must never be taken
  // for entries of the archive selected since.
  std::string entries_archive_;

  QLineEdit* zip_folder_edit_ = nullptr;
  QTableView* archive_grid_ = nullptr;
  QTableView* entry_grid_ = nullptr;
  QLabel* archive_count_label_ = nullptr;
  QLabel* entry_count_label_ = nullptr;
  QLineEdit* extract_to_edit_ = nullptr;
  QLineEdit* password_edit_ = nullptr;
  QCheckBox* use_folders_box_ = nullptr;
  QButtonGroup* overwrite_radios_ = nullptr;
  QMenu* archive_menu_ = nullptr;
  QAction* sort_separator_ = nullptr;
  std::vector<QAction*> archive_actions_;  // hidden while the list is empty
  std::vector<QAction*> field_actions_;
  std::vector<QAction*> direction_actions_;
};

// Builds the page into `area` (the window's "TabRestore" page) and fills the
// hooks it serves in `host`: "Restore File", entering the page and the
// selected project's restore options.
TRestorePage* InstallRestorePage(app::PageHost& host, QWidget* area);

}  // namespace zb::restore::ui
