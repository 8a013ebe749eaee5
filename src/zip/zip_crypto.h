#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace zb::zip {

// The traditional PKWARE stream cipher of the APPNOTE. The password is taken
// as bytes (UTF-8 in this program).
class ZipCrypto final {
 public:
  explicit ZipCrypto(std::string_view password);

  void Encrypt(std::span<std::byte> data);  // in place
  void Decrypt(std::span<std::byte> data);  // in place
  [[nodiscard]] uint8_t EncryptByte(uint8_t plain);
  [[nodiscard]] uint8_t DecryptByte(uint8_t cipher);

 private:
  void UpdateKeys(uint8_t plain);
  [[nodiscard]] uint8_t StreamByte() const;
  uint32_t k0_, k1_, k2_;
};

inline constexpr size_t kEncryptionHeaderSize = 12;

// Builds the 12-byte encryption header for an entry and encrypts it with
// `keys` (which then continue with the entry's data): ten bytes from the
// operating system's cryptographic random source, then bits 16-23 and 24-31
// of `crc`. Throws zb::EOSError when no random bytes can be had.
[[nodiscard]] std::array<std::byte, kEncryptionHeaderSize> MakeEncryptionHeader(ZipCrypto& keys,
                                                                                uint32_t crc);

// Decrypts an entry's header with `keys` and compares its last byte with
// `check_byte`: bits 24-31 of the CRC, or, for entries with a data descriptor
// (flag bit 3), the high byte of the DOS time word. True when they agree.
[[nodiscard]] bool CheckEncryptionHeader(ZipCrypto& keys,
                                         std::span<const std::byte, kEncryptionHeaderSize> header,
                                         uint8_t check_byte);

}  // namespace zb::zip
