// What a SIP trunk caller hears while the server holds it: the greeting's audio, then its place in line, then the
// music, each a prompt of its own pitch so that the frames tell which one arrived (SIPp as the trunk caller, its
// media at an RTP peer of the test).
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>
#include <numbers>
#include <sstream>

#include "HostClient.h"
#include "RtpPeer.h"
#include "SipHostSetup.h"
#include "SpawnedProgram.h"
#include "Vantrel.hh"
#include "support/WavSound.h"

using namespace std::chrono_literals;

namespace {

constexpr int kPcmu = 0;

std::string ReadText(const std::filesystem::path& path) {
  std::stringstream text;
  text << std::ifstream(path).rdbuf();
  return text.str();
}

// The pitch of a 20 ms µ-law frame from its sign changes (the sign is the top bit of every code).
int PitchOf(const std::vector<std::uint8_t>& frame) {
  int changes = 0;
  for (std::size_t i = 1; i < frame.size(); ++i) changes += ((frame[i] ^ frame[i - 1]) & 0x80) != 0 ? 1 : 0;
  return changes * 25;  // changes / 2 per period, 50 frames a second
}

class CallerExperienceSip : public ::testing::Test {
 protected:
  void Tone(const std::string& file, double hertz, int milliseconds) {
    vantrel::TWavSound sound{8000, std::vector<std::int16_t>(static_cast<std::size_t>(8 * milliseconds))};
    for (std::size_t i = 0; i < sound.samples.size(); ++i)
      sound.samples[i] = static_cast<std::int16_t>(8000 * std::sin(2 * std::numbers::pi * hertz * (i + 0.5) / 8000));
    std::ofstream(host_.IniFolder() / file, std::ios::binary) << vantrel::WavBytes(sound);
  }
  void SetUp() override {
    sipPort_ = FreeLoopbackPort();
    trunkPort_ = FreeLoopbackPort();
    TSipHostSetup{sipPort_, trunkPort_, "37000-37199", 8, "MediaTimeout=0\n"}.Write(host_.IniFolder());
    std::ofstream(host_.IniFolder() / "Settings.ini", std::ios::app) << "[Prompts]\nMusic=music.wav\n";
    std::filesystem::create_directories(host_.IniFolder() / "Prompts");
    std::ofstream(host_.IniFolder() / "Prompts" / "prompts.txt")
        << "welcome=Welcome\ncaller-number=You are caller\n1=one\nmenu=For support press 2\n";
    Tone("Prompts/menu.wav", 2000, 1000);
    Tone("Prompts/welcome.wav", 500, 1000);
    Tone("Prompts/caller-number.wav", 1000, 600);
    Tone("Prompts/1.wav", 1500, 400);
    Tone("music.wav", 250, 2000);
    const std::string crm = std::string(VANTREL_CRM_PATH) + " --connection 'Provider=SQLite;Data Source=crm.sqlite3'" +
                            " --base '" + host_.IniFolder().string() + "' > /dev/null";
    ASSERT_EQ(std::system(crm.c_str()), 0);
    {
      CrmFile file(host_.IniFolder() / "crm.sqlite3");
      ASSERT_EQ(sqlite3_exec(file.Handle(), "insert into tq_ContactInGroup (Contact_id, Group_id) values (11, 500)",
                             nullptr, nullptr, nullptr),
                SQLITE_OK);
    }
    std::ofstream(host_.IniFolder() / "Rules.ini") << RulesIni();
    std::ofstream(host_.IniFolder() / "Lines.ini")
        << "[Lines_Items]\nCount=1\nItemID=0\n[Lines_0]\nID=0\nOrder=0\nName=Trunk 101\nEnabled=1\nRuleID=1\n"
           "IsOuter=1\nUsingDND=0\n";
    MorePrompts();
    ASSERT_TRUE(host_.Start()) << host_.ErrorOutput();
    ASSERT_TRUE(host_.WaitForOutput("Loaded: 4 lines")) << host_.Output() << host_.ErrorOutput();
    ASSERT_TRUE(WaitUntil(
        [&] { return ReadServerLog(host_.IniFolder(), "Info").find("SIP: listening on") != std::string::npos; }));
    environment_ = ::Environment::_narrow(CORBA::Object_var(TestORB()->string_to_object(host_.Corbaloc().c_str())));
  }
  // Trunk line 101 lets callers wait for the support group, greeting them and telling their place.
  virtual std::string RulesIni() const {
    return "[Rules]\nName=Rules\nEnabled=1\nSystemPhoneNumber=\nRingTimeout=20\n[Rules_Items]\nCount=1\nItemID=1\n"
           "[Rules_0]\nID=1\nOrder=0\nName=Support\nEnabled=1\nMaxWait=60\nGreeting=welcome\nAnnouncePosition=1\n"
           "AnnounceEvery=30\n[Rules_0_Items]\nCount=1\nItemID=1\n"
           "[Rules_0_0]\nID=1\nOrder=0\nName=Support group\nEnabled=1\nActionType=3\nPhoneNumber=\nGroupID=500\n";
  }
  // Prompts a derived suite's rules speak beside the fixture's.
  virtual void MorePrompts() {}
  void TearDown() override { EXPECT_EQ(host_.Stop(), 0); }
  std::string Exchange(const std::string& command) { return host_.RunExchange(command).second; }
  std::string Crm(const std::string& sql) { return CrmFile(host_.IniFolder() / "crm.sqlite3").Text(sql); }
  // Frames of the pitch the peer has heard.
  static int FramesOf(const RtpPeer& media, int pitch) {
    int frames = 0;
    for (const auto& packet : media.Received())
      frames += packet.payloadType == kPcmu && std::abs(PitchOf(packet.payload) - pitch) <= 50 ? 1 : 0;
    return frames;
  }
  // Operator 11 at 103, paused: the group's one member, so a caller waits.
  ::Operator_ptr SeatPausedOperatorAt103() {
    ::Operators_var operators = environment_->GetOperators();
    ::Operator_var anna = ::Operator::_narrow(::ContainerItem_var(operators->CreateItem(true)));
    anna->SetID(11);
    anna->SetLine(::Line_var(::Line::_narrow(
        ::ContainerItem_var(::Lines_var(environment_->GetLines())->GetItemByDevicePhoneNumber("103")))));
    anna->SetStatus(::OperatorPause);
    return anna._retn();
  }
  // SIPp at the trunk's address running the scenario, its media at the peer, with further options.
  std::unique_ptr<SpawnedProgram> AtTrunk(const std::string& scenario, RtpPeer& media,
                                          const std::vector<std::string>& more) {
    std::vector<std::string> command = {"/usr/bin/sipp",
                                        "127.0.0.1:" + std::to_string(sipPort_),
                                        "-sf",
                                        std::string(VANTREL_SOURCE_DIR) + "/tests/sip/" + scenario,
                                        "-i",
                                        "127.0.0.1",
                                        "-p",
                                        std::to_string(trunkPort_),
                                        "-m",
                                        "1",
                                        "-nostdin",
                                        "-timeout",
                                        "40s",
                                        "-timeout_error",
                                        "-key",
                                        "rtp_ip",
                                        "127.0.0.1",
                                        "-key",
                                        "rtp_port",
                                        std::to_string(media.Port()),
                                        "-key",
                                        "law",
                                        std::to_string(kPcmu)};
    command.insert(command.end(), more.begin(), more.end());
    return std::make_unique<SpawnedProgram>(command);
  }
  // A SIPp caller from the trunk to 101 that stays on the line, its media at the peer; the relay's port it was
  // given is written to the note.
  std::unique_ptr<SpawnedProgram> CallFromTrunk(const std::string& number, RtpPeer& media,
                                                const std::filesystem::path& note) {
    return AtTrunk("caller-stays.xml", media,
                   {"-t", "u1", "-s", "101", "-key", "caller", number, "-key", "media_note", note.string()});
  }

