#include "sync/file_search.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "base/date_time.h"

namespace zb::sync {
namespace {

namespace fs = std::filesystem;

class FileSearchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/zb_fsearch_XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    root_ = tmpl;
  }
  void TearDown() override {
    std::error_code ec;
    // Restore permissions so the clean-up can remove everything.
    for (auto it = fs::recursive_directory_iterator(root_, ec);
         it != fs::recursive_directory_iterator(); it.increment(ec)) {
      if (it->is_directory(ec) && !it->is_symlink(ec))
        fs::permissions(it->path(), fs::perms::all, ec);
    }
    fs::remove_all(root_, ec);
  }
  std::string Make(const std::string& rel, const std::string& content = "x") {
    fs::path p = fs::path(root_) / rel;
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << content;
    return p.string();
  }
  std::string Dir(const std::string& rel) {
    fs::create_directories(fs::path(root_) / rel);
    return (fs::path(root_) / rel).string();
  }
  // Runs a search and returns "folder-relative/name" for every hit, in the
  // order reported.
  std::vector<std::string> Run(TFileSearch& s) {
    std::vector<std::string> hits;
    s.OnFound = [&](TFileSearch&, const std::string& folder, TSearchRec& rec) {
      std::string rel = folder.size() > root_.size() ? folder.substr(root_.size() + 1) + "/" : "";
      hits.push_back(rel + rec.Name);
    };
    s.StartSearch();
    return hits;
  }
  static std::vector<std::string> Sorted(std::vector<std::string> v) {
    std::sort(v.begin(), v.end());
    return v;
  }
  std::string root_;
};

using V = std::vector<std::string>;

// ---- Matching rules -----------------------------------------------------------

TEST(FileSearchRules, ExclusionNamePatterns) {
  auto m = [](const char* name, const char* pat) {
    return TFileSearch::ExclusionMatch(std::string("/d/") + name, pat);
  };
  EXPECT_TRUE(m("a.txt", "*.txt"));
  EXPECT_TRUE(m("A.TXT", "*.txt"));
  EXPECT_FALSE(m("a.b.txt", "*.txt"));  // "*" never crosses a dot
  EXPECT_FALSE(m("README", "*.*"));
  EXPECT_TRUE(m("README", "*"));
  EXPECT_TRUE(m("axyz.txt", "a*b.txt"));  // pattern text between "*" and "." is skipped
  EXPECT_TRUE(m("ab.txt", "ab?.txt"));
  EXPECT_FALSE(m("abc.txt", "ab.txt"));
  EXPECT_TRUE(m("abc.txt", "a?c.txt"));
  EXPECT_FALSE(m("a.txt", "?.txt.x"));
}

TEST(FileSearchRules, ExclusionFolderPatterns) {
  using T = TFileSearch;
  // A full path excludes the file, and any file whose path ends the same way.
  EXPECT_TRUE(T::ExclusionMatch("/home/me/temp/a.txt", "/home/me/temp/a.txt"));
  EXPECT_TRUE(T::ExclusionMatch("/data/home/me/temp/a.txt", "/home/me/temp/a.txt"));
  EXPECT_FALSE(T::ExclusionMatch("/home/me/other/a.txt", "/home/me/temp/a.txt"));
  // A relative pattern folder matches every folder ending with it, "xtemp" too.
  EXPECT_TRUE(T::ExclusionMatch("/x/xtemp/a.txt", "temp/*.txt"));
  // A folder pattern alone drops the entries directly in it, not deeper ones.
  EXPECT_TRUE(T::ExclusionMatch("/x/temp/a.txt", "/x/temp/"));
  EXPECT_FALSE(T::ExclusionMatch("/x/temp/sub/a.txt", "/x/temp/"));
  // A longer pattern folder than the name's never matches.
  EXPECT_FALSE(T::ExclusionMatch("/a/b.txt", "/x/a/b.txt"));
  // A drive letter must agree with the name's.
  EXPECT_TRUE(T::ExclusionMatch("C:/temp/a.txt", "c:/temp/a.txt"));
  EXPECT_TRUE(T::ExclusionMatch("C:/temp/a.txt", "*:/temp/a.txt"));
  EXPECT_FALSE(T::ExclusionMatch("D:/temp/a.txt", "c:/temp/a.txt"));
}

