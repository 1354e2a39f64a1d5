#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/LockRank.h"
#include "IniFile.h"

namespace vantrel {

// The process-wide cache of in-memory INI files: every object of one file shares one TMemIniFile between the
// top-level GetIniFile and ReleaseIniFile of a load or save.
class TIniStorage {
 public:
  TIniStorage() = default;
  TIniStorage(const TIniStorage&) = delete;
  TIniStorage& operator=(const TIniStorage&) = delete;

  // The cached object for the file, made (and read) on first use; names differing only in case share it.
  // The object stays valid until ReleaseIniFile of the same name.
  TMemIniFile* GetIniFile(const std::string& fileName);
  // Writes the cached content to its file, frees it and drops the entry; false when it is not cached.
  bool ReleaseIniFile(const std::string& fileName);

  // The one made by the Environment, or none.
  static TIniStorage* Instance();
  static void SetInstance(TIniStorage* storage);

 private:
  platform::LeafMutex mutex_;
  std::vector<std::pair<std::string, std::unique_ptr<TMemIniFile>>> entries_;  // guarded by mutex_
};

}  // namespace vantrel
