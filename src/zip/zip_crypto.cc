// The traditional ZIP stream cipher (APPNOTE, "Traditional PKWARE
// Encryption").
//
// Three 32-bit keys start from fixed constants and are stirred by every byte
// of the password, then by every plaintext byte of the entry. Keys 0 and 2
// step through the raw CRC-32 register (no pre/post inversion), key 1 through
// a linear congruential generator fed by the low byte of key 0. The keystream
// byte comes from the low 16 bits of key 2. Because the keys are updated with
// the *plaintext*, encryption and decryption differ only in which side of the
// xor feeds the update.
//
// The cipher is weak by modern standards (known-plaintext attacks recover the
// keys from about a dozen bytes), which is why the ten leading header bytes
// must be unpredictable: a clock-seeded generator makes them guessable and
// hands an attacker known plaintext for free. They come from getrandom(2).

#include "zip/zip_crypto.h"

#include <sys/random.h>

#include <cerrno>

#include "base/errors.h"
#include "zip/crc32.h"

namespace zb::zip {

namespace {

constexpr uint32_t kKey0Init = 0x12345678;
constexpr uint32_t kKey1Init = 0x23456789;
constexpr uint32_t kKey2Init = 0x34567890;
constexpr uint32_t kKey1Multiplier = 134775813;

// Fills `out` from the kernel's cryptographic source. getrandom may return
// fewer bytes than asked when interrupted, so it is called until the buffer is
// full; any error other than EINTR is final.
void FillRandom(std::span<uint8_t> out) {
  size_t done = 0;
  while (done < out.size()) {
    const ssize_t n = getrandom(out.data() + done, out.size() - done, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw EOSError("Unable to read random bytes from", "the system random source", errno);
    }
    done += static_cast<size_t>(n);
  }
}

}  // namespace

ZipCrypto::ZipCrypto(std::string_view password) : k0_(kKey0Init), k1_(kKey1Init), k2_(kKey2Init) {
  for (const char c : password) UpdateKeys(static_cast<uint8_t>(c));
}

void ZipCrypto::UpdateKeys(uint8_t plain) {
  k0_ = Crc32UpdateByte(k0_, plain);
  k1_ = (k1_ + (k0_ & 0xFF)) * kKey1Multiplier + 1;
  k2_ = Crc32UpdateByte(k2_, static_cast<uint8_t>(k1_ >> 24));
}

uint8_t ZipCrypto::StreamByte() const {
  // The APPNOTE computes this in 16-bit arithmetic; keeping the product in
  // 32 bits and taking bits 8..15 gives the same byte.
  const uint32_t t = (k2_ & 0xFFFF) | 2;
  return static_cast<uint8_t>((t * (t ^ 1)) >> 8);
}

uint8_t ZipCrypto::EncryptByte(uint8_t plain) {
  const uint8_t c = plain ^ StreamByte();
  UpdateKeys(plain);
  return c;
}

uint8_t ZipCrypto::DecryptByte(uint8_t cipher) {
  const uint8_t p = cipher ^ StreamByte();
  UpdateKeys(p);
  return p;
}

void ZipCrypto::Encrypt(std::span<std::byte> data) {
  for (std::byte& b : data) b = std::byte{EncryptByte(std::to_integer<uint8_t>(b))};
}

void ZipCrypto::Decrypt(std::span<std::byte> data) {
  for (std::byte& b : data) b = std::byte{DecryptByte(std::to_integer<uint8_t>(b))};
}

std::array<std::byte, kEncryptionHeaderSize> MakeEncryptionHeader(ZipCrypto& keys, uint32_t crc) {
  std::array<uint8_t, kEncryptionHeaderSize> plain{};
  FillRandom(std::span(plain).first(kEncryptionHeaderSize - 2));
  plain[10] = static_cast<uint8_t>(crc >> 16);
  plain[11] = static_cast<uint8_t>(crc >> 24);
  std::array<std::byte, kEncryptionHeaderSize> header{};
  for (size_t i = 0; i < kEncryptionHeaderSize; ++i) {
    header[i] = std::byte{keys.EncryptByte(plain[i])};
  }
  return header;
}

bool CheckEncryptionHeader(ZipCrypto& keys,
                           std::span<const std::byte, kEncryptionHeaderSize> header,
                           uint8_t check_byte) {
  // All twelve bytes go through the keys even though only the last is
  // compared: the data that follows is encrypted with the keys as they stand
  // after the whole header.
  uint8_t last = 0;
  for (const std::byte b : header) last = keys.DecryptByte(std::to_integer<uint8_t>(b));
  return last == check_byte;
}

}  // namespace zb::zip
