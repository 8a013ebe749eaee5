#pragma once

// Pieces of drawing shared by the owner-drawn lists of the window: the file
// lists of the Backup page and the wizard, and the project box.

#include <QColor>
#include <QString>

class QPainter;
class QStyleOptionViewItem;

namespace zb::app {

// The colour of an item's text as the style gives it: selected or not,
// enabled or not.
[[nodiscard]] QColor ItemTextColor(const QStyleOptionViewItem& option);

// The item's background as the style draws it (selection and focus
// included), without its text or icon. Empties both in `option` and
// returns the text, which the caller draws its own way.
QString DrawItemBackground(QPainter* painter, QStyleOptionViewItem& option);

}  // namespace zb::app
