// The server's object tree in the benchmark's own process, set up as the host does: an ORB with an active root
// POA, the INI storage, and this thread bound as the telephony thread, which the benchmark pumps.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "Vantrel.hh"
#include "bench/Pumping.h"
#include "database/CrmSchema.h"
#include "database/DataConnection.h"
#include "host/EnvironmentChildren.h"
#include "model/ClientQueues.h"
#include "model/EnvironmentLib.h"
#include "model/Servant.h"
#include "support/IniStorage.h"
#include "support/ProcessState.h"
#include "telephony/SoftExchange.h"
#include "telephony/TelephonyBackEnd.h"
#include "telephony/TelephonyThread.h"
#include "telephony/diZudu.h"

namespace vantrel::bench {

class InProcessServer {
 public:
  static constexpr const char* kConnectionString = "Provider=SQLite;Data Source=crm.sqlite3";

  InProcessServer() {
    int argc = 0;
    orb_ = CORBA::ORB_init(argc, nullptr);
    poa_ = PortableServer::POA::_narrow(CORBA::Object_var(orb_->resolve_initial_references("RootPOA")));
    PortableServer::POAManager_var(poa_->the_POAManager())->activate();
    SetProcessReferences(orb_, poa_);
    TIniStorage::SetInstance(&storage_);
    telephony::TTelephonyThread::Instance().Bind();
  }

  ~InProcessServer() {
    TClientQueues::Instance().Stop();
    telephony::TTelephonyThread::Instance().Unbind();
    TIniStorage::SetInstance(nullptr);
    ReleaseProcessReferences();
    poa_ = PortableServer::POA::_nil();
    orb_->destroy();
  }

  // The exchange the benchmark plays the callers with.
  telephony::TSoftExchange& Exchange() { return *telephony_.SoftExchange(); }

  InProcessServer(const InProcessServer&) = delete;
  InProcessServer& operator=(const InProcessServer&) = delete;

  // A fresh exchange with these stations and an Environment loaded from the INI folder, its CRM database the
  // SQLite file crm.sqlite3 there with the CRM tables, connected.
  ::Environment_ptr StartEnvironment(const std::vector<std::string>& stations, int trunks,
                                     const std::filesystem::path& ini) {
    telephony::TapiApplication().Close();
    telephony::TExchangeConfig config;
    config.trunks = trunks;
    for (const std::string& number : stations) config.stations.push_back({number, {}});
    Exchange().Configure(config);
    auto* servant = new TServant<TEnvironment_Impl>(MakeEnvironmentChildren());
    environmentId_ = poa_->activate_object(servant);
    servant->_remove_ref();
    ::Environment_var environment =
        ::Environment::_narrow(CORBA::Object_var(poa_->id_to_reference(environmentId_.in())));
    environment->SetItemsEnvironment(environment);
    std::filesystem::create_directories(ini);
    {
      TDataConnection crm(ini.string());
      crm.SetConnectionString(kConnectionString);
      crm.Open();
      CreateCrmSchema(crm, crm.Dialect());
    }
    environment->SetIniFilesPath(ini.c_str());
    environment->LoadFromIniFiles(ini.c_str());
    ::Database_var database = environment->GetDatabase();
    database->SetConnectionString(kConnectionString);
    CORBA::String_var error = CORBA::string_dup("");
    database->SetConnected(true, error.inout());
    return environment._retn();
  }

  // One rule that sends every offered call to the number, on every line.
  static void RouteAllLinesTo(::Environment_ptr environment, const char* number) {
    ::Rules_var rules = environment->GetRules();
    ::Rule_var rule = ::Rule::_narrow(::ContainerItem_var(rules->CreateItem(true)));
    ::RuleAction_var action = ::RuleAction::_narrow(::ContainerItem_var(rule->CreateItem(true)));
    action->SetActionType(::PhoneNumber);
    action->SetPhoneNumber(number);
    ::Lines_var lines = environment->GetLines();
    for (CORBA::Long i = 0; i < lines->GetItemsCount(); ++i) {
      ::Line_var(::Line::_narrow(::ContainerItem_var(lines->GetItem(i))))->SetRule(rule);
    }
  }

  void StopEnvironment() {
    poa_->deactivate_object(environmentId_.in());
    telephony::TapiApplication().Close();
  }

 private:
  telephony::TTelephonyBackEnd telephony_{std::make_unique<telephony::TSoftExchange>()};
  CORBA::ORB_var orb_;
  PortableServer::POA_var poa_;
  TIniStorage storage_;
  PortableServer::ObjectId_var environmentId_;
};

}  // namespace vantrel::bench
