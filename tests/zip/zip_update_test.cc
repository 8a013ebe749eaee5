#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <map>
#include <string>
#include <vector>

#include "base/errors.h"
#include "fault_file.h"
#include "zip/archive_test_util.h"
#include "zip/zip_writer.h"

namespace zb::zip {
namespace {

using ztest::EntryContent;
using ztest::Names;
using ztest::ParseArchive;
using ztest::RawArchive;
using ztest::ReadFile;
using ztest::WriteFile;

constexpr time_t kT = 1600000000;  // 2020-09-13

void Put16(std::string* s, uint16_t v) {
  s->push_back(static_cast<char>(v & 0xFF));
  s->push_back(static_cast<char>(v >> 8));
}
void Put32(std::string* s, uint32_t v) {
  Put16(s, static_cast<uint16_t>(v & 0xFFFF));
  Put16(s, static_cast<uint16_t>(v >> 16));
}

// An entry as another program might have written it: stored data, extra
// fields, a comment, and optionally a data descriptor after the data.
struct Crafted {
  std::string name = {};
  std::string data = {};
  std::string local_extra = {};
  std::string central_extra = {};
  std::string comment = {};
  int descriptor = 0;         // 0: none; 12: without signature; 16: with it
  uint16_t made_by = 0x031E;  // UNIX, 3.0
  uint32_t dos = 0x50000000;  // 2020-01-00 -> repaired on read; old enough
};

std::string Craft(const std::vector<Crafted>& entries, const std::string& comment) {
  std::string out;
  std::string central;
  for (const Crafted& e : entries) {
    const uint32_t crc = static_cast<uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(e.data.data()), e.data.size()));
    const uint16_t flags = e.descriptor ? 8 : 0;
    const uint32_t offset = static_cast<uint32_t>(out.size());
    Put32(&out, 0x04034B50);
    Put16(&out, 10);
    Put16(&out, flags);
    Put16(&out, 0);
    Put32(&out, e.dos);
    Put32(&out, e.descriptor ? 0 : crc);
    Put32(&out, e.descriptor ? 0 : static_cast<uint32_t>(e.data.size()));
    Put32(&out, e.descriptor ? 0 : static_cast<uint32_t>(e.data.size()));
    Put16(&out, static_cast<uint16_t>(e.name.size()));
    Put16(&out, static_cast<uint16_t>(e.local_extra.size()));
    out += e.name + e.local_extra + e.data;
    if (e.descriptor == 16) Put32(&out, 0x08074B50);
    if (e.descriptor) {
      Put32(&out, crc);
      Put32(&out, static_cast<uint32_t>(e.data.size()));
      Put32(&out, static_cast<uint32_t>(e.data.size()));
    }
    Put32(&central, 0x02014B50);
    Put16(&central, e.made_by);
    Put16(&central, 10);
    Put16(&central, flags);
    Put16(&central, 0);
    Put32(&central, e.dos);
    Put32(&central, crc);
    Put32(&central, static_cast<uint32_t>(e.data.size()));
    Put32(&central, static_cast<uint32_t>(e.data.size()));
    Put16(&central, static_cast<uint16_t>(e.name.size()));
    Put16(&central, static_cast<uint16_t>(e.central_extra.size()));
    Put16(&central, static_cast<uint16_t>(e.comment.size()));
    Put16(&central, 0);
    Put16(&central, 0);
    Put32(&central, 0x81A40000);
    Put32(&central, offset);
    central += e.name + e.central_extra + e.comment;
  }
  const uint32_t central_offset = static_cast<uint32_t>(out.size());
  out += central;
  Put32(&out, 0x06054B50);
  Put16(&out, 0);
  Put16(&out, 0);
  Put16(&out, static_cast<uint16_t>(entries.size()));
  Put16(&out, static_cast<uint16_t>(entries.size()));
  Put32(&out, static_cast<uint32_t>(central.size()));
  Put32(&out, central_offset);
  Put16(&out, static_cast<uint16_t>(comment.size()));
  out += comment;
  return out;
}

class ZipUpdateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    zip_ = dir_ / "archive.zip";
    opts_.ZipName = zip_;
    ev_.OnZipComplete = [this](int n) { completed_.push_back(n); };
  }

  std::string Put(const std::string& rel, const std::string& data, time_t t = kT) {
    const std::string path = dir_ / ("src/" + rel);
    WriteFile(path, data);
    ztest::SetMtime(path, t);
    return path;
  }

  int Zip(std::vector<std::string> files) {
    opts_.FilesList = std::move(files);
    return w_.Zip(opts_, ev_);
  }
  int Remove(std::vector<std::string> patterns, std::vector<std::string> exact = {}) {
    TRemoveOptions remove;
    remove.ZipName = opts_.ZipName;
    remove.FilesList = std::move(patterns);
    remove.ExactNames = std::move(exact);
    remove.OutputFactory = opts_.OutputFactory;
    return w_.RemoveEntries(remove, ev_);
  }

  // a.txt, b.txt, c.txt, written by the engine with the comment "old".
  void MakeAbc() {
    a_ = Put("a.txt", "aaa");
    b_ = Put("b.txt", "bbb");
    c_ = Put("c.txt", "ccc");
    opts_.ArchiveComment = "old";
    ASSERT_EQ(Zip({a_, b_, c_}), 3);
    opts_.ArchiveComment.reset();
  }

  RawArchive Archive() { return ParseArchive(ReadFile(zip_)); }
  int TempFilesLeft() { return ztest::CountFilesContaining(dir_.path(), ".zbk-"); }

  ztest::TempDir dir_;
  std::string zip_;
  std::string a_, b_, c_;
  TZipWriter w_;
  TZipOptions opts_;
  TZipEvents ev_;
  std::vector<int> completed_;
};

// --- Adding --------------------------------------------------------------------------

