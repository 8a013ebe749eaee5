// Our archives against other ZIP tools, and theirs against ours, over random
// trees made from fixed seeds: awkward names (blanks, CP437 accents, UTF-8,
// names differing only in case), boundary sizes, deep folders, a link to a
// file and a FIFO; every level, with and without passwords and stored paths,
// then updated and thinned. A check is skipped when its tool is missing.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "interop/shell_command.h"
#include "platform/file_system.h"
#include "zip/zip_writer.h"

namespace zb::zip {
namespace {

namespace fs = std::filesystem;
using interop::Cmd;
using interop::Q;
using interop::Sh;

bool Have(const std::string& tool) { return Sh("command -v " + Q(tool)).code == 0; }

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void WriteAll(const fs::path& p, const std::string& data) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary | std::ios::trunc) << data;
}

bool IsAscii(const std::string& s) {
  for (unsigned char c : s) {
    if (c >= 0x80) return false;
  }
  return true;
}

fs::path Cli() {
  const char* dir = std::getenv("ZB_PROGRAM_DIR");
  return fs::path(dir ? dir : ".") / "zipbackup-cli";
}

struct Expected {
  std::string data;
  time_t mtime = 0;
};
// Stored name ("/" separators) -> content and time.
using Listing = std::map<std::string, Expected>;

// One random tree. Every base name is unique so the tree can also be stored
// without folders.
struct Tree {
  fs::path root;  // the folder "src" lives in
  Listing files;  // by path below root, "src/..."
  std::string fifo;

  Listing Flat() const {
    Listing out;
    for (const auto& [name, e] : files) out[fs::path(name).filename().string()] = e;
    return out;
  }
};

std::string Content(std::mt19937& rng, size_t size) {
  std::string s(size, '\0');
  if (rng() % 2 == 0) {
    for (auto& c : s) c = static_cast<char>(rng());
  } else {
    static const char* kWords[] = {"backup ", "archive ", "Quillomar ", "\n", "0123 ", "zip "};
    size_t i = 0;
    while (i < size) {
      std::string w = kWords[rng() % 6];
      for (size_t k = 0; k < w.size() && i < size; ++k) s[i++] = w[k];
    }
  }
  return s;
}

Tree MakeTree(const fs::path& root, uint32_t seed) {
  std::mt19937 rng(seed);
  Tree t;
  t.root = root;
  const std::vector<std::string> small = {
      "src/plain.txt",
      "src/with blanks in it.txt",
      "src/Überweisung 2024.txt",
      "src/café crème.txt",
      "src/naïve résumé.doc",
      "src/日本語/報告書.txt",
      "src/emoji 😀 face.bin",
      "src/Case.txt",
      "src/case.txt",
      "src/empty.dat",
      "src/a/b/c/d/e/f/g/h/deep.txt",
  };
  for (const auto& n : small) {
    t.files[n].data = n == "src/empty.dat" ? std::string() : Content(rng, rng() % 4000);
  }
  for (size_t size : {size_t{1}, size_t{32767}, size_t{32768}, size_t{65535}, size_t{65536},
                      size_t{(1 << 20) + 1}}) {
    t.files["src/sizes/size" + std::to_string(size) + ".bin"].data = Content(rng, size);
  }
  // Even seconds: DOS times have two-second steps.
  for (auto& [name, e] : t.files) {
    e.mtime = (1500000000 + static_cast<time_t>(rng() % 200000000)) & ~time_t{1};
    WriteAll(root / name, e.data);
    SetFileTimes(root / name, {e.mtime, 0});
  }
  // A link to a file stores the file's content under the link's name.
  fs::create_symlink("plain.txt", root / "src/link to plain");
  t.files["src/link to plain"] = t.files["src/plain.txt"];
  t.fifo = "src/pipe";
  EXPECT_EQ(::mkfifo((root / t.fifo).c_str(), 0644), 0);
  return t;
}

// Files below `dir` by path relative to it.
Listing Scan(const fs::path& dir) {
  Listing out;
  if (!fs::exists(dir)) return out;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    if (!e.is_regular_file()) continue;
    struct stat st {};
    ::stat(e.path().c_str(), &st);
    out[fs::relative(e.path(), dir).string()] = {ReadAll(e.path()), st.st_mtim.tv_sec};
  }
  return out;
}

