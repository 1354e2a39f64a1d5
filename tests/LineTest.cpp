// The server's lines inside a served Environment, on the software exchange, with this test's thread as the
// telephony thread: routing of offered calls by their rules, and remote calls from other threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <set>
#include <thread>

#include "CrmBackends.h"
#include "LocalOrb.h"
#include "Pumping.h"
#include "RecordingLineEvents.h"
#include "database/CrmSchema.h"
#include "database/DataConnection.h"
#include "host/EnvironmentChildren.h"
#include "model/EnvironmentLib.h"
#include "model/Servant.h"
#include "platform/MessageQueue.h"
#include "routing/OperatorLib.h"
#include "telephony/SoftExchange.h"
#include "telephony/TelephonyThread.h"
#include "telephony/diZudu.h"
#include "tests/TestExchange.h"

using namespace vantrel;
using namespace std::chrono_literals;
namespace fs = std::filesystem;
using telephony::TSoftExchange;

namespace {

// The far end with this number, as the exchange shows it.
telephony::TPartyStatus FarEnd(const std::string& number) {
  for (const auto& party : test::TestExchange().Status()) {
    if (party.outside && party.number == number) return party;
  }
  return {};
}

class ServedLines : public ::testing::Test {
 protected:
  void SetUp() override {
    telephony::TapiApplication().Close();
    test::TestExchange().Configure(ExchangeConfig());
    telephony::TTelephonyThread::Instance().Bind();
    folder_ = fs::temp_directory_path() / ("vantrel-lines-" + std::to_string(::getpid()) + "-" +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(folder_);
    fs::create_directories(folder_);
    environment_ = Orb().Serve<::Environment>(new TServant<TEnvironment_Impl>(MakeEnvironmentChildren()));
    environment_->SetItemsEnvironment(environment_);
    environment_->SetIniFilesPath(folder_.string().c_str());
    ASSERT_TRUE(environment_->LoadFromIniFiles(folder_.string().c_str()));
    ::Database_var database = environment_->GetDatabase();
    database->SetConnectionString("Provider=SQLite;Data Source=crm.sqlite3");
    CORBA::String_var error = CORBA::string_dup("");
    ASSERT_TRUE(database->SetConnected(true, error.inout())) << error.in();
    lines_ = environment_->GetLines();
    ASSERT_EQ(lines_->GetItemsCount(), static_cast<CORBA::Long>(ExchangeConfig().stations.size()));
    rules_ = environment_->GetRules();
  }
  void TearDown() override {
    lines_ = ::Lines::_nil();
    rules_ = ::Rules::_nil();
    PortableServer::ObjectId_var id = Orb().POA()->reference_to_id(environment_);
    Orb().POA()->deactivate_object(id);
    environment_ = ::Environment::_nil();
    telephony::TapiApplication().Close();
    telephony::TTelephonyThread::Instance().Unbind();
    fs::remove_all(folder_);
  }
  virtual telephony::TExchangeConfig ExchangeConfig() const { return TSoftExchange::DefaultConfig(); }
  ::Line_ptr LineOf(const char* number) {
    return ::Line::_narrow(::ContainerItem_var(lines_->GetItemByDevicePhoneNumber(number)));
  }
  // A rule whose actions are the fixed numbers, in order.
  ::Rule_ptr RuleTo(std::initializer_list<const char*> targets) {
    ::Rule_var rule = ::Rule::_narrow(::ContainerItem_var(rules_->CreateItem(true)));
    for (const char* target : targets) {
      ::RuleAction_var action = ::RuleAction::_narrow(::ContainerItem_var(rule->CreateItem(true)));
      action->SetActionType(::PhoneNumber);
      action->SetPhoneNumber(target);
    }
    return rule._retn();
  }
  std::string LogField(const std::string& field, const std::string& where) {
    ::Database_var database = environment_->GetDatabase();
    CORBA::String_var value;
    const std::string sql = "select " + field + " as F from tq_VantrelLog where " + where;
    return database->GetFieldValue(sql.c_str(), "F", value.out()) ? std::string(value.in()) : "-";
  }

  fs::path folder_;
  ::Environment_var environment_;
  ::Lines_var lines_;
  ::Rules_var rules_;
};

}  // namespace

TEST_F(ServedLines, ARuledCallIsAnsweredAndTransferredToTheRulesTarget) {
  ::Line_var line = LineOf("101");
  ::Rule_var rule = RuleTo({"5559000"});
  line->SetRule(rule);
  EXPECT_EQ(line->GetRuleID(), rule->GetID());

  test::TestExchange().CallStation("101", "5551111");
  // The server answers, holds the caller pending transfer and dials the target on a consultation call.
  ASSERT_TRUE(PumpUntil([] { return FarEnd("5559000").state == "RINGING"; }));
  const CORBA::Long caller = line->GetCall(0);
  CORBA::String_var ruled = line->GetCallNote(caller, "RULED");
  EXPECT_STREQ(ruled.in(), "1");
  test::TestExchange().AnswerFarEnd(FarEnd("5559000").id);
  // Completed: the caller talks to the target, and the line is free again.
  ASSERT_TRUE(PumpUntil([] { return FarEnd("5551111").peerNumber == "5559000"; }));
  EXPECT_EQ(FarEnd("5551111").state, "CONNECTED");
  ASSERT_TRUE(PumpUntil([&] { return line->GetCallsCount() == 0; }));
  // The server's answer raises the connected step inside the offering step, so its row may come first.
  EXPECT_EQ(LogField("count(*)", "CallEventType = 1 and CallerPhoneNumber = '5551111'"), "1");
  EXPECT_EQ(LogField("count(*)", "CallEventType = 2 and CallerPhoneNumber = '5551111'"), "1");

  // A rule whose target is the line's own number leaves the call to the people at the line.
  ::Rule_var own = RuleTo({"101"});
  line->SetRule(own);
  test::TestExchange().CallStation("101", "5552222");
  ASSERT_TRUE(PumpUntil([&] {
    ruled = line->GetCallNote(line->GetOfferingCall(), "RULED");
    return ruled.in()[0] != '\0';
  }));
  EXPECT_STREQ(ruled.in(), "0");
}

TEST_F(ServedLines, ABusyTargetIsDroppedAndTheRuleGivesTheNextOne) {
  ::Line_var line = LineOf("102");
  ::Rule_var rule = RuleTo({"5559001", "5559002"});
  line->SetRule(rule);
  test::TestExchange().CallStation("102", "5553333");
  ASSERT_TRUE(PumpUntil([] { return FarEnd("5559001").state == "RINGING"; }));
  test::TestExchange().BusyFarEnd(FarEnd("5559001").id);
  ASSERT_TRUE(PumpUntil([] { return FarEnd("5559002").state == "RINGING"; }));
  test::TestExchange().AnswerFarEnd(FarEnd("5559002").id);
  ASSERT_TRUE(PumpUntil([] { return FarEnd("5553333").peerNumber == "5559002"; }));

  // With the Rules container disabled no call is ruled.
  rules_->SetEnabled(false);
  test::TestExchange().CallStation("102", "5554444");
  CORBA::String_var ruled;
  ASSERT_TRUE(PumpUntil([&] {
    ruled = line->GetCallNote(line->GetOfferingCall(), "RULED");
    return ruled.in()[0] != '\0';
  }));
  EXPECT_STREQ(ruled.in(), "0");
}

TEST_F(ServedLines, RemoteCallsFromOtherThreadsAreHandledOnTheTelephonyThread) {
  ::Line_var line = LineOf("103");
  std::atomic<bool> stop{false};
  std::atomic<int> answered{0};
  std::vector<std::thread> clients;
  for (int t = 0; t < 3; ++t) {
    clients.emplace_back([&] {
      while (!stop) {
        const CORBA::Long call = line->GetOfferingCall();
        if (call != 0) {
          line->SetCallNote(call, "Seen", "yes");
          line->Answer(call);
          ++answered;
        }
        line->GetCallsCount();
        CORBA::String_var number = line->GetDevicePhoneNumber();
        EXPECT_STREQ(number.in(), "103");
      }
    });
  }
  for (int i = 0; i < 20; ++i) {
    const DWORD farEnd = test::TestExchange().CallStation("103", "555" + std::to_string(i));
    ASSERT_TRUE(PumpUntil([&] { return FarEnd("555" + std::to_string(i)).state == "CONNECTED"; }));
    test::TestExchange().HangUpFarEnd(farEnd);
  }
  stop = true;
  // The clients' calls wait for this thread: keep pumping until they are all back.
  std::atomic<int> joined{0};
  std::thread joiner([&] {
    for (auto& client : clients) client.join();
    joined = 1;
  });
  ASSERT_TRUE(PumpUntil([&] { return joined == 1; }));
  joiner.join();
  EXPECT_GE(answered, 20);
  ASSERT_TRUE(PumpUntil([&] { return line->GetCallsCount() == 0; }, 5s));
}

TEST_F(ServedLines, AGroupRuleSendsTheCallToTheReadyOperatorWithTheFewestCallsAndHidesItMeanwhile) {
  {
    TDataConnection direct(folder_.string());
    direct.SetConnectionString("Provider=SQLite;Data Source=crm.sqlite3");
    ASSERT_TRUE(AddSampleCrm(direct));  // Anna (1), Boris (2) in group 100
  }
  ::Line_var trunk = LineOf("101");
  ::Line_var annaLine = LineOf("102");
  ::Line_var borisLine = LineOf("103");
  ::Operators_var operators = environment_->GetOperators();
  ::Operator_var anna = ::Operator::_narrow(::ContainerItem_var(operators->CreateItem(true)));
  anna->SetID(1);
  anna->SetLine(annaLine);
  // The container makes only the first; the others join as their logins would.
  ::Operator_var boris = Orb().Serve<::Operator>(new TServant<TOperator_Impl>());
  boris->SetEnvironment(environment_);
  boris->SetOrder(operators->GetNextOrder());
  operators->AddItem(boris);
  boris->SetID(2);
  boris->SetLine(borisLine);
  anna->SetCallsCount(3);
  boris->SetCallsCount(1);
  rules_->SetCallsDistributionType(::Loading);
  ::Rule_var rule = ::Rule::_narrow(::ContainerItem_var(rules_->CreateItem(true)));
  ::RuleAction_var group = ::RuleAction::_narrow(::ContainerItem_var(rule->CreateItem(true)));
  group->SetActionType(::Group);
  group->SetGroupID(100);
  trunk->SetRule(rule);
  auto* listener = new RecordingLineEvents();
  ::LineEvents_var events = Orb().Serve<::LineEvents>(listener);
  trunk->SetLineEventsListener(events);

  test::TestExchange().CallStation("101", "5550120");
  // Boris has fewer calls: his line rings, with the caller's number.
  ASSERT_TRUE(PumpUntil([&] { return borisLine->GetOfferingCall() != 0; }));
  const CORBA::Long atBoris = borisLine->GetOfferingCall();
  CORBA::String_var caller = borisLine->GetCallerID(atBoris);
  EXPECT_STREQ(caller.in(), "101");  // the server's consultation call rings Boris
  borisLine->Answer(atBoris);
  ASSERT_TRUE(PumpUntil([] { return FarEnd("5550120").peerNumber == "103"; }));
  EXPECT_TRUE(PumpUntil([&] {
    CORBA::String_var connected = borisLine->GetConnectedID(atBoris);
    return std::string(connected.in()) == "5550120";
  }));
  ASSERT_TRUE(PumpUntil([&] { return trunk->GetCallsCount() == 0; }));
  // While the call was ruled the trunk's client saw none of it past the first events, but its end.
  PortableServer::ObjectId_var id = Orb().POA()->reference_to_id(events);
  ASSERT_TRUE(vantrel::TClientQueues::Instance().WaitUntilSent(std::chrono::seconds(5)));
  EXPECT_TRUE(listener->SawAny(::NewCall));
  for (::CallEventType hidden : {::Offering, ::IncomingCall, ::Connected}) {
    EXPECT_FALSE(listener->SawAny(hidden)) << hidden;
  }
  EXPECT_TRUE(listener->SawAny(::CallFinished));
  Orb().POA()->deactivate_object(id);
}

TEST_F(ServedLines, ACallerWhoHangsUpWhileTheTargetRingsLeavesNothingBehind) {
  ::Line_var line = LineOf("101");
  ::Rule_var rule = RuleTo({"5559100"});
  line->SetRule(rule);
  const DWORD caller = test::TestExchange().CallStation("101", "5557777");
  ASSERT_TRUE(PumpUntil([] { return FarEnd("5559100").state == "RINGING"; }));
  test::TestExchange().HangUpFarEnd(caller);
  // The consultation call is dropped: its far end stops ringing, and both calls leave the line.
  ASSERT_TRUE(PumpUntil([] { return FarEnd("5559100").id == 0; }));
  ASSERT_TRUE(PumpUntil([&] { return line->GetCallsCount() == 0; }));
  EXPECT_TRUE(test::TestExchange().Status().empty());
  // The log tells the story: the consultation call's rows name the caller's call as their parent.
  EXPECT_EQ(LogField("count(*)", "CallerPhoneNumber = '5557777' and CallEventType = 9"), "1");
  EXPECT_EQ(LogField("CallEventType", "ParentCallHandle <> ''"), "3");  // LogOutgoingCall of the consultation
  EXPECT_NE(LogField("ConsultCallHandle", "ConsultCallHandle <> ''"), "-");
}

TEST_F(ServedLines, DoNotDisturbForwardsTheLineToNobody) {
  ::Line_var line = LineOf("104");
  line->SetDND(true);  // not allowed on this line yet: nothing happens
  EXPECT_FALSE(line->GetDND());
  line->SetUsingDND(true);
  line->SetDND(true);
  ASSERT_TRUE(PumpUntil([&] { return line->GetDND(); }));
  EXPECT_EQ(test::TestExchange().CallStation("104", "5551"), 0u);  // turned away
  line->SetDND(false);
  ASSERT_TRUE(PumpUntil([&] { return !line->GetDND(); }));
  EXPECT_NE(test::TestExchange().CallStation("104", "5552"), 0u);
}

TEST_F(ServedLines, TheHistoryKeepsTheFiftyNewestCalls) {
  ::Line_var line = LineOf("102");
  std::vector<CORBA::Long> handles;
  for (int i = 0; i < 51; ++i) {
    const DWORD farEnd = test::TestExchange().CallStation("102", "55500" + std::to_string(i));
    CORBA::Long call = 0;
    ASSERT_TRUE(PumpUntil([&] {
      call = line->GetOfferingCall();
      CORBA::String_var ruled = line->GetCallNote(call, "RULED");
      return call != 0 && ruled.in()[0] != '\0';
    }));
    handles.push_back(call);
    test::TestExchange().HangUpFarEnd(farEnd);
    ASSERT_TRUE(PumpUntil([&] { return line->GetOfferingCall() == 0; }));
  }
  ASSERT_TRUE(PumpUntil([&] { return line->GetCallsCount() == 0; }));
  CORBA::String_var oldest = line->GetCallNote(handles.front(), "RULED");
  CORBA::String_var second = line->GetCallNote(handles[1], "RULED");
  EXPECT_STREQ(oldest.in(), "");
  EXPECT_STREQ(second.in(), "0");
  EXPECT_EQ(line->GetCallByConnectedID("nobody"), 0);
}

namespace {
// The same lines with the call log in each CRM backend.
class CallLogOnCrm : public ServedLines, public ::testing::WithParamInterface<crmtest::CrmBackend> {
 protected:
  void SetUp() override {
    if (crmtest::CrmConnectionString(GetParam()).empty()) GTEST_SKIP() << crmtest::kNoPostgres;
    ServedLines::SetUp();
    crmtest::ResetCrm(GetParam(), folder_.string());
    ::Database_var database = environment_->GetDatabase();
    CORBA::String_var error = CORBA::string_dup("");
    ASSERT_TRUE(database->SetConnected(false, error.inout()));
    database->SetConnectionString(crmtest::CrmConnectionString(GetParam()).c_str());
    ASSERT_TRUE(database->SetConnected(true, error.inout())) << error.in();
  }
  void TearDown() override {
    if (!CORBA::is_nil(environment_)) ServedLines::TearDown();
  }
};
}  // namespace

TEST_P(CallLogOnCrm, EveryRowOfACallHasItsKeyAndTheNextEventOrder) {
  ::Line_var line = LineOf("101");
  const DWORD farEnd = test::TestExchange().CallStation("101", "5550120");
  CORBA::Long call = 0;
  ASSERT_TRUE(PumpUntil([&] { return (call = line->GetOfferingCall()) != 0 && line->GetCallWasOffering(call); }));
  ASSERT_TRUE(PumpUntil([&] { return LogField("count(*)", "CallEventType = 1") == "1"; }));
  line->Answer(call);
  ASSERT_TRUE(PumpUntil([&] { return LogField("count(*)", "CallEventType = 2") == "1"; }));
  EXPECT_TRUE(line->WriteLog(::LogTaskCreated, call, 77));  // a client's own row
  test::TestExchange().HangUpFarEnd(farEnd);
  ASSERT_TRUE(PumpUntil([&] { return LogField("count(*)", "CallEventType = 9") == "1"; }));
  const std::string key = LogField("CallHandle", "EventOrder = 1");
  EXPECT_EQ(key.substr(14), "-" + std::to_string(call));
  const std::string sameKey = "CallHandle = '" + key + "'";
  EXPECT_EQ(LogField("CallEventType", sameKey + " and EventOrder = 2"), "2");
  EXPECT_EQ(LogField("Task_id", sameKey + " and EventOrder = 3"), "77");
  EXPECT_EQ(LogField("CallEventType", sameKey + " and EventOrder = 4"), "9");
  EXPECT_EQ(LogField("CallerPhoneNumber", sameKey + " and EventOrder = 4"), "5550120");
  EXPECT_EQ(LogField("Operator_id", sameKey + " and EventOrder = 4"), "0");
  EXPECT_EQ(LogField("LineIsOuter", sameKey + " and EventOrder = 4"), "0");
  EXPECT_FALSE(line->WriteLog(::LogTaskCreated, 987654, 1));  // a call the line never saw
}

INSTANTIATE_TEST_SUITE_P(Crm, CallLogOnCrm,
                         ::testing::Values(crmtest::CrmBackend::SQLite, crmtest::CrmBackend::PostgreSQL),
                         crmtest::CrmBackendName);

namespace {
class TwentyLines : public ServedLines {
 protected:
  telephony::TExchangeConfig ExchangeConfig() const override {
    telephony::TExchangeConfig config;
    config.trunks = 100;
    for (int i = 0; i < 20; ++i) config.stations.push_back({std::to_string(300 + i), {}});
    return config;
  }
};
}  // namespace

// A line routes one call at a time (its one consultation call), so the calls come in waves of one per line.
TEST_F(TwentyLines, FiftyRoutedCallsCompleteAndNoneStaysOnHold) {
  ::Rule_var rule = RuleTo({"777"});
  for (CORBA::Long i = 0; i < lines_->GetItemsCount(); ++i) {
    ::Line_var(::Line::_narrow(::ContainerItem_var(lines_->GetItem(i))))->SetRule(rule);
  }
  int offered = 0;
  std::set<DWORD> transferred;
  while (offered < 50) {
    std::set<DWORD> wave;
    for (int i = 0; i < 20 && offered < 50; ++i, ++offered) {
      wave.insert(test::TestExchange().CallStation(std::to_string(300 + i), "55" + std::to_string(offered)));
    }
    ASSERT_TRUE(PumpUntil(
        [&] {
          for (const auto& party : test::TestExchange().Status()) {
            if (!party.outside) continue;
            if (party.number == "777" && party.state == "RINGING") test::TestExchange().AnswerFarEnd(party.id);
            if (wave.count(party.id) != 0 && party.peerNumber == "777" && party.state == "CONNECTED") {
              test::TestExchange().HangUpFarEnd(party.id);
              transferred.insert(party.id);
            }
          }
          return std::all_of(wave.begin(), wave.end(), [&](DWORD id) { return transferred.count(id) != 0; });
        },
        20s));
  }
  EXPECT_EQ(transferred.size(), 50u);
  ASSERT_TRUE(PumpUntil(
      [&] {
        for (CORBA::Long i = 0; i < lines_->GetItemsCount(); ++i) {
          if (::Line_var(::Line::_narrow(::ContainerItem_var(lines_->GetItem(i))))->GetCallsCount() != 0) return false;
        }
        return true;
      },
      5s));
  EXPECT_TRUE(test::TestExchange().Status().empty());
  EXPECT_EQ(LogField("count(*)", "CallEventType = 9"), "100");  // each caller's call and its consultation
}

namespace {
// Lines with operators of the sample CRM seated at them.
class StaffedLines : public ServedLines {
 protected:
  void SetUp() override {
    ServedLines::SetUp();
    if (HasFatalFailure()) return;
    TDataConnection direct(folder_.string());
    direct.SetConnectionString("Provider=SQLite;Data Source=crm.sqlite3");
    ASSERT_TRUE(AddSampleCrm(direct));
    operators_ = environment_->GetOperators();
  }
  // The operator with the CRM ID at the line, with a calls count and a status.
  ::Operator_ptr Seat(CORBA::Long id, const char* lineNumber, CORBA::Long calls = 0,
                      ::OperatorStatus status = ::OperatorReady) {
    ::Operator_var seated;
    if (operators_->GetItemsCount() == 0) {
      seated = ::Operator::_narrow(::ContainerItem_var(operators_->CreateItem(true)));
    } else {
      seated = Orb().Serve<::Operator>(new TServant<TOperator_Impl>());
      seated->SetEnvironment(environment_);
      seated->SetOrder(operators_->GetNextOrder());
      operators_->AddItem(seated);
    }
    seated->SetID(id);
    seated->SetLine(::Line_var(LineOf(lineNumber)));
    seated->SetCallsCount(calls);
    seated->SetStatus(status);
    return seated._retn();
  }
  ::Rule_ptr RuleOf(::RuleActionType type, CORBA::Long groupID = 0) {
    ::Rule_var rule = ::Rule::_narrow(::ContainerItem_var(rules_->CreateItem(true)));
    ::RuleAction_var action = ::RuleAction::_narrow(::ContainerItem_var(rule->CreateItem(true)));
    action->SetActionType(type);
    action->SetGroupID(groupID);
    return rule._retn();
  }
  // The station the routed call rings: the line that gets an offered call first.
  std::string RungLine(const char* trunk, const char* caller) {
    test::TestExchange().CallStation(trunk, caller);
    std::string rung;
    PumpUntil([&] {
      for (const char* number : {"102", "103", "104"}) {
        ::Line_var line = LineOf(number);
        if (line->GetOfferingCall() != 0) rung = number;
      }
      return !rung.empty();
    });
    return rung;
  }
  ::Operators_var operators_;
};
}  // namespace

TEST_F(StaffedLines, AGroupGoesToTheReadyMemberWithTheFewestCalls) {
  // Group 200 holds Anna (1), Clara (3) and David (4).
  ::Operator_var anna = Seat(1, "102", 0, ::OperatorBusy);
  ::Operator_var clara = Seat(3, "103", 2);
  ::Operator_var david = Seat(4, "104", 1);
  rules_->SetCallsDistributionType(::Loading);
  LineOf("101")->SetRule(::Rule_var(RuleOf(::Group, 200)));
  EXPECT_EQ(RungLine("101", "5550300"), "104");
}

TEST_F(StaffedLines, ManagerAndLastContactRulesFindTheirOperator) {
  ::Operator_var anna = Seat(1, "102");
  ::Operator_var boris = Seat(2, "103");
  ::Line_var trunk = LineOf("101");
  trunk->SetRule(::Rule_var(RuleOf(::Manager)));
  EXPECT_EQ(RungLine("101", "5550120"), "102");  // Erik Nordin's account manager is Anna
  test::TestExchange().HangUpFarEnd(test::TestExchange().FarEndOf("101"));
  ASSERT_TRUE(PumpUntil([&] { return trunk->GetCallsCount() == 0 && LineOf("102")->GetCallsCount() == 0; }));

  lines_->SetLastContact("5550999", boris);
  trunk->SetRule(::Rule_var(RuleOf(::LastContact)));
  EXPECT_EQ(RungLine("101", "5550999"), "103");
}

TEST_F(StaffedLines, NoReadyTargetSendsTheCallToTheSystemNumber) {
  ::Operator_var anna = Seat(1, "102", 0, ::OperatorPause);
  rules_->SetSystemPhoneNumber("104");
  LineOf("101")->SetRule(::Rule_var(RuleOf(::Group, 100)));
  EXPECT_EQ(RungLine("101", "5550400"), "104");
}

TEST_F(ServedLines, TwoBusyTargetsInARowReachTheThird) {
  ::Line_var line = LineOf("101");
  line->SetRule(::Rule_var(RuleTo({"5559301", "5559302", "5559303"})));
  test::TestExchange().CallStation("101", "5550500");
  for (const char* busy : {"5559301", "5559302"}) {
    ASSERT_TRUE(PumpUntil([&] { return FarEnd(busy).state == "RINGING"; })) << busy;
    test::TestExchange().BusyFarEnd(FarEnd(busy).id);
  }
  ASSERT_TRUE(PumpUntil([] { return FarEnd("5559303").state == "RINGING"; }));
  test::TestExchange().AnswerFarEnd(FarEnd("5559303").id);
  ASSERT_TRUE(PumpUntil([] { return FarEnd("5550500").peerNumber == "5559303"; }));
}

TEST_F(ServedLines, UnknownHandlesAndHugeTextsGetNeutralAnswers) {
  ::Line_var line = LineOf("101");
  const std::string huge(1 << 20, '7');
  for (CORBA::Long handle : {CORBA::Long(0), CORBA::Long(-1), CORBA::Long(0x7FFFFFFF), CORBA::Long(-0x7FFFFFFF - 1)}) {
    EXPECT_FALSE(line->GetIsCallExists(handle));
    EXPECT_EQ(line->GetCallState(handle), -1);
    EXPECT_FALSE(line->GetCallIsActive(handle));
    EXPECT_FALSE(line->GetCallWasBusy(handle));
    EXPECT_FALSE(line->GetCallIsPendTransfer(handle));
    EXPECT_STREQ(CORBA::String_var(line->GetCallerID(handle)).in(), "");
    EXPECT_STREQ(CORBA::String_var(line->GetTrueCallerID(handle)).in(), "");
    EXPECT_STREQ(CORBA::String_var(line->GetRemoteID(handle)).in(), "");
    EXPECT_STREQ(CORBA::String_var(line->GetCallNote(handle, huge.c_str())).in(), "");
    EXPECT_FALSE(line->SetCallNote(handle, huge.c_str(), huge.c_str()));
    EXPECT_FALSE(line->SetCallTag(handle, 5));
    EXPECT_EQ(line->GetCallTag(handle), 0);
    EXPECT_EQ(line->GetParentCallHandle(handle), 0);
    EXPECT_FALSE(line->WriteLog(::LogTaskCreated, handle, -5));
    EXPECT_FALSE(line->WriteDebugCallState(huge.c_str(), handle));
    line->Answer(handle);
    line->Hold(handle);
    line->Unhold(handle);
    line->CancelDial(handle);
    line->BlindTransfer(handle, huge.c_str());
    line->CompleteTransfer(handle, true);
    line->UnholdPrimaryCall(handle);
    line->GetCallContent(handle, huge.c_str(), huge.c_str());
    line->DoOffering(handle);
    line->DoConnected(handle);
    line->DoCallEvent(::Idle, handle);
  }
  EXPECT_EQ(line->GetCall(-1), 0);
  EXPECT_EQ(line->GetCall(5), 0);
  EXPECT_EQ(line->GetCallByConnectedID(huge.c_str()), 0);
  EXPECT_STREQ(CORBA::String_var(line->GetCallerLinePhoneNumber(huge.c_str())).in(), "");
  line->SetRuleID(-7);
  EXPECT_EQ(line->GetRuleID(), -1);
  line->SetOperatorID(123456);
  EXPECT_EQ(line->GetOperatorID(), -1);
  // A dial to a number the exchange cannot take is refused and reported, the line stays usable.
  line->Dial(0, huge.c_str(), 0);
  line->Dial(0, "12x", 0);
  CORBA::String_var error = line->GetLastError();
  EXPECT_NE(std::string(error.in()).find("METHOD ERROR TLine_Impl.Dial [Line 101]"), std::string::npos) << error.in();
  EXPECT_TRUE(PumpUntil([&] { return line->GetCallsCount() == 0; }));
  test::TestExchange().CallStation("101", "5550600");
  EXPECT_TRUE(PumpUntil([&] { return line->GetOfferingCall() != 0; }));
}

TEST_P(CallLogOnCrm, EveryRowWaitsWhileTheDatabaseServerIsDownAndIsWrittenInOrderWhenItIsBack) {
  const char* control = std::getenv("VANTREL_PG_CONTROL");
  if (GetParam() != crmtest::CrmBackend::PostgreSQL || control == nullptr) {
    GTEST_SKIP() << "needs the PostgreSQL server the test command controls";
  }
  ::Line_var line = LineOf("102");
  // An answered call: its events arrive on time whatever the database does, and it leaves three rows.
  const auto answerAndEnd = [&](const std::string& caller) {
    const DWORD farEnd = test::TestExchange().CallStation("102", caller);
    CORBA::Long call = 0;
    ASSERT_TRUE(PumpUntil([&] { return (call = line->GetOfferingCall()) != 0 && line->GetCallWasOffering(call); }, 2s));
    line->Answer(call);
    ASSERT_TRUE(PumpUntil([&] { return line->GetCallIsConnected(call); }, 2s));
    test::TestExchange().HangUpFarEnd(farEnd);
    ASSERT_TRUE(PumpUntil([&] { return line->GetCallsCount() == 0; }, 3s));
  };
  answerAndEnd("5550800");
  ASSERT_TRUE(PumpUntil([&] { return LogField("count(*)", "CallEventType = 9") == "1"; }));
  ASSERT_EQ(std::system((std::string(control) + " --stop").c_str()), 0);
  std::vector<std::string> callers;
  for (const auto downSince = std::chrono::steady_clock::now(); std::chrono::steady_clock::now() - downSince < 30s;) {
    callers.push_back("55508" + std::to_string(10 + callers.size()));
    answerAndEnd(callers.back());
    if (HasFatalFailure()) break;
  }
  ASSERT_EQ(std::system((std::string(control) + " > /dev/null").c_str()), 0);
  const std::string all = std::to_string(3 * (callers.size() + 1));
  EXPECT_TRUE(PumpUntil([&] { return LogField("count(*)", "1 = 1") == all; }, 20s)) << LogField("count(*)", "1 = 1");
  for (const std::string& caller : callers) {
    const std::string key = LogField("CallHandle", "CallerPhoneNumber = '" + caller + "' and EventOrder = 1");
    const std::string sameKey = "CallHandle = '" + key + "'";
    EXPECT_EQ(LogField("CallEventType", sameKey + " and EventOrder = 1"), "1") << caller;
    EXPECT_EQ(LogField("CallEventType", sameKey + " and EventOrder = 2"), "2") << caller;
    EXPECT_EQ(LogField("CallEventType", sameKey + " and EventOrder = 3"), "9") << caller;
  }
  EXPECT_EQ(LogField("count(*)", "EventOrder > 3"), "0");  // none twice
}
