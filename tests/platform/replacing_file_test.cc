// ReplacingFile: a failure at any step leaves the target as it was and no
// temporary file; a commit carries mode and time; a no-replace placement
// never replaces a file that appeared meanwhile.

#include "platform/replacing_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <set>
#include <string>

#include "base/errors.h"
#include "temp_files.h"

namespace zb {
namespace {

namespace fs = std::filesystem;
using testfiles::ReadFile;
using testfiles::WriteFile;

std::span<const std::byte> Bytes(const std::string& s) {
  return std::as_bytes(std::span<const char>(s.data(), s.size()));
}

// Output files that fail at one named step: "write", "flush" or "close".
class FailingFile final : public WritableFile {
 public:
  FailingFile(std::unique_ptr<WritableFile> base, std::string step)
      : base_(std::move(base)), step_(std::move(step)) {}
  void Append(std::span<const std::byte> data) override {
    if (step_ == "write" && base_->Position() > 0) Fail(ENOSPC);
    base_->Append(data);
  }
  void WriteAt(uint64_t offset, std::span<const std::byte> data) override {
    base_->WriteAt(offset, data);
  }
  [[nodiscard]] uint64_t Position() const override { return base_->Position(); }
  void Sync() override {
    if (step_ == "flush") Fail(EIO);
    base_->Sync();
  }
  void Close() override {
    base_->Close();
    if (step_ == "close") Fail(EIO);
  }
  void Truncate(uint64_t size) override { base_->Truncate(size); }
  [[nodiscard]] const fs::path& Path() const override { return base_->Path(); }

 private:
  [[noreturn]] void Fail(int err) { throw EOSError("Unable to write", Path().string(), err); }
  std::unique_ptr<WritableFile> base_;
  std::string step_;
};

class FailingFactory final : public WritableFileFactory {
 public:
  explicit FailingFactory(std::string step) : step_(std::move(step)) {}
  std::unique_ptr<WritableFile> Wrap(File file) override {
    return std::make_unique<FailingFile>(DefaultWritableFileFactory().Wrap(std::move(file)), step_);
  }

 private:
  std::string step_;
};

class ReplacingFileTest : public ::testing::Test {
 protected:
  std::string Target() const { return dir_ / "target.zip"; }
  // Every name in the folder.
  std::set<std::string> Names() const {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_.path())) {
      names.insert(e.path().filename().string());
    }
    return names;
  }
  // Writes "new content" in two pieces and commits.
  static void WriteAndCommit(ReplacingFile& f) {
    f.Write(Bytes("new "));
    f.Write(Bytes("content"));
    f.Commit();
  }

  testfiles::TempDir dir_{"zb_replacing"};
};

