// Callbacks on a running Distributed host: a waiting caller presses 1, hangs up and keeps their place; when an
// operator is ready the server rings the operator first, then calls the caller's number out through the trunk and
// puts them through; unanswered calls are retried as the rule says; a restart keeps the callbacks not made yet.
#include <gtest/gtest.h>

#include "CallerExperienceFixture.h"
#include "SpawnedProgram.h"
#include "Vantrel.hh"
#include "WebClient.h"
#include "database/CallLogRow.h"

namespace {

std::string Kind(vantrel::TQueueEvent event) { return std::to_string(static_cast<int>(event)); }

class CallerCallback : public CallerExperienceFixture {
 protected:
  // The fixture's host with the callback's prompts; its rule 1 offers callbacks with these settings.
  void StartWithCallbacks(const std::string& ruleSettings, bool outer = true) {
    Prepare(ruleSettings, {}, 1, outer);
    std::ofstream(host_.IniFolder() / "Prompts" / "prompts.txt", std::ios::app)
        << "callback-offer=Press 1 to be called back, or stay on the line\ncallback-confirm=We will call you back\n";
    Tone("Prompts/callback-offer.wav", 1700, 400);
    Tone("Prompts/callback-confirm.wav", 1900, 800);
    Launch();
  }
  ::Rule_ptr SupportRule() { return ::Rule::_narrow(::ContainerItem_var(rules_->GetItemByID(1))); }
  std::string QueueRows(vantrel::TQueueEvent event, const std::string& what = "count(*)") {
    return Crm("select " + what + " from tq_VantrelQueueLog where QueueEventType = " + Kind(event));
  }
  // The state the CRM keeps for the caller's callback (its latest row), with its attempts.
  std::string CallbackRow(const std::string& number) {
    return Crm("select State || ' ' || Attempts from tq_VantrelCallback where CallerPhoneNumber = '" + number +
               "' order by EventOrder desc limit 1");
  }
  // The caller waits in line, presses 1, hears the confirmation and the server ends the call.
  void AskForCallback(const std::string& number) {
    Exchange("call 101 from " + number);
    ASSERT_TRUE(Hears(number, "position 1")) << Exchange("status");
    ASSERT_EQ(Exchange("digits 1 " + IdOf(number)), "");
    ASSERT_TRUE(Hears(number, "callback-confirm")) << Exchange("status");
    ASSERT_TRUE(WaitUntil([&] { return CallerLine(number).empty(); })) << Exchange("status");
    ASSERT_TRUE(WaitUntil([&] { return CallbackRow(number) == "Waiting 0"; })) << CallbackRow(number);
  }
  // The server rings the operator's station first (the caller is not called yet); the operator picks up, and the
  // caller's number rings out on a trunk.
  void OperatorAnswersAndCallerRings(const std::string& number, const std::string& station = "201") {
    ASSERT_TRUE(Offered(station)) << Exchange("status");
    EXPECT_EQ(CallerLine(number), "") << Exchange("status");
    Exchange("pickup " + station);
    ASSERT_TRUE(WaitUntil([&] { return CallerLine(number).find(" RINGING") != std::string::npos; }))
        << Exchange("status");
  }
  ::QueueFigures FiguresOfRule1() {
    ::QueueFiguresSeq_var figures = rules_->GetQueueFigures(true);
    for (CORBA::ULong i = 0; i < figures->length(); ++i) {
      if (figures[i].RuleID == 1) return figures[i];
    }
    return {};
  }
};

}  // namespace

