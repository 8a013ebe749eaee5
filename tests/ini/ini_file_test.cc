#include "ini/ini_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <random>

#include "base/errors.h"
#include "platform/atomic_file.h"
#include "temp_files.h"

namespace zb::ini {
namespace {

namespace fs = std::filesystem;

class IniFileTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = temp_.path();
    path_ = dir_ / "project.ini";
  }
  void Put(const std::string& text) const { std::ofstream(path_, std::ios::binary) << text; }
  std::string Get() const { return ReadFileIfExists(path_).value_or("<missing>"); }

  zb::testfiles::TempDir temp_{"zb_ini"};
  fs::path dir_;
  fs::path path_;
};

// One row: a file, a read, and what that read must give.
struct ReadCase {
  const char* what;
  std::string file;
  const char* section;
  const char* key;
  char kind;  // 's' string, 'i' integer, 'b' boolean
  std::string def;
  std::string expected;
};

TEST(IniReadSemantics, ProfileStringRules) {
  const std::string long_value(3000, 'x');
  const ReadCase cases[] = {
      {"plain", "[A]\nk=v\n", "A", "k", 's', "d", "v"},
      {"section case", "[Common]\nk=v\n", "COMMON", "k", 's', "d", "v"},
      {"key case", "[A]\nProject Count=3\n", "a", "project count", 'i', "0", "3"},
      {"blanks around names", "  [ A ]  \n  k  =v\n", "A", "k", 's', "d", "v"},
      {"blanks around value", "[A]\nk=  v w  \n", "A", "k", 's', "d", "v w"},
      {"one pair of quotes", "[A]\nk= \"q v\" \n", "A", "k", 's', "d", "q v"},
      {"single quotes", "[A]\nk='q'\n", "A", "k", 's', "d", "q"},
      {"only one pair", "[A]\nk=\"\"q\"\"\n", "A", "k", 's', "d", "\"q\""},
      {"unmatched quote kept", "[A]\nk=\"q\n", "A", "k", 's', "d", "\"q"},
      {"empty value is no default", "[A]\nk=\n", "A", "k", 's', "d", ""},
      {"missing key", "[A]\nk=v\n", "A", "other", 's', "d", "d"},
      {"missing section", "[A]\nk=v\n", "B", "k", 's', "d", "d"},
      {"key of other section", "[A]\nk=v\n[B]\n", "B", "k", 's', "d", "d"},
      {"first duplicate wins", "[A]\nk=1\nk=2\n", "A", "k", 's', "d", "1"},
      {"first section wins", "[A]\nk=1\n[a]\nk=2\n", "A", "k", 's', "d", "1"},
      {"value cut at 2047", "[A]\nk=" + long_value + "\n", "A", "k", 's', "",
       long_value.substr(0, 2047)},
      {"equals in value", "[A]\nk=a=b\n", "A", "k", 's', "d", "a=b"},
      {"comment is no key", "[A]\n;k=v\n", "A", "k", 's', "d", "d"},
      {"CRLF", "[A]\r\nk=v\r\n", "A", "k", 's', "d", "v"},
      {"integer", "[A]\nn= 42 \n", "A", "n", 'i', "7", "42"},
      {"negative integer", "[A]\nn=-3\n", "A", "n", 'i', "7", "-3"},
      {"quoted integer", "[A]\nn=\"5\"\n", "A", "n", 'i', "7", "5"},
      {"garbage integer", "[A]\nn=5x\n", "A", "n", 'i', "7", "7"},
      {"empty integer", "[A]\nn=\n", "A", "n", 'i', "7", "7"},
      {"overflow integer", "[A]\nn=99999999999\n", "A", "n", 'i', "7", "7"},
      {"missing integer", "[A]\n", "A", "n", 'i', "7", "7"},
      {"bool 1", "[A]\nb=1\n", "A", "b", 'b', "0", "1"},
      {"bool 0", "[A]\nb=0\n", "A", "b", 'b', "1", "0"},
      {"bool any non-zero", "[A]\nb=-5\n", "A", "b", 'b', "0", "1"},
      {"bool word is no integer", "[A]\nb=true\n", "A", "b", 'b', "0", "0"},
      {"bool missing", "[A]\n", "A", "b", 'b', "1", "1"},
      {"last bracket ends the name", "[a]b]\nk=v\n", "a]b", "k", 's', "d", "v"},
      {"header without bracket", "[A]\nk=1\n[B\nk=2\n", "A", "k", 's', "d", "1"},
      {"keys under a broken header", "[B\nk=2\n", "B", "k", 's', "d", "d"},
      {"line without equals", "[A]\nk\n", "A", "k", 's', "d", "d"},
      {"NUL in value", std::string("[A]\nk=a\0b\n", 10), "A", "k", 's', "d", "d"},
      {"invalid UTF-8", "[A]\nk=M\xFCller\n", "A", "k", 's', "d", "d"},
      {"UTF-8 kept", "[A]\nk=M\xC3\xBCller\n", "A", "k", 's', "d", "M\xC3\xBCller"},
      {"BOM", "\xEF\xBB\xBF[A]\nk=v\n", "A", "k", 's', "d", "v"},
      {"keys before any section", "k=v\n[A]\n", "A", "k", 's', "d", "d"},
  };
  for (const ReadCase& c : cases) {
    const IniFile f = IniFile::FromText(c.file);
    std::string got;
    switch (c.kind) {
      case 's':
        got = f.ReadString(c.section, c.key, c.def);
        break;
      case 'i':
        got = std::to_string(f.ReadInteger(c.section, c.key, std::stoi(c.def)));
        break;
      default:
        got.assign(1, f.ReadBool(c.section, c.key, c.def == "1") ? '1' : '0');
    }
    EXPECT_EQ(got, c.expected) << c.what;
  }
}

