// Many callers at once on a routed line of a running host: callers and phones through vantrel-exchange, clients
// over IIOP, the call log read back from the CRM file.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>

#include "HostClient.h"
#include "Vantrel.hh"

using namespace std::chrono_literals;

namespace {

class RoutedTraffic : public ::testing::Test {
 protected:
  void Write(const std::string& name, const std::string& text) {
    std::ofstream file(host_.IniFolder() / name);
    file << text;
  }
  // The host with trunk line 101 routed by one rule whose actions are fixed numbers, tried in order.
  void StartWithRule(const std::vector<std::string>& targets, int ringTimeout, int trunks = 60,
                     bool trunkRouted = true) {
    Write("Settings.ini",
          "[Connection]\nCryptConnectionString=0\nConnectionString=Provider=SQLite;Data Source=crm.sqlite3\n");
    Write("Exchange.ini", "[Exchange]\nTrunks=" + std::to_string(trunks) +
                              "\n[Stations]\n101=Trunk 101\n102=Seat 102\n103=Seat 103\n104=Seat 104\n");
    std::string rules =
        "[Rules]\nName=Rules\nEnabled=1\nSystemPhoneNumber=\nRingTimeout=" + std::to_string(ringTimeout) +
        "\n[Rules_Items]\nCount=1\nItemID=1\n[Rules_0]\nID=1\nOrder=0\nName=Inbound\nEnabled=1\n"
        "[Rules_0_Items]\nCount=" +
        std::to_string(targets.size()) + "\nItemID=" + std::to_string(targets.size()) + "\n";
    for (std::size_t i = 0; i < targets.size(); ++i) {
      const std::string n = std::to_string(i);
      rules += "[Rules_0_" + n + "]\nID=" + std::to_string(i + 1) + "\nOrder=" + n +
               "\nEnabled=1\nActionType=2\nPhoneNumber=" + targets[i] + "\n";
    }
    Write("Rules.ini", rules);
    Write("Lines.ini",
          "[Lines_Items]\nCount=1\nItemID=0\n[Lines_0]\nID=0\nOrder=0\nName=Trunk 101\nEnabled=1\n"
          "RuleID=" +
              std::string(trunkRouted ? "1" : "-1") + "\nIsOuter=1\nUsingDND=0\n");
    Connect();
  }
  void Connect() {
    ASSERT_TRUE(host_.Start()) << host_.ErrorOutput();
    ASSERT_TRUE(host_.WaitForOutput("Loaded: 4 lines")) << host_.Output() << host_.ErrorOutput();
    CORBA::Object_var object = TestORB()->string_to_object(host_.Corbaloc().c_str());
    environment_ = ::Environment::_narrow(object);
    lines_ = environment_->GetLines();
  }
  void TearDown() override { EXPECT_EQ(host_.Stop(), 0); }
  ::Line_ptr LineOf(const char* number) {
    return ::Line::_narrow(::ContainerItem_var(lines_->GetItemByDevicePhoneNumber(number)));
  }
  RecordingLineEvents* Listen(::Line_ptr line) { return listeners_.Listen(line); }
  std::string Exchange(const std::string& command, const std::string& input = {}) {
    return host_.RunExchange(command, input).second;
  }
  // The exchange's parties, one line each ("ID outside NUMBER STATE with PEER").
  std::vector<std::string> Parties() {
    std::vector<std::string> parties;
    std::istringstream text(Exchange("status"));
    for (std::string line; std::getline(text, line);) {
      if (!line.empty()) parties.push_back(line);
    }
    return parties;
  }
  std::size_t Count(const std::string& piece) {
    std::size_t count = 0;
    for (const std::string& party : Parties()) count += party.find(piece) != std::string::npos ? 1 : 0;
    return count;
  }
  std::string Crm(const std::string& sql) { return CrmFile(host_.IniFolder() / "crm.sqlite3").Text(sql); }
  std::string Log() { return ReadServerLog(host_.IniFolder(), "Info"); }

