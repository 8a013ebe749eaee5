#pragma once

// The file pickers: "Select files by filename" (the system's file-open
// dialog, several files at once) and the folder browser. Both go through a
// replaceable PickerDialogs so tests can answer them (native dialogs cannot
// be driven offscreen).

#include <QString>
#include <QStringList>
#include <optional>

class QListWidget;
class QWidget;

namespace zb::backup::ui {

// The system dialogs the pickers open. The default shows Qt's native ones.
class PickerDialogs {
 public:
  virtual ~PickerDialogs() = default;
  // Existing files chosen in a file-open dialog titled `title`, in the order
  // the dialog gives them; nothing on Cancel.
  [[nodiscard]] virtual std::optional<QStringList> OpenFiles(QWidget* parent, const QString& title);
  // An existing folder chosen in a folder browser titled `title`.
  [[nodiscard]] virtual std::optional<QString> SelectFolder(QWidget* parent, const QString& title);
};

// The dialogs in use. SetPickerDialogs(nullptr) restores the native ones;
// `dialogs` must outlive its use (tests install one per test).
[[nodiscard]] PickerDialogs& CurrentPickerDialogs();
void SetPickerDialogs(PickerDialogs* dialogs);

// "Select files by filename": the chosen files' full paths, or nothing on
// Cancel.
[[nodiscard]] std::optional<QStringList> PickFiles(QWidget* parent);

// PickByFilename: appends every chosen file to `target` (duplicates kept,
// the selection unchanged). Returns whether anything was chosen.
bool PickByFilename(QWidget* parent, QListWidget* target);

}  // namespace zb::backup::ui
