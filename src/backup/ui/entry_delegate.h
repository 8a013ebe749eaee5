#pragma once

// How the file lists draw their entries: a small mark in front of the text,
// the file mark for a single file and the pattern mark for an entry that
// stands for many.

#include <QStyledItemDelegate>

class QDateEdit;
class QIcon;
class QPainter;

namespace zb::backup::ui {

// Whether a list entry names its files by pattern: the part after its last
// separator is empty (a folder entry) or holds "*", "?", "<" or ">".
[[nodiscard]] bool IsPatternEntry(const QString& entry);

// The text's offset from the entry's left edge, in pixels.
inline constexpr int kEntryTextIndent = 15;

// Paints the 12-pixel mark of a list entry with its top-left corner at
// `origin`.
void DrawEntryMark(QPainter* painter, QPoint origin, bool pattern);

// Button icons of the list commands that add entries: the mark the new
// entry will carry, so the button and the list speak alike.
[[nodiscard]] QIcon EntryMarkIcon(bool pattern);
// "Delete a item": a red cross, unlike the bin of "Delete all items".
[[nodiscard]] QIcon DeleteItemIcon();

// Widens a date box so a whole "yyyy-mm-dd" date and its drop-down arrow
// fit; the style's own size hint leaves the last digit cut off.
void FitDateBox(QDateEdit* box);

// The include and exclude lists (Backup page and wizard): the entry on a
// cleared background, its mark, the text kEntryTextIndent from the left.
class TEntryDelegate final : public QStyledItemDelegate {
  Q_OBJECT
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override;
  [[nodiscard]] QSize sizeHint(const QStyleOptionViewItem& option,
                               const QModelIndex& index) const override;
};

}  // namespace zb::backup::ui
