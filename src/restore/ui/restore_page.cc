#include "restore/ui/restore_page.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QSplitter>
#include <QStyle>
#include <QStyledItemDelegate>
#include <QTableView>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>
#include <exception>

#include "app/activity_log.h"
#include "app/ui/arrow_cursor_ui.h"
#include "app/ui/page_host.h"
#include "app/user_interaction.h"
#include "backup/backup_project.h"
#include "base/path.h"
#include "restore/ui/incomplete_zip_dlg.h"
#include "zip/zip_reader.h"
#include "zip/zip_writer.h"

namespace zb::restore::ui {

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

std::string Trimmed(const QString& s) { return s.trimmed().toStdString(); }

// Cells: the text starts 2 pixels right of and below the cell's corner and
// is clipped to the cell; the style still draws the selection behind it.
class GridCellDelegate final : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override {
    QStyleOptionViewItem o(option);
    initStyleOption(&o, index);
    const QString text = o.text;
    o.text.clear();
    QStyle* style = o.widget ? o.widget->style() : QApplication::style();
    style->drawControl(QStyle::CE_ItemViewItem, &o, painter, o.widget);
    painter->save();
    painter->setClipRect(option.rect);
    painter->setFont(o.font);
    const bool selected = (option.state & QStyle::State_Selected) != 0;
    painter->setPen(
        o.palette.color(QPalette::Normal, selected ? QPalette::HighlightedText : QPalette::Text));
    painter->drawText(option.rect.adjusted(2, 2, 0, 0),
                      Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine, text);
    painter->restore();
  }
};

// Grid look shared by both lists: whole rows, one contiguous range (Shift+
// click extends it), rows of 20 pixels, navy header text, 9-point cells.
// The grid is made exactly wide enough for its columns and a vertical
// scroll bar, so every column is in view without scrolling sideways.
void SetUpGrid(QTableView* grid, const std::vector<int>& widths, const QString& hint) {
  grid->setSelectionBehavior(QAbstractItemView::SelectRows);
  grid->setSelectionMode(QAbstractItemView::ContiguousSelection);
  grid->setEditTriggers(QAbstractItemView::NoEditTriggers);
  grid->verticalHeader()->setVisible(false);
  grid->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  grid->verticalHeader()->setDefaultSectionSize(20);
  grid->horizontalHeader()->setStyleSheet(QStringLiteral("QHeaderView::section { color: navy; }"));
  grid->horizontalHeader()->setHighlightSections(false);
  grid->horizontalHeader()->setStretchLastSection(false);
  QFont f = grid->font();
  f.setPointSize(9);
  grid->setFont(f);
  grid->setWordWrap(false);
  grid->setTextElideMode(Qt::ElideNone);
  grid->setItemDelegate(new GridCellDelegate(grid));
  grid->setToolTip(hint);
  int total = 0;
  for (size_t i = 0; i < widths.size(); ++i) {
    grid->setColumnWidth(static_cast<int>(i), widths[i]);
    total += widths[i];
  }
  grid->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  grid->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  grid->setFixedWidth(total + grid->style()->pixelMetric(QStyle::PM_ScrollBarExtent) +
                      2 * grid->frameWidth());
}

// The hourglass while a copy runs.
struct WaitCursor {
  WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
  ~WaitCursor() { QApplication::restoreOverrideCursor(); }
  WaitCursor(const WaitCursor&) = delete;
  WaitCursor& operator=(const WaitCursor&) = delete;
};

QString ArchiveCell(const ArchiveRow& r, int column) {
  switch (column) {
    case 0:
      return Q(r.name);
    case 1:
      return Q(r.SizeText());
    case 2:
      return Q(r.DateText());
    default:
      return {};
  }
}

QString EntryCell(const EntryRow& r, int column) {
  switch (column) {
    case 0:
      return Q(r.file_name);
    case 1:
      return Q(r.size_text);
    case 2:
      return Q(r.path);
    case 3:
      return Q(r.date_text);
    default:
      return {};
  }
}

