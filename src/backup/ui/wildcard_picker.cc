#include "backup/ui/wildcard_picker.h"

#include <QComboBox>
#include <QDir>
#include <QFileSystemModel>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QShortcut>
#include <QTimer>
#include <QTreeView>
#include <QVBoxLayout>
#include <string>
#include <vector>

#include "app/user_interaction.h"
#include "backup/backup_project.h"
#include "backup/ui/list_commands.h"
#include "backup/wildcard_list.h"
#include "base/errors.h"
#include "base/text.h"

namespace zb::backup::ui {

namespace {

constexpr int kWildcardHelp = 801;
constexpr int kSelectHelp = 302;

QPushButton* Button(QWidget* parent, const char* name, const QString& caption) {
  auto* b = new QPushButton(caption, parent);
  b->setObjectName(QLatin1String(name));
  b->setToolTip(QString(caption).remove(QLatin1Char('&')));
  // Enter belongs to the input boxes; no button fires on it by accident.
  b->setAutoDefault(false);
  return b;
}

void AddHelpKey(QDialog* dialog, const PickerContext& context, int topic) {
  auto* key = new QShortcut(QKeySequence::HelpContents, dialog);
  QObject::connect(key, &QShortcut::activated, dialog, [context, topic] {
    if (context.show_help) context.show_help(topic);
  });
}

}  // namespace

// ---- Edit Wildcard ------------------------------------------------------------

TFormWildcard::TFormWildcard(PickerContext context, QWidget* parent)
    : QDialog(parent), context_(std::move(context)) {
  setObjectName(QStringLiteral("TFormWildcard"));
  setWindowTitle(QStringLiteral("Edit Wildcard"));

  pattern_list_ = new QListWidget(this);
  pattern_list_->setObjectName(QStringLiteral("ListBox1"));
  for (const std::string& p : ReadWildcardList(context_.data_dir)) {
    pattern_list_->addItem(QString::fromStdString(p));
  }
  pattern_edit_ = new QLineEdit(this);
  pattern_edit_->setObjectName(QStringLiteral("Edit1"));
  pattern_edit_->setToolTip(QStringLiteral("Please enter a new  wildcard"));

  QPushButton* add_button = Button(this, "SpNew", QStringLiteral("Add wildcard"));
  QPushButton* delete_button = Button(this, "Button4", QStringLiteral("Delete a item"));
  QPushButton* clear_button = Button(this, "SpeedButton1", QStringLiteral("Delete all items"));
  QPushButton* up_button = Button(this, "SpeedButton3", QStringLiteral("Up a item"));
  QPushButton* down_button = Button(this, "SpeedButton2", QStringLiteral("Down a item"));
  QPushButton* help_button = Button(this, "Button1", QStringLiteral("Help"));
  QPushButton* ok_button = Button(this, "btnOk", QStringLiteral("&Ok"));
  QPushButton* cancel_button = Button(this, "Button3", QStringLiteral("Can&cel"));

  auto* grid = new QGridLayout;
  grid->addWidget(new QLabel(QStringLiteral("Add wildcard:"), this), 0, 0);
  grid->addWidget(pattern_edit_, 0, 1);
  grid->addWidget(add_button, 0, 2);
  grid->addWidget(new QLabel(QStringLiteral("Wildcard list:"), this), 1, 0, 1, 3);
  grid->addWidget(pattern_list_, 2, 0, 1, 2);
  auto* side = new QVBoxLayout;
  for (QPushButton* b : {delete_button, clear_button, up_button, down_button}) side->addWidget(b);
  side->addStretch();
  grid->addLayout(side, 2, 2);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(help_button);
  buttons->addStretch();
  buttons->addWidget(ok_button);
  buttons->addWidget(cancel_button);
  auto* top = new QVBoxLayout(this);
  top->addLayout(grid);
  top->addLayout(buttons);
  resize(420, 340);

  connect(add_button, &QPushButton::clicked, this, &TFormWildcard::OnAddPattern);
  connect(pattern_edit_, &QLineEdit::returnPressed, this, &TFormWildcard::OnAddPattern);
  connect(delete_button, &QPushButton::clicked, this, &TFormWildcard::OnDeletePattern);
  connect(clear_button, &QPushButton::clicked, this, &TFormWildcard::OnClearPatterns);
  connect(up_button, &QPushButton::clicked, this,
          [this] { list_commands::MoveListItemUp(pattern_list_); });
  connect(down_button, &QPushButton::clicked, this,
          [this] { list_commands::MoveListItemDown(pattern_list_); });
  connect(help_button, &QPushButton::clicked, this, [this] {
    if (context_.show_help) context_.show_help(kWildcardHelp);
  });
  connect(ok_button, &QPushButton::clicked, this, &TFormWildcard::accept);
  connect(cancel_button, &QPushButton::clicked, this, &TFormWildcard::reject);
  AddHelpKey(this, context_, kWildcardHelp);
  // Typing starts in the pattern box, where Enter adds.
  pattern_edit_->setFocus();
}

void TFormWildcard::OnAddPattern() {
  std::vector<std::string> patterns;
  for (int i = 0; i < pattern_list_->count(); ++i) {
    patterns.push_back(pattern_list_->item(i)->text().toStdString());
  }
  const std::string text = pattern_edit_->text().toStdString();
  if (Trim(text).empty()) return;
  if (AddWildcard(patterns, text)) pattern_list_->addItem(QString::fromStdString(patterns.back()));
  // Emptied also when the pattern was already listed: the user sees it there.
  pattern_edit_->clear();
}

void TFormWildcard::OnDeletePattern() {
  // Unlike the file lists, an empty list also gets the hint here.
  QListWidgetItem* item = pattern_list_->currentItem();
  if (item == nullptr || !item->isSelected()) {
    context_.messages->ShowInformation("Please select a item by clicking");
    return;
  }
  delete pattern_list_->takeItem(pattern_list_->row(item));
}

void TFormWildcard::OnClearPatterns() { list_commands::ClearList(pattern_list_); }

void TFormWildcard::accept() {
  std::vector<std::string> patterns;
  for (int i = 0; i < pattern_list_->count(); ++i) {
    patterns.push_back(pattern_list_->item(i)->text().toStdString());
  }
  try {
    WriteWildcardList(context_.data_dir, patterns);
  } catch (const std::exception& e) {
    // The edits stay on screen so the user can try again or cancel.
    context_.messages->ShowError(e.what());
    return;
  }
  QDialog::accept();
}

// ---- Select files by wildcard ---------------------------------------------------

TFormselectbyfilter::TFormselectbyfilter(PickerContext context, QWidget* parent)
    : QDialog(parent), context_(std::move(context)) {
  setObjectName(QStringLiteral("TFormselectbyfilter"));
  setWindowTitle(QStringLiteral("Select files by wildcard"));

  model_ = new QFileSystemModel(this);
  model_->setFilter(QDir::AllDirs | QDir::NoDotAndDotDot | QDir::Drives);
  model_->setRootPath(QDir::rootPath());
  folder_tree_ = new QTreeView(this);
  folder_tree_->setObjectName(QStringLiteral("ShellTree1"));
  folder_tree_->setModel(model_);
  for (int c = 1; c < model_->columnCount(); ++c) folder_tree_->hideColumn(c);
  folder_tree_->setHeaderHidden(true);
  // The file-system root is the top item so it can be chosen itself.
  folder_tree_->expand(model_->index(QDir::rootPath()));

  folder_label_ = new QLabel(this);
  folder_label_->setObjectName(QStringLiteral("labFolder"));
  folder_label_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  pattern_box_ = new QComboBox(this);
  pattern_box_->setObjectName(QStringLiteral("ComboBox1"));
  pattern_box_->setEditable(true);
  pattern_box_->setInsertPolicy(QComboBox::NoInsert);
  QPushButton* edit_button = Button(this, "SpeedButton1", QStringLiteral("Edit Wildcard"));
  QPushButton* ok_button = Button(this, "Button1", QStringLiteral("&Ok"));
  ok_button->setDefault(true);
  QPushButton* cancel_button = Button(this, "Button2", QStringLiteral("Can&cel"));

  auto* folder_row = new QHBoxLayout;
  folder_row->addWidget(new QLabel(QStringLiteral("Folder selected:"), this));
  folder_row->addWidget(folder_label_, 1);
  auto* pattern_row = new QHBoxLayout;
  pattern_row->addWidget(new QLabel(QStringLiteral("Wildcard:"), this));
  pattern_row->addWidget(pattern_box_, 1);
  pattern_row->addWidget(edit_button);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(ok_button);
  buttons->addWidget(cancel_button);
  auto* top = new QVBoxLayout(this);
  top->addWidget(folder_tree_, 1);
  top->addLayout(folder_row);
  top->addLayout(pattern_row);
  top->addLayout(buttons);
  resize(460, 480);

  connect(folder_tree_->selectionModel(), &QItemSelectionModel::currentChanged, this,
          [this] { ShowChosenFolder(); });
  connect(edit_button, &QPushButton::clicked, this, &TFormselectbyfilter::OnEditPatterns);
  connect(ok_button, &QPushButton::clicked, this, &TFormselectbyfilter::accept);
  connect(cancel_button, &QPushButton::clicked, this, &TFormselectbyfilter::reject);
  AddHelpKey(this, context_, kSelectHelp);

  LoadPatterns();
  // The tree opens with the home folder chosen, expanded and in view. Left
  // without a choice, the tree would make its first item, the file-system
  // root, the current one as soon as it takes the focus, and OK would then
  // add the whole disk.
  const QModelIndex home = model_->index(QDir::homePath());
  if (home.isValid()) {
    folder_tree_->expand(home);
    SelectFolder(QDir::homePath());
    // The model lists folders in the background and the view sorts and lays
    // out the rows just listed after each listing: the chosen folder is
    // scrolled to once the listing has been quiet for a moment.
    auto* settle = new QTimer(this);
    settle->setSingleShot(true);
    settle->setInterval(100);
    connect(settle, &QTimer::timeout, this, [this] {
      const QModelIndex chosen = folder_tree_->currentIndex();
      if (chosen.isValid()) folder_tree_->scrollTo(chosen, QAbstractItemView::PositionAtCenter);
    });
    connect(model_, &QFileSystemModel::directoryLoaded, this,
            [this, settle](const QString& loaded) {
              const QModelIndex current = folder_tree_->currentIndex();
              if (current.isValid() && model_->filePath(current).startsWith(loaded))
                settle->start();
            });
    connect(folder_tree_, &QTreeView::clicked, model_,
            [this] { disconnect(model_, &QFileSystemModel::directoryLoaded, this, nullptr); });
  }
}

void TFormselectbyfilter::LoadPatterns() {
  pattern_box_->clear();
  for (const std::string& p : ReadWildcardList(context_.data_dir)) {
    pattern_box_->addItem(QString::fromStdString(p));
  }
  if (pattern_box_->count() == 0) {
    pattern_box_->setEditText(QStringLiteral("*.*"));
  } else {
    pattern_box_->setCurrentIndex(0);
    pattern_box_->setEditText(pattern_box_->itemText(0));
  }
}

void TFormselectbyfilter::OnEditPatterns() {
  TFormWildcard editor(context_, this);
  if (editor.exec() == QDialog::Accepted) LoadPatterns();
}

void TFormselectbyfilter::SelectFolder(const QString& folder) {
  if (folder.isEmpty()) {
    folder_tree_->setCurrentIndex(QModelIndex());
    ShowChosenFolder();
    return;
  }
  const QModelIndex index = model_->index(folder);
  if (!index.isValid()) return;
  folder_tree_->setCurrentIndex(index);
  folder_tree_->scrollTo(index);
  ShowChosenFolder();
}

void TFormselectbyfilter::ShowChosenFolder() {
  const QModelIndex index = folder_tree_->currentIndex();
  folder_label_->setText(index.isValid() ? model_->filePath(index) : QString());
}

QString TFormselectbyfilter::SelectedFolder() const { return folder_label_->text(); }

QString TFormselectbyfilter::Entry() const {
  return QString::fromStdString(
      WildcardEntry(SelectedFolder().toStdString(), pattern_box_->currentText().toStdString()));
}

void TFormselectbyfilter::accept() {
  if (Trim(SelectedFolder().toStdString()).empty()) {
    context_.messages->ShowWarning("Please select a folder!");
    return;
  }
  QDialog::accept();
}

std::optional<QString> PickWildcardEntry(QWidget* parent, const PickerContext& context) {
  TFormselectbyfilter dialog(context, parent);
  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  return dialog.Entry();
}

bool PickByWildcard(QWidget* parent, QListWidget* target, const PickerContext& context) {
  const std::optional<QString> entry = PickWildcardEntry(parent, context);
  if (!entry) return false;
  target->addItem(*entry);
  // An entry listed before is added again; the first equal one is selected.
  for (int i = 0; i < target->count(); ++i) {
    if (target->item(i)->text().compare(*entry, Qt::CaseInsensitive) == 0) {
      target->setCurrentRow(i);
      break;
    }
  }
  return true;
}

}  // namespace zb::backup::ui
