// Clients that misbehave against a running host: one whose listeners never answer must not hold up the server,
// its remote operations or another client's events, and is dropped with one log line.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

#include "HostClient.h"
#include "SilentPeer.h"
#include "SpawnedProgram.h"
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
    // The tests read the order of a line's events, so this process takes its callbacks one at a time.
    ::setenv("VANTREL_TEST_ORDERED_CALLBACKS", "1", 1);
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

// A client of its own: a child process serving a LineEvents listener that prints each event it hears.
class PrintingLineEvents : public POA_LineEvents {
 public:
  void DoCallEvent(::CallEventType type, CORBA::Long call) override {
    std::printf("event %d %d\n", static_cast<int>(type), static_cast<int>(call));
    std::fflush(stdout);
  }
};

class ListeningClient {
 public:
  ListeningClient() : child_({"--serve-line-events"}) {
    const std::string ior = child_.ReadLine(10s);
    if (ior.rfind("IOR:", 0) == 0)
      listener_ = ::LineEvents::_narrow(CORBA::Object_var(TestORB()->string_to_object(ior.c_str())));
  }
  ::LineEvents_ptr Listener() const { return listener_.in(); }
  // The events heard so far, as the seat's are written: "type:call" in order.
  std::vector<std::string> Events() {
    for (std::string line; !(line = child_.ReadLine(50ms)).empty();) {
      std::istringstream words(line);
      std::string word;
      int type = 0, call = 0;
      if (words >> word >> type >> call && word == "event")
        events_.push_back(std::to_string(type) + ":" + std::to_string(call));
    }
    return events_;
  }
  void Kill() { child_.Terminate(); }

 private:
  ChildProcess child_;
  ::LineEvents_var listener_;
  std::vector<std::string> events_;
};

std::vector<std::string> EventsOf(RecordingLineEvents& listener) {
  std::vector<std::string> events;
  for (const auto& [type, call] : listener.Events())
    events.push_back(std::to_string(static_cast<int>(type)) + ":" + std::to_string(call));
  return events;
}

}  // namespace

int ServeLineEvents() {
  ::setenv("VANTREL_TEST_ORDERED_CALLBACKS", "1", 1);  // before the ORB starts
  auto* servant = new PrintingLineEvents();
  PortableServer::ObjectId_var id = TestPOA()->activate_object(servant);
  CORBA::Object_var reference = TestPOA()->id_to_reference(id);
  CORBA::String_var text = TestORB()->object_to_string(reference);
  std::printf("%s\n", text.in());
  std::fflush(stdout);
  std::this_thread::sleep_for(120s);  // the parent ends it long before
  return 0;
}

