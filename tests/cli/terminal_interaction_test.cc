// The command line's questions: asked on a terminal, answered No / Cancel
// without one; messages one line each on standard error.

#include "cli/terminal_interaction.h"

#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

#include <sstream>
#include <string>

#include "gtest/gtest.h"

namespace zb::cli {
namespace {

// A pseudo-terminal whose typed input is queued before the question is
// asked (the line discipline holds it until read).
class TypedTerminal {
 public:
  TypedTerminal() {
    EXPECT_EQ(openpty(&master_, &slave_, nullptr, nullptr, nullptr), 0);
    termios t{};
    tcgetattr(slave_, &t);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO);  // keep the master's output quiet
    tcsetattr(slave_, TCSANOW, &t);
  }
  ~TypedTerminal() {
    close(master_);
    close(slave_);
  }
  void Type(const std::string& text) { ASSERT_EQ(write(master_, text.data(), text.size()),
                                                 static_cast<ssize_t>(text.size())); }
  // End of input, as Ctrl-D at the start of a line.
  void EndInput() { Type("\x04"); }
  [[nodiscard]] int Fd() const { return slave_; }

 private:
  int master_ = -1, slave_ = -1;
};

const Question kReplace{"Replace\rthe file?",
                        {Button::kYes, Button::kNo, Button::kCancel, Button::kYesToAll},
                        Button::kNo, Button::kCancel, MessageKind::kConfirmation, ""};

TEST(TerminalInteractionTest, QuestionsOnATerminalTakeTheTypedAnswer) {
  struct Case {
    std::string typed;
    Button expected;
  };
  const Case cases[] = {
      {"a\n", Button::kYesToAll},  {"Yes To All\n", Button::kYesToAll},
      {"\n", Button::kNo},         // Enter takes the default
      {"maybe\ny\n", Button::kYes},  // asked again until understood
  };
  for (const Case& c : cases) {
    TypedTerminal tty;
    tty.Type(c.typed);
    std::ostringstream err;
    TerminalInteraction ui(tty.Fd(), err);
    ASSERT_TRUE(ui.Interactive());
    EXPECT_EQ(ui.Ask(kReplace), c.expected) << c.typed;
    // The question is one line, then its choices with their letters.
    EXPECT_NE(err.str().find("Replace the file?\n  yes (y), no (n), cancel (c), yes to all (a)"),
              std::string::npos)
        << err.str();
  }
  TypedTerminal tty;
  tty.Type("backups\n\n");
  std::ostringstream err;
  TerminalInteraction ui(tty.Fd(), err);
  EXPECT_EQ(ui.AskText("Create Folder", "Name:", "New"), std::optional<std::string>("backups"));
  EXPECT_EQ(ui.AskText("Create Folder", "Name:", "New"), std::optional<std::string>("New"));
  tty.EndInput();
  EXPECT_EQ(ui.Ask(kReplace), Button::kCancel);  // end of input closes like Escape
}

TEST(TerminalInteractionTest, WithoutATerminalEveryQuestionIsNoOrCancel) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  // Even a "y" waiting on a pipe is not read: a script's data are no answers.
  ASSERT_EQ(write(fds[1], "y\n", 2), 2);
  std::ostringstream err;
  TerminalInteraction ui(fds[0], err);
  EXPECT_FALSE(ui.Interactive());
  EXPECT_FALSE(ui.AskYesNo("Delete?", MessageKind::kConfirmation));
  EXPECT_FALSE(ui.AskOkCancel("Please insert disk number 2", MessageKind::kInformation));
  EXPECT_EQ(ui.Ask(kReplace), Button::kNo);  // keeps the file, goes on
  EXPECT_EQ(ui.Ask({"Insert disk 2", {Button::kOk, Button::kCancel, Button::kBrowse}, Button::kOk,
                    Button::kCancel, MessageKind::kInformation, ""}),
            Button::kCancel);
  EXPECT_EQ(ui.AskText("Create Folder", "Name:", "New"), std::nullopt);
  EXPECT_FALSE(ui.AskTrustCertificate({"ftp.example.org", "CN=x", "CN=x", "AB", "self-signed"}));
  char c;
  EXPECT_EQ(read(fds[0], &c, 1), 1);  // the pipe's data are untouched
  close(fds[0]);
  close(fds[1]);

  ui.ShowError("Unable to create directory\r/tmp/x");
  ui.ShowWarning("Disk full");
  ui.ShowTimedMessage("Backup 3 Files Succeeds!", MessageKind::kInformation, 6);
  EXPECT_EQ(err.str(),
            "zipbackup-cli: the certificate of ftp.example.org could not be verified: "
            "self-signed\n"
            "zipbackup-cli: Unable to create directory /tmp/x\n"
            "zipbackup-cli: warning: Disk full\n");
  EXPECT_EQ(ui.errors.size(), 2u);
}

}  // namespace
}  // namespace zb::cli
