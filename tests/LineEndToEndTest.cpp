// Lines of a running host, driven the way an operator's client and a caller would: the client over IIOP with a
// LineEvents listener of its own, the caller through vantrel-exchange.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "HostClient.h"
#include "Vantrel.hh"

using namespace std::chrono_literals;

namespace {

// Waits for the first event of the kind; its handle, or -1.
CORBA::Long WaitFor(RecordingLineEvents* listener, ::CallEventType type, std::chrono::milliseconds deadline = 5s) {
  WaitUntil([&] { return listener->SawAny(type); }, deadline);
  return listener->First(type);
}

class LinesOfAHost : public ::testing::Test {
 protected:
  void SetUp() override {
    // The tests read the order of a line's events, so this process takes its callbacks one at a time.
    ::setenv("VANTREL_TEST_ORDERED_CALLBACKS", "1", 1);
    {
      std::ofstream settings(host_.IniFolder() / "Settings.ini");
      settings << "[Connection]\nCryptConnectionString=0\nConnectionString=Provider=SQLite;Data Source=crm.sqlite3\n";
    }
    {
      std::ofstream rules(host_.IniFolder() / "Rules.ini");
      rules << "[TranslateRules_Items]\nCount=1\nItemID=1\n"
               "[TranslateRules_0]\nID=1\nOrder=1\nOldMask=9*\nNewMask=*\nEnabled=1\n";
    }
    ASSERT_TRUE(host_.Start()) << host_.ErrorOutput();
    ASSERT_TRUE(host_.WaitForOutput("Loaded: 4 lines")) << host_.Output() << host_.ErrorOutput();
    CORBA::Object_var object = TestORB()->string_to_object(host_.Corbaloc().c_str());
    environment_ = ::Environment::_narrow(object);
    lines_ = environment_->GetLines();
    database_ = environment_->GetDatabase();
  }
  void TearDown() override { EXPECT_EQ(host_.Stop(), 0); }
  ::Line_ptr LineOf(const char* number) {
    return ::Line::_narrow(::ContainerItem_var(lines_->GetItemByDevicePhoneNumber(number)));
  }
  RecordingLineEvents* Listen(::Line_ptr line) { return listeners_.Listen(line); }

  std::string Exchange(const std::string& command) {
    auto [code, text] = host_.RunExchange(command);
    EXPECT_EQ(code, 0) << command << ": " << text;
    return text.substr(0, text.find('\n'));
  }
  // A field of the first row of the call log that the condition selects.
  std::string LogField(const std::string& field, const std::string& where) {
    ::StringSeq names;
    names.length(1);
    names[0] = field.c_str();
    ::StringSeq_var values;
    const std::string sql = "select " + field + " from tq_VantrelLog where " + where;
    if (!database_->GetFieldValues(sql.c_str(), names, values.out())) return "-";
    return values[0].in();
  }

  HostProcess host_;
  ::Environment_var environment_;
  ::Lines_var lines_;
  ::Database_var database_;
  ClientListeners listeners_;
};

// A client that asks the line about the call while the event is still being delivered to it.
class AskingLineEvents : public POA_LineEvents {
 public:
  explicit AskingLineEvents(::Line_ptr line) : line_(::Line::_duplicate(line)) {}
  void DoCallEvent(::CallEventType type, CORBA::Long call) override {
    const char* name = type == ::Offering       ? "Offering"
                       : type == ::Connected    ? "Connected"
                       : type == ::Disconnected ? "Disconnected"
                                                : nullptr;
    if (name == nullptr) return;
    const CORBA::Long state = line_->GetCallState(call);
    CORBA::String_var caller = line_->GetCallerID(call);
    const bool offered = line_->GetOfferingCall() == call;
    std::lock_guard lock(mutex_);
    answers_.push_back(std::string(name) + " " + std::to_string(state) + " " + caller.in() +
                       (offered ? " offered" : ""));
  }
  std::vector<std::string> Answers() {
    std::lock_guard lock(mutex_);
    return answers_;
  }

 private:
  ::Line_var line_;
  std::mutex mutex_;
  std::vector<std::string> answers_;
};

}  // namespace

