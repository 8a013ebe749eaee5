#include "restore/ui/incomplete_zip_dlg.h"

#include <QApplication>
#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QVBoxLayout>

namespace zb::restore::ui {

TIncompleteZipDlg::TIncompleteZipDlg(QWidget* owner) : QDialog(owner) {
  setObjectName(QStringLiteral("IncompleteZipDlg"));
  setWindowTitle(QString::fromLatin1(kIncompleteCaption));
  // A plain dialog frame: no help button, no resizing.
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
  setModal(true);

  auto* icon = new QLabel;
  const int side = style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, this);
  icon->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxWarning).pixmap(side, side));
  icon->setAlignment(Qt::AlignTop);

  auto make_text = [](const char* text, const char* name) {
    auto* label = new QLabel(QString::fromLatin1(text));
    label->setObjectName(QString::fromLatin1(name));
    label->setWordWrap(true);
    label->setFixedWidth(380);
    return label;
  };
  auto* texts = new QVBoxLayout;
  texts->addWidget(make_text(kIncompleteText1, "Label1"));
  texts->addSpacing(8);
  texts->addWidget(make_text(kIncompleteText2, "Label2"));

  auto* top = new QHBoxLayout;
  top->addWidget(icon);
  top->addSpacing(10);
  top->addLayout(texts, 1);

  // Left to right as the texts name them; the order is part of the question.
  auto* multi = new QPushButton(QStringLiteral("MultiZip"));
  multi->setObjectName(QStringLiteral("MultiZip"));
  multi->setDefault(true);
  auto* recover = new QPushButton(QStringLiteral("Recover"));
  recover->setObjectName(QStringLiteral("Recover"));
  recover->setAutoDefault(false);
  auto* cancel = new QPushButton(QStringLiteral("Cancel"));
  cancel->setObjectName(QStringLiteral("Cancel"));
  cancel->setAutoDefault(false);
  connect(multi, &QPushButton::clicked, this, &QDialog::accept);
  connect(recover, &QPushButton::clicked, this, [this] { done(kRetry); });
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(multi);
  buttons->addWidget(recover);
  buttons->addWidget(cancel);
  buttons->addStretch(1);

  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(16, 16, 16, 12);
  column->addLayout(top);
  column->addSpacing(12);
  column->addLayout(buttons);
  setFixedSize(sizeHint());
  multi->setFocus();
}

IncompleteAnswer TIncompleteZipDlg::AnswerFor(int result) {
  if (result == QDialog::Accepted) return IncompleteAnswer::kMultiZip;
  if (result == kRetry) return IncompleteAnswer::kRecover;
  return IncompleteAnswer::kCancel;
}

IncompleteAnswer TIncompleteZipDlg::Ask(QWidget* owner) {
  TIncompleteZipDlg dialog(owner);
  return AnswerFor(dialog.exec());
}

bool TIncompleteZipDlg::event(QEvent* e) {
  if (e->type() == QEvent::WindowActivate) QApplication::beep();
  return QDialog::event(e);
}

void TIncompleteZipDlg::showEvent(QShowEvent* e) {
  // Centred on the screen, not on the owner: the question concerns the
  // medium in the drive as much as the window.
  if (QScreen* s = screen()) {
    QRect r = frameGeometry();
    r.moveCenter(s->availableGeometry().center());
    move(r.topLeft());
  }
  QDialog::showEvent(e);
}

}  // namespace zb::restore::ui
