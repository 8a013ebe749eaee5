// Damaged archives through `zipbackup-cli test` and `extract`: bytes flipped
// in data, CRCs, sizes, names, methods, offsets and end records, and the file
// cut at many points. Whatever the damage: no crash or hang, never exit 0
// with wrong bytes on disk, existing files replaced only by good copies,
// nothing written outside the destination.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "interop/shell_command.h"
#include "zip/archive_test_util.h"
#include "zip/zip_writer.h"

namespace zb::zip {
namespace {

namespace fs = std::filesystem;
using interop::Cmd;
using interop::Q;
using ztest::Get16;
using ztest::Get32;

// A hang of a peer tool ends as exit code 124.
Cmd Sh(const std::string& cmd) { return interop::Sh(cmd, 30); }

void Put32At(std::string& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<char>(v >> (8 * i));
}
void Put16At(std::string& b, size_t at, uint16_t v) {
  b[at] = static_cast<char>(v);
  b[at + 1] = static_cast<char>(v >> 8);
}

// Where the records of an archive written in one piece lie.
struct Layout {
  struct Entry {
    std::string name;
    size_t local = 0;  // local header
    size_t data = 0;   // first byte after it
    size_t csize = 0;
    size_t central = 0;  // central header
  };
  std::vector<Entry> entries;
  size_t end = 0;  // end record
};

Layout Locate(const std::string& b) {
  Layout l;
  for (size_t i = b.size() - 22 + 1; i-- > 0;) {
    if (Get32(b, i) == 0x06054B50) {
      l.end = i;
      break;
    }
  }
  size_t p = Get32(b, l.end + 16);
  const int count = Get16(b, l.end + 10);
  for (int i = 0; i < count; ++i) {
    Layout::Entry e;
    e.central = p;
    const uint16_t n = Get16(b, p + 28), x = Get16(b, p + 30), c = Get16(b, p + 32);
    e.name = b.substr(p + 46, n);
    e.csize = Get32(b, p + 20);
    e.local = Get32(b, p + 42);
    e.data = e.local + 30 + Get16(b, e.local + 26) + Get16(b, e.local + 28);
    l.entries.push_back(e);
    p += 46 + n + x + c;
  }
  return l;
}

using Mutation = std::function<void(std::string&, const Layout&)>;

struct Damage {
  std::string label;
  Mutation mutate;
  // The test verb must report a failure (exit 1 or 2).
  bool must_fail = true;
  // Only the name is damaged: the test verb checks data, not names.
  bool name_only = false;
};

// The damage table. Entry 0 is a deflated text, entry 1 is stored.
std::vector<Damage> DamageTable() {
  std::vector<Damage> t;
  auto each = [&](const std::string& label,
                  std::function<void(std::string&, const Layout::Entry&)> f,
                  bool must_fail = true) {
    for (int i : {0, 1}) {
      t.push_back({label + " #" + std::to_string(i),
                   [f, i](std::string& b, const Layout& l) { f(b, l.entries[i]); }, must_fail});
    }
  };
  each("data byte flipped in the middle",
       [](std::string& b, const Layout::Entry& e) { b[e.data + e.csize / 2] ^= 0x10; });
  each("first data byte flipped",
       [](std::string& b, const Layout::Entry& e) { b[e.data] ^= 0x04; });
  // Bit 0 of the last byte always belongs to a Deflate stream (bits fill
  // from the low end), and to stored data of course.
  each("last data byte flipped",
       [](std::string& b, const Layout::Entry& e) { b[e.data + e.csize - 1] ^= 0x01; });
  each("central CRC off by one", [](std::string& b, const Layout::Entry& e) {
    Put32At(b, e.central + 16, Get32(b, e.central + 16) + 1);
  });
  each("central compressed size one less", [](std::string& b, const Layout::Entry& e) {
    Put32At(b, e.central + 20, Get32(b, e.central + 20) - 1);
  });
  each("central compressed size one more", [](std::string& b, const Layout::Entry& e) {
    Put32At(b, e.central + 20, Get32(b, e.central + 20) + 1);
  });
  each("central compressed size beyond the file",
       [](std::string& b, const Layout::Entry& e) { Put32At(b, e.central + 20, 0x7FFFFFF0); });
  each("central size one less", [](std::string& b, const Layout::Entry& e) {
    Put32At(b, e.central + 24, Get32(b, e.central + 24) - 1);
  });
  each("central size one more", [](std::string& b, const Layout::Entry& e) {
    Put32At(b, e.central + 24, Get32(b, e.central + 24) + 1);
  });
  each("central size zero",
       [](std::string& b, const Layout::Entry& e) { Put32At(b, e.central + 24, 0); });
  each("central size huge",
       [](std::string& b, const Layout::Entry& e) { Put32At(b, e.central + 24, 0xFFFFFFF0); });
  each("local header offset one more", [](std::string& b, const Layout::Entry& e) {
    Put32At(b, e.central + 42, Get32(b, e.central + 42) + 1);
  });
  each("local header offset past the end",
       [](std::string& b, const Layout::Entry& e) { Put32At(b, e.central + 42, 0x7FFFFFF0); });
  each("local signature broken", [](std::string& b, const Layout::Entry& e) { b[e.local] = 'X'; });
  each("local extra length grown", [](std::string& b, const Layout::Entry& e) {
    Put16At(b, e.local + 28, Get16(b, e.local + 28) + 7);
  });
  each("local name length shrunk", [](std::string& b, const Layout::Entry& e) {
    Put16At(b, e.local + 26, Get16(b, e.local + 26) - 1);
  });
  each("method says Deflate64",
       [](std::string& b, const Layout::Entry& e) { Put16At(b, e.central + 10, 9); });
  each("method stored <-> deflated", [](std::string& b, const Layout::Entry& e) {
    Put16At(b, e.central + 10, Get16(b, e.central + 10) == 8 ? 0 : 8);
  });
  // Harmless for the data (the directory rules), so only the outcome
  // invariants apply.
  each(
      "local CRC changed", [](std::string& b, const Layout::Entry& e) { b[e.local + 14] ^= 0x01; },
      false);
  // A name that would leave the destination.
  for (int i : {0, 1}) {
    t.push_back(
        {"name made to climb out #" + std::to_string(i),
         [i](std::string& b, const Layout& l) { b.replace(l.entries[i].central + 46, 3, "../"); },
         false, true});
  }
  each(
      "name made absolute", [](std::string& b, const Layout::Entry& e) { b[e.central + 46] = '/'; },
      false);
  // A lying end record sends the reader to the recovery scan, which finds
  // every entry here but is still reported.
  t.push_back({"end record count one more", [](std::string& b, const Layout& l) {
                 Put16At(b, l.end + 8, Get16(b, l.end + 8) + 1);
                 Put16At(b, l.end + 10, Get16(b, l.end + 10) + 1);
               }});
  t.push_back({"end record count one less", [](std::string& b, const Layout& l) {
                 Put16At(b, l.end + 8, Get16(b, l.end + 8) - 1);
                 Put16At(b, l.end + 10, Get16(b, l.end + 10) - 1);
               }});
  t.push_back({
      "central offset one more",
      [](std::string& b, const Layout& l) { Put32At(b, l.end + 16, Get32(b, l.end + 16) + 1); },
  });
  t.push_back({
      "central size doubled",
      [](std::string& b, const Layout& l) { Put32At(b, l.end + 12, Get32(b, l.end + 12) * 2); },
  });
  // A comment said to run past the file is cut to what is there; the
  // directory itself is sound.
  t.push_back({"comment length lies",
               [](std::string& b, const Layout& l) { Put16At(b, l.end + 20, 500); }, false});
  t.push_back({"two entries share their data", [](std::string& b, const Layout& l) {
                 Put32At(b, l.entries[1].central + 42, static_cast<uint32_t>(l.entries[0].local));
               }});
  t.push_back({"junk appended",
               [](std::string& b, const Layout&) { b += std::string(300, '\x5A'); }, false});
  return t;
}

// Deflated, stored, and deflated with a password.
constexpr std::pair<const char*, int> kVariants[] = {{"", 6}, {"", 0}, {"Pass wört", 6}};

class CorruptionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* dir = std::getenv("ZB_PROGRAM_DIR");
    cli_ = fs::path(dir ? dir : ".") / "zipbackup-cli";
    char tmpl[] = "/tmp/zb_corrupt_XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    std::mt19937 rng(20261209);
    std::string text;
    while (text.size() < 60000) text += "line " + std::to_string(rng() % 1000) + " of the log\n";
    std::string noise(5000, '\0');
    for (auto& c : noise) c = static_cast<char>(rng());
    files_ = {{"text.txt", text}, {"noise.bin", noise}, {"sub/small.txt", "small\n"}};
    for (const auto& [name, data] : files_) ztest::WriteFile((root_ / "in" / name).string(), data);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  // Our archive of the input with a fixed entry order: text, noise, small.
  std::string MakeArchive(const std::string& password, int level = 6) {
    const fs::path arc = root_ / "made.zip";
    fs::remove(arc);
    TZipOptions o;
    o.PackLevel = level;
    o.ZipName = arc.string();
    o.StorePaths = false;
    o.Password = password;
    o.FilesList = {(root_ / "in/text.txt").string(), (root_ / "in/noise.bin").string(),
                   (root_ / "in/sub/small.txt").string()};
    EXPECT_EQ(TZipWriter().Zip(o, {}), 3);
    std::string b = ztest::ReadFile(arc.string());
    const Layout l = Locate(b);
    EXPECT_EQ(l.entries.size(), 3u);
    EXPECT_EQ(l.entries[0].name, "text.txt");
    EXPECT_EQ(Get16(b, l.entries[0].central + 10), level == 0 ? 0 : 8);
    return b;
  }

