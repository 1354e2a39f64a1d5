// What callers hear on a running Distributed host: the rule's greeting, their place in line between the music,
// told by the software exchange's status (a far end cannot hear) and the logs; prompts made of distinct tones.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <numbers>
#include <sstream>

#include "CallerExperienceFixture.h"
#include "HostClient.h"
#include "SpawnedProgram.h"
#include "Vantrel.hh"
#include "support/WavSound.h"

using namespace std::chrono_literals;

using CallerExperience = CallerExperienceFixture;

TEST_F(CallerExperience, ACallerHearsTheGreetingThenMusicAndItsPlaceInLineWhichMovesUpAsOthersAreServed) {
  Start("Greeting=welcome\nAnnouncePosition=1\nAnnounceEvery=2\n");
  ::Operator_var anna = LogIn(11, "201", ::OperatorPause);
  Exchange("call 101 from 5550001");
  ASSERT_TRUE(Hears("5550001", "welcome")) << Exchange("status");
  ASSERT_TRUE(Hears("5550001", "position 1")) << Exchange("status");
  ASSERT_TRUE(Hears("5550001", "music")) << Exchange("status");
  ASSERT_TRUE(Hears("5550001", "position 1", 4s)) << Exchange("status");  // again, two seconds on

  Exchange("call 101 from 5550002");
  ASSERT_TRUE(Hears("5550002", "welcome")) << Exchange("status");
  ASSERT_TRUE(Hears("5550002", "position 2")) << Exchange("status");

  // The operator is ready: the first caller is put through, and the second is next in line.
  anna->SetStatus(::OperatorReady);
  ASSERT_TRUE(WaitUntil([&] { return Exchange("status").find("station 201 OFFERING") != std::string::npos; }))
      << Exchange("status");
  Exchange("pickup 201");
  ASSERT_TRUE(WaitUntil([&] { return CallerLine("5550001").find("CONNECTED with 201") != std::string::npos; }))
      << Exchange("status");
  EXPECT_EQ(Hearing("5550001"), "");  // talking to the operator, nothing played
  ASSERT_TRUE(Hears("5550002", "position 1", 4s)) << Exchange("status");
  Exchange("hangup " + IdOf("5550002"));
  Exchange("drop 201");
  ASSERT_TRUE(WaitUntil([&] { return Exchange("status").find("outside") == std::string::npos; })) << Exchange("status");

  // The host's information log says each prompt played; the queue log has the greetings and the places.
  const std::string info = ReadServerLog(host_.IniFolder(), "Info");
  EXPECT_NE(info.find("Exchange: 5550001 hears welcome (welcome)"), std::string::npos);
  EXPECT_NE(info.find("Exchange: 5550002 hears position 2 (caller-number, 2)"), std::string::npos);
  EXPECT_TRUE(WaitUntil([&] { return Crm("select count(*) from tq_VantrelQueueLog where QueueEventType = 16") == "2"; }))
      << Crm("select group_concat(QueueEventType, ',') from tq_VantrelQueueLog");
  EXPECT_EQ(Crm("select min(Reason) || ' ' || max(Reason) from tq_VantrelQueueLog where QueueEventType = 17"), "1 2");
  EXPECT_EQ(Crm("select count(*) from tq_VantrelQueueLog g join tq_VantrelQueueLog e on e.CallHandle = g.CallHandle "
                "where g.QueueEventType = 16 and e.QueueEventType = 1 and g.ID < e.ID"),
            "2");  // each greeting before its caller waits
}

TEST_F(CallerExperience, AGreetingAlonePutsTheCallerThroughOnceHeard) {
  Start("Greeting=welcome\n");
  ::Operator_var anna = LogIn(11, "201", ::OperatorReady);
  Exchange("call 101 from 5550001");
  ASSERT_TRUE(Hears("5550001", "welcome")) << Exchange("status");
  EXPECT_EQ(Exchange("status").find("station 201 OFFERING"), std::string::npos);  // not before the greeting ends
  ASSERT_TRUE(WaitUntil([&] { return Exchange("status").find("station 201 OFFERING") != std::string::npos; }))
      << Exchange("status");
  Exchange("pickup 201");
  ASSERT_TRUE(WaitUntil([&] { return CallerLine("5550001").find("CONNECTED with 201") != std::string::npos; }))
      << Exchange("status");
}