std::pair<int, int> RangeOf(const QTableView* grid) {
  const QItemSelectionModel* sel = grid->selectionModel();
  int top = -1;
  int bottom = -1;
  if (sel) {
    for (const QItemSelectionRange& r : sel->selection()) {
      if (top < 0 || r.top() < top) top = r.top();
      if (bottom < 0 || r.bottom() > bottom) bottom = r.bottom();
    }
  }
  if (top < 0 && grid->currentIndex().isValid()) top = bottom = grid->currentIndex().row();
  return {top, bottom};
}

constexpr int kMaxLeftOutShown = 20;

}  // namespace

// ---------------------------------------------------------------------------
// Construction

TRestorePage::TRestorePage(app::PageHost& host, QWidget* page)
    : QObject(page),
      host_(host),
      reader_(std::make_unique<zip::TZipReader>()),
      ui_(std::make_unique<app::ArrowCursorUi>(host.Ui())),
      writer_(std::make_unique<zip::TZipWriter>()),
      archives_({"Filename", "Size(KB)", "Date"}, ArchiveCell),
      entries_({"Filename", "Size(KB)", "Path", "Date"}, EntryCell) {
  reader_->SetSortMode(zip::TZipSortMode::ByName);

  // The pickers open in the user's home folder (or the folder the field
  // already names), never in whatever folder the process was started from.
  pick_files = [page](const QString& title, const QString& filter) {
    return QFileDialog::getOpenFileNames(page, title, Q(HomeFolder()), filter);
  };
  pick_folder = [page](const QString& caption, const QString& start) {
    const QString from = !start.trimmed().isEmpty() && QFileInfo(start.trimmed()).isDir()
                             ? start.trimmed()
                             : Q(HomeFolder());
    return QFileDialog::getExistingDirectory(page, caption, from);
  };
  ask_incomplete = [page] {
    const app::ArrowCursor arrow;
    return TIncompleteZipDlg::Ask(page->window());
  };
  open_file = [](const QUrl& url) { return QDesktopServices::openUrl(url); };
  backup_settings = [this]() -> std::optional<backup::BackupProject> {
    const std::string project = Trimmed(QString::fromStdString(host_.SelectedProject()));
    if (project.empty()) return std::nullopt;
    return backup::ReadProject(host_.DataDir(), project);
  };

  auto* layout = new QVBoxLayout(page);
  layout->setContentsMargins(6, 6, 6, 6);
  auto* files = new QGroupBox(QStringLiteral("Files"));
  files->setObjectName(QStringLiteral("GroupFiles"));
  auto* options = new QGroupBox(QStringLiteral("Options"));
  options->setObjectName(QStringLiteral("GroupOptions"));
  layout->addWidget(files, 1);
  layout->addWidget(options, 0);
  BuildFiles(files);
  BuildOptions(options);
  BuildMenu();
  SetSort(host_.Settings().SortField, host_.Settings().SortDescending != 0);
}

TRestorePage::~TRestorePage() = default;

