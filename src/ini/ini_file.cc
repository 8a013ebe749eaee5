#include "ini/ini_file.h"

#include <algorithm>

#include "base/errors.h"
#include "base/text.h"
#include "platform/atomic_file.h"

namespace zb::ini {
namespace {

constexpr std::string_view kBom = "\xEF\xBB\xBF";

std::string Fold(std::string_view name) { return LowerCase(Trim(name)); }

bool HasLineBreakOrNul(std::string_view s) {
  return s.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

// The name of a "[name]" header: up to the LAST "]" of the line, so that a
// project called "a]b" keeps its name. False when the line is no header.
bool ParseHeader(std::string_view line, std::string& name, bool& readable) {
  const std::string_view t = TrimLeft(line);
  if (t.empty() || t.front() != '[') return false;
  const size_t close = t.rfind(']');
  if (close == std::string_view::npos || close == 0) {
    // "[name" without its bracket: a section nobody can address. Its keys
    // must not fall into the section above it.
    name.clear();
    readable = false;
    return true;
  }
  name = std::string(Trim(t.substr(1, close - 1)));
  readable = !name.empty();
  return true;
}

// The key of a "key=value" line, or empty for comments and other lines.
std::string_view KeyOf(std::string_view line) {
  const std::string_view t = TrimLeft(line);
  if (t.empty() || t.front() == ';') return {};
  const size_t eq = t.find('=');
  if (eq == std::string_view::npos) return {};
  return TrimRight(t.substr(0, eq));
}

std::string_view ValueOf(std::string_view line) {
  const size_t eq = line.find('=');
  return eq == std::string_view::npos ? std::string_view() : line.substr(eq + 1);
}

// Cuts to `max` bytes without splitting a UTF-8 sequence.
std::string_view CapUtf8(std::string_view s, size_t max) {
  if (s.size() <= max) return s;
  size_t n = max;
  while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
  return s.substr(0, n);
}

void CheckName(std::string_view what, std::string_view name) {
  if (HasLineBreakOrNul(name)) {
    throw EInvalidInput("The " + std::string(what) + " name contains a line break or NUL");
  }
  if (Trim(name).empty()) throw EInvalidInput("The " + std::string(what) + " name is empty");
}

void CheckKey(std::string_view key) {
  CheckName("key", key);
  const std::string_view t = Trim(key);
  if (t.find('=') != std::string_view::npos || t.front() == '[' || t.front() == ';') {
    throw EInvalidInput("The key name \"" + std::string(t) + "\" cannot be stored");
  }
}

void CheckValue(std::string_view value) {
  if (HasLineBreakOrNul(value)) throw EInvalidInput("The value contains a line break or NUL");
}

}  // namespace

void IniFile::Section::Reindex() {
  keys.clear();
  for (size_t i = 0; i < lines.size(); ++i) {
    if (!lines[i].key.empty()) keys.emplace(LowerCase(lines[i].key), i);  // first one wins
  }
}

IniFile::IniFile(std::filesystem::path path) : path_(std::move(path)) {
  const std::optional<std::string> text = ReadFileIfExists(path_);
  Parse(text ? *text : std::string());
}

IniFile IniFile::FromText(std::string_view text) {
  IniFile f;
  f.Parse(text);
  return f;
}

void IniFile::Parse(std::string_view text) {
  sections_.clear();
  section_index_.clear();
  sections_.emplace_back();
  sections_.back().readable = false;
  bom_ = text.starts_with(kBom);
  if (bom_) text.remove_prefix(kBom.size());
  const size_t lf = text.find('\n');
  eol_ = lf != std::string_view::npos && lf > 0 && text[lf - 1] == '\r' ? "\r\n" : "\n";

  for (std::string& raw : SplitLines(text)) {
    std::string name;
    bool readable = true;
    if (ParseHeader(raw, name, readable)) {
      Section s;
      s.name = std::move(name);
      s.header = std::move(raw);
      s.readable = readable;
      if (readable) section_index_.emplace(LowerCase(s.name), sections_.size());
      sections_.push_back(std::move(s));
      continue;
    }
    Line line{std::move(raw), {}};
    line.key = std::string(KeyOf(line.raw));
    sections_.back().lines.push_back(std::move(line));
  }
  for (Section& s : sections_) s.Reindex();
  modified_ = false;
}

const IniFile::Section* IniFile::Find(std::string_view section) const {
  const auto it = section_index_.find(Fold(section));
  return it == section_index_.end() ? nullptr : &sections_[it->second];
}

IniFile::Section& IniFile::FindOrAdd(std::string_view section) {
  const std::string folded = Fold(section);
  const auto it = section_index_.find(folded);
  if (it != section_index_.end()) return sections_[it->second];
  // Keep a blank line between the previous section and the new one.
  Section& last = sections_.back();
  const bool file_empty = sections_.size() == 1 && last.lines.empty();
  if (!file_empty && (last.lines.empty() || !Trim(last.lines.back().raw).empty())) {
    last.lines.push_back(Line{});
  }
  Section s;
  s.name = std::string(Trim(section));
  s.header = "[" + s.name + "]";
  section_index_.emplace(folded, sections_.size());
  sections_.push_back(std::move(s));
  return sections_.back();
}

const std::string* IniFile::RawValue(std::string_view section, std::string_view key) const {
  const Section* s = Find(section);
  if (s == nullptr) return nullptr;
  const auto it = s->keys.find(Fold(key));
  return it == s->keys.end() ? nullptr : &s->lines[it->second].raw;
}

std::string IniFile::ReadString(std::string_view section, std::string_view key,
                                std::string_view def) const {
  const std::string* raw = RawValue(section, key);
  if (raw == nullptr) return std::string(def);
  std::string_view v = Trim(ValueOf(*raw));
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
    v = v.substr(1, v.size() - 2);
  }
  v = CapUtf8(v, kMaxValueLength);
  if (v.find('\0') != std::string_view::npos || !IsValidUtf8(v)) return std::string(def);
  return std::string(v);
}

int IniFile::ReadInteger(std::string_view section, std::string_view key, int def) const {
  const std::string* raw = RawValue(section, key);
  if (raw == nullptr) return def;
  return StrToIntDef(ReadString(section, key, ""), def);
}

bool IniFile::ReadBool(std::string_view section, std::string_view key, bool def) const {
  return ReadInteger(section, key, def ? 1 : 0) != 0;
}

std::vector<std::string> IniFile::ReadList(std::string_view section, std::string_view count_key,
                                           std::string_view prefix, bool skip_empty) const {
  std::vector<std::string> items;
  const int count = ReadInteger(section, count_key, 0);
  const Section* s = Find(section);
  if (s == nullptr || count <= 0) return items;
  // A damaged count far beyond the stored keys must not cost a lookup per
  // number up to two billion: no more entries can exist than lines.
  const size_t limit = std::min<size_t>(static_cast<size_t>(count), s->lines.size());
  const std::string p(prefix);
  for (size_t i = 0; i < limit; ++i) {
    std::string v = ReadString(section, p + std::to_string(i), "");
    if (v.empty() && skip_empty) continue;
    items.push_back(std::move(v));
  }
  return items;
}

bool IniFile::SectionExists(std::string_view section) const { return Find(section) != nullptr; }

bool IniFile::KeyExists(std::string_view section, std::string_view key) const {
  return RawValue(section, key) != nullptr;
}

std::vector<std::string> IniFile::SectionNames() const {
  std::vector<std::string> names;
  for (size_t i = 1; i < sections_.size(); ++i) {
    const Section& s = sections_[i];
    if (!s.readable) continue;
    const auto it = section_index_.find(LowerCase(s.name));
    if (it != section_index_.end() && it->second == i) names.push_back(s.name);
  }
  return names;
}

std::vector<std::string> IniFile::KeyNames(std::string_view section) const {
  std::vector<std::string> names;
  const Section* s = Find(section);
  if (s == nullptr) return names;
  for (size_t i = 0; i < s->lines.size(); ++i) {
    const std::string& k = s->lines[i].key;
    if (!k.empty() && s->keys.at(LowerCase(k)) == i) names.push_back(k);
  }
  return names;
}

void IniFile::WriteString(std::string_view section, std::string_view key, std::string_view value) {
  CheckName("section", section);
  CheckKey(key);
  CheckValue(value);
  Section& s = FindOrAdd(section);
  const std::string folded = Fold(key);
  const auto it = s.keys.find(folded);
  if (it != s.keys.end()) {
    Line& line = s.lines[it->second];
    // Keep the key as spelled in the file; only the value changes.
    const size_t eq = line.raw.find('=');
    if (line.raw.compare(eq + 1, std::string::npos, value) == 0) return;
    line.raw.replace(eq + 1, std::string::npos, value);
    modified_ = true;
    return;
  }
  size_t pos = s.lines.size();
  while (pos > 0 && Trim(s.lines[pos - 1].raw).empty()) --pos;
  Line line{std::string(Trim(key)) + "=" + std::string(value), std::string(Trim(key))};
  s.lines.insert(s.lines.begin() + static_cast<ptrdiff_t>(pos), std::move(line));
  // Only blank lines moved, and blank lines are never indexed.
  s.keys.emplace(folded, pos);
  modified_ = true;
}

void IniFile::WriteInteger(std::string_view section, std::string_view key, int64_t value) {
  WriteString(section, key, std::to_string(value));
}

void IniFile::WriteBool(std::string_view section, std::string_view key, bool value) {
  WriteString(section, key, value ? "1" : "0");
}

void IniFile::WriteList(std::string_view section, std::string_view count_key,
                        std::string_view prefix, const std::vector<std::string>& items) {
  // Check everything first so that a bad item leaves the file unchanged.
  CheckName("section", section);
  CheckKey(count_key);
  CheckKey(std::string(prefix) + "0");
  for (const std::string& item : items) CheckValue(item);
  WriteInteger(section, count_key, static_cast<int64_t>(items.size()));
  const std::string p(prefix);
  for (size_t i = 0; i < items.size(); ++i) WriteString(section, p + std::to_string(i), items[i]);
}

void IniFile::EraseSection(std::string_view section) {
  const std::string folded = Fold(section);
  if (!section_index_.contains(folded)) return;
  std::vector<Section> kept;
  kept.reserve(sections_.size());
  for (size_t i = 0; i < sections_.size(); ++i) {
    if (i > 0 && sections_[i].readable && LowerCase(sections_[i].name) == folded) continue;
    kept.push_back(std::move(sections_[i]));
  }
  sections_ = std::move(kept);
  section_index_.clear();
  for (size_t i = 1; i < sections_.size(); ++i) {
    if (sections_[i].readable) section_index_.emplace(LowerCase(sections_[i].name), i);
  }
  modified_ = true;
}

void IniFile::DeleteKey(std::string_view section, std::string_view key) {
  const auto sit = section_index_.find(Fold(section));
  if (sit == section_index_.end()) return;
  Section& s = sections_[sit->second];
  const std::string folded = Fold(key);
  if (!s.keys.contains(folded)) return;
  // Every line of that key goes, so that a duplicate does not resurface.
  std::erase_if(s.lines, [&](const Line& l) { return !l.key.empty() && SameText(l.key, folded); });
  s.Reindex();
  modified_ = true;
}

std::string IniFile::Text() const {
  std::string out;
  if (bom_) out += kBom;
  for (size_t i = 0; i < sections_.size(); ++i) {
    const Section& s = sections_[i];
    if (i > 0) {
      out += s.header;
      out += eol_;
    }
    for (const Line& l : s.lines) {
      out += l.raw;
      out += eol_;
    }
  }
  return out;
}

void IniFile::Save() { Save(FileOps::Default()); }

void IniFile::Save(FileOps& ops) {
  if (!modified_) return;
  if (path_.empty()) throw EWriteError("(no file)", "the INI text has no file behind it");
  WriteFileAtomically(path_, Text(), ops);
  modified_ = false;
}

}  // namespace zb::ini