// Differences between what was extracted and what should be there. With
// `ascii_only`, non-ASCII names are only counted (a peer may spell them in
// its own code page).
std::vector<std::string> Compare(const Listing& want, const Listing& got, bool ascii_only) {
  std::vector<std::string> bad;
  if (want.size() != got.size()) {
    bad.push_back("count " + std::to_string(got.size()) + " != " + std::to_string(want.size()));
  }
  for (const auto& [name, e] : want) {
    if (ascii_only && !IsAscii(name)) continue;
    auto it = got.find(name);
    if (it == got.end()) {
      bad.push_back("missing " + name);
      continue;
    }
    if (it->second.data != e.data) bad.push_back("content of " + name);
    if (it->second.mtime != e.mtime) {
      bad.push_back("time of " + name + ": " + std::to_string(it->second.mtime) +
                    " != " + std::to_string(e.mtime));
    }
  }
  if (!ascii_only) {
    for (const auto& [name, e] : got) {
      if (!want.count(name)) bad.push_back("unexpected " + name);
    }
  }
  return bad;
}

std::string Join(const std::vector<std::string>& v) {
  std::string s;
  for (const auto& x : v) s += x + "\n";
  return s;
}

// Extracts with Python's zipfile: names as it decodes them, content through
// its own decryption and CRC check, times from the DOS fields.
constexpr const char* kPyExtract = R"(
import os, sys, time, zipfile
arc, out, pw = sys.argv[1], sys.argv[2], sys.argv[3]
z = zipfile.ZipFile(arc)
if pw: z.setpassword(pw.encode('utf-8'))
bad = z.testzip()
if bad is not None: sys.exit('testzip: ' + bad)
for i in z.infolist():
    if i.is_dir(): continue
    p = os.path.join(out, i.filename)
    os.makedirs(os.path.dirname(p), exist_ok=True)
    with open(p, 'wb') as f: f.write(z.read(i))
    t = time.mktime(i.date_time + (0, 0, -1))
    os.utime(p, (t, t))
)";

class RoundTripFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/zb_matrix_XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    WriteAll(root_ / "extract.py", kPyExtract);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  Cmd Ours(const std::string& args) {
    return Sh("cd " + Q(root_) + " && " + Q(Cli()) + " " + args);
  }

  // Every peer tests the archive and extracts it; ours extracts it too.
  void VerifyEverywhere(const fs::path& archive, const std::string& password, const Listing& want) {
    const std::string a = Q(archive);
    int run = ++verify_runs_;
    auto out = [&](const std::string& who) { return root_ / ("x" + std::to_string(run) + who); };
    {
      Cmd c = Ours("test " + a + (password.empty() ? "" : " --password " + Q(password)));
      EXPECT_EQ(c.code, 0) << c.out;
      c = Ours("extract " + a + " " + Q(out("ours")) +
               (password.empty() ? "" : " --password " + Q(password)));
      EXPECT_EQ(c.code, 0) << c.out;
      auto bad = Compare(want, Scan(out("ours")), false);
      EXPECT_TRUE(bad.empty()) << "ours:\n" << Join(bad);
    }
    const std::string pw_unzip = password.empty() ? "" : " -P " + Q(password);
    if (Have("unzip")) {
      Cmd c = Sh("unzip -t" + pw_unzip + " " + a);
      EXPECT_EQ(c.code, 0) << c.out;
      c = Sh("unzip -q" + pw_unzip + " " + a + " -d " + Q(out("unzip")));
      EXPECT_EQ(c.code, 0) << c.out;
      auto bad = Compare(want, Scan(out("unzip")), true);
      EXPECT_TRUE(bad.empty()) << "unzip:\n" << Join(bad);
    }
    if (Have("7z")) {
      Cmd c = Sh("7z t -p" + Q(password) + " " + a);
      EXPECT_EQ(c.code, 0) << c.out;
    }
    if (fs::exists("/usr/bin/python3")) {
      Cmd c = Sh("/usr/bin/python3 " + Q(root_ / "extract.py") + " " + a + " " + Q(out("python")) +
                 " " + Q(password));
      EXPECT_EQ(c.code, 0) << c.out;
      auto bad = Compare(want, Scan(out("python")), false);
      EXPECT_TRUE(bad.empty()) << "python:\n" << Join(bad);
    }
  }

  fs::path root_;
  int verify_runs_ = 0;
};

// --- Our archives, every level, passwords and path modes ------------------------

struct MatrixCase {
  int level;
  const char* password;
  bool store_paths;
};

class OurArchivesTest : public RoundTripFixture,
                        public ::testing::WithParamInterface<MatrixCase> {};

