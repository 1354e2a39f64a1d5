#include "PathConfinement.h"

#include <algorithm>
#include <stdexcept>

#include "FormatText.h"

namespace vantrel {

namespace {
std::filesystem::path Resolved(const std::string& path) {
  std::error_code error;
  std::filesystem::path resolved = std::filesystem::weakly_canonical(std::filesystem::absolute(path), error);
  if (error) return std::filesystem::absolute(path).lexically_normal();
  return resolved;
}

bool IsInside(const std::filesystem::path& path, const std::filesystem::path& folder) {
  const auto [folderEnd, pathAt] = std::mismatch(folder.begin(), folder.end(), path.begin(), path.end());
  // A trailing separator makes an empty last element of the folder.
  return folderEnd == folder.end() || (std::next(folderEnd) == folder.end() && folderEnd->empty());
}
}  // namespace

TPathConfinement& TPathConfinement::Instance() {
  static TPathConfinement confinement;
  return confinement;
}

void TPathConfinement::SetHome(const std::string& folder) {
  std::lock_guard lock(mutex_);
  folders_.assign(1, Resolved(folder));
}

void TPathConfinement::SetAllowedFolders(const std::vector<std::string>& folders) {
  std::lock_guard lock(mutex_);
  if (folders_.empty()) return;
  folders_.resize(1);
  for (const std::string& folder : folders) {
    if (!folder.empty()) folders_.push_back(Resolved(folder));
  }
}

bool TPathConfinement::Allows(const std::string& path) const {
  std::lock_guard lock(mutex_);
  if (folders_.empty()) return true;
  if (path.empty()) return false;
  const std::filesystem::path resolved = Resolved(path);
  return std::any_of(folders_.begin(), folders_.end(),
                     [&](const std::filesystem::path& folder) { return IsInside(resolved, folder); });
}

void TPathConfinement::Check(const std::string& path) const {
  if (!Allows(path)) {
    throw std::runtime_error(
        FormatText("The path %s lies outside the INI folder and the folders Settings.ini allows", {path}));
  }
}

}  // namespace vantrel
