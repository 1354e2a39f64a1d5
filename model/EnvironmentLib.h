#pragma once

#include <functional>
#include <memory>
#include <string>

#include "BaseLib.h"
#include "support/IniStorage.h"

namespace vantrel {

// The five top-level servants, made by the host assembly (the object model knows none of their classes), and
// how the call log is told to write what it holds before the Database goes.
// Each servant is held from its creation on, so none leaks when another fails to be made or activated.
struct TEnvironmentChildren {
  using TServantHolder = PortableServer::Servant_var<PortableServer::ServantBase>;
  TServantHolder database;
  TServantHolder rules;
  TServantHolder translateRules;
  TServantHolder lines;
  TServantHolder operators;
  std::function<void(::Database_ptr)> stopCallLog;
};

// The root object, served under the fixed id "EnvironmentInstance". It owns the five top-level objects
// (Database, Rules, TranslateRules, Lines, Operators) and the INI file cache, and knows the INI folder.
class TEnvironment_Impl : public virtual POA_Environment, public TBase_Impl {
 public:
  // Activates the children in the root POA, which takes each servant over.
  explicit TEnvironment_Impl(TEnvironmentChildren children);
  ~TEnvironment_Impl() override;

  ::ServerType GetServerType() override;
  CORBA::Long GetListeningClientsCount() override;
  char* GetIniFilesPath() override;
  void SetIniFilesPath(const char* path) override;
  CORBA::Boolean GetIsDirectoryExists(const char* path) override;
  CORBA::Boolean LoadFromRegistry() override;
  CORBA::Boolean SaveToRegistry() override;
  CORBA::Boolean LoadFromIniFiles(const char* path) override;
  CORBA::Boolean SaveToIniFiles(const char* path) override;

  // At the host's stop, after telephony: the call-log rows still pending are written (or journaled).
  void StopCallLog();
  CORBA::Boolean SetItemsEnvironment(::Environment_ptr environment) override;

  ::Database_ptr GetDatabase() override;
  ::Rules_ptr GetRules() override;
  ::TranslateRules_ptr GetTranslateRules() override;
  ::Lines_ptr GetLines() override;
  ::Operators_ptr GetOperators() override;
  char* GetDatabaseReference() override;
  char* GetRulesReference() override;
  char* GetTranslateRulesReference() override;
  char* GetLinesReference() override;
  char* GetOperatorsReference() override;

 private:
  std::string IniFilesPath() const;

  // Set once by the constructor, read-only after.
  ::Database_var database_;
  ::Rules_var rules_;
  ::TranslateRules_var translateRules_;
  ::Lines_var lines_;
  ::Operators_var operators_;
  std::function<void(::Database_ptr)> stopCallLog_;
  std::unique_ptr<TIniStorage> iniStorage_;
  TIniStorage* previousStorage_ = nullptr;
  mutable std::mutex pathMutex_;
  std::string iniFilesPath_;  // guarded by pathMutex_; always with a trailing separator once set
};

// Adds the folder separator when missing.
std::string WithTrailingSeparator(std::string path);

}  // namespace vantrel
