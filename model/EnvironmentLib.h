#pragma once

#include <memory>
#include <string>

#include "BaseLib.h"
#include "host/IniStorage.h"

namespace vantrel {

// The root object, served under the fixed id "EnvironmentInstance". It owns the INI file cache and knows
// the INI folder; the five children join it as their subsystems are built.
class TEnvironment_Impl : public virtual POA_Environment, public TBase_Impl {
 public:
  TEnvironment_Impl();
  ~TEnvironment_Impl() override;

  ::ServerType GetServerType() override;
  char* GetIniFilesPath() override;
  void SetIniFilesPath(const char* path) override;
  CORBA::Boolean GetIsDirectoryExists(const char* path) override;
  CORBA::Boolean LoadFromRegistry() override;
  CORBA::Boolean SaveToRegistry() override;
  CORBA::Boolean LoadFromIniFiles(const char* path) override;
  CORBA::Boolean SaveToIniFiles(const char* path) override;
  CORBA::Boolean SetItemsEnvironment(::Environment_ptr environment) override;

 private:
  std::string IniFilesPath() const;

  std::unique_ptr<TIniStorage> iniStorage_;
  mutable std::mutex pathMutex_;
  std::string iniFilesPath_;  // guarded by pathMutex_; always with a trailing separator once set
};

// Adds the folder separator when missing.
std::string WithTrailingSeparator(std::string path);

}  // namespace vantrel
