#include "EnvironmentLib.h"

#include <filesystem>

#include "host/Registry.h"
#include "host/VantrelCommonRoutines.h"

namespace vantrel {

std::string WithTrailingSeparator(std::string path) {
  if (path.empty() || path.back() != '/') path.push_back('/');
  return path;
}

TEnvironment_Impl::TEnvironment_Impl() {
  LogMessage("TEnvironment_Impl.Create()");
  SetObjectName("Environment");
  iniStorage_ = std::make_unique<TIniStorage>();
  TIniStorage::SetInstance(iniStorage_.get());
}

TEnvironment_Impl::~TEnvironment_Impl() {
  LogMessage("TEnvironment_Impl.Destroy()");
  TIniStorage::SetInstance(nullptr);
}

::ServerType TEnvironment_Impl::GetServerType() { return ::Local; }

std::string TEnvironment_Impl::IniFilesPath() const {
  std::lock_guard lock(pathMutex_);
  return iniFilesPath_;
}

char* TEnvironment_Impl::GetIniFilesPath() { return CORBA::string_dup(IniFilesPath().c_str()); }

void TEnvironment_Impl::SetIniFilesPath(const char* path) {
  const std::string folder = WithTrailingSeparator(path);
  {
    std::lock_guard lock(pathMutex_);
    iniFilesPath_ = folder;
  }
  InitLogFiles(folder + "Logs/", "Server");
}

CORBA::Boolean TEnvironment_Impl::GetIsDirectoryExists(const char* path) {
  std::error_code error;
  return std::filesystem::is_directory(path, error);
}

namespace {
const char* const kRegistryKey = "\\Software\\Brevix\\Z&Q\\Options\\VantrelServer";
const char* const kRegistryValue = "IniFilesPath";
}  // namespace

CORBA::Boolean TEnvironment_Impl::LoadFromRegistry() {
  return Guarded("TEnvironment_Impl.LoadFromRegistry", false, [&] {
    TRegistry registry;
    registry.OpenKey(kRegistryKey, true);
    const std::optional<std::string> path = registry.ReadString(kRegistryValue);
    if (path) SetIniFilesPath(path->c_str());
    registry.CloseKey();
    return true;
  });
}

CORBA::Boolean TEnvironment_Impl::SaveToRegistry() {
  return Guarded("TEnvironment_Impl.SaveToRegistry", false, [&] {
    TRegistry registry;
    registry.OpenKey(kRegistryKey, true);
    registry.WriteString(kRegistryValue, IniFilesPath());
    registry.CloseKey();
    return true;
  });
}

CORBA::Boolean TEnvironment_Impl::LoadFromIniFiles(const char* path) {
  return Guarded("TEnvironment_Impl.LoadFromIniFiles", false, [&] {
    const std::string folder = WithTrailingSeparator(path);
    // No children are served yet: loading the configuration needs only a readable folder.
    if (!std::filesystem::is_directory(folder)) throw std::runtime_error("Folder " + folder + " does not exist");
    return true;
  });
}

CORBA::Boolean TEnvironment_Impl::SaveToIniFiles(const char* path) {
  if (path[0] == '\0') return false;
  return Guarded("TEnvironment_Impl.SaveToIniFiles", false, [&] {
    std::filesystem::create_directories(path);
    return true;
  });
}

CORBA::Boolean TEnvironment_Impl::SetItemsEnvironment(::Environment_ptr) {
  return Guarded("TEnvironment_Impl.SetItemsEnvironment", false, [] { return true; });
}

}  // namespace vantrel