TEST_P(OurArchivesTest, PeersAndOursAgreeOnBytesNamesAndTimes) {
  const MatrixCase& m = GetParam();
  const uint32_t seed = 1000 + static_cast<uint32_t>(m.level) * 10 + (m.store_paths ? 1 : 0) +
                        static_cast<uint32_t>(std::string(m.password).size()) * 100;
  SCOPED_TRACE("seed " + std::to_string(seed));
  Tree t = MakeTree(root_, seed);
  std::string args = "zip out.zip --recurse --level " + std::to_string(m.level);
  if (*m.password) args += " --password " + Q(m.password);
  if (m.store_paths) args += " --store-paths";
  Cmd c = Ours(args + " src");
  // The FIFO is left out, said so, and the run ends with "some failed".
  EXPECT_EQ(c.code, 1) << c.out;
  EXPECT_NE(c.out.find("left out src/pipe"), std::string::npos) << c.out;
  VerifyEverywhere(root_ / "out.zip", m.password, m.store_paths ? t.files : t.Flat());
}

INSTANTIATE_TEST_SUITE_P(
    Levels, OurArchivesTest,
    ::testing::Values(MatrixCase{0, "", true}, MatrixCase{1, "", true}, MatrixCase{6, "", true},
                      MatrixCase{9, "", true}, MatrixCase{0, "ascii pw", true},
                      MatrixCase{6, "Secret-42", true}, MatrixCase{9, "pässwörd ü", true},
                      MatrixCase{1, "pässwörd", false}, MatrixCase{6, "", false}));

TEST_F(RoundTripFixture, WriterCalledDirectlyLeavesOutTheFifo) {
  const uint32_t seed = 77;
  SCOPED_TRACE("seed " + std::to_string(seed));
  Tree t = MakeTree(root_, seed);
  TZipOptions o;
  o.ZipName = (root_ / "direct.zip").string();
  o.Recurse = true;
  o.StorePaths = true;
  o.PackLevel = 9;
  o.Password = "Kennwort äöü";
  std::vector<std::string> left_out;
  TZipEvents ev;
  ev.OnFileProblem = [&](const std::string& path, FileProblem, const std::string&) {
    left_out.push_back(path);
  };
  o.FilesList = {(root_ / "src").string() + "/*"};
  EXPECT_EQ(TZipWriter().Zip(o, ev), static_cast<int>(t.files.size()));
  ASSERT_EQ(left_out.size(), 1u);
  EXPECT_EQ(left_out[0], (root_ / t.fifo).string());
  // Stored paths are the folders without the root "/".
  Listing want;
  for (const auto& [name, e] : t.files) want[(root_ / name).relative_path().string()] = e;
  VerifyEverywhere(root_ / "direct.zip", o.Password, want);
}

// --- Updates ------------------------------------------------------------------------

TEST_F(RoundTripFixture, UpdatedAndThinnedArchivesStayValid) {
  const uint32_t seed = 4242;
  SCOPED_TRACE("seed " + std::to_string(seed));
  Tree t = MakeTree(root_, seed);
  fs::remove(root_ / t.fifo);
  ASSERT_EQ(Ours("zip up.zip --recurse --store-paths --level 6 src").code, 0);

  // A newer file replaces its entry; an entry dated later than its file is
  // kept as it was; a new file joins.
  Expected& newer = t.files["src/plain.txt"];
  newer.data = "replaced by a newer file\n";
  newer.mtime += 10;
  WriteAll(root_ / "src/plain.txt", newer.data);
  SetFileTimes(root_ / "src/plain.txt", {newer.mtime, 0});
  t.files["src/link to plain"] = newer;
  const Expected kept = t.files["src/Case.txt"];
  WriteAll(root_ / "src/Case.txt", "an older edit that must not win");
  SetFileTimes(root_ / "src/Case.txt", {kept.mtime - 100, 0});
  Expected& added = t.files["src/neu/hinzugefügt.txt"];
  added = {"new file\n", 1700000000};
  WriteAll(root_ / "src/neu/hinzugefügt.txt", added.data);
  SetFileTimes(root_ / "src/neu/hinzugefügt.txt", {added.mtime, 0});

  Cmd c = Ours("zip up.zip --recurse --store-paths --level 6 src");
  EXPECT_EQ(c.code, 0) << c.out;
  VerifyEverywhere(root_ / "up.zip", "", t.files);

  // Exact names, one of them non-ASCII.
  c = Ours("remove up.zip " + Q("src/Überweisung 2024.txt") + " src/case.txt");
  EXPECT_EQ(c.code, 0) << c.out;
  t.files.erase("src/Überweisung 2024.txt");
  t.files.erase("src/case.txt");
  VerifyEverywhere(root_ / "up.zip", "", t.files);

  // A pattern removes every entry it matches.
  TRemoveOptions remove;
  remove.ZipName = (root_ / "up.zip").string();
  remove.FilesList = {"*.bin"};
  int bins = 0;
  for (auto it = t.files.begin(); it != t.files.end();) {
    if (it->first.ends_with(".bin")) {
      it = t.files.erase(it);
      ++bins;
    } else {
      ++it;
    }
  }
  EXPECT_EQ(TZipWriter().RemoveEntries(remove, {}), bins);
  VerifyEverywhere(root_ / "up.zip", "", t.files);
}

