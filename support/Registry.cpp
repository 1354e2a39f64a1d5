#include "Registry.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace vantrel {

std::string TRegistry::StoreFileName() {
  if (const char* file = std::getenv("VANTREL_REGISTRY_FILE"); file != nullptr && *file != '\0') return file;
  std::filesystem::path folder;
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config != nullptr && *config != '\0') {
    folder = config;
  } else if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
    folder = std::filesystem::path(home) / ".config";
  } else {
    throw std::runtime_error("No configuration folder for the registry store (HOME is not set)");
  }
  return (folder / "vantrel" / "registry.ini").string();
}

TRegistry::TRegistry() : store_(StoreFileName()) {}

bool TRegistry::OpenKey(const std::string& key, bool create) {
  if (!store_.SectionExists(key)) {
    if (!create) return false;
    // An empty section stands for an existing key without values.
    store_.WriteString(key, "(Default)", "");
    changed_ = true;
  }
  key_ = key;
  return true;
}

std::optional<std::string> TRegistry::ReadString(const std::string& name) const {
  if (key_.empty() || !store_.ValueExists(key_, name)) return std::nullopt;
  return store_.ReadString(key_, name, "");
}

void TRegistry::WriteString(const std::string& name, const std::string& value) {
  if (key_.empty()) throw std::logic_error("No registry key is open");
  store_.WriteString(key_, name, value);
  changed_ = true;
}

void TRegistry::CloseKey() {
  key_.clear();
  if (!changed_) return;
  std::filesystem::create_directories(std::filesystem::path(store_.FileName()).parent_path());
  store_.UpdateFile();
  changed_ = false;
}

}  // namespace vantrel
