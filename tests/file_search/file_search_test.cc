#include "file_search/file_search.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "base/date_time.h"
#include "temp_files.h"

namespace zb::file_search {
namespace {

namespace fs = std::filesystem;

class FileSearchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = temp_.path();
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
  zb::testfiles::TempDir temp_{"zb_fsearch"};
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

// Every clause of the exclusion rule, one row each: upper-casing, the drive
// letter, the folder part matching the end of the name's folder, the empty
// name part, and each branch of the name walk.
TEST(FileSearchRules, ExclusionRulesTable) {
  struct Row {
    const char* full_name;
    const char* pattern;
    bool excluded;
  };
  const Row rows[] = {
      // Both sides are upper-cased.
      {"/d/A.TXT", "*.txt", true},
      {"/d/a.txt", "*.TXT", true},
      // A drive letter must be "*", "?" or the first character of the name's
      // folder; a POSIX folder begins with "/", so only "*" and "?" match it.
      {"C:/temp/a.txt", "c:/temp/a.txt", true},
      {"C:/temp/a.txt", "?:/temp/a.txt", true},
      {"D:/temp/a.txt", "c:/temp/a.txt", false},
      {"/temp/a.txt", "c:/temp/a.txt", false},
      {"/temp/a.txt", "*:/temp/a.txt", true},
      // The pattern folder must end the name's folder, and be no longer.
      {"/data/temp/a.txt", "/temp/a.txt", true},
      {"/x/xtemp/a.txt", "temp/*.txt", true},
      {"/x/temp2/a.txt", "temp/*.txt", false},
      {"/a/x.txt", "/a/x.txt", true},
      {"/a/x.txt", "y/a/x.txt", false},
      {"C:/a/x.txt", "C:/a/x.txt", true},
      // An empty name part takes every name directly in the folder.
      {"/x/temp/README", "temp/", true},
      {"/x/temp/sub/a.txt", "/x/temp/", false},
      // Equal characters, and "?" for any character but ".".
      {"/d/abc.txt", "a?c.txt", true},
      {"/d/abc.txt", "ab.txt", false},
      {"/d/ab", "abc", false},
      // At a "." of the name: "?" is skipped, "*" jumps to the pattern's
      // next ".", anything else fails.
      {"/d/ab.txt", "ab?.txt", true},
      {"/d/ab.txt", "ab??.txt", true},
      {"/d/axyz.txt", "a*b.txt", true},
      {"/d/a.b.txt", "*.txt", false},
      {"/d/a.txt", "a*", false},
      {"/d/a.txt", "a*.*", true},
      {"/d/a.txt", "ab.txt", false},
      // "*" swallows the rest of a name without a dot.
      {"/d/README", "*", true},
      {"/d/README", "*.*", false},
      {"/d/README", "R*", true},
      // Left-over "*" and "?" at the end of the pattern are skipped.
      {"/d/ab", "ab*?", true},
      {"/d/ab", "ab*x", false},
      // "?" is one character, however many bytes UTF-8 needs for it.
      {"/d/\xC3\xA9.txt", "?.txt", true},
      {"/d/\xE6\x96\x87\xE5\xAD\x97.txt", "??.txt", true},
      {"/d/\xE6\x96\x87.txt", "??.txt", true},  // the second "?" meets the dot
      {"/d/mit Leerzeichen.txt", "mit*.txt", true},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(TFileSearch::ExclusionMatch(r.full_name, r.pattern), r.excluded)
        << r.full_name << " against " << r.pattern;
  }
}

TEST(FileSearchRules, MaskAndDateTables) {
  struct MaskRow {
    const char* name;
    const char* mask;
    bool match;
  };
  const MaskRow masks[] = {
      {"a.b.c", "*.*", true},
      {"abc.d", "abc.*", true},
      {"abcd", "abc.*", false},
      {"x.TAR.gz", "*.tar.GZ", true},
      {"abbbc", "a*c", true},
      {"abbbd", "a*c", false},
      {"a", "?", true},
      {"ab", "?", false},
      {"\xC3\xA9", "?", true},
      {"a.zip", "*.zip", true},
      {"a.zip.bak", "*.zip", false},
  };
  for (const MaskRow& r : masks) {
    EXPECT_EQ(TFileSearch::MaskMatch(r.name, r.mask), r.match) << r.name << " against " << r.mask;
  }

  const DateTime day = *EncodeDateTime(2024, 5, 10);
  const DateTime morning = *EncodeDateTime(2024, 5, 10, 8, 0, 0);
  const DateTime noon_time = 0.5;  // a time of day only
  struct DateRow {
    DateTime t, before, after;
    bool pass;
  };
  const DateRow dates[] = {
      {morning, 0, day, true},               // after a date: from its first moment
      {morning - 1, 0, day, false},          //
      {morning, noon_time, 0, true},         // time only: 08:00 is before noon on any day
      {morning + 30, noon_time, 0, true},    //
      {morning, 0, noon_time, false},        //
      {morning, morning - 0.001, 0, false},  // a full date-time is compared whole
      {morning, day + 1, day, true},         // a window: both must hold
      {morning, day - 1, day, false},
  };
  for (const DateRow& r : dates) {
    EXPECT_EQ(TFileSearch::DateTest(r.t, r.before, r.after), r.pass)
        << r.t << " before " << r.before << " after " << r.after;
  }
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
  EXPECT_THROW(s.SetLocation("/tmp/*"), EFileSearchError);
  EXPECT_THROW(s.SetFilename("/x.txt"), EFileSearchError);
  s.SetLocation("/a;/b");
  s.SetFilename("a b.txt");
  EXPECT_EQ(s.Location(), "/a;/b");
  EXPECT_EQ(s.Filename(), "a b.txt");
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

TEST_F(FileSearchTest, CreationAndAccessDateFilters) {
  std::string old = Make("old.txt");
  Make("new.txt");
  // Last access long ago; the last write stays now.
  timespec t[2] = {{ToTimeT(*EncodeDateTime(2020, 1, 1, 10, 0, 0)), 0}, {0, UTIME_OMIT}};
  ASSERT_EQ(::utimensat(AT_FDCWD, old.c_str(), t, 0), 0);
  const DateTime today = std::floor(FromTimeT(::time(nullptr)));
  TFileSearch s;
  s.SetLocation(root_);
  s.AccessedBefore = *EncodeDateTime(2020, 1, 1);  // a date only: all of that day
  EXPECT_EQ(Run(s), (V{"old.txt"}));
  s.AccessedBefore = 0;
  s.AccessedAfter = today - 1;
  EXPECT_EQ(Run(s), (V{"new.txt"}));
  s.AccessedAfter = 0;
  // Both files were created just now (birth time, or the status change
  // where the file system keeps no birth time).
  s.CreatedAfter = today + 1;
  EXPECT_EQ(Run(s), V{});
  s.CreatedAfter = today - 1;
  s.CreatedBefore = today + 1;
  EXPECT_EQ(Sorted(Run(s)), (V{"new.txt", "old.txt"}));
  s.CreatedBefore = today - 1;
  EXPECT_EQ(Run(s), V{});
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
    // Exclusions come before the content test, so an excluded file is
    // never opened.
    s.ExcludeFiles = {"secret.*"};
    s.StartSearch();
    if (s.Aborted()) _exit(14);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0)
      << "10 setuid, 11 unreadable list, 12 hits, 13 abort, 14 excluded file opened";
}

TEST_F(FileSearchTest, MissingFolderYieldsNothing) {
  TFileSearch s;
  s.SetLocationFolder(root_ + "/nope");
  EXPECT_EQ(Run(s), V{});
  EXPECT_EQ(s.UnreadableFolders(), (V{root_ + "/nope"}));
}

TEST_F(FileSearchTest, IncludeFilesReplaceLocationAndAreTakenAsTheyStand) {
  Make("a/x.txt");
  Make("a/y.log");
  Make("b/z.log");
  Make("b/w.txt");
  TFileSearch s;
  s.SetLocation(root_ + "/a");  // replaced by the lines
  s.SetFilename("*.txt");
  s.Subfolders = false;
  s.IncludeFiles = {root_ + "/b/*.log", root_ + "/a/*.log", root_ + "/b/"};
  // Each line with its own mask, in the lines' order; a bare folder line
  // takes all of it (within a folder the order is the file system's).
  V hits = Run(s);
  ASSERT_EQ(hits.size(), 4u);
  EXPECT_EQ(V(hits.begin(), hits.begin() + 2), (V{"b/z.log", "a/y.log"}));
  EXPECT_EQ(Sorted(V(hits.begin() + 2, hits.end())), (V{"b/w.txt", "b/z.log"}));

  // A relative line is taken against the working folder.
  std::string cwd = fs::current_path();
  fs::current_path(root_ + "/a");
  s.IncludeFiles = {"*.txt"};
  V relative = Run(s);
  fs::current_path(cwd);
  EXPECT_EQ(relative, (V{"a/x.txt"}));
  s.SetIncludeFiles(nullptr);
  EXPECT_EQ(Run(s), (V{"a/x.txt"}));  // back to Location and Filename
}

TEST_F(FileSearchTest, EmptyLocationItemsSearchTheWorkingFolder) {
  Make("w/here.txt");
  Make("other/there.txt");
  std::string cwd = fs::current_path();
  fs::current_path(root_ + "/w");
  TFileSearch s;
  V empty = Run(s);  // an empty Location is the working folder
  s.SetLocation(root_ + "/other;;" + root_ + "/other");
  V middle = Run(s);  // the empty item between ";" too; the repeat once only
  s.SetLocation(";");
  V only_semicolon = Run(s);
  fs::current_path(cwd);
  EXPECT_EQ(empty, (V{"w/here.txt"}));
  EXPECT_EQ(middle, (V{"other/there.txt", "w/here.txt"}));
  EXPECT_EQ(only_semicolon, (V{"w/here.txt"}));
}

// The walk stops after the entry in hand when Abort() is called, from the
// events or from another thread; a handler's exception ends it as an error.
TEST_F(FileSearchTest, AbortAndHandlerErrorsEndTheWalkAndAreReported) {
  for (int i = 0; i < 20; ++i) Make("f" + std::to_string(i) + ".txt");
  Make("sub/g.txt");
  TFileSearch s;
  s.SetLocation(root_);
  int completes = 0;
  s.OnComplete = [&](TFileSearch&) { ++completes; };
  int hits = 0;
  s.OnFound = [&](TFileSearch& self, const std::string&, TSearchRec&) {
    if (++hits == 1) std::thread([&self] { self.Abort(); }).join();
  };
  s.StartSearch();
  EXPECT_EQ(hits, 1);
  EXPECT_TRUE(s.Aborted());
  EXPECT_EQ(s.AbortReason(), "");
  EXPECT_EQ(completes, 1);

  hits = 0;
  s.OnFound = [&](TFileSearch&, const std::string&, TSearchRec&) {
    if (++hits == 3) throw std::runtime_error("handler failed");
  };
  s.StartSearch();
  EXPECT_EQ(hits, 3);
  EXPECT_TRUE(s.Aborted());
  EXPECT_EQ(s.AbortReason(), "handler failed");
  EXPECT_EQ(completes, 2);

  // A later search starts afresh; an Abort() between searches is forgotten.
  s.Abort();
  EXPECT_EQ(Run(s).size(), 21u);
  EXPECT_FALSE(s.Aborted());
}

TEST_F(FileSearchTest, PumpRunsOnlyOnTheCallingThread) {
  for (int i = 0; i < 600; ++i) Make("p" + std::to_string(i));
  TFileSearch s;
  s.SetLocation(root_);
  int pumps = 0;
  s.Pump = [&] { ++pumps; };
  EXPECT_EQ(Run(s).size(), 600u);
  EXPECT_GE(pumps, 2);
  pumps = 0;
  std::atomic<int> hits{0};
  s.OnFound = [&](TFileSearch&, const std::string&, TSearchRec&) { ++hits; };
  s.Threaded = true;
  s.StartSearch();
  s.WaitFor();
  EXPECT_EQ(hits.load(), 600);
  EXPECT_EQ(pumps, 0);  // a worker must never run the user interface's loop
}

// ---- Threaded searches ------------------------------------------------------------

// A stand-in for a GUI event loop: events are posted from any thread and run
// on the thread that pumps the queue.
class EventQueue {
 public:
  TFileSearch::TEventPoster Poster() {
    return [this](std::function<void()> f) {
      std::lock_guard lk(mu_);
      q_.push_back(std::move(f));
      cv_.notify_all();
    };
  }
  // Runs posted events until `done` holds; false after 20 s without one.
  bool RunUntil(const std::function<bool()>& done) {
    while (!done()) {
      std::function<void()> f;
      {
        std::unique_lock lk(mu_);
        if (!cv_.wait_for(lk, std::chrono::seconds(20), [&] { return !q_.empty(); })) return false;
        f = std::move(q_.front());
        q_.pop_front();
      }
      f();
    }
    return true;
  }
  // Runs what is queued now, without waiting.
  size_t Drain() {
    size_t n = 0;
    for (;;) {
      std::function<void()> f;
      {
        std::lock_guard lk(mu_);
        if (q_.empty()) return n;
        f = std::move(q_.front());
        q_.pop_front();
      }
      f();
      ++n;
    }
  }
  // Waits until something has been posted.
  bool WaitNonEmpty() {
    std::unique_lock lk(mu_);
    return cv_.wait_for(lk, std::chrono::seconds(20), [&] { return !q_.empty(); });
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> q_;
};

TEST_F(FileSearchTest, ThreadedEventsReachTheOwnerThreadThroughThePoster) {
  Make("a.txt");
  Make("b.txt");
  Make("skip/c.txt");
  Make("keep/d.txt");
  TFileSearch plain;
  plain.SetLocation(root_);
  V expected = Sorted(Run(plain));

  EventQueue loop;  // outlives the component, as a GUI's loop does
  TFileSearch s;
  s.SetLocation(root_);
  s.Threaded = true;
  s.PostEvent = loop.Poster();
  const auto owner = std::this_thread::get_id();
  bool off_owner = false, complete = false;
  V hits, folders;
  s.OnNewFolder = [&](TFileSearch&, const std::string& folder, bool& ignore) {
    off_owner |= std::this_thread::get_id() != owner;
    folders.push_back(folder);
    ignore = folder == root_ + "/skip";  // the answer travels back to the worker
  };
  s.OnFound = [&](TFileSearch&, const std::string& folder, TSearchRec& rec) {
    off_owner |= std::this_thread::get_id() != owner;
    std::string rel = folder.size() > root_.size() ? folder.substr(root_.size() + 1) + "/" : "";
    hits.push_back(rel + rec.Name);
  };
  s.OnComplete = [&](TFileSearch& self) {
    off_owner |= std::this_thread::get_id() != owner;
    EXPECT_FALSE(self.Busy());
    complete = true;
  };
  s.StartSearch();
  // It returned at once: nothing can have been reported yet, since every
  // event waits for this thread.
  EXPECT_TRUE(s.Busy());
  EXPECT_TRUE(hits.empty());
  s.StartSearch();  // busy: does nothing
  ASSERT_TRUE(loop.RunUntil([&] { return complete; }));
  EXPECT_FALSE(off_owner);
  V want = expected;
  want.erase(std::remove(want.begin(), want.end(), "skip/c.txt"), want.end());
  EXPECT_EQ(Sorted(hits), want);
  EXPECT_EQ(folders.size(), 3u);
  EXPECT_FALSE(s.Aborted());

  // Without pumping the loop: WaitFor runs the events itself, and the
  // posted copies later find them answered.
  hits.clear();
  complete = false;
  s.StartSearch();
  s.WaitFor();
  EXPECT_TRUE(complete);
  EXPECT_EQ(Sorted(hits), want);
  EXPECT_FALSE(off_owner);
  loop.Drain();
  EXPECT_EQ(Sorted(hits), want);
}

TEST_F(FileSearchTest, ThreadedWithoutPosterRaisesEventsOnTheWorker) {
  Make("a.txt");
  Make("sub/b.txt");
  TFileSearch s;
  s.SetLocation(root_);
  s.Threaded = true;
  std::mutex mu;
  std::vector<std::thread::id> threads;
  int completes = 0;
  s.OnFound = [&](TFileSearch&, const std::string&, TSearchRec&) {
    std::lock_guard lk(mu);
    threads.push_back(std::this_thread::get_id());
  };
  // The handler may start the next search; WaitFor waits for the one that
  // was running when it was called.
  s.OnComplete = [&](TFileSearch& self) {
    std::lock_guard lk(mu);
    if (++completes == 1) self.StartSearch();
  };
  s.StartSearch();
  s.WaitFor();
  s.WaitFor();
  std::lock_guard lk(mu);
  EXPECT_EQ(completes, 2);
  ASSERT_EQ(threads.size(), 4u);
  EXPECT_NE(threads[0], std::this_thread::get_id());
  EXPECT_NE(threads[0], threads[2]);  // each search has its own worker
}

TEST_F(FileSearchTest, AbortFromAnotherThreadStopsAThreadedWalk) {
  for (int i = 0; i < 50; ++i) Make("f" + std::to_string(i) + ".txt");
  TFileSearch s;
  s.SetLocation(root_);
  s.Threaded = true;
  std::promise<void> first_hit, aborted;
  std::shared_future<void> go = aborted.get_future().share();
  std::atomic<int> hits{0};
  s.OnFound = [&](TFileSearch&, const std::string&, TSearchRec&) {
    if (++hits == 1) {
      first_hit.set_value();
      go.wait();
    }
  };
  s.StartSearch();
  first_hit.get_future().wait();
  s.Abort();
  aborted.set_value();
  s.WaitFor();
  EXPECT_EQ(hits.load(), 1);
  EXPECT_TRUE(s.Aborted());
  EXPECT_FALSE(s.Busy());
}

TEST_F(FileSearchTest, DestroyingARunningSearchWaitsAndFiresNoEvent) {
  for (int i = 0; i < 50; ++i) Make("f" + std::to_string(i) + ".txt");
  // With a poster whose loop never runs: the worker waits on its first
  // event when the component goes.
  {
    EventQueue loop;
    int events = 0;
    {
      TFileSearch s;
      s.SetLocation(root_);
      s.Threaded = true;
      s.PostEvent = loop.Poster();
      s.OnNewFolder = [&](TFileSearch&, const std::string&, bool&) { ++events; };
      s.OnFound = [&](TFileSearch&, const std::string&, TSearchRec&) { ++events; };
      s.OnComplete = [&](TFileSearch&) { ++events; };
      s.StartSearch();
      ASSERT_TRUE(loop.WaitNonEmpty());
    }
    loop.Drain();  // the queued hand-offs outlive the component and do nothing
    EXPECT_EQ(events, 0);
  }
  // Without a poster: the events run on the worker, which is mid-walk.
  {
    std::atomic<int> hits{0}, completes{0};
    std::promise<void> first_hit;
    auto s = std::make_unique<TFileSearch>();
    s->SetLocation(root_);
    s->Threaded = true;
    s->OnFound = [&](TFileSearch&, const std::string&, TSearchRec&) {
      if (++hits == 1) {
        first_hit.set_value();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
    };
    s->OnComplete = [&](TFileSearch&) { ++completes; };
    s->StartSearch();
    first_hit.get_future().wait();
    s.reset();  // returns once the worker has ended
    EXPECT_EQ(hits.load(), 1);
    EXPECT_EQ(completes.load(), 0);
  }
}

TEST_F(FileSearchTest, OnCompleteMayDestroyTheComponent) {
  Make("a.txt");
  // On the worker (no poster) and on the owner thread (poster).
  for (bool posted : {false, true}) {
    EventQueue loop;
    auto s = std::make_unique<TFileSearch>();
    s->SetLocation(root_);
    s->Threaded = true;
    if (posted) s->PostEvent = loop.Poster();
    std::promise<void> gone;
    s->OnComplete = [&](TFileSearch&) {
      s.reset();
      gone.set_value();
    };
    s->StartSearch();
    if (posted) {
      bool done = false;
      ASSERT_TRUE(loop.RunUntil([&] {
        done = done || !s;
        return done;
      }));
    }
    gone.get_future().wait();
    EXPECT_EQ(s, nullptr);
  }
}

// A handler's error ends a threaded search as any walk error does; a poster
// that cannot queue, or an OnComplete that throws, must neither end the
// program nor leave WaitFor waiting for ever.
TEST_F(FileSearchTest, ErrorsEndThreadedSearchesCleanly) {
  for (int i = 0; i < 10; ++i) Make("f" + std::to_string(i) + ".txt");
  {
    EventQueue loop;
    TFileSearch s;
    s.SetLocation(root_);
    s.Threaded = true;
    s.PostEvent = loop.Poster();
    int hits = 0;
    bool complete = false;
    s.OnFound = [&](TFileSearch&, const std::string&, TSearchRec&) {
      if (++hits == 2) throw std::runtime_error("cannot show it");
    };
    s.OnComplete = [&](TFileSearch&) { complete = true; };
    s.StartSearch();
    ASSERT_TRUE(loop.RunUntil([&] { return complete; }));
    EXPECT_EQ(hits, 2);
    EXPECT_TRUE(s.Aborted());
    EXPECT_EQ(s.AbortReason(), "cannot show it");
  }
  {
    TFileSearch s;
    s.SetLocation(root_);
    s.Threaded = true;
    // The first refusal ends the walk; the second is the completion's.
    std::atomic<int> posts{0};
    std::promise<void> refused_twice;
    s.PostEvent = [&](std::function<void()>) {
      if (++posts == 2) refused_twice.set_value();
      throw std::runtime_error("queue full");
    };
    int completes = 0;
    s.OnComplete = [&](TFileSearch&) { ++completes; };
    s.StartSearch();
    refused_twice.get_future().wait();
    s.WaitFor();  // runs the completion the poster could not queue
    EXPECT_EQ(posts.load(), 2);
    EXPECT_EQ(completes, 1);
    EXPECT_FALSE(s.Busy());
    EXPECT_TRUE(s.Aborted());
    EXPECT_EQ(s.AbortReason(), "queue full");
  }
  {
    TFileSearch s;  // on the worker: the error stays there
    s.SetLocation(root_);
    s.Threaded = true;
    s.OnComplete = [](TFileSearch&) { throw std::runtime_error("late"); };
    s.StartSearch();
    s.WaitFor();
    EXPECT_FALSE(s.Busy());
  }
  {
    EventQueue loop;
    TFileSearch s;  // on the owner thread: the error reaches the caller
    s.SetLocation(root_);
    s.Threaded = true;
    s.PostEvent = loop.Poster();
    s.OnComplete = [](TFileSearch&) { throw std::runtime_error("late"); };
    s.StartSearch();
    EXPECT_THROW(s.WaitFor(), std::runtime_error);
    s.WaitFor();  // over: returns at once
    EXPECT_FALSE(s.Busy());
    loop.Drain();
  }
}

TEST_F(FileSearchTest, ThreadPriorityAppliesToTheRunningWorker) {
  Make("a.txt");
  Make("b.txt");
  errno = 0;
  const int base = ::getpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()));
  ASSERT_EQ(errno, 0);
  if (base > 9) GTEST_SKIP() << "already running at a low priority";
  TFileSearch s;
  s.SetLocation(root_);
  s.Threaded = true;
  s.SetThreadPriority(TThreadPriority::tpLower);
  EXPECT_EQ(s.ThreadPriority(), TThreadPriority::tpLower);
  std::vector<int> nice;
  std::promise<void> first_hit, changed;
  std::shared_future<void> go = changed.get_future().share();
  s.OnFound = [&](TFileSearch&, const std::string&, TSearchRec&) {
    nice.push_back(::getpriority(PRIO_PROCESS, static_cast<id_t>(::gettid())));
    if (nice.size() == 1) {
      first_hit.set_value();
      go.wait();
    }
  };
  s.StartSearch();
  first_hit.get_future().wait();
  s.SetThreadPriority(TThreadPriority::tpLowest);  // at once, on the running worker
  changed.set_value();
  s.WaitFor();
  EXPECT_EQ(nice, (std::vector<int>{base + 5, base + 10}));
  // The starting thread keeps its own priority.
  EXPECT_EQ(::getpriority(PRIO_PROCESS, static_cast<id_t>(::gettid())), base);
}

}  // namespace
}  // namespace zb::file_search