// --- Their archives, read by ours ---------------------------------------------------

// Lists an archive as Python sees it: "name<TAB>method" per file entry.
constexpr const char* kPyMethods = R"(
import sys, zipfile
for i in zipfile.ZipFile(sys.argv[1]).infolist():
    if not i.is_dir(): print(i.filename + '\t' + str(i.compress_type))
)";

class TheirArchivesTest : public RoundTripFixture {
 protected:
  void SetUp() override {
    RoundTripFixture::SetUp();
    std::mt19937 rng(31337);
    // 7-Zip stores data that do not shrink, so both kinds are here.
    want_["a.txt"] = {Content(rng, 5000), 1600000000};
    want_["sub/Grüße.txt"] = {std::string(70000, 'q'), 1600000002};
    want_["sub/deep/random.bin"] = {std::string(), 1600000004};
    for (int i = 0; i < 40000; ++i) want_["sub/deep/random.bin"].data += static_cast<char>(rng());
    want_["sub/deep/text.txt"] = {Content(rng, 100000), 1600000006};
    want_["empty"] = {"", 1600000008};
    for (const auto& [name, e] : want_) {
      WriteAll(root_ / "in" / name, e.data);
      SetFileTimes(root_ / "in" / name, {e.mtime, 0});
    }
    WriteAll(root_ / "methods.py", kPyMethods);
  }

  // Runs `cmd` in the input folder to make `archive`.
  void Make(const std::string& cmd) {
    Cmd c = Sh("cd " + Q(root_ / "in") + " && " + cmd);
    ASSERT_EQ(c.code, 0) << cmd << "\n" << c.out;
  }

  // Our test and extract: supported entries come out identical, every other
  // one is a named per-entry failure with exit code 1, and nothing else is
  // written for it.
  void ExpectOursReads(const std::string& archive, const std::string& password = "",
                       bool times = true) {
    const fs::path arc = root_ / archive;
    Cmd m = Sh("/usr/bin/python3 " + Q(root_ / "methods.py") + " " + Q(arc));
    ASSERT_EQ(m.code, 0) << m.out;
    std::set<std::string> unsupported;
    std::istringstream lines(m.out);
    for (std::string line; std::getline(lines, line);) {
      const size_t tab = line.find('\t');
      const int method = std::stoi(line.substr(tab + 1));
      if (method != 0 && method != 8) unsupported.insert(line.substr(0, tab));
    }
    const std::string pw = password.empty() ? "" : " --password " + Q(password);
    const int want_code = unsupported.empty() ? 0 : 1;
    Cmd t = Ours("test " + Q(arc) + pw);
    EXPECT_EQ(t.code, want_code) << t.out;
    const fs::path dest = root_ / ("out-" + archive);
    Cmd x = Ours("extract " + Q(arc) + " " + Q(dest) + pw);
    EXPECT_EQ(x.code, want_code) << x.out;
    for (const auto& name : unsupported) {
      EXPECT_NE(t.out.find("FAILED\t" + name + "\t"), std::string::npos) << name << t.out;
      EXPECT_NE(x.out.find("failed " + name + ": "), std::string::npos) << name << x.out;
    }
    Listing want;
    for (const auto& [name, e] : want_) {
      if (!unsupported.count(name)) want[name] = e;
    }
    Listing got = Scan(dest);
    if (!times) {
      for (auto& [name, e] : got) e.mtime = want.count(name) ? want[name].mtime : 0;
    }
    auto bad = Compare(want, got, false);
    EXPECT_TRUE(bad.empty()) << archive << ":\n" << Join(bad);
  }

  std::string AllInputs() const {
    std::string s;
    for (const auto& [name, e] : want_) s += " " + Q(name);
    return s;
  }

