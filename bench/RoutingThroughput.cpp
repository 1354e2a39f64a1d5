// Routed calls per second, run by hand: every line has a rule that sends offered calls to an outside number;
// each call is offered, answered by the server, transferred when the target answers, and hung up, with its
// call-log rows written to an embedded SQLite CRM.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>

#include "Vantrel.hh"
#include "host/IniStorage.h"
#include "host/ProcessState.h"
#include "model/EnvironmentLib.h"
#include "model/Servant.h"
#include "platform/MessageQueue.h"
#include "telephony/SoftExchange.h"
#include "telephony/TelephonyThread.h"
#include "telephony/diZudu.h"

using namespace vantrel;
using telephony::TSoftExchange;
using Clock = std::chrono::steady_clock;

namespace {

void Pump() {
  const auto queue = platform::MessageQueue::ForCurrentThread();
  platform::Message message;
  for (int i = 0; i < 64 && queue->Peek(message); ++i) queue->Dispatch(message);
}

template <typename Condition>
void PumpUntil(Condition condition) {
  const auto queue = platform::MessageQueue::ForCurrentThread();
  while (!condition()) {
    platform::Message message;
    if (queue->GetWithin(message, 5) == platform::MessageQueue::GetResult::Message) queue->Dispatch(message);
  }
}

double RoutedCallsPerSecond(int lineCount, PortableServer::POA_ptr poa, const std::filesystem::path& folder) {
  telephony::TapiApplication().Close();
  telephony::TExchangeConfig config;
  config.trunks = lineCount * 2 + 4;
  for (int i = 0; i < lineCount; ++i) config.stations.push_back({std::to_string(4000 + i), {}});
  TSoftExchange::Instance().Configure(config);

  auto* servant = new TServant<TEnvironment_Impl>();
  PortableServer::ObjectId_var id = poa->activate_object(servant);
  servant->_remove_ref();
  ::Environment_var environment = ::Environment::_narrow(CORBA::Object_var(poa->id_to_reference(id)));
  environment->SetItemsEnvironment(environment);
  const std::string ini = (folder / std::to_string(lineCount)).string();
  std::filesystem::create_directories(ini);
  environment->SetIniFilesPath(ini.c_str());
  environment->LoadFromIniFiles(ini.c_str());
  ::Database_var database = environment->GetDatabase();
  database->SetConnectionString("Provider=SQLite;Data Source=crm.sqlite3");
  CORBA::String_var error = CORBA::string_dup("");
  database->SetConnected(true, error.inout());
  ::Rules_var rules = environment->GetRules();
  ::Rule_var rule = ::Rule::_narrow(::ContainerItem_var(rules->CreateItem(true)));
  ::RuleAction_var action = ::RuleAction::_narrow(::ContainerItem_var(rule->CreateItem(true)));
  action->SetActionType(::PhoneNumber);
  action->SetPhoneNumber("777");
  ::Lines_var lines = environment->GetLines();
  for (CORBA::Long i = 0; i < lines->GetItemsCount(); ++i) {
    ::Line_var line = ::Line::_narrow(::ContainerItem_var(lines->GetItem(i)));
    line->SetRule(rule);
  }

  const auto start = Clock::now();
  std::map<DWORD, bool> callers;  // far end -> hung up
  for (int i = 0; i < lineCount; ++i) {
    callers[TSoftExchange::Instance().CallStation(std::to_string(4000 + i), "55" + std::to_string(i))] = false;
  }
  std::size_t finished = 0;
  while (finished < callers.size()) {
    Pump();
    for (const auto& party : TSoftExchange::Instance().Status()) {
      if (!party.outside) continue;
      if (party.number == "777" && party.state == "RINGING") TSoftExchange::Instance().AnswerFarEnd(party.id);
      auto caller = callers.find(party.id);
      if (caller != callers.end() && !caller->second && party.peerNumber == "777" && party.state == "CONNECTED") {
        TSoftExchange::Instance().HangUpFarEnd(party.id);
        caller->second = true;
        ++finished;
      }
    }
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  // Let the lines clean up before the next round.
  PumpUntil([&] {
    for (CORBA::Long i = 0; i < lines->GetItemsCount(); ++i) {
      if (::Line_var(::Line::_narrow(::ContainerItem_var(lines->GetItem(i))))->GetCallsCount() != 0) return false;
    }
    return true;
  });
  CORBA::String_var rows;
  database->GetFieldValue("select count(*) as C from tq_VantrelLog", "C", rows.out());
  std::printf("%4d lines: %4zu routed calls in %.3f s: %7.1f calls/s (%s call-log rows)\n", lineCount,
              callers.size(), seconds, static_cast<double>(callers.size()) / seconds, rows.in());
  poa->deactivate_object(id);
  telephony::TapiApplication().Close();
  return static_cast<double>(callers.size()) / seconds;
}

}  // namespace

int main() {
  int argc = 0;
  CORBA::ORB_var orb = CORBA::ORB_init(argc, nullptr);
  PortableServer::POA_var poa =
      PortableServer::POA::_narrow(CORBA::Object_var(orb->resolve_initial_references("RootPOA")));
  PortableServer::POAManager_var(poa->the_POAManager())->activate();
  SetProcessReferences(orb, poa);
  TIniStorage storage;
  TIniStorage::SetInstance(&storage);
  telephony::TTelephonyThread::Instance().Bind();
  const auto folder = std::filesystem::temp_directory_path() / "vantrel-bench-routing";
  std::filesystem::remove_all(folder);
  for (int lines : {10, 100, 500}) RoutedCallsPerSecond(lines, poa, folder);
  telephony::TTelephonyThread::Instance().Unbind();
  TIniStorage::SetInstance(nullptr);
  ReleaseProcessReferences();
  poa = PortableServer::POA::_nil();
  orb->destroy();
  std::filesystem::remove_all(folder);
  return 0;
}
