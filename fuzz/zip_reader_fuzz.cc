// Reads an archive given as bytes: directory (with the recovery scan on),
// accessors, comment, and a test pass that decodes every entry without
// writing. Any crash, hang or unbounded allocation is a finding.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/errors.h"
#include "platform/file_system.h"
#include "zip/zip_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = "/tmp/zb_reader_fuzz_" + std::to_string(::getpid()) + ".zip";
  {
    zb::File f = zb::File::OpenReadWrite(path, true, true);
    f.Write({reinterpret_cast<const std::byte*>(data), size});
    f.Close();
  }
  zb::zip::TZipReader r;
  r.SetZipName(path);
  zb::zip::TUnZipOptions options;
  options.IncompleteZipMode = zb::zip::TIncompleteZipMode::izAssumeBad;
  options.Password = "fuzz";
  try {
    r.ReadDirectory(options);
    for (int i = 0; i < r.EntryCount(); ++i) {
      (void)r.EntryFileName(i);
      (void)r.EntryDirectory(i);
      (void)r.EntrySize(i);
      (void)r.EntryDateTime(i);
    }
    (void)r.ArchiveComment();
    (void)r.Test(options, {});
  } catch (const zb::Error&) {
    // Refusing a damaged archive with an error is the expected outcome.
  }
  return 0;
}
