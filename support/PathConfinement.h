#pragma once

#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

namespace vantrel {

// The folders whose files clients may have the server read and write: the INI folder the server started with,
// and those Settings.ini adds ("[Security]" "AllowedFolders", separated by ';'). Until a home is set (inside
// tests, in-process tools) every path is allowed.
class TPathConfinement {
 public:
  static TPathConfinement& Instance();

  void SetHome(const std::string& folder);
  void SetAllowedFolders(const std::vector<std::string>& folders);
  // Throws std::runtime_error naming the path when it lies outside every allowed folder. Symbolic links and
  // ".." are resolved first, so neither leads out.
  void Check(const std::string& path) const;
  bool Allows(const std::string& path) const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::filesystem::path> folders_;  // guarded by mutex_; the first is the home, none: no confinement
};

}  // namespace vantrel
