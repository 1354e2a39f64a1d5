#include "EnvironmentLib.h"

#include <filesystem>

#include "ClientQueues.h"
#include "Servant.h"
#include "support/PathConfinement.h"
#include "support/ProcessState.h"
#include "support/Registry.h"
#include "support/VantrelCommonRoutines.h"

namespace vantrel {

std::string WithTrailingSeparator(std::string path) {
  if (path.empty() || path.back() != '/') path.push_back('/');
  return path;
}

namespace {

// Activates a child under a generated id in the root POA, which holds the servant from then on; the children's
// holder lets our creation reference go.
template <typename Interface>
typename Interface::_ptr_type ActivateChild(const TEnvironmentChildren::TServantHolder& servant) {
  PortableServer::POA_ptr poa = ProcessRootPOA();
  if (CORBA::is_nil(poa)) throw std::runtime_error("The root POA does not exist yet");
  PortableServer::ObjectId_var id = poa->activate_object(servant.in());
  CORBA::Object_var object = poa->id_to_reference(id);
  return Interface::_narrow(object);
}

void DeactivateChild(CORBA::Object_ptr child) {
  PortableServer::POA_ptr poa = ProcessRootPOA();
  if (CORBA::is_nil(poa) || CORBA::is_nil(child)) return;
  try {
    PortableServer::ObjectId_var id = poa->reference_to_id(child);
    poa->deactivate_object(id);
  } catch (const CORBA::Exception&) {
    // Already gone with its POA.
  }
}

}  // namespace

TEnvironment_Impl::TEnvironment_Impl(TEnvironmentChildren children) : stopCallLog_(std::move(children.stopCallLog)) {
  LogMessage("TEnvironment_Impl.Create()");
  SetObjectName("Environment");
  database_ = ActivateChild<::Database>(children.database);
  rules_ = ActivateChild<::Rules>(children.rules);
  translateRules_ = ActivateChild<::TranslateRules>(children.translateRules);
  lines_ = ActivateChild<::Lines>(children.lines);
  operators_ = ActivateChild<::Operators>(children.operators);
  iniStorage_ = std::make_unique<TIniStorage>();
  previousStorage_ = TIniStorage::Instance();
  TIniStorage::SetInstance(iniStorage_.get());
}

TEnvironment_Impl::~TEnvironment_Impl() {
  LogMessage("TEnvironment_Impl.Destroy()");
  StopCallLog();  // while the Database is whole
  for (CORBA::Object_ptr child :
       {static_cast<CORBA::Object_ptr>(database_.in()), static_cast<CORBA::Object_ptr>(rules_.in()),
        static_cast<CORBA::Object_ptr>(translateRules_.in()), static_cast<CORBA::Object_ptr>(lines_.in()),
        static_cast<CORBA::Object_ptr>(operators_.in())}) {
    DeactivateChild(child);
  }
  if (TIniStorage::Instance() == iniStorage_.get()) TIniStorage::SetInstance(previousStorage_);
}

::Database_ptr TEnvironment_Impl::GetDatabase() { return ::Database::_duplicate(database_); }
::Rules_ptr TEnvironment_Impl::GetRules() { return ::Rules::_duplicate(rules_); }
::TranslateRules_ptr TEnvironment_Impl::GetTranslateRules() { return ::TranslateRules::_duplicate(translateRules_); }
::Lines_ptr TEnvironment_Impl::GetLines() { return ::Lines::_duplicate(lines_); }
::Operators_ptr TEnvironment_Impl::GetOperators() { return ::Operators::_duplicate(operators_); }
char* TEnvironment_Impl::GetDatabaseReference() { return CORBA::string_dup(ReferenceString(database_).c_str()); }
char* TEnvironment_Impl::GetRulesReference() { return CORBA::string_dup(ReferenceString(rules_).c_str()); }
char* TEnvironment_Impl::GetTranslateRulesReference() {
  return CORBA::string_dup(ReferenceString(translateRules_).c_str());
}
char* TEnvironment_Impl::GetLinesReference() { return CORBA::string_dup(ReferenceString(lines_).c_str()); }
char* TEnvironment_Impl::GetOperatorsReference() { return CORBA::string_dup(ReferenceString(operators_).c_str()); }

void TEnvironment_Impl::StopCallLog() {
  if (stopCallLog_) stopCallLog_(database_.in());
}

::ServerType TEnvironment_Impl::GetServerType() { return DistributedServer() ? ::Distributed : ::Local; }

CORBA::Long TEnvironment_Impl::GetListeningClientsCount() {
  return static_cast<CORBA::Long>(TClientQueues::Instance().ListeningClients());
}

std::string TEnvironment_Impl::IniFilesPath() const {
  std::lock_guard lock(pathMutex_);
  return iniFilesPath_;
}

char* TEnvironment_Impl::GetIniFilesPath() { return CORBA::string_dup(IniFilesPath().c_str()); }

void TEnvironment_Impl::SetIniFilesPath(const char* path) {
  Guarded("TEnvironment_Impl.SetIniFilesPath", [&] {
    const std::string folder = WithTrailingSeparator(path);
    TPathConfinement::Instance().Check(folder);
    {
      std::lock_guard lock(pathMutex_);
      iniFilesPath_ = folder;
    }
    InitLogFiles(folder + "Logs/", "Server");
  });
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
    // The first child that fails stops the sequence; the others keep their state.
    return database_->LoadFromIniFile((folder + "Settings.ini").c_str(), "Connection") &&
           rules_->LoadFromIniFile((folder + "Rules.ini").c_str(), "Rules") &&
           lines_->LoadFromIniFile((folder + "Lines.ini").c_str(), "Lines") &&
           translateRules_->LoadFromIniFile((folder + "Rules.ini").c_str(), "TranslateRules");
  });
}

CORBA::Boolean TEnvironment_Impl::SaveToIniFiles(const char* path) {
  if (path[0] == '\0') return false;
  return Guarded("TEnvironment_Impl.SaveToIniFiles", false, [&] {
    TPathConfinement::Instance().Check(path);
    std::filesystem::create_directories(path);
    const std::string folder = WithTrailingSeparator(path);
    // Every child saves, whatever the ones before it gave.
    const bool database = database_->SaveToIniFile((folder + "Settings.ini").c_str(), "Connection");
    const bool rules = rules_->SaveToIniFile((folder + "Rules.ini").c_str(), "Rules");
    const bool lines = lines_->SaveToIniFile((folder + "Lines.ini").c_str(), "Lines");
    const bool translateRules = translateRules_->SaveToIniFile((folder + "Rules.ini").c_str(), "TranslateRules");
    return database && rules && lines && translateRules;
  });
}

CORBA::Boolean TEnvironment_Impl::SetItemsEnvironment(::Environment_ptr environment) {
  return Guarded("TEnvironment_Impl.SetItemsEnvironment", false, [&] {
    database_->SetEnvironment(environment);
    rules_->SetEnvironment(environment);
    translateRules_->SetEnvironment(environment);
    lines_->SetEnvironment(environment);
    operators_->SetEnvironment(environment);
    return true;
  });
}

}  // namespace vantrel
