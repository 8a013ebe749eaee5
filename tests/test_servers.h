#pragma once

// Servers for the network tests, all on 127.0.0.1 at a port the system
// picks:
//  - PythonServer runs a script of tests/servers/ under /usr/bin/python3
//    (Debian's interpreter, with the modules the test set-up installs) and
//    reads its port from the line "READY <port>";
//  - TestCerts() makes a test CA, a server certificate for 127.0.0.1, ::1
//    and localhost, and an untrusted self-signed one, once per program;
//  - ScriptedServer is a fake in C++ for odd peers: a script of lines to
//    expect and bytes to send, stalls, floods and early closes.

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "interop/shell_command.h"
#include "temp_files.h"

extern char** environ;

namespace zb::testservers {

// Descriptors this process has open; compare before and after to find one
// left open.
inline size_t OpenFdCount() {
  size_t n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

inline std::string ServerScript(const std::string& name) {
  const char* src = std::getenv("ZB_SOURCE_DIR");
  if (src == nullptr) throw std::runtime_error("ZB_SOURCE_DIR is not set (run through ctest)");
  return std::string(src) + "/tests/servers/" + name;
}

class PythonServer {
 public:
  // Starts `script` with `args`; throws with the server's stderr when it
  // ends or prints no port within 20 seconds (a missing module, a bad
  // argument).
  PythonServer(const std::string& script, const std::vector<std::string>& args) {
    std::string log_name = "/tmp/zb_server_XXXXXX";
    const int log_fd = mkostemp(log_name.data(), O_CLOEXEC);
    if (log_fd < 0) throw std::runtime_error("mkostemp failed");
    log_path_ = log_name;
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
    std::vector<std::string> words = {"/usr/bin/python3", "-u", ServerScript(script)};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    // fork rather than posix_spawn, for the one call between the two: the
    // server is killed with this program even when a crash skips the
    // destructor. Only async-signal-safe calls follow the fork.
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (::getppid() != parent) ::_exit(127);
      const int null_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
      if (null_fd < 0 || ::dup2(null_fd, 0) < 0 || ::dup2(out[1], 1) < 0 || ::dup2(log_fd, 2) < 0) {
        ::_exit(127);
      }
      ::execve(argv[0], argv.data(), environ);
      ::_exit(127);
    }
    ::close(out[1]);
    ::close(log_fd);
    if (pid_ < 0) {
      ::close(out[0]);
      throw std::runtime_error("cannot start /usr/bin/python3");
    }
    std::string seen;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (port_ == 0 && std::chrono::steady_clock::now() < deadline) {
      pollfd p{out[0], POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      char buf[256];
      const ssize_t n = ::read(out[0], buf, sizeof buf);
      if (n <= 0) break;  // the script ended
      seen.append(buf, static_cast<size_t>(n));
      const size_t at = seen.find("READY ");
      if (at != std::string::npos && seen.find('\n', at) != std::string::npos) {
        port_ = static_cast<uint16_t>(std::stoi(seen.substr(at + 6)));
      }
    }
    ::close(out[0]);
    if (port_ == 0) {
      Stop();
      throw std::runtime_error(script + " did not start: " + seen + testfiles::ReadFile(log_path_));
    }
  }
  ~PythonServer() {
    Stop();
    std::filesystem::remove(log_path_);
  }
  PythonServer(const PythonServer&) = delete;
  PythonServer& operator=(const PythonServer&) = delete;

  [[nodiscard]] uint16_t port() const { return port_; }
  // What the server wrote to stderr so far (its log).
  [[nodiscard]] std::string Log() const { return testfiles::ReadFile(log_path_); }

 private:
  void Stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    for (int i = 0; i < 50; ++i) {
      if (::waitpid(pid_, nullptr, WNOHANG) == pid_) return void(pid_ = 0);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = 0;
  }

  pid_t pid_ = 0;
  uint16_t port_ = 0;
  std::string log_path_;
};

struct TestCertificates {
  std::string ca;                       // the test CA's certificate
  std::string server_cert, server_key;  // signed by it: localhost, 127.0.0.1, ::1
  std::string self_cert, self_key;      // self-signed, for the same names
};

// Made with the openssl command once per test program; removed at exit.
inline const TestCertificates& TestCerts() {
  static testfiles::TempDir dir("zb_certs");
  static const TestCertificates certs = [] {
    const std::string ec = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 3 ";
    const std::string names = "subjectAltName=DNS:localhost,IP:127.0.0.1,IP:::1";
    const std::string script =
        "cd " + interop::Q(dir.path()) + " && openssl req -x509" + ec +
        "-keyout ca.key -out ca.pem -subj '/CN=Quillomar Test CA'"
        " -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign"
        " && openssl req" +
        ec +
        "-keyout server.key -out server.csr -subj /CN=localhost"
        " && printf '" +
        names +
        "\\nextendedKeyUsage=serverAuth\\n' > server.ext"
        " && openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial"
        " -days 3 -extfile server.ext -out server.pem"
        " && openssl req -x509" +
        ec +
        "-keyout self.key -out self.pem -subj /CN=localhost"
        " -addext " +
        names;
    const auto r = interop::Sh("sh -c " + interop::Q(script), 60);
    if (r.code != 0) throw std::runtime_error("openssl failed: " + r.out);
    return TestCertificates{dir / "ca.pem", dir / "server.pem", dir / "server.key",
                            dir / "self.pem", dir / "self.key"};
  }();
  return certs;
}

// The SHA-256 fingerprint of a PEM certificate as the openssl command
// prints it ("AB:CD:...").
inline std::string OpensslFingerprint(const std::string& pem) {
  const auto r = interop::Sh("openssl x509 -noout -fingerprint -sha256 -in " + interop::Q(pem));
  const size_t eq = r.out.find('=');
  if (r.code != 0 || eq == std::string::npos) throw std::runtime_error("openssl: " + r.out);
  return r.out.substr(eq + 1, r.out.find_last_not_of("\r\n") - eq);
}

// A fake server for one connection, driven by a script.
class ScriptedServer {
 public:
  struct Step {
    enum class Kind { kSend, kExpect, kStall, kFlood, kDrain, kClose } kind;
    std::string text;
    int ms = 0;
  };
  static Step Send(std::string bytes) { return {Step::Kind::kSend, std::move(bytes)}; }
  // Reads one line and compares it, line end removed.
  static Step Expect(std::string line) { return {Step::Kind::kExpect, std::move(line)}; }
  // Reads nothing and sends nothing for `ms` (or until the server is stopped).
  static Step Stall(int ms) { return {Step::Kind::kStall, {}, ms}; }
  // Sends `chunk` again and again until the client goes away.
  static Step Flood(std::string chunk) { return {Step::Kind::kFlood, std::move(chunk)}; }
  // Reads and drops everything until the client closes.
  static Step Drain() { return {Step::Kind::kDrain, {}}; }
  static Step Close() { return {Step::Kind::kClose, {}}; }

  explicit ScriptedServer(std::vector<Step> script) : script_(std::move(script)) {
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), len) != 0 ||
        ::listen(listen_fd_, 4) != 0 ||
        ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
      throw std::runtime_error("scripted server cannot listen");
    }
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { Run(); });
  }
  ~ScriptedServer() { (void)Finish(); }
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  [[nodiscard]] uint16_t port() const { return port_; }

  // Stops the script where it is and returns what went against it: empty
  // when every expected line came as written.
  std::vector<std::string> Finish() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (listen_fd_ >= 0) ::close(std::exchange(listen_fd_, -1));
    return failures_;
  }

 private:
  // Waits for `events` in slices so that Finish() is never kept waiting.
  bool Ready(int fd, short events) {
    while (!stop_) {
      pollfd p{fd, events, 0};
      if (::poll(&p, 1, 50) > 0) return true;
    }
    return false;
  }

  bool SendAll(int fd, const std::string& bytes) {
    for (size_t done = 0; done < bytes.size();) {
      if (!Ready(fd, POLLOUT)) return false;
      const ssize_t n =
          ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }

  void Run() {
    if (!Ready(listen_fd_, POLLIN)) return;
    const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    std::string in;
    char buf[65536];
    bool open = true;
    for (const Step& step : script_) {
      if (!open || stop_) break;
      switch (step.kind) {
        case Step::Kind::kSend:
          open = SendAll(fd, step.text);
          break;
        case Step::Kind::kExpect: {
          size_t nl;
          while (open && (nl = in.find('\n')) == std::string::npos) {
            const ssize_t n = Ready(fd, POLLIN) ? ::recv(fd, buf, sizeof buf, 0) : 0;
            if (n <= 0)
              open = false;
            else
              in.append(buf, static_cast<size_t>(n));
          }
          if (!open) {
            failures_.push_back("expected '" + step.text + "', the client closed");
            break;
          }
          std::string line = in.substr(0, nl);
          in.erase(0, nl + 1);
          if (!line.empty() && line.back() == '\r') line.pop_back();
          if (line != step.text) {
            failures_.push_back("expected '" + step.text + "', got '" + line + "'");
            open = false;
          }
          break;
        }
        case Step::Kind::kStall:
          for (int waited = 0; waited < step.ms && !stop_; waited += 10) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
          }
          break;
        case Step::Kind::kFlood:
          while (SendAll(fd, step.text)) {
          }
          open = false;
          break;
        case Step::Kind::kDrain:
          while (Ready(fd, POLLIN) && ::recv(fd, buf, sizeof buf, 0) > 0) {
          }
          open = false;
          break;
        case Step::Kind::kClose:
          open = false;
          break;
      }
    }
    ::close(fd);
  }

  std::vector<Step> script_;
  int listen_fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::vector<std::string> failures_;
};

}  // namespace zb::testservers
