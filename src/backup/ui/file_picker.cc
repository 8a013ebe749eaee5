#include "backup/ui/file_picker.h"

#include <QFileDialog>
#include <QListWidget>

namespace zb::backup::ui {

namespace {

PickerDialogs* installed = nullptr;

}  // namespace

std::optional<QStringList> PickerDialogs::OpenFiles(QWidget* parent, const QString& title) {
  // No filter: every file may be chosen. The dialog itself insists that the
  // folder and each file exist.
  QFileDialog dialog(parent, title);
  dialog.setFileMode(QFileDialog::ExistingFiles);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  const QStringList files = dialog.selectedFiles();
  if (files.isEmpty()) return std::nullopt;
  return files;
}

std::optional<QString> PickerDialogs::SelectFolder(QWidget* parent, const QString& title) {
  const QString folder = QFileDialog::getExistingDirectory(parent, title);
  if (folder.isEmpty()) return std::nullopt;
  return folder;
}

PickerDialogs& CurrentPickerDialogs() {
  static PickerDialogs native;
  return installed != nullptr ? *installed : native;
}

void SetPickerDialogs(PickerDialogs* dialogs) { installed = dialogs; }

std::optional<QStringList> PickFiles(QWidget* parent) {
  return CurrentPickerDialogs().OpenFiles(parent, QStringLiteral("Select files by filename"));
}

bool PickByFilename(QWidget* parent, QListWidget* target) {
  const std::optional<QStringList> files = PickFiles(parent);
  if (!files) return false;
  // Appended as chosen: a file already listed is listed again, as the user
  // asked for it, and the selection of the list stays where it was.
  target->addItems(*files);
  return true;
}

}  // namespace zb::backup::ui
