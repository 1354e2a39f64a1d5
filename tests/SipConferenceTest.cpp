// Conferences of SIP calls with real user agents: the caller, the operator and the parties they consult, each
// sending a tone of its own and hearing the others' (the host and parties: SipRecordingFixture.h).
#include <string>
#include <vector>

#include "SipRecordingFixture.h"
#include "database/CallLogRow.h"

namespace {

// The caller (1 kHz) routed to the operator at 103 (600 Hz), who consults 104 (400 Hz) and makes a conference of
// the three; each party talks from its own peer.
class SipConference : public SipRecording {
 protected:
  // The station's phone registered and answering with its media at the peer.
  std::unique_ptr<SpawnedProgram> RegisteredPhone(const std::string& station, const RtpPeer& media) {
    const int port = FreeLoopbackPort();
    const auto credentials = host_.IniFolder() / ("phone-" + station + ".csv");
    std::ofstream(credentials) << "SEQUENTIAL\n" << station << ";[authentication username=" << station
                               << " password=pw-" << station << "]\n";
    // The server's nonce is the same for a second; a phone registered in the same second as another tries again.
    EXPECT_TRUE(WaitUntil(
        [&] {
          return Sipp("register.xml", port, {"-inf", credentials.string(), "-key", "expiry", "3600"})
                     ->WaitForExit(20s) == 0;
        },
        10s));
    return Sipp("phone.xml", port,
                {"-key", "rtp_ip", "127.0.0.1", "-key", "rtp_port", std::to_string(media.Port()), "-key", "law",
                 std::to_string(kPcmu)});
  }
  void StartConference(int callerTalksMs = 9000) {
    ASSERT_NO_FATAL_FAILURE(Start(false));
    phone104_ = RegisteredPhone("104", thirdMedia_);
    ASSERT_FALSE(HasFailure());
    phone_ = AnsweringPhone(phoneMedia_);
    callerCall_ = Caller("5550111", callerMedia_, callerTalksMs);
    const int callersPort = CallersRelayPort();
    ASSERT_GT(callersPort, 0) << callerCall_->Output();
    call_ = ConnectedCall();
    caller_.Start([callersPort] { return callersPort; });
    operator_.Start([this] { return phoneMedia_.LastSourcePort(); });
    third_.Start([this] { return thirdMedia_.LastSourcePort(); });

    line103_->SetupTransfer(call_);
    ASSERT_TRUE(WaitUntil([&] { return line103_->GetCallIsPendTransfer(call_); }));
    const CORBA::Long consult = line103_->GetConsultCallHandle(call_);
    ASSERT_GT(consult, 0);
    line103_->Dial(consult, "104", 0);
    ASSERT_TRUE(WaitUntil([&] { return line103_->GetCallIsConnected(consult); }, 10s)) << Exchange("status");
    line103_->CompleteTransfer(consult, true);
    ASSERT_TRUE(WaitUntil([&] { return listener103_->SawAny(::Conferenced); }, 10s))
        << CORBA::String_var(line103_->GetLastError()).in() << Log();
    EXPECT_EQ(listener103_->First(::Conferenced), call_);
    ASSERT_TRUE(WaitUntil([&] { return Log().find("talk in conference") != std::string::npos; })) << Log();
  }
  void TearDown() override {
    caller_.Stop();
    operator_.Stop();
    third_.Stop();
    SipRecording::TearDown();
  }
  // What each peer hears for a second and a half, from half a second on.
  std::vector<std::vector<std::int16_t>> Listen() {
    std::this_thread::sleep_for(500ms);
    const std::size_t callerHad = callerMedia_.ReceivedCount(), phoneHad = phoneMedia_.ReceivedCount(),
                      thirdHad = thirdMedia_.ReceivedCount();
    std::this_thread::sleep_for(1500ms);
    return {HeardSince(callerMedia_, callerHad), HeardSince(phoneMedia_, phoneHad),
            HeardSince(thirdMedia_, thirdHad)};
  }

  RtpPeer phoneMedia_, callerMedia_, thirdMedia_;
  std::unique_ptr<SpawnedProgram> phone_, phone104_, callerCall_;
  CORBA::Long call_ = 0;
  TalkingParty caller_{callerMedia_, 1000, kPcma}, operator_{phoneMedia_, 600, kPcmu}, third_{thirdMedia_, 400, kPcmu};
};

}  // namespace