void TRestorePage::BuildFiles(QWidget* group) {
  // The zip folder across the top; below it the archive list over the entry
  // list (each at its full column widths, so nothing needs a sideways
  // scroll in the fixed window), and the commands in a column beside them.
  auto* grid = new QGridLayout(group);
  grid->setContentsMargins(8, 6, 8, 6);
  grid->setVerticalSpacing(4);

  auto* folder_row = new QHBoxLayout;
  folder_row->addWidget(new QLabel(QStringLiteral("Zip folder:")));
  zip_folder_edit_ = new QLineEdit(Q(HomeFolder()));
  zip_folder_edit_->setObjectName(QStringLiteral("DirectoryView"));
  // Chosen with the browse button only: a half-typed folder would rescan on
  // every key.
  zip_folder_edit_->setReadOnly(true);
  folder_row->addWidget(zip_folder_edit_, 1);
  auto* browse = new QToolButton;
  browse->setObjectName(QStringLiteral("DirectoryViewBrowse"));
  browse->setText(QStringLiteral("..."));
  browse->setToolTip(QStringLiteral("Please select directory"));
  folder_row->addWidget(browse);
  connect(browse, &QToolButton::clicked, this, [this] {
    const QString d =
        pick_folder(QStringLiteral("Please select directory"), zip_folder_edit_->text());
    if (!d.isEmpty()) zip_folder_edit_->setText(d);
  });
  connect(zip_folder_edit_, &QLineEdit::textChanged, this,
          [this] { Command(&TRestorePage::RefreshArchiveList); });

  // The archive commands beside the archive list, the entry commands beside
  // the entry list.
  auto* archive_buttons = new QVBoxLayout;
  auto* entry_buttons = new QVBoxLayout;
  struct ButtonDef {
    QVBoxLayout* column;
    const char* name;
    const char* icon;
    const char* text;
    const char* hint;
    void (TRestorePage::*handler)();
  };
  const ButtonDef defs[] = {
      {archive_buttons, "Spimport", "new", "Import", "Import a Zip file",
       &TRestorePage::OnImportArchive},
      {archive_buttons, "SpeedButton9", "copy", "Export", "Export Zip Files",
       &TRestorePage::OnExportArchive},
      {archive_buttons, "SpeedButton10", "delete", "Delete", "Delete Files Selected",
       &TRestorePage::OnDeleteArchives},
      {entry_buttons, "SpeedButton14", "restore", "Restore", "Restore files selected",
       &TRestorePage::OnRestoreSelected},
      {entry_buttons, "SpeedButton12", "save", "Add files", "Add files to Zip",
       &TRestorePage::OnAddFiles},
      {entry_buttons, "SpeedButton13", "cancel", "Remove", "Delete files for ZIP",
       &TRestorePage::OnRemoveEntries},
  };
  for (const ButtonDef& s : defs) {
    auto* b = new QToolButton;
    b->setObjectName(QString::fromLatin1(s.name));
    b->setIcon(
        QIcon(QStringLiteral(":/icons/") + QString::fromLatin1(s.icon) + QStringLiteral(".svg")));
    b->setText(QString::fromLatin1(s.text));
    b->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    b->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    b->setAutoRaise(true);
    b->setToolTip(QString::fromLatin1(s.hint));
    connect(b, &QToolButton::clicked, this, [this, h = s.handler] { Command(h); });
    s.column->addWidget(b);
  }

  archive_grid_ = new QTableView;
  archive_grid_->setObjectName(QStringLiteral("StringGridZipfilename"));
  archive_grid_->setModel(&archives_);
  SetUpGrid(archive_grid_, {222, 224, 147},
            QStringLiteral("Right-click it to open context menu\nDouble-click it to open "
                           "file\nShift+click to select multi-file"));
  archive_grid_->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(archive_grid_, &QTableView::customContextMenuRequested, this, [this](const QPoint& p) {
    PrepareArchiveMenu();
    archive_menu_->popup(archive_grid_->viewport()->mapToGlobal(p));
  });
  connect(archive_grid_, &QTableView::doubleClicked, this,
          [this] { Command(&TRestorePage::OpenArchive); });
  connect(archive_grid_->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
          [this](const QModelIndex& current) {
            if (!select_attached_ || !current.isValid()) return;
            const auto row = static_cast<size_t>(current.row());
            const auto& rows = archives_.Rows();
            ShowArchiveContents(row < rows.size() ? rows[row].name : std::string());
          });

  entry_grid_ = new QTableView;
  entry_grid_->setObjectName(QStringLiteral("StringGrid1"));
  entry_grid_->setModel(&entries_);
  SetUpGrid(entry_grid_, {140, 82, 224, 149}, QStringLiteral("Shift+click to select multi-file"));

  archive_count_label_ = new QLabel(Q(TotalLabel(0)));
  archive_count_label_->setObjectName(QStringLiteral("LabelZipNumber"));
  entry_count_label_ = new QLabel(Q(TotalLabel(0)));
  entry_count_label_->setObjectName(QStringLiteral("LabelfileNumber"));

  // Each list under its caption with its commands beside it; the splitter
  // lets the user give one list the rows the other does not need.
  auto pane = [](const QString& caption, QLabel* count, QTableView* list, QVBoxLayout* buttons) {
    auto* box = new QWidget;
    auto* row = new QHBoxLayout(box);
    row->setContentsMargins(0, 0, 0, 0);
    auto* column = new QVBoxLayout;
    column->setSpacing(2);
    auto* head = new QHBoxLayout;
    head->addWidget(new QLabel(caption));
    head->addWidget(count);
    head->addStretch(1);
    column->addLayout(head);
    column->addWidget(list, 1);
    row->addLayout(column);
    buttons->setSpacing(2);
    buttons->insertSpacing(0, 18);  // level with the list, below its caption
    buttons->addStretch(1);
    row->addLayout(buttons, 1);
    return box;
  };
  auto* lists = new QSplitter(Qt::Vertical);
  lists->setObjectName(QStringLiteral("SplitterLists"));
  lists->setChildrenCollapsible(false);
  lists->addWidget(
      pane(QStringLiteral("Zip file list:"), archive_count_label_, archive_grid_, archive_buttons));
  lists->addWidget(
      pane(QStringLiteral("Zip file details:"), entry_count_label_, entry_grid_, entry_buttons));
  lists->setStretchFactor(0, 1);
  lists->setStretchFactor(1, 1);

  grid->addLayout(folder_row, 0, 0);
  grid->addWidget(lists, 1, 0);
  grid->setRowStretch(1, 1);
}