TEST(IniReadSemantics, CutNeverSplitsAUtf8Character) {
  // 2046 ASCII bytes, then a two-byte character straddling the limit.
  const std::string value = std::string(2046, 'a') + "\xC3\xA4" + "tail";
  const IniFile f = IniFile::FromText("[A]\nk=" + value + "\n");
  EXPECT_EQ(f.ReadString("A", "k", "d"), std::string(2046, 'a'));
}

TEST(IniReadSemantics, Lists) {
  const IniFile f = IniFile::FromText(
      "[P]\nBackup Directory Count=4\nBackup0=/a\nBackup1=\nBackup3=/d\nBackup4=/left-over\n"
      "[Q]\nCount=999999999\nItem0=x\n");
  EXPECT_EQ(f.ReadList("P", "Backup Directory Count", "Backup"),
            (std::vector<std::string>{"/a", "/d"}));
  EXPECT_EQ(f.ReadList("P", "Backup Directory Count", "Backup", false),
            (std::vector<std::string>{"/a", "", "", "/d"}));
  // A huge count costs nothing and yields what exists.
  EXPECT_EQ(f.ReadList("Q", "Count", "Item"), (std::vector<std::string>{"x"}));
  EXPECT_TRUE(f.ReadList("missing", "Count", "Item").empty());
}

TEST_F(IniFileTest, MissingFileReadsAsEmptyAndSavesNothingUntilWritten) {
  IniFile f(path_);
  EXPECT_EQ(f.ReadString("Common", "Last Project", "none"), "none");
  f.Save();
  EXPECT_FALSE(fs::exists(path_));
  f.WriteString("Common", "Last Project", "Daily");
  f.Save();
  EXPECT_EQ(Get(), "[Common]\nLast Project=Daily\n");
}

TEST_F(IniFileTest, EditsKeepEverythingElseInPlace) {
  Put("\xEF\xBB\xBF; my notes\r\n[Common]\r\nproject count = 1\r\nUnknown=keep me\r\n\r\n"
      "[Other]\r\nx=1\r\n; tail comment\r\n");
  IniFile f(path_);
  f.WriteInteger("COMMON", "Project Count", 2);  // keeps the file's spelling of the key
  f.WriteString("Common", "Count1", "b");        // new key after the last key of [Common]
  f.WriteString("New", "k", "v");                // new section at the end
  f.Save();
  EXPECT_EQ(Get(),
            "\xEF\xBB\xBF; my notes\r\n[Common]\r\nproject count =2\r\nUnknown=keep me\r\n"
            "Count1=b\r\n\r\n[Other]\r\nx=1\r\n; tail comment\r\n\r\n[New]\r\nk=v\r\n");
  const IniFile again(path_);
  EXPECT_EQ(again.ReadInteger("Common", "Project Count", 0), 2);
  EXPECT_EQ(again.ReadString("common", "count1", ""), "b");
  EXPECT_EQ(again.SectionNames(), (std::vector<std::string>{"Common", "Other", "New"}));
  EXPECT_EQ(again.KeyNames("common"),
            (std::vector<std::string>{"project count", "Unknown", "Count1"}));
}

TEST_F(IniFileTest, UnchangedWritesDoNotTouchTheFile) {
  Put("[A]\nk=v\n");
  IniFile f(path_);
  f.WriteString("a", "K", "v");
  EXPECT_FALSE(f.Modified());
  ASSERT_EQ(chmod(path_.c_str(), 0444), 0);
  fs::remove(path_);  // were Save() to write, the file would come back
  f.Save();
  EXPECT_FALSE(fs::exists(path_));
}