TEST_F(SipConference, EachOfThreePartiesHearsTheTwoOthersNeverItselfAndTheTwoLeftGoOnWhenTheCallerHangsUp) {
  ASSERT_NO_FATAL_FAILURE(StartConference());
  const auto heard = Listen();
  EXPECT_GT(ToneLevel(heard[0], 600), 1000);
  EXPECT_GT(ToneLevel(heard[0], 400), 1000);
  EXPECT_LT(ToneLevel(heard[0], 1000), 200);
  EXPECT_GT(ToneLevel(heard[1], 1000), 1000);
  EXPECT_GT(ToneLevel(heard[1], 400), 1000);
  EXPECT_LT(ToneLevel(heard[1], 600), 200);
  EXPECT_GT(ToneLevel(heard[2], 1000), 1000);
  EXPECT_GT(ToneLevel(heard[2], 600), 1000);
  EXPECT_LT(ToneLevel(heard[2], 400), 200);

  // The queue log has the station's, the caller's and the consulted party's joining, keyed by the caller's call,
  // each with the parties it made.
  const std::string key = "'%-" + std::to_string(call_) + "'";
  const auto rows = [&](vantrel::TQueueEvent event) {
    return Crm("select group_concat(CallerPhoneNumber || ':' || Reason, ' ') from (select CallerPhoneNumber, Reason "
               "from tq_VantrelQueueLog where CallHandle like " + key + " and QueueEventType = " +
               std::to_string(static_cast<int>(event)) + " order by EventOrder)");
  };
  ASSERT_TRUE(WaitUntil([&] { return rows(vantrel::TQueueEvent::ConferenceJoined) == "103:1 5550111:2 104:3"; }))
      << rows(vantrel::TQueueEvent::ConferenceJoined) << Crm("select * from tq_VantrelQueueLog");
  EXPECT_EQ(rows(vantrel::TQueueEvent::ConferenceLeft), "");

  // The caller hangs up: the operator and the consulted party still hear each other.
  EXPECT_EQ(callerCall_->WaitForExit(30s), 0) << callerCall_->Output();
  caller_.Stop();
  ASSERT_TRUE(WaitUntil([&] { return Log().find("5550111 leaves conference") != std::string::npos; })) << Log();
  const auto after = Listen();
  EXPECT_GT(ToneLevel(after[1], 400), 1000);
  EXPECT_LT(ToneLevel(after[1], 600), 200);
  EXPECT_GT(ToneLevel(after[2], 600), 1000);
  EXPECT_LT(ToneLevel(after[2], 400), 200);
  EXPECT_TRUE(listener103_->SawAny(::Conferenced));
  // Its leaving, with its time in the conference (the caller talked 9 s, of them some before the conference).
  ASSERT_TRUE(WaitUntil([&] { return rows(vantrel::TQueueEvent::ConferenceLeft) == "5550111:2"; }))
      << rows(vantrel::TQueueEvent::ConferenceLeft);
  const long seconds = std::atol(Crm("select Seconds from tq_VantrelQueueLog where QueueEventType = " +
                                     std::to_string(static_cast<int>(vantrel::TQueueEvent::ConferenceLeft))).c_str());
  EXPECT_GT(seconds, 0);
  EXPECT_LE(seconds, 9);
}