  // What the hosts of a suite get in their environment, set before its fixtures are made.
  static inline std::vector<std::string> hostEnvironment;
  HostProcess host_{hostEnvironment};
  ::Environment_var environment_;
  ::Lines_var lines_;
  ClientListeners listeners_;
};

// With the debug channel on, as a person chasing a call runs the host.
class RoutedTrafficLogged : public RoutedTraffic {
 protected:
  static void SetUpTestSuite() { hostEnvironment = {"VANTREL_DEBUG=1"}; }
  static void TearDownTestSuite() { hostEnvironment.clear(); }
};

}  // namespace

TEST_F(RoutedTrafficLogged, EachRoutedStepAndEachLegChangeIsLoggedWithItsReasonAndNoMoveIsRefused) {
  StartWithRule({"102"}, 0);
  Exchange("call 101 from 5550300");
  ASSERT_TRUE(WaitUntil([&] { return Count("station 102 OFFERING") == 1; })) << Exchange("status");
  Exchange("pickup 102");
  ASSERT_TRUE(WaitUntil([&] { return Count("outside 5550300 CONNECTED with 102") == 1; })) << Exchange("status");
  Exchange("hangup");
  ASSERT_TRUE(WaitUntil([&] { return Parties().empty(); })) << Exchange("status");
  const auto logged = [&](const std::string& piece) {
    return WaitUntil([&] { return Log().find(piece) != std::string::npos; });
  };
  // The caller's call on line 101, from its first state to its last.
  for (const char* step :
       {": None -> Offered (the rule chose a target)", ": Offered -> Answered (the caller is connected)",
        ": Answered -> Consulting (transfer set up)", ": Consulting -> Dialling (consultation call has dial tone)",
        ": Dialling -> Completing (target answered)", " -> Gone (the caller"}) {
    EXPECT_TRUE(logged(step)) << step << "\n" << Log();
  }
  EXPECT_EQ(Log().find(" refused ("), std::string::npos) << Log();
  EXPECT_EQ(ReadServerLog(host_.IniFolder(), "Error").find("routing "), std::string::npos);
  // The exchange's legs: the trunk station rung by the caller's far end and answered by the server.
  EXPECT_NE(Log().find("(101): IDLE -> OFFERING"), std::string::npos) << Log();
  EXPECT_NE(Log().find("(101): OFFERING -> CONNECTED"), std::string::npos) << Log();
  EXPECT_NE(Log().find("exchange far end "), std::string::npos) << Log();
}

TEST_F(RoutedTraffic, TwentyCallersAtOnceAreEachRoutedToAPhoneAndNothingIsLeftBehind) {
  // Each phone takes what rings at it; a target that rings a second without answer gives way to the next.
  StartWithRule({"102", "103", "104"}, 1);
  std::string offers;
  for (int i = 0; i < 20; ++i) offers += "call 101 from 55501" + std::to_string(10 + i) + "\\n";
  Exchange("", offers);
  const auto connectedToPhones = [&] {
    std::size_t connected = 0;
    for (const std::string& party : Parties()) {
      if (party.find(" outside 55501") != std::string::npos && party.find("CONNECTED with 10") != std::string::npos &&
          party.find("with 101") == std::string::npos) {
        ++connected;
      }
    }
    return connected;
  };
  ASSERT_TRUE(WaitUntil(
      [&] {
        for (const char* phone : {"102", "103", "104"}) Exchange(std::string("pickup ") + phone);
        return connectedToPhones() == 20;
      },
      60s))
      << Exchange("status");
  EXPECT_EQ(Count("ONHOLD"), 0u) << Exchange("status");  // nobody left on hold
  std::string hangUps;
  for (int i = 0; i < 20; ++i) hangUps += "hangup\\n";
  Exchange("", hangUps);
  EXPECT_TRUE(WaitUntil([&] { return Parties().empty(); }, 10s)) << Exchange("status");
  // Every caller's call and every consultation call has its rows, linked by their keys.
  EXPECT_TRUE(WaitUntil([&] {
    return Crm("select count(*) from tq_VantrelLog where LinePhoneNumber = '101' and CallEventType = 1") == "20";
  }));
  EXPECT_EQ(Crm("select count(distinct CallHandle) from tq_VantrelLog where LinePhoneNumber = '101' and "
                "CallEventType = 9 and CallerPhoneNumber like '55501%'"),
            "20");
  EXPECT_EQ(Crm("select count(*) from tq_VantrelLog where LinePhoneNumber = '101' and CallEventType = 3 and "
                "ParentCallHandle = ''"),
            "0");  // each consultation call names its caller's call
  // (A parent key carries the consultation call's own begin second, so retries may spell it anew.)
  EXPECT_EQ(Crm("select count(distinct substr(ParentCallHandle, instr(ParentCallHandle, '-') + 1)) from "
                "tq_VantrelLog where LinePhoneNumber = '101' and CallEventType = 3"),
            "20");
  // However quickly the phones answered: every consultation call that ended has its dialled row.
  EXPECT_EQ(Crm("select count(*) from tq_VantrelLog where LinePhoneNumber = '101' and CallEventType = 3"),
            Crm("select count(distinct CallHandle) from tq_VantrelLog where LinePhoneNumber = '101' and "
                "CallEventType = 9 and CallerPhoneNumber = '101'"));
  // The phones' rows: each answered caller once, with the caller as the connected party.
  EXPECT_EQ(Crm("select count(*) from tq_VantrelLog where LinePhoneNumber in ('102', '103', '104') and "
                "CallEventType = 2 and ConnectedPhoneNumber like '55501%'"),
            "20");
}

