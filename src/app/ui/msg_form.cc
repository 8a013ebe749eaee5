#include "app/ui/msg_form.h"

#include <QApplication>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QTimer>
#include <algorithm>
#include <cmath>

namespace zb::app {
namespace {

// a * b / c rounded to the nearest integer: the dialog-unit conversion of
// standard message dialogs.
int MulDiv(int a, int b, int c) {
  return static_cast<int>(std::lround(static_cast<double>(a) * b / c));
}

QString CaptionOf(MessageKind kind) {
  switch (kind) {
    case MessageKind::kWarning:
      return QStringLiteral("Warning");
    case MessageKind::kError:
      return QStringLiteral("Error");
    case MessageKind::kInformation:
      return QStringLiteral("Information");
    case MessageKind::kConfirmation:
      return QStringLiteral("Confirm");
    case MessageKind::kCustom:
      break;
  }
  return QString::fromLatin1(kAppTitle);
}

QIcon IconOf(MessageKind kind, const QStyle* style) {
  switch (kind) {
    case MessageKind::kWarning:
      return style->standardIcon(QStyle::SP_MessageBoxWarning);
    case MessageKind::kError:
      return style->standardIcon(QStyle::SP_MessageBoxCritical);
    case MessageKind::kInformation:
      return style->standardIcon(QStyle::SP_MessageBoxInformation);
    case MessageKind::kConfirmation:
      return style->standardIcon(QStyle::SP_MessageBoxQuestion);
    case MessageKind::kCustom:
      break;
  }
  return {};
}

QRect AvailableScreen(const QWidget* w) {
  const QScreen* screen = w->screen() ? w->screen() : QGuiApplication::primaryScreen();
  return screen ? screen->geometry() : QRect(0, 0, 1024, 768);
}

}  // namespace

TMsgForm::TMsgForm(const QString& text, MessageKind kind, QWidget* parent) : QDialog(parent) {
  setObjectName("MsgForm");
  setWindowTitle(CaptionOf(kind));
  setFont(QApplication::font("QMessageBox"));
  setLayoutDirection(QApplication::layoutDirection());
  setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                 Qt::WindowCloseButtonHint);

  const QIcon icon = IconOf(kind, style());
  if (!icon.isNull()) {
    image_ = new QLabel(this);
    image_->setObjectName("Image");
    image_->setPixmap(icon.pixmap(32, 32));
  }
  message_ = new QLabel(this);
  message_->setObjectName("Message");
  message_->setTextFormat(Qt::PlainText);
  message_->setWordWrap(true);
  message_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  // Reports separate lines with a lone carriage return.
  QString shown = text;
  shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n")).replace(QChar('\r'), QChar('\n'));
  message_->setText(shown);

  ok_ = new QPushButton(QStringLiteral("OK"), this);
  ok_->setObjectName("OK");
  ok_->setDefault(true);
  ok_->setAutoDefault(true);
  connect(ok_, &QPushButton::clicked, this, &QDialog::accept);

  timer_ = new QTimer(this);
  timer_->setObjectName("Timer");
  timer_->setInterval(3000);
  timer_->setSingleShot(true);
  connect(timer_, &QTimer::timeout, this, &QDialog::close);

  LayOut(image_ != nullptr);
}

void TMsgForm::LayOut(bool has_icon) {
  const QFontMetrics fm(font());
  const QString letters = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
  const int cx = MulDiv(fm.horizontalAdvance(letters), 1, 52);
  const int cy = fm.height();

  const int h_margin = MulDiv(8, cx, 4);
  const int v_margin = MulDiv(8, cy, 8);
  const int h_spacing = MulDiv(10, cx, 4);
  const int v_spacing = MulDiv(10, cy, 8);
  const int button_h = std::max(MulDiv(14, cy, 8), ok_->sizeHint().height());
  const int button_w = std::max(MulDiv(50, cx, 4), fm.horizontalAdvance(ok_->text()) + 8);

  const QRect screen = AvailableScreen(this);
  const QRect text_rect =
      fm.boundingRect(QRect(0, 0, screen.width() / 2, 0),
                      Qt::TextWordWrap | Qt::TextExpandTabs | Qt::AlignLeft, message_->text());
  // A few pixels of slack so the label's own wrapping never breaks a line
  // that the measurement kept whole.
  const int text_w = text_rect.width() + 4;
  const int text_h = text_rect.height();

  int icon_text_w = text_w;
  int icon_text_h = text_h;
  if (has_icon) {
    icon_text_w += 32 + h_spacing;
    icon_text_h = std::max(icon_text_h, 32);
  }
  const int client_w = std::max(icon_text_w, button_w) + 2 * h_margin;
  const int client_h = icon_text_h + button_h + v_spacing + 2 * v_margin;
  setFixedSize(client_w, client_h);

  if (image_) image_->setGeometry(h_margin, v_margin, 32, 32);
  int text_x = icon_text_w - text_w + h_margin;
  if (layoutDirection() == Qt::RightToLeft) text_x = client_w - text_x - text_w;
  message_->setGeometry(text_x, v_margin, text_w, text_h);
  ok_->setGeometry((client_w - button_w) / 2, icon_text_h + v_margin + v_spacing, button_w,
                   button_h);

  move(screen.x() + screen.width() / 2 - client_w / 2,
       screen.y() + screen.height() / 2 - client_h / 2);
}

void TMsgForm::SetSeconds(int seconds) { timer_->setInterval(std::max(0, seconds) * 1000); }

int TMsgForm::exec() {
  if (timer_->interval() > 0) timer_->start();
  const int result = QDialog::exec();
  timer_->stop();
  return result;
}

void ShowTimedMessage(const QString& text, MessageKind kind, int seconds, QWidget* parent) {
  TMsgForm form(text, kind, parent);
  form.SetSeconds(seconds);
  form.exec();
}

}  // namespace zb::app