  Listing want_;
};

TEST_F(TheirArchivesTest, InfoZip) {
  if (!Have("zip")) GTEST_SKIP() << "zip is not installed";
  Make("zip -q " + Q(root_ / "plain.zip") + AllInputs());
  ExpectOursReads("plain.zip");
  Make("zip -q -fd " + Q(root_ / "fd.zip") + AllInputs());
  ExpectOursReads("fd.zip");
  Make("zip -q -e -P 'zip pw' " + Q(root_ / "enc.zip") + AllInputs());
  ExpectOursReads("enc.zip", "zip pw");
  // Streamed in and out: data descriptors, no sizes in the local headers.
  Make("cat sub/deep/text.txt | zip -q - - | cat > " + Q(root_ / "stream.zip"));
  Cmd x = Ours("extract " + Q(root_ / "stream.zip") + " " + Q(root_ / "out-stream"));
  EXPECT_EQ(x.code, 0) << x.out;
  EXPECT_EQ(ReadAll(root_ / "out-stream/-"), want_["sub/deep/text.txt"].data);
}

TEST_F(TheirArchivesTest, SevenZipMethods) {
  if (!Have("7z")) GTEST_SKIP() << "7z is not installed";
  for (const char* m : {"Deflate", "Deflate64", "Copy", "BZip2"}) {
    SCOPED_TRACE(m);
    const std::string name = std::string("7z-") + m + ".zip";
    Make("7z a -tzip -mm=" + std::string(m) + " " + Q(root_ / name) + AllInputs());
    ExpectOursReads(name);
  }
  Make("7z a -tzip -pSieben -mem=ZipCrypto " + Q(root_ / "7z-zc.zip") + AllInputs());
  ExpectOursReads("7z-zc.zip", "Sieben");
}

TEST_F(TheirArchivesTest, SevenZipAesIsReportedAsUnsupportedNotAsWrongPassword) {
  // AES entries (method 99) with the right password were reported as "wrong
  // password" and OnBadPassword was asked for another; they are undecodable
  // here, so each is a clear per-entry failure and nothing lands on disk.
  if (!Have("7z")) GTEST_SKIP() << "7z is not installed";
  Make("7z a -tzip -pSieben -mem=AES256 " + Q(root_ / "aes.zip") + AllInputs());
  Cmd t = Ours("test " + Q(root_ / "aes.zip") + " --password Sieben");
  EXPECT_EQ(t.code, 1) << t.out;
  EXPECT_EQ(t.out.find("wrong password"), std::string::npos) << t.out;
  EXPECT_NE(t.out.find("FAILED\ta.txt\t"), std::string::npos) << t.out;
  Cmd x =
      Ours("extract " + Q(root_ / "aes.zip") + " " + Q(root_ / "out-aes") + " --password Sieben");
  EXPECT_EQ(x.code, 1) << x.out;
  EXPECT_TRUE(Scan(root_ / "out-aes").empty());

  // The reader never asks for another password for such an entry.
  TZipReader r;
  r.SetZipName((root_ / "aes.zip").string());
  TUnZipOptions o;
  o.Password = "Sieben";
  int asked = 0;
  TUnZipEvents ev;
  ev.OnBadPassword = [&](int, std::string&) { ++asked; };
  std::vector<EntryProblemKind> kinds;
  ev.OnEntryProblem = [&](const EntryProblem& p) { kinds.push_back(p.kind); };
  EXPECT_EQ(r.Test(o, ev).tested, 0);
  EXPECT_EQ(asked, 0);
  for (EntryProblemKind k : kinds) EXPECT_EQ(k, EntryProblemKind::kUnsupported);
}

TEST_F(TheirArchivesTest, PythonZipfileMethodsAndZip64) {
  if (!fs::exists("/usr/bin/python3")) GTEST_SKIP() << "/usr/bin/python3 is missing";
  const std::string script = R"(
import os, sys, zipfile
out, method, z64 = sys.argv[1], int(sys.argv[2]), sys.argv[3] == '1'
with zipfile.ZipFile(out, 'w', method) as z:
    for name in sys.argv[4:]:
        if z64:
            info = zipfile.ZipInfo.from_file(name, name)
            info.compress_type = method
            with open(name, 'rb') as src, z.open(info, 'w', force_zip64=True) as dst:
                dst.write(src.read())
        else:
            z.write(name, name)
)";
  WriteAll(root_ / "make.py", script);
  for (auto [label, method, z64] :
       {std::tuple{"stored", 0, 0}, std::tuple{"deflated", 8, 0}, std::tuple{"bzip2", 12, 0},
        std::tuple{"lzma", 14, 0}, std::tuple{"zip64", 8, 1}}) {
    SCOPED_TRACE(label);
    const std::string name = std::string("py-") + label + ".zip";
    Make("/usr/bin/python3 " + Q(root_ / "make.py") + " " + Q(root_ / name) + " " +
         std::to_string(method) + " " + std::to_string(z64) + AllInputs());
    ExpectOursReads(name);
  }
}

