#pragma once

#include <deque>
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
  [[nodiscard]] bool AskOkCancel(std::string_view text) override {
    const bool a = AskYesNo(text, MessageKind::kConfirmation);
    shown.back().caption = "OK/Cancel";
    return a;
  }
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
};

}  // namespace zb::app