  // Runs test and extract on `bytes`; checks the invariants that hold for
  // any damage and returns the test verb's result.
  Cmd Check(const std::string& label, const std::string& bytes, const std::string& password,
            bool name_only = false, int entries = 3) {
    SCOPED_TRACE(label);
    const fs::path run = root_ / ("run" + std::to_string(++runs_));
    const fs::path arc = run / "damaged.zip";
    const fs::path dest = run / "dest";
    ztest::WriteFile(arc.string(), bytes);
    // Every entry's output already exists, so a bad write would show.
    const std::string kOld = "existing file that only a good copy may replace";
    for (const auto& [name, data] : files_) {
      ztest::WriteFile((dest / fs::path(name).filename()).string(), kOld);
    }
    const std::string pw = password.empty() ? "" : " --password " + Q(password);
    Cmd t = Sh(Q(cli_) + " test " + Q(arc) + pw);
    EXPECT_TRUE(t.code >= 0 && t.code <= 2) << "test ended with " << t.code << "\n" << t.out;
    Cmd x = Sh(Q(cli_) + " extract " + Q(arc) + " " + Q(dest) + " --overwrite always" + pw);
    EXPECT_TRUE(x.code >= 0 && x.code <= 2) << "extract ended with " << x.code << "\n" << x.out;
    EXPECT_EQ(ztest::ReadFile(arc.string()), bytes) << "the archive was changed";

    // Each output is the old file or the exact original; nothing else is left.
    int replaced = 0;  // outputs holding an original's bytes
    for (const auto& e : fs::recursive_directory_iterator(run)) {
      const fs::path p = e.path();
      if (p == arc || p == dest || !e.is_regular_file()) continue;
      const std::string got = ztest::ReadFile(p.string());
      bool known = false;
      for (const auto& [name, data] : files_) {
        if (p != dest / fs::path(name).filename()) continue;
        known = true;
        if (got != kOld) {
          EXPECT_EQ(got, data) << p << " holds wrong bytes (extract exit " << x.code << ")";
          ++replaced;
        }
      }
      if (!known) {
        // A damaged name may give an entry another name inside the
        // destination, but never other bytes, and nothing lands outside it.
        bool original = false;
        for (const auto& [name, data] : files_) original = original || got == data;
        EXPECT_TRUE(original && p.parent_path() == dest) << "unexpected file " << p << "\n"
                                                         << x.out;
        if (original) ++replaced;
      }
    }
    if (x.code == 0) {
      EXPECT_EQ(replaced, entries) << "exit 0 but not all extracted\n" << x.out;
    }
    if (t.code == 0 && !name_only) {
      EXPECT_EQ(x.code, 0) << "test passed what extract refused\n" << t.out << x.out;
    }
    std::error_code ec;
    fs::remove_all(run, ec);
    return t;
  }

