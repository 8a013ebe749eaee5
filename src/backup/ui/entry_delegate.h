#pragma once

// How the file lists and the project box draw their entries: a small mark in
// front of the text, the file mark or the pattern mark for a list entry and
// the schedule mark for a scheduled project.

#include <QStyledItemDelegate>
#include <filesystem>

class QComboBox;
class QDateEdit;
class QIcon;
class QPainter;

namespace zb::backup::ui {

// Whether a list entry names its files by pattern: the part after its last
// separator is empty (a folder entry) or holds "*", "?", "<" or ">".
[[nodiscard]] bool IsPatternEntry(const QString& entry);

// Text offsets of the two kinds of entries, in pixels from the left edge.
inline constexpr int kEntryTextIndent = 15;
inline constexpr int kProjectTextIndent = 20;

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

// Whether the stored project `name` of `data_dir` runs by a schedule. Read
// from project.ini at each call, so the mark follows every Save; a file that
// cannot be read counts as unscheduled.
[[nodiscard]] bool ProjectScheduled(const std::filesystem::path& data_dir, const QString& name);

// comboProjectDrawItem: draws one project entry into `rect`: the schedule
// mark at the left edge when `scheduled`, the name kProjectTextIndent from
// the left in `text_color`. The caller has drawn the background.
void comboProjectDrawItem(QPainter* painter, const QRect& rect, const QString& name, bool scheduled,
                          const QColor& text_color);

// The project box's drop-down list.
class TProjectDelegate final : public QStyledItemDelegate {
  Q_OBJECT
 public:
  TProjectDelegate(std::filesystem::path data_dir, QObject* parent);
  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override;
  [[nodiscard]] QSize sizeHint(const QStyleOptionViewItem& option,
                               const QModelIndex& index) const override;

 private:
  std::filesystem::path data_dir_;
};

// Makes `box` draw its entries, the closed box included, with
// comboProjectDrawItem.
void InstallProjectBoxDrawing(QComboBox* box, const std::filesystem::path& data_dir);

}  // namespace zb::backup::ui
