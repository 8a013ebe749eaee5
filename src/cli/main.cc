// zipbackup-cli: the headless companion of the program. Global options come
// before the verb; each verb parses its own arguments.

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <exception>
#include <iostream>
#include <string>

#include "base/errors.h"
#include "cli/verb.h"
#include "platform/program_dir.h"

namespace zb::cli {
namespace {

std::vector<Verb>& Registry() {
  static std::vector<Verb> verbs;
  return verbs;
}

void PrintHelp() {
  std::cout << "Usage: zipbackup-cli [--data-dir DIR] VERB [ARGS...]\n"
               "       zipbackup-cli --help | --version\n\n"
               "--data-dir DIR  the data folder (default: the folder of this program)\n\n"
               "Verbs:\n";
  std::vector<Verb> verbs = Verbs();
  std::sort(verbs.begin(), verbs.end(),
            [](const Verb& a, const Verb& b) { return a.name < b.name; });
  for (const Verb& v : verbs) std::cout << "  " << v.usage << "\n      " << v.summary << "\n";
  std::cout << "\nExit codes: 0 success, 1 some entries or files failed, 2 error.\n";
}

}  // namespace

bool RegisterVerb(Verb verb) {
  Registry().push_back(std::move(verb));
  return true;
}

const std::vector<Verb>& Verbs() { return Registry(); }

std::string ArgReader::Next() {
  if (!options_ended_ && args_[pos_] == "--") {
    options_ended_ = true;
    ++pos_;
  }
  return args_[pos_++];
}

bool ArgReader::Done() const {
  return pos_ >= args_.size() ||
         (!options_ended_ && args_[pos_] == "--" && pos_ + 1 >= args_.size());
}

bool ArgReader::IsOption(const std::string& arg) const {
  return !options_ended_ && arg.size() > 1 && arg[0] == '-';
}

std::string ArgReader::Value(const std::string& option) {
  if (pos_ >= args_.size()) throw EInvalidInput("option " + option + " needs a value");
  return args_[pos_++];
}

void ThrowUnknownOption(const std::string& verb, const std::string& arg) {
  throw EInvalidInput("unknown option " + arg + " for " + verb + " (see zipbackup-cli " + verb +
                      " --help; a name that starts with \"-\" goes after --)");
}

namespace {

// A data folder named on the command line must exist and be readable; a
// typing slip would otherwise surface later as a confusing "project not
// found" or lock error.
void CheckDataDir(const std::filesystem::path& dir) {
  std::error_code ec;
  if (!std::filesystem::is_directory(dir, ec)) {
    throw EInvalidInput("--data-dir " + dir.string() + ": no such folder");
  }
  if (access(dir.c_str(), R_OK | X_OK) != 0) {
    throw EInvalidInput("--data-dir " + dir.string() + ": the folder cannot be read (" +
                        std::strerror(errno) + ")");
  }
}

}  // namespace

}  // namespace zb::cli

int main(int argc, char** argv) {
  using namespace zb::cli;
  Context ctx;
  ctx.stderr_is_terminal = isatty(STDERR_FILENO) == 1;
  bool data_dir_given = false;
  try {
    ctx.data_dir = zb::ProgramDir();
    int i = 1;
    for (; i < argc; ++i) {
      std::string a = argv[i];
      if (a == "--help" || a == "-h") {
        PrintHelp();
        return kExitOk;
      }
      if (a == "--version") {
        std::cout << "zipbackup-cli " << ZB_VERSION << "\n";
        return kExitOk;
      }
      if (a == "--data-dir") {
        if (i + 1 >= argc) throw zb::EInvalidInput("option --data-dir needs a value");
        ctx.data_dir = argv[++i];
        data_dir_given = true;
        continue;
      }
      if (a.rfind("--data-dir=", 0) == 0) {
        ctx.data_dir = a.substr(11);
        data_dir_given = true;
        continue;
      }
      if (a.size() > 1 && a[0] == '-') {
        throw zb::EInvalidInput("unknown option " + a + " (see zipbackup-cli --help)");
      }
      break;
    }
    if (i >= argc) {
      PrintHelp();
      return kExitError;
    }
    std::string verb_name = argv[i++];
    const Verb* verb = nullptr;
    for (const Verb& v : Verbs()) {
      if (v.name == verb_name) verb = &v;
    }
    if (!verb) throw zb::EInvalidInput("unknown verb '" + verb_name + "' (see zipbackup-cli --help)");
    // --data-dir is global, but users also write it after the verb. After
    // "--" every argument is the verb's own, whatever it looks like.
    bool options_ended = false;
    for (; i < argc; ++i) {
      std::string a = argv[i];
      if (!options_ended && (a == "--help" || a == "-h")) {
        std::cout << "Usage: zipbackup-cli [--data-dir DIR] " << verb->usage << "\n  "
                  << verb->summary << "\n";
        return kExitOk;
      }
      if (options_ended) {
        ctx.args.push_back(a);
      } else if (a == "--data-dir") {
        if (i + 1 >= argc) throw zb::EInvalidInput("option --data-dir needs a value");
        ctx.data_dir = argv[++i];
        data_dir_given = true;
      } else if (a.rfind("--data-dir=", 0) == 0) {
        ctx.data_dir = a.substr(11);
        data_dir_given = true;
      } else {
        options_ended = a == "--";
        ctx.args.push_back(a);
      }
    }
    if (data_dir_given) CheckDataDir(ctx.data_dir);
    return verb->run(ctx);
  } catch (const zb::EAbort&) {
    return kExitError;
  } catch (const std::exception& e) {
    std::cerr << "zipbackup-cli: " << e.what() << "\n";
    return kExitError;
  }
}
