#include "platform/file_system.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>

#include "base/errors.h"
#include "fault_file.h"
#include "temp_files.h"

namespace zb {
namespace {

namespace fs = std::filesystem;

class FileSystemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = temp_.path();
  }
  void WriteText(const fs::path& p, const std::string& text) {
    std::ofstream(p, std::ios::binary) << text;
  }
  std::string ReadText(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  static std::span<const std::byte> Bytes(const std::string& s) {
    return std::as_bytes(std::span<const char>(s.data(), s.size()));
  }
  zb::testfiles::TempDir temp_{"zb_fs_test"};
  fs::path dir_;
};

TEST_F(FileSystemTest, ReadWriteSeekAndPositionalIo) {
  File f = File::CreateExclusive(dir_ / "a.bin");
  f.Write(Bytes("hello world"));
  EXPECT_EQ(f.Size(), 11u);
  f.WriteAt(0, Bytes("J"));
  std::string buf(5, '\0');
  EXPECT_EQ(f.ReadAt(0, std::as_writable_bytes(std::span<char>(buf.data(), 5))), 5u);
  EXPECT_EQ(buf, "Jello");
  f.Seek(6);
  std::string rest(20, '\0');
  // A read past the end returns the bytes that exist, not an error.
  EXPECT_EQ(f.Read(std::as_writable_bytes(std::span<char>(rest.data(), rest.size()))), 5u);
  EXPECT_EQ(rest.substr(0, 5), "world");
  f.Close();
  EXPECT_FALSE(f.IsOpen());
}

TEST_F(FileSystemTest, ErrorsCarryPathAndReason) {
  try {
    (void)File::OpenRead(dir_ / "missing.txt");
    FAIL() << "opening a missing file succeeded";
  } catch (const EOSError& e) {
    EXPECT_EQ(e.Errno(), ENOENT);
    EXPECT_NE(std::string(e.what()).find((dir_ / "missing.txt").string()), std::string::npos);
  }
  WriteText(dir_ / "exists", "x");
  EXPECT_THROW((void)File::CreateExclusive(dir_ / "exists"), EOSError);
}

TEST_F(FileSystemTest, StatDistinguishesTypesAndMissing) {
  WriteText(dir_ / "f", "abc");
  fs::create_directory(dir_ / "d");
  fs::create_symlink(dir_ / "f", dir_ / "l");
  EXPECT_FALSE(Stat(dir_ / "nothing").Exists());
  EXPECT_TRUE(Stat(dir_ / "f").IsRegular());
  EXPECT_EQ(Stat(dir_ / "f").size, 3u);
  EXPECT_TRUE(Stat(dir_ / "d").IsDirectory());
  EXPECT_TRUE(LStat(dir_ / "l").IsSymlink());
  EXPECT_TRUE(Stat(dir_ / "l").IsRegular());
  EXPECT_TRUE(SameFile(Stat(dir_ / "l"), Stat(dir_ / "f")));
  EXPECT_FALSE(SameFile(Stat(dir_ / "d"), Stat(dir_ / "f")));
}

TEST_F(FileSystemTest, TimesKeepFullResolution) {
  WriteText(dir_ / "f", "abc");
  timespec t{1'600'000'000, 123'456'789};
  SetFileTimes(dir_ / "f", t);
  FileInfo info = Stat(dir_ / "f");
  EXPECT_EQ(info.mtime.tv_sec, t.tv_sec);
  EXPECT_EQ(info.mtime.tv_nsec, t.tv_nsec);
}

TEST_F(FileSystemTest, DosAttributesMapBothWays) {
  WriteText(dir_ / "f", "abc");
  fs::create_directory(dir_ / "d");
  EXPECT_EQ(DosAttributes(Stat(dir_ / "f")), kAttrArchive);
  EXPECT_EQ(DosAttributes(Stat(dir_ / "d")) & kAttrDirectory, kAttrDirectory);

  ApplyDosAttributes(dir_ / "f", kAttrArchive | kAttrReadOnly);
  FileInfo ro = Stat(dir_ / "f");
  EXPECT_EQ(ro.mode & 0222, 0u) << "read-only must clear every write bit";
  EXPECT_EQ(DosAttributes(ro), kAttrArchive | kAttrReadOnly);

  ApplyDosAttributes(dir_ / "f", kAttrArchive);
  EXPECT_NE(Stat(dir_ / "f").mode & S_IWUSR, 0u);
}

TEST_F(FileSystemTest, MakeDirsCreatesParentsAndNamesTheBlocker) {
  MakeDirs(dir_ / "a/b/c");
  EXPECT_TRUE(Stat(dir_ / "a/b/c").IsDirectory());
  MakeDirs(dir_ / "a/b/c");  // existing folders are fine
  WriteText(dir_ / "a/file", "x");
  try {
    MakeDirs(dir_ / "a/file/sub");
    FAIL() << "made a folder below a file";
  } catch (const EOSError& e) {
    EXPECT_NE(std::string(e.what()).find("a/file"), std::string::npos) << e.what();
  }
}

TEST_F(FileSystemTest, TempFilesAreUniqueAndNeverLookLikeArchives) {
  File a = CreateTempFile(dir_, "ZBK", ".tmp");
  File b = CreateTempFile(dir_, "ZBK", ".tmp");
  EXPECT_NE(a.Path(), b.Path());
  EXPECT_EQ(a.Path().parent_path(), dir_);
  EXPECT_EQ(a.Path().filename().string().rfind("ZBK", 0), 0u);
  EXPECT_EQ(a.Path().extension(), ".tmp");
}

TEST_F(FileSystemTest, RenameReplacesAndRemoveReportsMissing) {
  WriteText(dir_ / "new", "new");
  WriteText(dir_ / "old", "old");
  RenameFile(dir_ / "new", dir_ / "old");
  EXPECT_EQ(ReadText(dir_ / "old"), "new");
  EXPECT_TRUE(RemoveFile(dir_ / "old"));
  EXPECT_FALSE(RemoveFile(dir_ / "old"));
  EXPECT_GT(FreeSpace(dir_), 0u);
}

TEST_F(FileSystemTest, WritableFileAppendsAfterPatching) {
  auto out = DefaultWritableFileFactory().Wrap(File::CreateExclusive(dir_ / "w"));
  out->Append(Bytes("0123456789"));
  out->WriteAt(2, Bytes("xy"));
  out->Append(Bytes("AB"));
  EXPECT_EQ(out->Position(), 12u);
  out->Close();
  EXPECT_EQ(ReadText(dir_ / "w"), "01xy456789AB");
}

TEST_F(FileSystemTest, FaultFileStoresWhatFitsThenFailsWithNoSpace) {
  testing::FaultFileFactory factory(5);
  auto out = factory.Wrap(File::CreateExclusive(dir_ / "w"));
  out->Append(Bytes("abc"));
  try {
    out->Append(Bytes("defg"));
    FAIL() << "a full disk accepted the write";
  } catch (const EOSError& e) {
    EXPECT_EQ(e.Errno(), ENOSPC);
  }
  out->Close();
  EXPECT_EQ(ReadText(dir_ / "w"), "abcde");
}

}  // namespace
}  // namespace zb
