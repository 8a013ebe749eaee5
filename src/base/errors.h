#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace zb {

// Base of every error the program raises. Carries the text shown to the user
// at the command boundary (which appends "." when the text has no full stop).
class Error : public std::runtime_error {
 public:
  explicit Error(const std::string& message) : std::runtime_error(message) {}
};

// The silent abort: a check that has already shown its own message ends the
// command with this; the command boundary shows nothing for it.
class EAbort final : public Error {
 public:
  EAbort() : Error("Operation aborted") {}
};

// An operating-system call failed. The message says what and where, plus the
// OS reason: "Unable to open /x/y.zip: Permission denied".
class EOSError : public Error {
 public:
  EOSError(std::string_view what, const std::string& path, int err);
  [[nodiscard]] int Errno() const { return errno_; }

 private:
  int errno_;
};

// A data file could not be written. The text is exactly "Unable to write to "
// + full path; the OS reason is kept beside it for logs and diagnostics.
class EWriteError : public Error {
 public:
  explicit EWriteError(const std::string& path, std::string reason = {});
  [[nodiscard]] const std::string& Reason() const { return reason_; }

 private:
  std::string reason_;
};

// Input that can never be stored (a key with a line break, a bad name...).
class EInvalidInput : public Error {
 public:
  using Error::Error;
};

// Archive engine errors, with the texts users see.
class EZipError : public Error {
 public:
  using Error::Error;
};
class EBadZipFile final : public EZipError {
 public:
  EBadZipFile() : EZipError("Not a valid zip file!") {}
  explicit EBadZipFile(const std::string& m) : EZipError(m) {}
};
class ENotAZipFile final : public EZipError {
 public:
  ENotAZipFile() : EZipError("Not a valid zip file!") {}
};
class EIncompleteZip final : public EZipError {
 public:
  EIncompleteZip() : EZipError("Incomplete Zip File") {}
};
class EUserCanceled final : public EZipError {
 public:
  explicit EUserCanceled(const std::string& m) : EZipError(m) {}
};
class ENotEnoughRoom final : public EZipError {
 public:
  ENotEnoughRoom() : EZipError("Not enough room to write archive") {}
};
class EBiggerThanUncompressed final : public EZipError {
 public:
  EBiggerThanUncompressed() : EZipError("File is larger than uncompressed size!") {}
};
class ECantWriteUCF final : public EZipError {
 public:
  ECantWriteUCF() : EZipError("Cant write uncompressed file") {}
};
class EFatalUnzipError final : public EZipError {
 public:
  EFatalUnzipError() : EZipError("Premature end of file reached") {}
};

// A file search was given an invalid mask or location.
class EFileSearchError final : public Error {
 public:
  using Error::Error;
};

// The data folder is locked by another running instance.
class ELocked final : public Error {
 public:
  using Error::Error;
};

}  // namespace zb
