#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/user_interaction.h"

namespace zb::cli {

// The command line's side of UserInteraction. Messages go to `err` as one
// line each; questions are asked on the terminal when the answers come from
// one (`in_fd` is a terminal) and answered without asking otherwise: No
// where the question offers it, else its escape answer (Cancel), so a script or a scheduled job never waits for a reader that
// is not there. Run reports (the timed message) are left to the verbs,
// which print them from their results.
class TerminalInteraction final : public UserInteraction {
 public:
  // `err` must outlive this object; `in_fd` is not closed. Without
  // `echo_messages` errors and warnings are only collected in `errors`, for
  // a verb that reports them itself from its result.
  TerminalInteraction(int in_fd, std::ostream& err, bool echo_messages = true);
  // Reads standard input and writes to standard error.
  explicit TerminalInteraction(bool echo_messages = true);

  // Whether questions are put to a person.
  [[nodiscard]] bool Interactive() const { return interactive_; }

  [[nodiscard]] bool AskYesNo(std::string_view text, MessageKind kind) override;
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

  // Every error and warning shown, in order (a verb may name the first in
  // its exit message).
  std::vector<std::string> errors;

 private:
  // One line typed by the user without its line end; nullopt at the end of
  // input or on a read error.
  std::optional<std::string> ReadLine();
  void Say(std::string_view prefix, std::string_view text);

  int in_fd_;
  std::ostream& err_;
  bool interactive_;
  bool echo_;
};

// Message texts break lines with a carriage return; a terminal line must
// not. Line ends become one blank, and the result is trimmed.
[[nodiscard]] std::string OneLine(std::string_view text);

}  // namespace zb::cli
