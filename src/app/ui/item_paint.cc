#include "app/ui/item_paint.h"

#include <QApplication>
#include <QIcon>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionViewItem>
#include <QWidget>

namespace zb::app {

QColor ItemTextColor(const QStyleOptionViewItem& opt) {
  const QPalette::ColorGroup group =
      opt.state & QStyle::State_Enabled ? QPalette::Active : QPalette::Disabled;
  return opt.palette.color(
      group, opt.state & QStyle::State_Selected ? QPalette::HighlightedText : QPalette::Text);
}

QString DrawItemBackground(QPainter* painter, QStyleOptionViewItem& opt) {
  QString text = std::move(opt.text);
  opt.text.clear();
  opt.icon = QIcon();
  QStyle* style = opt.widget ? opt.widget->style() : QApplication::style();
  style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, opt.widget);
  return text;
}

}  // namespace zb::app
