// Callers waiting in line for a group's operators on a running Distributed host: the callers through
// vantrel-exchange, the operators and a wallboard client over IIOP.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>

#include "HostClient.h"
#include "Vantrel.hh"

using namespace std::chrono_literals;

namespace {

// A wallboard: the last figures the server sent.
class RecordingQueueEvents : public POA_QueueEvents {
 public:
  void DoQueueFiguresChanged(const ::QueueFiguresSeq& figures) override {
    std::lock_guard lock(mutex_);
    last_ = figures;
    ++received_;
  }
  long WaitingOf(CORBA::Long rule) {
    std::lock_guard lock(mutex_);
    for (CORBA::ULong i = 0; i < last_.length(); ++i) {
      if (last_[i].RuleID == rule) return last_[i].Waiting;
    }
    return -1;
  }

 private:
  std::mutex mutex_;
  ::QueueFiguresSeq last_;
  int received_ = 0;
};

class CallQueue : public ::testing::Test {
 protected:
  void Write(const std::string& name, const std::string& text) { std::ofstream(host_.IniFolder() / name) << text; }
  // Line 101 routed by one rule: the support group (500, employees 11 to 15), then the fixed number 205 when
  // actions are two.
  void Start(const std::string& queueSettings, bool overflowTo205 = false, int strategy = 1, int seats = 5,
             const std::string& rulesSettings = "") {
    Write("Settings.ini",
          "[Server]\nType=Distributed\n[Connection]\nCryptConnectionString=0\n"
          "ConnectionString=Provider=SQLite;Data Source=crm.sqlite3\n");
    const std::string crm = std::string(VANTREL_CRM_PATH) + " --connection 'Provider=SQLite;Data Source=crm.sqlite3'" +
                            " --base '" + host_.IniFolder().string() + "' > /dev/null";
    ASSERT_EQ(std::system(crm.c_str()), 0);
    {
      CrmFile file(host_.IniFolder() / "crm.sqlite3");
      for (int employee = 11; employee < 11 + seats; ++employee) {
        const std::string insert =
            "insert into tq_ContactInGroup (Contact_id, Group_id) values (" + std::to_string(employee) + ", 500)";
        ASSERT_EQ(sqlite3_exec(file.Handle(), insert.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
      }
    }
    std::string stations = "[Exchange]\nTrunks=300\n[Stations]\n101=Trunk 101\n";
    for (int seat = 201; seat < 201 + seats; ++seat) stations += std::to_string(seat) + "=Seat\n";
    Write("Exchange.ini", stations);
    std::string rules = "[Rules]\nName=Rules\nEnabled=1\nCallsDistributionType=" + std::to_string(strategy) +
                        "\nSystemPhoneNumber=\nRingTimeout=20\n" + rulesSettings +
                        "[Rules_Items]\nCount=1\nItemID=1\n[Rules_0]\nID=1\nOrder=0\nName=Support\nEnabled=1\n" +
                        queueSettings + "[Rules_0_Items]\nCount=" + (overflowTo205 ? "2" : "1") +
                        "\nItemID=2\n[Rules_0_0]\nID=1\nOrder=0\nName=Support group\nEnabled=1\nActionType=3\n"
                        "PhoneNumber=\nGroupID=500\n";
    if (overflowTo205) rules += "[Rules_0_1]\nID=2\nOrder=1\nName=Desk\nEnabled=1\nActionType=2\nPhoneNumber=205\n";
    Write("Rules.ini", rules);
    Write("Lines.ini",
          "[Lines_Items]\nCount=1\nItemID=0\n[Lines_0]\nID=0\nOrder=0\nName=Trunk 101\nEnabled=1\nRuleID=1\n"
          "IsOuter=1\nUsingDND=0\n");
    ASSERT_TRUE(host_.Start()) << host_.ErrorOutput();
    ASSERT_TRUE(host_.WaitForOutput("Loaded: " + std::to_string(seats + 1) + " lines"))
        << host_.Output() << host_.ErrorOutput();
    environment_ = ::Environment::_narrow(CORBA::Object_var(TestORB()->string_to_object(host_.Corbaloc().c_str())));
    lines_ = environment_->GetLines();
    operators_ = environment_->GetOperators();
    rules_ = environment_->GetRules();
  }
  void TearDown() override { EXPECT_EQ(host_.Stop(), 0); }

  ::Operator_ptr LogIn(CORBA::Long employee, const char* line, ::OperatorStatus status) {
    ::Operator_var seated = ::Operator::_narrow(::ContainerItem_var(operators_->CreateItem(true)));
    EXPECT_FALSE(CORBA::is_nil(seated));
    seated->SetID(employee);
    seated->SetLine(::Line_var(::Line::_narrow(::ContainerItem_var(lines_->GetItemByDevicePhoneNumber(line)))));
    seated->SetStatus(status);
    return seated._retn();
  }
  std::string Exchange(const std::string& command) { return host_.RunExchange(command).second; }
  std::string Crm(const std::string& sql) { return CrmFile(host_.IniFolder() / "crm.sqlite3").Text(sql); }
  std::size_t Count(const std::string& piece) {
    std::size_t count = 0;
    std::istringstream text(Exchange("status"));
    for (std::string line; std::getline(text, line);) count += line.find(piece) != std::string::npos ? 1 : 0;
    return count;
  }
  // The rule's figures since midnight.
  ::QueueFigures Figures() {
    ::QueueFiguresSeq_var all = rules_->GetQueueFigures(true);
    for (CORBA::ULong i = 0; i < all->length(); ++i) {
      if (all[i].RuleID == 1) return all[i];
    }
    return ::QueueFigures{};
  }
  void CallAndWaitOnHold(const std::string& caller, std::size_t onHold) {
    Exchange("call 101 from " + caller);
    ASSERT_TRUE(WaitUntil([&] { return Count("ONHOLD") == onHold; })) << Exchange("status");
  }

  HostProcess host_;
  ::Environment_var environment_;
  ::Lines_var lines_;
  ::Operators_var operators_;
  ::Rules_var rules_;
};

}  // namespace

TEST_F(CallQueue, CallersWaitForTheGroupInArrivalOrderAndTheOperatorWrapsUpBetweenThem) {
  Start("MaxWait=60\nWrapUp=1\nServiceLevelSeconds=30\n");
  ClientListeners listeners;
  auto* wallboard = new RecordingQueueEvents();
  const PortableServer::ObjectId_var wallboardId = TestPOA()->activate_object(wallboard);
  wallboard->_remove_ref();
  rules_->SetQueueEventsListener(
      ::QueueEvents_var(::QueueEvents::_narrow(CORBA::Object_var(TestPOA()->id_to_reference(wallboardId)))));

  ::Operator_var anna = LogIn(11, "201", ::OperatorPause);
  // Nobody of the group is ready: each caller is answered and held, in the order they came.
  CallAndWaitOnHold("5550001", 1);
  CallAndWaitOnHold("5550002", 2);
  CallAndWaitOnHold("5550003", 3);
  EXPECT_EQ(Figures().Waiting, 3);
  EXPECT_TRUE(WaitUntil([&] { return wallboard->WaitingOf(1) == 3; })) << wallboard->WaitingOf(1);

  // The first caller reaches the operator who becomes ready.
  anna->SetStatus(::OperatorReady);
  ASSERT_TRUE(WaitUntil([&] { return Count("station 201 OFFERING") == 1; })) << Exchange("status");
  Exchange("pickup 201");
  ASSERT_TRUE(WaitUntil([&] { return Count("outside 5550001 CONNECTED with 201") == 1; })) << Exchange("status");
  EXPECT_EQ(Count("outside 5550002 CONNECTED with 101"), 1u) << Exchange("status");  // still waiting, held

  // The third caller gives up.
  const std::string status = Exchange("status");
  const auto third = status.find(" outside 5550003");
  ASSERT_NE(third, std::string::npos) << status;
  const std::string thirdId = status.substr(status.rfind('\n', third) + 1, third - status.rfind('\n', third) - 1);
  Exchange("hangup " + thirdId);

  // After the call the operator is in after-call work for a second, then the second caller rings.
  Exchange("drop 201");
  EXPECT_TRUE(WaitUntil([&] { return anna->GetStatus() == ::OperatorWrapUp; }, 5s));
  EXPECT_EQ(Count("station 201 OFFERING"), 0u) << Exchange("status");
  ASSERT_TRUE(WaitUntil([&] { return Count("station 201 OFFERING") == 1; }, 10s)) << Exchange("status");
  EXPECT_EQ(anna->GetStatus(), ::OperatorReady);
  Exchange("pickup 201");
  ASSERT_TRUE(WaitUntil([&] { return Count("outside 5550002 CONNECTED with 201") == 1; })) << Exchange("status");
  Exchange("drop 201");
  ASSERT_TRUE(WaitUntil([&] { return Count("outside") == 0; })) << Exchange("status");

  const ::QueueFigures figures = Figures();
  EXPECT_EQ(figures.Offered, 3);
  EXPECT_EQ(figures.Answered, 2);
  EXPECT_EQ(figures.Abandoned, 1);
  EXPECT_EQ(figures.Waiting, 0);
  EXPECT_EQ(figures.AnsweredInServiceLevel, 2);
  EXPECT_EQ(figures.ServiceLevelSeconds, 30);
  EXPECT_STREQ(figures.RuleName.in(), "Support");
  EXPECT_TRUE(WaitUntil([&] { return wallboard->WaitingOf(1) == 0; }));
  // The queue log has the story, keyed as the call log is: three entered, two put through, one gave up, and the
  // operator's login, pause (and its end), resumption, the end of each call put through her and the wrap-up after it
  // (and its end).
  EXPECT_TRUE(WaitUntil([&] { return Crm("select count(*) from tq_VantrelQueueLog") == "18"; }))
      << Crm("select count(*) from tq_VantrelQueueLog");
  EXPECT_EQ(Crm("select group_concat(QueueEventType, ',') from (select QueueEventType from tq_VantrelQueueLog where "
                "CallHandle <> '' order by ID)"),
            "1,1,1,2,3,2");
  EXPECT_EQ(Crm("select group_concat(QueueEventType, ',') from (select QueueEventType from tq_VantrelQueueLog where "
                "CallHandle = '' order by ID)"),
            "9,6,13,7,12,8,14,7,12,8,14,7");
  // Each wrap-up names the rule of the call it follows, as the call's end does.
  EXPECT_EQ(Crm("select count(*) from tq_VantrelQueueLog w join tq_VantrelQueueLog e on e.ID = w.ID - 1 where "
                "w.QueueEventType = 8 and e.QueueEventType = 12 and w.Rule_id = e.Rule_id and w.Rule_id > 0 and "
                "e.Seconds >= 0"),
            "2");
  EXPECT_EQ(Crm("select count(*) from tq_VantrelQueueLog q join tq_VantrelLog l on l.CallHandle = q.CallHandle "
                "where q.QueueEventType = 2 and l.CallEventType = 1"),
            "2");  // each connected caller's row joins its incoming-call row
  EXPECT_EQ(Crm("select Operator_id || ' ' || OperatorPhoneNumber from tq_VantrelQueueLog where QueueEventType = 2 "
                "limit 1"),
            "11 201");
  TestPOA()->deactivate_object(wallboardId);
}

TEST_F(CallQueue, AFullLineOfCallersAndAWaitThatRunsOutGoOnToTheRulesNextAction) {
  Start("MaxWait=1\nMaxWaiting=1\n", true);
  ::Operator_var anna = LogIn(11, "201", ::OperatorPause);
  CallAndWaitOnHold("5550101", 1);
  // One caller waits already: the next goes on to the desk at once.
  Exchange("call 101 from 5550102");
  ASSERT_TRUE(WaitUntil([&] { return Count("station 205 OFFERING") == 1; })) << Exchange("status");
  // The first one's wait runs out after a second: the desk too.
  ASSERT_TRUE(WaitUntil([&] { return Count("station 205 OFFERING") == 2; }, 5s)) << Exchange("status");
  EXPECT_EQ(Count("ONHOLD"), 2u) << Exchange("status");  // both held pending transfer to the desk
  const ::QueueFigures figures = Figures();
  EXPECT_EQ(figures.Overflowed, 2);
  EXPECT_EQ(figures.Waiting, 0);
  EXPECT_EQ(::Rule_var(::Rule::_narrow(::ContainerItem_var(rules_->GetItemByID(1))))->GetQueueSettings().MaxWaiting, 1);
}

TEST_F(CallQueue, TwoHundredCallersAtOnceForFiveOperatorsAreServedInTurnAndTheFiguresMatchTheQueueLog) {
  Start("MaxWait=600\nServiceLevelSeconds=5\n");
  std::vector<::Operator_var> operators;
  for (int i = 0; i < 5; ++i) {
    operators.emplace_back(LogIn(11 + i, ("20" + std::to_string(1 + i)).c_str(), ::OperatorReady));
  }
  constexpr int kCallers = 200;
  constexpr int kGivingUp = 20;  // the last ones to come hang up while they wait
  std::string calls;
  for (int i = 0; i < kCallers; ++i) calls += "call 101 from " + std::to_string(5560000 + i) + "\\n";
  host_.RunExchange("", calls);
  std::mt19937 random(20261207);
  bool gaveUp = false;
  // The operators answer after a random moment and talk a random while; the phones are polled.
  ASSERT_TRUE(WaitUntil(
      [&] {
        const auto [code, status] = host_.RunExchange("status");
        if (code != 0) return false;
        std::string commands;
        std::istringstream lines(status);
        std::size_t outside = 0;
        for (std::string line; std::getline(lines, line);) {
          if (line.find(" outside ") != std::string::npos) ++outside;
          for (int seat = 201; seat <= 205; ++seat) {
            const std::string station = "station " + std::to_string(seat) + " ";
            if (line.find(station + "OFFERING") != std::string::npos && random() % 4 != 0) {
              commands += "pickup " + std::to_string(seat) + "\\n";
            } else if (line.find(station + "CONNECTED with 556") != std::string::npos && random() % 2 == 0) {
              commands += "drop " + std::to_string(seat) + "\\n";
            }
          }
          const auto caller = line.find(" outside 556");
          if (!gaveUp && caller != std::string::npos &&
              std::atoi(line.c_str() + caller + 9) >= 5560000 + kCallers - kGivingUp) {
            commands += "hangup " + line.substr(0, line.find(' ')) + "\\n";
          }
        }
        if (outside >= kCallers - kGivingUp && status.find("station 201 CONNECTED with 556") != std::string::npos)
          gaveUp = true;
        if (!commands.empty()) host_.RunExchange("", commands);
        return outside == 0;
      },
      240s))
      << Exchange("status");

  const ::QueueFigures figures = Figures();
  EXPECT_EQ(figures.Offered, kCallers);
  EXPECT_EQ(figures.Waiting, 0);
  EXPECT_EQ(figures.Answered + figures.Abandoned + figures.Overflowed, kCallers);
  EXPECT_EQ(figures.Abandoned, kGivingUp);
  // The figures equal a count made from the queue log.
  ASSERT_TRUE(WaitUntil([&] {
    return Crm("select count(*) from tq_VantrelQueueLog where QueueEventType in (2, 3, 5)") == std::to_string(kCallers);
  }));
  EXPECT_EQ(Crm("select count(*) from tq_VantrelQueueLog where QueueEventType = 2"), std::to_string(figures.Answered));
  EXPECT_EQ(Crm("select count(*) from tq_VantrelQueueLog where QueueEventType = 3"), std::to_string(figures.Abandoned));
  EXPECT_EQ(Crm("select count(*) from tq_VantrelQueueLog where QueueEventType = 2 and Seconds <= 5"),
            std::to_string(figures.AnsweredInServiceLevel));
  // First come, first served: the k-th caller put through came at most five places (one per operator) after
  // the k-th to wait among those put through.
  std::vector<int> entered, connected;
  {
    CrmFile file(host_.IniFolder() / "crm.sqlite3");
    for (int event : {1, 2}) {
      std::vector<int>& order = event == 1 ? entered : connected;
      const std::string sql =
          "select CallerPhoneNumber from tq_VantrelQueueLog where QueueEventType = " + std::to_string(event) +
          " order by ID";
      sqlite3_stmt* statement = nullptr;
      ASSERT_EQ(sqlite3_prepare_v2(file.Handle(), sql.c_str(), -1, &statement, nullptr), SQLITE_OK);
      while (sqlite3_step(statement) == SQLITE_ROW) {
        order.push_back(std::stoi(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0))));
      }
      sqlite3_finalize(statement);
    }
  }
  std::vector<int> waitedAndServed;
  for (int caller : entered) {
    if (std::find(connected.begin(), connected.end(), caller) != connected.end()) waitedAndServed.push_back(caller);
  }
  for (std::size_t k = 0, rank = 0; k < connected.size(); ++k) {
    const auto place = std::find(waitedAndServed.begin(), waitedAndServed.end(), connected[k]);
    if (place == waitedAndServed.end()) continue;  // served without waiting
    EXPECT_LE(static_cast<std::size_t>(place - waitedAndServed.begin()), rank + 5) << connected[k];
    ++rank;
  }
}

