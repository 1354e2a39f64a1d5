// Calls on record with real SIP user agents: SIPp as the trunk caller and the operator's phone, each party's media
// a tone of its own sent from a peer on loopback, and the WAV files the server writes read back.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <thread>

#include "HostClient.h"
#include "RtpPeer.h"
#include "SipHostSetup.h"
#include "SpawnedProgram.h"
#include "TalkingParty.h"
#include "Tones.h"
#include "Vantrel.hh"
#include "telephony/sip/G711.h"

using namespace std::chrono_literals;
using vantrel::telephony::Decode;
using vantrel::telephony::Encode;

namespace {

constexpr const char* kSipp = "/usr/bin/sipp";
constexpr int kPcmu = 0;
constexpr int kPcma = 8;

struct Wav {
  std::uint32_t dataSize = 0;
  std::vector<std::int16_t> left, right;
  double Seconds() const { return static_cast<double>(left.size()) / 8000; }
};

Wav ReadWav(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  Wav wav;
  if (bytes.size() < 44 || bytes.compare(0, 4, "RIFF") != 0 || bytes.compare(36, 4, "data") != 0) return wav;
  const auto at = [&](std::size_t i) { return static_cast<std::uint8_t>(bytes[i]); };
  wav.dataSize = at(40) | (at(41) << 8) | (at(42) << 16) | (static_cast<std::uint32_t>(at(43)) << 24);
  for (std::size_t i = 44; i + 4 <= std::min<std::size_t>(bytes.size(), 44 + wav.dataSize); i += 4) {
    wav.left.push_back(static_cast<std::int16_t>(at(i) | (at(i + 1) << 8)));
    wav.right.push_back(static_cast<std::int16_t>(at(i + 2) | (at(i + 3) << 8)));
  }
  return wav;
}

std::vector<std::int16_t> Slice(const std::vector<std::int16_t>& samples, double from, double to) {
  const auto first = static_cast<std::size_t>(std::max(0.0, from) * 8000);
  const auto last = std::min(samples.size(), static_cast<std::size_t>(std::max(0.0, to) * 8000));
  return first < last ? std::vector<std::int16_t>(samples.begin() + static_cast<std::ptrdiff_t>(first),
                                                  samples.begin() + static_cast<std::ptrdiff_t>(last))
                      : std::vector<std::int16_t>();
}

// The longest run of silent 20 ms frames in the channel, in seconds.
double LongestSilence(const std::vector<std::int16_t>& samples) {
  std::size_t run = 0, longest = 0;
  for (std::size_t frame = 0; frame + 160 <= samples.size(); frame += 160) {
    const bool silent = std::all_of(samples.begin() + static_cast<std::ptrdiff_t>(frame),
                                    samples.begin() + static_cast<std::ptrdiff_t>(frame + 160),
                                    [](std::int16_t sample) { return sample == 0; });
    run = silent ? run + 1 : 0;
    longest = std::max(longest, run);
  }
  return static_cast<double>(longest) * 0.02;
}

class SipRecording : public ::testing::Test {
 protected:
  // Trunk line 101 routes every caller to 103, whose phone registers; settings are further Settings.ini lines.
  void Start(bool lineRecords, const std::string& settings = {}) {
    sipPort_ = FreeLoopbackPort();
    trunkPort_ = FreeLoopbackPort();
    phonePort_ = FreeLoopbackPort();
    TSipHostSetup{sipPort_, trunkPort_, "35000-35999"}.Write(host_.IniFolder());
    TSipHostSetup::WriteRouteTo103(host_.IniFolder());
    std::ofstream(host_.IniFolder() / "Settings.ini", std::ios::app) << settings;
    if (lineRecords) {
      std::ofstream(host_.IniFolder() / "Lines.ini")
          << "[Lines_Items]\nCount=2\nItemID=2\n[Lines_0]\nID=0\nOrder=0\nName=Trunk 101\nEnabled=1\nRuleID=1\n"
             "IsOuter=1\nUsingDND=0\n[Lines_1]\nID=2\nOrder=1\nName=Seat 103\nEnabled=1\nRuleID=0\nIsOuter=0\n"
             "UsingDND=0\nRecord=1\n";
    }
    ASSERT_TRUE(host_.Start()) << host_.ErrorOutput();
    ASSERT_TRUE(host_.WaitForOutput("Loaded: 4 lines")) << host_.Output() << host_.ErrorOutput();
    ASSERT_TRUE(WaitUntil([&] { return Log().find("SIP: listening on") != std::string::npos; })) << Log();
    CORBA::Object_var object = TestORB()->string_to_object(host_.Corbaloc().c_str());
    environment_ = ::Environment::_narrow(object);
    lines_ = environment_->GetLines();
    line103_ = ::Line::_narrow(::ContainerItem_var(lines_->GetItemByDevicePhoneNumber("103")));
    listener103_ = listeners_.Listen(line103_);
    ASSERT_EQ(Register(), 0);
  }
  void TearDown() override { EXPECT_EQ(host_.Stop(), 0); }

