// zipbackup-cli: the headless companion of the program. Global options come
// before the verb; each verb parses its own arguments.

#include <unistd.h>

#include <algorithm>
#include <cstdio>
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

std::string ArgReader::Value(const std::string& option) {
  if (Done()) throw EInvalidInput("option " + option + " needs a value");
  return Next();
}

}  // namespace zb::cli

int main(int argc, char** argv) {
  using namespace zb::cli;
  Context ctx;
  ctx.stderr_is_terminal = isatty(STDERR_FILENO) == 1;
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
        continue;
      }
      if (a.rfind("--data-dir=", 0) == 0) {
        ctx.data_dir = a.substr(11);
        continue;
      }
      break;
    }
    if (i >= argc) {
      PrintHelp();
      return kExitError;
    }
    std::string verb_name = argv[i++];
    // --data-dir is global, but users also write it after the verb.
    for (; i < argc; ++i) {
      std::string a = argv[i];
      if (a == "--data-dir" && i + 1 < argc) {
        ctx.data_dir = argv[++i];
      } else if (a.rfind("--data-dir=", 0) == 0) {
        ctx.data_dir = a.substr(11);
      } else {
        ctx.args.push_back(a);
      }
    }
    for (const Verb& v : Verbs()) {
      if (v.name == verb_name) return v.run(ctx);
    }
    throw zb::EInvalidInput("unknown verb '" + verb_name + "' (see zipbackup-cli --help)");
  } catch (const zb::EAbort&) {
    return kExitError;
  } catch (const std::exception& e) {
    std::cerr << "zipbackup-cli: " << e.what() << "\n";
    return kExitError;
  }
}
