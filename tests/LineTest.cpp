// The server's lines inside a served Environment, on the software exchange, with this test's thread as the
// telephony thread: routing of offered calls by their rules, and remote calls from other threads.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "LocalOrb.h"
#include "model/EnvironmentLib.h"
#include "model/Servant.h"
#include "platform/MessageQueue.h"
#include "telephony/SoftExchange.h"
#include "telephony/TelephonyThread.h"
#include "telephony/diZudu.h"

using namespace vantrel;
using namespace std::chrono_literals;
namespace fs = std::filesystem;
using telephony::TSoftExchange;

namespace {

template <typename Condition>
bool PumpUntil(Condition condition, std::chrono::milliseconds deadline = 5s) {
  const auto queue = platform::MessageQueue::ForCurrentThread();
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    platform::Message message;
    if (queue->GetWithin(message, 10) == platform::MessageQueue::GetResult::Message) queue->Dispatch(message);
  }
  return true;
}

// The far end with this number, as the exchange shows it.
telephony::TPartyStatus FarEnd(const std::string& number) {
  for (const auto& party : TSoftExchange::Instance().Status()) {
    if (party.outside && party.number == number) return party;
  }
  return {};
}

class ServedLines : public ::testing::Test {
 protected:
  void SetUp() override {
    telephony::TapiApplication().Close();
    TSoftExchange::Instance().Configure(TSoftExchange::DefaultConfig());
    telephony::TTelephonyThread::Instance().Bind();
    folder_ = fs::temp_directory_path() / ("vantrel-lines-" + std::to_string(::getpid()) + "-" +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(folder_);
    fs::create_directories(folder_);
    environment_ = Orb().Serve<::Environment>(new TServant<TEnvironment_Impl>());
    environment_->SetItemsEnvironment(environment_);
    environment_->SetIniFilesPath(folder_.string().c_str());
    ASSERT_TRUE(environment_->LoadFromIniFiles(folder_.string().c_str()));
    ::Database_var database = environment_->GetDatabase();
    database->SetConnectionString("Provider=SQLite;Data Source=crm.sqlite3");
    CORBA::String_var error = CORBA::string_dup("");
    ASSERT_TRUE(database->SetConnected(true, error.inout())) << error.in();
    lines_ = environment_->GetLines();
    ASSERT_EQ(lines_->GetItemsCount(), 4);
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

  TSoftExchange::Instance().CallStation("101", "5551111");
  // The server answers, holds the caller pending transfer and dials the target on a consultation call.
  ASSERT_TRUE(PumpUntil([] { return FarEnd("5559000").state == "RINGING"; }));
  const CORBA::Long caller = line->GetCall(0);
  CORBA::String_var ruled = line->GetCallNote(caller, "RULED");
  EXPECT_STREQ(ruled.in(), "1");
  TSoftExchange::Instance().AnswerFarEnd(FarEnd("5559000").id);
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
  TSoftExchange::Instance().CallStation("101", "5552222");
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
  TSoftExchange::Instance().CallStation("102", "5553333");
  ASSERT_TRUE(PumpUntil([] { return FarEnd("5559001").state == "RINGING"; }));
  TSoftExchange::Instance().BusyFarEnd(FarEnd("5559001").id);
  ASSERT_TRUE(PumpUntil([] { return FarEnd("5559002").state == "RINGING"; }));
  TSoftExchange::Instance().AnswerFarEnd(FarEnd("5559002").id);
  ASSERT_TRUE(PumpUntil([] { return FarEnd("5553333").peerNumber == "5559002"; }));

  // With the Rules container disabled no call is ruled.
  rules_->SetEnabled(false);
  TSoftExchange::Instance().CallStation("102", "5554444");
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
    const DWORD farEnd = TSoftExchange::Instance().CallStation("103", "555" + std::to_string(i));
    ASSERT_TRUE(PumpUntil([&] { return FarEnd("555" + std::to_string(i)).state == "CONNECTED"; }));
    TSoftExchange::Instance().HangUpFarEnd(farEnd);
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