TEST_F(CallQueue, TenOperatorsAtOnceAreOfferedCallsInTurnByRoundRobin) {
  Start("MaxWait=60\n", false, 3, 10);
  std::vector<::Operator_var> operators;
  for (int i = 0; i < 10; ++i) {
    operators.emplace_back(LogIn(11 + i, std::to_string(201 + i).c_str(), ::OperatorReady));
  }
  // One caller after another: each rings the seat after the one served last, round to the first again; the one
  // paused meanwhile is passed over.
  std::vector<std::string> rung;
  for (int call = 0; call < 13; ++call) {
    if (call == 11) operators[2]->SetStatus(::OperatorPause);
    const std::string caller = "55570" + std::to_string(10 + call);
    Exchange("call 101 from " + caller);
    std::string seat;
    ASSERT_TRUE(WaitUntil([&] {
      const std::string status = Exchange("status");
      const auto ringing = status.find(" OFFERING");
      if (ringing == std::string::npos) return false;
      const auto number = status.rfind("station ", ringing);
      seat = status.substr(number + 8, 3);
      return true;
    })) << Exchange("status");
    rung.push_back(seat);
    Exchange("pickup " + seat);
    ASSERT_TRUE(WaitUntil([&] { return Count("outside " + caller + " CONNECTED with " + seat) == 1; }))
        << Exchange("status");
    Exchange("drop " + seat);
    ASSERT_TRUE(WaitUntil([&] { return Count("outside") == 0; })) << Exchange("status");
  }
  EXPECT_EQ(rung, (std::vector<std::string>{"201", "202", "203", "204", "205", "206", "207", "208", "209", "210", "201",
                                            "202", "204"}));
  EXPECT_EQ(Figures().Answered, 13);
}