TEST_F(CallerExperience, PromptsThatAreMissingOrOfTheWrongKindAreSkippedAndBadSettingsAreRefused) {
  Start("Greeting=absent\nAnnouncePosition=1\nAnnounceEvery=0\n");
  // AnnounceEvery=0 is refused at load, and the default kept; the refused prompt is named in the error log.
  ::Rule_var rule = ::Rule::_narrow(::ContainerItem_var(rules_->GetItemByID(1)));
  ::RuleCallerExperience_var experience = rule->GetCallerExperience();
  EXPECT_EQ(experience->AnnounceEvery, 30);
  EXPECT_STREQ(experience->Greeting.in(), "absent");
  const std::string errors = ReadServerLog(host_.IniFolder(), "Error");
  EXPECT_NE(errors.find("AnnounceEvery=0 must be at least 1 second"), std::string::npos) << errors;
  EXPECT_NE(errors.find("Sound file " + (host_.IniFolder() / "Prompts" / "loud.wav").string() +
                        " is not 8 kHz 16-bit mono PCM"),
            std::string::npos)
      << errors;
  experience->AnnounceEvery = 0;
  rule->SetCallerExperience(experience.in());
  EXPECT_EQ(::RuleCallerExperience_var(rule->GetCallerExperience())->AnnounceEvery, 30);

  // A greeting without its sound never fails the call: skipped with one log line, the caller waits as before.
  ::Operator_var anna = LogIn(11, "201", ::OperatorPause);
  Exchange("call 101 from 5550001");
  ASSERT_TRUE(Hears("5550001", "position 1")) << Exchange("status");
  EXPECT_NE(ReadServerLog(host_.IniFolder(), "Info").find("Prompts: absent is missing; skipped"), std::string::npos);

  // A caller who hangs up during an announcement is gone like any other: counted as abandoned.
  Exchange("hangup " + IdOf("5550001"));
  ASSERT_TRUE(WaitUntil([&] { return CallerLine("5550001").empty(); })) << Exchange("status");
  EXPECT_TRUE(WaitUntil([&] { return Crm("select count(*) from tq_VantrelQueueLog where QueueEventType = 3") == "1"; }));
  EXPECT_EQ(Exchange("status").find("hearing"), std::string::npos) << Exchange("status");
}

TEST_F(CallerExperience, TheRulesSettingsAreSavedInItsSectionAndReadBack) {
  Start("Greeting=welcome\nAnnouncePosition=1\nAnnounceWait=1\nAnnounceEvery=15\n");
  ::Rule_var rule = ::Rule::_narrow(::ContainerItem_var(rules_->GetItemByID(1)));
  ::RuleCallerExperience_var experience = rule->GetCallerExperience();
  EXPECT_STREQ(experience->Greeting.in(), "welcome");
  EXPECT_TRUE(experience->AnnouncePosition);
  EXPECT_TRUE(experience->AnnounceWait);
  EXPECT_EQ(experience->AnnounceEvery, 15);
  experience->AnnounceWait = false;
  experience->AnnounceEvery = 45;
  rule->SetCallerExperience(experience.in());
  ASSERT_TRUE(rules_->SaveToIniFile((host_.IniFolder() / "Saved.ini").c_str(), "Rules"));
  std::ifstream saved(host_.IniFolder() / "Saved.ini");
  std::stringstream text;
  text << saved.rdbuf();
  EXPECT_NE(text.str().find("Greeting=welcome"), std::string::npos) << text.str();
  EXPECT_NE(text.str().find("AnnounceEvery=45"), std::string::npos) << text.str();
  EXPECT_EQ(text.str().find("AnnounceWait"), std::string::npos) << text.str();
}

TEST_F(CallerExperience, TheConsoleListsTheCallersInLineWithTheirPlaceAndTime) {
  Start("AnnouncePosition=1\nAnnounceEvery=2\n");
  ::Operator_var anna = LogIn(11, "201", ::OperatorPause);
  Exchange("call 101 from 5550001");
  ASSERT_TRUE(Hears("5550001", "position 1")) << Exchange("status");
  Exchange("call 101 from 5550002");
  ASSERT_TRUE(Hears("5550002", "position 2")) << Exchange("status");
  // The console reads its commands from standard input: one that stays open.
  SpawnedProgram console({"/bin/bash", "-c",
                          "exec " VANTREL_CONSOLE_PATH " --port " + std::to_string(host_.Port()) +
                              " --ini '" + host_.IniFolder().string() + "' < <(sleep 30)"});
  ASSERT_TRUE(console.WaitForOutput("      2. 5550002  0:0")) << console.Output();
  const std::string screen = console.Output().substr(console.Output().rfind("Queues today"));
  EXPECT_LT(screen.find("      1. 5550001  0:0"), screen.find("      2. 5550002  0:0")) << screen;
}