void TRestorePage::BuildOptions(QWidget* group) {
  auto* grid = new QGridLayout(group);
  grid->setContentsMargins(8, 6, 8, 6);
  grid->setVerticalSpacing(4);
  extract_to_edit_ = new QLineEdit(Q(HomeFolder()));
  extract_to_edit_->setObjectName(QStringLiteral("DirectoryRestore"));
  auto* browse = new QToolButton;
  browse->setObjectName(QStringLiteral("DirectoryRestoreBrowse"));
  browse->setText(QStringLiteral("..."));
  browse->setToolTip(QStringLiteral("Please select directory"));
  connect(browse, &QToolButton::clicked, this, [this] {
    const QString d =
        pick_folder(QStringLiteral("Please select directory"), extract_to_edit_->text());
    if (!d.isEmpty()) extract_to_edit_->setText(d);
  });
  password_edit_ = new QLineEdit;
  password_edit_->setObjectName(QStringLiteral("EditRestorePassword"));
  password_edit_->setEchoMode(QLineEdit::Password);
  use_folders_box_ = new QCheckBox(QStringLiteral("Use Original Folder Name"));
  use_folders_box_->setObjectName(QStringLiteral("CheckBoxUseFolder"));
  use_folders_box_->setChecked(true);

  grid->addWidget(new QLabel(QStringLiteral("Extract to:")), 0, 0);
  auto* to_row = new QHBoxLayout;
  to_row->addWidget(extract_to_edit_, 1);
  to_row->addWidget(browse);
  grid->addLayout(to_row, 0, 1);
  grid->addWidget(new QLabel(QStringLiteral("Input Password ( If has ):")), 1, 0);
  auto* password_row = new QHBoxLayout;
  password_edit_->setFixedWidth(220);
  password_row->addWidget(password_edit_);
  password_row->addSpacing(20);
  password_row->addWidget(use_folders_box_);
  password_row->addStretch(1);
  grid->addLayout(password_row, 1, 1);

  grid->addWidget(new QLabel(QStringLiteral("Overwrite Mode:")), 2, 0);
  auto* modes = new QHBoxLayout;
  overwrite_radios_ = new QButtonGroup(this);
  struct Radio {
    const char* name;
    int mode;
  };
  const Radio radios[] = {{"RadioAlways", kOverwriteAlways},
                          {"RadioPrompt", kOverwritePrompt},
                          {"RadioNever", kOverwriteNever},
                          {"RadioNewer", kOverwriteNewer},
                          {"RadioOlder", kOverwriteOlder}};
  for (const Radio& r : radios) {
    auto* b = new QRadioButton(Q(std::string(OverwriteCaption(r.mode))));
    b->setObjectName(QString::fromLatin1(r.name));
    overwrite_radios_->addButton(b, r.mode);
    modes->addWidget(b);
  }
  overwrite_radios_->button(kOverwriteNever)->setChecked(true);
  modes->addStretch(1);
  grid->addLayout(modes, 2, 1);
  grid->setColumnStretch(1, 1);
}