TEST_F(CallerCallback, ACallerWhoPresses1IsCalledBackWithTheOperatorRungFirstAndTalksToThem) {
  StartWithCallbacks("AnnouncePosition=1\nAnnounceEvery=2\nCallback=1\n");
  ::Operator_var anna = LogIn(11, "201", ::OperatorPause);
  AskForCallback("5550001");
  // The offer follows the place in line; the caller who took it is not abandoned, and keeps their place.
  EXPECT_NE(ReadServerLog(host_.IniFolder(), "Info")
                .find("Exchange: 5550001 hears position 1 (caller-number, 1, "
                      "callback-offer)"),
            std::string::npos);
  EXPECT_TRUE(WaitUntil([&] { return QueueRows(vantrel::TQueueEvent::CallbackRequested) == "1"; }));
  EXPECT_EQ(QueueRows(vantrel::TQueueEvent::Abandoned), "0");
  ::Rule_var rule = SupportRule();
  ::PendingCallbackSeq_var pending = rule->GetPendingCallbacks();
  ASSERT_EQ(pending->length(), 1u);
  EXPECT_STREQ(pending[0].CallerNumber.in(), "5550001");
  EXPECT_EQ(pending[0].Place, 1);
  EXPECT_EQ(pending[0].Attempts, 0);
  EXPECT_STREQ(pending[0].State.in(), "Waiting");

  // A second caller waits behind the callback.
  Exchange("call 101 from 5550002");
  ASSERT_TRUE(Hears("5550002", "position 2")) << Exchange("status");

  anna->SetStatus(::OperatorReady);
  OperatorAnswersAndCallerRings("5550001");
  Exchange("answer " + IdOf("5550001"));
  ASSERT_TRUE(WaitUntil([&] { return CallerLine("5550001").find("CONNECTED with 201") != std::string::npos; }))
      << Exchange("status");
  EXPECT_EQ(Hearing("5550001"), "");
  EXPECT_TRUE(WaitUntil([&] { return CallbackRow("5550001") == "Done 1"; })) << CallbackRow("5550001");
  EXPECT_TRUE(WaitUntil([&] { return QueueRows(vantrel::TQueueEvent::CallbackAnswered) == "1"; }));
  EXPECT_EQ(QueueRows(vantrel::TQueueEvent::CallbackAttempted, "Reason || ' ' || OperatorPhoneNumber"), "1 201");
  EXPECT_EQ(QueueRows(vantrel::TQueueEvent::CallbackAnswered, "OperatorPhoneNumber || ' ' || Operator_id"), "201 11");
  // The callback was served first: the second caller is still in line, now first.
  ASSERT_TRUE(Hears("5550002", "position 1", 4s)) << Exchange("status");
  EXPECT_EQ(::PendingCallbackSeq_var(rule->GetPendingCallbacks())->length(), 0u);
  // One caller, offered and answered once.
  const ::QueueFigures figures = FiguresOfRule1();
  EXPECT_EQ(figures.Offered, 2);
  EXPECT_EQ(figures.Answered, 1);
  EXPECT_EQ(figures.Abandoned, 0);
  Exchange("hangup " + IdOf("5550002"));
}

TEST_F(CallerCallback, ACallerWhoDoesNotAnswerIsCalledAgainAsSetThenTheCallbackFailsWithARow) {
  StartWithCallbacks("AnnouncePosition=1\nAnnounceEvery=2\nCallback=1\nCallbackRetries=1\nCallbackRetrySeconds=2\n");
  ::Operator_var anna = LogIn(11, "201", ::OperatorPause);
  AskForCallback("5550001");
  anna->SetStatus(::OperatorReady);
  OperatorAnswersAndCallerRings("5550001");
  Exchange("busy " + IdOf("5550001"));
  // The operator is let go between the attempts.
  ASSERT_TRUE(WaitUntil([&] { return CallbackRow("5550001") == "Retrying 1"; })) << CallbackRow("5550001");
  ASSERT_TRUE(WaitUntil([&] { return Exchange("status").find("station 201") == std::string::npos; }))
      << Exchange("status");
  ::PendingCallbackSeq_var pending = ::Rule_var(SupportRule())->GetPendingCallbacks();
  ASSERT_EQ(pending->length(), 1u);
  EXPECT_EQ(pending[0].Attempts, 1);
  // Once more, two seconds later; busy again, and the retries are used up.
  OperatorAnswersAndCallerRings("5550001");
  Exchange("busy " + IdOf("5550001"));
  ASSERT_TRUE(WaitUntil([&] { return CallbackRow("5550001") == "Failed 2"; })) << CallbackRow("5550001");
  EXPECT_TRUE(WaitUntil([&] { return QueueRows(vantrel::TQueueEvent::CallbackFailed, "Reason") == "2"; }));
  EXPECT_EQ(QueueRows(vantrel::TQueueEvent::CallbackAttempted), "2");
  EXPECT_EQ(QueueRows(vantrel::TQueueEvent::CallbackAnswered), "0");
  EXPECT_FALSE(WaitUntil([&] { return Exchange("status").find("station 201 OFFERING") != std::string::npos; }, 2s))
      << Exchange("status");
  // Counted once: an abandoned caller, however many calls.
  const ::QueueFigures figures = FiguresOfRule1();
  EXPECT_EQ(figures.Offered, 1);
  EXPECT_EQ(figures.Answered, 0);
  EXPECT_EQ(figures.Abandoned, 1);
  EXPECT_EQ(::PendingCallbackSeq_var(::Rule_var(SupportRule())->GetPendingCallbacks())->length(), 0u);
  // The operator's call and the call to the caller both went: nothing was left to take off hold.
  EXPECT_EQ(ReadServerLog(host_.IniFolder(), "Error").find("TLine_Impl.Unhold"), std::string::npos);
}

