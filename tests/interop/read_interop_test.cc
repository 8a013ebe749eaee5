// Archives written by other ZIP tools (Info-ZIP zip, 7-Zip, Python's
// zipfile) are extracted by our reader to identical bytes and times. A test
// is skipped when its tool is not installed.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>

#include "platform/file_system.h"
#include "zip/zip_reader.h"

namespace zb::zip {
namespace {

namespace fs = std::filesystem;

bool HaveTool(const std::string& tool) {
  return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0;
}

int Shell(const std::string& cmd) { return std::system(cmd.c_str()); }

std::string Quote(const fs::path& p) {
  std::string out = "'";
  for (char c : p.string()) {
    if (c == '\'')
      out += "'\\''";
    else
      out += c;
  }
  return out + "'";
}

class ReadInteropTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/zb_read_interop_XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    src_ = root_ / "src";
    dest_ = root_ / "dest";
    std::string mixed;
    for (uint32_t i = 0; i < 300000; ++i) mixed += static_cast<char>((i * i + i / 97) % 256);
    files_ = {{"a.txt", "hello from a\n"},
              {"sub/b.bin", mixed},
              {"sub/deep/empty.txt", ""},
              {"caf\u00e9 \u20ac.txt", "unicode name"}};
    // An even second: DOS times have two-second steps, so the round trip is exact.
    timespec when{1614834368, 0};
    for (const auto& [name, data] : files_) {
      fs::create_directories((src_ / name).parent_path());
      std::ofstream(src_ / name, std::ios::binary) << data;
      SetFileTimes(src_ / name, when);
    }
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  // Extracts `archive` with our reader and compares every file and its time.
  void ExpectExtractsIdentically(const fs::path& archive, const std::string& password = {}) {
    TZipReader r;
    r.SetZipName(archive.string());
    TUnZipOptions o;
    o.DestDir = dest_.string();
    o.RecreateDirs = true;
    o.DoAll = true;
    o.Password = password;
    std::vector<std::string> problems;
    TUnZipEvents ev;
    ev.OnEntryProblem = [&](const EntryProblem& p) {
      problems.push_back(p.entry_name + ": " + p.reason);
    };
    r.UnZip(o, ev);
    EXPECT_TRUE(problems.empty()) << problems.front();
    for (const auto& [name, data] : files_) {
      fs::path out = dest_ / name;
      std::ifstream in(out, std::ios::binary);
      std::string got{std::istreambuf_iterator<char>(in), {}};
      EXPECT_TRUE(fs::exists(out)) << name;
      EXPECT_EQ(got, data) << name;
      EXPECT_EQ(Stat(out).mtime.tv_sec, Stat(src_ / name).mtime.tv_sec) << name;
    }
    TZipReader t;
    t.SetZipName(archive.string());
    TestResult result = t.Test(o, {});
    EXPECT_EQ(result.failed, 0);
    EXPECT_GT(result.tested, 0);
  }

  fs::path root_, src_, dest_;
  std::map<std::string, std::string> files_;
};

TEST_F(ReadInteropTest, InfoZipDeflatedAndStored) {
  if (!HaveTool("zip")) GTEST_SKIP() << "zip is not installed";
  ASSERT_EQ(Shell("cd " + Quote(src_) + " && zip -q -r " + Quote(root_ / "d.zip") + " ."), 0);
  ExpectExtractsIdentically(root_ / "d.zip");
  fs::remove_all(dest_);
  ASSERT_EQ(Shell("cd " + Quote(src_) + " && zip -q -0 -r " + Quote(root_ / "s.zip") + " ."), 0);
  ExpectExtractsIdentically(root_ / "s.zip");
}

TEST_F(ReadInteropTest, InfoZipStreamedWithDataDescriptors) {
  if (!HaveTool("zip")) GTEST_SKIP() << "zip is not installed";
  // Writing to a pipe makes zip use data descriptors (flag bit 3).
  ASSERT_EQ(Shell("cd " + Quote(src_) + " && zip -q -r - . | cat > " + Quote(root_ / "p.zip")), 0);
  ExpectExtractsIdentically(root_ / "p.zip");
  // Input from stdin as well: an entry named "-".
  ASSERT_EQ(Shell("printf 'piped input' | zip -q - - > " + Quote(root_ / "stdin.zip")), 0);
  TZipReader r;
  r.SetZipName((root_ / "stdin.zip").string());
  TUnZipOptions o;
  o.DestDir = (root_ / "stdin").string();
  o.DoAll = true;
  EXPECT_EQ(r.UnZip(o, {}), 1);
  std::ifstream in(root_ / "stdin" / "-", std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "piped input");
}

TEST_F(ReadInteropTest, InfoZipEncrypted) {
  if (!HaveTool("zip")) GTEST_SKIP() << "zip is not installed";
  ASSERT_EQ(Shell("cd " + Quote(src_) + " && zip -q -r -P s3cret " + Quote(root_ / "e.zip") + " ."),
            0);
  ExpectExtractsIdentically(root_ / "e.zip", "s3cret");
}

TEST_F(ReadInteropTest, SevenZipDeflateCopyAndZipCrypto) {
  if (!HaveTool("7z")) GTEST_SKIP() << "7z is not installed";
  const char* variants[][2] = {{"deflate.zip", "-mm=Deflate"},
                               {"copy.zip", "-mm=Copy"},
                               {"crypt.zip", "-mm=Deflate -pPW -mem=ZipCrypto"}};
  for (const auto& v : variants) {
    fs::remove_all(dest_);
    ASSERT_EQ(Shell("cd " + Quote(src_) + " && 7z a -tzip " + v[1] + " " + Quote(root_ / v[0]) +
                    " . >/dev/null"),
              0);
    SCOPED_TRACE(v[0]);
    ExpectExtractsIdentically(root_ / v[0],
                              std::string(v[1]).find("-pPW") != std::string::npos ? "PW" : "");
  }
}

TEST_F(ReadInteropTest, PythonZipfile) {
  if (!fs::exists("/usr/bin/python3")) GTEST_SKIP() << "/usr/bin/python3 is missing";
  std::string script =
      "import os, sys, zipfile\n"
      "src, out, method = sys.argv[1], sys.argv[2], int(sys.argv[3])\n"
      "with zipfile.ZipFile(out, 'w', method) as z:\n"
      "    for d, _, names in os.walk(src):\n"
      "        for n in names:\n"
      "            p = os.path.join(d, n)\n"
      "            z.write(p, os.path.relpath(p, src))\n";
  std::ofstream(root_ / "make.py") << script;
  for (int method : {0, 8}) {
    fs::remove_all(dest_);
    fs::path out = root_ / ("py" + std::to_string(method) + ".zip");
    ASSERT_EQ(Shell("/usr/bin/python3 " + Quote(root_ / "make.py") + " " + Quote(src_) + " " +
                    Quote(out) + " " + std::to_string(method)),
              0);
    ExpectExtractsIdentically(out);
  }
}

}  // namespace
}  // namespace zb::zip