void TRestorePage::BuildMenu() {
  archive_menu_ = new QMenu(archive_grid_);
  archive_menu_->setObjectName(QStringLiteral("PopupMenuString"));
  QMenu* sort = archive_menu_->addMenu(QStringLiteral("Files Sort"));
  sort->setObjectName(QStringLiteral("FilesSort"));
  auto* fields = new QActionGroup(sort);
  auto* directions = new QActionGroup(sort);
  const char* field_names[] = {"By name", "By size", "By date"};
  for (int i = 0; i < 3; ++i) {
    QAction* a = sort->addAction(QString::fromLatin1(field_names[i]));
    a->setCheckable(true);
    a->setData(100 * (i + 1));
    fields->addAction(a);
    field_actions_.push_back(a);
    connect(a, &QAction::triggered, this, [this, i] {
      SetSort(i, host_.Settings().SortDescending != 0);
      Command(&TRestorePage::SortArchiveList);
    });
  }
  sort->addSeparator();
  const char* dir_names[] = {"Ascending", "Descending"};
  for (int i = 0; i < 2; ++i) {
    QAction* a = sort->addAction(QString::fromLatin1(dir_names[i]));
    a->setCheckable(true);
    a->setData(400 + 100 * i);
    directions->addAction(a);
    direction_actions_.push_back(a);
    connect(a, &QAction::triggered, this, [this, i] {
      SetSort(host_.Settings().SortField, i == 1);
      Command(&TRestorePage::SortArchiveList);
    });
  }
  sort_separator_ = archive_menu_->addSeparator();
  QAction* import = archive_menu_->addAction(QStringLiteral("Import a Zip File..."));
  import->setObjectName(QStringLiteral("menuimport"));
  connect(import, &QAction::triggered, this, [this] { Command(&TRestorePage::OnImportArchive); });
  struct Item {
    const char* name;
    const char* text;
    void (TRestorePage::*handler)();
  };
  const Item items[] = {
      {"MenuCopy", "Export the Zip File...", &TRestorePage::OnExportArchive},
      {"menuRestore", "Restore Zip File Selected to...", &TRestorePage::OnRestoreArchive},
      {"menuDelete", "Delete Zip Files Selected...", &TRestorePage::OnDeleteArchives},
      {"OpenZipFile1", "Open Zip File...", &TRestorePage::OpenArchive},
  };
  for (const Item& it : items) {
    QAction* a = archive_menu_->addAction(QString::fromLatin1(it.text));
    a->setObjectName(QString::fromLatin1(it.name));
    connect(a, &QAction::triggered, this, [this, h = it.handler] { Command(h); });
    archive_actions_.push_back(a);
  }
}

// ---------------------------------------------------------------------------
// The view

void TRestorePage::SetSort(int field, bool descending) {
  if (field < 0 || field > 2) field = 2;
  host_.Settings().SortField = field;
  host_.Settings().SortDescending = descending ? 1 : 0;
  for (int i = 0; i < 3; ++i) field_actions_[static_cast<size_t>(i)]->setChecked(i == field);
  direction_actions_[0]->setChecked(!descending);
  direction_actions_[1]->setChecked(descending);
}

void TRestorePage::PrepareArchiveMenu() {
  SetSort(host_.Settings().SortField, host_.Settings().SortDescending != 0);
  const auto& rows = archives_.Rows();
  const bool has = !rows.empty() && !QString::fromStdString(rows.front().name).trimmed().isEmpty();
  sort_separator_->setVisible(has);
  for (QAction* a : archive_actions_) a->setVisible(has);
}

std::string TRestorePage::ZipFolder() {
  const QString t = zip_folder_edit_->text().trimmed();
  if (t != zip_folder_edit_->text()) {
    const QSignalBlocker block(zip_folder_edit_);
    zip_folder_edit_->setText(t);
  }
  return t.toStdString();
}

std::string TRestorePage::ProjectName() const { return host_.SelectedProject(); }

void TRestorePage::SetZipFolder(const QString& folder) {
  const QSignalBlocker block(zip_folder_edit_);
  zip_folder_edit_->setText(folder);
}

