#include "backup/ui/file_list_buttons.h"

#include <QAbstractButton>
#include <QListWidget>

#include "backup/ui/file_picker.h"
#include "backup/ui/list_commands.h"
#include "backup/ui/wildcard_picker.h"

namespace zb::backup::ui {

void ConnectFileListButtons(QWidget* owner, QListWidget* list, const FileListButtons& buttons,
                            const PickerContext& context) {
  UserInteraction* messages = context.messages;
  QObject::connect(buttons.by_wildcard, &QAbstractButton::clicked, owner,
                   [owner, list, context] { (void)PickByWildcard(owner, list, context); });
  QObject::connect(buttons.by_filename, &QAbstractButton::clicked, owner,
                   [owner, list] { (void)PickByFilename(owner, list); });
  QObject::connect(buttons.delete_item, &QAbstractButton::clicked, owner,
                   [list, messages] { list_commands::DeleteListItem(list, *messages); });
  QObject::connect(buttons.clear, &QAbstractButton::clicked, owner,
                   [list] { list_commands::ClearList(list); });
  QObject::connect(buttons.up, &QAbstractButton::clicked, owner,
                   [list] { list_commands::MoveListItemUp(list); });
  QObject::connect(buttons.down, &QAbstractButton::clicked, owner,
                   [list] { list_commands::MoveListItemDown(list); });
}

}  // namespace zb::backup::ui
