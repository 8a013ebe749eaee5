#include "backup/ui/list_commands.h"

#include <QListWidget>

#include "app/user_interaction.h"

namespace zb::backup::ui::list_commands {

namespace {

void Move(QListWidget* list, int delta) {
  const int row = list->currentRow();
  if (row < 0 || list->currentItem() == nullptr || !list->currentItem()->isSelected()) return;
  const int to = row + delta;
  if (to < 0 || to >= list->count()) return;
  QListWidgetItem* item = list->takeItem(row);
  list->insertItem(to, item);
  list->setCurrentRow(to);
}

}  // namespace

void DeleteListItem(QListWidget* list, UserInteraction& messages) {
  if (list->count() == 0) return;
  QListWidgetItem* item = list->currentItem();
  if (item == nullptr || !item->isSelected()) {
    messages.ShowInformation("Please select a item by clicking");
    return;
  }
  delete list->takeItem(list->row(item));
}

void ClearList(QListWidget* list) { list->clear(); }

void MoveListItemUp(QListWidget* list) { Move(list, -1); }
void MoveListItemDown(QListWidget* list) { Move(list, +1); }

}  // namespace zb::backup::ui::list_commands
