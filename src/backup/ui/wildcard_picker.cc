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
#include "backup/ui/list_commands.h"
#include "backup/backup_project.h"
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

  ListBox1_ = new QListWidget(this);
  ListBox1_->setObjectName(QStringLiteral("ListBox1"));
  for (const std::string& p : ReadWildcardList(context_.data_dir)) {
    ListBox1_->addItem(QString::fromStdString(p));
  }
  Edit1_ = new QLineEdit(this);
  Edit1_->setObjectName(QStringLiteral("Edit1"));
  Edit1_->setToolTip(QStringLiteral("Please enter a new  wildcard"));

  QPushButton* SpNew = Button(this, "SpNew", QStringLiteral("Add wildcard"));
  QPushButton* Button4 = Button(this, "Button4", QStringLiteral("Delete a item"));
  QPushButton* SpeedButton1 = Button(this, "SpeedButton1", QStringLiteral("Delete all items"));
  QPushButton* SpeedButton3 = Button(this, "SpeedButton3", QStringLiteral("Up a item"));
  QPushButton* SpeedButton2 = Button(this, "SpeedButton2", QStringLiteral("Down a item"));
  QPushButton* Button1 = Button(this, "Button1", QStringLiteral("Help"));
  QPushButton* btnOk = Button(this, "btnOk", QStringLiteral("&Ok"));
  QPushButton* Button3 = Button(this, "Button3", QStringLiteral("Can&cel"));

  auto* grid = new QGridLayout;
  grid->addWidget(new QLabel(QStringLiteral("Add wildcard:"), this), 0, 0);
  grid->addWidget(Edit1_, 0, 1);
  grid->addWidget(SpNew, 0, 2);
  grid->addWidget(new QLabel(QStringLiteral("Wildcard list:"), this), 1, 0, 1, 3);
  grid->addWidget(ListBox1_, 2, 0, 1, 2);
  auto* side = new QVBoxLayout;
  for (QPushButton* b : {Button4, SpeedButton1, SpeedButton3, SpeedButton2}) side->addWidget(b);
  side->addStretch();
  grid->addLayout(side, 2, 2);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(Button1);
  buttons->addStretch();
  buttons->addWidget(btnOk);
  buttons->addWidget(Button3);
  auto* top = new QVBoxLayout(this);
  top->addLayout(grid);
  top->addLayout(buttons);
  resize(420, 340);

  connect(SpNew, &QPushButton::clicked, this, &TFormWildcard::SpNewClick);
  connect(Edit1_, &QLineEdit::returnPressed, this, &TFormWildcard::SpNewClick);
  connect(Button4, &QPushButton::clicked, this, &TFormWildcard::Button4Click);
  connect(SpeedButton1, &QPushButton::clicked, this, &TFormWildcard::SpeedButton1Click);
  connect(SpeedButton3, &QPushButton::clicked, this,
          [this] { list_commands::MoveListItemUp(ListBox1_); });
  connect(SpeedButton2, &QPushButton::clicked, this,
          [this] { list_commands::MoveListItemDown(ListBox1_); });
  connect(Button1, &QPushButton::clicked, this, [this] {
    if (context_.show_help) context_.show_help(kWildcardHelp);
  });
  connect(btnOk, &QPushButton::clicked, this, &TFormWildcard::accept);
  connect(Button3, &QPushButton::clicked, this, &TFormWildcard::reject);
  AddHelpKey(this, context_, kWildcardHelp);
  // Typing starts in the pattern box, where Enter adds.
  Edit1_->setFocus();
}

void TFormWildcard::SpNewClick() {
  std::vector<std::string> patterns;
  for (int i = 0; i < ListBox1_->count(); ++i) {
    patterns.push_back(ListBox1_->item(i)->text().toStdString());
  }
  const std::string text = Edit1_->text().toStdString();
  if (Trim(text).empty()) return;
  if (AddWildcard(patterns, text)) ListBox1_->addItem(QString::fromStdString(patterns.back()));
  // Emptied also when the pattern was already listed: the user sees it there.
  Edit1_->clear();
}

void TFormWildcard::Button4Click() {
  // Unlike the file lists, an empty list also gets the hint here.
  QListWidgetItem* item = ListBox1_->currentItem();
  if (item == nullptr || !item->isSelected()) {
    context_.messages->ShowInformation("Please select a item by clicking");
    return;
  }
  delete ListBox1_->takeItem(ListBox1_->row(item));
}

void TFormWildcard::SpeedButton1Click() { list_commands::ClearList(ListBox1_); }