TEST(FileSearchRules, MaskAndDates) {
  using T = TFileSearch;
  EXPECT_TRUE(T::MaskMatch("README", "*.*"));
  EXPECT_TRUE(T::MaskMatch("abc", "abc.*"));
  EXPECT_TRUE(T::MaskMatch("ABC.zip", "*.ZIP"));
  EXPECT_FALSE(T::MaskMatch("abc.zipx", "*.zip"));
  EXPECT_TRUE(T::MaskMatch("r\xC3\xA9.txt", "r?.txt"));  // "?" is one character, not one byte
  EXPECT_FALSE(T::MaskMatch("ab.txt", "a?.txtx"));

  DateTime day = *EncodeDateTime(2024, 5, 10);
  DateTime late = *EncodeDateTime(2024, 5, 10, 23, 59, 0);
  EXPECT_TRUE(T::DateTest(late, day, 0));  // a date-only limit covers the whole day
  EXPECT_FALSE(T::DateTest(late + 1, day, 0));
  EXPECT_TRUE(T::DateTest(late, 0, day));   // inclusive lower bound
  EXPECT_FALSE(T::DateTest(late, 0.5, 0));  // time of day only: 23:59 is after noon
  EXPECT_TRUE(T::DateTest(late, 0, 0.5));
  DateTime exact = *EncodeDateTime(2024, 5, 10, 12, 0, 0);
  EXPECT_TRUE(T::DateTest(exact, exact, exact));
  EXPECT_FALSE(T::DateTest(late, exact, 0));
}

TEST(FileSearchRules, PropertyChecks) {
  TFileSearch s;
  try {
    s.SetLocation("/tmp/a?b");
    FAIL() << "no error";
  } catch (const EFileSearchError& e) {
    EXPECT_EQ(std::string(e.what()), "/tmp/a?b\n\rlocation cannot to be contained wildcards");
  }
  try {
    s.SetFilename("dir/x.txt");
    FAIL() << "no error";
  } catch (const EFileSearchError& e) {
    EXPECT_EQ(std::string(e.what()), "dir/x.txt\n\rInvalid filename specified");
  }
  EXPECT_EQ(s.Filename(), "*.*");  // the old values stay
  EXPECT_EQ(s.Location(), "");
}

// ---- Walks ----------------------------------------------------------------------

TEST_F(FileSearchTest, MasksDotsAndOrderOfSubfolders) {
  Make("a.txt");
  Make("b.zip");
  Make("README");
  Make(".profile");
  Make(".hidden/x.txt");
  Make("sub/c.txt");
  Make("sub/deeper/d.txt");
  TFileSearch s;
  s.SetLocation(root_);
  s.SetFilename("*");
  V all = Run(s);
  EXPECT_EQ(Sorted(all), (V{"README", "a.txt", "b.zip", "sub/c.txt", "sub/deeper/d.txt"}));
  // A folder's own hits come before those of its subfolders.
  auto pos = [&](const std::string& n) {
    return std::find(all.begin(), all.end(), n) - all.begin();
  };
  EXPECT_LT(pos("a.txt"), pos("sub/c.txt"));
  EXPECT_LT(pos("sub/c.txt"), pos("sub/deeper/d.txt"));

  s.SetFilename("*.txt");
  s.Subfolders = false;
  EXPECT_EQ(Run(s), (V{"a.txt"}));
  s.SetFilename("readme");  // no dot: ".*" appended, and it also names "README"
  EXPECT_EQ(Run(s), (V{"README"}));
}

TEST_F(FileSearchTest, FolderAttributes) {
  Dir("plain");
  Make("f.txt");
  TFileSearch s;
  s.SetLocation(root_);
  s.Subfolders = false;
  EXPECT_EQ(Run(s), (V{"f.txt"}));  // a plain folder has none of the default attributes
  s.Attributes.Add(TFileAttribute::ffDirectory);
  EXPECT_EQ(Sorted(Run(s)), (V{"f.txt", "plain"}));
  s.ExactAttribute = true;
  s.Attributes = {TFileAttribute::ffArchive};
  EXPECT_EQ(Run(s), (V{"f.txt"}));
  ::chmod(Make("ro.txt").c_str(), 0444);
  EXPECT_EQ(Run(s), (V{"f.txt"}));  // read-only + archive is not exactly archive
}