TEST_F(CallerCallback, ACallbackWaitingWhenTheHostRestartsIsKeptAndStillMade) {
  StartWithCallbacks("AnnouncePosition=1\nAnnounceEvery=2\nCallback=1\n");
  {
    ::Operator_var anna = LogIn(11, "201", ::OperatorPause);
    AskForCallback("5550001");
  }
  ASSERT_EQ(host_.Stop(), 0);
  Launch();
  ::Rule_var rule = SupportRule();
  ASSERT_TRUE(WaitUntil([&] { return ::PendingCallbackSeq_var(rule->GetPendingCallbacks())->length() == 1; }))
      << ReadServerLog(host_.IniFolder(), "Info");
  EXPECT_NE(ReadServerLog(host_.IniFolder(), "Info").find("taken up again after a restart"), std::string::npos);
  ::Operator_var anna = LogIn(11, "201", ::OperatorReady);
  OperatorAnswersAndCallerRings("5550001");
  Exchange("answer " + IdOf("5550001"));
  ASSERT_TRUE(WaitUntil([&] { return CallerLine("5550001").find("CONNECTED with 201") != std::string::npos; }))
      << Exchange("status");
  EXPECT_TRUE(WaitUntil([&] { return CallbackRow("5550001") == "Done 1"; })) << CallbackRow("5550001");
}

TEST_F(CallerCallback, TheRulesCallbackSettingsAreReadSavedAndCheckedAndBadOnesAreRefused) {
  StartWithCallbacks("Callback=1\nCallbackRetries=-1\nCallbackRetrySeconds=30\n");
  ::Rule_var rule = SupportRule();
  ::RuleCallback callback = rule->GetCallback();
  EXPECT_TRUE(callback.Enabled);
  EXPECT_EQ(callback.Retries, 2);  // -1 refused, the default kept
  EXPECT_EQ(callback.RetrySeconds, 30);
  EXPECT_NE(ReadServerLog(host_.IniFolder(), "Error").find("CallbackRetries=-1 must be at least 0; 2 kept"),
            std::string::npos);
  callback.RetrySeconds = 0;
  rule->SetCallback(callback);
  EXPECT_EQ(rule->GetCallback().RetrySeconds, 30);
  callback.RetrySeconds = 45;
  callback.Retries = 4;
  rule->SetCallback(callback);
  ASSERT_TRUE(rules_->SaveToIniFile((host_.IniFolder() / "Saved.ini").c_str(), "Rules"));
  std::stringstream saved;
  saved << std::ifstream(host_.IniFolder() / "Saved.ini").rdbuf();
  EXPECT_NE(saved.str().find("Callback=1"), std::string::npos) << saved.str();
  EXPECT_NE(saved.str().find("CallbackRetries=4"), std::string::npos) << saved.str();
  EXPECT_NE(saved.str().find("CallbackRetrySeconds=45"), std::string::npos) << saved.str();
}

