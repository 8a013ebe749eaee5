#include "backup/wildcard_list.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "app/data_folder.h"
#include "backup/backup_project.h"
#include "temp_files.h"

namespace zb::backup {
namespace {

namespace fs = std::filesystem;
using Patterns = std::vector<std::string>;

class WildcardListTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = temp_.path();
  }
  void PutProjects(const std::string& text) const {
    std::ofstream(dir_ / app::kProjectFile, std::ios::binary) << text;
  }
  std::string GetProjects() const {
    std::ifstream in(dir_ / app::kProjectFile, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  zb::testfiles::TempDir temp_{"zb_wildcards"};
  fs::path dir_;
};

TEST_F(WildcardListTest, MissingFileOrKeysReadAsEmpty) {
  EXPECT_TRUE(ReadWildcardList(dir_).empty());
  PutProjects("[Common]\nProject Count=0\n");
  EXPECT_TRUE(ReadWildcardList(dir_).empty());
}

TEST_F(WildcardListTest, ReadsTotalEntriesSkippingEmptyAndMissingOnes) {
  PutProjects(
      "[Common]\nWildcard Total=5\nWildcard0=*.doc\nWildcard1=\nWildcard3=*.bak\n"
      "Wildcard5=*.never\n");
  EXPECT_EQ(ReadWildcardList(dir_), (Patterns{"*.doc", "*.bak"}));
}

TEST_F(WildcardListTest, HugeOrNegativeTotalIsHarmless) {
  // A hand-edited total must not make the reader probe two billion keys.
  PutProjects("[Common]\nWildcard Total=2147483647\nWildcard0=*.a\nWildcard7=*.h\n");
  EXPECT_EQ(ReadWildcardList(dir_), (Patterns{"*.a", "*.h"}));
  PutProjects("[Common]\nWildcard Total=-3\nWildcard0=*.a\n");
  EXPECT_TRUE(ReadWildcardList(dir_).empty());
}

TEST_F(WildcardListTest, WriteRoundTripsAndKeepsOtherKeysAndStaleEntries) {
  PutProjects(
      "[Common]\nProject Count=1\nCount0=Daily\nWildcard Total=3\nWildcard0=*.x\n"
      "Wildcard1=*.y\nWildcard2=*.z\n[Daily]\nValue=4\n");
  WriteWildcardList(dir_, {"*.txt"});
  EXPECT_EQ(ReadWildcardList(dir_), (Patterns{"*.txt"}));
  const std::string text = GetProjects();
  // Keys beyond the new total stay where they were and are never read.
  EXPECT_NE(text.find("Wildcard Total=1"), std::string::npos);
  EXPECT_NE(text.find("Wildcard2=*.z"), std::string::npos);
  EXPECT_NE(text.find("Count0=Daily"), std::string::npos);
  EXPECT_NE(text.find("Value=4"), std::string::npos);

  WriteWildcardList(dir_, {});
  EXPECT_TRUE(ReadWildcardList(dir_).empty());
  EXPECT_NE(GetProjects().find("Wildcard Total=0"), std::string::npos);
}

TEST_F(WildcardListTest, AddIgnoresEmptyAndCaseOnlyDuplicates) {
  Patterns p{"*.bak"};
  EXPECT_FALSE(AddWildcard(p, "   "));
  EXPECT_FALSE(AddWildcard(p, " *.BAK "));
  EXPECT_TRUE(AddWildcard(p, "  *.doc "));
  EXPECT_EQ(p, (Patterns{"*.bak", "*.doc"}));
}

TEST_F(WildcardListTest, EntryJoinsFolderAndTrimmedPattern) {
  EXPECT_EQ(WildcardEntry("/data", " *.doc "), "/data/*.doc");
  EXPECT_EQ(WildcardEntry("/", "*.txt"), "/*.txt");
  EXPECT_EQ(WildcardEntry("/data/", ""), "/data/");
}

}  // namespace
}  // namespace zb::backup
