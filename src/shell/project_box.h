#pragma once

// The toolbar's project box draws its entries itself: the schedule mark in
// front of every project that runs by a schedule, then the name.

#include <QStyledItemDelegate>
#include <filesystem>

class QComboBox;
class QPainter;

namespace zb::shell {

// The name's offset from the entry's left edge, in pixels.
inline constexpr int kProjectTextIndent = 20;

// Whether the stored project `name` of `data_dir` runs by a schedule. Read
// from the store at each call, so the mark follows every Save; a file that
// cannot be read counts as unscheduled.
[[nodiscard]] bool ProjectScheduled(const std::filesystem::path& data_dir, const QString& name);

// Draws one project entry into `rect`: the schedule mark at the left edge
// when `scheduled`, the name kProjectTextIndent from the left in
// `text_color`. The caller has drawn the background.
void DrawProjectEntry(QPainter* painter, const QRect& rect, const QString& name, bool scheduled,
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
// DrawProjectEntry.
void InstallProjectBoxDrawing(QComboBox* box, const std::filesystem::path& data_dir);

}  // namespace zb::shell