TEST_F(CallQueue, TheServiceLevelCountsOnlyCallersWhoseWaitEndedAndLeavesShortAbandonsOut) {
  Start("MaxWait=60\nServiceLevelSeconds=3\n", false, 1, 1, "ShortAbandonSeconds=1\n");
  ::Operator_var anna = LogIn(11, "201", ::OperatorPause);
  const auto level = [&] {
    ::QueueServiceLevelSeq_var all = rules_->GetServiceLevels(true);
    for (CORBA::ULong i = 0; i < all->length(); ++i) {
      if (all[i].RuleID == 1) return all[i];
    }
    return ::QueueServiceLevel{};
  };
  const auto callId = [&](const std::string& caller, std::size_t onHold) {
    const std::string printed = Exchange("call 101 from " + caller);
    EXPECT_TRUE(WaitUntil([&] { return Count("ONHOLD") == onHold; })) << Exchange("status");
    return printed.substr(0, printed.find('\n'));
  };
  // Three callers 0 to 4 seconds into the line: no caller's wait has ended, so there is no service level yet.
  const std::string first = callId("5550301", 1);
  const std::string second = callId("5550302", 2);
  callId("5550303", 3);
  EXPECT_EQ(Figures().Waiting, 3);
  EXPECT_EQ(level().ServiceLevel, -1);
  // One hangs up at once: a short abandon, counted apart and left out.
  Exchange("hangup " + first);
  ASSERT_TRUE(WaitUntil([&] { return level().ShortAbandoned == 1; }));
  EXPECT_EQ(level().ServiceLevel, -1);
  // One hangs up after the service level's three seconds: it counts against it.
  ASSERT_TRUE(WaitUntil([&] { return Figures().LongestWait >= 4; }, 10s));
  Exchange("hangup " + second);
  ASSERT_TRUE(WaitUntil([&] { return level().AbandonedAfterServiceLevel == 1; }));
  EXPECT_EQ(level().ServiceLevel, 0);
  // The third is answered late, the fourth within the service level: one of three.
  anna->SetStatus(::OperatorReady);
  ASSERT_TRUE(WaitUntil([&] { return Count("station 201 OFFERING") == 1; })) << Exchange("status");
  Exchange("pickup 201");
  ASSERT_TRUE(WaitUntil([&] { return level().Answered == 1; })) << Exchange("status");
  EXPECT_EQ(level().AnsweredInServiceLevel, 0);
  EXPECT_EQ(level().ServiceLevel, 0);
  Exchange("hangup");
  ASSERT_TRUE(WaitUntil([&] { return anna->GetStatus() == ::OperatorReady && Count("201") == 0; }))
      << Exchange("status");
  Exchange("call 101 from 5550304");
  ASSERT_TRUE(WaitUntil([&] { return Count("station 201 OFFERING") == 1; })) << Exchange("status");
  Exchange("pickup 201");
  ASSERT_TRUE(WaitUntil([&] { return level().Answered == 2; })) << Exchange("status");
  EXPECT_EQ(level().AnsweredInServiceLevel, 1);
  EXPECT_EQ(level().ServiceLevel, 33);
  EXPECT_EQ(level().ShortAbandoned, 1);
  EXPECT_EQ(Figures().Abandoned, 2);
}