TEST_F(RoutedTraffic, ATargetThatDoesNotAnswerGivesWayAndACallerWhoHangsUpMeanwhileLeavesNothing) {
  StartWithRule({"102", "103"}, 2);
  ::Line_var seat = LineOf("103");
  RecordingLineEvents* seatEvents = Listen(seat);
  Exchange("call 101 from 5550200");
  ASSERT_TRUE(WaitUntil([&] { return Count("station 102 OFFERING") == 1; })) << Exchange("status");
  // Nobody answers at 102: after the ring time the next target rings.
  ASSERT_TRUE(WaitUntil([&] { return Count("station 103 OFFERING") == 1; }, 5s)) << Exchange("status");
  Exchange("pickup 103");
  ASSERT_TRUE(WaitUntil([&] { return Count("outside 5550200 CONNECTED with 103") == 1; })) << Exchange("status");
  EXPECT_TRUE(WaitUntil([&] { return Count("station 102") == 0; })) << Exchange("status");
  seat->ChangeLineEventLastContact();
  EXPECT_TRUE(WaitUntil([&] { return seatEvents->SawAny(::IncomingCallConnected); }));
  Exchange("hangup");
  ASSERT_TRUE(WaitUntil([&] { return Parties().empty(); })) << Exchange("status");

  Exchange("call 101 from 5550201");
  ASSERT_TRUE(WaitUntil([&] { return Count("station 102 OFFERING") == 1; })) << Exchange("status");
  Exchange("hangup");  // during the ring time
  EXPECT_TRUE(WaitUntil([&] { return Parties().empty(); })) << Exchange("status");
  EXPECT_TRUE(WaitUntil([&] { return LineOf("101")->GetCallsCount() == 0; }));
}

TEST_F(RoutedTraffic, ThousandsOfRoutedCallsOfferedAsFastAsTheExchangeTakesThemLeaveTheHostServingAndTheExchangeEmpty) {
  StartWithRule({"102"}, 0, 2100);
  constexpr int kCalls = 2000;
  std::string commands;
  for (int i = 0; i < kCalls; ++i) commands += "call 101 from 56" + std::to_string(100000 + i) + "\\npickup 102\\n";
  const auto [code, output] = host_.RunExchange("", commands);
  (void)code;  // a pickup with nothing ringing yet is refused; the calls are what counts
  std::string picks;
  for (int i = 0; i < 200; ++i) picks += "pickup 102\\n";
  ASSERT_TRUE(WaitUntil(
      [&] {
        host_.RunExchange("", picks);
        return Count("OFFERING") == 0 && Count("ONHOLD") == 0;
      },
      120s))
      << Count("OFFERING") << " offering, " << Count("ONHOLD") << " on hold";
  std::string hangUps;
  for (int i = 0; i < kCalls; ++i) hangUps += "hangup\\n";
  host_.RunExchange("", hangUps);
  EXPECT_TRUE(WaitUntil([&] { return Parties().empty(); }, 60s)) << Parties().size() << " parties left";
  EXPECT_NE(CORBA::String_var(environment_->GetIniFilesPath()).in()[0], '\0');  // still serving
}