  HostProcess host_;
  int sipPort_ = 0, trunkPort_ = 0;
  ::Environment_var environment_;
};

}  // namespace

TEST_F(CallerExperienceSip, ATrunkCallerHearsTheGreetingThenItsPlaceThenTheMusic) {
  // The one member of the group sits at 103, paused: the caller waits.
  SeatPausedOperatorAt103();
  RtpPeer media;
  const auto note = host_.IniFolder() / "caller-media-port";
  const auto caller = CallFromTrunk("5550140", media, note);
  ASSERT_TRUE(WaitUntil([&] { return ReadText(note).size() > 8; }, 10s)) << "no answer";
  // The runs of frames heard, each as its pitch (the nearest of the prompts' and the music's) and its length.
  const auto runs = [&] {
    std::vector<std::pair<int, int>> heard;
    for (const auto& packet : media.Received()) {
      if (packet.payloadType != kPcmu || packet.payload.size() != 160) continue;
      int pitch = 0;
      for (const int known : {500, 1000, 1500, 250}) {
        if (std::abs(PitchOf(packet.payload) - known) <= 50) pitch = known;
      }
      if (heard.empty() || heard.back().first != pitch) heard.emplace_back(pitch, 0);
      ++heard.back().second;
    }
    return heard;
  };
  // The greeting (500 Hz, 50 frames), "caller number" (1000 Hz, 30 frames), "one" (1500 Hz, 20 frames), then the
  // music (250 Hz). Between two prompts the music may come in for a tick of the line's (100 ms, five frames).
  const auto order = [&] {
    std::vector<int> said;
    for (const auto& [pitch, frames] : runs()) {
      if (pitch == 250 && frames <= 5 && said.size() == 1) continue;
      said.push_back(pitch == 0 ? -frames : pitch);
    }
    return said;
  };
  ASSERT_TRUE(WaitUntil(
      [&] {
        const auto heard = runs();
        return heard.size() >= 4 && heard.back().first == 250 && heard.back().second >= 10;
      },
      10s));
  EXPECT_EQ(order(), (std::vector<int>{500, 1000, 1500, 250})) << [&] {
    std::string text;
    for (const auto& [pitch, frames] : runs()) text += std::to_string(pitch) + "x" + std::to_string(frames) + " ";
    return text;
  }();
  const auto heard = runs();
  EXPECT_GE(heard.front().second, 50);  // the whole greeting
  EXPECT_NE(Exchange("status").find("outside 5550140 CONNECTED with 101 hearing music"), std::string::npos)
      << Exchange("status");
  Exchange("hangup");
  EXPECT_EQ(caller->WaitForExit(10s), 0) << caller->Output();
}

