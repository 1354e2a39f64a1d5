#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace vantrel {

// An INI file held in memory: read whole when made, changed in memory, written whole by UpdateFile.
// Sections and keys keep their file order; look-ups ignore letter case. Of duplicate keys the first one counts,
// and the others are kept as they stand. Comment lines are kept in place.
class TMemIniFile {
 public:
  explicit TMemIniFile(std::string fileName);  // a missing file gives an empty object

  const std::string& FileName() const { return fileName_; }

  std::string ReadString(std::string_view section, std::string_view key, std::string_view defaultValue) const;
  void WriteString(std::string_view section, std::string_view key, std::string_view value);
  int ReadInteger(std::string_view section, std::string_view key, int defaultValue) const;
  void WriteInteger(std::string_view section, std::string_view key, int value);
  bool ReadBool(std::string_view section, std::string_view key, bool defaultValue) const;
  void WriteBool(std::string_view section, std::string_view key, bool value);

  bool SectionExists(std::string_view section) const;
  bool ValueExists(std::string_view section, std::string_view key) const;
  std::vector<std::string> ReadSections() const;
  std::vector<std::string> ReadSection(std::string_view section) const;  // key names
  // The section's keys with their values, in file order, each key once (its first line, as ReadString reads it).
  std::vector<std::pair<std::string, std::string>> ReadSectionValues(std::string_view section) const;
  void EraseSection(std::string_view section);
  // Every section whose name begins with the prefix (in any letter case), in one pass.
  void EraseSectionsStartingWith(std::string_view prefix);
  void DeleteKey(std::string_view section, std::string_view key);
  void Clear();

  // Throws std::runtime_error when the file cannot be written.
  void UpdateFile() const;
  std::string ToText() const;
  void SetText(std::string_view text);

 private:
  struct Line {
    std::string key;  // empty for a comment or other kept line
    std::string value;
  };
  struct Section {
    std::string name;
    std::vector<Line> lines;
  };

  const Section* FindSection(std::string_view name) const;
  Section* FindSection(std::string_view name);
  const Line* FindKey(const Section& section, std::string_view key) const;
  void Reindex();

  std::string fileName_;
  std::vector<std::string> preamble_;  // lines before the first section
  std::vector<Section> sections_;
  // Each section's place by its lower-cased name: a file of thousands of sections is read in linear time.
  std::unordered_map<std::string, std::size_t> index_;
};

bool EqualsIgnoreCase(std::string_view a, std::string_view b);
// The text without leading and trailing blanks and tabs.
std::string_view Trim(std::string_view text);
std::string LowerCase(std::string_view text);

}  // namespace vantrel