TEST_F(LinesOfAHost, AListenerThatAsksAboutTheCallDuringItsEventSeesTheStateOfThatEvent) {
  ::Line_var line = LineOf("102");
  AskingLineEvents* asking = listeners_.Listen(line.in(), new AskingLineEvents(line));
  Exchange("call 102 from 5551300");
  ASSERT_TRUE(WaitUntil([&] { return asking->Answers().size() == 1; }));
  line->Answer(line->GetOfferingCall());
  ASSERT_TRUE(WaitUntil([&] { return asking->Answers().size() == 2; }));
  Exchange("hangup");
  ASSERT_TRUE(WaitUntil([&] { return asking->Answers().size() == 3; }));
  // The answers come without the telephony thread, which is busy delivering the very event.
  EXPECT_EQ(asking->Answers(), (std::vector<std::string>{"Offering 2 5551300 offered", "Connected 256 5551300",
                                                         "Disconnected 16384 5551300"}));
}

TEST_F(LinesOfAHost, AnOutsideCallReachesTheListenerIsAnsweredAndLogged) {
  ::Line_var line = LineOf("101");
  ASSERT_FALSE(CORBA::is_nil(line));
  CORBA::String_var name = line->GetObjectName();
  EXPECT_STREQ(name.in(), "Line 101");
  EXPECT_EQ(line->GetDeviceID(), 0);
  RecordingLineEvents* listener = Listen(line);

  Exchange("call 101 from 5551234");
  const CORBA::Long call = WaitFor(listener, ::Offering);
  ASSERT_GT(call, 0);
  EXPECT_EQ(WaitFor(listener, ::IncomingCall), call);
  CORBA::String_var caller = line->GetCallerID(call);
  EXPECT_STREQ(caller.in(), "5551234");
  EXPECT_TRUE(line->GetCallIsOffering(call));
  EXPECT_TRUE(line->GetCallIsIncoming(call));
  EXPECT_EQ(line->GetOfferingCall(), call);
  CORBA::String_var ruled = line->GetCallNote(call, "RULED");
  EXPECT_STREQ(ruled.in(), "0");  // no rule on the line: left to the operator

  line->Answer(call);
  EXPECT_EQ(WaitFor(listener, ::Connected), call);
  EXPECT_EQ(WaitFor(listener, ::IncomingCallConnected), call);
  EXPECT_TRUE(line->GetCallIsConnected(call));
  EXPECT_EQ(line->GetCallState(call), 0x100);
  EXPECT_TRUE(line->SetCallNote(call, "ContactName", "Erik O'Nordin"));

  Exchange("hangup");
  for (::CallEventType type : {::Disconnected, ::Idle, ::CallEnd, ::CallFinished}) {
    EXPECT_EQ(WaitFor(listener, type), call) << type;
  }
  // Freed a little later; the history still answers.
  EXPECT_TRUE(WaitUntil([&] { return !line->GetIsCallExists(call); }));
  CORBA::String_var contact = line->GetCallNote(call, "ContactName");
  EXPECT_STREQ(contact.in(), "Erik O'Nordin");
  EXPECT_EQ(line->GetCallState(call), -1);

  const std::string key = "CallHandle like '%-" + std::to_string(call) + "'";
  EXPECT_EQ(LogField("CallEventType", key + " and EventOrder = 1"), "1");  // LogIncomingCall
  EXPECT_EQ(LogField("CallEventType", key + " and EventOrder = 2"), "2");  // LogIncomingCallConnected
  EXPECT_EQ(LogField("CallEventType", key + " and EventOrder = 3"), "9");  // LogCallFinished
  EXPECT_EQ(LogField("CallerPhoneNumber", key + " and EventOrder = 3"), "5551234");
  EXPECT_EQ(LogField("LinePhoneNumber", key + " and EventOrder = 1"), "101");
  const std::string stored = LogField("CallHandle", key + " and EventOrder = 1");
  ASSERT_EQ(stored.size(), 15 + std::to_string(call).size()) << stored;
  EXPECT_EQ(stored.substr(14), "-" + std::to_string(call));
}