namespace {

// Trunk line 101's rule offers a menu; digit 2 chooses the support rule, whose callers wait and hear their place.
class CallerMenuSip : public CallerExperienceSip {
 protected:
  std::string RulesIni() const override {
    return "[Rules]\nName=Rules\nEnabled=1\nSystemPhoneNumber=\nRingTimeout=20\n[Rules_Items]\nCount=2\nItemID=2\n"
           "[Rules_0]\nID=1\nOrder=0\nName=Front desk\nEnabled=1\nMenu=menu\nMenu2=2\nMenuTimeout=30\n"
           "[Rules_0_Items]\nCount=1\nItemID=1\n"
           "[Rules_0_0]\nID=1\nOrder=0\nName=Front group\nEnabled=1\nActionType=3\nPhoneNumber=\nGroupID=500\n"
           "[Rules_1]\nID=2\nOrder=1\nName=Support\nEnabled=1\nMaxWait=60\nAnnouncePosition=1\nAnnounceEvery=30\n"
           "[Rules_1_Items]\nCount=1\nItemID=1\n"
           "[Rules_1_0]\nID=1\nOrder=0\nName=Support group\nEnabled=1\nActionType=3\nPhoneNumber=\nGroupID=500\n";
  }
};

}  // namespace

TEST_F(CallerMenuSip, ATrunkCallerHearsTheMenuAndItsKeyedDigitChoosesTheRuleWhosePlaceInLineFollows) {
  SeatPausedOperatorAt103();
  RtpPeer media;
  const auto note = host_.IniFolder() / "caller-media-port";
  const auto caller = CallFromTrunk("5550141", media, note);
  ASSERT_TRUE(WaitUntil([&] { return ReadText(note).size() > 8; }, 10s)) << "no answer";
  const int relayPort = std::atoi(ReadText(note).c_str() + 8);  // "m=audio PORT"
  ASSERT_GT(relayPort, 0) << ReadText(note);
  // The pitches heard in order, runs of the music or of silence left out.
  const auto pitches = [&] {
    std::vector<int> heard;
    for (const auto& packet : media.Received()) {
      if (packet.payloadType != kPcmu || packet.payload.size() != 160) continue;
      for (const int known : {2000, 1000, 1500}) {
        if (std::abs(PitchOf(packet.payload) - known) <= 50 && (heard.empty() || heard.back() != known))
          heard.push_back(known);
      }
    }
    return heard;
  };
  const auto framesOf = [&](int pitch) { return FramesOf(media, pitch); };
  ASSERT_TRUE(WaitUntil([&] { return framesOf(2000) >= 10; }, 10s)) << "no menu heard";
  media.SendDigit(relayPort, 101, 2);  // keyed while the menu plays
  ASSERT_TRUE(WaitUntil([&] { return pitches().size() >= 3; }, 10s));
  EXPECT_EQ(pitches(), (std::vector<int>{2000, 1000, 1500}));
  EXPECT_LT(framesOf(2000), 50);  // the menu stopped at the digit
  EXPECT_EQ(CrmFile(host_.IniFolder() / "crm.sqlite3")
                .Text("select Reason || ' ' || Rule_id from tq_VantrelQueueLog where QueueEventType = 18"),
            "2 2");
  Exchange("hangup");
  EXPECT_EQ(caller->WaitForExit(10s), 0) << caller->Output();
}

