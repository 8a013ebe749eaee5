// Archives written by the engine, checked with other ZIP tools: Info-ZIP
// unzip, 7z and Python's zipfile. Each check is skipped when its tool is
// missing.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "zip/archive_test_util.h"
#include "zip/zip_writer.h"

namespace zb::zip {
namespace {

namespace fs = std::filesystem;
using ztest::ReadFile;

using ztest::WriteFile;

constexpr time_t kMtime = 1700000000;  // even: DOS times have 2-second steps

std::string Quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  return out + "'";
}

struct Case {
  int level;
  std::string password;
};

class WriteInteropTest : public ::testing::TestWithParam<Case> {
 protected:
  void SetUp() override {
    src_ = dir_ / "src";
    std::string text;
    for (int i = 0; i < 3000; ++i) text += "interop line " + std::to_string(i * 7) + "\n";
    std::string binary(300000, '\0');
    uint32_t seed = 99;
    for (char& c : binary) {
      seed = seed * 1664525 + 1013904223;
      c = static_cast<char>(seed >> 24);
    }
    files_ = {{"text.txt", text},
              {"random.bin", binary},
              {"empty.dat", ""},
              {"gr\xC3\xBC\xC3\x9F"
               "e.txt",
               "CP437 can store this name"},
              {"\xE6\x97\xA5\xE6\x9C\xAC.txt", "this name needs UTF-8"}};
    for (const auto& [name, data] : files_) {
      WriteFile(src_ + "/" + name, data);
      ztest::SetMtime(src_ + "/" + name, kMtime);
    }
    zip_ = dir_ / "out.zip";
  }

  void WriteArchive(const Case& c) {
    TZipOptions o;
    o.ZipName = zip_;
    o.PackLevel = c.level;
    o.Password = c.password;
    o.FilesList = {src_ + "/*"};
    ASSERT_EQ(TZipWriter().Zip(o, {}), static_cast<int>(files_.size()));
  }

  ztest::TempDir dir_;
  std::string src_;
  std::string zip_;
  std::map<std::string, std::string> files_;
};

TEST_P(WriteInteropTest, UnzipTestsAndExtractsIdenticalBytesAndTimes) {
  if (!ztest::HaveTool("unzip")) GTEST_SKIP() << "unzip not installed";
  const Case c = GetParam();
  WriteArchive(c);
  const std::string pw = c.password.empty() ? "" : " -P " + Quote(c.password);
  EXPECT_EQ(ztest::Run("LC_ALL=C.UTF-8 unzip -tqq" + pw + " " + Quote(zip_) + " >/dev/null 2>&1"),
            0);
  const std::string out = dir_ / "unzipped";
  ASSERT_EQ(ztest::Run("LC_ALL=C.UTF-8 unzip -qq -o" + pw + " " + Quote(zip_) + " -d " +
                       Quote(out) + " >/dev/null 2>&1"),
            0);
  for (const auto& [name, data] : files_) {
    const std::string path = out + "/" + name;
    const bool ascii = std::all_of(name.begin(), name.end(),
                                   [](char ch) { return static_cast<unsigned char>(ch) < 0x80; });
    if (!ascii && !fs::exists(path)) {
      // Some unzip builds map stored CP437 names to another local form;
      // the data are what counts here, Python checks the names below.
      continue;
    }
    EXPECT_EQ(ReadFile(path), data) << name;
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0) << name;
    EXPECT_EQ(st.st_mtime, kMtime) << name;
  }
  // The two plain-ASCII files must be there whatever the name handling.
  EXPECT_TRUE(fs::exists(out + "/text.txt"));
  EXPECT_TRUE(fs::exists(out + "/random.bin"));
}

TEST_P(WriteInteropTest, SevenZipTests) {
  if (!ztest::HaveTool("7z")) GTEST_SKIP() << "7z not installed";
  const Case c = GetParam();
  WriteArchive(c);
  EXPECT_EQ(ztest::Run("7z t -p" + Quote(c.password) + " " + Quote(zip_) + " >/dev/null 2>&1"), 0);
}

TEST_P(WriteInteropTest, PythonZipfileReadsNamesAndData) {
  if (!ztest::HaveTool("/usr/bin/python3")) GTEST_SKIP() << "python3 not installed";
  const Case c = GetParam();
  WriteArchive(c);
  // The script compares every member with the file of the same name in the
  // source folder; names decode by flag bit 11 (UTF-8) or as CP437.
  const std::string script = dir_ / "check.py";
  WriteFile(script,
            "import os, sys, zipfile\n"
            "zpath, src, pwd = sys.argv[1], sys.argv[2], sys.argv[3].encode('utf-8')\n"
            "z = zipfile.ZipFile(zpath)\n"
            "if pwd: z.setpassword(pwd)\n"
            "assert z.testzip() is None\n"
            "names = sorted(z.namelist())\n"
            "want = sorted(os.listdir(src))\n"
            "assert names == want, (names, want)\n"
            "for n in names:\n"
            "    with open(os.path.join(src, n), 'rb') as f:\n"
            "        assert z.read(n) == f.read(), n\n");
  EXPECT_EQ(ztest::Run("/usr/bin/python3 " + Quote(script) + " " + Quote(zip_) + " " + Quote(src_) +
                       " " + Quote(c.password)),
            0);
}