TEST_F(LinesOfAHost, ClientsDialHoldAndTransferBetweenLines) {
  ::Line_var first = LineOf("101");
  ::Line_var second = LineOf("102");
  RecordingLineEvents* firstEvents = Listen(first);
  RecordingLineEvents* secondEvents = Listen(second);

  // "9" goes to the outside world: the translate rule drops it.
  first->Dial(0, "95550100", 42);
  const CORBA::Long outgoing = WaitFor(firstEvents, ::OutgoingCall);
  ASSERT_GT(outgoing, 0);
  CORBA::String_var called = first->GetCalledID(outgoing);
  EXPECT_STREQ(called.in(), "5550100");
  CORBA::String_var task = first->GetCallNote(outgoing, "TaskID");
  EXPECT_STREQ(task.in(), "42");
  EXPECT_TRUE(first->GetCallIsOutgoing(outgoing));
  Exchange("answer");
  EXPECT_EQ(WaitFor(firstEvents, ::OutgoingCallConnected), outgoing);

  first->Hold(outgoing);
  EXPECT_EQ(WaitFor(firstEvents, ::HoldCall), outgoing);
  EXPECT_TRUE(first->GetCallIsHeld(outgoing));
  first->Unhold(outgoing);
  EXPECT_EQ(WaitFor(firstEvents, ::UnholdCall), outgoing);

  // A consultation transfer of the outside party to 102, driven by the client.
  first->SetupTransfer(outgoing);
  EXPECT_EQ(WaitFor(firstEvents, ::TransferCall), outgoing);
  EXPECT_TRUE(WaitUntil([&] { return first->GetCallIsPendTransfer(outgoing); }));
  const CORBA::Long consult = first->GetConsultCallHandle(outgoing);
  ASSERT_GT(consult, 0);
  EXPECT_EQ(first->GetParentCallHandle(consult), outgoing);
  first->Dial(consult, "102", 0);
  const CORBA::Long atSecond = WaitFor(secondEvents, ::Offering);
  ASSERT_GT(atSecond, 0);
  second->Answer(atSecond);
  EXPECT_TRUE(WaitUntil([&] { return first->GetCallIsConnected(consult); }));
  first->CompleteTransfer(consult, false);
  EXPECT_TRUE(WaitUntil([&] {
    CORBA::String_var connected = second->GetConnectedID(atSecond);
    return std::string(connected.in()) == "5550100";
  }));
  EXPECT_TRUE(WaitUntil([&] { return !first->GetIsCallExists(outgoing) && !first->GetIsCallExists(consult); }));
  Exchange("hangup");
  EXPECT_EQ(WaitFor(secondEvents, ::CallFinished), atSecond);
}

TEST_F(LinesOfAHost, AConferenceOfSimulatedCallsIsRefusedClearlyAndBothCallsStayUsable) {
  ::Line_var first = LineOf("101");
  ::Line_var second = LineOf("102");
  RecordingLineEvents* firstEvents = Listen(first);
  RecordingLineEvents* secondEvents = Listen(second);
  first->Dial(0, "95550100", 0);
  const CORBA::Long outgoing = WaitFor(firstEvents, ::OutgoingCall);
  ASSERT_GT(outgoing, 0);
  Exchange("answer");
  EXPECT_EQ(WaitFor(firstEvents, ::OutgoingCallConnected), outgoing);
  first->SetupTransfer(outgoing);
  EXPECT_TRUE(WaitUntil([&] { return first->GetCallIsPendTransfer(outgoing); }));
  const CORBA::Long consult = first->GetConsultCallHandle(outgoing);
  ASSERT_GT(consult, 0);
  first->Dial(consult, "102", 0);
  const CORBA::Long atSecond = WaitFor(secondEvents, ::Offering);
  ASSERT_GT(atSecond, 0);
  second->Answer(atSecond);
  EXPECT_TRUE(WaitUntil([&] { return first->GetCallIsConnected(consult); }));

  // Simulated parties carry no media to mix: the line says so and nothing changes.
  first->CompleteTransfer(consult, true);
  EXPECT_TRUE(WaitUntil([&] {
    CORBA::String_var error = first->GetLastError();
    return std::string(error.in()).find("The operation is not available.") != std::string::npos;
  })) << CORBA::String_var(first->GetLastError()).in();
  CORBA::String_var error = first->GetLastError();
  EXPECT_NE(std::string(error.in()).find("TLine_Impl.CompleteTransfer"), std::string::npos) << error.in();
  EXPECT_FALSE(firstEvents->SawAny(::Conferenced));
  EXPECT_TRUE(first->GetCallIsPendTransfer(outgoing));
  EXPECT_TRUE(first->GetCallIsConnected(consult));

  // The same two calls still transfer.
  first->CompleteTransfer(consult, false);
  EXPECT_TRUE(WaitUntil([&] {
    CORBA::String_var connected = second->GetConnectedID(atSecond);
    return std::string(connected.in()) == "5550100";
  }));
  Exchange("hangup");
  EXPECT_EQ(WaitFor(secondEvents, ::CallFinished), atSecond);
}

