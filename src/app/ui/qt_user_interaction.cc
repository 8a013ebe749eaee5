#include "app/ui/qt_user_interaction.h"

#include <QMessageBox>

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

}  // namespace

bool QtUserInteraction::AskYesNo(std::string_view text, MessageKind kind) {
  QMessageBox::Icon icon = QMessageBox::Question;
  QString caption = QStringLiteral("Confirm");
  switch (kind) {
    case MessageKind::kWarning:
      icon = QMessageBox::Warning, caption = "Warning";
      break;
    case MessageKind::kError:
      icon = QMessageBox::Critical, caption = "Error";
      break;
    case MessageKind::kInformation:
      icon = QMessageBox::Information, caption = "Information";
      break;
    case MessageKind::kConfirmation:
      break;
    case MessageKind::kCustom:
      icon = QMessageBox::NoIcon, caption = kAppTitle;
      break;
  }
  QMessageBox box(icon, caption, ToQt(text), QMessageBox::Yes | QMessageBox::No, parent_);
  box.setDefaultButton(QMessageBox::Yes);
  box.setEscapeButton(QMessageBox::No);
  return box.exec() == QMessageBox::Yes;
}

bool QtUserInteraction::AskYesNoCaptioned(std::string_view text, std::string_view caption) {
  QMessageBox box(QMessageBox::Question, ToQt(caption), ToQt(text),
                  QMessageBox::Yes | QMessageBox::No, parent_);
  box.setDefaultButton(QMessageBox::Yes);
  box.setEscapeButton(QMessageBox::No);
  return box.exec() == QMessageBox::Yes;
}

bool QtUserInteraction::AskOkCancel(std::string_view text) {
  QMessageBox box(QMessageBox::Question, QStringLiteral("Confirm"), ToQt(text),
                  QMessageBox::Ok | QMessageBox::Cancel, parent_);
  box.setDefaultButton(QMessageBox::Ok);
  box.setEscapeButton(QMessageBox::Cancel);
  return box.exec() == QMessageBox::Ok;
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
