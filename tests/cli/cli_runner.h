#pragma once

// Runs the built zipbackup-cli for the command-line tests.

#include <poll.h>
#include <pty.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "gtest/gtest.h"

namespace zb::clitest {

struct CliResult {
  int exit_code = -1;
  std::string out, err;
};

inline std::string SlurpFile(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// The program under test; CTest sets ZB_PROGRAM_DIR. Empty when unset.
inline std::filesystem::path CliProgram() {
  const char* dir = std::getenv("ZB_PROGRAM_DIR");
  return dir ? std::filesystem::path(dir) / "zipbackup-cli" : std::filesystem::path();
}

// A fresh folder /tmp/<prefix>_XXXXXX for one test; empty when none could
// be made.
inline std::filesystem::path MakeScratchDir(const std::string& prefix) {
  std::string tmpl = "/tmp/" + prefix + "_XXXXXX";
  return mkdtemp(tmpl.data()) ? std::filesystem::path(tmpl) : std::filesystem::path();
}

// Runs the program directly (no shell, so arguments need no quoting), with
// stdout and stderr captured separately through files in `scratch`, and
// `input`, when given, on its standard input (a file, so no terminal).
inline CliResult RunCliCaptured(const std::filesystem::path& program,
                                const std::vector<std::string>& args,
                                const std::filesystem::path& scratch, const std::string* input) {
  const std::filesystem::path in = scratch / ".cli-in";
  if (input) std::ofstream(in, std::ios::binary) << *input;
  const std::string out = scratch / ".cli-out", err = scratch / ".cli-err";
  const pid_t child = fork();
  if (child == 0) {
    if ((input && !freopen(in.c_str(), "r", stdin)) || !freopen(out.c_str(), "w", stdout) ||
        !freopen(err.c_str(), "w", stderr)) {
      _exit(127);
    }
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(child, &status, 0);
  CliResult r;
  r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.out = SlurpFile(out);
  r.err = SlurpFile(err);
  std::error_code ec;
  for (const auto& p : {in, std::filesystem::path(out), std::filesystem::path(err)}) {
    std::filesystem::remove(p, ec);
  }
  return r;
}

inline CliResult RunCli(const std::filesystem::path& program, const std::vector<std::string>& args,
                        const std::filesystem::path& scratch) {
  return RunCliCaptured(program, args, scratch, nullptr);
}

inline CliResult RunCliWithInput(const std::filesystem::path& program,
                                 const std::vector<std::string>& args,
                                 const std::filesystem::path& scratch, const std::string& input) {
  return RunCliCaptured(program, args, scratch, &input);
}

// Runs the program on a pseudo-terminal, as a person at a terminal does:
// `typed` is queued as the terminal's input before the program starts, and
// everything it writes (stdout and stderr together, and the echo of what was
// typed) comes back in `out`. Ends the program after `timeout_ms`.
inline CliResult RunCliOnTerminal(const std::filesystem::path& program,
                                  const std::vector<std::string>& args, const std::string& typed,
                                  int timeout_ms = 30000) {
  CliResult r;
  int master = -1;
  const pid_t child = forkpty(&master, nullptr, nullptr, nullptr);
  if (child < 0) return r;
  if (child == 0) {
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  if (!typed.empty() && write(master, typed.data(), typed.size()) < 0) r.err = "write failed";
  char buf[4096];
  for (int waited = 0; waited < timeout_ms;) {
    pollfd p{master, POLLIN, 0};
    const int ready = poll(&p, 1, 100);
    if (ready == 0) {
      waited += 100;
      continue;
    }
    const ssize_t n = read(master, buf, sizeof buf);
    if (n <= 0) break;  // EIO: the program has ended and closed the terminal
    r.out.append(buf, static_cast<size_t>(n));
  }
  int status = 0;
  if (waitpid(child, &status, WNOHANG) == 0) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
  }
  close(master);
  r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

// Runs "program args" through the shell with stderr folded into stdout;
// `args` is shell text, quoted by the caller.
inline CliResult RunCliShell(const std::filesystem::path& program, const std::string& args) {
  const std::string cmd = "'" + program.string() + "' " + args + " 2>&1";
  CliResult r;
  FILE* p = ::popen(cmd.c_str(), "r");
  if (!p) return r;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  const int status = ::pclose(p);
  r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

// The fixture of the command-line tests: the built program and a scratch
// folder of the test's own, removed afterwards.
class CliTest : public testing::Test {
 protected:
  void SetUp() override {
    program_ = CliProgram();
    ASSERT_FALSE(program_.empty()) << "ZB_PROGRAM_DIR is set by CTest";
    ASSERT_TRUE(std::filesystem::exists(program_)) << program_;
    dir_ = MakeScratchDir("zb_cli");
    ASSERT_FALSE(dir_.empty());
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  [[nodiscard]] CliResult Run(const std::vector<std::string>& args) const {
    return RunCli(program_, args, dir_);
  }

  std::filesystem::path program_;
  std::filesystem::path dir_;
};

}  // namespace zb::clitest