TEST_F(CallerCallback, OnALineWithoutATrunkNoCallbackIsOfferedAndDigit1ChangesNothing) {
  StartWithCallbacks("AnnouncePosition=1\nAnnounceEvery=2\nCallback=1\n", false);
  ::Operator_var anna = LogIn(11, "201", ::OperatorPause);
  Exchange("call 101 from 5550001");
  ASSERT_TRUE(Hears("5550001", "position 1")) << Exchange("status");
  Exchange("digits 1 " + IdOf("5550001"));
  EXPECT_FALSE(Hears("5550001", "callback-confirm", 2s)) << Exchange("status");
  EXPECT_NE(CallerLine("5550001"), "");
  EXPECT_NE(ReadServerLog(host_.IniFolder(), "Error").find("line 101 is not an outer line"), std::string::npos);
  EXPECT_EQ(ReadServerLog(host_.IniFolder(), "Info").find("callback-offer"), std::string::npos);
  EXPECT_EQ(QueueRows(vantrel::TQueueEvent::CallbackRequested), "0");
  // Still in line: put through when the operator is ready.
  anna->SetStatus(::OperatorReady);
  ASSERT_TRUE(Offered("201")) << Exchange("status");
}

TEST_F(CallerCallback, Digit1DuringTheGreetingIsNoCallback) {
  StartWithCallbacks("Greeting=welcome\nAnnouncePosition=1\nAnnounceEvery=2\nCallback=1\n");
  ::Operator_var anna = LogIn(11, "201", ::OperatorPause);
  Exchange("call 101 from 5550001");
  ASSERT_TRUE(Hears("5550001", "welcome")) << Exchange("status");
  Exchange("digits 1 " + IdOf("5550001"));
  ASSERT_TRUE(Hears("5550001", "position 1")) << Exchange("status");
  EXPECT_EQ(QueueRows(vantrel::TQueueEvent::CallbackRequested), "0");
  EXPECT_EQ(::PendingCallbackSeq_var(::Rule_var(SupportRule())->GetPendingCallbacks())->length(), 0u);
  EXPECT_EQ(ReadServerLog(host_.IniFolder(), "Info").find("hears callback-confirm"), std::string::npos);
}

TEST_F(CallerCallback, ACallerWhoHangsUpDuringTheConfirmationIsStillCalledBackAndNotCountedAsAbandoned) {
  StartWithCallbacks("AnnouncePosition=1\nAnnounceEvery=2\nCallback=1\n");
  ::Operator_var anna = LogIn(11, "201", ::OperatorPause);
  Exchange("call 101 from 5550001");
  ASSERT_TRUE(Hears("5550001", "position 1")) << Exchange("status");
  Exchange("digits 1 " + IdOf("5550001"));
  ASSERT_TRUE(Hears("5550001", "callback-confirm")) << Exchange("status");
  Exchange("hangup " + IdOf("5550001"));
  ASSERT_TRUE(WaitUntil([&] { return CallbackRow("5550001") == "Waiting 0"; })) << CallbackRow("5550001");
  EXPECT_TRUE(WaitUntil([&] { return QueueRows(vantrel::TQueueEvent::CallbackRequested) == "1"; }));
  EXPECT_EQ(QueueRows(vantrel::TQueueEvent::Abandoned), "0");
  anna->SetStatus(::OperatorReady);
  OperatorAnswersAndCallerRings("5550001");
}

TEST_F(CallerCallback, TheConsoleListsTheCallbacksNotMadeYetWithTheirPlaceAndAttempts) {
  StartWithCallbacks("AnnouncePosition=1\nAnnounceEvery=2\nCallback=1\n");
  ::Operator_var anna = LogIn(11, "201", ::OperatorPause);
  AskForCallback("5550001");
  Exchange("call 101 from 5550002");
  ASSERT_TRUE(Hears("5550002", "position 2")) << Exchange("status");
  // The console reads its commands from standard input: one that stays open.
  SpawnedProgram console({"/bin/bash", "-c",
                          "exec " VANTREL_CONSOLE_PATH " --port " + std::to_string(host_.Port()) + " --ini '" +
                              host_.IniFolder().string() + "' < <(sleep 30)"});
  ASSERT_TRUE(console.WaitForOutput("      callback 5550001  place 1  attempts 0  Waiting  0:")) << console.Output();
  Exchange("hangup " + IdOf("5550002"));
}