  fs::path cli_;
  fs::path root_;
  std::map<std::string, std::string> files_;
  int runs_ = 0;
};

TEST_F(CorruptionTest, UndamagedArchivesPassBothVerbs) {
  for (auto [pw, level] : kVariants) {
    Cmd t = Check("undamaged " + std::string(pw), MakeArchive(pw, level), pw);
    EXPECT_EQ(t.code, 0) << t.out;
  }
}

TEST_F(CorruptionTest, DamageTable) {
  for (auto [pw, level] : kVariants) {
    const std::string good = MakeArchive(pw, level);
    const Layout layout = Locate(good);
    for (const Damage& d : DamageTable()) {
      std::string bad = good;
      d.mutate(bad, layout);
      Cmd t = Check(d.label + (*pw          ? " (encrypted)"
                               : level == 0 ? " (stored)"
                                            : ""),
                    bad, pw, d.name_only);
      if (d.must_fail) {
        EXPECT_NE(t.code, 0) << d.label
                             << (*pw          ? " (encrypted)"
                                 : level == 0 ? " (stored)"
                                              : "")
                             << "\n"
                             << t.out;
      }
    }
  }
}

// A wrong password never passes and never replaces an existing file.
TEST_F(CorruptionTest, WrongPassword) {
  const std::string good = MakeArchive("right one");
  Cmd t = Check("wrong password", good, "wrong one");
  EXPECT_EQ(t.code, 1) << t.out;
  EXPECT_NE(t.out.find("wrong password"), std::string::npos) << t.out;
}

// Cut at record boundaries, inside every record and inside the data.
TEST_F(CorruptionTest, TruncatedAnywhere) {
  for (auto [pw, level] : kVariants) {
    const std::string good = MakeArchive(pw, level);
    const Layout l = Locate(good);
    // An empty file is an archive without entries.
    Cmd empty = Check("cut at 0", "", pw, false, 0);
    EXPECT_EQ(empty.code, 0) << empty.out;
    std::vector<size_t> cuts = {1, 4, 22, l.end, l.end + 1, l.end + 21, good.size() - 1};
    for (const auto& e : l.entries) {
      for (size_t at : {e.local + 1, e.local + 29, e.data, e.data + 1, e.data + e.csize / 2,
                        e.data + e.csize - 1, e.central, e.central + 45, e.central + 47}) {
        cuts.push_back(at);
      }
    }
    for (size_t at = 97; at < good.size(); at += 4099) cuts.push_back(at);
    for (size_t at : cuts) {
      Cmd t = Check("cut at " + std::to_string(at) +
                        (*pw          ? " (encrypted)"
                         : level == 0 ? " (stored)"
                                      : ""),
                    good.substr(0, at), pw);
      EXPECT_NE(t.code, 0) << "cut at " << at << "\n" << t.out;
    }
  }
}

// Random damage from fixed seeds: the invariants of Check hold for any input.
TEST_F(CorruptionTest, RandomFlips) {
  const std::string good = MakeArchive("");
  for (uint32_t seed = 1; seed <= 40; ++seed) {
    std::mt19937 rng(seed);
    std::string bad = good;
    for (int k = 1 + static_cast<int>(rng() % 3); k > 0; --k) {
      bad[rng() % bad.size()] ^= static_cast<char>(1 << (rng() % 8));
    }
    Check("random flips, seed " + std::to_string(seed), bad, "");
  }
}

// --- The recovery scan ---------------------------------------------------------------

// An archive whose directory is gone and whose second local header is broken:
// the recovery scan steps over the second entry and finds the others.
std::string PartlyRecoverable(std::string b) {
  const Layout l = Locate(b);
  b[l.entries[0].central] = 'X';
  b[l.entries[1].local + 1] = 'X';
  return b;
}

TEST_F(CorruptionTest, RecoveredDirectoryIsReportedByTestAndExtract) {
  // test and extract exited 0 when the directory was damaged and the
  // recovery scan found only some of the entries: the rest went unmentioned.
  const std::string bad = PartlyRecoverable(MakeArchive(""));
  Cmd t = Check("partly recoverable", bad, "");
  EXPECT_EQ(t.code, 1) << t.out;
  EXPECT_NE(t.out.find("central directory is damaged; scanning found 2 of the 3 entries"),
            std::string::npos)
      << t.out;
  EXPECT_NE(t.out.find("2 entries OK, 1 failed"), std::string::npos) << t.out;

  const fs::path arc = root_ / "partly.zip";
  ztest::WriteFile(arc.string(), bad);
  Cmd x = Sh(Q(cli_) + " extract " + Q(arc) + " " + Q(root_ / "partly-out"));
  EXPECT_EQ(x.code, 1) << x.out;
  EXPECT_EQ(ztest::ReadFile((root_ / "partly-out/text.txt").string()), files_["text.txt"]);
}

TEST_F(CorruptionTest, UpdateOfARecoveredArchiveKeepsEveryEntry) {
  // Regression: an update built on a directory that the recovery scan pieced
  // together rewrote the archive from the entries found, dropping the others.
  const std::string bad = PartlyRecoverable(MakeArchive(""));
  const fs::path arc = root_ / "partly.zip";
  ztest::WriteFile(arc.string(), bad);
  ztest::WriteFile((root_ / "new.txt").string(), "new");
  Cmd z = Sh(Q(cli_) + " zip " + Q(arc) + " " + Q(root_ / "new.txt"));
  // Either the update is refused and the archive left as it was, or nothing
  // the archive held is lost.
  if (z.code == 2) {
    EXPECT_EQ(ztest::ReadFile(arc.string()), bad);
  } else {
    Cmd l = Sh(Q(cli_) + " list " + Q(arc));
    EXPECT_NE(l.out.find("noise.bin"), std::string::npos) << z.out << l.out;
  }
}

}  // namespace
}  // namespace zb::zip
