#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace zb::cli {

// Exit codes of every verb.
inline constexpr int kExitOk = 0;
inline constexpr int kExitSomeFailed = 1;  // some entries or files failed
inline constexpr int kExitError = 2;       // the operation failed (one line on stderr)

struct Context {
  std::filesystem::path data_dir;   // --data-dir, or the executable's folder
  std::vector<std::string> args;    // the verb's own arguments
  bool stderr_is_terminal = false;  // progress is shown only on a terminal
};

// A verb of zipbackup-cli. Each verb's file registers itself with a static
// ZB_CLI_VERB(...) so that adding one never touches a shared table.
struct Verb {
  std::string name;
  std::string usage;                 // "zip ARCHIVE [--level N] ... ENTRY..."
  std::string summary;               // one line for --help
  std::function<int(Context&)> run;  // throws zb::Error for exit code 2
};

bool RegisterVerb(Verb verb);
const std::vector<Verb>& Verbs();

// Archive errors carry fixed texts ("Not a valid zip file!"): rethrows the
// exception in flight, an archive error as zb::Error naming `archive`.
// REQUIRES: called inside a catch block.
[[noreturn]] void RethrowWithArchive(const std::string& archive);

// The total-percent handler of a verb: on a terminal, the percentage on one
// line rewritten in place and wiped at 100; otherwise nothing (null).
[[nodiscard]] std::function<void(int percent)> TerminalProgress(const Context& ctx);

// Helpers for verbs: options of the form --name VALUE or --flag, then
// operands. A "--" ends the options: it is skipped, and every argument after
// it is an operand, even one that starts with "-".
// Throws zb::EInvalidInput on a missing value.
class ArgReader {
 public:
  explicit ArgReader(std::vector<std::string> args) : args_(std::move(args)) {}
  [[nodiscard]] bool Done() const;
  [[nodiscard]] const std::string& Peek() const { return args_[pos_]; }
  // The next argument; skips the "--" that ends the options.
  std::string Next();
  // Whether `arg`, just returned by Next(), is an option ("-x", "--x")
  // rather than an operand: never after "--".
  [[nodiscard]] bool IsOption(const std::string& arg) const;
  // The value after the option just read.
  std::string Value(const std::string& option);

 private:
  std::vector<std::string> args_;
  size_t pos_ = 0;
  bool options_ended_ = false;
};

// Throws the error for an option `verb` does not know (exit code 2), so an
// option is never taken for a file name.
[[noreturn]] void ThrowUnknownOption(const std::string& verb, const std::string& arg);

}  // namespace zb::cli

#define ZB_CLI_CONCAT2(a, b) a##b
#define ZB_CLI_CONCAT(a, b) ZB_CLI_CONCAT2(a, b)
#define ZB_CLI_VERB(...) \
  static const bool ZB_CLI_CONCAT(zb_cli_verb_, __LINE__) = ::zb::cli::RegisterVerb(__VA_ARGS__)