  std::string Log() { return ReadServerLog(host_.IniFolder(), "Info"); }
  std::string ErrorLog() { return ReadServerLog(host_.IniFolder(), "Error"); }
  std::string Crm(const std::string& sql) { return CrmFile(host_.IniFolder() / "crm.sqlite3").Text(sql); }
  std::string Exchange(const std::string& command) { return host_.RunExchange(command).second; }
  bool PartyShows(const std::string& a, const std::string& b) {
    std::istringstream status(Exchange("status"));
    for (std::string line; std::getline(status, line);) {
      if (line.find(a) != std::string::npos && line.find(b) != std::string::npos) return true;
    }
    return false;
  }

  std::unique_ptr<SpawnedProgram> Sipp(const std::string& scenario, int localPort,
                                       const std::vector<std::string>& options) {
    std::vector<std::string> command = {kSipp, "127.0.0.1:" + std::to_string(sipPort_),
                                        "-sf", std::string(VANTREL_SOURCE_DIR) + "/tests/sip/" + scenario,
                                        "-i", "127.0.0.1", "-p", std::to_string(localPort), "-m", "1",
                                        "-nostdin", "-timeout", "40s", "-timeout_error"};
    command.insert(command.end(), options.begin(), options.end());
    return std::make_unique<SpawnedProgram>(command);
  }
  int Register() {
    const auto credentials = host_.IniFolder() / "phone-103.csv";
    std::ofstream(credentials) << "SEQUENTIAL\n103;[authentication username=103 password=pw-103]\n";
    return Sipp("register.xml", phonePort_, {"-inf", credentials.string(), "-key", "expiry", "3600"})
        ->WaitForExit(20s);
  }
  std::unique_ptr<SpawnedProgram> AnsweringPhone(const RtpPeer& media) {
    return Sipp("phone.xml", phonePort_,
                {"-key", "rtp_ip", "127.0.0.1", "-key", "rtp_port", std::to_string(media.Port()), "-key", "law",
                 std::to_string(kPcmu)});
  }
  std::unique_ptr<SpawnedProgram> Caller(const std::string& caller, const RtpPeer& media, int talkMs) {
    return Sipp("caller.xml", trunkPort_,
                {"-t", "u1", "-s", "101", "-key", "caller", caller, "-key", "rtp_ip", "127.0.0.1", "-key", "rtp_port",
                 std::to_string(media.Port()), "-key", "law", std::to_string(kPcma), "-key", "media_note",
                 MediaNote(), "-d", std::to_string(talkMs)});
  }
  std::string MediaNote() const { return (host_.IniFolder() / "caller-media-port").string(); }
  int CallersRelayPort() {
    int port = 0;
    WaitUntil([&] {
      std::ifstream note(MediaNote());
      std::string text;
      std::getline(note, text);  // "m=audio PORT"
      port = text.size() > 8 ? std::atoi(text.c_str() + 8) : 0;
      return port > 0;
    });
    return port;
  }
  // The operator's call at 103 once it is connected with the caller.
  CORBA::Long ConnectedCall() {
    EXPECT_TRUE(WaitUntil([&] { return PartyShows("outside", "CONNECTED with 103"); })) << Exchange("status");
    EXPECT_TRUE(WaitUntil([&] { return listener103_->SawAny(::Connected); }));
    return listener103_->First(::Connected);
  }
  std::vector<std::filesystem::path> Recordings() {
    std::vector<std::filesystem::path> files;
    std::error_code error;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(host_.IniFolder() / "Recordings", error))
      if (entry.path().extension() == ".wav") files.push_back(entry.path());
    return files;
  }

