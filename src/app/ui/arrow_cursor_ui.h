#pragma once

#include <QApplication>

#include "app/user_interaction.h"

namespace zb::app {

// The normal pointer for as long as it lives, over any override cursor (the
// hourglass of a busy state or of a copy).
class ArrowCursor {
 public:
  ArrowCursor() { QApplication::setOverrideCursor(Qt::ArrowCursor); }
  ~ArrowCursor() { QApplication::restoreOverrideCursor(); }
  ArrowCursor(const ArrowCursor&) = delete;
  ArrowCursor& operator=(const ArrowCursor&) = delete;
};

// Questions and messages with the normal pointer, also while a run's busy
// state holds the hourglass: a user must see that the box waits for a click.
// `inner` must outlive this object.
class ArrowCursorUi final : public UserInteraction {
 public:
  explicit ArrowCursorUi(UserInteraction& inner) : inner_(inner) {}

  bool AskYesNo(std::string_view text, MessageKind kind) override {
    const ArrowCursor a;
    return inner_.AskYesNo(text, kind);
  }
  bool AskYesNoCaptioned(std::string_view text, std::string_view caption) override {
    const ArrowCursor a;
    return inner_.AskYesNoCaptioned(text, caption);
  }
  bool AskOkCancel(std::string_view text, MessageKind kind) override {
    const ArrowCursor a;
    return inner_.AskOkCancel(text, kind);
  }
  Button Ask(const Question& question) override {
    const ArrowCursor a;
    return inner_.Ask(question);
  }
  std::optional<std::string> AskText(std::string_view caption, std::string_view prompt,
                                     std::string_view proposal) override {
    const ArrowCursor a;
    return inner_.AskText(caption, prompt, proposal);
  }
  bool AskTrustCertificate(const CertificateQuestion& question) override {
    const ArrowCursor a;
    return inner_.AskTrustCertificate(question);
  }
  void ShowError(std::string_view text) override {
    const ArrowCursor a;
    inner_.ShowError(text);
  }
  void ShowWarning(std::string_view text) override {
    const ArrowCursor a;
    inner_.ShowWarning(text);
  }
  void ShowInformation(std::string_view text) override {
    const ArrowCursor a;
    inner_.ShowInformation(text);
  }
  void ShowTimedMessage(std::string_view text, MessageKind kind, int seconds) override {
    const ArrowCursor a;
    inner_.ShowTimedMessage(text, kind, seconds);
  }
  void ShowCommandError(std::string_view text) override {
    const ArrowCursor a;
    inner_.ShowCommandError(text);
  }

 private:
  UserInteraction& inner_;
};

}  // namespace zb::app
