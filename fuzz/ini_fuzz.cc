// Parses arbitrary bytes as an INI file, reads and writes through it, and
// checks that the text it would save parses back to the same values.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "base/errors.h"
#include "ini/ini_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using zb::ini::IniFile;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  IniFile f = IniFile::FromText(text);
  for (const std::string& section : f.SectionNames()) {
    for (const std::string& key : f.KeyNames(section)) {
      (void)f.ReadString(section, key, "");
      (void)f.ReadInteger(section, key, 0);
    }
    (void)f.ReadList(section, "Count", "Count");
  }
  try {
    f.WriteString("Common", "Project Count", "2");
    f.WriteList("Fuzz", "Count", "Item", {"a", "b"});
  } catch (const zb::EInvalidInput&) {
    // A section named by the input cannot collide with these fixed names.
    std::abort();
  }
  const IniFile g = IniFile::FromText(f.Text());
  if (g.ReadInteger("common", "project count", 0) != 2) std::abort();
  if (g.ReadList("fuzz", "count", "item").size() != 2) std::abort();
  if (g.Text() != f.Text()) std::abort();
  return 0;
}
