#pragma once

#include <QPointer>
#include <QWidget>

#include "app/user_interaction.h"

namespace zb::app {

// Questions and messages as standard modal message boxes with the captions
// "Warning", "Error", "Information" and "Confirm"; errors that end a command
// are captioned with the application's title. Run reports use TMsgForm.
class QtUserInteraction final : public UserInteraction {
 public:
  explicit QtUserInteraction(QWidget* parent = nullptr) : parent_(parent) {}
  void SetParent(QWidget* parent) { parent_ = parent; }

  [[nodiscard]] bool AskYesNo(std::string_view text, MessageKind kind) override;
  [[nodiscard]] bool AskYesNoCaptioned(std::string_view text, std::string_view caption) override;
  [[nodiscard]] bool AskOkCancel(std::string_view text, MessageKind kind) override;
  [[nodiscard]] Button Ask(const Question& question) override;
  [[nodiscard]] std::optional<std::string> AskText(std::string_view caption,
                                                   std::string_view prompt,
                                                   std::string_view proposal) override;
  [[nodiscard]] bool AskTrustCertificate(const CertificateQuestion& question) override;
  void ShowError(std::string_view text) override;
  void ShowWarning(std::string_view text) override;
  void ShowInformation(std::string_view text) override;
  void ShowTimedMessage(std::string_view text, MessageKind kind, int seconds) override;
  void ShowCommandError(std::string_view text) override;

 private:
  QPointer<QWidget> parent_;
};

}  // namespace zb::app
