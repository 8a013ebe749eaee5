#include "backup/ui/entry_delegate.h"

#include <QDateEdit>
#include <QIcon>
#include <QPainter>
#include <QPainterPath>
#include <QStyleOptionComboBox>
#include <algorithm>

#include "app/ui/item_paint.h"

namespace zb::backup::ui {

namespace {

constexpr int kMarkSize = 12;

// The marks are drawn, not loaded, so they look the same on every desktop
// theme: a sheet with a folded corner, blue for a single file and orange
// with a star for a pattern that stands for many.
const QColor kFileMarkColor(0x2f, 0x5d, 0xa8);
const QColor kPatternMarkColor(0xd0, 0x70, 0x10);

}  // namespace

bool IsPatternEntry(const QString& entry) {
  const QString last = entry.mid(entry.lastIndexOf(QLatin1Char('/')) + 1);
  if (last.isEmpty()) return true;
  for (QChar c : {QLatin1Char('*'), QLatin1Char('?'), QLatin1Char('<'), QLatin1Char('>')})
    if (last.contains(c)) return true;
  return false;
}

void DrawEntryMark(QPainter* painter, QPoint origin, bool pattern) {
  painter->save();
  painter->setRenderHint(QPainter::Antialiasing, false);
  const QColor color = pattern ? kPatternMarkColor : kFileMarkColor;
  const int x = origin.x() + 1;
  const int y = origin.y();
  // The sheet: 9 wide, 12 high, its top-right corner folded.
  QPainterPath sheet;
  sheet.moveTo(x, y);
  sheet.lineTo(x + 6, y);
  sheet.lineTo(x + 9, y + 3);
  sheet.lineTo(x + 9, y + kMarkSize - 1);
  sheet.lineTo(x, y + kMarkSize - 1);
  sheet.closeSubpath();
  painter->setPen(QPen(color, 1));
  painter->setBrush(Qt::white);
  painter->drawPath(sheet);
  painter->drawLine(x + 6, y, x + 6, y + 3);
  painter->drawLine(x + 6, y + 3, x + 9, y + 3);
  if (pattern) {
    // A star of three strokes in the middle of the sheet.
    const int cx = x + 4;
    const int cy = y + 7;
    painter->setPen(QPen(color, 1));
    painter->drawLine(cx - 2, cy, cx + 2, cy);
    painter->drawLine(cx - 2, cy - 2, cx + 2, cy + 2);
    painter->drawLine(cx - 2, cy + 2, cx + 2, cy - 2);
    painter->drawLine(cx, cy - 2, cx, cy + 2);
  } else {
    for (int row = y + 5; row <= y + 9; row += 2) painter->drawLine(x + 2, row, x + 6, row);
  }
  painter->restore();
}

QIcon EntryMarkIcon(bool pattern) {
  QPixmap pixmap(16, 16);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  DrawEntryMark(&painter, QPoint(2, 2), pattern);
  painter.end();
  return QIcon(pixmap);
}

QIcon DeleteItemIcon() {
  QPixmap pixmap(16, 16);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(QPen(QColor(0xc8, 0x28, 0x28), 2.2, Qt::SolidLine, Qt::RoundCap));
  painter.drawLine(QPointF(4, 4), QPointF(12, 12));
  painter.drawLine(QPointF(12, 4), QPointF(4, 12));
  painter.end();
  return QIcon(pixmap);
}

void FitDateBox(QDateEdit* box) {
  QStyleOptionComboBox opt;
  opt.initFrom(box);
  const QFontMetrics& fm = box->fontMetrics();
  const QSize text(fm.horizontalAdvance(QStringLiteral("8888-88-88")) + fm.averageCharWidth(),
                   fm.height());
  const QSize needed = box->style()->sizeFromContents(QStyle::CT_ComboBox, &opt, text, box);
  box->setMinimumWidth(std::max(needed.width(), box->sizeHint().width()));
}

void TEntryDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                           const QModelIndex& index) const {
  QStyleOptionViewItem opt = option;
  initStyleOption(&opt, index);
  const QString text = app::DrawItemBackground(painter, opt);
  const QRect r = opt.rect;
  DrawEntryMark(painter, QPoint(r.left() + 1, r.top() + (r.height() - kMarkSize) / 2),
                IsPatternEntry(text));
  painter->save();
  painter->setPen(app::ItemTextColor(opt));
  const QRect text_rect = r.adjusted(kEntryTextIndent, 0, 0, 0);
  painter->drawText(text_rect, Qt::AlignVCenter | Qt::AlignLeft,
                    opt.fontMetrics.elidedText(text, Qt::ElideMiddle, text_rect.width()));
  painter->restore();
}

QSize TEntryDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const {
  QSize size = QStyledItemDelegate::sizeHint(option, index);
  return QSize(size.width() + kEntryTextIndent, std::max(size.height(), kMarkSize + 2));
}

}  // namespace zb::backup::ui
