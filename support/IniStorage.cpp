#include "IniStorage.h"

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <stdexcept>

#include "PathConfinement.h"
#include "SecuritySettings.h"

namespace vantrel {

namespace {
std::atomic<TIniStorage*> instance{nullptr};
}

TIniStorage* TIniStorage::Instance() { return instance.load(); }

void TIniStorage::SetInstance(TIniStorage* storage) { instance.store(storage); }

TMemIniFile* TIniStorage::GetIniFile(const std::string& fileName) {
  TPathConfinement::Instance().Check(fileName);
  const std::string key = LowerCase(fileName);
  std::lock_guard lock(mutex_);
  const auto found = std::find_if(entries_.begin(), entries_.end(), [&](const auto& e) { return e.first == key; });
  if (found != entries_.end()) return found->second.get();
  try {
    auto file = std::make_unique<TMemIniFile>(fileName);
    entries_.emplace_back(key, std::move(file));
  } catch (const std::bad_alloc&) {
    throw std::runtime_error("Error on adding filename" + key + " to inifiles container");
  }
  return entries_.back().second.get();
}

namespace {
// What Settings.ini says under [Security] is the administrator's: no save through the object tree (a client
// naming Settings.ini and that section) may erase or change it.
void KeepSecuritySection(TMemIniFile& file) {
  if (!EqualsIgnoreCase(std::filesystem::path(file.FileName()).filename().string(), "Settings.ini")) return;
  const TMemIniFile onDisk(file.FileName());
  file.EraseSection(kSecuritySection);
  for (const auto& [key, value] : onDisk.ReadSectionValues(kSecuritySection)) {
    file.WriteString(kSecuritySection, key, value);
  }
}
}  // namespace

bool TIniStorage::ReleaseIniFile(const std::string& fileName) {
  const std::string key = LowerCase(fileName);
  std::lock_guard lock(mutex_);
  const auto found = std::find_if(entries_.begin(), entries_.end(), [&](const auto& e) { return e.first == key; });
  if (found == entries_.end()) return false;
  // The entry goes even when writing fails, so a broken file is read afresh next time.
  std::unique_ptr<TMemIniFile> file = std::move(found->second);
  entries_.erase(found);
  KeepSecuritySection(*file);
  file->UpdateFile();
  return true;
}

}  // namespace vantrel