TEST_F(RoundTripFixture, NonUtf8FileNameKeepsTheArchiveReadableEverywhere) {
  // A file whose name is not UTF-8 ("lat\xE9n.txt", a Latin-1 name) was
  // stored with the UTF-8 flag over those bytes, and Python's zipfile then
  // refused to open the whole archive.
  const std::string latin1 = "lat\xE9n.txt";
  WriteAll(root_ / "src" / latin1, "latin-1 named\n");
  WriteAll(root_ / "src/plain.txt", "plain\n");
  ASSERT_EQ(Ours("zip names.zip --recurse src").code, 0);
  if (fs::exists("/usr/bin/python3")) {
    Cmd c =
        Sh("/usr/bin/python3 -c \"import zipfile,sys; z=zipfile.ZipFile(sys.argv[1]); "
           "assert z.testzip() is None; print(len(z.namelist()))\" " +
           Q(root_ / "names.zip"));
    EXPECT_EQ(c.code, 0) << c.out;
    EXPECT_EQ(c.out, "2\n");
  }
  if (Have("unzip")) {
    Cmd c = Sh("unzip -t " + Q(root_ / "names.zip"));
    EXPECT_EQ(c.code, 0) << c.out;
  }
  // The entry is made on Unix: its name comes back as the very bytes.
  Cmd x = Ours("extract names.zip out");
  EXPECT_EQ(x.code, 0) << x.out;
  EXPECT_EQ(ReadAll(root_ / "out" / latin1), "latin-1 named\n");
}

// --- Known faults of the writer ---------------------------------------------------

// Info-ZIP unzip on Linux and 7z read the names of entries made on DOS
// through their own code-page tables, so UTF-8 names and accented CP437
// names both came out garbled there; Python and our reader read them right.
TEST_F(RoundTripFixture, UnzipExtractsUtf8NamesOfOurArchivesUnchanged) {
  // Regression: entries with UTF-8 names were marked as made on DOS, and
  // unzip on Linux translated their names from the OEM code page.
  if (!Have("unzip")) GTEST_SKIP() << "unzip is not installed";
  WriteAll(root_ / "src/日本語/報告書.txt", "x");
  ASSERT_EQ(Ours("zip names.zip --recurse --store-paths src").code, 0);
  Cmd c = Sh("unzip -q " + Q(root_ / "names.zip") + " -d " + Q(root_ / "out"));
  EXPECT_EQ(c.code, 0) << c.out;
  EXPECT_TRUE(fs::exists(root_ / "out/src/日本語/報告書.txt"));
}

TEST_F(RoundTripFixture, AccentedCp437NamesExtractUnchangedWithUnzipAnd7z) {
  // Regression: "café.txt" is stored in CP437 without flag bit 11; unzip
  // wrote it as Latin-1 bytes and 7z as raw CP437 bytes until the entry
  // carried its UTF-8 name in a Unicode Path block.
  WriteAll(root_ / "src/café.txt", "x");
  ASSERT_EQ(Ours("zip accents.zip --recurse src").code, 0);
  if (Have("unzip")) {
    Cmd c = Sh("unzip -q " + Q(root_ / "accents.zip") + " -d " + Q(root_ / "u"));
    EXPECT_EQ(c.code, 0) << c.out;
    EXPECT_TRUE(fs::exists(root_ / "u/café.txt"));
  }
  if (Have("7z")) {
    Cmd c = Sh("7z x -y -o" + Q(root_ / "s") + " " + Q(root_ / "accents.zip"));
    EXPECT_EQ(c.code, 0) << c.out;
    EXPECT_TRUE(fs::exists(root_ / "s/café.txt"));
  }
  // Our reader and the listing show the same name.
  Cmd l = Ours("list accents.zip");
  EXPECT_NE(l.out.find("café.txt"), std::string::npos) << l.out;
}

}  // namespace
}  // namespace zb::zip