  HostProcess host_;
  int sipPort_ = 0, trunkPort_ = 0, phonePort_ = 0;
  ::Environment_var environment_;
  ::Lines_var lines_;
  ::Line_var line103_;
  ClientListeners listeners_;
  RecordingLineEvents* listener103_ = nullptr;
};

}  // namespace

TEST_F(SipRecording, ARecordingLinesCallHasTheCallerLeftTheOperatorRightForTheTalkTimeAndAPauseIsSilence) {
  ASSERT_NO_FATAL_FAILURE(Start(true));
  RtpPeer phoneMedia, callerMedia;
  auto phone = AnsweringPhone(phoneMedia);
  auto callerCall = Caller("5550111", callerMedia, 5000);
  const int callersPort = CallersRelayPort();
  ASSERT_GT(callersPort, 0) << callerCall->Output();
  // The phone hears nothing while it rings; the mix reaches it from the moment the recording starts.
  ASSERT_TRUE(WaitUntil([&] { return phoneMedia.ReceivedCount() > 0; }, 10s));
  const auto connectedAt = std::chrono::steady_clock::now();
  const CORBA::Long call = ConnectedCall();
  TalkingParty caller(callerMedia, 1000, kPcma), operatorAt103(phoneMedia, 600, kPcmu);
  caller.Start([&] { return callersPort; });
  operatorAt103.Start([&] { return phoneMedia.LastSourcePort(); });
  // Recorded from the answer: a second talking, a second paused, then talking until the caller hangs up.
  ASSERT_TRUE(WaitUntil([&] { return !Recordings().empty(); })) << Log();
  const std::size_t phoneHad = phoneMedia.ReceivedCount(), callerHad = callerMedia.ReceivedCount();
  std::this_thread::sleep_until(connectedAt + 1500ms);
  CORBA::String_var paused = line103_->PauseRecording(call, true);
  EXPECT_STREQ(paused.in(), "");
  std::this_thread::sleep_until(connectedAt + 2500ms);
  CORBA::String_var resumed = line103_->PauseRecording(call, false);
  EXPECT_STREQ(resumed.in(), "");
  EXPECT_EQ(callerCall->WaitForExit(30s), 0) << callerCall->Output();
  const double talked = std::chrono::duration<double>(std::chrono::steady_clock::now() - connectedAt).count();
  caller.Stop();
  operatorAt103.Stop();
  EXPECT_EQ(phone->WaitForExit(10s), 0) << phone->Output();
  // Each heard the other through the mixer, never itself.
  const auto phoneHeard = HeardSince(phoneMedia, phoneHad), callerHeard = HeardSince(callerMedia, callerHad);
  EXPECT_GT(ToneLevel(phoneHeard, 1000), 1000);
  EXPECT_LT(ToneLevel(phoneHeard, 600), 200);
  EXPECT_GT(ToneLevel(callerHeard, 600), 1000);
  EXPECT_LT(ToneLevel(callerHeard, 1000), 200);

  ASSERT_TRUE(WaitUntil([&] { return Log().find("Recording: call " + std::to_string(call) + " of line") !=
                                         std::string::npos &&
                                     Log().find(" ended, ") != std::string::npos; }))
      << Log();
  const auto files = Recordings();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].parent_path().parent_path(), host_.IniFolder() / "Recordings");
  EXPECT_EQ(files[0].parent_path().filename().string().size(), 10u);  // the day, yyyy-mm-dd
  EXPECT_NE(files[0].filename().string().find("-" + std::to_string(call) + ".wav"), std::string::npos);
  struct stat mode {};
  ASSERT_EQ(::stat(files[0].c_str(), &mode), 0);
  EXPECT_EQ(mode.st_mode & 0777, 0600u);
  Wav wav;
  ASSERT_TRUE(WaitUntil([&] {
    wav = ReadWav(files[0]);
    return wav.Seconds() > 0 && 44 + wav.dataSize == std::filesystem::file_size(files[0]);
  }));
  // The talk time, nothing of the ringing before it.
  EXPECT_NEAR(wav.Seconds(), talked, 0.5);
  EXPECT_GT(ToneLevel(Slice(wav.left, 0.3, 1.3), 1000), 2000);
  EXPECT_LT(ToneLevel(Slice(wav.left, 0.3, 1.3), 600), 300);
  EXPECT_GT(ToneLevel(Slice(wav.right, 0.3, 1.3), 600), 2000);
  EXPECT_LT(ToneLevel(Slice(wav.right, 0.3, 1.3), 1000), 300);
  EXPECT_GT(ToneLevel(Slice(wav.left, 2.8, wav.Seconds() - 0.3), 1000), 2000);
  EXPECT_GT(ToneLevel(Slice(wav.right, 2.8, wav.Seconds() - 0.3), 600), 2000);
  EXPECT_NEAR(LongestSilence(wav.left), 1.0, 0.2);
  EXPECT_NEAR(LongestSilence(wav.right), 1.0, 0.2);
  // Its row, keyed as the call log keys the call.
  const std::string relative = files[0].parent_path().filename().string() + "/" + files[0].filename().string();
  ASSERT_TRUE(WaitUntil([&] { return !Crm("select FileName from tq_VantrelRecording").empty(); })) << Log();
  EXPECT_EQ(Crm("select FileName || ' ' || LinePhoneNumber || ' ' || PausedSeconds from tq_VantrelRecording"),
            relative + " 103 1");
  EXPECT_NEAR(std::atof(Crm("select Seconds from tq_VantrelRecording").c_str()), talked, 1.5);  // whole seconds
  const std::string key = Crm("select CallHandle from tq_VantrelRecording");
  EXPECT_EQ(relative.substr(11), key + ".wav");
  EXPECT_NE(Crm("select count(*) from tq_VantrelLog where CallHandle = '" + key + "'"), "0");
  // The queue log tells the recording's start, pause, resumption and end, at the line and with its operator.
  const std::string kinds = "select group_concat(QueueEventType, ' ') from (select QueueEventType from "
                            "tq_VantrelQueueLog where CallHandle = '" + key + "' and QueueEventType >= 19 order by "
                            "EventOrder)";
  ASSERT_TRUE(WaitUntil([&] { return Crm(kinds) == "19 20 21 22"; })) << Crm(kinds);
  EXPECT_EQ(Crm("select LinePhoneNumber || ' ' || Reason from tq_VantrelQueueLog where CallHandle = '" + key +
                "' and QueueEventType = 22"),
            "103 1");
  EXPECT_NEAR(std::atof(Crm("select Seconds from tq_VantrelQueueLog where CallHandle = '" + key +
                            "' and QueueEventType = 22").c_str()),
              talked, 1.5);
}

