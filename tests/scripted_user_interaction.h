#pragma once

#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/user_interaction.h"

namespace zb::app {

// A UserInteraction for tests: answers questions from a script, records
// every question and message, and never blocks.
class ScriptedUserInteraction final : public UserInteraction {
 public:
  struct Shown {
    std::string what;  // "ask", "error", "warning", "information", "timed", "command"
    std::string text;
    MessageKind kind = MessageKind::kInformation;
    int seconds = 0;
    std::string caption;  // a captioned question's own caption; "OK/Cancel" for AskOkCancel
    std::vector<Button> buttons = {};  // what a several-button question offered
  };

  // Queues the answers of the next questions; an empty queue answers
  // `default_answer`.
  void Answer(bool yes) { answers_.push_back(yes); }
  bool default_answer = true;

  [[nodiscard]] bool AskYesNo(std::string_view text, MessageKind kind) override {
    shown.push_back({"ask", std::string(text), kind, 0, {}});
    if (answers_.empty()) return default_answer;
    const bool a = answers_.front();
    answers_.pop_front();
    return a;
  }
  [[nodiscard]] bool AskYesNoCaptioned(std::string_view text, std::string_view caption) override {
    const bool a = AskYesNo(text, MessageKind::kConfirmation);
    shown.back().caption = caption;
    return a;
  }
  [[nodiscard]] bool AskOkCancel(std::string_view text, MessageKind kind) override {
    const bool a = AskYesNo(text, kind);
    shown.back().caption = "OK/Cancel";
    return a;
  }
  // A question with several buttons answers the next queued button; with
  // none queued, its default button. `buttons` records what was offered.
  [[nodiscard]] Button Ask(const Question& q) override {
    shown.push_back({"buttons", q.text, q.kind, 0, q.caption, q.buttons});
    if (button_answers_.empty()) return q.default_button;
    const Button b = button_answers_.front();
    button_answers_.pop_front();
    return b;
  }
  // Text inputs answer the next queued text (nullopt = Cancel); with none
  // queued, the proposal.
  [[nodiscard]] std::optional<std::string> AskText(std::string_view caption,
                                                   std::string_view prompt,
                                                   std::string_view proposal) override {
    shown.push_back({"text", std::string(prompt), MessageKind::kConfirmation, 0,
                     std::string(caption), {}});
    if (text_answers_.empty()) return std::string(proposal);
    auto t = text_answers_.front();
    text_answers_.pop_front();
    return t;
  }
  // Certificate questions take the answers queued with Answer(bool).
  [[nodiscard]] bool AskTrustCertificate(const CertificateQuestion& q) override {
    last_certificate = q;
    const bool a = AskYesNo(q.host + ": " + q.reason, MessageKind::kWarning);
    shown.back().what = "certificate";
    return a;
  }
  void AnswerButton(Button b) { button_answers_.push_back(b); }
  void AnswerText(std::optional<std::string> t) { text_answers_.push_back(std::move(t)); }
  std::optional<CertificateQuestion> last_certificate;
  void ShowError(std::string_view text) override {
    shown.push_back({"error", std::string(text), MessageKind::kError, 0, {}});
  }
  void ShowWarning(std::string_view text) override {
    shown.push_back({"warning", std::string(text), MessageKind::kWarning, 0, {}});
  }
  void ShowInformation(std::string_view text) override {
    shown.push_back({"information", std::string(text), MessageKind::kInformation, 0, {}});
  }
  void ShowTimedMessage(std::string_view text, MessageKind kind, int seconds) override {
    shown.push_back({"timed", std::string(text), kind, seconds, {}});
  }
  void ShowCommandError(std::string_view text) override {
    shown.push_back({"command", std::string(text), MessageKind::kError, 0, {}});
  }

  std::vector<Shown> shown;

 private:
  std::deque<bool> answers_;
  std::deque<Button> button_answers_;
  std::deque<std::optional<std::string>> text_answers_;
};

}  // namespace zb::app
