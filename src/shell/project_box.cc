#include "shell/project_box.h"

#include <QComboBox>
#include <QEvent>
#include <QIcon>
#include <QPainter>
#include <QStyleOptionComboBox>
#include <QStylePainter>
#include <algorithm>

#include "app/ui/item_paint.h"
#include "backup/backup_project.h"

namespace zb::shell {
namespace {

constexpr int kScheduleMarkSize = 16;

// Paints the closed project box: the frame and arrow of the style, then the
// selected entry as the list draws it.
class ProjectBoxPainter final : public QObject {
 public:
  ProjectBoxPainter(std::filesystem::path data_dir, QComboBox* box)
      : QObject(box), data_dir_(std::move(data_dir)) {}

  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() != QEvent::Paint) return QObject::eventFilter(watched, event);
    auto* box = static_cast<QComboBox*>(watched);
    QStylePainter painter(box);
    QStyleOptionComboBox opt;
    opt.initFrom(box);
    opt.editable = false;
    opt.frame = box->hasFrame();
    opt.subControls = QStyle::SC_All;
    if (box->hasFocus()) opt.state |= QStyle::State_Selected;
    painter.drawComplexControl(QStyle::CC_ComboBox, opt);
    const QRect field =
        box->style()->subControlRect(QStyle::CC_ComboBox, &opt, QStyle::SC_ComboBoxEditField, box);
    const QString name = box->currentText();
    if (!name.isEmpty()) {
      const QPalette::ColorGroup group = box->isEnabled() ? QPalette::Active : QPalette::Disabled;
      DrawProjectEntry(&painter, field, name, ProjectScheduled(data_dir_, name),
                       box->palette().color(group, QPalette::ButtonText));
    }
    return true;
  }

 private:
  std::filesystem::path data_dir_;
};

}  // namespace

bool ProjectScheduled(const std::filesystem::path& data_dir, const QString& name) {
  try {
    const auto schedules = backup::ReadSchedules(data_dir, {name.toStdString()});
    // The mark means the project runs by itself: a hand-edited mode the
    // scheduler does not know gets none, like its tray item.
    if (schedules.empty()) return false;
    const int mode = schedules.front().mode;
    return mode == backup::kModeDaily || mode == backup::kModeInterval ||
           mode == backup::kModeWeekly;
  } catch (const std::exception&) {
    return false;
  }
}

void DrawProjectEntry(QPainter* painter, const QRect& rect, const QString& name, bool scheduled,
                      const QColor& text_color) {
  if (scheduled) {
    static const QIcon mark(QStringLiteral(":/icons/schedule.svg"));
    mark.paint(painter, QRect(rect.left() + 2, rect.top() + (rect.height() - kScheduleMarkSize) / 2,
                              kScheduleMarkSize, kScheduleMarkSize));
  }
  painter->save();
  painter->setPen(text_color);
  painter->drawText(rect.adjusted(kProjectTextIndent, 0, 0, 0), Qt::AlignVCenter | Qt::AlignLeft,
                    name);
  painter->restore();
}

TProjectDelegate::TProjectDelegate(std::filesystem::path data_dir, QObject* parent)
    : QStyledItemDelegate(parent), data_dir_(std::move(data_dir)) {}

void TProjectDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                             const QModelIndex& index) const {
  QStyleOptionViewItem opt = option;
  initStyleOption(&opt, index);
  const QString name = app::DrawItemBackground(painter, opt);
  DrawProjectEntry(painter, opt.rect, name, ProjectScheduled(data_dir_, name),
                   app::ItemTextColor(opt));
}

QSize TProjectDelegate::sizeHint(const QStyleOptionViewItem& option,
                                 const QModelIndex& index) const {
  QSize size = QStyledItemDelegate::sizeHint(option, index);
  return QSize(size.width() + kProjectTextIndent, std::max(size.height(), kScheduleMarkSize + 2));
}

void InstallProjectBoxDrawing(QComboBox* box, const std::filesystem::path& data_dir) {
  box->setItemDelegate(new TProjectDelegate(data_dir, box));
  box->installEventFilter(new ProjectBoxPainter(data_dir, box));
}

}  // namespace zb::shell