TEST_F(MisbehavingClients, ListenersAddedByTwoClientsHearEveryEventInOrderBesideTheLinesOwnListener) {
  ListeningClient first, second;
  ASSERT_FALSE(CORBA::is_nil(first.Listener()));
  ASSERT_FALSE(CORBA::is_nil(second.Listener()));
  ::Line_var line = LineOf("102");
  line->AddEventsListener(first.Listener());
  line->AddEventsListener(second.Listener());
  line->AddEventsListener(first.Listener());  // kept once
  // A third client, this one, sets the line's own listener as before.
  RecordingLineEvents* seat = listeners_.Listen(line);
  const auto calls = [&](int count, const std::string& from) {
    for (int i = 0; i < count; ++i) {
      const auto before = seat->Events();
      const std::size_t finished =
          std::count_if(before.begin(), before.end(), [](const auto& e) { return e.first == ::CallFinished; });
      Exchange("call 102 from " + from + std::to_string(i));
      Exchange("pickup 102");
      Exchange("hangup");
      ASSERT_TRUE(WaitUntil([&] {
        const auto events = seat->Events();
        return static_cast<std::size_t>(std::count_if(
                   events.begin(), events.end(), [](const auto& e) { return e.first == ::CallFinished; })) > finished;
      }));
    }
  };
  // The clients take their callbacks one at a time, so what they print is the order the server sent; this test
  // process takes them on several threads, so the seat's are compared as a set.
  const auto sorted = [](std::vector<std::string> events) {
    std::sort(events.begin(), events.end());
    return events;
  };
  calls(3, "555010");
  const std::vector<std::string> heard = EventsOf(*seat);
  ASSERT_GE(heard.size(), 3u * 4u);
  EXPECT_TRUE(WaitUntil([&] { return first.Events().size() >= heard.size(); }));
  EXPECT_TRUE(WaitUntil([&] { return second.Events().size() >= heard.size(); }));
  EXPECT_EQ(first.Events(), second.Events());
  EXPECT_EQ(sorted(first.Events()), sorted(heard));
  // In order: each call begins with NewCall and finishes with CallFinished (only the deallocation, half a second
  // later, comes after it).
  std::map<std::string, std::vector<std::string>> byCall;
  for (const std::string& event : first.Events()) {
    const std::string type = event.substr(0, event.find(':'));
    if (type != std::to_string(static_cast<int>(::CallDeallocate)))
      byCall[event.substr(event.find(':') + 1)].push_back(type);
  }
  for (const auto& [call, types] : byCall) {
    if (call == "1") continue;  // the ring count
    EXPECT_EQ(types.front(), std::to_string(static_cast<int>(::NewCall))) << call;
    EXPECT_EQ(types.back(), std::to_string(static_cast<int>(::CallFinished))) << call;
  }
  ::LineEvents_var own = line->GetLineEventsListener();
  EXPECT_FALSE(CORBA::is_nil(own));

  // The second client leaves; the first hears on.
  line->RemoveEventsListener(second.Listener());
  calls(1, "555020");
  const std::vector<std::string> later = EventsOf(*seat);
  EXPECT_TRUE(WaitUntil([&] { return first.Events().size() >= later.size(); }));
  EXPECT_EQ(sorted(first.Events()), sorted(later));
  EXPECT_EQ(second.Events().size(), heard.size());

  // A client that vanished is dropped with one line and holds up nobody.
  first.Kill();
  calls(2, "555030");
  EXPECT_TRUE(
      WaitUntil([&] { return ReadServerLog(host_.IniFolder(), "Error").find(" dropped") != std::string::npos; }, 15s))
      << ReadServerLog(host_.IniFolder(), "Error");
  calls(1, "555040");
  const auto events = seat->Events();
  EXPECT_EQ(std::count_if(events.begin(), events.end(), [](const auto& e) { return e.first == ::CallFinished; }), 7);
}

TEST_F(MisbehavingClients, TheConsoleAndTheWebGatewayListenBesideTheSeatInsteadOfTakingTheLine) {
  ::Line_var line = LineOf("102");
  RecordingLineEvents* seat = listeners_.Listen(line);
  ::LineEvents_var own = line->GetLineEventsListener();
  const std::string port = std::to_string(host_.Port());
  SpawnedProgram web({VANTREL_WEB_PATH, "--port", port, "--web-port", std::to_string(FreeLoopbackPort()), "--ini",
                      host_.IniFolder().string()});
  ASSERT_TRUE(web.WaitForOutput("serving http://")) << web.Output();
  // The console reads its commands from standard input: one that stays open.
  SpawnedProgram console(
      {"/bin/bash", "-c", "exec " VANTREL_CONSOLE_PATH " --port " + port + " --line 102 < <(sleep 60)"});
  ASSERT_TRUE(console.WaitForOutput("Vantrel console")) << console.Output();
  Exchange("call 102 from 5550777");
  ASSERT_TRUE(WaitUntil([&] { return seat->SawAny(::Offering); }));
  EXPECT_TRUE(console.WaitForOutput("5550777")) << console.Output();
  Exchange("hangup");
  ASSERT_TRUE(WaitUntil([&] { return seat->SawAny(::CallFinished); }));
  EXPECT_TRUE(::LineEvents_var(line->GetLineEventsListener())->_is_equivalent(own));
}

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
