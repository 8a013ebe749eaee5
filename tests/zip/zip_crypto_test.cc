#include "zip/zip_crypto.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "zip/inflate.h"
#include "temp_files.h"

namespace zb::zip {
namespace {

namespace fs = std::filesystem;

using Bytes = std::vector<std::byte>;

Bytes ToBytes(std::string_view s) {
  Bytes b(s.size());
  std::memcpy(b.data(), s.data(), s.size());
  return b;
}

std::string ToString(std::span<const std::byte> b) {
  return std::string(reinterpret_cast<const char*>(b.data()), b.size());
}

uint16_t Le16(const Bytes& b, size_t at) {
  return static_cast<uint16_t>(std::to_integer<uint16_t>(b.at(at)) |
                               std::to_integer<uint16_t>(b.at(at + 1)) << 8);
}
uint32_t Le32(const Bytes& b, size_t at) { return Le16(b, at) | uint32_t{Le16(b, at + 2)} << 16; }

void Put16(Bytes& b, uint32_t v) {
  b.push_back(std::byte(v & 0xFF));
  b.push_back(std::byte((v >> 8) & 0xFF));
}
void Put32(Bytes& b, uint32_t v) {
  Put16(b, v & 0xFFFF);
  Put16(b, v >> 16);
}

// The first entry of an archive, read by hand from its local header; the
// compressed size comes from the central directory because entries with a
// data descriptor leave it 0 in the local header.
struct Entry {
  uint16_t flags = 0;
  uint16_t method = 0;
  uint16_t dos_time = 0;
  uint32_t crc = 0;
  Bytes header;  // the 12 encrypted header bytes
  Bytes data;    // the encrypted data after them
};

std::optional<Entry> FirstEntry(const Bytes& zip) {
  if (zip.size() < 30 + 22 || Le32(zip, 0) != 0x04034b50) return std::nullopt;
  const size_t eocd = zip.size() - 22;  // no archive comment in these tests
  if (Le32(zip, eocd) != 0x06054b50) return std::nullopt;
  const size_t cd = Le32(zip, eocd + 16);
  if (Le32(zip, cd) != 0x02014b50) return std::nullopt;
  Entry e;
  e.flags = Le16(zip, 6);
  e.method = Le16(zip, 8);
  e.dos_time = Le16(zip, 10);
  e.crc = Le32(zip, cd + 16);  // the central copy is valid with or without bit 3
  const uint32_t csize = Le32(zip, cd + 20);
  const size_t data_at = 30 + size_t{Le16(zip, 26)} + Le16(zip, 28);
  if (csize < kEncryptionHeaderSize || data_at + csize > zip.size()) return std::nullopt;
  e.header.assign(zip.begin() + data_at, zip.begin() + data_at + kEncryptionHeaderSize);
  e.data.assign(zip.begin() + data_at + kEncryptionHeaderSize, zip.begin() + data_at + csize);
  return e;
}

// Raw Deflate decode with zlib (test-only reference).
std::optional<std::string> ZlibInflateRaw(const Bytes& in) {
  z_stream z{};
  if (inflateInit2(&z, -15) != Z_OK) return std::nullopt;
  std::string out;
  z.next_in = reinterpret_cast<Bytef*>(const_cast<std::byte*>(in.data()));
  z.avail_in = static_cast<uInt>(in.size());
  int rc = Z_OK;
  while (rc == Z_OK) {
    char buf[4096];
    z.next_out = reinterpret_cast<Bytef*>(buf);
    z.avail_out = sizeof buf;
    rc = inflate(&z, Z_NO_FLUSH);
    out.append(buf, sizeof buf - z.avail_out);
    if (rc == Z_BUF_ERROR && z.avail_in == 0) break;
  }
  inflateEnd(&z);
  if (rc != Z_STREAM_END) return std::nullopt;
  return out;
}

class ZipCryptoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = temp_.path();
  }

  static bool HaveTool(const char* name) {
    return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
  }

