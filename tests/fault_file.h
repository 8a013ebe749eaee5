#pragma once

// A writable file that plays a full disk: it accepts `capacity` bytes in
// total and then fails with ENOSPC, like a real write to a full file system.
// Shared by the reader's and the writer's tests.

#include <cerrno>
#include <cstdint>
#include <memory>
#include <span>

#include "base/errors.h"
#include "platform/file_system.h"

namespace zb::testing {

class FaultWritableFile final : public WritableFile {
 public:
  FaultWritableFile(std::unique_ptr<WritableFile> base, uint64_t capacity)
      : base_(std::move(base)), capacity_(capacity) {}

  void Append(std::span<const std::byte> data) override {
    uint64_t pos = base_->Position();
    if (pos + data.size() > capacity_) {
      // Store what fits first, as a real device does before it runs out.
      size_t fit = pos < capacity_ ? static_cast<size_t>(capacity_ - pos) : 0;
      if (fit > 0) base_->Append(data.first(fit));
      throw EOSError("Unable to write", base_->Path().string(), ENOSPC);
    }
    base_->Append(data);
  }
  void WriteAt(uint64_t offset, std::span<const std::byte> data) override {
    if (offset + data.size() > capacity_) {
      throw EOSError("Unable to write", base_->Path().string(), ENOSPC);
    }
    base_->WriteAt(offset, data);
  }
  [[nodiscard]] uint64_t Position() const override { return base_->Position(); }
  void Sync() override { base_->Sync(); }
  void Close() override { base_->Close(); }
  void Truncate(uint64_t size) override { base_->Truncate(size); }
  [[nodiscard]] const std::filesystem::path& Path() const override { return base_->Path(); }

 private:
  std::unique_ptr<WritableFile> base_;
  uint64_t capacity_;
};

// Hands out files that together fail once `capacity` bytes went to any one
// of them; counts the files made so tests can see a write was attempted.
class FaultFileFactory final : public WritableFileFactory {
 public:
  explicit FaultFileFactory(uint64_t capacity) : capacity_(capacity) {}
  [[nodiscard]] std::unique_ptr<WritableFile> Wrap(File file) override {
    ++files_made_;
    return std::make_unique<FaultWritableFile>(DefaultWritableFileFactory().Wrap(std::move(file)),
                                               capacity_);
  }
  [[nodiscard]] int FilesMade() const { return files_made_; }

 private:
  uint64_t capacity_;
  int files_made_ = 0;
};

}  // namespace zb::testing