TEST_F(RoutedTraffic, ACallConnectedToAnOuterLineRaisesNoConnectedEventAndWritesNoConnectedRow) {
  StartWithRule({"102"}, 0, 60, false);
  ::Line_var seat = LineOf("103");
  RecordingLineEvents* seatEvents = Listen(seat);
  seat->Dial(0, "101", 0);  // the trunk line's own number: an outer line of the server
  ASSERT_TRUE(WaitUntil([&] { return Count("station 101 OFFERING") == 1; })) << Exchange("status");
  Exchange("pickup 101");
  ASSERT_TRUE(WaitUntil([&] { return seatEvents->SawAny(::Connected); }));
  const CORBA::Long call = seatEvents->First(::Connected);
  CORBA::String_var connected = seat->GetConnectedID(call);
  EXPECT_STREQ(connected.in(), "101");
  seat->CancelDial(call);  // the phone hangs up
  EXPECT_TRUE(WaitUntil([&] { return seatEvents->SawAny(::CallFinished); }));
  EXPECT_FALSE(seatEvents->SawAny(::OutgoingCallConnected));
  EXPECT_TRUE(WaitUntil([&] {
    return Crm("select count(*) from tq_VantrelLog where LinePhoneNumber = '103' and CallEventType = 9") == "1";
  }));
  EXPECT_EQ(Crm("select count(*) from tq_VantrelLog where LinePhoneNumber = '103' and CallEventType = 4"), "0");
}

TEST_F(RoutedTraffic, TheFirstRoutedCallAfterAStartReachesTheGroupsReadyOperator) {
  Write("Settings.ini",
        "[Connection]\nCryptConnectionString=0\nConnectionString=Provider=SQLite;Data Source=crm.sqlite3\n");
  const std::string crm = std::string(VANTREL_CRM_PATH) + " --connection 'Provider=SQLite;Data Source=crm.sqlite3'" +
                          " --base '" + host_.IniFolder().string() + "' --sample > /dev/null";
  ASSERT_EQ(std::system(crm.c_str()), 0);
  Write("Rules.ini",
        "[Rules]\nName=Rules\nEnabled=1\nCallsDistributionType=0\nSystemPhoneNumber=102\n[Rules_Items]\nCount=1\n"
        "ItemID=1\n[Rules_0]\nID=1\nOrder=0\nName=Inbound\nEnabled=1\n[Rules_0_Items]\nCount=1\nItemID=1\n"
        "[Rules_0_0]\nID=1\nOrder=0\nName=Sales group\nEnabled=1\nActionType=3\nPhoneNumber=\nGroupID=100\n");
  Write("Lines.ini",
        "[Lines_Items]\nCount=1\nItemID=0\n[Lines_0]\nID=0\nOrder=0\nName=Trunk 101\nEnabled=1\n"
        "RuleID=1\nIsOuter=1\nUsingDND=0\n");
  Connect();
  // Boris Klein (employee 2, in the sales group) logs in at 103, ready; nothing has touched the database yet.
  ::Operators_var operators = environment_->GetOperators();
  ::Operator_var boris = ::Operator::_narrow(::ContainerItem_var(operators->CreateItem(true)));
  ASSERT_FALSE(CORBA::is_nil(boris));
  boris->SetID(2);
  boris->SetLine(::Line_var(LineOf("103")));
  boris->SetStatus(::OperatorReady);
  Exchange("call 101 from 5550300");
  EXPECT_TRUE(WaitUntil([&] { return Count("station 103 OFFERING") == 1; })) << Exchange("status");
  EXPECT_EQ(Count("station 102"), 0u) << Exchange("status");
  Exchange("hangup");
  EXPECT_TRUE(WaitUntil([&] { return Parties().empty(); })) << Exchange("status");
}