TEST_F(SipConference, WhenTheOperatorHangsUpTheCallerAndTheConsultedPartyTalkOn) {
  ASSERT_NO_FATAL_FAILURE(StartConference());
  Exchange("drop 103");
  // The conference is over for all three: each one's leaving is in the queue log, the station's last.
  const auto left = [&] {
    return Crm("select group_concat(CallerPhoneNumber || ':' || Reason, ' ') from (select CallerPhoneNumber, Reason "
               "from tq_VantrelQueueLog where QueueEventType = " +
               std::to_string(static_cast<int>(vantrel::TQueueEvent::ConferenceLeft)) + " order by EventOrder)");
  };
  EXPECT_TRUE(WaitUntil([&] {
    const std::string rows = left();
    return (rows == "5550111:2 104:1 103:0" || rows == "104:2 5550111:1 103:0");
  })) << left();
  // The operator's phone is hung up; the two others are connected to each other.
  EXPECT_EQ(phone_->WaitForExit(10s), 0) << phone_->Output();
  operator_.Stop();
  ASSERT_TRUE(WaitUntil([&] { return Log().find("conference") != std::string::npos &&
                                     Log().find(" ends; 2 parties stay") != std::string::npos; }))
      << Log();
  EXPECT_TRUE(WaitUntil([&] { return PartyShows("5550111", "CONNECTED with 104"); })) << Exchange("status");
  const auto heard = Listen();
  EXPECT_GT(ToneLevel(heard[0], 400), 1000);
  EXPECT_LT(ToneLevel(heard[0], 1000), 200);
  EXPECT_GT(ToneLevel(heard[2], 1000), 1000);
  EXPECT_LT(ToneLevel(heard[2], 400), 200);
}

TEST_F(SipConference, AFourthPartyConsultedFromTheConferenceJoinsItAndEachOfFourHearsTheThreeOthersNeverItself) {
  extraStation_ = "105";
  RtpPeer fourthMedia;
  TalkingParty fourth(fourthMedia, 1400, kPcmu);
  ASSERT_NO_FATAL_FAILURE(StartConference(20000));
  auto phone105 = RegisteredPhone("105", fourthMedia);
  ASSERT_FALSE(HasFailure());
  // The operator consults 105 from the conference call and conferences again.
  CORBA::Long conference = 0;
  ASSERT_TRUE(WaitUntil([&] {
    for (CORBA::Long i = 0; i < line103_->GetCallsCount(); ++i) {
      const CORBA::Long candidate = line103_->GetCall(i);
      if (line103_->GetCallIsConnected(candidate)) conference = candidate;
    }
    return conference != 0;
  }));
  line103_->SetupTransfer(conference);
  ASSERT_TRUE(WaitUntil([&] { return line103_->GetCallIsPendTransfer(conference); })) << Exchange("status");
  const CORBA::Long consult = line103_->GetConsultCallHandle(conference);
  ASSERT_GT(consult, 0);
  line103_->Dial(consult, "105", 0);
  ASSERT_TRUE(WaitUntil([&] { return line103_->GetCallIsConnected(consult); }, 10s)) << Exchange("status");
  fourth.Start([&] { return fourthMedia.LastSourcePort(); });
  line103_->CompleteTransfer(consult, true);
  ASSERT_TRUE(WaitUntil([&] { return Log().find("105 joins conference") != std::string::npos; }, 10s))
      << CORBA::String_var(line103_->GetLastError()).in() << Log();
  EXPECT_TRUE(WaitUntil([&] { return line103_->GetCallIsConnected(conference); })) << Exchange("status");

  std::this_thread::sleep_for(500ms);
  const std::vector<RtpPeer*> peers = {&callerMedia_, &phoneMedia_, &thirdMedia_, &fourthMedia};
  const std::vector<double> tones = {1000, 600, 400, 1400};
  std::vector<std::size_t> had;
  for (RtpPeer* peer : peers) had.push_back(peer->ReceivedCount());
  std::this_thread::sleep_for(1500ms);
  for (std::size_t listener = 0; listener < peers.size(); ++listener) {
    const auto heard = HeardSince(*peers[listener], had[listener]);
    for (std::size_t talker = 0; talker < tones.size(); ++talker) {
      if (talker == listener)
        EXPECT_LT(ToneLevel(heard, tones[talker]), 200) << "party " << listener << " hears itself";
      else
        EXPECT_GT(ToneLevel(heard, tones[talker]), 1000) << "party " << listener << " does not hear " << tones[talker];
    }
  }
  // Its joining in the queue log, the fourth party of the same conference.
  EXPECT_TRUE(WaitUntil([&] {
    return Crm("select CallerPhoneNumber || ':' || Reason from tq_VantrelQueueLog where QueueEventType = " +
               std::to_string(static_cast<int>(vantrel::TQueueEvent::ConferenceJoined)) + " and CallHandle like '%-" +
               std::to_string(call_) + "' and CallerPhoneNumber = '105'") == "105:4";
  })) << Crm("select * from tq_VantrelQueueLog");
  fourth.Stop();
}