TEST_F(IniFileTest, EraseSectionAndKey) {
  Put("[Keep]\na=1\n[Gone]\na=1\n[gone]\nb=2\n[Keep2]\nk=1\nk=2\nj=3\n");
  IniFile f(path_);
  f.EraseSection("GONE");
  f.DeleteKey("keep2", "K");
  f.DeleteKey("keep2", "absent");
  f.EraseSection("absent");
  f.Save();
  EXPECT_EQ(Get(), "[Keep]\na=1\n[Keep2]\nj=3\n");
  IniFile g(path_);
  EXPECT_FALSE(g.SectionExists("gone"));
  EXPECT_EQ(g.ReadString("keep2", "k", "d"), "d");
  g.WriteString("Gone", "c", "3");  // a re-created section starts empty
  EXPECT_EQ(g.ReadString("gone", "a", "d"), "d");
}

TEST_F(IniFileTest, RoundTripOfEveryValueTheWriterAccepts) {
  std::mt19937 rng(12345);
  IniFile f(path_);
  std::vector<std::pair<std::string, std::string>> written;
  for (int i = 0; i < 300; ++i) {
    std::string v;
    const int len = static_cast<int>(rng() % 20);
    for (int k = 0; k < len; ++k) {
      char c = static_cast<char>(rng() % 95 + 32);  // printable ASCII incl. quotes and '='
      v += c;
    }
    const std::string key = "Key" + std::to_string(i);
    f.WriteString("Section " + std::to_string(i % 7), key, v);
    written.emplace_back(key, v);
  }
  f.Save();
  const IniFile g(path_);
  for (size_t i = 0; i < written.size(); ++i) {
    // Reading trims blanks and one pair of quotes: that is what a reader of
    // this format gets, whoever wrote the file.
    std::string_view expected = written[i].second;
    while (!expected.empty() && expected.front() == ' ') expected.remove_prefix(1);
    while (!expected.empty() && expected.back() == ' ') expected.remove_suffix(1);
    if (expected.size() >= 2 && (expected.front() == '"' || expected.front() == '\'') &&
        expected.back() == expected.front()) {
      expected = expected.substr(1, expected.size() - 2);
    }
    EXPECT_EQ(g.ReadString("section " + std::to_string(i % 7), written[i].first, "?"), expected)
        << "seed 12345, item " << i;
  }
}

TEST_F(IniFileTest, WriterRefusesWhatCouldNotBeReadBack) {
  Put("[A]\nk=v\n");
  IniFile f(path_);
  const std::string nul("a\0b", 3);
  for (const std::string& bad : {std::string("a\nb"), std::string("a\rb"), nul}) {
    EXPECT_THROW(f.WriteString("A", "k", bad), EInvalidInput);
    EXPECT_THROW(f.WriteString("A", bad, "v"), EInvalidInput);
    EXPECT_THROW(f.WriteString(bad, "k", "v"), EInvalidInput);
  }
  for (const char* bad_key : {"", " ", "a=b", "[x", ";x"}) {
    EXPECT_THROW(f.WriteString("A", bad_key, "v"), EInvalidInput) << bad_key;
  }
  EXPECT_THROW(f.WriteString("", "k", "v"), EInvalidInput);
  EXPECT_THROW(f.WriteList("A", "Count", "Item", {"ok", "bad\n"}), EInvalidInput);
  EXPECT_FALSE(f.Modified());
  EXPECT_EQ(f.ReadString("A", "Count", "none"), "none");
  f.Save();
  EXPECT_EQ(Get(), "[A]\nk=v\n");
}

TEST_F(IniFileTest, SectionNameWithBracketSurvives) {
  IniFile f(path_);
  f.WriteString("a]b", "k", "v");
  f.WriteString("[x]", "k", "w");
  f.Save();
  const IniFile g(path_);
  EXPECT_EQ(g.ReadString("A]B", "k", "d"), "v");
  EXPECT_EQ(g.ReadString("[x]", "k", "d"), "w");
}

