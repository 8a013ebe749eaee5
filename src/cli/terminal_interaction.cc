#include "cli/terminal_interaction.h"

#include <errno.h>
#include <unistd.h>

#include <cctype>
#include <iostream>

#include "base/text.h"

namespace zb::cli {
namespace {

// The word a button is answered with and the letter that chooses it. The
// letters are distinct within any question the program asks.
struct ButtonWord {
  Button button;
  const char* word;
  const char* key;
};
constexpr ButtonWord kWords[] = {
    {Button::kYes, "yes", "y"},          {Button::kNo, "no", "n"},
    {Button::kCancel, "cancel", "c"},    {Button::kYesToAll, "yes to all", "a"},
    {Button::kNoToAll, "no to all", "o"}, {Button::kOk, "ok", "k"},
    {Button::kBrowse, "browse", "b"},
};

const ButtonWord& WordOf(Button b) {
  for (const ButtonWord& w : kWords) {
    if (w.button == b) return w;
  }
  return kWords[0];
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return std::string(Trim(s));
}

}  // namespace

std::string OneLine(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '\r' || c == '\n') {
      if (!out.empty() && out.back() != ' ') out.push_back(' ');
    } else {
      out.push_back(c);
    }
  }
  return std::string(Trim(out));
}

TerminalInteraction::TerminalInteraction(int in_fd, std::ostream& err, bool echo_messages)
    : in_fd_(in_fd), err_(err), interactive_(isatty(in_fd) == 1), echo_(echo_messages) {}

TerminalInteraction::TerminalInteraction(bool echo_messages)
    : TerminalInteraction(STDIN_FILENO, std::cerr, echo_messages) {}

std::optional<std::string> TerminalInteraction::ReadLine() {
  std::string line;
  for (;;) {
    char c = 0;
    const ssize_t n = ::read(in_fd_, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return line.empty() ? std::nullopt : std::optional<std::string>(line);
    if (c == '\n') return line;
    if (c != '\r') line.push_back(c);
  }
}

Button TerminalInteraction::Ask(const Question& q) {
  if (q.buttons.empty()) return q.escape;
  if (!interactive_) {
    // Nobody to ask: the answer that changes nothing and lets the work go
    // on (No keeps an existing file), else the one that closes the box.
    for (const Button b : q.buttons) {
      if (b == Button::kNo) return b;
    }
    return q.escape;
  }
  std::string choices;
  for (const Button b : q.buttons) {
    const ButtonWord& w = WordOf(b);
    if (!choices.empty()) choices += ", ";
    choices += std::string(w.word) + " (" + w.key + ")";
  }
  for (;;) {
    err_ << OneLine(q.text) << "\n  " << choices << " [" << WordOf(q.default_button).key
         << "]: " << std::flush;
    const std::optional<std::string> line = ReadLine();
    if (!line) {
      err_ << "\n";
      return q.escape;  // the end of input closes the question like Escape
    }
    const std::string answer = Lower(*line);
    if (answer.empty()) return q.default_button;
    for (const Button b : q.buttons) {
      const ButtonWord& w = WordOf(b);
      if (answer == w.key || answer == w.word) return b;
    }
    err_ << "Please answer one of: " << choices << "\n";
  }
}

bool TerminalInteraction::AskYesNo(std::string_view text, MessageKind kind) {
  return Ask({std::string(text), {Button::kYes, Button::kNo}, Button::kNo, Button::kNo, kind,
              {}}) == Button::kYes;
}

bool TerminalInteraction::AskOkCancel(std::string_view text, MessageKind kind) {
  return Ask({std::string(text), {Button::kOk, Button::kCancel}, Button::kOk, Button::kCancel,
              kind, {}}) == Button::kOk;
}

std::optional<std::string> TerminalInteraction::AskText(std::string_view caption,
                                                        std::string_view prompt,
                                                        std::string_view proposal) {
  if (!interactive_) return std::nullopt;
  err_ << OneLine(caption) << ": " << OneLine(prompt);
  if (!proposal.empty()) err_ << " [" << proposal << "]";
  err_ << " " << std::flush;
  std::optional<std::string> line = ReadLine();
  if (!line) return std::nullopt;
  if (line->empty()) return std::string(proposal);
  return line;
}

bool TerminalInteraction::AskTrustCertificate(const CertificateQuestion& q) {
  if (!interactive_) {
    Say("", "the certificate of " + q.host + " could not be verified: " + q.reason);
    return false;
  }
  err_ << "The certificate of " << q.host << " could not be verified: " << q.reason << "\n"
       << "  subject: " << q.subject << "\n  issuer: " << q.issuer
       << "\n  SHA-256 fingerprint: " << q.fingerprint << "\n";
  return AskYesNo("Trust this certificate for this site?", MessageKind::kWarning);
}

void TerminalInteraction::Say(std::string_view prefix, std::string_view text) {
  if (echo_) err_ << "zipbackup-cli: " << prefix << OneLine(text) << "\n";
}

void TerminalInteraction::ShowError(std::string_view text) {
  errors.emplace_back(text);
  Say("", text);
}

void TerminalInteraction::ShowWarning(std::string_view text) {
  errors.emplace_back(text);
  Say("warning: ", text);
}

void TerminalInteraction::ShowInformation(std::string_view text) { Say("", text); }

void TerminalInteraction::ShowTimedMessage(std::string_view, MessageKind, int) {}

void TerminalInteraction::ShowCommandError(std::string_view text) {
  errors.emplace_back(text);
  Say("", text);
}

}  // namespace zb::cli
