#include "zip/dir_search.h"
#include "temp_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace zb::zip {
namespace {

namespace fs = std::filesystem;

class DirSearchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = temp_.path();
  }

  void Write(const std::string& rel, const std::string& data = "x") {
    fs::create_directories(fs::path(root_ + "/" + rel).parent_path());
    std::ofstream(root_ + "/" + rel, std::ios::binary) << data;
  }
  void Mkdir(const std::string& rel) { fs::create_directories(root_ + "/" + rel); }

  // Walks `root_` and returns the paths met, relative to it ("/" after a
  // folder), recording every problem.
  std::vector<std::string> Walk(bool recurse) {
    TDirSearch search(
        [this](const std::string& path, FileProblem problem, const std::string&) {
          problems_[path.substr(root_.size() + 1)] = problem;
        },
        nullptr);
    std::vector<std::string> seen;
    search.Walk(root_, recurse, [&](const FoundItem& item) {
      std::string rel = item.path.substr(root_.size() + 1);
      if (item.is_dir) rel += "/";
      seen.push_back(rel);
      sizes_[rel] = item.size;
      EXPECT_EQ(item.name, fs::path(item.path).filename().string());
    });
    return seen;
  }

  zb::testfiles::TempDir temp_{"zb_dirsearch"};
  std::string root_;
  std::map<std::string, FileProblem> problems_;
  std::map<std::string, uint64_t> sizes_;
};

TEST_F(DirSearchTest, SubfolderContentsComeRightAfterTheSubfolder) {
  Write("a.txt");
  Write("sub/b.txt");
  Write("sub/deeper/c.txt");
  Write("z.txt");
  Write(".hidden");
  const std::vector<std::string> seen = Walk(true);
  ASSERT_EQ(seen.size(), 7u);
  EXPECT_NE(std::find(seen.begin(), seen.end(), ".hidden"), seen.end());
  // Whatever order the file system lists, a folder's contents follow it
  // directly (depth first).
  for (size_t i = 0; i < seen.size(); ++i) {
    if (seen[i].back() != '/') continue;
    size_t j = i + 1;
    while (j < seen.size() && seen[j].rfind(seen[i], 0) == 0) ++j;
    for (size_t k = j; k < seen.size(); ++k) EXPECT_NE(seen[k].rfind(seen[i], 0), 0u) << seen[k];
  }
}

TEST_F(DirSearchTest, WithoutRecursionOnlyTheTopFolder) {
  Write("a.txt");
  Write("sub/b.txt");
  EXPECT_EQ(Walk(false), std::vector<std::string>{"a.txt"});
}

TEST_F(DirSearchTest, LinksToFilesAreTheirTargetsLinksToFoldersAreNotFollowed) {
  Write("data/real.txt", "12345");
  fs::create_symlink(root_ + "/data/real.txt", root_ + "/link.txt");
  fs::create_symlink(root_ + "/data", root_ + "/dirlink");
  fs::create_symlink(root_, root_ + "/data/up");  // would loop if followed
  const std::vector<std::string> seen = Walk(true);
  EXPECT_EQ(sizes_["link.txt"], 5u);
  EXPECT_EQ(std::count(seen.begin(), seen.end(), "data/real.txt"), 1);
  for (const std::string& s : seen) EXPECT_EQ(s.find("dirlink"), std::string::npos) << s;
  EXPECT_TRUE(problems_.empty());
}

TEST_F(DirSearchTest, BrokenAndLoopingLinksAreReported) {
  fs::create_symlink(root_ + "/nowhere", root_ + "/broken");
  fs::create_symlink(root_ + "/loop2", root_ + "/loop1");
  fs::create_symlink(root_ + "/loop1", root_ + "/loop2");
  EXPECT_TRUE(Walk(true).empty());
  EXPECT_EQ(problems_["broken"], FileProblem::kCannotOpen);
  EXPECT_EQ(problems_["loop1"], FileProblem::kLinkLoop);
  EXPECT_EQ(problems_["loop2"], FileProblem::kLinkLoop);
}

// Regression guard: opening a FIFO for reading blocks until a writer comes,
// so a walk that opened one would hang here.
TEST_F(DirSearchTest, FifoIsReportedAndNeverOpened) {
  ASSERT_EQ(mkfifo((root_ + "/pipe").c_str(), 0600), 0);
  Write("a.txt");
  EXPECT_EQ(Walk(true), std::vector<std::string>{"a.txt"});
  EXPECT_EQ(problems_["pipe"], FileProblem::kSpecialFile);
}

TEST_F(DirSearchTest, MissingFolderIsReported) {
  int visits = 0;
  int reports = 0;
  TDirSearch search(
      [&](const std::string&, FileProblem p, const std::string&) {
        EXPECT_EQ(p, FileProblem::kCannotOpen);
        ++reports;
      },
      nullptr);
  search.Walk(root_ + "/absent", true, [&](const FoundItem&) { ++visits; });
  EXPECT_EQ(visits, 0);
  EXPECT_EQ(reports, 1);
}

TEST(JoinPathTest, OneSeparator) {
  EXPECT_EQ(JoinPath("/a", "b"), "/a/b");
  EXPECT_EQ(JoinPath("/a/", "b"), "/a/b");
  EXPECT_EQ(JoinPath("/", "b"), "/b");
  EXPECT_EQ(JoinPath("", "b"), "b");
}

}  // namespace
}  // namespace zb::zip
