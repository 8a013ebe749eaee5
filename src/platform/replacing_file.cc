#include "platform/replacing_file.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "base/errors.h"

namespace zb {
namespace {

constexpr std::string_view kTempMarker = ".zbk-";
constexpr std::string_view kTempSuffix = ".tmp";
constexpr size_t kTempRandomLength = 8;
constexpr size_t kMaxFileName = 255;

std::string RandomPart(int attempt) {
  static constexpr char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  unsigned char random[kTempRandomLength];
  if (::getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
    // Something that still differs between attempts and processes.
    for (size_t i = 0; i < sizeof random; ++i) {
      random[i] = static_cast<unsigned char>(::getpid() * 31 + attempt * 7 + static_cast<int>(i));
    }
  }
  std::string out;
  for (unsigned char r : random) out += kDigits[r % 36];
  return out;
}

// The target's name may already be near the file-name limit: only as much
// of it goes into the temporary name as leaves room for the rest, cut at a
// UTF-8 character boundary.
std::string TempPrefix(std::string_view leaf) {
  constexpr size_t kMaxBase =
      kMaxFileName - 1 - kTempMarker.size() - kTempRandomLength - kTempSuffix.size();
  std::string base(leaf);
  if (base.size() > kMaxBase) {
    size_t cut = kMaxBase;
    while (cut > 0 && (static_cast<unsigned char>(base[cut]) & 0xC0) == 0x80) --cut;
    base.resize(cut);
  }
  return "." + base + std::string(kTempMarker);
}

}  // namespace

ReplacingFile::ReplacingFile(UniqueFd own_dir, int dir_fd, std::filesystem::path dir_path,
                             std::string leaf, const Options& options)
    : own_dir_(std::move(own_dir)),
      dir_fd_(dir_fd),
      dir_path_(std::move(dir_path)),
      leaf_(std::move(leaf)),
      target_(dir_path_ / leaf_),
      flush_(options.flush_to_disk),
      stamps_required_(options.stamps_required),
      private_(options.keep_private) {
  const std::string prefix = TempPrefix(leaf_);
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temp_name_ = prefix + RandomPart(attempt) + std::string(kTempSuffix);
    fd = ::openat(dir_fd_, temp_name_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                  0666);
    if (fd < 0 && errno != EEXIST && errno != EINTR) break;
  }
  if (fd < 0) {
    const int err = errno == EINTR ? EEXIST : errno;
    throw EOSError("Unable to create a temporary file in", dir_path_.string(), err);
  }
  temp_path_ = dir_path_ / temp_name_;
  File file = File::Adopt(fd, temp_path_);
  state_ = State::kOpen;
  // From here on a failure removes the file again (the destructor is not
  // run for a constructor that throws).
  auto undo = [&](std::string_view what, int err) {
    file = File();
    Discard();
    throw EOSError(what, temp_path_.string(), err);
  };
  if (private_) {
    // The mode the creation got is what a new file gets here; it is given
    // back at the commit.
    struct stat st {};
    if (::fstat(fd, &st) != 0) undo("Unable to read the attributes of", errno);
    new_file_mode_ = st.st_mode & 07777;
    if (::fchmod(fd, 0600) != 0) undo("Unable to set the permissions of", errno);
  }
  // The lock tells a later sweep of this folder that the file is in use; it
  // goes away with the process, so a killed run's file can be cleaned up.
  lock_fd_ = UniqueFd(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
  if (!lock_fd_.Valid()) undo("Unable to lock", errno);
  if (::flock(lock_fd_.Get(), LOCK_EX | LOCK_NB) != 0) undo("Unable to lock", errno);
  WritableFileFactory& factory =
      options.factory != nullptr ? *options.factory : DefaultWritableFileFactory();
  try {
    output_ = factory.Wrap(std::move(file));
  } catch (...) {
    Discard();
    throw;
  }
}

ReplacingFile ReplacingFile::Create(const std::filesystem::path& target, const Options& options) {
  std::filesystem::path folder = target.parent_path();
  OpenFolder open = OpenFolder::Open(folder.empty() ? "." : folder);
  if (!open.Valid()) {
    const int err = errno;
    throw EOSError("Unable to create a temporary file in", open.path.string(), err);
  }
  const int fd = open.fd.Get();
  return ReplacingFile(std::move(open.fd), fd, folder, target.filename().string(), options);
}

ReplacingFile ReplacingFile::CreateIn(const OpenFolder& folder, std::string_view leaf,
                                      const Options& options) {
  return ReplacingFile(UniqueFd(), folder.fd.Get(), folder.path, std::string(leaf), options);
}

ReplacingFile::ReplacingFile(ReplacingFile&& other) noexcept
    : own_dir_(std::move(other.own_dir_)),
      dir_fd_(other.dir_fd_),
      dir_path_(std::move(other.dir_path_)),
      leaf_(std::move(other.leaf_)),
      temp_name_(std::move(other.temp_name_)),
      target_(std::move(other.target_)),
      temp_path_(std::move(other.temp_path_)),
      flush_(other.flush_),
      stamps_required_(other.stamps_required_),
      private_(other.private_),
      new_file_mode_(other.new_file_mode_),
      lock_fd_(std::move(other.lock_fd_)),
      output_(std::move(other.output_)),
      state_(std::exchange(other.state_, State::kGone)) {}

ReplacingFile& ReplacingFile::operator=(ReplacingFile&& other) noexcept {
  if (this != &other) {
    Discard();
    own_dir_ = std::move(other.own_dir_);
    dir_fd_ = other.dir_fd_;
    dir_path_ = std::move(other.dir_path_);
    leaf_ = std::move(other.leaf_);
    temp_name_ = std::move(other.temp_name_);
    target_ = std::move(other.target_);
    temp_path_ = std::move(other.temp_path_);
    flush_ = other.flush_;
    stamps_required_ = other.stamps_required_;
    private_ = other.private_;
    new_file_mode_ = other.new_file_mode_;
    lock_fd_ = std::move(other.lock_fd_);
    output_ = std::move(other.output_);
    state_ = std::exchange(other.state_, State::kGone);
  }
  return *this;
}

ReplacingFile::~ReplacingFile() { Discard(); }

void ReplacingFile::Discard() noexcept {
  if (state_ == State::kOpen || state_ == State::kClosed) {
    output_.reset();  // closes without reporting: nothing of it is kept
    ::unlinkat(dir_fd_, temp_name_.c_str(), 0);
  }
  lock_fd_.Reset();
  state_ = State::kGone;
}

void ReplacingFile::Fail(std::string_view what, const std::filesystem::path& path, int err) {
  Discard();
  throw EOSError(what, path.string(), err);
}

void ReplacingFile::Close(std::optional<mode_t> mode, std::optional<timespec> mtime) {
  if (state_ == State::kClosed) return;
  if (state_ != State::kOpen) throw Error("The temporary file of " + target_.string() + " is gone");
  try {
    if (flush_) output_->Sync();
    output_->Close();
  } catch (...) {
    Discard();
    throw;
  }
  output_.reset();
  state_ = State::kClosed;
  if (!mode && private_) mode = NewFileMode();
  if (mode && ::fchmod(lock_fd_.Get(), *mode) != 0 && stamps_required_) {
    const int err = errno;
    Fail("Unable to set the permissions of", temp_path_, err);
  }
  if (mtime) {
    const timespec times[2] = {*mtime, *mtime};
    if (::futimens(lock_fd_.Get(), times) != 0 && stamps_required_) {
      const int err = errno;
      Fail("Unable to set the time of", temp_path_, err);
    }
  }
}

mode_t ReplacingFile::NewFileMode() {
  if (!new_file_mode_) {
    // Not private: the file still has the mode its creation gave it.
    struct stat st {};
    if (::fstat(lock_fd_.Get(), &st) != 0) {
      const int err = errno;
      throw EOSError("Unable to read the attributes of", temp_path_.string(), err);
    }
    new_file_mode_ = st.st_mode & 07777;
  }
  return *new_file_mode_;
}

void ReplacingFile::Committed() {
  state_ = State::kCommitted;
  lock_fd_.Reset();
  // The rename is durable only once the folder is; a failure here cannot
  // undo it and loses nothing, so it is not reported.
  if (flush_) (void)::fsync(dir_fd_);
}

void ReplacingFile::Commit(std::optional<mode_t> mode, std::optional<timespec> mtime) {
  Close(mode, mtime);
  const int dir = dir_fd_;
  if (::renameat(dir, temp_name_.c_str(), dir, leaf_.c_str()) != 0) {
    const int err = errno;
    Fail("Unable to rename " + temp_path_.string() + " to", target_, err);
  }
  Committed();
}

bool ReplacingFile::CommitNoReplace(std::optional<mode_t> mode, std::optional<timespec> mtime) {
  Close(mode, mtime);
  const int dir = dir_fd_;
  if (::renameat2(dir, temp_name_.c_str(), dir, leaf_.c_str(), RENAME_NOREPLACE) == 0) {
    Committed();
    return true;
  }
  int err = errno;
  if (err == EEXIST) return false;
  if (err == EINVAL || err == ENOSYS || err == ENOTSUP) {
    // File systems without the no-replace rename: link() refuses a taken
    // name just as well, and the temporary name then goes.
    if (::linkat(dir, temp_name_.c_str(), dir, leaf_.c_str(), 0) == 0) {
      ::unlinkat(dir, temp_name_.c_str(), 0);
      Committed();
      return true;
    }
    err = errno;
    if (err == EEXIST) return false;
  }
  Fail("Unable to rename " + temp_path_.string() + " to", target_, err);
}

bool ReplacingFile::IsTempName(std::string_view name) {
  const size_t min = 1 + 1 + kTempMarker.size() + kTempRandomLength + kTempSuffix.size();
  if (name.size() < min || name[0] != '.' || !name.ends_with(kTempSuffix)) return false;
  const size_t random_at = name.size() - kTempSuffix.size() - kTempRandomLength;
  if (name.substr(random_at - kTempMarker.size(), kTempMarker.size()) != kTempMarker) return false;
  for (size_t i = random_at; i < random_at + kTempRandomLength; ++i) {
    const char c = name[i];
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z'))) return false;
  }
  return true;
}

void ReplacingFile::RemoveLeftovers(const std::filesystem::path& folder) {
  RemoveUnlockedLeftovers(folder.string(), [](const char* name) { return IsTempName(name); });
}

}  // namespace zb