TEST_F(ZipUpdateTest, NewerFileReplacesItsEntryInPlace) {
  MakeAbc();
  chmod(zip_.c_str(), 0640);
  Put("b.txt", "new b content", kT + 100);
  completed_.clear();
  EXPECT_EQ(Zip({b_}), 1);
  EXPECT_EQ(completed_, std::vector<int>{1});
  const RawArchive a = Archive();
  EXPECT_EQ(Names(a), (std::vector<std::string>{"a.txt", "b.txt", "c.txt"}));
  EXPECT_EQ(EntryContent(a.entries[1]), "new b content");
  EXPECT_EQ(EntryContent(a.entries[2]), "ccc");
  EXPECT_EQ(a.comment, "old");
  struct stat st {};
  ASSERT_EQ(stat(zip_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(TempFilesLeft(), 0);
}

TEST_F(ZipUpdateTest, EqualOrOlderFileChangesNothing) {
  MakeAbc();
  const std::string before = ReadFile(zip_);
  completed_.clear();
  Put("b.txt", "same time", kT);
  EXPECT_EQ(Zip({b_}), 0);
  EXPECT_EQ(ReadFile(zip_), before);
  Put("b.txt", "older", kT - 3600);
  EXPECT_EQ(Zip({b_}), 0);
  EXPECT_EQ(ReadFile(zip_), before);
  EXPECT_EQ(completed_, (std::vector<int>{0, 0}));
}

TEST_F(ZipUpdateTest, NewNamesAreAppended) {
  MakeAbc();
  const std::string d = Put("d.txt", "ddd");
  const std::string e = Put("e.txt", "eee");
  EXPECT_EQ(Zip({e, d}), 2);
  const RawArchive a = Archive();
  EXPECT_EQ(Names(a), (std::vector<std::string>{"a.txt", "b.txt", "c.txt", "e.txt", "d.txt"}));
  for (const auto& entry : a.entries) EXPECT_NO_THROW(EntryContent(entry)) << entry.name;
}

TEST_F(ZipUpdateTest, NewCommentReplacesTheOldOneAndNoneKeepsIt) {
  MakeAbc();
  opts_.ArchiveComment = "new";
  (void)Zip({});
  EXPECT_EQ(Archive().comment, "new");
  // None given: carried over.
  opts_.ArchiveComment.reset();
  (void)Zip({});
  EXPECT_EQ(Archive().comment, "new");
  // A comment given for another archive is not kept for this one.
  opts_.ArchiveComment = "elsewhere";
  opts_.ZipName = dir_ / "other.zip";
  (void)Zip({});
  opts_.ArchiveComment.reset();
  opts_.ZipName = zip_;
  (void)Zip({});
  EXPECT_EQ(Archive().comment, "new");
  // An empty comment removes it.
  opts_.ArchiveComment = "";
  (void)Zip({});
  EXPECT_EQ(Archive().comment, "");
}

TEST_F(ZipUpdateTest, ExactNameWinsOverCaseFoldedName) {
  // Entries "A.txt" and "a.txt" (from a system where names are
  // case-sensitive); a newer file a.txt replaces "a.txt" only.
  WriteFile(zip_,
            Craft({{.name = "A.txt", .data = "upper"}, {.name = "a.txt", .data = "lower"}}, ""));
  const std::string a = Put("a.txt", "fresh", kT);
  EXPECT_EQ(Zip({a}), 1);
  const RawArchive r = Archive();
  ASSERT_EQ(Names(r), (std::vector<std::string>{"A.txt", "a.txt"}));
  EXPECT_EQ(EntryContent(r.entries[0]), "upper");
  EXPECT_EQ(EntryContent(r.entries[1]), "fresh");
}

TEST_F(ZipUpdateTest, NamesDifferingInCaseNeverReplaceEachOther) {
  WriteFile(zip_, Craft({{.name = "DOCS/READ.ME", .data = "old", .made_by = 20}}, ""));
  Put("docs/read.me", "new", kT);
  const std::filesystem::path cwd = std::filesystem::current_path();
  struct Back {
    std::filesystem::path to;
    ~Back() { std::filesystem::current_path(to); }
  } back{cwd};
  ASSERT_EQ(chdir((dir_ / "src").c_str()), 0);
  opts_.StorePaths = true;
  EXPECT_EQ(Zip({"docs/read.me"}), 1);
  // On Linux these are two files, whatever system wrote the entry.
  const RawArchive r = Archive();
  ASSERT_EQ(Names(r), (std::vector<std::string>{"DOCS/READ.ME", "docs/read.me"}));
  EXPECT_EQ(EntryContent(r.entries[0]), "old");
  EXPECT_EQ(EntryContent(r.entries[1]), "new");
}

TEST_F(ZipUpdateTest, ForeignExtrasCommentsAndDataDescriptorsSurvive) {
  const std::vector<Crafted> crafted = {
      {.name = "one.txt",
       .data = "first entry",
       .local_extra = std::string("\x55\x54\x05\x00\x01\x11\x22\x33\x44", 9),
       .central_extra = std::string("\x55\x54\x05\x00\x01\x11\x22\x33\x44", 9),
       .comment = "note one"},
      {.name = "two.txt", .data = "second entry", .descriptor = 16},
      {.name = "three.txt", .data = "third", .comment = "c3", .descriptor = 12},
  };
  const std::string original = Craft(crafted, "archive note");
  WriteFile(zip_, original);
  const RawArchive before = ParseArchive(original);
  const std::string d = Put("new.txt", "added");
  EXPECT_EQ(Zip({d}), 1);

  const std::string after_bytes = ReadFile(zip_);
  const RawArchive after = ParseArchive(after_bytes);
  ASSERT_EQ(Names(after), (std::vector<std::string>{"one.txt", "two.txt", "three.txt", "new.txt"}));
  EXPECT_EQ(after.comment, "archive note");
  for (size_t i = 0; i < 3; ++i) {
    const auto& o = before.entries[i];
    const auto& n = after.entries[i];
    EXPECT_EQ(n.version_made_by, o.version_made_by);
    EXPECT_EQ(n.extra, o.extra);
    EXPECT_EQ(n.comment, o.comment);
    EXPECT_EQ(n.l_extra, o.l_extra);
    EXPECT_EQ(n.flags, o.flags);
    EXPECT_EQ(n.external_attr, o.external_attr);
    // Local header, data and descriptor: the same bytes at the new place.
    const size_t len =
        (i + 1 < 3 ? before.entries[i + 1].offset : before.central_offset) - o.offset;
    EXPECT_EQ(after_bytes.substr(n.offset, len), original.substr(o.offset, len)) << o.name;
  }
  // The entry after each descriptor starts right after it.
  EXPECT_EQ(after.entries[2].offset - after.entries[1].offset,
            before.entries[2].offset - before.entries[1].offset);
  EXPECT_EQ(after.entries[3].offset, before.central_offset);
  if (ztest::HaveTool("unzip")) {
    EXPECT_EQ(ztest::Run("unzip -tqq '" + zip_ + "'"), 0);
  }
}

TEST_F(ZipUpdateTest, ArchiveReachedThroughALinkIsUpdatedWhereItLives) {
  MakeAbc();
  const std::string link = dir_ / "link.zip";
  std::filesystem::create_symlink(zip_, link);
  opts_.ZipName = link;
  EXPECT_EQ(Zip({Put("d.txt", "d")}), 1);
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_EQ(Names(Archive()), (std::vector<std::string>{"a.txt", "b.txt", "c.txt", "d.txt"}));
}

// Regression: the temporary name adds to the archive's name, and a name
// near the 255-byte limit made the temporary file impossible to create.
TEST_F(ZipUpdateTest, ArchiveNameAtTheLengthLimitStillUpdates) {
  std::string name;
  while (name.size() < 251) name += "\xC3\xA4";  // two-byte characters: the cut must not split one
  name = name.substr(0, 251) + ".zip";
  ASSERT_EQ(name.size(), 255u);
  opts_.ZipName = dir_ / name;
  EXPECT_EQ(Zip({Put("a.txt", "a")}), 1);
  EXPECT_EQ(Zip({Put("b.txt", "b")}), 1);
  EXPECT_EQ(Names(ParseArchive(ReadFile(dir_ / name))),
            (std::vector<std::string>{"a.txt", "b.txt"}));
}

// --- Removing ------------------------------------------------------------------------

TEST_F(ZipUpdateTest, RemoveByPatternInAnyFolderAndByPlainName) {
  WriteFile(zip_, Craft({{.name = "docs/a.txt", .data = "1"},
                         {.name = "docs/x.tmp", .data = "2"},
                         {.name = "a.txt", .data = "3"},
                         {.name = "deep/er/y.TMP", .data = "4"},
                         {.name = "z.tmp.txt", .data = "5"}},
                        "keep me"));
  EXPECT_EQ(Remove({"*.tmp"}), 2);
  EXPECT_EQ(Names(Archive()), (std::vector<std::string>{"docs/a.txt", "a.txt", "z.tmp.txt"}));
  EXPECT_EQ(Remove({"DOCS/A.TXT"}), 1);
  EXPECT_EQ(Names(Archive()), (std::vector<std::string>{"a.txt", "z.tmp.txt"}));
  EXPECT_EQ(Archive().comment, "keep me");
  EXPECT_TRUE(completed_.empty());
}

TEST_F(ZipUpdateTest, PlainNameRemovesOneEntryPatternRemovesAll) {
  WriteFile(zip_, Craft({{.name = "d.txt", .data = "1"}, {.name = "d.txt", .data = "2"}}, ""));
  EXPECT_EQ(Remove({"d.txt"}), 1);
  ASSERT_EQ(Archive().entries.size(), 1u);
  EXPECT_EQ(EntryContent(Archive().entries[0]), "2");
}

TEST_F(ZipUpdateTest, ExactNamesAreNeverPatterns) {
  WriteFile(zip_, Craft({{.name = "a*.txt", .data = "1"},
                         {.name = "ab.txt", .data = "2"},
                         {.name = "A*.TXT", .data = "3"}},
                        ""));
  EXPECT_EQ(Remove({}, {"a*.txt"}), 1);
  EXPECT_EQ(Names(Archive()), (std::vector<std::string>{"ab.txt", "A*.TXT"}));
}

TEST_F(ZipUpdateTest, RemovingEverythingLeavesEndRecordWithComment) {
  MakeAbc();
  EXPECT_EQ(Remove({"*"}), 3);
  EXPECT_EQ(ReadFile(zip_), std::string("PK\x05\x06", 4) + std::string(16, '\0') +
                                std::string("\x03\x00", 2) + "old");
}

// --- Failures -----------------------------------------------------------------------------

TEST_F(ZipUpdateTest, FullDiskAtEveryByteLeavesTheArchiveAsItWas) {
  MakeAbc();
  const std::string d = Put("d.txt", "a new file to add");
  Put("b.txt", "replacement", kT + 10);
  const std::string before = ReadFile(zip_);
  for (uint64_t cap = 0; cap < before.size() + 200; ++cap) {
    testing::FaultFileFactory factory(cap);
    opts_.OutputFactory = &factory;
    opts_.FilesList = {b_, d};
    try {
      (void)w_.Zip(opts_, ev_);
      break;  // enough room at last
    } catch (const ENotEnoughRoom&) {
    }
    ASSERT_EQ(ReadFile(zip_), before) << "capacity " << cap;
    ASSERT_EQ(TempFilesLeft(), 0) << "capacity " << cap;
  }
  opts_.OutputFactory = nullptr;
  EXPECT_EQ(Names(Archive()), (std::vector<std::string>{"a.txt", "b.txt", "c.txt", "d.txt"}));
}

TEST_F(ZipUpdateTest, FullDiskDuringRemovalLeavesTheArchiveAsItWas) {
  MakeAbc();
  const std::string before = ReadFile(zip_);
  for (uint64_t cap = 0; cap < before.size(); ++cap) {
    testing::FaultFileFactory factory(cap);
    opts_.OutputFactory = &factory;
    try {
      (void)Remove({"b.txt"});
      break;
    } catch (const ENotEnoughRoom&) {
    }
    ASSERT_EQ(ReadFile(zip_), before) << "capacity " << cap;
    ASSERT_EQ(TempFilesLeft(), 0) << "capacity " << cap;
  }
  opts_.OutputFactory = nullptr;
}

TEST_F(ZipUpdateTest, HandlerErrorMidUpdateLeavesTheArchiveAsItWas) {
  MakeAbc();
  const std::string before = ReadFile(zip_);
  const std::string d = Put("d.txt", "d");
  const std::string e = Put("e.txt", "e");
  ev_.OnStartZip = [&](const std::string& name, TZipHeaderInfo&, bool&) {
    if (name == e) throw Error("cancelled");
  };
  completed_.clear();
  opts_.FilesList = {d, e};
  EXPECT_THROW(w_.Zip(opts_, ev_), Error);
  EXPECT_EQ(ReadFile(zip_), before);
  EXPECT_EQ(TempFilesLeft(), 0);
  EXPECT_TRUE(completed_.empty());
}

TEST_F(ZipUpdateTest, UnreadableArchiveIsNotTouched) {
  WriteFile(zip_, "this is not an archive at all, just some text that is long enough");
  const std::string before = ReadFile(zip_);
  opts_.FilesList = {Put("a.txt", "a")};
  EXPECT_THROW(w_.Zip(opts_, ev_), EZipError);
  EXPECT_EQ(ReadFile(zip_), before);
  EXPECT_EQ(TempFilesLeft(), 0);
}

// Regression guard: a damaged directory is rebuilt by the reader's recovery
// scan, which may miss entries; updating on top of it would lose them.
TEST_F(ZipUpdateTest, DamagedDirectoryIsNeverTheBaseOfAnUpdate) {
  MakeAbc();
  std::string bytes = ReadFile(zip_);
  const size_t central = bytes.find(std::string("PK\x01\x02", 4));
  ASSERT_NE(central, std::string::npos);
  bytes[central + 3] = '\x09';
  WriteFile(zip_, bytes);
  opts_.FilesList = {Put("d.txt", "d")};
  try {
    (void)w_.Zip(opts_, ev_);
    ADD_FAILURE() << "updated a damaged archive";
  } catch (const EBadZipFile& e) {
    EXPECT_NE(std::string(e.what()).find("damaged"), std::string::npos) << e.what();
  }
  EXPECT_THROW(Remove({"a.txt"}), EBadZipFile);
  EXPECT_EQ(ReadFile(zip_), bytes);
  EXPECT_EQ(TempFilesLeft(), 0);
}

TEST_F(ZipUpdateTest, ReplacementThatVanishedKeepsTheEntry) {
  MakeAbc();
  Put("b.txt", "newer", kT + 10);
  ev_.OnStartZip = [&](const std::string& name, TZipHeaderInfo&, bool& skip) { skip = name == b_; };
  EXPECT_EQ(Zip({b_}), 0);
  const RawArchive a = Archive();
  ASSERT_EQ(Names(a), (std::vector<std::string>{"a.txt", "b.txt", "c.txt"}));
  EXPECT_EQ(EntryContent(a.entries[1]), "bbb");
}

// --- Leftovers of killed runs ---------------------------------------------------------

TEST_F(ZipUpdateTest, KilledRunLeftoverIsRemovedByTheNextOperation) {
  MakeAbc();
  const std::string before = ReadFile(zip_);
  Put("big.bin", std::string(1 << 20, 'x'), kT + 5);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    TZipOptions options;
    options.ZipName = zip_;
    options.FilesList = {dir_ / "src/big.bin"};
    TZipEvents events;
    events.OnStartZip = [](const std::string&, TZipHeaderInfo&, bool&) { raise(SIGKILL); };
    (void)TZipWriter().Zip(options, events);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(ReadFile(zip_), before);
  EXPECT_EQ(TempFilesLeft(), 1);

  // A temporary file another live writer holds is left alone, as is any
  // file that merely looks similar.
  const std::string busy = dir_ / ".other.zip.zbk-abcdefgh.tmp";
  const std::string lookalike = dir_ / ".other.zip.zbk-ABCDEFGH.tmp";
  WriteFile(busy, "busy");
  WriteFile(lookalike, "not ours");
  const int fd = open(busy.c_str(), O_RDONLY);
  ASSERT_EQ(flock(fd, LOCK_EX), 0);
  // flock conflicts between open file descriptions, even in one process.
  EXPECT_EQ(Remove({"a.txt"}), 1);
  EXPECT_EQ(TempFilesLeft(), 2);
  EXPECT_TRUE(std::filesystem::exists(busy));
  EXPECT_TRUE(std::filesystem::exists(lookalike));
  close(fd);
  EXPECT_EQ(Remove({"b.txt"}), 1);
  EXPECT_FALSE(std::filesystem::exists(busy));
}

TEST(TempFileNameTest, OnlyOurPattern) {
  EXPECT_TRUE(TZipWriter::IsTempFileName(".a.zip.zbk-0123abcd.tmp"));
  EXPECT_FALSE(TZipWriter::IsTempFileName("a.zip.zbk-0123abcd.tmp"));
  EXPECT_FALSE(TZipWriter::IsTempFileName(".a.zip.zbk-0123abc.tmp"));
  EXPECT_FALSE(TZipWriter::IsTempFileName(".a.zip.zbk-0123abcd.zip"));
  EXPECT_FALSE(TZipWriter::IsTempFileName(".zbk-0123abcd.tmp"));
}

}  // namespace
}  // namespace zb::zip