namespace {
// Besides the menu's rule (1): support (2) puts callers through to 202, sales (3) to 201.
const std::string kSupportAndSales =
    "[Rules_1]\nID=2\nOrder=1\nName=Support line\nEnabled=1\n[Rules_1_Items]\nCount=1\nItemID=1\n[Rules_1_0]\nID=1\n"
    "Order=0\nName=Support desk\nEnabled=1\nActionType=2\nPhoneNumber=202\nGroupID=0\n"
    "[Rules_2]\nID=3\nOrder=2\nName=Sales\nEnabled=1\n[Rules_2_Items]\nCount=1\nItemID=1\n[Rules_2_0]\nID=1\n"
    "Order=0\nName=Sales desk\nEnabled=1\nActionType=2\nPhoneNumber=201\nGroupID=0\n";
}  // namespace

TEST_F(CallerExperience, AfterTheGreetingTheMenuPlaysAndTheCallersDigitSendsTheCallOnWithTheRuleItNames) {
  Start("Greeting=welcome\nMenu=menu\nMenu1=3\nMenu2=2\nMenuDefault=3\nMenuTimeout=30\n", kSupportAndSales, 3);
  Exchange("call 101 from 5550001");
  ASSERT_TRUE(Hears("5550001", "welcome")) << Exchange("status");
  ASSERT_TRUE(Hears("5550001", "menu")) << Exchange("status");
  Exchange("digits 2 " + IdOf("5550001"));  // during the prompt: barge-in
  ASSERT_TRUE(Offered("202")) << Exchange("status");
  EXPECT_EQ(Exchange("status").find("station 201 OFFERING"), std::string::npos) << Exchange("status");
  Exchange("pickup 202");
  ASSERT_TRUE(WaitUntil([&] { return CallerLine("5550001").find("CONNECTED with 202") != std::string::npos; }))
      << Exchange("status");
  EXPECT_TRUE(
      WaitUntil([&] { return Crm("select count(*) from tq_VantrelQueueLog where QueueEventType = 2") == "1"; }));
  EXPECT_EQ(Crm("select Reason || ' ' || Rule_id from tq_VantrelQueueLog where QueueEventType = 18"), "2 2");
  EXPECT_EQ(Crm("select Rule_id from tq_VantrelQueueLog where QueueEventType = 2"), "2");  // the chosen rule's
  EXPECT_EQ(Crm("select count(*) from tq_VantrelQueueLog g join tq_VantrelQueueLog m on m.CallHandle = g.CallHandle "
                "where g.QueueEventType = 16 and m.QueueEventType = 18 and g.ID < m.ID"),
            "1");  // the greeting before the menu
}

TEST_F(CallerExperience, AWrongDigitPlaysTheMenuAgainTwiceAtMostThenTheDefaultTakesTheCall) {
  Start("Menu=menu\nMenu1=3\nMenu2=2\nMenuDefault=3\nMenuTimeout=30\n", kSupportAndSales, 3);
  Exchange("call 101 from 5550001");
  ASSERT_TRUE(Hears("5550001", "menu")) << Exchange("status");
  const std::string caller = IdOf("5550001");
  Exchange("digits 7 " + caller);
  ASSERT_TRUE(WaitUntil([&] { return TimesLogged("Exchange: 5550001 hears menu (menu)") == 2; }));
  Exchange("digits 0 " + caller);  // no menu entry is ever 0
  ASSERT_TRUE(WaitUntil([&] { return TimesLogged("Exchange: 5550001 hears menu (menu)") == 3; }));
  EXPECT_EQ(Exchange("status").find("OFFERING"), std::string::npos) << Exchange("status");
  Exchange("digits 9 " + caller);
  ASSERT_TRUE(Offered("201")) << Exchange("status");  // the default: sales
  EXPECT_EQ(TimesLogged("Exchange: 5550001 hears menu (menu)"), 3u);
  EXPECT_TRUE(
      WaitUntil([&] { return Crm("select count(*) from tq_VantrelQueueLog where QueueEventType = 18") == "1"; }));
  EXPECT_EQ(Crm("select Reason || ' ' || Rule_id from tq_VantrelQueueLog where QueueEventType = 18"), "0 3");
}

