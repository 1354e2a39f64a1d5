// The web gateway's tests' fixture: a Distributed host with the sample CRM, a routing rule on the trunk line,
// three web users and the gateway in front of it.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "HostProcess.h"
#include "SpawnedProgram.h"
#include "WaitUntil.h"
#include "WebClient.h"

using namespace std::chrono_literals;

#ifdef VANTREL_CHECKING_BUILD
constexpr auto kOnScreenWithin = 5s;  // the sanitizers slow every process several times
#else
constexpr auto kOnScreenWithin = 1s;
#endif

class WebGateway : public ::testing::Test {
 protected:
  void SetUp() override {
    Write("Settings.ini",
          "[Server]\nType=Distributed\n[Connection]\nCryptConnectionString=0\n"
          "ConnectionString=Provider=SQLite;Data Source=crm.sqlite3\n"
          "[Operators]\nPauseReasons=1=Lunch,2=Training,3=Coaching\n");
    Write("Exchange.ini",
          "[Exchange]\nTrunks=8\n[Stations]\n101=Trunk 101\n102=Reception 102\n103=Sales 103\n104=Support 104\n" +
              exchangeExtra_);
    // 101 routes to the sales group (employees 1 and 2), where callers wait up to a minute, then to 102.
    Write("Rules.ini",
          "[Rules]\nName=Rules\nEnabled=1\nCallsDistributionType=0\nSystemPhoneNumber=102\n" + rulesExtra_ +
              "[Rules_Items]\nCount=1\n"
          "ItemID=1\n[Rules_0]\nID=1\nOrder=0\nName=Inbound\nEnabled=1\nMaxWait=60\nServiceLevelSeconds=20\n"
          "[Rules_0_Items]\nCount=1\nItemID=1\n[Rules_0_0]\nID=1\nOrder=0\nName=Sales group\nEnabled=1\n"
          "ActionType=3\nPhoneNumber=\nGroupID=100\n");
    Write("Lines.ini",
          "[Lines_Items]\nCount=1\nItemID=0\n[Lines_0]\nID=0\nOrder=0\nName=Trunk 101\nEnabled=1\nRuleID=1\n"
          "IsOuter=1\nUsingDND=0\n");
    const std::string crm = std::string(VANTREL_CRM_PATH) + " --connection 'Provider=SQLite;Data Source=crm.sqlite3'" +
                            " --base '" + host_.IniFolder().string() + "' --sample > /dev/null";
    ASSERT_EQ(std::system(crm.c_str()), 0);
    ASSERT_TRUE(host_.Start()) << host_.ErrorOutput();
    AddUser("super", "supervisor", "", 0, "super-secret");
    AddUser("anna", "operator", "103", 1, "anna-secret");
    AddUser("boris", "operator", "104", 2, "boris-secret");
    StartWeb();
  }

  void Write(const std::string& name, const std::string& text) { std::ofstream(host_.IniFolder() / name) << text; }

  void AddUser(const std::string& name, const std::string& role, const std::string& line, long id,
               const std::string& password) {
    ASSERT_TRUE(AddWebUser(host_.IniFolder(), name, role, line, id, password));
  }

  // `options` go after the usual ones; `prefix` runs the gateway through another program (prlimit).
  void StartWeb(const std::vector<std::string>& options = {}, std::vector<std::string> prefix = {}) {
    web_.reset();
    webPort_ = FreeLoopbackPort();
    std::vector<std::string> command = std::move(prefix);
    for (const std::string& part :
         {std::string(VANTREL_WEB_PATH), std::string("--port"), std::to_string(host_.Port()), std::string("--web-port"),
          std::to_string(webPort_), std::string("--ini"), host_.IniFolder().string()})
      command.push_back(part);
    command.insert(command.end(), options.begin(), options.end());
    web_ = std::make_unique<SpawnedProgram>(command);
    ASSERT_TRUE(web_->WaitForOutput("serving http://")) << web_->Output();
    ASSERT_TRUE(WaitUntil([&] { return Metric("vantrel_server_up") == "1"; }, 10s)) << web_->Output();
  }

  // The value of a metric line ("name value"); empty when it is not there.
  std::string Metric(const std::string& name) {
    const std::string text = WebClient(webPort_).Get("/metrics").body;
    const auto at = text.find("\n" + name + " ");
    if (at == std::string::npos) return {};
    const auto start = at + name.size() + 2;
    return text.substr(start, text.find('\n', start) - start);
  }

  // What the gateway answers a WebSocket upgrade with.
  int UpgradeStatus(const std::string& cookie, const std::string& origin = {}) {
    std::map<std::string, std::string> headers = {{"Connection", "Upgrade"},
                                                  {"Upgrade", "websocket"},
                                                  {"Sec-WebSocket-Version", "13"},
                                                  {"Sec-WebSocket-Key", "dGhlIHNhbXBsZSBub25jZQ=="}};
    if (!cookie.empty()) headers["Cookie"] = cookie;
    if (!origin.empty()) headers["Origin"] = origin;
    return WebClient(webPort_).Request("GET", "/api/events", "", headers).status;
  }

  // The calls of a line as the API shows them.
  static nlohmann::json CallsAt(WebClient& client, const std::string& line) {
    const auto answer = client.Get("/api/lines/" + line);
    return answer.status == 200 ? answer.Json()["calls"] : nlohmann::json::array();
  }

  std::string exchangeExtra_;  // further sections of Exchange.ini, set before SetUp
  std::string rulesExtra_;     // further lines of Rules.ini's [Rules], set before SetUp
  HostProcess host_;
  int webPort_ = 0;
  std::unique_ptr<SpawnedProgram> web_;
};