TEST_F(FileSearchTest, SizeDateExclusionAndContentFilters) {
  Make("small.txt", "12");
  Make("big.txt", std::string(5000, 'a'));
  std::string old = Make("old.txt", "123");
  timespec t[2] = {{0, UTIME_OMIT}, {ToTimeT(*EncodeDateTime(2020, 1, 1, 10, 0, 0)), 0}};
  ::utimensat(AT_FDCWD, old.c_str(), t, 0);
  TFileSearch s;
  s.SetLocation(root_);
  s.SizeMin = 3;
  EXPECT_EQ(Sorted(Run(s)), (V{"big.txt", "old.txt"}));
  s.SizeMax = 100;
  EXPECT_EQ(Run(s), (V{"old.txt"}));
  s.SizeMin = s.SizeMax = 0;
  s.ModifiedBefore = *EncodeDateTime(2020, 1, 1);  // date only: the whole day
  EXPECT_EQ(Run(s), (V{"old.txt"}));
  s.ModifiedBefore = 0;
  s.ModifiedAfter = *EncodeDateTime(2021, 1, 1);
  EXPECT_EQ(Sorted(Run(s)), (V{"big.txt", "small.txt"}));
  s.ModifiedAfter = 0;
  s.ExcludeFiles = {"*.txt"};
  EXPECT_EQ(Run(s), V{});
  s.ExcludeFiles = {root_ + "/big.txt"};
  EXPECT_EQ(Sorted(Run(s)), (V{"old.txt", "small.txt"}));
  s.ExcludeFiles.clear();

  // Content: a text straddling the 4096-byte read boundary is still found;
  // case is ignored by default.
  std::string body(4094, 'z');
  body += "NeEdLe";
  Make("straddle.bin", body);
  s.Containing = "needle";
  EXPECT_EQ(Run(s), (V{"straddle.bin"}));
  s.IgnoreCase = false;
  EXPECT_EQ(Run(s), V{});
  s.Containing = "NeEdLe";
  EXPECT_EQ(Run(s), (V{"straddle.bin"}));

  // A character device that never ends (a copy of /dev/zero) is not read.
  std::string zero = root_ + "/zero.bin";
  if (::mknod(zero.c_str(), S_IFCHR | 0666, ::makedev(1, 5)) == 0) {
    EXPECT_EQ(Run(s), (V{"straddle.bin"}));
    EXPECT_FALSE(s.Aborted());
  }
}

TEST_F(FileSearchTest, FolderExclusionKeepsWalkingSubfolders) {
  Make("temp/a.txt");
  Make("temp/sub/b.txt");
  Make("c.txt");
  TFileSearch s;
  s.SetLocation(root_);
  s.ExcludeFiles = {root_ + "/temp/"};
  EXPECT_EQ(Sorted(Run(s)), (V{"c.txt", "temp/sub/b.txt"}));
}

TEST_F(FileSearchTest, LocationListsAndOneFolder) {
  Make("a/x.txt");
  Make("b/y.txt");
  TFileSearch s;
  // Same folder twice (with and without separator), a trailing ";".
  s.SetLocation(root_ + "/a;" + root_ + "/a/;" + root_ + "/b;");
  EXPECT_EQ(Run(s), (V{"a/x.txt", "b/y.txt"}));

  // A legal folder name with ";" and "*" is searched as one folder.
  Make("odd;na*me?/z.txt");
  s.SetLocationFolder(root_ + "/odd;na*me?");
  EXPECT_EQ(Run(s), (V{"odd;na*me?/z.txt"}));
  EXPECT_FALSE(s.Aborted());
  EXPECT_TRUE(s.UnreadableFolders().empty());
}

TEST_F(FileSearchTest, SpacesAndNonAsciiNames) {
  Make("mit Leerzeichen/Bericht über Ärger.txt");
  Make("\xE6\x97\xA5\xE6\x9C\xAC/\xE6\x96\x87.txt");
  TFileSearch s;
  s.SetLocationFolder(root_);
  s.SetFilename("*.txt");
  EXPECT_EQ(Sorted(Run(s)), (V{"mit Leerzeichen/Bericht über Ärger.txt",
                               "\xE6\x97\xA5\xE6\x9C\xAC/\xE6\x96\x87.txt"}));
}