TEST_F(SipRecording, RetentionRemovesTheRowsOfTheDaysItRemovesAndSaysHowMany) {
  const auto folder = host_.IniFolder() / "Recordings";
  std::filesystem::create_directories(folder / "2000-01-01");
  std::filesystem::create_directories(folder / "2099-12-31");
  std::ofstream(folder / "2000-01-01" / "old.wav") << "old";
  std::ofstream(folder / "2099-12-31" / "new.wav") << "new";
  {
    CrmFile crm(host_.IniFolder() / "crm.sqlite3");
    ASSERT_EQ(sqlite3_exec(crm.Handle(),
                           "create table tq_VantrelRecording (ID integer primary key autoincrement, CallHandle "
                           "varchar(40) not null, LinePhoneNumber varchar(64), Operator_id int, FileName varchar(255) "
                           "not null, StartTime datetime, Seconds int, PausedSeconds int, EventOrder int); "
                           "insert into tq_VantrelRecording (CallHandle, FileName, StartTime) values "
                           "('a', '2000-01-01/old.wav', '2000-01-01 10:00:00'), "
                           "('b', '2099-12-31/new.wav', '2099-12-31 10:00:00'), ('c', 'odd.wav', '2000-01-01');",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
  }
  ASSERT_NO_FATAL_FAILURE(Start(false, "[Recording]\nKeepDays=30\n"));
  ASSERT_TRUE(WaitUntil([&] { return Log().find("Recordings: removed 1 rows of days before ") != std::string::npos; }))
      << Log();
  EXPECT_NE(Log().find("Recordings: removed 1 of 2000-01-01, older than 30 days"), std::string::npos);
  EXPECT_EQ(Crm("select group_concat(FileName, ' ') from (select FileName from tq_VantrelRecording order by ID)"),
            "2099-12-31/new.wav odd.wav");
  EXPECT_FALSE(std::filesystem::exists(folder / "2000-01-01"));
  EXPECT_TRUE(std::filesystem::exists(folder / "2099-12-31" / "new.wav"));
}

TEST_F(SipRecording, OnDemandRecordingSaysClearlyWhatItCannotDo) {
  ASSERT_NO_FATAL_FAILURE(Start(false));
  CORBA::String_var answer = line103_->StartRecording(424242);
  EXPECT_STREQ(answer.in(), "no such call");
  RtpPeer phoneMedia, callerMedia;
  auto phone = AnsweringPhone(phoneMedia);
  auto callerCall = Caller("5550112", callerMedia, 3000);
  ASSERT_GT(CallersRelayPort(), 0) << callerCall->Output();
  const CORBA::Long call = ConnectedCall();
  // Not recorded unless asked.
  EXPECT_TRUE(Recordings().empty());
  answer = line103_->PauseRecording(call, true);
  EXPECT_STREQ(answer.in(), "the call is not being recorded");
  answer = line103_->StartRecording(call);
  EXPECT_STREQ(answer.in(), "");
  answer = line103_->StartRecording(call);
  EXPECT_STREQ(answer.in(), "the call is being recorded already");
  EXPECT_EQ(Recordings().size(), 1u);
  answer = line103_->StopRecording(call);
  EXPECT_STREQ(answer.in(), "");
  answer = line103_->StopRecording(call);
  EXPECT_STREQ(answer.in(), "the call is not being recorded");
  EXPECT_EQ(callerCall->WaitForExit(30s), 0) << callerCall->Output();
  EXPECT_EQ(phone->WaitForExit(10s), 0) << phone->Output();
  // A simulated call (102 has no phone) has no media to record.
  ::Line_var line102 = ::Line::_narrow(::ContainerItem_var(lines_->GetItemByDevicePhoneNumber("102")));
  RecordingLineEvents* listener102 = listeners_.Listen(line102);
  Exchange("call 102 from 5550113");
  ASSERT_TRUE(WaitUntil([&] { return PartyShows("outside 5550113", "102"); })) << Exchange("status");
  Exchange("pickup 102");
  ASSERT_TRUE(WaitUntil([&] { return PartyShows("outside 5550113", "CONNECTED with 102"); })) << Exchange("status");
  ASSERT_TRUE(WaitUntil([&] { return listener102->SawAny(::Connected); }));
  answer = line102->StartRecording(listener102->First(::Connected));
  EXPECT_STREQ(answer.in(), "the call has no media");
  Exchange("hangup 102");
}

TEST_F(SipRecording, AFolderThatCannotBeWrittenGivesOneErrorLineAndTheCallKeepsItsMedia) {
  // The folder named is a file: nothing can be made below it.
  ASSERT_NO_FATAL_FAILURE(Start(true, "[Recording]\nFolder=not-a-folder\n"));
  std::ofstream(host_.IniFolder() / "not-a-folder") << "a file";
  RtpPeer phoneMedia, callerMedia;
  auto phone = AnsweringPhone(phoneMedia);
  auto callerCall = Caller("5550114", callerMedia, 3000);
  const int callersPort = CallersRelayPort();
  ASSERT_GT(callersPort, 0) << callerCall->Output();
  ConnectedCall();
  TalkingParty caller(callerMedia, 1000, kPcma);
  caller.Start([&] { return callersPort; });
  const std::size_t phoneHad = phoneMedia.ReceivedCount();
  ASSERT_TRUE(WaitUntil([&] { return phoneMedia.ReceivedCount() > phoneHad + 50; }));
  EXPECT_GT(ToneLevel(HeardSince(phoneMedia, phoneHad), 1000), 1000);
  EXPECT_EQ(callerCall->WaitForExit(30s), 0) << callerCall->Output();
  caller.Stop();
  EXPECT_EQ(phone->WaitForExit(10s), 0) << phone->Output();
  const std::string errors = ErrorLog();
  std::size_t lines = 0;
  for (std::size_t at = errors.find("Recording not started"); at != std::string::npos;
       at = errors.find("Recording not started", at + 1))
    ++lines;
  EXPECT_EQ(lines, 1u) << errors;
  EXPECT_NE(errors.find("not-a-folder"), std::string::npos) << errors;
}

TEST_F(SipRecording, AHostKilledMidCallLeavesAPlayableRecordingOfAllButTheLastMoments) {
  ASSERT_NO_FATAL_FAILURE(Start(true));
  RtpPeer phoneMedia, callerMedia;
  auto phone = AnsweringPhone(phoneMedia);
  auto callerCall = Caller("5550115", callerMedia, 20000);
  const int callersPort = CallersRelayPort();
  ASSERT_GT(callersPort, 0) << callerCall->Output();
  ConnectedCall();
  TalkingParty caller(callerMedia, 1000, kPcma);
  caller.Start([&] { return callersPort; });
  ASSERT_TRUE(WaitUntil([&] { return !Recordings().empty(); })) << Log();
  const auto startedAt = std::chrono::steady_clock::now();
  const std::filesystem::path file = Recordings().front();
  ASSERT_TRUE(WaitUntil([&] { return ReadWav(file).Seconds() >= 3; }, 10s));
  host_.Kill();
  const double recorded = std::chrono::duration<double>(std::chrono::steady_clock::now() - startedAt).count();
  caller.Stop();
  const Wav wav = ReadWav(file);
  EXPECT_EQ(44 + wav.dataSize, std::filesystem::file_size(file));  // the header tells the truth
  EXPECT_GT(wav.Seconds(), recorded - 2.5);
  EXPECT_LE(wav.Seconds(), recorded + 0.5);
  EXPECT_GT(ToneLevel(Slice(wav.left, 0.5, wav.Seconds() - 0.2), 1000), 2000);
  // The next start ends what the killed run left; the test's end stops it as usual.
  ASSERT_TRUE(host_.Start()) << host_.ErrorOutput();
  callerCall->WaitForExit(30s);
  phone->WaitForExit(10s);
}

TEST_F(SipRecording, TheConsoleRecordsPausesResumesAndStopsTheOperatorsCall) {
  ASSERT_NO_FATAL_FAILURE(Start(false));
  // The console reads its commands from a pipe the test writes to.
  const std::filesystem::path input = host_.IniFolder() / "console-input";
  ASSERT_EQ(::mkfifo(input.c_str(), 0600), 0);
  const int commands = ::open(input.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(commands, 0);
  const auto type = [&](const std::string& line) {
    const std::string text = line + "\n";
    ASSERT_EQ(::write(commands, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  };
  SpawnedProgram console({"/bin/bash", "-c",
                          "exec " VANTREL_CONSOLE_PATH " --port " + std::to_string(host_.Port()) +
                              " --line 103 < " + input.string()});
  ASSERT_TRUE(console.WaitForOutput("Vantrel console")) << console.Output();
  type("login 2 103");
  ASSERT_TRUE(console.WaitForOutput("Logged in at 103")) << console.Output();
  RtpPeer phoneMedia, callerMedia;
  auto phone = AnsweringPhone(phoneMedia);
  auto callerCall = Caller("5550116", callerMedia, 4000);
  ASSERT_GT(CallersRelayPort(), 0) << callerCall->Output();
  // The console's operator's line has the console as its own listener now: the call is asked of the line.
  ASSERT_TRUE(WaitUntil([&] { return PartyShows("outside", "CONNECTED with 103"); })) << Exchange("status");
  CORBA::Long active = 0;
  ASSERT_TRUE(WaitUntil([&] { return (active = line103_->GetActiveCall()) != 0; }));
  const std::string call = std::to_string(active);
  type("record");
  EXPECT_TRUE(console.WaitForOutput("Recording call " + call)) << console.Output();
  type("record");
  EXPECT_TRUE(console.WaitForOutput("Not done: the call is being recorded already")) << console.Output();
  type("pause-record");
  EXPECT_TRUE(console.WaitForOutput("Paused recording call " + call)) << console.Output();
  type("pause-record off");
  EXPECT_TRUE(console.WaitForOutput("Recording again call " + call)) << console.Output();
  type("record stop");
  EXPECT_TRUE(console.WaitForOutput("Stopped recording call " + call)) << console.Output();
  EXPECT_EQ(Recordings().size(), 1u);
  type("quit");
  EXPECT_EQ(console.WaitForExit(10s), 0) << console.Output();
  ::close(commands);
  EXPECT_EQ(callerCall->WaitForExit(30s), 0) << callerCall->Output();
  EXPECT_EQ(phone->WaitForExit(10s), 0) << phone->Output();
}

namespace {

// The caller (1 kHz) routed to the operator at 103 (600 Hz), who consults 104 (400 Hz) and makes a conference of
// the three; each party talks from its own peer.
class SipConference : public SipRecording {
 protected:
  void StartConference() {
    ASSERT_NO_FATAL_FAILURE(Start(false));
    const int phone104Port = FreeLoopbackPort();
    const auto credentials = host_.IniFolder() / "phone-104.csv";
    std::ofstream(credentials) << "SEQUENTIAL\n104;[authentication username=104 password=pw-104]\n";
    // The server's nonce is the same for a second; a phone registered in the same second as 103's tries again.
    ASSERT_TRUE(WaitUntil(
        [&] {
          return Sipp("register.xml", phone104Port, {"-inf", credentials.string(), "-key", "expiry", "3600"})
                     ->WaitForExit(20s) == 0;
        },
        10s));
    phone_ = AnsweringPhone(phoneMedia_);
    phone104_ = Sipp("phone.xml", phone104Port,
                     {"-key", "rtp_ip", "127.0.0.1", "-key", "rtp_port", std::to_string(thirdMedia_.Port()), "-key",
                      "law", std::to_string(kPcmu)});
    callerCall_ = Caller("5550111", callerMedia_, 9000);
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
}

TEST_F(SipConference, WhenTheOperatorHangsUpTheCallerAndTheConsultedPartyTalkOn) {
  ASSERT_NO_FATAL_FAILURE(StartConference());
  Exchange("drop 103");
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
