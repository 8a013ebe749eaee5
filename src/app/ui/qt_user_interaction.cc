#include "app/ui/qt_user_interaction.h"

#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>

#include "app/ui/msg_form.h"

namespace zb::app {
namespace {

QString ToQt(std::string_view text) {
  QString s = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
  // Message texts break lines with a lone carriage return.
  return s.replace(QStringLiteral("\r\n"), QStringLiteral("\n")).replace(QChar('\r'), QChar('\n'));
}

void Show(QWidget* parent, QMessageBox::Icon icon, const QString& caption, const QString& text) {
  QMessageBox box(icon, caption, text, QMessageBox::Ok, parent);
  box.exec();
}

struct KindLook {
  QMessageBox::Icon icon;
  QString caption;
};

KindLook LookOf(MessageKind kind) {
  switch (kind) {
    case MessageKind::kWarning:
      return {QMessageBox::Warning, QStringLiteral("Warning")};
    case MessageKind::kError:
      return {QMessageBox::Critical, QStringLiteral("Error")};
    case MessageKind::kInformation:
      return {QMessageBox::Information, QStringLiteral("Information")};
    case MessageKind::kCustom:
      return {QMessageBox::NoIcon, QString::fromLatin1(kAppTitle)};
    case MessageKind::kConfirmation:
      break;
  }
  return {QMessageBox::Question, QStringLiteral("Confirm")};
}

QMessageBox::StandardButton StandardOf(Button b) {
  switch (b) {
    case Button::kYes:
      return QMessageBox::Yes;
    case Button::kNo:
      return QMessageBox::No;
    case Button::kCancel:
      return QMessageBox::Cancel;
    case Button::kYesToAll:
      return QMessageBox::YesToAll;
    case Button::kNoToAll:
      return QMessageBox::NoToAll;
    case Button::kOk:
      return QMessageBox::Ok;
    case Button::kBrowse:
      break;
  }
  return QMessageBox::NoButton;
}

}  // namespace

bool QtUserInteraction::AskYesNo(std::string_view text, MessageKind kind) {
  return Ask({std::string(text), {Button::kYes, Button::kNo}, Button::kYes, Button::kNo, kind, {}}) ==
         Button::kYes;
}

Button QtUserInteraction::Ask(const Question& question) {
  const KindLook look = LookOf(question.kind);
  const QString caption = question.caption.empty() ? look.caption : ToQt(question.caption);
  QMessageBox box(look.icon, caption, ToQt(question.text), QMessageBox::NoButton, parent_);
  std::vector<std::pair<QAbstractButton*, Button>> made;
  for (const Button b : question.buttons) {
    QAbstractButton* button = nullptr;
    if (b == Button::kBrowse) {
      // No standard button says Browse; the box closes on it like on any other.
      button = box.addButton(QStringLiteral("&Browse..."), QMessageBox::ActionRole);
    } else {
      button = box.addButton(StandardOf(b));
    }
    made.emplace_back(button, b);
    if (b == question.default_button) box.setDefaultButton(qobject_cast<QPushButton*>(button));
    if (b == question.escape) box.setEscapeButton(button);
  }
  box.exec();
  for (const auto& [button, b] : made) {
    if (box.clickedButton() == button) return b;
  }
  return question.escape;
}

std::optional<std::string> QtUserInteraction::AskText(std::string_view caption,
                                                      std::string_view prompt,
                                                      std::string_view proposal) {
  bool ok = false;
  const QString text = QInputDialog::getText(parent_, ToQt(caption), ToQt(prompt),
                                             QLineEdit::Normal, ToQt(proposal), &ok);
  if (!ok) return std::nullopt;
  return text.toStdString();
}

bool QtUserInteraction::AskTrustCertificate(const CertificateQuestion& q) {
  const QString text =
      QStringLiteral("The certificate of %1 could not be verified:\n%2\n\nSubject: %3\nIssuer: %4\n"
                     "SHA-256 fingerprint: %5\n\nTrust this certificate for this site?")
          .arg(ToQt(q.host), ToQt(q.reason), ToQt(q.subject), ToQt(q.issuer), ToQt(q.fingerprint));
  return Ask({text.toStdString(), {Button::kYes, Button::kNo}, Button::kNo, Button::kNo,
              MessageKind::kWarning, {}}) == Button::kYes;
}

bool QtUserInteraction::AskYesNoCaptioned(std::string_view text, std::string_view caption) {
  return Ask({std::string(text), {Button::kYes, Button::kNo}, Button::kYes, Button::kNo,
              MessageKind::kConfirmation, std::string(caption)}) == Button::kYes;
}

bool QtUserInteraction::AskOkCancel(std::string_view text, MessageKind kind) {
  return Ask({std::string(text), {Button::kOk, Button::kCancel}, Button::kOk, Button::kCancel, kind,
              {}}) == Button::kOk;
}

void QtUserInteraction::ShowError(std::string_view text) {
  Show(parent_, QMessageBox::Critical, QStringLiteral("Error"), ToQt(text));
}

void QtUserInteraction::ShowWarning(std::string_view text) {
  Show(parent_, QMessageBox::Warning, QStringLiteral("Warning"), ToQt(text));
}

void QtUserInteraction::ShowInformation(std::string_view text) {
  Show(parent_, QMessageBox::Information, QStringLiteral("Information"), ToQt(text));
}

void QtUserInteraction::ShowTimedMessage(std::string_view text, MessageKind kind, int seconds) {
  zb::app::ShowTimedMessage(ToQt(text), kind, seconds, parent_);
}

void QtUserInteraction::ShowCommandError(std::string_view text) {
  Show(parent_, QMessageBox::Critical, QString::fromLatin1(kAppTitle), ToQt(text));
}

}  // namespace zb::app
