// The fixture of the caller-experience tests: a Distributed host whose line 101 is routed by rule 1 to the support
// group (employees 11 and 12 at 201 and 202), prompts made of distinct tones, and what the software exchange's
// status says each outside party hears.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <numbers>
#include <sstream>

#include "HostClient.h"
#include "Vantrel.hh"
#include "support/WavSound.h"

using namespace std::chrono_literals;

class CallerExperienceFixture : public ::testing::Test {
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
  void Start(const std::string& ruleSettings, const std::string& moreRules = {}, int rules = 1, bool outer = true) {
    Prepare(ruleSettings, moreRules, rules, outer);
    Launch();
  }
  // The INI folder and the CRM of Start, without starting the host.
  void Prepare(const std::string& ruleSettings, const std::string& moreRules = {}, int rules = 1, bool outer = true) {
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
          "[Rules_Items]\nCount=" +
              std::to_string(rules) + "\nItemID=" + std::to_string(rules) +
              "\n[Rules_0]\nID=1\nOrder=0\nName=Support\nEnabled=1\nMaxWait=60\n" + ruleSettings +
              "[Rules_0_Items]\nCount=1\nItemID=1\n[Rules_0_0]\nID=1\nOrder=0\nName=Support group\nEnabled=1\n"
              "ActionType=3\nPhoneNumber=\nGroupID=500\n" +
              moreRules);
    Write("Lines.ini",
          "[Lines_Items]\nCount=1\nItemID=0\n[Lines_0]\nID=0\nOrder=0\nName=Trunk 101\nEnabled=1\nRuleID=1\n"
          "IsOuter=" +
              std::string(outer ? "1" : "0") + "\nUsingDND=0\n");
  }
  // Starts the host on what Prepare wrote (again after a Stop), and takes its containers.
  void Launch() {
    // Again after a Stop, the output still holds the earlier start's lines: its lines are loaded once its log says.
    const bool again = host_.Output().find("Loaded: 3 lines") != std::string::npos;
    if (again) {
      std::filesystem::rename(host_.IniFolder() / "Logs", host_.IniFolder() / ("Logs-" + std::to_string(host_.Pid())));
    }
    ASSERT_TRUE(host_.Start()) << host_.ErrorOutput();
    ASSERT_TRUE(host_.WaitForOutput("Loaded: 3 lines")) << host_.Output() << host_.ErrorOutput();
    ASSERT_TRUE(WaitUntil([&] {
      return !again || ReadServerLog(host_.IniFolder(), "Info").find("[TranslateRules]") != std::string::npos;
    })) << host_.ErrorOutput();
    environment_ = ::Environment::_narrow(CORBA::Object_var(TestORB()->string_to_object(host_.Corbaloc().c_str())));
    lines_ = environment_->GetLines();
    operators_ = environment_->GetOperators();
    rules_ = environment_->GetRules();
  }
  void TearDown() override {
    if (host_.Pid() > 0) EXPECT_EQ(host_.Stop(), 0);
  }

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
