#include "platform/atomic_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <set>

#include "base/errors.h"
#include "temp_files.h"

namespace zb {
namespace {

namespace fs = std::filesystem;

// A file-system double: the real calls with short writes, except that one
// named step fails.
class FailingOps final : public FileOps {
 public:
  std::string fail_step;  // "open", "write", "fchmod", "fsync", "close", "rename"

  int Open(const char* p, int f, mode_t m) override {
    if (fail_step == "open") return Fail(EACCES);
    return FileOps::Open(p, f, m);
  }
  ssize_t Write(int fd, const void* d, size_t n) override {
    if (fail_step == "write" && written_ > 0) return Fail(ENOSPC);
    // Short writes: the caller must loop rather than trust one call.
    const ssize_t w = FileOps::Write(fd, d, n > 3 ? n / 2 : n);
    if (w > 0) written_ += static_cast<size_t>(w);
    return w;
  }
  int Fsync(int fd) override { return fail_step == "fsync" ? Fail(EIO) : FileOps::Fsync(fd); }
  int Fchmod(int fd, mode_t m) override {
    return fail_step == "fchmod" ? Fail(EPERM) : FileOps::Fchmod(fd, m);
  }
  int Close(int fd) override {
    const int r = FileOps::Close(fd);
    return fail_step == "close" ? Fail(EIO) : r;
  }
  int Rename(const char* a, const char* b) override {
    return fail_step == "rename" ? Fail(EXDEV) : FileOps::Rename(a, b);
  }

 private:
  size_t written_ = 0;
  static int Fail(int err) {
    errno = err;
    return -1;
  }
};

class AtomicFileTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = temp_.path();
  }
  static std::string Read(const fs::path& p) { return ReadFileIfExists(p).value_or("<missing>"); }
  static void Put(const fs::path& p, const std::string& s) { std::ofstream(p) << s; }
  std::set<std::string> Listing() const {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_)) names.insert(e.path().filename());
    return names;
  }

  zb::testfiles::TempDir temp_{"zb_atomic"};
  fs::path dir_;
};

TEST_F(AtomicFileTest, CreatesAndReplaces) {
  const fs::path f = dir_ / "project.ini";
  EXPECT_EQ(ReadFileIfExists(f), std::nullopt);
  WriteFileAtomically(f, "first");
  EXPECT_EQ(Read(f), "first");
  FailingOps short_writes;
  const std::string long_text(100000, 'x');
  WriteFileAtomically(f, long_text, short_writes);
  EXPECT_EQ(Read(f), long_text);
  WriteFileAtomically(f, "");
  EXPECT_EQ(Read(f), "");
  EXPECT_EQ(Listing(), std::set<std::string>{"project.ini"});
}

// A write that runs out of room at every byte count is covered where the
// callers live (the INI tests); here every other step fails once, with
// short writes on the way.
TEST_F(AtomicFileTest, FailureAtEveryLaterStepLeavesOldFileIntact) {
  const fs::path f = dir_ / "a.ini";
  Put(f, "old");
  for (const char* step : {"open", "write", "fchmod", "fsync", "close", "rename"}) {
    FailingOps ops;
    ops.fail_step = step;
    try {
      WriteFileAtomically(f, std::string(100, 'n'), ops);
      ADD_FAILURE() << "no error when " << step << " fails";
    } catch (const EWriteError& e) {
      EXPECT_EQ(std::string(e.what()), "Unable to write to " + f.string());
      EXPECT_FALSE(e.Reason().empty()) << step;
    }
    EXPECT_EQ(Read(f), "old") << step;
    EXPECT_EQ(Listing(), std::set<std::string>{"a.ini"}) << step;
  }
}

// Runs `body` in a child process without root's right to ignore permission
// bits (as "nobody" when the test runs as root); returns its exit status.
template <typename Body>
int RunUnprivileged(Body body) {
  const pid_t child = fork();
  if (child == 0) {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(99);
    _exit(body());
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 98;
}

TEST_F(AtomicFileTest, FollowsSymlinksAndKeepsMode) {
  fs::create_directory(dir_ / "real");
  const fs::path target = dir_ / "real" / "data.ini";
  Put(target, "old");
  ASSERT_EQ(chmod(target.c_str(), 0640), 0);
  // A relative link to a relative link: each hop resolves against its own folder.
  fs::create_symlink("real/data.ini", dir_ / "hop.ini");
  fs::create_symlink("hop.ini", dir_ / "link.ini");
  WriteFileAtomically(dir_ / "link.ini", "new");
  EXPECT_TRUE(fs::is_symlink(dir_ / "link.ini"));
  EXPECT_TRUE(fs::is_symlink(dir_ / "hop.ini"));
  EXPECT_EQ(Read(target), "new");
  struct stat st {};
  ASSERT_EQ(stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);

  // A dangling link creates its target rather than replacing the link.
  fs::create_symlink("real/new.ini", dir_ / "dangling.ini");
  WriteFileAtomically(dir_ / "dangling.ini", "made");
  EXPECT_TRUE(fs::is_symlink(dir_ / "dangling.ini"));
  EXPECT_EQ(Read(dir_ / "real" / "new.ini"), "made");

  fs::create_symlink("loop2", dir_ / "loop1");
  fs::create_symlink("loop1", dir_ / "loop2");
  EXPECT_THROW(WriteFileAtomically(dir_ / "loop1", "x"), EWriteError);
}

TEST_F(AtomicFileTest, ReadingAnUnreadableFileIsAnErrorNotAnEmptyFile) {
  const fs::path f = dir_ / "secret.ini";
  Put(f, "x");
  ASSERT_EQ(chmod(f.c_str(), 0), 0);
  ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
  const int rc = RunUnprivileged([&] {
    try {
      (void)ReadFileIfExists(f);
      return 1;
    } catch (const EOSError&) {
      return 0;
    }
  });
  EXPECT_EQ(rc, 0);
  EXPECT_THROW((void)ReadFileIfExists(dir_), EOSError);  // a folder is no file either
}

}  // namespace
}  // namespace zb