void TRestorePage::Activate() {
  try {
    if (const auto p = backup_settings()) SetZipFolder(Q(p->SavePath));
  } catch (const std::exception& e) {
    ui_->ShowError(e.what());
  }
  RefreshArchiveList();
}

void TRestorePage::LoadOptions() {
  const std::string project = Trimmed(QString::fromStdString(host_.SelectedProject()));
  if (project.empty()) return;
  RestoreOptions o;
  try {
    o = LoadRestoreOptions(host_.DataDir(), project);
  } catch (const std::exception& e) {
    ui_->ShowError(e.what());
    return;
  }
  extract_to_edit_->setText(Q(o.extract_to));
  use_folders_box_->setChecked(o.use_original_folder);
  // A stored number no radio has leaves all five unchecked.
  overwrite_radios_->setExclusive(false);
  for (QAbstractButton* b : overwrite_radios_->buttons()) b->setChecked(false);
  if (QAbstractButton* b = overwrite_radios_->button(o.overwrite_mode)) b->setChecked(true);
  overwrite_radios_->setExclusive(true);
}

RestoreOptions TRestorePage::Options() const {
  RestoreOptions o;
  o.extract_to = extract_to_edit_->text().toStdString();
  o.use_original_folder = use_folders_box_->isChecked();
  o.overwrite_mode = overwrite_radios_->checkedId();  // -1 when none is checked
  o.password = password_edit_->text().toStdString();
  return o;
}