TEST_F(IniFileTest, DamagedInputReadsSafely) {
  std::mt19937 rng(777);
  std::string garbage(1 << 16, '\0');
  for (char& c : garbage) c = static_cast<char>(rng());
  const std::string huge_line(10 << 20, 'k');
  for (const std::string& text :
       {garbage, "[" + huge_line + "\nk=v\n", "[A]\n" + huge_line + "\n",
        "[A]\nk=" + huge_line + "\n", std::string("[A]\0\nk\0=v\n", 10), std::string("\r\r\n\n["),
        std::string("]]]][[[[==\n=\n[]\n=x\n")}) {
    IniFile f = IniFile::FromText(text);
    (void)f.ReadString("A", "k", "d");
    EXPECT_EQ(f.ReadInteger("A", "missing", 9), 9);
    (void)f.SectionNames();
    f.WriteString("A", "k2", "v2");
    // What we wrote reads back, and the damaged rest survives a re-parse.
    const IniFile g = IniFile::FromText(f.Text());
    EXPECT_EQ(g.ReadString("A", "k2", "d"), "v2");
  }
  const IniFile big = IniFile::FromText("[A]\nk=" + huge_line + "\n");
  EXPECT_EQ(big.ReadString("A", "k", "d").size(), IniFile::kMaxValueLength);
}

TEST_F(IniFileTest, LargeListSavesQuickly) {
  // Thousands of include entries must not cost a quadratic key search.
  std::vector<std::string> items;
  for (int i = 0; i < 5000; ++i) items.push_back("/home/user/folder" + std::to_string(i) + "/*.*");
  IniFile f(path_);
  f.WriteList("Big", "Backup Directory Count", "Backup", items);
  f.WriteList("Big", "Backup Directory Count", "Backup", items);  // overwrite in place
  f.Save();
  const IniFile g(path_);
  EXPECT_EQ(g.ReadList("big", "Backup Directory Count", "Backup"), items);
}

// ---- Save faults ------------------------------------------------------------

// Real calls, except that writes stop with ENOSPC after `budget` bytes.
class DiskFullOps final : public FileOps {
 public:
  explicit DiskFullOps(size_t budget) : budget_(budget) {}
  ssize_t Write(int fd, const void* d, size_t n) override {
    if (budget_ == 0) {
      errno = ENOSPC;
      return -1;
    }
    const size_t take = n < budget_ ? n : budget_;
    const ssize_t w = FileOps::Write(fd, d, take);
    if (w > 0) budget_ -= static_cast<size_t>(w);
    return w;
  }

 private:
  size_t budget_;
};

TEST_F(IniFileTest, FailedSaveLeavesTheOldFileExactly) {
  const std::string old_text = "[Common]\r\nProject Count=1\r\nCount0=Daily\r\n";
  Put(old_text);
  IniFile probe(path_);
  probe.WriteList("Common", "Project Count", "Count", {"Daily", "Weekly"});
  const size_t full = probe.Text().size();
  for (size_t n = 0; n < full; ++n) {
    IniFile f(path_);
    f.WriteList("Common", "Project Count", "Count", {"Daily", "Weekly"});
    DiskFullOps ops(n);
    try {
      f.Save(ops);
      FAIL() << "saved with only " << n << " bytes of room";
    } catch (const EWriteError& e) {
      EXPECT_EQ(std::string(e.what()), "Unable to write to " + path_.string());
    }
    ASSERT_EQ(Get(), old_text) << "budget " << n;
    EXPECT_TRUE(f.Modified());  // still unsaved: a retry may succeed
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
  DiskFullOps ops(full);
  probe.Save(ops);
  EXPECT_EQ(IniFile(path_).ReadList("Common", "Project Count", "Count"),
            (std::vector<std::string>{"Daily", "Weekly"}));
}

TEST_F(IniFileTest, SaveIntoReadOnlyFolderFails) {
  Put("[A]\nk=v\n");
  ASSERT_EQ(chmod(path_.c_str(), 0666), 0);
  ASSERT_EQ(chmod(dir_.c_str(), 0555), 0);
  // Root ignores permission bits, so the attempt runs as "nobody".
  const pid_t child = fork();
  if (child == 0) {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(99);
    IniFile f(path_);
    f.WriteString("A", "k", "changed");
    try {
      f.Save();
    } catch (const EWriteError& e) {
      _exit(std::string(e.what()) == "Unable to write to " + path_.string() ? 0 : 2);
    }
    _exit(1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(Get(), "[A]\nk=v\n");
}

TEST_F(IniFileTest, SaveThroughSymlinkWritesTargetAndKeepsMode) {
  fs::create_directory(dir_ / "real");
  const fs::path real = dir_ / "real" / "project.ini";
  std::ofstream(real) << "[A]\nk=v\n";
  ASSERT_EQ(chmod(real.c_str(), 0600), 0);
  fs::create_symlink(real, path_);
  IniFile f(path_);
  f.WriteString("A", "k", "w");
  f.Save();
  EXPECT_TRUE(fs::is_symlink(path_));
  EXPECT_EQ(ReadFileIfExists(real), "[A]\nk=w\n");
  struct stat st {};
  ASSERT_EQ(stat(real.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
}

}  // namespace
}  // namespace zb::ini