TEST_F(CallerCallback, TheWallboardsStateListsTheCallbacksNotMadeYet) {
  StartWithCallbacks("AnnouncePosition=1\nAnnounceEvery=2\nCallback=1\n");
  ASSERT_TRUE(AddWebUser(host_.IniFolder(), "super", "supervisor", "", 0, "super-secret"));
  const int webPort = FreeLoopbackPort();
  SpawnedProgram web({VANTREL_WEB_PATH, "--port", std::to_string(host_.Port()), "--web-port", std::to_string(webPort),
                      "--ini", host_.IniFolder().string()});
  ASSERT_TRUE(web.WaitForOutput("serving http://")) << web.Output();
  WebClient super(webPort);
  ASSERT_TRUE(WaitUntil([&] { return super.LogIn("super", "super-secret"); }));
  ::Operator_var anna = LogIn(11, "201", ::OperatorPause);
  AskForCallback("5550001");
  nlohmann::json listed;
  ASSERT_TRUE(WaitUntil([&] {
    listed = super.Get("/api/state").Json()["callbacks"];
    return listed.is_array() && listed.size() == 1;
  })) << listed.dump();
  EXPECT_EQ(listed[0]["number"], "5550001");
  EXPECT_EQ(listed[0]["ruleID"], 1);
  EXPECT_EQ(listed[0]["place"], 1);
  EXPECT_EQ(listed[0]["attempts"], 0);
  EXPECT_EQ(listed[0]["state"], "Waiting");
  // Made, it leaves the list.
  anna->SetStatus(::OperatorReady);
  OperatorAnswersAndCallerRings("5550001");
  Exchange("answer " + IdOf("5550001"));
  EXPECT_TRUE(WaitUntil([&] { return super.Get("/api/state").Json()["callbacks"].empty(); }));
}

TEST_F(CallerCallback, AnOperatorWhoDoesNotAnswerPutsTheCallbackBackInLineAndACallerWhoDoesNotAnswerUsesItUp) {
  // Targets ring for two seconds at most.
  Prepare("AnnouncePosition=1\nAnnounceEvery=2\nCallback=1\nCallbackRetries=0\n");
  std::stringstream rules;
  rules << std::ifstream(host_.IniFolder() / "Rules.ini").rdbuf();
  const std::string text = rules.str();
  const auto at = text.find("RingTimeout=20");
  ASSERT_NE(at, std::string::npos);
  Write("Rules.ini", text.substr(0, at) + "RingTimeout=2" + text.substr(at + 14));
  std::ofstream(host_.IniFolder() / "Prompts" / "prompts.txt", std::ios::app)
      << "callback-offer=Press 1 to be called back, or stay on the line\ncallback-confirm=We will call you back\n";
  Tone("Prompts/callback-confirm.wav", 1900, 800);
  Launch();
  ::Operator_var anna = LogIn(11, "201", ::OperatorPause);
  AskForCallback("5550001");
  anna->SetStatus(::OperatorReady);
  // The operator lets it ring: the callback waits again, with its place and no attempt used.
  ASSERT_TRUE(Offered("201")) << Exchange("status");
  ASSERT_TRUE(WaitUntil([&] { return QueueRows(vantrel::TQueueEvent::RingNoAnswer) == "1"; }, 5s));
  ::PendingCallbackSeq_var pending = ::Rule_var(SupportRule())->GetPendingCallbacks();
  ASSERT_EQ(pending->length(), 1u);
  EXPECT_EQ(pending[0].Attempts, 0);
  // Offered again, answered; the caller lets it ring out: no retries are left.
  OperatorAnswersAndCallerRings("5550001");
  ASSERT_TRUE(WaitUntil([&] { return CallbackRow("5550001") == "Failed 1"; }, 5s)) << CallbackRow("5550001");
  EXPECT_TRUE(WaitUntil([&] { return QueueRows(vantrel::TQueueEvent::CallbackFailed, "Reason") == "1"; }));
  EXPECT_TRUE(WaitUntil([&] { return Exchange("status").find("station 201") == std::string::npos; }))
      << Exchange("status");
  EXPECT_TRUE(WaitUntil([&] { return CallerLine("5550001").empty(); })) << Exchange("status");
}