TEST_F(ReplacingFileTest, FailureAtEveryStepLeavesTheTargetAndNoTemporaryFile) {
  for (const char* step : {"write", "flush", "close", "rename"}) {
    SCOPED_TRACE(step);
    fs::remove_all(Target());
    FailingFactory factory(step);
    if (std::string(step) == "rename") {
      // A folder of the target's name cannot be renamed over.
      fs::create_directories(Target());
      WriteFile(Target() + "/inside", "kept");
    } else {
      WriteFile(Target(), "old content");
    }
    const struct stat before = [&] {
      struct stat st {};
      ::stat(Target().c_str(), &st);
      return st;
    }();
    EXPECT_THROW(
        {
          ReplacingFile f = ReplacingFile::Create(Target(), {.factory = &factory});
          WriteAndCommit(f);
        },
        EOSError);
    struct stat after {};
    ASSERT_EQ(::stat(Target().c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    if (std::string(step) == "rename") {
      EXPECT_EQ(ReadFile(Target() + "/inside"), "kept");
    } else {
      EXPECT_EQ(ReadFile(Target()), "old content");
    }
    EXPECT_EQ(Names(), std::set<std::string>{"target.zip"});
  }
  // Abandoned without a commit: gone as well.
  {
    ReplacingFile f = ReplacingFile::Create(dir_ / "fresh.zip");
    f.Write(Bytes("half"));
    EXPECT_TRUE(fs::exists(f.TempPath()));
  }
  EXPECT_EQ(Names(), std::set<std::string>{"target.zip"});
}

TEST_F(ReplacingFileTest, CommitReplacesAtomicallyWithModeAndTime) {
  WriteFile(Target(), "old content");
  ReplacingFile f = ReplacingFile::Create(Target());
  const std::string temp = f.TempPath().filename().string();
  EXPECT_TRUE(ReplacingFile::IsTempName(temp)) << temp;
  EXPECT_EQ(temp.rfind(".target.zip.zbk-", 0), 0u) << temp;
  EXPECT_FALSE(temp.ends_with(".zip"));
  f.Write(Bytes("new content"));
  EXPECT_EQ(ReadFile(Target()), "old content") << "replaced only at the commit";
  struct stat st {};
  ASSERT_EQ(::stat(f.TempPath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 077, 0u) << "nobody else reads it before it is in place";
  const timespec when{1500000000, 250000000};
  f.Commit(0640, when);
  EXPECT_EQ(ReadFile(Target()), "new content");
  ASSERT_EQ(::stat(Target().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(st.st_mtim.tv_sec, when.tv_sec);
  EXPECT_EQ(st.st_mtim.tv_nsec, when.tv_nsec);
  EXPECT_EQ(Names(), std::set<std::string>{"target.zip"});
}

TEST_F(ReplacingFileTest, NoReplacePlacementKeepsAFileThatAppeared) {
  ReplacingFile f = ReplacingFile::Create(Target());
  f.Write(Bytes("ours"));
  WriteFile(Target(), "arrived meanwhile");
  EXPECT_FALSE(f.CommitNoReplace());
  EXPECT_EQ(ReadFile(Target()), "arrived meanwhile");
  // The copy waits for the caller's decision: replace after all...
  f.Commit();
  EXPECT_EQ(ReadFile(Target()), "ours");
  EXPECT_EQ(Names(), std::set<std::string>{"target.zip"});

  // ...or nothing, and it goes with its holder.
  fs::remove(Target());
  {
    ReplacingFile g = ReplacingFile::Create(Target());
    WriteFile(Target(), "arrived meanwhile");
    EXPECT_FALSE(g.CommitNoReplace());
  }
  EXPECT_EQ(Names(), std::set<std::string>{"target.zip"});
  fs::remove(Target());
  ReplacingFile h = ReplacingFile::Create(Target());
  h.Write(Bytes("placed"));
  EXPECT_TRUE(h.CommitNoReplace());
  EXPECT_EQ(ReadFile(Target()), "placed");
  struct stat st {};
  ASSERT_EQ(::stat(Target().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, h.NewFileMode()) << "a new file's mode when none is given";
}

TEST_F(ReplacingFileTest, LeftoverSweepRemovesOnlyDeadTemporaryFiles) {
  ReplacingFile live = ReplacingFile::Create(Target());
  const std::string dead = dir_ / ".other.zip.zbk-abcdefgh.tmp";
  const std::string lookalike = dir_ / ".other.zip.zbk-ABCDEFGH.tmp";
  WriteFile(dead, "killed run");
  WriteFile(lookalike, "not ours");
  ReplacingFile::RemoveLeftovers(dir_.path());
  EXPECT_TRUE(fs::exists(live.TempPath())) << "held by a live holder";
  EXPECT_FALSE(fs::exists(dead));
  EXPECT_TRUE(fs::exists(lookalike));
}

TEST_F(ReplacingFileTest, TargetNameAtTheLengthLimitStillGetsATemporaryFile) {
  std::string name;
  while (name.size() < 251) name += "\xC3\xA4";  // the cut must not split a character
  name = name.substr(0, 251) + ".zip";
  ReplacingFile f = ReplacingFile::Create(dir_ / name);
  EXPECT_LE(f.TempPath().filename().string().size(), 255u);
  WriteAndCommit(f);
  EXPECT_EQ(ReadFile(dir_ / name), "new content");
}

}  // namespace
}  // namespace zb