namespace {

// Trunk line 101's support rule offers a callback after each place announcement.
class CallbackSip : public CallerExperienceSip {
 protected:
  std::string RulesIni() const override {
    return "[Rules]\nName=Rules\nEnabled=1\nSystemPhoneNumber=\nRingTimeout=20\n[Rules_Items]\nCount=1\nItemID=1\n"
           "[Rules_0]\nID=1\nOrder=0\nName=Support\nEnabled=1\nMaxWait=60\nAnnouncePosition=1\nAnnounceEvery=2\n"
           "Callback=1\n[Rules_0_Items]\nCount=1\nItemID=1\n"
           "[Rules_0_0]\nID=1\nOrder=0\nName=Support group\nEnabled=1\nActionType=3\nPhoneNumber=\nGroupID=500\n";
  }
  void MorePrompts() override {
    std::ofstream(host_.IniFolder() / "Prompts" / "prompts.txt", std::ios::app)
        << "callback-offer=Press 1 to be called back, or stay on the line\ncallback-confirm=We will call you back\n";
    Tone("Prompts/callback-offer.wav", 1700, 400);
    Tone("Prompts/callback-confirm.wav", 1900, 800);
  }
};

}  // namespace

TEST_F(CallbackSip, ATrunkCallerWhoKeys1IsCalledBackThroughTheTrunkOnceTheOperatorHasAnswered) {
  ::Operator_var anna = SeatPausedOperatorAt103();
  RtpPeer media;
  const auto note = host_.IniFolder() / "caller-media-port";
  const auto caller = CallFromTrunk("5550142", media, note);
  ASSERT_TRUE(WaitUntil([&] { return ReadText(note).size() > 8; }, 10s)) << "no answer";
  const int relayPort = std::atoi(ReadText(note).c_str() + 8);  // "m=audio PORT"
  // The offer follows the place; the caller keys 1 (RFC 4733) while it plays, hears the confirmation, and the
  // server hangs up.
  ASSERT_TRUE(WaitUntil([&] { return FramesOf(media, 1700) >= 5; }, 15s)) << Exchange("status");
  media.SendDigit(relayPort, 101, 1);
  ASSERT_TRUE(WaitUntil([&] { return FramesOf(media, 1900) >= 20; }, 10s)) << Exchange("status");
  EXPECT_EQ(caller->WaitForExit(15s), 0) << caller->Output();
  const auto callback = [&] {
    return Crm(
        "select State || ' ' || Attempts from tq_VantrelCallback where CallerPhoneNumber = '5550142' order by "
        "EventOrder desc limit 1");
  };
  ASSERT_TRUE(WaitUntil([&] { return callback() == "Waiting 0"; })) << callback();

  // Anna gets ready: her station rings first; once she picks up, the caller's number is called through the trunk
  // and the caller's phone there answers.
  RtpPeer phoneMedia;
  const auto phone = AtTrunk("phone.xml", phoneMedia, {});
  anna->SetStatus(::OperatorReady);
  ASSERT_TRUE(WaitUntil([&] { return Exchange("status").find("103 OFFERING") != std::string::npos; }, 10s))
      << Exchange("status");
  Exchange("pickup 103");
  ASSERT_TRUE(WaitUntil([&] { return callback() == "Done 1"; }, 15s)) << callback() << Exchange("status");
  EXPECT_NE(Exchange("status").find("5550142 CONNECTED with 103"), std::string::npos) << Exchange("status");
  EXPECT_EQ(Crm("select count(*) from tq_VantrelQueueLog where QueueEventType = 29"), "1");
  Exchange("hangup");
  EXPECT_EQ(phone->WaitForExit(15s), 0) << phone->Output();
}