TEST_F(FileSearchTest, SymbolicLinkLoopsEndAndLinkedFilesAreFound) {
  Make("d/f.txt");
  fs::create_directory_symlink(root_, root_ + "/d/back");  // points at an ancestor
  fs::create_directory_symlink(root_ + "/d", root_ + "/d/self");
  fs::create_symlink(root_ + "/d/f.txt", root_ + "/d/link.txt");
  TFileSearch s;
  s.SetLocation(root_);
  s.SetFilename("*.txt");
  EXPECT_EQ(Sorted(Run(s)), (V{"d/f.txt", "d/link.txt"}));
  // The top folder itself may be a link.
  s.SetLocation(root_ + "/d/self");
  V via_link = Run(s);
  EXPECT_EQ(Sorted(via_link).size(), 2u);
}

TEST_F(FileSearchTest, NewFolderCompleteAndReentry) {
  Make("a.txt");
  Make("skip/b.txt");
  TFileSearch s;
  s.SetLocation(root_);
  int completes = 0;
  s.OnComplete = [&](TFileSearch& self) {
    ++completes;
    EXPECT_FALSE(self.Busy());
  };
  s.OnNewFolder = [&](TFileSearch&, const std::string& folder, bool& ignore) {
    ignore = folder == root_ + "/skip";
  };
  EXPECT_EQ(Run(s), (V{"a.txt"}));
  s.OnNewFolder = [](TFileSearch&, const std::string&, bool& ignore) { ignore = true; };
  EXPECT_EQ(Run(s), V{});
  EXPECT_EQ(completes, 2);

  // StartSearch from inside OnFound of the same component does nothing.
  s.OnNewFolder = nullptr;
  int found = 0;
  s.OnFound = [&](TFileSearch& self, const std::string&, TSearchRec&) {
    ++found;
    self.StartSearch();
  };
  s.StartSearch();
  EXPECT_EQ(found, 2);
  EXPECT_EQ(completes, 3);
}

TEST_F(FileSearchTest, UnreadableFolderIsNamedAndContentOpenFailureAborts) {
  Make("ok/a.txt");
  Make("locked/b.txt");
  std::string secret = Make("secret.txt", "needle");
  ::chmod((root_ + "/locked").c_str(), 0700);
  ::chmod(secret.c_str(), 0600);
  ::chmod(root_.c_str(), 0755);
  ::chmod((root_ + "/ok").c_str(), 0755);
  ::chmod((root_ + "/ok/a.txt").c_str(), 0644);
  if (::geteuid() != 0 && ::access((root_ + "/locked").c_str(), R_OK) == 0) {
    GTEST_SKIP() << "cannot make a folder unreadable here";
  }
  // Root reads everything, so the walk runs as "nobody" in a child process.
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (::geteuid() == 0 &&
        (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)) {
      _exit(10);
    }
    TFileSearch s;
    s.SetLocation(root_);
    s.SetFilename("*.txt");
    std::vector<std::string> hits;
    s.OnFound = [&](TFileSearch&, const std::string&, TSearchRec& r) { hits.push_back(r.Name); };
    s.StartSearch();
    bool named = s.UnreadableFolders() == std::vector<std::string>{root_ + "/locked"};
    if (!named || s.Aborted()) _exit(11);
    if (std::find(hits.begin(), hits.end(), "a.txt") == hits.end()) _exit(12);
    // A file the content test cannot open ends the search as aborted.
    s.Containing = "needle";
    s.StartSearch();
    if (!s.Aborted() || s.AbortReason().find("secret.txt") == std::string::npos) _exit(13);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "10 setuid, 11 unreadable list, 12 hits, 13 abort";
}

TEST_F(FileSearchTest, MissingFolderYieldsNothing) {
  TFileSearch s;
  s.SetLocationFolder(root_ + "/nope");
  EXPECT_EQ(Run(s), V{});
  EXPECT_EQ(s.UnreadableFolders(), (V{root_ + "/nope"}));
}

}  // namespace
}  // namespace zb::sync
