#include "IniFile.h"

#include "AtomicFile.h"
#include "FormatText.h"
#include "VantrelCommonRoutines.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <unordered_set>
#include <utility>

namespace vantrel {

std::string_view Trim(std::string_view text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

std::string LowerCase(std::string_view text) {
  std::string result(text);
  std::transform(result.begin(), result.end(), result.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return result;
}

namespace {
std::optional<std::string> ReadWholeFile(const std::string& fileName) {
  std::ifstream file(fileName, std::ios::binary);
  if (!file) return std::nullopt;
  std::ostringstream content;
  content << file.rdbuf();
  if (file.bad()) return std::nullopt;
  return content.str();
}
}  // namespace

TMemIniFile::TMemIniFile(std::string fileName) : fileName_(std::move(fileName)) {
  std::error_code missing;
  if (!std::filesystem::exists(fileName_, missing)) return;
  const std::optional<std::string> content = ReadWholeFile(fileName_);
  if (content && !content->empty()) {
    SetText(*content);
    return;
  }
  // Present but empty or unreadable (a crash of a writer that replaced files in place, a disk fault): the
  // previous good copy that every save keeps stands in, and the operator hears of it once.
  const std::string backup = BackupFileName(fileName_);
  const std::optional<std::string> previous = ReadWholeFile(backup);
  if (!previous || previous->empty()) return;
  const std::string message = "The INI file \"" + fileName_ + "\" is " + (content ? "empty" : "unreadable") +
                              "; its previous copy \"" + backup + "\" is read instead";
  LogErrorLine(message);
  std::fprintf(stderr, "vantrel: %s\n", message.c_str());
  SetText(*previous);
}

void TMemIniFile::SetText(std::string_view text) {
  preamble_.clear();
  sections_.clear();
  index_.clear();
  std::size_t current = 0;  // 1-based index of the section lines go to; 0 = the preamble
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view raw = text.substr(start, end - start);
    start = end + 1;
    if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
    const std::string_view line = Trim(raw);
    if (line.empty()) continue;
    if (line.front() == '[' && line.back() == ']') {
      const std::string_view name = Trim(line.substr(1, line.size() - 2));
      // A repeated section header continues the first section of that name.
      const Section* existing = FindSection(name);
      if (existing == nullptr) {
        sections_.push_back(Section{std::string(name), {}});
        index_.emplace(LowerCase(name), sections_.size() - 1);
        current = sections_.size();
      } else {
        current = static_cast<std::size_t>(existing - sections_.data()) + 1;
      }
      continue;
    }
    const bool isComment = line.front() == ';' || line.front() == '#';
    const auto equals = line.find('=');
    Line entry;
    if (!isComment && equals != std::string_view::npos && equals > 0) {
      entry.key = std::string(Trim(line.substr(0, equals)));
      entry.value = std::string(line.substr(equals + 1));
    } else {
      entry.value = std::string(line);
    }
    if (current == 0) {
      preamble_.push_back(entry.key.empty() ? entry.value : entry.key + "=" + entry.value);
    } else {
      sections_[current - 1].lines.push_back(std::move(entry));
    }
  }
}

std::string TMemIniFile::ToText() const {
  std::string text;
  for (const std::string& line : preamble_) text += line + "\r\n";
  for (std::size_t i = 0; i < sections_.size(); ++i) {
    if (i > 0 || !preamble_.empty()) text += "\r\n";
    text += "[" + sections_[i].name + "]\r\n";
    for (const Line& line : sections_[i].lines) {
      text += line.key.empty() ? line.value : line.key + "=" + line.value;
      text += "\r\n";
    }
  }
  return text;
}

void TMemIniFile::UpdateFile() const { WriteFileAtomically(fileName_, ToText()); }

const TMemIniFile::Section* TMemIniFile::FindSection(std::string_view name) const {
  const auto found = index_.find(LowerCase(name));
  return found == index_.end() ? nullptr : &sections_[found->second];
}

void TMemIniFile::Reindex() {
  index_.clear();
  for (std::size_t i = 0; i < sections_.size(); ++i) index_.emplace(LowerCase(sections_[i].name), i);
}

TMemIniFile::Section* TMemIniFile::FindSection(std::string_view name) {
  return const_cast<Section*>(std::as_const(*this).FindSection(name));
}

const TMemIniFile::Line* TMemIniFile::FindKey(const Section& section, std::string_view key) const {
  const auto found = std::find_if(section.lines.begin(), section.lines.end(),
                                  [&](const Line& l) { return !l.key.empty() && EqualsIgnoreCase(l.key, key); });
  return found == section.lines.end() ? nullptr : &*found;
}

std::string TMemIniFile::ReadString(std::string_view section, std::string_view key,
                                    std::string_view defaultValue) const {
  const Section* found = FindSection(section);
  const Line* line = found ? FindKey(*found, key) : nullptr;
  return line ? line->value : std::string(defaultValue);
}

namespace {
bool HasLineBreak(std::string_view text) { return text.find_first_of("\r\n") != std::string_view::npos; }
}  // namespace

void TMemIniFile::WriteString(std::string_view section, std::string_view key, std::string_view value) {
  if (Trim(key).empty()) throw std::invalid_argument("INI key must not be empty");
  // A name cannot be escaped in the file: a line break in it would write lines of the caller's choosing.
  if (HasLineBreak(section)) throw std::invalid_argument("INI section name must not hold a line break");
  if (HasLineBreak(key) || key.find('=') != std::string_view::npos) {
    throw std::invalid_argument("INI key must not hold a line break or '='");
  }
  // Line breaks would split the entry and corrupt the file on the next read.
  std::string safe(value);
  std::replace_if(
      safe.begin(), safe.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
  Section* target = FindSection(section);
  if (!target) {
    sections_.push_back(Section{std::string(section), {}});
    index_.emplace(LowerCase(section), sections_.size() - 1);
    target = &sections_.back();
  }
  if (const Line* line = FindKey(*target, key)) {
    const_cast<Line*>(line)->value = std::move(safe);
  } else {
    target->lines.push_back(Line{std::string(key), std::move(safe)});
  }
}

int TMemIniFile::ReadInteger(std::string_view section, std::string_view key, int defaultValue) const {
  return StrToIntDef(Trim(ReadString(section, key, "")), defaultValue);
}

void TMemIniFile::WriteInteger(std::string_view section, std::string_view key, int value) {
  WriteString(section, key, std::to_string(value));
}

bool TMemIniFile::ReadBool(std::string_view section, std::string_view key, bool defaultValue) const {
  return ReadInteger(section, key, defaultValue ? 1 : 0) != 0;
}

void TMemIniFile::WriteBool(std::string_view section, std::string_view key, bool value) {
  WriteString(section, key, value ? "1" : "0");
}

bool TMemIniFile::SectionExists(std::string_view section) const { return FindSection(section) != nullptr; }

bool TMemIniFile::ValueExists(std::string_view section, std::string_view key) const {
  const Section* found = FindSection(section);
  return found && FindKey(*found, key);
}

std::vector<std::string> TMemIniFile::ReadSections() const {
  std::vector<std::string> names;
  for (const Section& section : sections_) names.push_back(section.name);
  return names;
}

std::vector<std::string> TMemIniFile::ReadSection(std::string_view section) const {
  std::vector<std::string> keys;
  for (auto& [key, value] : ReadSectionValues(section)) keys.push_back(std::move(key));
  return keys;
}

std::vector<std::pair<std::string, std::string>> TMemIniFile::ReadSectionValues(std::string_view section) const {
  std::vector<std::pair<std::string, std::string>> values;
  if (const Section* found = FindSection(section)) {
    std::unordered_set<std::string> seen;  // lower-cased: a key repeated in another case is the same key
    for (const Line& line : found->lines) {
      if (line.key.empty() || !seen.insert(LowerCase(line.key)).second) continue;
      values.emplace_back(line.key, line.value);  // the first line of a key is the one ReadString reads
    }
  }
  return values;
}

void TMemIniFile::EraseSection(std::string_view section) {
  if (std::erase_if(sections_, [&](const Section& s) { return EqualsIgnoreCase(s.name, section); }) > 0) Reindex();
}

void TMemIniFile::EraseSectionsStartingWith(std::string_view prefix) {
  const auto erased = std::erase_if(sections_, [&](const Section& s) {
    return s.name.size() >= prefix.size() && EqualsIgnoreCase(std::string_view(s.name).substr(0, prefix.size()), prefix);
  });
  if (erased > 0) Reindex();
}

void TMemIniFile::DeleteKey(std::string_view section, std::string_view key) {
  if (Section* found = FindSection(section)) {
    std::erase_if(found->lines, [&](const Line& l) { return !l.key.empty() && EqualsIgnoreCase(l.key, key); });
  }
}

void TMemIniFile::Clear() {
  preamble_.clear();
  sections_.clear();
  index_.clear();
}

}  // namespace vantrel