void TFormWildcard::accept() {
  std::vector<std::string> patterns;
  for (int i = 0; i < ListBox1_->count(); ++i) {
    patterns.push_back(ListBox1_->item(i)->text().toStdString());
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
  ShellTree1_ = new QTreeView(this);
  ShellTree1_->setObjectName(QStringLiteral("ShellTree1"));
  ShellTree1_->setModel(model_);
  for (int c = 1; c < model_->columnCount(); ++c) ShellTree1_->hideColumn(c);
  ShellTree1_->setHeaderHidden(true);
  // The file-system root is the top item so it can be chosen itself.
  ShellTree1_->expand(model_->index(QDir::rootPath()));

  labFolder_ = new QLabel(this);
  labFolder_->setObjectName(QStringLiteral("labFolder"));
  labFolder_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  ComboBox1_ = new QComboBox(this);
  ComboBox1_->setObjectName(QStringLiteral("ComboBox1"));
  ComboBox1_->setEditable(true);
  ComboBox1_->setInsertPolicy(QComboBox::NoInsert);
  QPushButton* SpeedButton1 = Button(this, "SpeedButton1", QStringLiteral("Edit Wildcard"));
  QPushButton* Button1 = Button(this, "Button1", QStringLiteral("&Ok"));
  Button1->setDefault(true);
  QPushButton* Button2 = Button(this, "Button2", QStringLiteral("Can&cel"));

  auto* folder_row = new QHBoxLayout;
  folder_row->addWidget(new QLabel(QStringLiteral("Folder selected:"), this));
  folder_row->addWidget(labFolder_, 1);
  auto* pattern_row = new QHBoxLayout;
  pattern_row->addWidget(new QLabel(QStringLiteral("Wildcard:"), this));
  pattern_row->addWidget(ComboBox1_, 1);
  pattern_row->addWidget(SpeedButton1);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(Button1);
  buttons->addWidget(Button2);
  auto* top = new QVBoxLayout(this);
  top->addWidget(ShellTree1_, 1);
  top->addLayout(folder_row);
  top->addLayout(pattern_row);
  top->addLayout(buttons);
  resize(460, 480);

  connect(ShellTree1_->selectionModel(), &QItemSelectionModel::currentChanged, this,
          [this] { FolderChanged(); });
  connect(SpeedButton1, &QPushButton::clicked, this, &TFormselectbyfilter::SpeedButton1Click);
  connect(Button1, &QPushButton::clicked, this, &TFormselectbyfilter::accept);
  connect(Button2, &QPushButton::clicked, this, &TFormselectbyfilter::reject);
  AddHelpKey(this, context_, kSelectHelp);

  LoadPatterns();
  // The tree opens with the home folder chosen, expanded and in view. Left
  // without a choice, the tree would make its first item, the file-system
  // root, the current one as soon as it takes the focus, and OK would then
  // add the whole disk.
  const QModelIndex home = model_->index(QDir::homePath());
  if (home.isValid()) {
    ShellTree1_->expand(home);
    SelectFolder(QDir::homePath());
    // The model lists folders in the background and the view sorts and lays
    // out the rows just listed after each listing: the chosen folder is
    // scrolled to once the listing has been quiet for a moment.
    auto* settle = new QTimer(this);
    settle->setSingleShot(true);
    settle->setInterval(100);
    connect(settle, &QTimer::timeout, this, [this] {
      const QModelIndex chosen = ShellTree1_->currentIndex();
      if (chosen.isValid()) ShellTree1_->scrollTo(chosen, QAbstractItemView::PositionAtCenter);
    });
    connect(model_, &QFileSystemModel::directoryLoaded, this,
            [this, settle](const QString& loaded) {
              const QModelIndex current = ShellTree1_->currentIndex();
              if (current.isValid() && model_->filePath(current).startsWith(loaded))
                settle->start();
            });
    connect(ShellTree1_, &QTreeView::clicked, model_,
            [this] { disconnect(model_, &QFileSystemModel::directoryLoaded, this, nullptr); });
  }
}

void TFormselectbyfilter::LoadPatterns() {
  ComboBox1_->clear();
  for (const std::string& p : ReadWildcardList(context_.data_dir)) {
    ComboBox1_->addItem(QString::fromStdString(p));
  }
  if (ComboBox1_->count() == 0) {
    ComboBox1_->setEditText(QStringLiteral("*.*"));
  } else {
    ComboBox1_->setCurrentIndex(0);
    ComboBox1_->setEditText(ComboBox1_->itemText(0));
  }
}

void TFormselectbyfilter::SpeedButton1Click() {
  TFormWildcard editor(context_, this);
  if (editor.exec() == QDialog::Accepted) LoadPatterns();
}

void TFormselectbyfilter::SelectFolder(const QString& folder) {
  if (folder.isEmpty()) {
    ShellTree1_->setCurrentIndex(QModelIndex());
    FolderChanged();
    return;
  }
  const QModelIndex index = model_->index(folder);
  if (!index.isValid()) return;
  ShellTree1_->setCurrentIndex(index);
  ShellTree1_->scrollTo(index);
  FolderChanged();
}

void TFormselectbyfilter::FolderChanged() {
  const QModelIndex index = ShellTree1_->currentIndex();
  labFolder_->setText(index.isValid() ? model_->filePath(index) : QString());
}

QString TFormselectbyfilter::SelectedFolder() const { return labFolder_->text(); }

QString TFormselectbyfilter::Entry() const {
  return QString::fromStdString(
      WildcardEntry(SelectedFolder().toStdString(), ComboBox1_->currentText().toStdString()));
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
