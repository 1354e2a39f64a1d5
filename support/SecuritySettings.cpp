#include "SecuritySettings.h"

#include <filesystem>
#include <sstream>

#include "IniFile.h"

namespace vantrel {

namespace {
constexpr const char* kSection = kSecuritySection;

std::string InFolder(const std::string& iniFolder, const std::string& name) {
  if (name.empty()) return name;
  const std::filesystem::path path(name);
  return path.is_relative() ? (std::filesystem::path(iniFolder) / path).string() : name;
}
}  // namespace

TSecuritySettings TSecuritySettings::Load(const std::string& iniFolder) {
  TSecuritySettings settings;
  const std::string fileName = (std::filesystem::path(iniFolder) / "Settings.ini").string();
  std::error_code error;
  if (!std::filesystem::exists(fileName, error)) return settings;
  const TMemIniFile ini(fileName);
  std::istringstream folders(ini.ReadString(kSection, "AllowedFolders", ""));
  for (std::string folder; std::getline(folders, folder, ';');) {
    folder = std::string(Trim(folder));
    if (!folder.empty()) settings.allowedFolders.push_back(InFolder(iniFolder, folder));
  }
  settings.clientSQLReadOnly = EqualsIgnoreCase(Trim(ini.ReadString(kSection, "ClientSQL", "")), "ReadOnly");
  settings.clientSQL = settings.clientSQLReadOnly || ini.ReadBool(kSection, "ClientSQL", true);
  settings.distributed = EqualsIgnoreCase(Trim(ini.ReadString("Server", "Type", "")), "Distributed");
  settings.certificateFile = InFolder(iniFolder, std::string(Trim(ini.ReadString(kSection, "CertificateFile", ""))));
  settings.privateKeyFile = InFolder(iniFolder, std::string(Trim(ini.ReadString(kSection, "PrivateKeyFile", ""))));
  settings.privateKeyPassword = ini.ReadString(kSection, "PrivateKeyPassword", "");
  settings.clientCAFile = InFolder(iniFolder, std::string(Trim(ini.ReadString(kSection, "ClientCAFile", ""))));
  return settings;
}

}  // namespace vantrel
