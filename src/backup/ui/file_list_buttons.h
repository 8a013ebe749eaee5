#pragma once

// The six buttons beside every editable file list (the Backup page's and the
// wizard's include and exclude lists): add by wildcard, add by file name,
// delete the selected item, delete all, move up, move down.

class QAbstractButton;
class QListWidget;
class QWidget;

namespace zb::backup::ui {

struct PickerContext;

struct FileListButtons {
  QAbstractButton* by_wildcard = nullptr;
  QAbstractButton* by_filename = nullptr;
  QAbstractButton* delete_item = nullptr;
  QAbstractButton* clear = nullptr;
  QAbstractButton* up = nullptr;
  QAbstractButton* down = nullptr;
};

// Connects `buttons` to their commands on `list`; the pickers open over
// `owner` with `context` (copied). REQUIRES: every button set, and
// `context.messages` outliving `owner`.
void ConnectFileListButtons(QWidget* owner, QListWidget* list, const FileListButtons& buttons,
                            const PickerContext& context);

}  // namespace zb::backup::ui