  void WriteFile(const std::string& name, std::string_view content) {
    std::ofstream f(dir_ / name, std::ios::binary);
    f.write(content.data(), static_cast<std::streamsize>(content.size()));
  }
  Bytes ReadFile(const std::string& name) {
    std::ifstream f(dir_ / name, std::ios::binary);
    std::string s((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    return ToBytes(s);
  }
  // Runs `cmd` inside the temporary folder; true on exit status 0.
  bool Run(const std::string& cmd) {
    const std::string full = "cd '" + dir_.string() + "' && (" + cmd + ") >/dev/null 2>&1";
    return std::system(full.c_str()) == 0;
  }

  // Decrypts an entry's header and data with `password`; nullopt when the
  // header check rejects it.
  static std::optional<Bytes> DecryptEntry(const Entry& e, std::string_view password) {
    ZipCrypto keys(password);
    const uint8_t check = (e.flags & 0x08) ? static_cast<uint8_t>(e.dos_time >> 8)
                                           : static_cast<uint8_t>(e.crc >> 24);
    if (!CheckEncryptionHeader(keys, std::span<const std::byte, kEncryptionHeaderSize>(e.header),
                               check)) {
      return std::nullopt;
    }
    Bytes data = e.data;
    keys.Decrypt(data);
    return data;
  }

  zb::testfiles::TempDir temp_{"zb_crypto"};
  fs::path dir_;
};

std::string SampleText() {
  std::string s;
  for (int i = 0; i < 400; ++i) {
    s += "line " + std::to_string(i) + ": the quick brown fox jumps over the lazy dog\n";
  }
  return s;
}

// --- Archives written by another ZIP tool --------------------------------

TEST_F(ZipCryptoTest, DecryptsStoredEntryFromInfoZip) {
  if (!HaveTool("zip")) GTEST_SKIP() << "zip not installed";
  const std::string text = "Known plaintext, stored without compression.\n";
  WriteFile("a.txt", text);
  ASSERT_TRUE(Run("zip -q -0 -P secret a.zip a.txt"));
  const auto e = FirstEntry(ReadFile("a.zip"));
  ASSERT_TRUE(e);
  EXPECT_EQ(e->flags & 0x01, 1);
  ASSERT_EQ(e->method, 0);
  const auto plain = DecryptEntry(*e, "secret");
  ASSERT_TRUE(plain) << "header check failed for the right password";
  EXPECT_EQ(ToString(*plain), text);
}

TEST_F(ZipCryptoTest, DecryptsDeflatedEntryFromInfoZip) {
  if (!HaveTool("zip")) GTEST_SKIP() << "zip not installed";
  const std::string text = SampleText();
  WriteFile("b.txt", text);
  ASSERT_TRUE(Run("zip -q -9 -P secret b.zip b.txt"));
  const auto e = FirstEntry(ReadFile("b.zip"));
  ASSERT_TRUE(e);
  ASSERT_EQ(e->method, 8);
  EXPECT_LT(e->data.size(), text.size());
  const auto plain = DecryptEntry(*e, "secret");
  ASSERT_TRUE(plain);
  EXPECT_EQ(ZlibInflateRaw(*plain), text);
  // And with the program's own decoder, as the reader will do it.
  Bytes out(text.size());
  size_t in_used = 0, out_size = 0;
  EXPECT_EQ(InflateBuffer(*plain, out, &in_used, &out_size), InflateResult::kDone);
  EXPECT_EQ(ToString(std::span(out).first(out_size)), text);
}

TEST_F(ZipCryptoTest, DataDescriptorEntryIsCheckedAgainstTimeHighByte) {
  if (!HaveTool("zip")) GTEST_SKIP() << "zip not installed";
  // Written to a pipe, zip cannot seek back: it sets flag bit 3 and uses the
  // time word as the check byte.
  ASSERT_TRUE(Run("printf 'data from a pipe\\n' | zip -q -P pw - - | cat > c.zip"));
  const auto e = FirstEntry(ReadFile("c.zip"));
  ASSERT_TRUE(e);
  ASSERT_NE(e->flags & 0x08, 0);
  const auto plain = DecryptEntry(*e, "pw");
  ASSERT_TRUE(plain);
  const std::string text = e->method == 8 ? ZlibInflateRaw(*plain).value_or("") : ToString(*plain);
  EXPECT_EQ(text, "data from a pipe\n");
}

TEST_F(ZipCryptoTest, Utf8PasswordMatchesInfoZip) {
  if (!HaveTool("zip")) GTEST_SKIP() << "zip not installed";
  const std::string text = "umlaut password\n";
  WriteFile("d.txt", text);
  ASSERT_TRUE(Run("zip -q -0 -P 'Passwört' d.zip d.txt"));
  const auto e = FirstEntry(ReadFile("d.zip"));
  ASSERT_TRUE(e);
  const auto plain = DecryptEntry(*e, "Passwört");
  ASSERT_TRUE(plain);
  EXPECT_EQ(ToString(*plain), text);
}

TEST_F(ZipCryptoTest, WrongPasswordsAreRejectedByHeaderCheck) {
  if (!HaveTool("zip")) GTEST_SKIP() << "zip not installed";
  WriteFile("e.txt", "secret content\n");
  ASSERT_TRUE(Run("zip -q -0 -P secret e.zip e.txt"));
  const auto e = FirstEntry(ReadFile("e.zip"));
  ASSERT_TRUE(e);
  // One wrong password in 256 passes the one-byte check by chance; with a
  // random header each run, a few passes out of 200 are expected, dozens
  // would mean the check does not look at the key at all.
  int accepted = 0;
  for (int i = 0; i < 200; ++i) {
    if (DecryptEntry(*e, "wrong" + std::to_string(i))) ++accepted;
  }
  EXPECT_LT(accepted, 10);
  EXPECT_FALSE(DecryptEntry(*e, "Secret") && DecryptEntry(*e, "secret ") &&
               DecryptEntry(*e, "secre"));
}

// Our encryption read by unzip: a stored entry written by hand around a
// header from MakeEncryptionHeader, with a UTF-8 password.
TEST_F(ZipCryptoTest, UnzipReadsOurEncryptedEntry) {
  if (!HaveTool("unzip")) GTEST_SKIP() << "unzip not installed";
  const std::string password = "Passwört";
  const std::string text = SampleText();
  const uint32_t crc = static_cast<uint32_t>(
      crc32(0, reinterpret_cast<const Bytef*>(text.data()), static_cast<uInt>(text.size())));
  ZipCrypto keys(password);
  const auto header = MakeEncryptionHeader(keys, crc);
  Bytes body = ToBytes(text);
  keys.Encrypt(body);

  const std::string name = "f.txt";
  const uint32_t csize = static_cast<uint32_t>(kEncryptionHeaderSize + body.size());
  const uint32_t size = static_cast<uint32_t>(text.size());
  const uint16_t dos_time = 0x6000, dos_date = 0x5A21;
  Bytes zip;
  Put32(zip, 0x04034b50);
  Put16(zip, 20);  // version needed
  Put16(zip, 1);   // flags: encrypted
  Put16(zip, 0);   // stored
  Put16(zip, dos_time);
  Put16(zip, dos_date);
  Put32(zip, crc);
  Put32(zip, csize);
  Put32(zip, size);
  Put16(zip, static_cast<uint32_t>(name.size()));
  Put16(zip, 0);
  for (char c : name) zip.push_back(std::byte(c));
  zip.insert(zip.end(), header.begin(), header.end());
  zip.insert(zip.end(), body.begin(), body.end());
  const uint32_t cd_at = static_cast<uint32_t>(zip.size());
  Put32(zip, 0x02014b50);
  Put16(zip, 20);  // made by
  Put16(zip, 20);
  Put16(zip, 1);
  Put16(zip, 0);
  Put16(zip, dos_time);
  Put16(zip, dos_date);
  Put32(zip, crc);
  Put32(zip, csize);
  Put32(zip, size);
  Put16(zip, static_cast<uint32_t>(name.size()));
  Put16(zip, 0);  // extra
  Put16(zip, 0);  // comment
  Put16(zip, 0);  // disk
  Put16(zip, 0);  // internal attributes
  Put32(zip, 0);  // external attributes
  Put32(zip, 0);  // local header offset
  for (char c : name) zip.push_back(std::byte(c));
  const uint32_t cd_size = static_cast<uint32_t>(zip.size()) - cd_at;
  Put32(zip, 0x06054b50);
  Put16(zip, 0);
  Put16(zip, 0);
  Put16(zip, 1);
  Put16(zip, 1);
  Put32(zip, cd_size);
  Put32(zip, cd_at);
  Put16(zip, 0);
  WriteFile("ours.zip", ToString(zip));

  ASSERT_TRUE(Run("unzip -q -P 'Passwört' -d out ours.zip"));
  const Bytes got = ReadFile("out/f.txt");
  EXPECT_EQ(ToString(got), text);
  EXPECT_FALSE(Run("unzip -q -o -P 'Passwort' -d out2 ours.zip"));
}

// --- Our own round trips --------------------------------------------------

TEST(ZipCryptoRoundTrip, HeaderCarriesCrcAndVerifiesWithSameKeys) {
  const uint32_t crc = 0xA1B2C3D4;
  ZipCrypto writer("pw");
  const auto header = MakeEncryptionHeader(writer, crc);

  ZipCrypto plain_reader("pw");
  Bytes h(header.begin(), header.end());
  plain_reader.Decrypt(h);
  EXPECT_EQ(std::to_integer<uint8_t>(h[10]), 0xB2);
  EXPECT_EQ(std::to_integer<uint8_t>(h[11]), 0xA1);

  ZipCrypto reader("pw");
  EXPECT_TRUE(CheckEncryptionHeader(reader, header, 0xA1));
  // The keys carry on into the data exactly as the writer's did.
  Bytes data = ToBytes("payload after the header");
  writer.Encrypt(data);
  reader.Decrypt(data);
  EXPECT_EQ(ToString(data), "payload after the header");
}

TEST(ZipCryptoRoundTrip, HeadersAreRandomNotRepeated) {
  ZipCrypto a("same"), b("same");
  const auto h1 = MakeEncryptionHeader(a, 0);
  const auto h2 = MakeEncryptionHeader(b, 0);
  // Equal keys and CRC: only the random bytes can make these differ.
  EXPECT_NE(Bytes(h1.begin(), h1.begin() + 10), Bytes(h2.begin(), h2.begin() + 10));
}

TEST(ZipCryptoRoundTrip, KnownWrongPasswordFailsCheck) {
  // Fixed header plaintext so the outcome is deterministic.
  ZipCrypto enc("correct horse");
  Bytes header = ToBytes("0123456789\x12\x34");
  enc.Encrypt(header);
  ZipCrypto right("correct horse"), wrong("battery staple");
  EXPECT_TRUE(CheckEncryptionHeader(
      right, std::span<const std::byte, kEncryptionHeaderSize>(header), 0x34));
  EXPECT_FALSE(CheckEncryptionHeader(
      wrong, std::span<const std::byte, kEncryptionHeaderSize>(header), 0x34));
}

TEST(ZipCryptoRoundTrip, SplitEqualsWholeAndEmptyPasswordWorks) {
  std::mt19937 rng(12345);
  Bytes data(10000);
  for (auto& b : data) b = std::byte(rng() & 0xFF);
  for (const char* pw : {"", "x", "a much longer password with blanks"}) {
    SCOPED_TRACE(pw);
    ZipCrypto whole(pw);
    Bytes one = data;
    whole.Encrypt(one);
    EXPECT_NE(one, data);

    ZipCrypto pieces(pw);
    Bytes two = data;
    std::span<std::byte> s(two);
    pieces.Encrypt(s.subspan(0, 1));
    pieces.Encrypt(s.subspan(1, 4096));
    pieces.Encrypt(s.subspan(4097));
    EXPECT_EQ(one, two);

    ZipCrypto dec(pw);
    dec.Decrypt(one);
    EXPECT_EQ(one, data);
  }
}

}  // namespace
}  // namespace zb::zip