TEST_F(CallerExperience, ACallerWhoPressesNothingGetsTheMenusDefaultOnceItsTimeRanOut) {
  Start("Menu=menu\nMenu2=2\nMenuDefault=3\nMenuTimeout=1\n", kSupportAndSales, 3);
  Exchange("call 101 from 5550001");
  ASSERT_TRUE(Hears("5550001", "menu")) << Exchange("status");
  const auto heard = std::chrono::steady_clock::now();
  ASSERT_TRUE(Offered("201")) << Exchange("status");
  EXPECT_GE(std::chrono::steady_clock::now() - heard, 1s);  // the rest of the prompt, then the time-out
  EXPECT_EQ(TimesLogged("Exchange: 5550001 hears menu (menu)"), 1u);
  EXPECT_TRUE(
      WaitUntil([&] { return Crm("select count(*) from tq_VantrelQueueLog where QueueEventType = 18") == "1"; }));
  EXPECT_EQ(Crm("select Reason || ' ' || Rule_id from tq_VantrelQueueLog where QueueEventType = 18"), "0 3");
}

TEST_F(CallerExperience, AMenuEntryNamingNoRuleIsLeftOutAtLoadAndItsDigitIsAWrongOne) {
  Start("Menu=menu\nMenu2=2\nMenu5=9\nMenu6=\nMenu7=Sales\nMenuDefault=3\nMenuTimeout=30\n", kSupportAndSales, 3);
  const std::string errors = ReadServerLog(host_.IniFolder(), "Error");
  EXPECT_NE(errors.find("Rules: rule 1 Menu5=9 names no rule; left out of the menu"), std::string::npos) << errors;
  EXPECT_NE(errors.find("Rules: rule 1 Menu6= names no rule; left out of the menu"), std::string::npos) << errors;
  EXPECT_NE(errors.find("Rules: rule 1 Menu7=Sales names no rule; left out of the menu"), std::string::npos) << errors;
  EXPECT_EQ(errors.find("Menu2="), std::string::npos) << errors;
  ASSERT_TRUE(rules_->SaveToIniFile((host_.IniFolder() / "Saved.ini").c_str(), "Rules"));
  std::stringstream saved;
  saved << std::ifstream(host_.IniFolder() / "Saved.ini").rdbuf();
  EXPECT_NE(saved.str().find("Menu2=2"), std::string::npos) << saved.str();
  EXPECT_NE(saved.str().find("MenuDefault=3"), std::string::npos) << saved.str();
  EXPECT_EQ(saved.str().find("Menu5"), std::string::npos) << saved.str();

  Exchange("call 101 from 5550001");
  ASSERT_TRUE(Hears("5550001", "menu")) << Exchange("status");
  Exchange("digits 5 " + IdOf("5550001"));
  ASSERT_TRUE(WaitUntil([&] { return TimesLogged("Exchange: 5550001 hears menu (menu)") == 2; }));
  Exchange("digits 2 " + IdOf("5550001"));
  ASSERT_TRUE(Offered("202")) << Exchange("status");
}

TEST_F(CallerExperience, ACallerWhoHangsUpDuringTheMenuIsCountedAsAbandonedByTheMenusRule) {
  Start("Menu=menu\nMenu2=2\nMenuDefault=3\nMenuTimeout=1\n", kSupportAndSales, 3);
  Exchange("call 101 from 5550001");
  ASSERT_TRUE(Hears("5550001", "menu")) << Exchange("status");
  Exchange("hangup " + IdOf("5550001"));
  ASSERT_TRUE(WaitUntil([&] { return CallerLine("5550001").empty(); })) << Exchange("status");
  EXPECT_TRUE(
      WaitUntil([&] { return Crm("select Rule_id from tq_VantrelQueueLog where QueueEventType = 3") == "1"; }));
  // Gone, the caller takes no default once the menu's time has run out.
  EXPECT_FALSE(WaitUntil([&] { return Exchange("status").find("OFFERING") != std::string::npos; }, 2500ms))
      << Exchange("status");
  EXPECT_EQ(Crm("select count(*) from tq_VantrelQueueLog where QueueEventType = 18"), "0");
}