TEST_F(LinesOfAHost, ADisabledLineStaysSilent) {
  ::Line_var line = LineOf("103");
  RecordingLineEvents* listener = Listen(line);
  RecordingLineEvents* neighbour = Listen(::Line_var(LineOf("104")));
  line->SetEnabled(false);
  Exchange("call 103 from 777");
  Exchange("call 104 from 778");
  // One client's events come in order: had the disabled line sent any, they would be here before these.
  ASSERT_GT(WaitFor(neighbour, ::Offering), 0);
  EXPECT_TRUE(listener->Events().empty());
  Exchange("hangup");
  Exchange("hangup");
  line->SetEnabled(true);
}

TEST(LinesOfAHostWithAShortStalePeriod, AListenerSilentForLongerIsDroppedAtTheNextEventWithItsOperator) {
  // The period is a second here instead of the server's fifteen.
  HostProcess host({kQuickStaleness});
  ASSERT_TRUE(host.Start()) << host.ErrorOutput();
  ASSERT_TRUE(host.WaitForOutput("Loaded: 4 lines")) << host.Output();
  ::Environment_var environment =
      ::Environment::_narrow(CORBA::Object_var(TestORB()->string_to_object(host.Corbaloc().c_str())));
  ::Lines_var lines = environment->GetLines();
  ::Line_var other = ::Line::_narrow(::ContainerItem_var(lines->GetItemByDevicePhoneNumber("104")));
  ClientListeners listeners;
  const auto Exchange = [&](const std::string& command) { return host.RunExchange(command).second; };
  // A client that keeps the line alive gets its events; one silent for longer is dropped at the next event,
  // and its operator is logged out.
  ::Operators_var operators = environment->GetOperators();
  ::Operator_var seated = ::Operator::_narrow(::ContainerItem_var(operators->CreateItem(true)));
  ASSERT_FALSE(CORBA::is_nil(seated));
  seated->SetID(3);
  seated->SetLine(other);
  EXPECT_EQ(other->GetOperatorID(), 3);
  RecordingLineEvents* silent = listeners.Listen(other);
  const auto contacted = std::chrono::steady_clock::now();
  Exchange("call 104 from 778");
  ASSERT_GT(WaitFor(silent, ::Offering), 0);
  Exchange("hangup");
  ASSERT_GT(WaitFor(silent, ::CallFinished), 0);
  ASSERT_TRUE(WaitUntil([&] { return std::chrono::steady_clock::now() - contacted > 1200ms; }));
  const std::size_t before = silent->Events().size();
  Exchange("call 104 from 779");
  EXPECT_TRUE(WaitUntil([&] { return CORBA::is_nil(::LineEvents_var(other->GetLineEventsListener())); }));
  EXPECT_TRUE(WaitUntil([&] { return operators->GetItemsCount() == 0; }));
  EXPECT_EQ(other->GetOperatorID(), -1);
  Exchange("hangup");
  EXPECT_EQ(silent->Events().size(), before);
  EXPECT_EQ(host.Stop(), 0);
}

