// Calls on record with real SIP user agents: the recordings of lines, rules and operators, read back from the
// WAV files and the CRM (the host and parties: SipRecordingFixture.h).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "SipRecordingFixture.h"
#include "WebClient.h"
#include "database/CallLogRow.h"

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
  // The recording ends with the operator's leg, which the server ends after the caller's; a loaded machine may take
  // a moment for it.
  const double phoneLeft = std::chrono::duration<double>(std::chrono::steady_clock::now() - connectedAt).count();
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
  EXPECT_GE(wav.Seconds(), talked - 0.5);
  EXPECT_LE(wav.Seconds(), phoneLeft + 0.5);
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
  // (A table not made yet reads as "-".)
  const std::string row = "select FileName || ' ' || LinePhoneNumber || ' ' || PausedSeconds from tq_VantrelRecording";
  ASSERT_TRUE(WaitUntil([&] { return Crm(row) == relative + " 103 1"; })) << Crm(row) << Log();
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

TEST_F(SipRecording, ARuleThatRecordsHasEachCallItPutsThroughRecordedFromTheAnswerAndARuleThatDoesNotRecordsNone) {
  ASSERT_NO_FATAL_FAILURE(Start(false, {}, true));
  ::Rules_var rules = environment_->GetRules();
  ::Rule_var rule = ::Rule::_narrow(::ContainerItem_var(rules->GetItemByID(1)));
  ASSERT_TRUE(rule->GetRecordsCalls());
  RtpPeer phoneMedia, callerMedia;
  auto phone = AnsweringPhone(phoneMedia);
  auto callerCall = Caller("5550121", callerMedia, 3000);
  const int callersPort = CallersRelayPort();
  ASSERT_GT(callersPort, 0) << callerCall->Output();
  // Nothing of the ringing: the mix reaches the phone from the moment the recording starts, at its answer.
  ASSERT_TRUE(WaitUntil([&] { return phoneMedia.ReceivedCount() > 0; }, 10s));
  const auto connectedAt = std::chrono::steady_clock::now();
  const CORBA::Long call = ConnectedCall();
  TalkingParty caller(callerMedia, 1000, kPcma), operatorAt103(phoneMedia, 600, kPcmu);
  caller.Start([&] { return callersPort; });
  operatorAt103.Start([&] { return phoneMedia.LastSourcePort(); });
  EXPECT_EQ(callerCall->WaitForExit(30s), 0) << callerCall->Output();
  const double talked = std::chrono::duration<double>(std::chrono::steady_clock::now() - connectedAt).count();
  caller.Stop();
  operatorAt103.Stop();
  EXPECT_EQ(phone->WaitForExit(10s), 0) << phone->Output();
  const double phoneLeft = std::chrono::duration<double>(std::chrono::steady_clock::now() - connectedAt).count();
  // The operator's line keeps the recording: its row names 103 and the call as 103's call log keys it.
  EXPECT_NE(Log().find("Recording: call " + std::to_string(call) + " of line Seat 103 put through by a rule that "
                       "records"),
            std::string::npos)
      << Log();
  const auto files = Recordings();
  ASSERT_EQ(files.size(), 1u);
  Wav wav;
  ASSERT_TRUE(WaitUntil([&] {
    wav = ReadWav(files[0]);
    return wav.Seconds() > 0 && 44 + wav.dataSize == std::filesystem::file_size(files[0]);
  }));
  EXPECT_GE(wav.Seconds(), talked - 0.5);  // to the operator's leg's end, as above
  EXPECT_LE(wav.Seconds(), phoneLeft + 0.5);
  EXPECT_GT(ToneLevel(Slice(wav.left, 0.3, wav.Seconds() - 0.3), 1000), 2000);
  EXPECT_LT(ToneLevel(Slice(wav.left, 0.3, wav.Seconds() - 0.3), 600), 300);
  EXPECT_GT(ToneLevel(Slice(wav.right, 0.3, wav.Seconds() - 0.3), 600), 2000);
  EXPECT_LT(ToneLevel(Slice(wav.right, 0.3, wav.Seconds() - 0.3), 1000), 300);
  const std::string relative = files[0].parent_path().filename().string() + "/" + files[0].filename().string();
  const std::string row = "select FileName || ' ' || LinePhoneNumber || ' ' || PausedSeconds from tq_VantrelRecording";
  EXPECT_TRUE(WaitUntil([&] { return Crm(row) == relative + " 103 0"; })) << Crm(row) << Log();
  EXPECT_NE(relative.find("-" + std::to_string(call) + ".wav"), std::string::npos) << relative;

  // Saved with the rule's section; without it the rule's calls are put through unrecorded.
  ASSERT_TRUE(rules->SaveToIniFile((host_.IniFolder() / "Saved.ini").c_str(), "Rules"));
  std::stringstream saved;
  saved << std::ifstream(host_.IniFolder() / "Saved.ini").rdbuf();
  EXPECT_NE(saved.str().find("Record=1"), std::string::npos) << saved.str();
  rule->SetRecordsCalls(false);
  EXPECT_FALSE(rule->GetRecordsCalls());
  RtpPeer phoneMedia2, callerMedia2;
  auto phone2 = AnsweringPhone(phoneMedia2);
  auto callerCall2 = Caller("5550122", callerMedia2, 1500);
  ASSERT_TRUE(WaitUntil([&] { return PartyShows("outside 5550122", "CONNECTED with 103"); })) << Exchange("status");
  EXPECT_EQ(callerCall2->WaitForExit(30s), 0) << callerCall2->Output();
  EXPECT_EQ(phone2->WaitForExit(10s), 0) << phone2->Output();
  EXPECT_EQ(Recordings().size(), 1u);
  EXPECT_EQ(Crm("select count(*) from tq_VantrelRecording"), "1");
  ASSERT_TRUE(rules->SaveToIniFile((host_.IniFolder() / "Saved.ini").c_str(), "Rules"));
  std::stringstream resaved;
  resaved << std::ifstream(host_.IniFolder() / "Saved.ini").rdbuf();
  EXPECT_EQ(resaved.str().find("Record="), std::string::npos) << resaved.str();
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

TEST_F(SipRecording, TheOperatorRecordsAndPausesTheirOwnCallThroughTheGatewayAndNoOneElsesCall) {
  ASSERT_NO_FATAL_FAILURE(Start(false));
  ASSERT_TRUE(AddWebUser(host_.IniFolder(), "anna", "operator", "103", 1, "anna-secret"));
  ASSERT_TRUE(AddWebUser(host_.IniFolder(), "boris", "operator", "104", 2, "boris-secret"));
  const int webPort = FreeLoopbackPort();
  SpawnedProgram web({VANTREL_WEB_PATH, "--port", std::to_string(host_.Port()), "--web-port", std::to_string(webPort),
                      "--ini", host_.IniFolder().string()});
  ASSERT_TRUE(web.WaitForOutput("serving http://")) << web.Output();
  WebClient anna(webPort), boris(webPort);
  ASSERT_TRUE(anna.LogIn("anna", "anna-secret"));
  ASSERT_TRUE(boris.LogIn("boris", "boris-secret"));
  ASSERT_TRUE(WaitUntil([&] { return anna.Get("/api/lines/103").status == 200; }, 10s)) << web.Output();
  RtpPeer phoneMedia, callerMedia;
  auto phone = AnsweringPhone(phoneMedia);
  auto callerCall = Caller("5550123", callerMedia, 4000);
  ASSERT_GT(CallersRelayPort(), 0) << callerCall->Output();
  const CORBA::Long call = ConnectedCall();
  const std::string path = "/api/lines/103/calls/" + std::to_string(call) + "/record";
  const auto record = [&](WebClient& who, const std::string& target, const std::string& what) {
    return who.Post(target, {{"recording", what}});
  };
  // Another operator may not touch it, at 103 or through their own line.
  auto answer = record(boris, path, "start");
  EXPECT_EQ(answer.status, 403) << answer.body;
  answer = record(boris, "/api/lines/104/calls/" + std::to_string(call) + "/record", "start");
  EXPECT_EQ(answer.status, 404) << answer.body;
  EXPECT_TRUE(Recordings().empty());
  answer = record(anna, path, "now");
  EXPECT_EQ(answer.status, 400) << answer.body;
  answer = record(anna, path, "pause");
  EXPECT_EQ(answer.status, 409) << answer.body;
  EXPECT_EQ(answer.Json().value("error", ""), "Call " + std::to_string(call) + ": the call is not being recorded");
  // Her own call: started, paused, resumed, stopped; a second start is refused with the server's reason.
  answer = record(anna, path, "start");
  ASSERT_EQ(answer.status, 200) << answer.body;
  EXPECT_EQ(answer.Json().value("recording", ""), "start");
  EXPECT_EQ(Recordings().size(), 1u);
  answer = record(anna, path, "start");
  EXPECT_EQ(answer.status, 409) << answer.body;
  EXPECT_NE(answer.body.find("the call is being recorded already"), std::string::npos) << answer.body;
  EXPECT_EQ(record(anna, path, "pause").status, 200);
  EXPECT_EQ(record(anna, path, "resume").status, 200);
  EXPECT_EQ(record(anna, path, "stop").status, 200);
  const std::string key = "where QueueEventType >= " + std::to_string(static_cast<int>(vantrel::TQueueEvent::RecordingStarted)) +
                          " and QueueEventType <= " +
                          std::to_string(static_cast<int>(vantrel::TQueueEvent::RecordingStopped));
  EXPECT_TRUE(WaitUntil([&] { return Crm("select count(*) from tq_VantrelQueueLog " + key) == "4"; }))
      << Crm("select count(*) from tq_VantrelQueueLog " + key);
  EXPECT_EQ(callerCall->WaitForExit(30s), 0) << callerCall->Output();
  EXPECT_EQ(phone->WaitForExit(10s), 0) << phone->Output();
  EXPECT_EQ(Crm("select LinePhoneNumber from tq_VantrelRecording"), "103");
}
