#pragma once

#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/errors.h"

namespace zb {

// Caption and icon of a message. The values are the ones callers pass as
// numbers to the self-closing box (0 warning, 1 error, 2 information).
enum class MessageKind {
  kWarning = 0,
  kError = 1,
  kInformation = 2,
  kConfirmation = 3,
  kCustom = 4
};

// The buttons of a question with several answers, in the order callers list
// them; the answer is the button pressed.
enum class Button { kYes, kNo, kCancel, kYesToAll, kNoToAll, kOk, kBrowse };

// A question with several buttons. `escape` is what closing the box without
// choosing answers (Cancel where there is one); `default_button` is what
// Enter answers. An empty caption takes the kind's own.
struct Question {
  std::string text;
  std::vector<Button> buttons;
  Button default_button = Button::kYes;
  Button escape = Button::kNo;
  MessageKind kind = MessageKind::kConfirmation;
  std::string caption;
};

// What a window shows of a server certificate it could not verify, so the
// user can decide whether to trust it (and the caller can pin it).
struct CertificateQuestion {
  std::string host;
  std::string subject;
  std::string issuer;
  std::string fingerprint;  // SHA-256, hex pairs separated by ":"
  std::string reason;       // why verification failed
};

// The one way core code asks the user something or tells the user something.
// The desktop build shows modal message boxes; tests plug in a scripted
// implementation. Every call returns only when the user (or a timer) has
// answered, so callers may rely on the answer at once.
class UserInteraction {
 public:
  virtual ~UserInteraction() = default;

  // A Yes/No question; true for Yes. Closing the box without choosing
  // counts as No.
  [[nodiscard]] virtual bool AskYesNo(std::string_view text,
                                      MessageKind kind = MessageKind::kConfirmation) = 0;
  // A Yes/No question under its own caption (the extraction's "Replace
  // existing file" question). Implementations without captions ask it as a
  // plain confirmation.
  [[nodiscard]] virtual bool AskYesNoCaptioned(std::string_view text, std::string_view caption) {
    (void)caption;
    return AskYesNo(text, MessageKind::kConfirmation);
  }
  // A confirmation with the buttons OK and Cancel (a disk request); true for
  // OK. Implementations without such a box ask it as Yes/No.
  [[nodiscard]] virtual bool AskOkCancel(std::string_view text,
                                         MessageKind kind = MessageKind::kConfirmation) {
    return AskYesNo(text, kind);
  }
  // A question with several buttons; returns the one pressed, or
  // `question.escape` when the box is closed. Implementations without such a
  // box ask Yes/No and answer the first and the escape button.
  [[nodiscard]] virtual Button Ask(const Question& question) {
    const Button first = question.buttons.empty() ? question.escape : question.buttons.front();
    return AskYesNo(question.text, question.kind) ? first : question.escape;
  }
  // A one-line text input with a prompt and a proposal; nullopt for Cancel.
  // Implementations that cannot ask answer Cancel.
  [[nodiscard]] virtual std::optional<std::string> AskText(std::string_view caption,
                                                           std::string_view prompt,
                                                           std::string_view proposal) {
    (void)caption, (void)prompt, (void)proposal;
    return std::nullopt;
  }
  // Whether to trust a certificate that failed verification; true to accept.
  // Implementations that cannot ask refuse.
  [[nodiscard]] virtual bool AskTrustCertificate(const CertificateQuestion& question) {
    (void)question;
    return false;
  }
  virtual void ShowError(std::string_view text) = 0;
  virtual void ShowWarning(std::string_view text) = 0;
  virtual void ShowInformation(std::string_view text) = 0;
  // The report of a run: closes by itself after `seconds` (0 = stays until
  // closed by the user).
  virtual void ShowTimedMessage(std::string_view text, MessageKind kind, int seconds) = 0;
  // An error that ended a command, captioned with the application's title.
  virtual void ShowCommandError(std::string_view text) = 0;
};

// The text of an error as the command boundary shows it: a full stop is
// appended unless the text already ends with one.
[[nodiscard]] inline std::string WithFullStop(std::string_view text) {
  std::string s(text);
  if (s.empty() || s.back() != '.') s.push_back('.');
  return s;
}

// Runs one user command. An error escaping it ends the command and is shown
// with ShowCommandError; the silent abort shows nothing (its check has already
// spoken). Returns true when the command ran to its end. Other exceptions from
// the standard library are shown the same way rather than ending the program.
inline bool RunCommand(UserInteraction& ui, const std::function<void()>& command) {
  try {
    command();
    return true;
  } catch (const EAbort&) {
    return false;
  } catch (const std::exception& e) {
    ui.ShowCommandError(WithFullStop(e.what()));
    return false;
  }
}

}  // namespace zb
