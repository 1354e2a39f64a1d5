// Clients that misbehave against a running host: one whose listeners never answer must not hold up the server,
// its remote operations or another client's events, and is dropped with one log line.
#include <gtest/gtest.h>

#include <fstream>

#include "HostClient.h"
#include "SilentPeer.h"
#include "Vantrel.hh"

using namespace std::chrono_literals;

namespace {

std::size_t Occurrences(const std::string& text, const std::string& piece) {
  std::size_t count = 0;
  for (auto at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++count;
  return count;
}

class MisbehavingClients : public ::testing::Test {
 protected:
  void SetUp() override {
    std::ofstream(host_.IniFolder() / "Exchange.ini")
        << "[Exchange]\nTrunks=4\n[Stations]\n102=Seat 102\n103=Seat 103\n";
    ASSERT_TRUE(host_.Start()) << host_.ErrorOutput();
    ASSERT_TRUE(host_.WaitForOutput("Loaded: 2 lines")) << host_.Output();
    CORBA::Object_var object = TestORB()->string_to_object(host_.Corbaloc().c_str());
    environment_ = ::Environment::_narrow(object);
    lines_ = environment_->GetLines();
    operators_ = environment_->GetOperators();
    rules_ = environment_->GetRules();
  }
  void TearDown() override { EXPECT_EQ(host_.Stop(), 0); }
  ::Line_ptr LineOf(const char* number) {
    return ::Line::_narrow(::ContainerItem_var(lines_->GetItemByDevicePhoneNumber(number)));
  }
  std::string Exchange(const std::string& command) { return host_.RunExchange(command).second; }

  HostProcess host_;
  ::Environment_var environment_;
  ::Lines_var lines_;
  ::Operators_var operators_;
  ::Rules_var rules_;
  ClientListeners listeners_;
};

}  // namespace

TEST_F(MisbehavingClients, AClientThatNeverAnswersHoldsUpNobodyAndIsDroppedWithItsOperator) {
  SilentPeer silent;
  CORBA::Object_var silentListener = TestORB()->string_to_object(silent.Corbaloc().c_str());
  // The silent client seats an operator at 102 and listens to its line, the rules and the Environment.
  ::Line_var seat = LineOf("102");
  seat->SetLineEventsListener(::LineEvents::_unchecked_narrow(silentListener));
  seat->ChangeLineEventLastContact();
  ::Operator_var seated = ::Operator::_narrow(::ContainerItem_var(operators_->CreateItem(true)));
  seated->SetLine(seat);
  rules_->SetContainerEventsListener(::ContainerEvents::_unchecked_narrow(silentListener));
  environment_->SetBaseEventsListener(::BaseEvents::_unchecked_narrow(silentListener));
  ::Line_var other = LineOf("103");
  RecordingLineEvents* healthy = listeners_.Listen(other);

  // Remote operations whose events go to the silent client return at once.
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 3; ++i) ::ContainerItem_var(rules_->CreateItem(true));
  environment_->DoError("Client.Check", "an error for a client that does not listen");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  EXPECT_EQ(rules_->GetItemsCount(), 3);

  // A call at the silent client's phone, then one at the healthy client's: the healthy one hears of its call
  // well before the server's call time-out towards the silent one could have passed.
  const std::string atSeat = Exchange("call 102 from 5550001");
  start = std::chrono::steady_clock::now();
  Exchange("call 103 from 5550002");
  ASSERT_TRUE(WaitUntil([&] { return healthy->SawAny(::Offering); }, 10s));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);

  // The silent client is dropped once, with one line; its operator goes at its line's next event.
  const std::string dropped = "Client " + silent.Address() + " dropped";
  ASSERT_TRUE(
      WaitUntil([&] { return ReadServerLog(host_.IniFolder(), "Error").find(dropped) != std::string::npos; }, 15s))
      << ReadServerLog(host_.IniFolder(), "Error");
  Exchange("hangup " + atSeat.substr(0, atSeat.find('\n')));
  EXPECT_TRUE(WaitUntil([&] { return operators_->GetItemsCount() == 0; }));
  ::LineEvents_var gone = seat->GetLineEventsListener();
  EXPECT_TRUE(CORBA::is_nil(gone));
  EXPECT_EQ(Occurrences(ReadServerLog(host_.IniFolder(), "Error"), dropped), 1u);

  // The healthy client kept every event of its call, in order, and still hears the next.
  Exchange("hangup");
  EXPECT_TRUE(WaitUntil([&] { return healthy->SawAny(::CallFinished); }));
  const auto events = healthy->Events();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.front().first, ::NewCall);
}
