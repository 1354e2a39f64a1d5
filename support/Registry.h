#pragma once

#include <memory>
#include <optional>
#include <string>

#include "IniFile.h"

namespace vantrel {

// The current user's registry, kept in a file: each key is a section, each value a line.
// The file is $VANTREL_REGISTRY_FILE, or else vantrel/registry.ini under the user's configuration folder.
class TRegistry {
 public:
  TRegistry();

  // Opens the key, creating it when asked; false when it is missing and not created.
  bool OpenKey(const std::string& key, bool create);
  std::optional<std::string> ReadString(const std::string& name) const;
  void WriteString(const std::string& name, const std::string& value);
  // Writes the store back when anything changed. Throws when the file cannot be written.
  void CloseKey();

  static std::string StoreFileName();

 private:
  TMemIniFile store_;
  std::string key_;
  bool changed_ = false;
};

}  // namespace vantrel
