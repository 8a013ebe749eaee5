#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace zb {
class FileOps;
}

namespace zb::ini {

// One INI data file held in memory. Reads follow the profile-string rules:
// section and key names match without regard to ASCII case and surrounding
// blanks; a value loses its surrounding blanks and one pair of enclosing
// quotes and is cut to kMaxValueLength bytes; a missing key, or a value that
// is not usable text (NUL bytes, invalid UTF-8), reads as the caller's
// default. Writes change memory only; Save() puts the file on disk in one
// atomic step. Lines the program never writes (comments, unknown keys,
// other sections, damaged lines) are kept byte for byte, as are the byte
// order mark and the file's line ending (LF for a new file).
class IniFile final {
 public:
  static constexpr size_t kMaxValueLength = 2047;

  // Loads `path`; a missing file is an empty one. Throws zb::EOSError when
  // the file exists but cannot be read.
  explicit IniFile(std::filesystem::path path);
  // Parses text without a file behind it (Save() then needs SaveAs()).
  [[nodiscard]] static IniFile FromText(std::string_view text);

  IniFile(IniFile&&) = default;
  IniFile& operator=(IniFile&&) = default;

  [[nodiscard]] std::string ReadString(std::string_view section, std::string_view key,
                                       std::string_view def) const;
  // Decimal text; anything else (or a value outside int) gives `def`.
  [[nodiscard]] int ReadInteger(std::string_view section, std::string_view key, int def) const;
  // True for any integer but 0; a value that is not an integer gives `def`.
  [[nodiscard]] bool ReadBool(std::string_view section, std::string_view key, bool def) const;
  // A list stored as `count_key` plus `prefix` + 0, 1, ...: reads up to the
  // count. With `skip_empty` an empty or missing entry is left out; without
  // it, it reads as "" (a count beyond the lines of the section is cut to
  // that number: no entry can exist past it).
  [[nodiscard]] std::vector<std::string> ReadList(std::string_view section,
                                                  std::string_view count_key,
                                                  std::string_view prefix,
                                                  bool skip_empty = true) const;

  [[nodiscard]] bool SectionExists(std::string_view section) const;
  [[nodiscard]] bool KeyExists(std::string_view section, std::string_view key) const;
  // Names as spelled in the file, in file order (duplicates once).
  [[nodiscard]] std::vector<std::string> SectionNames() const;
  [[nodiscard]] std::vector<std::string> KeyNames(std::string_view section) const;

  // Writers throw zb::EInvalidInput (and change nothing) for a section name,
  // key or value holding CR, LF or NUL, for an empty name, and for a key that
  // could not be read back (containing "=", starting with "[" or ";").
  // Writing a key overwrites its value in place (the key keeps its spelling);
  // a new key goes at the end of its section, before any blank lines that
  // separate it from the next, and a new section at the end of the file.
  void WriteString(std::string_view section, std::string_view key, std::string_view value);
  void WriteInteger(std::string_view section, std::string_view key, int64_t value);
  void WriteBool(std::string_view section, std::string_view key, bool value);
  // Writes the count and one key per item. Keys beyond the new count stay.
  void WriteList(std::string_view section, std::string_view count_key, std::string_view prefix,
                 const std::vector<std::string>& items);
  // Remove a section (every section of that name) or a key; no-op when absent.
  void EraseSection(std::string_view section);
  void DeleteKey(std::string_view section, std::string_view key);

  [[nodiscard]] bool Modified() const { return modified_; }
  // Writes the file atomically when anything changed; does nothing otherwise.
  // Throws zb::EWriteError ("Unable to write to " + path): the file on disk
  // is then exactly as before.
  void Save();
  void Save(FileOps& ops);
  [[nodiscard]] const std::filesystem::path& Path() const { return path_; }
  void SetPath(std::filesystem::path path) { path_ = std::move(path); }

  // The file's text as Save() would write it.
  [[nodiscard]] std::string Text() const;

 private:
  struct Line {
    std::string raw;
    std::string key;  // trimmed key name; empty when the line is no key line
  };
  struct Section {
    std::string name;  // as spelled in the header
    std::string header;
    bool readable = true;  // false for the preamble and for broken headers
    std::vector<Line> lines;
    std::unordered_map<std::string, size_t> keys;  // folded key -> first line
    void Reindex();
  };

  IniFile() = default;
  void Parse(std::string_view text);
  [[nodiscard]] const Section* Find(std::string_view section) const;
  Section& FindOrAdd(std::string_view section);
  [[nodiscard]] const std::string* RawValue(std::string_view section, std::string_view key) const;

  std::filesystem::path path_;
  std::vector<Section> sections_;                          // [0] is the preamble
  std::unordered_map<std::string, size_t> section_index_;  // folded name -> first
  bool bom_ = false;
  std::string eol_ = "\n";
  bool modified_ = false;
};

}  // namespace zb::ini