INSTANTIATE_TEST_SUITE_P(Levels, WriteInteropTest,
                         ::testing::Values(Case{0, ""}, Case{1, ""}, Case{6, ""}, Case{9, ""},
                                           Case{0, "pw"}, Case{1, "pw"}, Case{6, "pw"},
                                           Case{9, "pw"}, Case{6, "p\xC3\xA4ssw\xC3\xB6rd"}));

// An update that carries entries over, and a removal, still pass every tool.
TEST(WriteInteropUpdateTest, UpdatedArchivePassesUnzip) {
  if (!ztest::HaveTool("unzip")) GTEST_SKIP() << "unzip not installed";
  ztest::TempDir dir;
  const std::string zip = dir / "u.zip";
  TZipWriter w;
  TZipOptions o;
  o.ZipName = zip;
  WriteFile(dir / "a.txt", "first");
  WriteFile(dir / "b.txt", "second");
  o.FilesList = {dir / "a.txt", dir / "b.txt"};
  ASSERT_EQ(w.Zip(o, {}), 2);
  WriteFile(dir / "c.txt", "third");
  o.FilesList = {dir / "c.txt"};
  ASSERT_EQ(w.Zip(o, {}), 1);
  TRemoveOptions remove;
  remove.ZipName = zip;
  remove.FilesList = {"a.txt"};
  ASSERT_EQ(w.RemoveEntries(remove, {}), 1);
  EXPECT_EQ(ztest::Run("unzip -tqq " + Quote(zip) + " >/dev/null 2>&1"), 0);
  if (ztest::HaveTool("7z")) {
    EXPECT_EQ(ztest::Run("7z t " + Quote(zip) + " >/dev/null 2>&1"), 0);
  }
}

// The ZIP64 local block reserved for a file that could have reached 4 GiB
// is understood by the other tools.
TEST(WriteInteropZip64Test, ReservedLocalBlockPassesUnzipAndPython) {
  ztest::TempDir dir;
  const std::string zip = dir / "z.zip";
  WriteFile(dir / "f.txt", "pretend big");
  TZipOptions o;
  o.ZipName = zip;
  o.SizeOverrideForTest = [](const std::string&, uint64_t) { return 0xFFFFFFF0ull; };
  o.FilesList = {dir / "f.txt"};
  ASSERT_EQ(TZipWriter().Zip(o, {}), 1);
  if (ztest::HaveTool("unzip")) {
    EXPECT_EQ(ztest::Run("unzip -tqq " + Quote(zip) + " >/dev/null 2>&1"), 0);
  }
  if (ztest::HaveTool("7z")) {
    EXPECT_EQ(ztest::Run("7z t " + Quote(zip) + " >/dev/null 2>&1"), 0);
  }
  EXPECT_EQ(ztest::Run("/usr/bin/python3 -c \"import zipfile,sys; z=zipfile.ZipFile(sys.argv[1]); "
                       "assert z.testzip() is None; assert z.read('f.txt')==b'pretend big'\" " +
                       Quote(zip)),
            0);
}

// Hands out output files positioned 5 GiB in (a sparse hole), so that every
// offset in the archive is beyond what 32 bits hold.
class FarOffsetFactory final : public WritableFileFactory {
 public:
  std::unique_ptr<WritableFile> Wrap(File file) override {
    (void)file.Seek(5ull << 30);
    return DefaultWritableFileFactory().Wrap(std::move(file));
  }
};

TEST(WriteInteropZip64Test, OffsetsBeyond4GiBGetZip64Records) {
  if (!ztest::HaveTool("/usr/bin/python3")) GTEST_SKIP() << "python3 not installed";
  ztest::TempDir dir;
  const std::string zip = dir / "far.zip";
  WriteFile(dir / "src/a.txt", "first file");
  WriteFile(dir / "src/b.txt", "second file");
  FarOffsetFactory factory;
  TZipWriter w;
  TZipOptions o;
  o.ZipName = zip;
  o.OutputFactory = &factory;
  o.ArchiveComment = "far away";
  o.FilesList = {dir / "src/a.txt", dir / "src/b.txt"};
  ASSERT_EQ(w.Zip(o, {}), 2);
  // The writer's own reader found both entries through the ZIP64 records.
  const TZipReader& r = w.Directory();
  ASSERT_EQ(r.EntryCount(), 2);
  // Header, name "a.txt", extended timestamp block, data.
  EXPECT_EQ(r.Entry(1).local_header_offset,
            (5ull << 30) + 30 + 5 + 9 + r.Entry(0).compressed_size);
  // Python follows the ZIP64 end record and the offsets in the extra fields;
  // the file is sparse, so this reads only a few kilobytes.
  EXPECT_EQ(ztest::Run("/usr/bin/python3 -c \"import zipfile,sys; z=zipfile.ZipFile(sys.argv[1]); "
                       "assert z.testzip() is None; assert z.read('b.txt')==b'second file'; "
                       "assert z.comment==b'far away'; "
                       "assert all(i.header_offset > 2**32 for i in z.infolist())\" " +
                       Quote(zip)),
            0);
}

}  // namespace
}  // namespace zb::zip
