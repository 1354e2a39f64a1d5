// What callers hear on a running Distributed host: the rule's greeting, their place in line between the music,
// told by the software exchange's status (a far end cannot hear) and the logs; prompts made of distinct tones.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <numbers>
#include <sstream>

#include "HostClient.h"
#include "SpawnedProgram.h"
#include "Vantrel.hh"
#include "support/WavSound.h"

using namespace std::chrono_literals;

namespace {

class CallerExperience : public ::testing::Test {
 protected:
  void Write(const std::string& name, const std::string& text) { std::ofstream(host_.IniFolder() / name) << text; }
  // A prompt of its own pitch, so that each can be told apart by ear (and by the SIP tests' tone checker).
  void Tone(const std::string& file, double hertz, int milliseconds, int rate = 8000) {
    vantrel::TWavSound sound{rate, std::vector<std::int16_t>(static_cast<std::size_t>(rate * milliseconds / 1000))};
    for (std::size_t i = 0; i < sound.samples.size(); ++i)
      sound.samples[i] = static_cast<std::int16_t>(6000 * std::sin(2 * std::numbers::pi * hertz * i / rate));
    std::ofstream(host_.IniFolder() / file, std::ios::binary) << vantrel::WavBytes(sound);
  }
  // Line 101 routed by one rule to the support group (500: employees 11 and 12 at 201 and 202).
  // moreRules: the sections of rules after the first (rules in all).
  void Start(const std::string& ruleSettings, const std::string& moreRules = {}, int rules = 1) {
    Write("Settings.ini",
          "[Server]\nType=Distributed\n[Connection]\nCryptConnectionString=0\n"
          "ConnectionString=Provider=SQLite;Data Source=crm.sqlite3\n[Prompts]\nMusic=music.wav\n");
    std::filesystem::create_directories(host_.IniFolder() / "Prompts");
    Write("Prompts/prompts.txt",
          "welcome=Welcome\ncaller-number=You are caller number\n1=one\n2=two\n3=three\nloud=A stereo prompt\n"
          "absent=Never recorded\nmenu=For sales press 1, for support press 2\n");
    Tone("Prompts/welcome.wav", 500, 1200);
    Tone("Prompts/caller-number.wav", 700, 600);
    Tone("Prompts/1.wav", 900, 300);
    Tone("Prompts/2.wav", 1100, 300);
    Tone("Prompts/3.wav", 1300, 300);
    Tone("Prompts/menu.wav", 1500, 1000);
    Tone("Prompts/loud.wav", 500, 300, 16000);  // refused: not 8 kHz
    Tone("music.wav", 300, 2000);
    const std::string crm = std::string(VANTREL_CRM_PATH) + " --connection 'Provider=SQLite;Data Source=crm.sqlite3'" +
                            " --base '" + host_.IniFolder().string() + "' > /dev/null";
    ASSERT_EQ(std::system(crm.c_str()), 0);
    {
      CrmFile file(host_.IniFolder() / "crm.sqlite3");
      for (int employee = 11; employee < 13; ++employee) {
        const std::string insert =
            "insert into tq_ContactInGroup (Contact_id, Group_id) values (" + std::to_string(employee) + ", 500)";
        ASSERT_EQ(sqlite3_exec(file.Handle(), insert.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
      }
    }
    Write("Exchange.ini", "[Exchange]\nTrunks=20\n[Stations]\n101=Trunk 101\n201=Seat\n202=Seat\n");
    Write("Rules.ini",
          "[Rules]\nName=Rules\nEnabled=1\nCallsDistributionType=1\nSystemPhoneNumber=\nRingTimeout=20\n"
          "[Rules_Items]\nCount=" + std::to_string(rules) + "\nItemID=" + std::to_string(rules) +
              "\n[Rules_0]\nID=1\nOrder=0\nName=Support\nEnabled=1\nMaxWait=60\n" + ruleSettings +
              "[Rules_0_Items]\nCount=1\nItemID=1\n[Rules_0_0]\nID=1\nOrder=0\nName=Support group\nEnabled=1\n"
              "ActionType=3\nPhoneNumber=\nGroupID=500\n" + moreRules);
    Write("Lines.ini",
          "[Lines_Items]\nCount=1\nItemID=0\n[Lines_0]\nID=0\nOrder=0\nName=Trunk 101\nEnabled=1\nRuleID=1\n"
          "IsOuter=1\nUsingDND=0\n");
    ASSERT_TRUE(host_.Start()) << host_.ErrorOutput();
    ASSERT_TRUE(host_.WaitForOutput("Loaded: 3 lines")) << host_.Output() << host_.ErrorOutput();
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
  // The status line of the outside caller with that number; empty when it is gone.
  std::string CallerLine(const std::string& number) {
    std::istringstream text(Exchange("status"));
    for (std::string line; std::getline(text, line);) {
      if (line.find(" outside " + number + " ") != std::string::npos) return line;
    }
    return {};
  }
  std::string Hearing(const std::string& number) {
    const std::string line = CallerLine(number);
    const auto at = line.find(" hearing ");
    return at == std::string::npos ? std::string() : line.substr(at + 9);
  }
  std::string IdOf(const std::string& number) {
    const std::string line = CallerLine(number);
    return line.substr(0, line.find(' '));
  }
  bool Hears(const std::string& number, const std::string& what, std::chrono::milliseconds deadline = 5s) {
    return WaitUntil([&] { return Hearing(number) == what; }, deadline);
  }
  bool Offered(const std::string& station) {
    return WaitUntil([&] { return Exchange("status").find("station " + station + " OFFERING") != std::string::npos; });
  }
  // How often the host's information log says the text.
  std::size_t TimesLogged(const std::string& text) {
    const std::string info = ReadServerLog(host_.IniFolder(), "Info");
    std::size_t times = 0;
    for (auto at = info.find(text); at != std::string::npos; at = info.find(text, at + 1)) ++times;
    return times;
  }

  HostProcess host_;
  ::Environment_var environment_;
  ::Lines_var lines_;
  ::Operators_var operators_;
  ::Rules_var rules_;
};

}  // namespace

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
