// Supervisors listening in with real SIP user agents: SIPp as the trunk caller (1 kHz), the operator's phone at
// 103 (600 Hz) and the supervisor's phone at 104 (400 Hz), each party's media a tone from a peer on loopback.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "HostClient.h"
#include "RtpPeer.h"
#include "SipHostSetup.h"
#include "SipHostTest.h"
#include "SpawnedProgram.h"
#include "TalkingParty.h"
#include "Tones.h"
#include "Vantrel.hh"
#include "database/CallLogRow.h"

using namespace std::chrono_literals;

namespace {

constexpr int kPcmu = 0;
constexpr int kPcma = 8;
constexpr CORBA::Long kSupervisor = 3;  // in the supervisors' group
constexpr CORBA::Long kOperator = 2;    // an operator only

// The caller is routed to the operator at 103; the supervisors' group is 200, and the operator logged in at 104 is
// the supervisor, or an operator outside the group.
class SipMonitor : public SipHostTest {
 protected:
  void Start(CORBA::Long at104 = kSupervisor) {
    sipPort_ = FreeLoopbackPort();
    trunkPort_ = FreeLoopbackPort();
    phonePort_ = FreeLoopbackPort();
    phone104Port_ = FreeLoopbackPort();
    TSipHostSetup{sipPort_, trunkPort_, "38000-38999"}.Write(host_.IniFolder());
    TSipHostSetup::WriteRouteTo103(host_.IniFolder());
    // Many operators at once: the operator at 103 and whoever sits at 104.
    std::ofstream(host_.IniFolder() / "Settings.ini", std::ios::app) << "[Server]\nType=Distributed\n";
    std::string rules;
    {
      std::ifstream in(host_.IniFolder() / "Rules.ini");
      rules.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    rules.replace(rules.find("[Rules]\n"), 8, "[Rules]\nSupervisorGroup=200\n");
    std::ofstream(host_.IniFolder() / "Rules.ini") << rules;
    // The sample CRM: employee 3 is in group 200, the supervisors' group; employee 2 is not.
    const std::string crm = std::string(VANTREL_CRM_PATH) + " --connection 'Provider=SQLite;Data Source=crm.sqlite3'" +
                            " --base '" + host_.IniFolder().string() + "' --sample > /dev/null";
    ASSERT_EQ(std::system(crm.c_str()), 0);
    ASSERT_TRUE(host_.Start()) << host_.ErrorOutput();
    ASSERT_TRUE(host_.WaitForOutput("Loaded: 4 lines")) << host_.Output() << host_.ErrorOutput();
    ASSERT_TRUE(WaitUntil([&] { return Log().find("SIP: listening on") != std::string::npos; })) << Log();
    CORBA::Object_var object = TestORB()->string_to_object(host_.Corbaloc().c_str());
    environment_ = ::Environment::_narrow(object);
    lines_ = environment_->GetLines();
    operators_ = environment_->GetOperators();
    line103_ = LineOf("103");
    listener103_ = listeners_.Listen(line103_);
    LogIn(4, "103");
    LogIn(at104, "104");
    ASSERT_EQ(Register("103", "pw-103"), 0);
    // The server's nonce is the same for a second; a phone registered in the same second as 103's tries again.
    ASSERT_TRUE(WaitUntil([&] { return Register("104", "pw-104", phone104Port_) == 0; }, 10s));
  }
  void TearDown() override {
    caller_.Stop();
    operator_.Stop();
    supervisor_.Stop();
    SipHostTest::TearDown();
  }

  ::Line_ptr LineOf(const char* number) {
    return ::Line::_narrow(::ContainerItem_var(lines_->GetItemByDevicePhoneNumber(number)));
  }
  // What a client's login does: a new Operator with the employee's ID, seated at the line.
  void LogIn(CORBA::Long employee, const char* line) {
    ::Operator_var seated = ::Operator::_narrow(::ContainerItem_var(operators_->CreateItem(true)));
    ASSERT_FALSE(CORBA::is_nil(seated)) << employee;
    seated->SetID(employee);
    seated->SetLine(::Line_var(LineOf(line)));
  }

  // The caller talks to the operator, each with its tone; the supervisor's phone at 104 answers whatever rings it
  // (hanging up after supervisorTalksMs when given).
  void StartCall(int callerTalksMs, int supervisorTalksMs = 0) {
    phone_ = Phone("phone.xml", phonePort_, phoneMedia_.Port(), kPcmu);
    phone104_ = supervisorTalksMs == 0 ? Phone("phone.xml", phone104Port_, supervisorMedia_.Port(), kPcmu)
                                       : Phone("phone-hangs-up.xml", phone104Port_, supervisorMedia_.Port(), kPcmu,
                                               {"-d", std::to_string(supervisorTalksMs)});
    callerCall_ = TrunkCaller("caller.xml", "5550111", callerMedia_.Port(), kPcma, callerTalksMs);
    const int callersPort = CallersRelayPort();
    ASSERT_GT(callersPort, 0) << callerCall_->Output();
    ASSERT_TRUE(WaitUntil([&] { return PartyShows("outside", "CONNECTED with 103"); })) << Exchange("status");
    ASSERT_TRUE(WaitUntil([&] { return listener103_->SawAny(::Connected); }));
    call_ = listener103_->First(::Connected);
    caller_.Start([callersPort] { return callersPort; });
    operator_.Start([this] { return phoneMedia_.LastSourcePort(); });
    supervisor_.Start([this] { return supervisorMedia_.LastSourcePort(); });
  }
  // The supervisor's phone is answered and hears the call.
  void AwaitSupervisor() {
    ASSERT_TRUE(WaitUntil([&] { return supervisorMedia_.ReceivedCount() > 25; }, 10s)) << Log() << phone104_->Output();
  }
  // What each peer (caller, operator, supervisor) hears for a second and a half, from half a second on.
  std::vector<std::vector<std::int16_t>> Listen() {
    std::this_thread::sleep_for(500ms);
    const std::size_t callerHad = callerMedia_.ReceivedCount(), phoneHad = phoneMedia_.ReceivedCount(),
                      supervisorHad = supervisorMedia_.ReceivedCount();
    std::this_thread::sleep_for(1500ms);
    return {HeardSince(callerMedia_, callerHad), HeardSince(phoneMedia_, phoneHad),
            HeardSince(supervisorMedia_, supervisorHad)};
  }
  std::string MonitorRows() {
    const std::string started = std::to_string(static_cast<int>(vantrel::TQueueEvent::MonitorStarted));
    const std::string ended = std::to_string(static_cast<int>(vantrel::TQueueEvent::MonitorEnded));
    return Crm("select group_concat(Kind, ' ') from (select case QueueEventType when " + started +
               " then 'started' else 'ended' end || ':' || OperatorPhoneNumber || ':' || LinePhoneNumber || ':' || "
               "Reason as Kind from tq_VantrelQueueLog where QueueEventType in (" +
               started + ", " + ended + ") order by EventOrder)");
  }

  int phone104Port_ = 0;
  ::Environment_var environment_;
  ::Lines_var lines_;
  ::Operators_var operators_;
  ::Line_var line103_;
  ClientListeners listeners_;
  RecordingLineEvents* listener103_ = nullptr;
  RtpPeer phoneMedia_, callerMedia_, supervisorMedia_;
  std::unique_ptr<SpawnedProgram> phone_, phone104_, callerCall_;
  CORBA::Long call_ = 0;
  TalkingParty caller_{callerMedia_, 1000, kPcma}, operator_{phoneMedia_, 600, kPcmu},
      supervisor_{supervisorMedia_, 400, kPcmu};
};

}  // namespace

TEST_F(SipMonitor, AListeningSupervisorHearsBothSidesUnheardAWhisperReachesTheOperatorOnlyAndABargeReachesAll) {
  ASSERT_NO_FATAL_FAILURE(Start());
  ASSERT_NO_FATAL_FAILURE(StartCall(14000));
  CORBA::String_var answer = line103_->Monitor(call_, "104", ::MonitorListen);
  ASSERT_STREQ(answer.in(), "");
  ASSERT_NO_FATAL_FAILURE(AwaitSupervisor());

  const auto listening = Listen();
  EXPECT_GT(ToneLevel(listening[2], 1000), 1000);
  EXPECT_GT(ToneLevel(listening[2], 600), 1000);
  EXPECT_LT(ToneLevel(listening[0], 400), 200);
  EXPECT_LT(ToneLevel(listening[1], 400), 200);
  EXPECT_GT(ToneLevel(listening[0], 600), 1000);
  EXPECT_GT(ToneLevel(listening[1], 1000), 1000);

  answer = line103_->SetMonitorMode(call_, ::MonitorWhisper);
  ASSERT_STREQ(answer.in(), "");
  const auto whispering = Listen();
  EXPECT_GT(ToneLevel(whispering[1], 400), 1000);
  EXPECT_LT(ToneLevel(whispering[0], 400), 200);
  EXPECT_GT(ToneLevel(whispering[2], 1000), 1000);
  EXPECT_GT(ToneLevel(whispering[2], 600), 1000);

  answer = line103_->SetMonitorMode(call_, ::MonitorBarge);
  ASSERT_STREQ(answer.in(), "");
  const auto barging = Listen();
  EXPECT_GT(ToneLevel(barging[0], 400), 1000);
  EXPECT_GT(ToneLevel(barging[1], 400), 1000);
  EXPECT_GT(ToneLevel(barging[2], 1000), 1000);
  EXPECT_GT(ToneLevel(barging[2], 600), 1000);
  // Nobody hears themselves.
  EXPECT_LT(ToneLevel(barging[0], 1000), 200);
  EXPECT_LT(ToneLevel(barging[1], 600), 200);
  EXPECT_LT(ToneLevel(barging[2], 400), 200);

  // The caller hangs up: the supervisor's phone is hung up too, and the queue log has the monitor's two rows.
  EXPECT_EQ(callerCall_->WaitForExit(30s), 0) << callerCall_->Output();
  EXPECT_EQ(phone104_->WaitForExit(10s), 0) << phone104_->Output();
  EXPECT_EQ(phone_->WaitForExit(10s), 0) << phone_->Output();
  ASSERT_TRUE(WaitUntil([&] { return MonitorRows() == "started:104:103:0 ended:104:103:2"; })) << MonitorRows();
  EXPECT_NE(Log().find("Monitor: call " + std::to_string(call_) + " of line"), std::string::npos) << Log();
}

TEST_F(SipMonitor, TheSupervisorHangingUpLeavesTheCallerAndTheOperatorTalking) {
  ASSERT_NO_FATAL_FAILURE(Start());
  ASSERT_NO_FATAL_FAILURE(StartCall(9000, 1500));
  CORBA::String_var answer = line103_->Monitor(call_, "104", ::MonitorBarge);
  ASSERT_STREQ(answer.in(), "");
  ASSERT_NO_FATAL_FAILURE(AwaitSupervisor());
  EXPECT_EQ(phone104_->WaitForExit(10s), 0) << phone104_->Output();
  supervisor_.Stop();
  ASSERT_TRUE(WaitUntil([&] { return MonitorRows() == "started:104:103:2 ended:104:103:2"; })) << MonitorRows();
  EXPECT_TRUE(PartyShows("outside", "CONNECTED with 103")) << Exchange("status");
  const auto heard = Listen();
  EXPECT_GT(ToneLevel(heard[0], 600), 1000);
  EXPECT_GT(ToneLevel(heard[1], 1000), 1000);
  EXPECT_LT(ToneLevel(heard[0], 400), 200);
  // The call can be listened in on again.
  answer = line103_->Monitor(call_, "104", ::MonitorListen);
  EXPECT_STREQ(answer.in(), "");
  EXPECT_EQ(callerCall_->WaitForExit(30s), 0) << callerCall_->Output();
  EXPECT_EQ(phone_->WaitForExit(10s), 0) << phone_->Output();
}

TEST_F(SipMonitor, AnOperatorOutsideTheSupervisorsGroupIsRefusedAndNothingRings) {
  ASSERT_NO_FATAL_FAILURE(Start(kOperator));
  ASSERT_NO_FATAL_FAILURE(StartCall(3000));
  CORBA::String_var answer = line103_->Monitor(call_, "104", ::MonitorListen);
  EXPECT_STREQ(answer.in(), "the operator at station 104 is not in the supervisors' group 200");
  EXPECT_FALSE(PartyShows(" 104 ", "OFFERING")) << Exchange("status");
  EXPECT_EQ(callerCall_->WaitForExit(30s), 0) << callerCall_->Output();
  EXPECT_EQ(phone_->WaitForExit(10s), 0) << phone_->Output();
  EXPECT_EQ(supervisorMedia_.ReceivedCount(), 0u);
  EXPECT_EQ(MonitorRows(), "");
}

TEST_F(SipMonitor, BadRequestsAreRefusedWithTheirReasonAndTheCallGoesOn) {
  ASSERT_NO_FATAL_FAILURE(Start());
  ASSERT_NO_FATAL_FAILURE(StartCall(6000));
  CORBA::String_var answer = line103_->Monitor(call_ + 1000, "104", ::MonitorListen);
  EXPECT_STREQ(answer.in(), "no such call");
  answer = line103_->Monitor(call_, "103", ::MonitorListen);
  EXPECT_STREQ(answer.in(), "station 103 cannot listen in on its own call");
  answer = line103_->Monitor(call_, "", ::MonitorListen);
  EXPECT_STREQ(answer.in(), "no supervisor's station given");
  answer = line103_->Monitor(call_, "102", ::MonitorListen);
  EXPECT_STREQ(answer.in(), "nobody is logged in at station 102");
  answer = line103_->Monitor(call_, "999", ::MonitorListen);
  EXPECT_STREQ(answer.in(), "no line at station 999");
  answer = line103_->SetMonitorMode(call_, ::MonitorBarge);
  EXPECT_STREQ(answer.in(), "the call has no monitor");
  answer = line103_->Monitor(call_, "104", ::MonitorListen);
  EXPECT_STREQ(answer.in(), "");
  answer = line103_->Monitor(call_, "104", ::MonitorBarge);
  EXPECT_STREQ(answer.in(), "the call has a monitor already (station 104)");
  // A mode beyond the enumeration, sent as a client of another make could (the number on the wire; our own stubs
  // cannot even hold it): refused by the server on its way in.
  CORBA::Request_var request = line103_->_request("SetMonitorMode");
  request->add_in_arg() <<= call_;
  request->add_in_arg() <<= static_cast<CORBA::ULong>(7);
  request->set_return_type(CORBA::_tc_string);
  std::string refusal;
  try {
    request->invoke();
    if (CORBA::Exception* refused = request->env()->exception()) refusal = refused->_name();
  } catch (const CORBA::SystemException& thrown) {
    refusal = thrown._name();
  }
  EXPECT_EQ(refusal, "MARSHAL");
  ASSERT_NO_FATAL_FAILURE(AwaitSupervisor());
  const auto heard = Listen();
  EXPECT_GT(ToneLevel(heard[2], 1000), 1000);
  EXPECT_LT(ToneLevel(heard[0], 400), 200);
  EXPECT_EQ(callerCall_->WaitForExit(30s), 0) << callerCall_->Output();
  EXPECT_EQ(phone_->WaitForExit(10s), 0) << phone_->Output();

  // A simulated call (102 has no phone) has no media to listen to.
  ::Line_var line102 = LineOf("102");
  RecordingLineEvents* listener102 = listeners_.Listen(line102);
  Exchange("call 102 from 5550113");
  ASSERT_TRUE(WaitUntil([&] { return PartyShows("outside 5550113", "102"); })) << Exchange("status");
  Exchange("pickup 102");
  ASSERT_TRUE(WaitUntil([&] { return listener102->SawAny(::Connected); }));
  answer = line102->Monitor(listener102->First(::Connected), "104", ::MonitorListen);
  EXPECT_STREQ(answer.in(), "the call has no media");
  Exchange("hangup 102");
}

TEST_F(SipMonitor, ASimulatedSupervisorsStationRingsIsPickedUpAndIsHungUpWhenTheCallEnds) {
  ASSERT_NO_FATAL_FAILURE(Start());
  LogIn(1, "102");  // Anna, in the supervisors' group; 102 has no phone
  ASSERT_NO_FATAL_FAILURE(StartCall(4000));
  CORBA::String_var answer = line103_->Monitor(call_, "102", ::MonitorWhisper);
  ASSERT_STREQ(answer.in(), "");
  ASSERT_TRUE(WaitUntil([&] { return PartyShows(" 102 ", "OFFERING"); })) << Exchange("status");
  EXPECT_TRUE(PartyShows(" 102 ", "the call of 103 (whisper)")) << Exchange("status");
  Exchange("pickup 102");
  ASSERT_TRUE(WaitUntil([&] { return PartyShows(" 102 ", "CONNECTED"); })) << Exchange("status");
  // The caller and the operator still talk as before.
  EXPECT_TRUE(PartyShows("outside", "CONNECTED with 103")) << Exchange("status");
  const auto heard = Listen();
  EXPECT_GT(ToneLevel(heard[0], 600), 1000);
  EXPECT_GT(ToneLevel(heard[1], 1000), 1000);
  EXPECT_EQ(callerCall_->WaitForExit(30s), 0) << callerCall_->Output();
  EXPECT_TRUE(WaitUntil([&] { return !PartyShows(" 102 ", "CONNECTED"); })) << Exchange("status");
  ASSERT_TRUE(WaitUntil([&] { return MonitorRows() == "started:102:103:1 ended:102:103:1"; })) << MonitorRows();
}