TEST(LinesAcrossStarts, ALineWhoseDeviceIsGoneIsRemovedAtTheNextLoadAndTheOthersKeepTheirSettings) {
  HostProcess host;
  ASSERT_TRUE(host.Start()) << host.ErrorOutput();
  ASSERT_TRUE(host.WaitForOutput("Loaded: 4 lines")) << host.Output();
  {
    CORBA::Object_var object = TestORB()->string_to_object(host.Corbaloc().c_str());
    ::Environment_var environment = ::Environment::_narrow(object);
    ::Lines_var lines = environment->GetLines();
    ::Line_var outer = ::Line::_narrow(::ContainerItem_var(lines->GetItemByDevicePhoneNumber("103")));
    outer->SetIsOuter(true);
    lines->SetLastContact("5550123", ::Operator::_nil());  // refused: no operator, nothing stored
    ASSERT_TRUE(environment->SaveToIniFiles(host.IniFolder().c_str()));
  }
  ASSERT_EQ(host.Stop(), 0);
  { std::ofstream(host.IniFolder() / "Exchange.ini") << "[Stations]\n101=Line 101\n102=Line 102\n103=Line 103\n"; }
  ASSERT_TRUE(host.Start()) << host.ErrorOutput();
  ASSERT_TRUE(host.WaitForOutput("Loaded: 3 lines")) << host.Output();
  CORBA::Object_var object = TestORB()->string_to_object(host.Corbaloc().c_str());
  ::Environment_var environment = ::Environment::_narrow(object);
  ::Lines_var lines = environment->GetLines();
  EXPECT_EQ(lines->GetItemsCount(), 3);
  EXPECT_TRUE(CORBA::is_nil(::ContainerItem_var(lines->GetItemByDevicePhoneNumber("104"))));
  EXPECT_TRUE(lines->GetIsOuterLinePhoneNumber("103"));
  EXPECT_FALSE(lines->GetIsOuterLinePhoneNumber("102"));
  ::LineItemSeq_var items = lines->GetItemsArray();
  ASSERT_EQ(items->length(), 3u);
  EXPECT_STREQ(items[2].Name.in(), "Line 103");
  EXPECT_STREQ(items[2].DevicePhoneNumber.in(), "103");
  EXPECT_TRUE(items[2].isOuter);
  EXPECT_EQ(items[2].Rule.ID, -1);
  for (CORBA::ULong i = 0; i < items->length(); ++i) {
    // Each record's reference is the line's own, as the container hands it out.
    EXPECT_STREQ(items[i].ItemReference.in(), CORBA::String_var(lines->GetItemReference(i)).in());
    ::Line_var line = ::Line::_narrow(CORBA::Object_var(TestORB()->string_to_object(items[i].ItemReference.in())));
    EXPECT_STREQ(CORBA::String_var(line->GetDevicePhoneNumber()).in(), items[i].DevicePhoneNumber.in());
  }
  EXPECT_EQ(host.Stop(), 0);
}

TEST_F(LinesOfAHost, ARoutedCallGoesToTheOperatorsLineAndItsClientSeesItArrive) {
  ::Line_var trunk = LineOf("101");
  ::Line_var seat = LineOf("102");
  RecordingLineEvents* trunkEvents = Listen(trunk);
  RecordingLineEvents* seatEvents = Listen(seat);
  ::Rules_var rules = environment_->GetRules();
  ::Rule_var rule = ::Rule::_narrow(::ContainerItem_var(rules->CreateItem(true)));
  ::RuleAction_var action = ::RuleAction::_narrow(::ContainerItem_var(rule->CreateItem(true)));
  action->SetActionType(::PhoneNumber);
  action->SetPhoneNumber("102");
  trunk->SetRule(rule);

  Exchange("call 101 from 5550142");
  const CORBA::Long atSeat = WaitFor(seatEvents, ::Offering);
  ASSERT_GT(atSeat, 0);
  CORBA::String_var caller = seat->GetCallerID(atSeat);
  EXPECT_STREQ(caller.in(), "101");  // the server's consultation call
  seat->Answer(atSeat);
  EXPECT_TRUE(WaitUntil([&] {
    CORBA::String_var connected = seat->GetConnectedID(atSeat);
    return std::string(connected.in()) == "5550142";
  }));
  EXPECT_TRUE(WaitUntil([&] { return trunk->GetCallsCount() == 0; }));
  // The routing line's steps are the server's own; but every call its client heard of ends for it as the call
  // leaves the line, the finishing event last.
  EXPECT_FALSE(trunkEvents->SawAny(::Offering));
  EXPECT_FALSE(trunkEvents->SawAny(::Connected));
  const auto unfinished = [&] {
    std::set<CORBA::Long> open;
    for (const auto& [type, call] : trunkEvents->Events()) {
      if (type == ::Ring || type == ::AddressState) continue;
      if (type == ::CallFinished) {
        open.erase(call);
      } else {
        open.insert(call);
      }
    }
    return open;
  };
  EXPECT_TRUE(trunkEvents->SawAny(::NewCall));
  EXPECT_TRUE(WaitUntil([&] { return unfinished().empty(); })) << unfinished().size() << " calls not finished; "
                                                               << [&] {
                                                                    std::string seen;
                                                                    for (const auto& [type, call] : trunkEvents->Events())
                                                                      seen += std::to_string(type) + "@" + std::to_string(call) + " ";
                                                                    return seen;
                                                                  }();
  Exchange("hangup");
  EXPECT_EQ(WaitFor(seatEvents, ::CallFinished), atSeat);
}
