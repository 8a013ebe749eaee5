#include "platform/file_lock.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "base/errors.h"
#include "temp_files.h"

namespace zb {
namespace {

namespace fs = std::filesystem;

class FileLockTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = temp_.path();
  }
  zb::testfiles::TempDir temp_{"zb_lock"};
  fs::path dir_;
};

TEST_F(FileLockTest, ExclusiveUntilReleased) {
  FileLock a(dir_ / ".lock");
  FileLock b(dir_ / ".lock");
  ASSERT_TRUE(a.TryAcquire());
  EXPECT_TRUE(a.TryAcquire());  // taking it again is a no-op for the holder
  EXPECT_FALSE(b.TryAcquire());
  EXPECT_FALSE(b.Held());
  a.Release();
  EXPECT_TRUE(b.TryAcquire());
  {
    FileLock c(dir_ / ".lock");
    EXPECT_FALSE(c.TryAcquire());
  }
  b.Release();
  FileLock d(dir_ / ".lock");
  d.Acquire();
  EXPECT_TRUE(d.Held());
}

TEST_F(FileLockTest, DeathOfTheHolderFreesTheLock) {
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    FileLock lock(dir_ / ".lock");
    const char ok = lock.TryAcquire() ? '1' : '0';
    (void)!write(ready[1], &ok, 1);
    pause();  // killed below while still holding the lock
    _exit(0);
  }
  char ok = 0;
  ASSERT_EQ(read(ready[0], &ok, 1), 1);
  ASSERT_EQ(ok, '1');
  FileLock mine(dir_ / ".lock");
  EXPECT_FALSE(mine.TryAcquire());
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(mine.TryAcquire());
  close(ready[0]);
  close(ready[1]);
}

TEST_F(FileLockTest, MissingFolderIsAnErrorWithThePath) {
  FileLock lock(dir_ / "missing" / ".lock");
  try {
    (void)lock.TryAcquire();
    FAIL() << "locked in a missing folder";
  } catch (const EOSError& e) {
    EXPECT_NE(std::string(e.what()).find((dir_ / "missing").string()), std::string::npos);
  }
}

}  // namespace
}  // namespace zb
