#include "zip/file_list_expander.h"
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

class ExpanderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = temp_.path();
    Write("a.txt");
    Write("b.tmp");
    Write("README");
    Write("sub/c.txt");
    Write("sub/d.tmp");
    Write("sub/deep/e.txt");
    Write("other/f.txt");
  }

  void Write(const std::string& rel, const std::string& data = "xy") {
    fs::create_directories(fs::path(root_ + "/" + rel).parent_path());
    std::ofstream(root_ + "/" + rel, std::ios::binary) << data;
  }

  // Expands and returns the paths relative to root_, sorted within each
  // pattern's run is not needed: tests compare as sets unless order matters.
  std::vector<std::string> Expand(const std::vector<std::string>& list) {
    problems_.clear();
    const std::vector<ExpandedItem> items = ExpandFilesList(
        list, options_,
        [this](const std::string& p, FileProblem k, const std::string&) { problems_[p] = k; },
        nullptr);
    std::vector<std::string> out;
    for (const ExpandedItem& i : items) {
      out.push_back(i.path.rfind(root_ + "/", 0) == 0 ? i.path.substr(root_.size() + 1) : i.path);
    }
    return out;
  }
  static std::vector<std::string> Sorted(std::vector<std::string> v) {
    std::sort(v.begin(), v.end());
    return v;
  }
  std::string P(const std::string& rel) const { return root_ + "/" + rel; }

  zb::testfiles::TempDir temp_{"zb_expander"};
  std::string root_;
  ExpandOptions options_;
  std::map<std::string, FileProblem> problems_;
};

TEST_F(ExpanderTest, RecursionByOptionAndByPrefix) {
  const std::vector<std::string> top{"README", "a.txt", "b.tmp"};
  const std::vector<std::string> all{"README",    "a.txt",     "b.tmp",         "other/f.txt",
                                     "sub/c.txt", "sub/d.tmp", "sub/deep/e.txt"};
  options_.recurse = false;
  EXPECT_EQ(Sorted(Expand({P("*.*")})), top);
  EXPECT_EQ(Sorted(Expand({">" + P("*.*")})), all);
  options_.recurse = true;
  EXPECT_EQ(Sorted(Expand({P("*.*")})), all);
  EXPECT_EQ(Sorted(Expand({"|" + P("*.*")})), top);
}

TEST_F(ExpanderTest, ExclusionByNameAnywhereAndByFolderAtAnyDepth) {
  options_.recurse = true;
  options_.exclude_list = {"*.tmp", P("sub") + "/*"};
  EXPECT_EQ(Sorted(Expand({P("*")})), (std::vector<std::string>{"README", "a.txt", "other/f.txt"}));
  // A plain name without a folder excludes that name in every folder, in
  // any case.
  options_.exclude_list = {"C.TXT"};
  const std::vector<std::string> got = Expand({P("*")});
  EXPECT_EQ(std::count(got.begin(), got.end(), "sub/c.txt"), 0);
  EXPECT_EQ(got.size(), 6u);
}

TEST_F(ExpanderTest, PlainEntriesFirstThenPatternsInTurn) {
  options_.recurse = false;
  const std::vector<std::string> got =
      Expand({P("sub/*.txt"), P("other/f.txt"), P("*.tmp"), P("a.txt")});
  EXPECT_EQ(got, (std::vector<std::string>{"other/f.txt", "a.txt", "sub/c.txt", "b.tmp"}));
}

TEST_F(ExpanderTest, NamesWithoutExtensionMatchWithADotAppended) {
  EXPECT_EQ(Expand({P("*.")}), std::vector<std::string>{"README"});
  EXPECT_TRUE(MaskMatch("*.", "README"));
  EXPECT_FALSE(MaskMatch("*.", "a.txt"));
  EXPECT_TRUE(MaskMatch("*.*", "README"));
  EXPECT_TRUE(MaskMatch("README", "README"));
}

TEST_F(ExpanderTest, WildcardsInFolderPartAreMatchedLevelByLevel) {
  Write("p1/docs/x.txt");
  Write("p2/docs/y.txt");
  Write("p2/misc/z.txt");
  Write("q1/docs/w.txt");
  EXPECT_EQ(Sorted(Expand({P("p?/docs/*.txt")})),
            (std::vector<std::string>{"p1/docs/x.txt", "p2/docs/y.txt"}));
  EXPECT_TRUE(Expand({P("nothing*/docs/*")}).empty());
}

TEST_F(ExpanderTest, ExistingFileIsThatFileWhateverItsName) {
  Write("odd*name?.txt", "abc");
  Write("oddXnameY.txt", "abc");
  EXPECT_EQ(Expand({P("odd*name?.txt")}), std::vector<std::string>{"odd*name?.txt"});
}

TEST_F(ExpanderTest, ArchiveAndTemporaryFileAreLeftOutByIdentity) {
  Write("backup.zip", "PK");
  struct stat st {};
  ASSERT_EQ(stat(P("backup.zip").c_str(), &st), 0);
  options_.skip_ids = {{st.st_dev, st.st_ino}};
  // Through another name (a hard link) too: identity, not spelling.
  ASSERT_EQ(link(P("backup.zip").c_str(), P("alias.bin").c_str()), 0);
  const std::vector<std::string> got = Expand({P("*")});
  EXPECT_EQ(std::count(got.begin(), got.end(), "backup.zip"), 0);
  EXPECT_EQ(std::count(got.begin(), got.end(), "alias.bin"), 0);
  EXPECT_EQ(got.size(), 3u);
}

TEST_F(ExpanderTest, MissingAndSpecialPlainEntriesAreReported) {
  ASSERT_EQ(mkfifo(P("pipe").c_str(), 0600), 0);
  EXPECT_TRUE(Expand({P("gone.txt"), P("pipe")}).empty());
  EXPECT_EQ(problems_[P("gone.txt")], FileProblem::kCannotOpen);
  EXPECT_EQ(problems_[P("pipe")], FileProblem::kSpecialFile);
  // A pattern over a folder with a FIFO reports it and takes the rest.
  EXPECT_EQ(Expand({P("*")}).size(), 3u);
  EXPECT_EQ(problems_[P("pipe")], FileProblem::kSpecialFile);
}

TEST_F(ExpanderTest, FolderEntriesAndDuplicates) {
  options_.recurse = true;
  options_.add_dir_entries = true;
  const std::vector<std::string> got = Expand({P("sub/"), P("sub/*.txt"), P("sub/c.txt")});
  // "sub/" as given, the plain file, then the walk (c.txt only once).
  EXPECT_EQ(got, (std::vector<std::string>{"sub/", "sub/c.txt", "sub/deep/", "sub/deep/e.txt"}));
}

TEST(ExclusionTestTest, PlainNamesAndPatterns) {
  const ExclusionTest t({"Thumbs.db", "/home/me/secret.txt", "*.bak", "/var/cache/*", ""});
  EXPECT_TRUE(t.Excludes("/x/y/THUMBS.DB"));
  EXPECT_TRUE(t.Excludes("/home/me/secret.txt"));
  EXPECT_FALSE(t.Excludes("/home/you/secret.txt"));
  EXPECT_TRUE(t.Excludes("/a/b.bak"));
  EXPECT_TRUE(t.Excludes("/var/cache/a/b/c"));
  EXPECT_FALSE(t.Excludes("/var/cachex"));
}

}  // namespace
}  // namespace zb::zip
