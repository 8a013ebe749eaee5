#pragma once

// The commands of every editable file list: delete the selected item, clear,
// move the selected item up or down.

class QListWidget;

namespace zb {
class UserInteraction;
}

namespace zb::backup::ui::list_commands {

// Nothing on an empty list; with no selection "Please select a item by
// clicking" (information); otherwise removes the selected item.
void DeleteListItem(QListWidget* list, UserInteraction& messages);
// Empties the list, without a question.
void ClearList(QListWidget* list);
// Swaps the selected item with its neighbour; it stays selected. Nothing at
// the end of the list or without a selection.
void MoveListItemUp(QListWidget* list);
void MoveListItemDown(QListWidget* list);

}  // namespace zb::backup::ui::list_commands
