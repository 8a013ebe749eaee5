#pragma once

// Runs a peer tool (zip, unzip, 7z, python3) through the shell for the
// interoperability tests.

#include <stdio.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace zb::interop {

struct Cmd {
  int code = -1;
  std::string out;  // stdout and stderr together
};

// Runs `cmd` with no input; with `timeout_seconds` a hang ends as exit code
// 124.
inline Cmd Sh(const std::string& cmd, int timeout_seconds = 0) {
  Cmd r;
  std::string line = "exec 2>&1 </dev/null; ";
  if (timeout_seconds > 0) line += "timeout " + std::to_string(timeout_seconds) + " ";
  FILE* p = ::popen((line + cmd).c_str(), "r");
  if (p == nullptr) return r;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  const int st = ::pclose(p);
  r.code = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  return r;
}

// `s` quoted for the shell.
inline std::string Q(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

}  // namespace zb::interop
