#include "backup/ui/password_box.h"

#include <QLineEdit>
#include <QProxyStyle>

namespace zb::backup::ui {

namespace {

// The application's style with one change: the character that stands for a
// hidden one.
class StarPasswordStyle final : public QProxyStyle {
 public:
  using QProxyStyle::QProxyStyle;
  int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                QStyleHintReturn* data) const override {
    if (hint == SH_LineEdit_PasswordCharacter) return '*';
    return QProxyStyle::styleHint(hint, option, widget, data);
  }
};

}  // namespace

void MakePasswordBox(QLineEdit* box) {
  auto* style = new StarPasswordStyle;
  // The widget does not own a style set on it; the box does so here.
  style->setParent(box);
  box->setStyle(style);
  box->setEchoMode(QLineEdit::Password);
}

}  // namespace zb::backup::ui