void TRestorePage::SelectArchiveRow(int row) {
  select_attached_ = false;
  archive_grid_->selectionModel()->setCurrentIndex(
      archives_.index(row, 0), QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  select_attached_ = true;
}

void TRestorePage::RefreshArchiveList() {
  select_attached_ = false;
  ArchiveListing listing = ListArchives(ZipFolder(), host_.ProgressHooks().pump);
  archives_.SetRows(std::move(listing.rows));
  archive_count_label_->setText(Q(TotalLabel(archives_.Rows().size())));
  select_attached_ = true;
  if (archives_.Rows().empty()) {
    SelectArchiveRow(0);
    entries_.SetRows({});
    entries_archive_.clear();
    entry_count_label_->setText(Q(TotalLabel(0)));
    return;
  }
  SortArchiveList();
}

void TRestorePage::SortArchiveList() {
  auto& rows = archives_.Rows();
  if (rows.empty() || rows.front().name.empty()) return;
  // A hand-edited "By Field" outside 0..2 sorts as the default, by date.
  int field = host_.Settings().SortField;
  if (field < 0 || field > 2) field = static_cast<int>(SortField::kDate);
  restore::SortArchiveList(rows, static_cast<SortField>(field),
                           host_.Settings().SortDescending != 0);
  archives_.Reset();
  SelectArchiveRow(0);
  ShowArchiveContents(rows.front().name);
}

void TRestorePage::ShowReaderError(const std::exception& e) { ui_->ShowError(e.what()); }

void TRestorePage::ShowArchiveContents(const std::string& name) {
  std::string trimmed = QString::fromStdString(name).trimmed().toStdString();
  if (trimmed.empty()) {
    entries_.SetRows({});
    entries_archive_.clear();
    entry_count_label_->setText(Q(TotalLabel(0)));
    return;
  }
  const std::string path = ArchivePath(ZipFolder(), trimmed);
  try {
    std::vector<EntryRow> rows = ArchiveContents(
        *reader_, path,
        [this](zip::TIncompleteZipMode& mode) { mode = IncompleteModeFor(ask_incomplete()); });
    const size_t count = rows.size();
    entries_.SetRows(std::move(rows));
    entries_archive_ = path;
    entry_count_label_->setText(Q(TotalLabel(count)));
  } catch (const std::exception& e) {
    // The entry list keeps what it showed: the error says why it is not
    // the selected archive's.
    ShowReaderError(e);
  }
}

std::string TRestorePage::SelectedArchive() const {
  const QModelIndex cur = archive_grid_->currentIndex();
  if (!cur.isValid()) return {};
  const auto row = static_cast<size_t>(cur.row());
  const auto& rows = archives_.Rows();
  if (row >= rows.size()) return {};
  return QString::fromStdString(rows[row].name).trimmed().toStdString();
}

std::pair<int, int> TRestorePage::ArchiveRange() const { return RangeOf(archive_grid_); }
std::pair<int, int> TRestorePage::EntryRange() const { return RangeOf(entry_grid_); }

// ---------------------------------------------------------------------------
// Restore

void TRestorePage::AfterLogWritten() { host_.LoadLog(); }

void TRestorePage::RunRestoreFor(bool whole_archive) {
  RestoreRequest request;
  request.data_dir = host_.DataDir();
  request.project = ProjectName();
  request.zip_folder = ZipFolder();
  request.archive_name = SelectedArchive();
  request.options = Options();
  request.whole_archive = whole_archive;
  if (!whole_archive) {
    const auto [top, bottom] = EntryRange();
    const auto& rows = entries_.Rows();
    if (top >= 0) {
      for (int r = top; r <= bottom && static_cast<size_t>(r) < rows.size(); ++r)
        request.selected.push_back(rows[static_cast<size_t>(r)]);
    }
  }
  // What the confirmation showed is what is stored and used.
  extract_to_edit_->setText(extract_to_edit_->text().trimmed());
  request.options.extract_to = extract_to_edit_->text().toStdString();

  auto log = host_.OpenRunLog();
  RestoreHooks hooks;
  static_cast<app::RunProgress&>(hooks) = host_.ProgressHooks();
  hooks.ui = ui_.get();
  hooks.log = log.get();
  hooks.reader = reader_.get();
  hooks.memory = &restore_memory_;
  hooks.on_incomplete = [this](zip::TIncompleteZipMode& mode) {
    mode = IncompleteModeFor(ask_incomplete());
  };
  const RestoreResult result = RunRestore(request, hooks);
  // A run cancelled at the overwrite question logged "Interrupt" as well.
  if (result.status == RestoreStatus::kSucceeded || result.status == RestoreStatus::kFailed ||
      result.cancelled)
    AfterLogWritten();
}

void TRestorePage::Command(void (TRestorePage::*handler)()) {
  (void)RunCommand(*ui_, [this, handler] { (this->*handler)(); });
}

void TRestorePage::OnRestoreArchive() { RunRestoreFor(true); }

bool TRestorePage::EntriesShowSelected(const std::string& name) {
  if (ArchivePath(ZipFolder(), name) == entries_archive_) return true;
  ui_->ShowError("The file list does not show the entries of '" + name +
                 "'. Select the Zip file again to list them");
  return false;
}

void TRestorePage::OnRestoreSelected() {
  const std::string name = SelectedArchive();
  if (name.empty() || !EntriesShowSelected(name)) return;
  RunRestoreFor(false);
}

// ---------------------------------------------------------------------------
// Maintenance

MaintenanceHooks TRestorePage::MakeMaintenanceHooks(app::ActivityLog* log) {
  MaintenanceHooks hooks;
  hooks.ui = ui_.get();
  hooks.log = log;
  app::RunProgress progress = host_.ProgressHooks();
  hooks.pump = std::move(progress.pump);
  hooks.set_running = std::move(progress.set_running);
  hooks.on_total_percent = std::move(progress.on_total_percent);
  hooks.on_file_percent = std::move(progress.on_file_percent);
  return hooks;
}

void TRestorePage::OnImportArchive() {
  const QStringList files =
      pick_files(QStringLiteral("Import Zip file"), QStringLiteral("Zip file (*.Zip *.zip)"));
  if (files.isEmpty()) return;
  auto log = host_.OpenRunLog();
  MaintenanceHooks hooks = MakeMaintenanceHooks(log.get());
  const CopyOutcome outcome = [&] {
    const WaitCursor wait;
    return ImportArchive(files.front().toStdString(), ZipFolder(), ProjectName(), hooks);
  }();
  if (outcome == CopyOutcome::kCopied) AfterLogWritten();
  RefreshArchiveList();
}

void TRestorePage::OnExportArchive() {
  const std::string name = SelectedArchive();
  if (name.empty()) return;
  const QString dest = pick_folder(
      QStringLiteral("Export '") + Q(name) + QStringLiteral("' to destination folder"), QString());
  if (dest.isEmpty()) return;
  auto log = host_.OpenRunLog();
  MaintenanceHooks hooks = MakeMaintenanceHooks(log.get());
  const CopyOutcome outcome = [&] {
    const WaitCursor wait;
    return ExportArchive(ZipFolder(), name, dest.toStdString(), ProjectName(), hooks);
  }();
  if (outcome == CopyOutcome::kCopied) AfterLogWritten();
}

void TRestorePage::OnDeleteArchives() {
  std::vector<std::string> names;
  const auto [top, bottom] = ArchiveRange();
  const auto& rows = archives_.Rows();
  if (top >= 0) {
    for (int r = top; r <= bottom && static_cast<size_t>(r) < rows.size(); ++r)
      names.push_back(rows[static_cast<size_t>(r)].name);
  }
  (void)DeleteArchives(ZipFolder(), names, *ui_);
  RefreshArchiveList();
}

void TRestorePage::OpenArchive() {
  const std::string name = SelectedArchive();
  if (name.empty()) return;
  const std::string path = ArchivePath(ZipFolder(), name);
  if (!open_file(QUrl::fromLocalFile(Q(path)))) ui_->ShowError("No application could open " + path);
}

void TRestorePage::OnAddFiles() {
  const std::string name = SelectedArchive();
  if (name.empty()) return;
  const QStringList files = pick_files(QString(), QString());
  if (files.isEmpty()) return;
  AddSettings settings;
  try {
    if (const auto p = backup_settings()) {
      settings.recurse = p->IncludeSubfolders;
      settings.store_paths = p->StorePath;
      settings.use_password = p->UsePassword;
      settings.password = p->Password;
      settings.pack_level = p->PackLevel;
    }
  } catch (const std::exception& e) {
    ui_->ShowError(e.what());
    return;
  }
  std::vector<std::string> paths;
  paths.reserve(static_cast<size_t>(files.size()));
  for (const QString& f : files) paths.push_back(f.toStdString());
  MaintenanceHooks hooks = MakeMaintenanceHooks(nullptr);
  try {
    const AddResult result =
        AddFilesToArchive(*writer_, ArchivePath(ZipFolder(), name), paths, settings, hooks);
    if (!result.left_out.empty()) {
      std::string text = "Some files were not added:";
      int shown = 0;
      for (const std::string& l : result.left_out) {
        if (shown++ == kMaxLeftOutShown) {
          text += "\n...";
          break;
        }
        text += "\n" + l;
      }
      ui_->ShowWarning(text);
    }
  } catch (const std::exception& e) {
    ShowReaderError(e);
  }
  ShowArchiveContents(name);
}

void TRestorePage::OnRemoveEntries() {
  const std::string name = SelectedArchive();
  if (name.empty() || !EntriesShowSelected(name)) return;
  std::vector<EntryRow> chosen;
  const auto [top, bottom] = EntryRange();
  const auto& rows = entries_.Rows();
  if (top >= 0) {
    for (int r = top; r <= bottom && static_cast<size_t>(r) < rows.size(); ++r)
      chosen.push_back(rows[static_cast<size_t>(r)]);
  }
  MaintenanceHooks hooks = MakeMaintenanceHooks(nullptr);
  try {
    (void)RemoveEntriesFromArchive(*writer_, ArchivePath(ZipFolder(), name), chosen, hooks);
  } catch (const std::exception& e) {
    ShowReaderError(e);
  }
  ShowArchiveContents(name);
}

// ---------------------------------------------------------------------------

TRestorePage* InstallRestorePage(app::PageHost& host, QWidget* area) {
  auto* page = new TRestorePage(host, area);
  page->setObjectName(QStringLiteral("RestorePage"));
  app::PageHooks& hooks = host.Hooks();
  hooks.commands[app::Command::kRestoreFile] = [page] {
    page->Command(&TRestorePage::OnRestoreArchive);
  };
  hooks.page_entered.push_back([page](app::Page entered) {
    if (entered == app::Page::kRestore) page->Command(&TRestorePage::Activate);
  });
  hooks.project_selected.push_back([page] { page->LoadOptions(); });
  return page;
}

}  // namespace zb::restore::ui
