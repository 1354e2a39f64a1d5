// The web gateway against a running Distributed host: integrators over HTTP and WebSocket, a supervisor and
// operators in Chromium; callers through vantrel-exchange.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <memory>
#include <set>
#include <sstream>
#include <thread>

#include "Browser.h"
#include "EventsClient.h"
#include "HostClient.h"
#include "OpenApiCheck.h"
#include "SpawnedProgram.h"
#include "WebClient.h"

using namespace std::chrono_literals;

namespace {

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
          "[Exchange]\nTrunks=8\n[Stations]\n101=Trunk 101\n102=Reception 102\n103=Sales 103\n104=Support 104\n");
    // 101 routes to the sales group (employees 1 and 2), where callers wait up to a minute, then to 102.
    Write("Rules.ini",
          "[Rules]\nName=Rules\nEnabled=1\nCallsDistributionType=0\nSystemPhoneNumber=102\n[Rules_Items]\nCount=1\n"
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
    std::string command = "echo '" + password + "' | " VANTREL_WEB_PATH " --ini '" + host_.IniFolder().string() +
                          "' --add-user " + name + " --role " + role;
    if (!line.empty()) command += " --line " + line + " --operator-id " + std::to_string(id);
    ASSERT_EQ(std::system((command + " > /dev/null").c_str()), 0);
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

  HostProcess host_;
  int webPort_ = 0;
  std::unique_ptr<SpawnedProgram> web_;
};

TEST_F(WebGateway, RoutedCallIsAnsweredThroughTheApiWithItsEventsInOrder) {
  WebClient anna(webPort_);
  ASSERT_TRUE(anna.LogIn("anna", "anna-secret"));
  EventsClient events(webPort_, anna.Cookie());
  ASSERT_TRUE(events.Connected());
  ASSERT_EQ(anna.Post("/api/lines/103/login", nlohmann::json::object()).status, 200);
  ASSERT_EQ(anna.Post("/api/lines/103/status", {{"status", "ready"}}).status, 200);

  ASSERT_EQ(host_.RunExchange("call 101 from 5550120").first, 0);
  // The operator's line shows the caller outside, not the routing line, with the CRM contact of the number.
  long call = 0;
  ASSERT_TRUE(WaitUntil([&] {
    for (const auto& live : CallsAt(anna, "103")) {
      if (live["state"] == "offering" && live["originalCaller"] == "5550120" && live["contact"] == "Erik Nordin" &&
          live["company"] == "Nordwind Logistics")
        call = live["id"].get<long>();
    }
    return call != 0;
  })) << CallsAt(anna, "103").dump();
  ASSERT_EQ(anna.Post("/api/lines/103/calls/" + std::to_string(call) + "/answer", nlohmann::json::object()).status,
            202);
  // Answered, the routing line hands the caller over and holds nobody any more.
  ASSERT_TRUE(WaitUntil([&] {
    const auto calls = CallsAt(anna, "103");
    return calls.size() == 1 && calls[0]["state"] == "connected" && CallsAt(anna, "101").empty();
  })) << CallsAt(anna, "103").dump()
      << CallsAt(anna, "101").dump();

  // The events arrive numbered in order, the offer before the answer at the operator's line.
  ASSERT_TRUE(events.WaitFor([&](const auto& list, const auto&) {
    bool offered = false;
    for (const auto& event : list)
      if (event["line"] == "103" && event["call"] == call) {
        if (event["event"] == "Offering") offered = true;
        if (event["event"] == "Connected") return offered;
      }
    return false;
  }));
  const auto list = events.Events();
  for (std::size_t i = 1; i < list.size(); ++i) EXPECT_LT(list[i - 1]["seq"], list[i]["seq"]);

  const auto connected = CallsAt(anna, "103")[0]["id"].get<long>();
  ASSERT_EQ(anna.Post("/api/lines/103/calls/" + std::to_string(connected) + "/hangup", nlohmann::json::object()).status,
            202);
  ASSERT_TRUE(WaitUntil([&] { return CallsAt(anna, "103").empty(); }));
  const auto history = anna.Get("/api/lines/103/history").Json();
  ASSERT_FALSE(history.empty());
  EXPECT_EQ(history[0]["originalCaller"], "5550120");
  EXPECT_EQ(history[0]["connected"], true);

  // The day's figures, live on the socket and in the metrics.
  EXPECT_TRUE(events.WaitFor([](const auto&, const auto& state) {
    return state.contains("queues") && !state["queues"].empty() && state["queues"][0]["answered"] == 1 &&
           state["queues"][0]["serviceLevelPercent"] == 100;
  })) << events.LastState().dump();
  EXPECT_TRUE(WaitUntil([&] {
    return Metric("vantrel_calls_offered_total") == "1" && Metric("vantrel_calls_answered_total") == "1" &&
           Metric("vantrel_calls_abandoned_total") == "0" && Metric("vantrel_web_clients") == "1";
  })) << WebClient(webPort_).Get("/metrics").body;
  EXPECT_EQ(Metric("vantrel_iiop_clients"), "1");
}

TEST_F(WebGateway, AnOperatorHoldsConsultsAndTransfersThroughTheApi) {
  WebClient anna(webPort_);
  ASSERT_TRUE(anna.LogIn("anna", "anna-secret"));
  ASSERT_EQ(anna.Post("/api/lines/103/login", nlohmann::json::object()).status, 200);
  ASSERT_EQ(anna.Post("/api/lines/103/status", {{"status", "ready"}}).status, 200);
  ASSERT_EQ(host_.RunExchange("call 101 from 5550110").first, 0);
  const auto callAt = [&](const std::string& line, const std::string& state) {
    for (const auto& live : CallsAt(anna, line))
      if (live["state"] == state) return live["id"].get<long>();
    return 0L;
  };
  long call = 0;
  ASSERT_TRUE(WaitUntil([&] { return (call = callAt("103", "offering")) != 0; })) << CallsAt(anna, "103").dump();
  const std::string at = "/api/lines/103/calls/" + std::to_string(call);
  ASSERT_EQ(anna.Post(at + "/answer", nlohmann::json::object()).status, 202);
  ASSERT_TRUE(WaitUntil([&] { return callAt("103", "connected") == call && CallsAt(anna, "101").empty(); }));
  // What does not fit the call's state is refused with the reason, not accepted and forgotten.
  const auto again = anna.Post(at + "/answer", nlohmann::json::object());
  EXPECT_EQ(again.status, 409);
  EXPECT_EQ(again.Json().value("error", ""),
            "Call " + std::to_string(call) + " is connected; only a ringing call is answered");
  EXPECT_EQ(anna.Post(at + "/unhold", nlohmann::json::object()).status, 409);

  ASSERT_EQ(anna.Post(at + "/hold", nlohmann::json::object()).status, 202);
  ASSERT_TRUE(WaitUntil([&] { return callAt("103", "on hold") == call; })) << CallsAt(anna, "103").dump();
  ASSERT_EQ(anna.Post(at + "/unhold", nlohmann::json::object()).status, 202);
  ASSERT_TRUE(WaitUntil([&] { return callAt("103", "connected") == call; })) << CallsAt(anna, "103").dump();

  // Consulting 104 holds the caller and rings 104; when 104 answers, completing hands the caller over.
  const auto consult = anna.Post(at + "/consult", {{"number", "104"}});
  ASSERT_EQ(consult.status, 202) << consult.body;
  ASSERT_NE(consult.Json()["consultCall"], call);
  ASSERT_TRUE(WaitUntil([&] { return callAt("104", "offering") != 0; })) << CallsAt(anna, "104").dump();
  ASSERT_EQ(host_.RunExchange("pickup 104").first, 0);
  ASSERT_TRUE(WaitUntil([&] { return callAt("104", "connected") != 0; }));
  ASSERT_EQ(anna.Post(at + "/complete", nlohmann::json::object()).status, 202);
  ASSERT_TRUE(WaitUntil([&] { return CallsAt(anna, "103").empty(); })) << CallsAt(anna, "103").dump();
  const auto status = host_.RunExchange("status").second;
  EXPECT_NE(status.find("outside 5550110 CONNECTED with 104"), std::string::npos) << status;
  // The line's history keeps the numbers: the caller's, and the consultation's to 104.
  const auto history = anna.Get("/api/lines/103/history").Json();
  bool caller = false, consultation = false;
  for (const auto& past : history) {
    EXPECT_NE(past["remote"], "") << history.dump();
    caller = caller || past["originalCaller"] == "5550110";
    consultation = consultation || (past["direction"] == "out" && past["remote"] == "104");
  }
  EXPECT_TRUE(caller && consultation) << history.dump();
  // The company's number finds the company in the CRM: its notes went with the caller.
  EXPECT_TRUE(WaitUntil([&] {
    const auto calls = CallsAt(anna, "104");
    return calls.size() == 1 && calls[0]["company"] == "Nordwind Logistics";
  })) << CallsAt(anna, "104").dump();

  // The next caller she sends on blind: it rings at 102 and leaves her line.
  ASSERT_EQ(host_.RunExchange("call 101 from 5550122").first, 0);
  ASSERT_TRUE(WaitUntil([&] { return (call = callAt("103", "offering")) != 0; })) << CallsAt(anna, "103").dump();
  const std::string next = "/api/lines/103/calls/" + std::to_string(call);
  ASSERT_EQ(anna.Post(next + "/answer", nlohmann::json::object()).status, 202);
  ASSERT_TRUE(WaitUntil([&] { return callAt("103", "connected") == call && CallsAt(anna, "101").empty(); }));
  ASSERT_EQ(anna.Post(next + "/transfer", {{"number", "102"}}).status, 202);
  EXPECT_TRUE(WaitUntil([&] { return CallsAt(anna, "103").empty() && callAt("102", "offering") != 0; }))
      << CallsAt(anna, "103").dump() << CallsAt(anna, "102").dump();
}

TEST_F(WebGateway, BadRequestsGetClearErrorsAndOperatorsActOnlyAtTheirOwnLine) {
  WebClient stranger(webPort_);
  EXPECT_EQ(stranger.Get("/api/lines").status, 401);
  EXPECT_EQ(stranger.Post("/api/lines/103/login", nlohmann::json::object()).status, 401);
  EXPECT_EQ(UpgradeStatus(""), 401);
  EXPECT_FALSE(EventsClient(webPort_, "").Connected());
  EXPECT_FALSE(stranger.LogIn("anna", "wrong-password"));
  EXPECT_FALSE(stranger.LogIn("nobody", "anna-secret"));
  EXPECT_FALSE(stranger.LogIn("../anna", "anna-secret"));

  WebClient anna(webPort_);
  ASSERT_TRUE(anna.LogIn("anna", "anna-secret"));
  const auto json = std::map<std::string, std::string>{{"Content-Type", "application/json"}};
  struct Case {
    const char* method;
    std::string target;
    std::string body;
    std::map<std::string, std::string> headers;
    int status;
    const char* says;
  };
  const std::vector<Case> cases = {
      {"POST", "/api/lines/103/status", "{not json", json, 400, "not a JSON object"},
      {"POST", "/api/lines/103/status", R"({"status":"asleep"})", json, 400, "ready, busy or pause"},
      {"POST", "/api/lines/103/status", R"({"status":"wrap-up"})", json, 400, "ready, busy or pause"},
      {"POST", "/api/lines/103/status", R"({"status":"pause","reason":"x"})", json, 400, "\"reason\""},
      {"POST", "/api/lines/103/status", R"({"status":"ready"})", json, 409, "Nobody is logged in at line 103"},
      {"POST", "/api/lines/103/dial", R"({"number":"12; drop table"})", json, 400, "not a phone number"},
      {"POST", "/api/lines/103/dial", R"({"number":42})", json, 400, "\"number\""},
      {"POST", "/api/lines/103/calls/0/answer", "{}", json, 400, "Not a call ID"},
      {"POST", "/api/lines/103/calls/77/answer", "{}", json, 404, "No call 77 at line 103"},
      {"POST", "/api/lines/103/calls/77/fly", "{}", json, 404, "No such action"},
      {"POST",
       "/api/lines/103/status",
       "status=ready",
       {{"Content-Type", "application/x-www-form-urlencoded"}},
       415,
       "application/json"},
      {"POST",
       "/api/lines/103/status",
       R"({"status":"ready"})",
       {{"Content-Type", "application/json"}, {"Origin", "http://evil.example"}},
       403,
       "another site"},
      {"POST", "/api/lines/104/login", "{}", json, 403, "only at their own line (103)"},
      {"POST", "/api/lines/999/login", "{}", json, 404, "No line 999"},
      {"GET", "/api/lines/103/nothing", "", {}, 404, "No such resource"},
      {"GET", "/api/nothing", "", {}, 404, "No such resource"},
      {"PUT", "/api/lines", "", {}, 405, "No such resource or method"},
      {"GET", "/static/..%2f..%2fWebUsers.ini", "", {}, 404, "No such page"},
      {"POST", "/api/lines/103/status", std::string(70 * 1024, ' '), json, 413, "larger than 64 KiB"},
  };
  for (const auto& test : cases) {
    const auto answer = anna.Request(test.method, test.target, test.body, test.headers);
    EXPECT_EQ(answer.status, test.status) << test.method << " " << test.target << ": " << answer.body;
    EXPECT_NE(answer.Json().value("error", "").find(test.says), std::string::npos)
        << test.method << " " << test.target << ": " << answer.body;
  }
  EXPECT_EQ(UpgradeStatus(anna.Cookie(), "http://evil.example"), 401);
  EXPECT_EQ(UpgradeStatus(anna.Cookie(), "http://127.0.0.1:" + std::to_string(webPort_)), 101);
  EXPECT_NE(anna.Raw("NOT HTTP AT ALL\r\n\r\n").find("400"), std::string::npos);

  // A supervisor acts at any line, naming the operator; the operator then finds her line taken.
  WebClient super(webPort_);
  ASSERT_TRUE(super.LogIn("super", "super-secret"));
  EXPECT_EQ(super.Post("/api/lines/103/login", nlohmann::json::object()).status, 400);
  EXPECT_EQ(super.Post("/api/lines/103/login", {{"operatorID", 2}}).status, 200);
  const auto taken = anna.Post("/api/lines/103/login", nlohmann::json::object());
  EXPECT_EQ(taken.status, 409);
  EXPECT_EQ(taken.Json()["error"], "Operator 2 is logged in at line 103");
  EXPECT_EQ(super.Post("/api/lines/103/logout", nlohmann::json::object()).status, 200);
  EXPECT_EQ(anna.Post("/api/lines/103/login", nlohmann::json::object()).status, 200);

  // The API's description is served from the repository's copy and names the actions used here.
  const auto description = stranger.Get("/api/openapi.json");
  ASSERT_EQ(description.status, 200);
  for (const char* path : {"/api/session", "/api/lines/{line}/status", "/api/lines/{line}/calls/{call}/consult",
                           "/api/lines/{line}/history", "/api/events", "/metrics"})
    EXPECT_TRUE(description.Json()["paths"].contains(path)) << path;

  // Logged out, the cookie opens nothing any more.
  EXPECT_EQ(anna.Request("DELETE", "/api/session").status, 204);
  EXPECT_EQ(anna.Get("/api/lines").status, 401);
}

TEST_F(WebGateway, FollowsTheServerThroughARestart) {
  WebClient anna(webPort_);
  ASSERT_TRUE(anna.LogIn("anna", "anna-secret"));
  ASSERT_EQ(anna.Post("/api/lines/103/login", nlohmann::json::object()).status, 200);
  EventsClient events(webPort_, anna.Cookie());
  const int port = host_.Port();
  host_.Kill();
  ASSERT_TRUE(WaitUntil([&] { return Metric("vantrel_server_up") == "0"; }, 15s));
  EXPECT_EQ(anna.Post("/api/lines/103/status", {{"status", "ready"}}).status, 503);
  EXPECT_TRUE(events.WaitFor([](const auto&, const auto& state) { return state.value("connected", true) == false; }));

  ASSERT_TRUE(host_.Start(port)) << host_.ErrorOutput();
  ASSERT_TRUE(WaitUntil([&] { return Metric("vantrel_server_up") == "1"; }, 15s));
  // The operator the gateway had logged in is logged in again, and the lines are heard again.
  ASSERT_TRUE(
      WaitUntil([&] { return anna.Get("/api/lines/103").Json().value("operator", nlohmann::json()) == 1; }, 10s));
  ASSERT_EQ(anna.Post("/api/lines/103/status", {{"status", "ready"}}).status, 200);
  ASSERT_EQ(host_.RunExchange("call 101 from 5550111").first, 0);
  EXPECT_TRUE(events.WaitFor([](const auto& list, const auto&) {
    for (const auto& event : list)
      if (event["line"] == "103" && event["event"] == "Offering") return true;
    return false;
  }));
}

TEST_F(WebGateway, WallboardAndOperatorPanelInChromium) {
  Browser browser;
  ASSERT_EQ(browser.Problem(), "");
  const std::string site = "http://127.0.0.1:" + std::to_string(webPort_);
  const auto logIn = [&](const std::string& user, const std::string& password) {
    ASSERT_TRUE(browser.WaitFor("return document.getElementById('login-user') !== null", 10s));
    // The form's fields have their labels.
    EXPECT_EQ(browser.Run("return document.querySelector('label[for=\"login-user\"]') !== null && "
                          "document.querySelector('meta[name=\"viewport\"]') !== null"),
              true);
    browser.Run("document.getElementById('login-user').value = '" + user +
                "'; document.getElementById('login-password').value = '" + password +
                "'; document.querySelector('form.login button').click();");
    ASSERT_TRUE(browser.WaitFor("return document.getElementById('connection').textContent === 'live'", 10s));
  };
  const auto page = [&] { return browser.Run("return document.body.innerText").dump(); };
  browser.Open(site + "/");
  logIn("super", "super-secret");
  ASSERT_TRUE(browser.WaitFor("return document.getElementById('lines') !== null", 10s));

  // A routed caller waits for the sales group; the wallboard shows them at the routing line and in the queue's
  // list, with their CRM contact; the operator shows with her CRM name and the pause reason's name.
  WebClient anna(webPort_), boris(webPort_);
  ASSERT_TRUE(anna.LogIn("anna", "anna-secret"));
  ASSERT_TRUE(boris.LogIn("boris", "boris-secret"));
  ASSERT_EQ(anna.Post("/api/lines/103/login", nlohmann::json::object()).status, 200);
  ASSERT_EQ(anna.Post("/api/lines/103/status", {{"status", "pause"}, {"reason", 2}}).status, 200);
  ASSERT_EQ(boris.Post("/api/lines/104/login", nlohmann::json::object()).status, 200);
  ASSERT_EQ(boris.Post("/api/lines/104/status", {{"status", "busy"}}).status, 200);
  const auto placed = std::chrono::steady_clock::now();
  ASSERT_EQ(host_.RunExchange("call 101 from 5550120").first, 0);
  const std::string shown =
      "return document.querySelector('#lines tr[data-line=\"101\"]').innerText.includes('5550120')";
  ASSERT_TRUE(browser.WaitFor(shown, 10s)) << page();
  const auto delay = std::chrono::steady_clock::now() - placed;
  EXPECT_LT(delay, kOnScreenWithin) << "on the wallboard after "
                                    << std::chrono::duration_cast<std::chrono::milliseconds>(delay).count() << " ms";
  EXPECT_TRUE(browser.WaitFor(
      "const op = document.querySelector('#operators tr[data-operator=\"1\"]');"
      "const waiting = document.querySelector('ol.waiting[data-rule=\"1\"]');"
      "return document.querySelector('#queues tr[data-rule=\"1\"]').innerText.includes('Inbound') && op !== null &&"
      "  op.innerText.includes('Anna Berg') && op.innerText.includes('paused: Training') && waiting !== null &&"
      "  waiting.innerText.includes('1.') && waiting.innerText.includes('Erik Nordin') &&"
      "  waiting.innerText.includes('5550120')",
      5s))
      << page();
  // Events read as words, not codes.
  EXPECT_TRUE(browser.WaitFor("return document.querySelectorAll('#events li').length > 0", 5s));
  EXPECT_EQ(browser.Run("return /CallState|[0-9]{6,}/.test(document.getElementById('events').innerText)"), false)
      << page();
  if (const char* folder = std::getenv("VANTREL_SCREENSHOTS"))
    browser.Screenshot(std::filesystem::path(folder) / "wallboard.png");

  // The wall screen fits 1080p without scrolling with ten operators and ten callers waiting.
  browser.Resize(1920, 1080);
  browser.Open(site + "/?tv");
  ASSERT_TRUE(
      browser.WaitFor("return document.getElementById('connection').textContent === 'live' && "
                      "document.getElementById('operators') !== null",
                      10s));
  const auto fits = browser.Run(R"(
    const crowded = JSON.parse(JSON.stringify(state));
    const now = Date.now();
    crowded.operators = [];
    for (let i = 1; i <= 10; ++i)
      crowded.operators.push({id: i, name: 'Operator Number ' + i, line: String(200 + i), status: 'ready',
                              activity: i % 2 ? 'on a call' : 'ready', statusSince: now - i * 1000, calls: i,
                              pauseReason: 0, pauseReasonName: ''});
    const routing = crowded.lines.find((line) => line.rule !== '');
    routing.calls = [];
    for (let i = 1; i <= 10; ++i)
      routing.calls.push({id: 1000 + i, state: 'on hold', direction: 'in', remote: '55501' + i,
                          originalCaller: '55501' + i, contact: 'Caller With A Long Name ' + i,
                          company: 'Company ' + i, since: now - i * 7000});
    state = crowded;
    draw();
    return document.documentElement.scrollHeight <= window.innerHeight &&
           document.querySelectorAll('ol.waiting li').length === 10 &&
           document.querySelectorAll('#operators tr[data-operator]').length === 10;)");
  EXPECT_EQ(fits, true) << browser.Run("return [document.documentElement.scrollHeight, window.innerHeight]").dump();
  browser.Resize(1280, 900);

  // The panel: a supervisor picks a line from a list; a line that does not exist says so.
  browser.Open(site + "/panel?line=999");
  ASSERT_TRUE(
      browser.WaitFor("return document.getElementById('line-missing') !== null && "
                      "document.getElementById('line-missing').innerText === 'Line 999 does not exist.' && "
                      "document.querySelector('#line-select option[value=\"103\"]') !== null",
                      10s))
      << page();
  // Logging out of the gateway brings the login back.
  browser.Run("document.getElementById('sign-out').click();");
  ASSERT_TRUE(browser.WaitFor("return document.getElementById('login-user') !== null", 10s)) << page();
  browser.Open(site + "/panel");
  logIn("anna", "anna-secret");
  ASSERT_TRUE(
      browser.WaitFor("return document.getElementById('ready') !== null && "
                      "document.querySelector('#pause-reason option[value=\"3\"]') !== null && "
                      "document.querySelector('#pause-reason option[value=\"3\"]').textContent === 'Coaching'",
                      10s))
      << page();

  // Events flow all the while: Boris (of the same group, so never ready) goes busy and pauses, again and again.
  std::atomic<bool> flowing{true};
  std::thread flow([&] {
    for (int i = 0; flowing; ++i) {
      boris.Post("/api/lines/104/status", {{"status", i % 2 ? "pause" : "busy"}, {"reason", 1}});
      std::this_thread::sleep_for(100ms);
    }
  });
  struct StopFlow {
    std::atomic<bool>& flowing;
    std::thread& flow;
    ~StopFlow() {
      flowing = false;
      if (flow.joinable()) flow.join();
    }
  } stopFlow{flowing, flow};

  // She types a number; meanwhile she gets ready and the waiting caller rings: the call shows, rings in the
  // title and for screen readers, and what she typed keeps its place and the focus.
  browser.Run("const d = document.getElementById('dial-number'); d.focus(); d.value = '555';");
  ASSERT_EQ(anna.Post("/api/lines/103/status", {{"status", "ready"}}).status, 200);
  ASSERT_TRUE(browser.WaitFor(
      "const c = document.querySelector('.panel[data-call] .contact');"
      "return c !== null && c.textContent === 'Erik Nordin' && document.body.innerText.includes('Nordwind Logistics')",
      10s))
      << page();
  EXPECT_EQ(browser.Run("return document.activeElement.id === 'dial-number' && "
                        "document.getElementById('dial-number').value === '555'"),
            true);
  EXPECT_TRUE(
      browser.WaitFor("return document.title.startsWith('\u260e Ringing: Erik Nordin') && "
                      "document.getElementById('ringing').getAttribute('aria-live') === 'assertive' && "
                      "document.getElementById('ringing').textContent.includes('Erik Nordin') && "
                      "window.ringsPlayed > 0",
                      5s))
      << browser.Run("return document.title").dump();
  // Only the buttons that fit a ringing call.
  EXPECT_EQ(browser.Run("const b = (name) => !document.querySelector('.panel[data-call] button.' + name).hidden;"
                        "return b('answer') && b('hangup') && !b('hold') && !b('unhold') && !b('complete')"),
            true);
  if (const char* folder = std::getenv("VANTREL_SCREENSHOTS"))
    browser.Screenshot(std::filesystem::path(folder) / "operator-panel.png");
  // The focus stays over five seconds of events.
  browser.Run(
      "window.focusLost = 0; window.focusSince = performance.now();"
      "window.focusWatch = setInterval(() => { if (document.activeElement.id !== 'dial-number') ++window.focusLost; },"
      " 50);");
  ASSERT_TRUE(browser.WaitFor("return performance.now() - window.focusSince > 5000", 10s));
  EXPECT_EQ(browser.Run("clearInterval(window.focusWatch); return window.focusLost"), 0);

  // Clicks held for 150 ms all land: answer, then hold and take back four times over.
  const auto callState = [&] {
    const auto calls = CallsAt(anna, "103");
    return calls.size() == 1 ? calls[0]["state"].get<std::string>() : std::string("none");
  };
  ASSERT_TRUE(browser.HoldClick(".panel[data-call] button.answer", 150ms));
  ASSERT_TRUE(WaitUntil([&] { return callState() == "connected"; })) << CallsAt(anna, "103").dump();
  // To a supervisor she is on a call now, not "ready".
  EXPECT_TRUE(WaitUntil([&] {
    for (const auto& person : anna.Get("/api/operators").Json())
      if (person["id"] == 1) return person["activity"] == "on a call" && person["status"] == "ready";
    return false;
  })) << anna.Get("/api/operators").body;
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(
        browser.WaitFor("const b = document.querySelector('.panel[data-call] button.hold');"
                        "return b !== null && !b.hidden",
                        5s));
    ASSERT_TRUE(browser.HoldClick(".panel[data-call] button.hold", 150ms));
    ASSERT_TRUE(WaitUntil([&] { return callState() == "on hold"; })) << "hold " << i << ": " << callState();
    ASSERT_TRUE(
        browser.WaitFor("const b = document.querySelector('.panel[data-call] button.unhold');"
                        "return b !== null && !b.hidden",
                        5s));
    ASSERT_TRUE(browser.HoldClick(".panel[data-call] button.unhold", 150ms));
    ASSERT_TRUE(WaitUntil([&] { return callState() == "connected"; })) << "take back " << i << ": " << callState();
  }
  EXPECT_TRUE(
      browser.WaitFor("return !document.title.includes('Ringing') && "
                      "document.getElementById('ringing').textContent === ''",
                      5s));
  // A caller who hangs up takes the card along.
  ASSERT_TRUE(browser.HoldClick(".panel[data-call] button.hangup", 150ms));
  EXPECT_TRUE(WaitUntil([&] { return CallsAt(anna, "103").empty(); })) << CallsAt(anna, "103").dump();
  EXPECT_TRUE(browser.WaitFor("return document.querySelector('.panel[data-call]') === null", 5s)) << page();
  flowing = false;
  flow.join();

  // The server goes away: the board says so within two seconds and its clocks stand still.
  browser.Run("document.getElementById('sign-out').click();");
  ASSERT_TRUE(browser.WaitFor("return document.getElementById('login-user') !== null", 10s)) << page();
  browser.Open(site + "/");
  logIn("super", "super-secret");
  ASSERT_TRUE(browser.WaitFor("return document.getElementById('operators') !== null", 10s));
  host_.Kill();
  const auto killed = std::chrono::steady_clock::now();
  ASSERT_TRUE(
      browser.WaitFor("return document.getElementById('connection').textContent === 'server down' && "
                      "document.getElementById('server-down') !== null",
                      10s))
      << page();
  const auto noticed = std::chrono::steady_clock::now() - killed;
  EXPECT_LT(noticed, 2s) << std::chrono::duration_cast<std::chrono::milliseconds>(noticed).count() << " ms";
  browser.Run("window.frozen = document.getElementById('board').innerText; window.frozenSince = performance.now();");
  ASSERT_TRUE(browser.WaitFor("return performance.now() - window.frozenSince > 2100", 5s));
  EXPECT_EQ(browser.Run("return document.getElementById('board').innerText === window.frozen"), true) << page();
}

// Milliseconds of each /metrics answer while the test runs, sorted.
std::vector<long> MetricsLatencies(int port, int count) {
  std::vector<long> latencies;
  for (int i = 0; i < count; ++i) {
    const auto start = std::chrono::steady_clock::now();
    WebClient(port).Get("/metrics");
    latencies.push_back(static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count()));
  }
  std::sort(latencies.begin(), latencies.end());
  return latencies;
}

TEST_F(WebGateway, ALoginFloodLeavesTheRestServedAndALockoutInPlace) {
  // Thirty-two clients from addresses of their own log in with a right password, as fast as they can: the
  // hashing waits its turn on a thread of its own and the overflow is refused at once; /metrics stays quick.
  WebClient anna(webPort_);
  ASSERT_TRUE(anna.LogIn("anna", "anna-secret"));
  ASSERT_EQ(anna.Post("/api/lines/103/login", nlohmann::json::object()).status, 200);
  EventsClient events(webPort_, anna.Cookie());
  ASSERT_TRUE(events.Connected());
  std::atomic<bool> flooding{true};
  std::atomic<int> accepted{0}, refused{0}, other{0};
  std::vector<std::thread> clients;
  for (int i = 0; i < 32; ++i)
    clients.emplace_back([&, i] {
      WebClient client(webPort_);
      client.SendFrom("127.0.1." + std::to_string(i + 1));
      for (int n = 0; n < 400 && flooding; ++n) {
        const int status = client.Post("/api/session", {{"user", "super"}, {"password", "super-secret"}}).status;
        (status == 200 ? accepted : status == 503 ? refused : other)++;
      }
    });
  const auto latencies = MetricsLatencies(webPort_, 30);
  // A change reaches the live events as quickly as ever.
  std::vector<long> live;
  for (int i = 0; i < 6; ++i) {
    const std::string status = i % 2 ? "ready" : "busy";
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(anna.Post("/api/lines/103/status", {{"status", status}}).status, 200);
    ASSERT_TRUE(events.WaitFor([&](const auto&, const auto& state) {
      for (const auto& person : state.value("operators", nlohmann::json::array()))
        if (person["id"] == 1) return person["status"] == status;
      return false;
    }));
    live.push_back(static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count()));
  }
  std::sort(live.begin(), live.end());
  flooding = false;
  for (auto& client : clients) client.join();
  std::cout << "/metrics during a login flood: median " << latencies[latencies.size() / 2] << " ms, max "
            << latencies.back() << " ms; a status change live after " << live[live.size() / 2] << " ms (max "
            << live.back() << "); logins accepted " << accepted << ", refused at once " << refused << std::endl;
  EXPECT_LT(latencies[latencies.size() / 2], 500);
  EXPECT_LT(latencies.back(), 2000);
  EXPECT_LT(live[live.size() / 2], 1000);
  EXPECT_GT(accepted, 0);
  EXPECT_GT(refused, 0);
  EXPECT_EQ(other, 0);

  // Five wrong passwords for the supervisor from one address lock the name there, and only there.
  WebClient guesser(webPort_), colleague(webPort_), junk(webPort_);
  guesser.SendFrom("127.0.0.2");
  colleague.SendFrom("127.0.0.3");
  junk.SendFrom("127.0.0.4");
  for (int i = 0; i < 5; ++i) EXPECT_FALSE(guesser.LogIn("super", "guess-" + std::to_string(i)));
  const auto locked = guesser.Post("/api/session", {{"user", "super"}, {"password", "super-secret"}});
  EXPECT_EQ(locked.status, 429) << locked.body;
  EXPECT_TRUE(locked.headers.count("retry-after"));
  EXPECT_TRUE(colleague.LogIn("super", "super-secret"));
  // A flood of names nobody has, past any bound the failures are kept in, clears nothing.
  int junkRefused = 0;
  for (int i = 0; i < 10002; ++i)
    if (junk.Post("/api/session", {{"user", "junk" + std::to_string(i)}, {"password", "x"}}).status == 429)
      ++junkRefused;
  EXPECT_GT(junkRefused, 9990);
  EXPECT_EQ(guesser.Post("/api/session", {{"user", "super"}, {"password", "super-secret"}}).status, 429);
  EXPECT_TRUE(colleague.LogIn("super", "super-secret"));
}

TEST_F(WebGateway, OutOfDescriptorsOrAtTheCapTheGatewayWaitsInsteadOfSpinning) {
  // Started under a limit of 128 descriptors, the gateway takes 64 connections at most.
  StartWeb({}, {"/usr/bin/prlimit", "--nofile=128:128"});
  const auto cpuSeconds = [&] {
    std::ifstream stat("/proc/" + std::to_string(web_->Pid()) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::vector<std::string> values(std::istream_iterator<std::string>(fields), {});
    return (std::stod(values.at(11)) + std::stod(values.at(12))) / static_cast<double>(::sysconf(_SC_CLK_TCK));
  };
  const auto holdConnections = [&](int count) {
    std::vector<std::unique_ptr<boost::asio::ip::tcp::socket>> held;
    static boost::asio::io_context context;
    for (int i = 0; i < count; ++i) {
      auto socket = std::make_unique<boost::asio::ip::tcp::socket>(context);
      socket->connect({boost::asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(webPort_)});
      held.push_back(std::move(socket));
    }
    return held;
  };
  const auto countOf = [&](const std::string& text) {
    web_->WaitForOutput("\x01", 200ms);  // reads what came so far
    std::size_t count = 0;
    for (auto at = web_->Output().find(text); at != std::string::npos; at = web_->Output().find(text, at + 1)) ++count;
    return count;
  };
  for (const bool lowerLimit : {false, true}) {
    if (lowerLimit) {
      // Now fewer descriptors than connections: accepting fails with "Too many open files".
      std::size_t open = 0;
      for ([[maybe_unused]] const auto& entry :
           std::filesystem::directory_iterator("/proc/" + std::to_string(web_->Pid()) + "/fd"))
        ++open;
      const std::string limit = std::to_string(open + 8);
      ASSERT_EQ(
          std::system(
              ("/usr/bin/prlimit --pid " + std::to_string(web_->Pid()) + " --nofile=" + limit + ":" + limit).c_str()),
          0);
    }
    auto held = holdConnections(80);
    const double before = cpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(web_->WaitForOutput(lowerLimit ? "Too many open files" : "the most allowed", 5s)) << web_->Output();
    // Two seconds of being full cost next to nothing, and are said once.
    std::this_thread::sleep_until(start + 2s);
    const double spent = cpuSeconds() - before;
    std::cout << (lowerLimit ? "out of descriptors" : "at the cap") << ": " << spent << " s of CPU in 2 s" << std::endl;
    EXPECT_LT(spent, 0.3);
    EXPECT_EQ(countOf(lowerLimit ? "Too many open files" : "the most allowed"), 1u) << web_->Output();
    held.clear();
    EXPECT_TRUE(WaitUntil([&] { return Metric("vantrel_server_up") == "1"; }, 10s));
    EXPECT_GE(countOf("accepting connections again"), lowerLimit ? 2u : 1u) << web_->Output();
  }
}

TEST_F(WebGateway, LoggingOutOrLosingTheUserEndsTheSessionAndItsSockets) {
  WebClient anna(webPort_), boris(webPort_);
  ASSERT_TRUE(anna.LogIn("anna", "anna-secret"));
  ASSERT_TRUE(boris.LogIn("boris", "boris-secret"));
  EventsClient annaEvents(webPort_, anna.Cookie()), borisEvents(webPort_, boris.Cookie());
  ASSERT_TRUE(annaEvents.Connected());
  ASSERT_TRUE(borisEvents.Connected());
  EXPECT_EQ(anna.Request("DELETE", "/api/session").status, 204);
  EXPECT_TRUE(WaitUntil([&] { return annaEvents.Closed(); }, 2s));
  EXPECT_FALSE(borisEvents.Closed());

  // Boris is taken out of the users' file by hand: his next request is refused, his socket closes.
  const auto file = host_.IniFolder() / "WebUsers.ini";
  std::ifstream in(file);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  in.close();
  const auto at = text.find("[boris]");
  ASSERT_NE(at, std::string::npos);
  text.erase(at, text.find('[', at + 1) == std::string::npos ? std::string::npos : text.find('[', at + 1) - at);
  std::ofstream(file) << text;
  EXPECT_TRUE(WaitUntil([&] { return borisEvents.Closed(); }, 5s));
  EXPECT_EQ(boris.Get("/api/lines").status, 401);
  EXPECT_FALSE(boris.LogIn("boris", "boris-secret"));
}

TEST_F(WebGateway, OnlyItsOwnNamesReachTheGateway) {
  const auto withHost = [&](const std::string& method, const std::string& target, const std::string& host) {
    return WebClient(webPort_).Request(method, target, method == "POST" ? R"({"user":"super","password":"x"})" : "",
                                       {{"Host", host}, {"Content-Type", "application/json"}});
  };
  const std::string port = ":" + std::to_string(webPort_);
  // A page of another name, reached through DNS rebinding, gets neither the login nor the figures.
  for (const std::string& target : {"/metrics", "/", "/api/openapi.json"}) {
    const auto refused = withHost("GET", target, "rebind.example" + port);
    EXPECT_EQ(refused.status, 421) << target;
    EXPECT_NE(refused.Json().value("error", "").find("--allowed-hosts"), std::string::npos) << refused.body;
  }
  EXPECT_EQ(withHost("POST", "/api/session", "rebind.example" + port).status, 421);
  EXPECT_EQ(withHost("GET", "/metrics", "").status, 421);
  EXPECT_EQ(withHost("GET", "/metrics", "127.0.0.1" + port).status, 200);
  EXPECT_EQ(withHost("GET", "/metrics", "localhost" + port).status, 200);
  EXPECT_EQ(withHost("GET", "/metrics", "LocalHost").status, 200);
  EXPECT_EQ(WebClient(webPort_)
                .Request("GET", "/api/events", "",
                         {{"Host", "rebind.example"},
                          {"Connection", "Upgrade"},
                          {"Upgrade", "websocket"},
                          {"Sec-WebSocket-Version", "13"},
                          {"Sec-WebSocket-Key", "dGhlIHNhbXBsZSBub25jZQ=="}})
                .status,
            421);
  // Names given to it are its own too.
  StartWeb({"--allowed-hosts", "wallboard.example,board.example"});
  EXPECT_EQ(withHost("GET", "/metrics", "board.example" + port).status, 200);
  EXPECT_EQ(WebClient(webPort_).Request("GET", "/metrics", "", {{"Host", "wallboard.example:8080"}}).status, 200);
  EXPECT_EQ(WebClient(webPort_).Request("GET", "/metrics", "", {{"Host", "rebind.example"}}).status, 421);
}

TEST_F(WebGateway, FilesTheServerAndTheGatewayWriteAreTheOwnersOnly) {
  // The test wrote the settings readable by all, as an administrator might; the server saves them over.
  std::filesystem::permissions(host_.IniFolder() / "Settings.ini", std::filesystem::perms(0644));
  std::filesystem::permissions(host_.IniFolder() / "Lines.ini", std::filesystem::perms(0644));
  {
    CORBA::Object_var object = TestORB()->string_to_object(host_.Corbaloc().c_str());
    ::Environment_var environment = ::Environment::_narrow(object);
    ASSERT_TRUE(environment->SaveToIniFiles(host_.IniFolder().c_str()));
  }
  AddUser("clara", "operator", "102", 3, "clara-secret");
  std::vector<std::string> written;
  for (const std::string name : {"Settings.ini", "Settings.ini.bak", "Lines.ini", "Lines.ini.bak", "WebUsers.ini",
                                 "WebUsers.ini.bak", "crm.sqlite3"})
    written.push_back(name);
  for (const auto& entry : std::filesystem::recursive_directory_iterator(host_.IniFolder() / "Logs"))
    if (entry.is_regular_file()) written.push_back(std::filesystem::relative(entry.path(), host_.IniFolder()).string());
  for (const auto& name : written) {
    struct stat status {};
    ASSERT_EQ(::stat((host_.IniFolder() / name).c_str(), &status), 0) << name;
    EXPECT_EQ(status.st_mode & 0077, 0u) << name << " is " << std::oct << (status.st_mode & 0777);
  }
}

TEST_F(WebGateway, ACorrectedContactShowsOnceTheCachedAnswerExpires) {
  StartWeb({"--crm-cache-seconds", "2"});
  WebClient anna(webPort_);
  ASSERT_TRUE(anna.LogIn("anna", "anna-secret"));
  ASSERT_EQ(anna.Post("/api/lines/103/login", nlohmann::json::object()).status, 200);
  ASSERT_EQ(anna.Post("/api/lines/103/status", {{"status", "ready"}}).status, 200);
  const auto contactOfCall = [&](const std::string& name) {
    ASSERT_EQ(host_.RunExchange("call 101 from 5550120").first, 0);
    long call = 0;
    ASSERT_TRUE(WaitUntil([&] {
      for (const auto& live : CallsAt(anna, "103"))
        if (live["state"] == "offering" && live["contact"] == name) call = live["id"].get<long>();
      return call != 0;
    })) << CallsAt(anna, "103").dump();
    const std::string at = "/api/lines/103/calls/" + std::to_string(call);
    ASSERT_EQ(anna.Post(at + "/answer", nlohmann::json::object()).status, 202);
    ASSERT_TRUE(WaitUntil([&] { return CallsAt(anna, "101").empty(); }));
    ASSERT_EQ(anna.Post(at + "/hangup", nlohmann::json::object()).status, 202);
    ASSERT_TRUE(WaitUntil([&] { return CallsAt(anna, "103").empty(); }));
  };
  contactOfCall("Erik Nordin");
  const auto lookedUp = std::chrono::steady_clock::now();
  {
    CrmFile crm(host_.IniFolder() / "crm.sqlite3");
    ASSERT_EQ(sqlite3_exec(crm.Handle(), "update tq_Contact set Name = 'Erik Nordin-Lund' where ID = 20", nullptr,
                           nullptr, nullptr),
              SQLITE_OK);
  }
  // Asked again once the answer is older than its lifetime.
  std::this_thread::sleep_until(lookedUp + 2500ms);
  ASSERT_TRUE(WaitUntil([&] { return anna.Get("/api/operators").Json()[0]["status"] == "ready"; }));
  contactOfCall("Erik Nordin-Lund");
}

TEST_F(WebGateway, HeadTellsTheLengthAndEveryAnswerIsDescribed) {
  const auto page = WebClient(webPort_).Get("/");
  const auto head = WebClient(webPort_).Request("HEAD", "/");
  EXPECT_EQ(head.status, 200);
  EXPECT_EQ(head.headers.at("content-length"), std::to_string(page.body.size()));
  EXPECT_TRUE(head.body.empty());

  const nlohmann::json description = WebClient(webPort_).Get("/api/openapi.json").Json();
  ASSERT_TRUE(description.is_object());
  const std::string problems = openapi_check::OpenApiProblems(description);
  EXPECT_EQ(problems, "");
  // Where the reference validator is installed, it has its say too.
  if (std::system("python3 -c 'import openapi_spec_validator' 2>/dev/null") == 0) {
    const auto file = host_.IniFolder() / "openapi.json";
    std::ofstream(file) << description.dump();
    const std::string command =
        "python3 -c 'import json,sys; from openapi_spec_validator import validate; "
        "validate(json.load(open(sys.argv[1])))' '" +
        file.string() + "'";
    EXPECT_EQ(std::system(command.c_str()), 0);
  }

  // Every answer the gateway gives here is among those documented for its operation, in the documented shape.
  WebClient anna(webPort_), super(webPort_), stranger(webPort_);
  std::vector<std::string> unchecked;
  const auto check = [&](WebClient& client, const std::string& method, const std::string& target,
                         const std::string& operation, const std::string& body = "{}",
                         std::map<std::string, std::string> headers = {{"Content-Type", "application/json"}}) {
    const auto answer = client.Request(method, target, body, headers);
    const std::string problem =
        openapi_check::AnswerProblem(description, operation, method, answer.status, answer.body);
    EXPECT_EQ(problem, "") << method << " " << target << " answered " << answer.status << " " << answer.body;
    return answer;
  };
  check(stranger, "GET", "/api/session", "/api/session");
  check(stranger, "POST", "/api/session", "/api/session", R"({"user":"anna","password":"nope"})");
  check(stranger, "POST", "/api/session", "/api/session", R"({"user":42})");
  check(anna, "POST", "/api/session", "/api/session", R"({"user":"anna","password":"anna-secret"})");
  check(super, "POST", "/api/session", "/api/session", R"({"user":"super","password":"super-secret"})");
  check(anna, "GET", "/api/session", "/api/session");
  for (const std::string path : {"/api/state", "/api/lines", "/api/operators", "/api/rules"}) {
    check(anna, "GET", path, path);
    check(stranger, "GET", path, path);
  }
  check(anna, "GET", "/api/lines/103", "/api/lines/{line}");
  check(anna, "GET", "/api/lines/999", "/api/lines/{line}");
  check(anna, "GET", "/api/lines/1x", "/api/lines/{line}");
  check(anna, "POST", "/api/lines/103/status", "/api/lines/{line}/status", R"({"status":"ready"})");
  check(anna, "POST", "/api/lines/103/login", "/api/lines/{line}/login");
  check(anna, "POST", "/api/lines/103/login", "/api/lines/{line}/login");
  check(anna, "POST", "/api/lines/104/login", "/api/lines/{line}/login");
  check(anna, "POST", "/api/lines/103/status", "/api/lines/{line}/status", R"({"status":"pause","reason":3})");
  check(anna, "POST", "/api/lines/103/status", "/api/lines/{line}/status", "status=ready",
        {{"Content-Type", "text/plain"}});
  check(anna, "POST", "/api/lines/103/status", "/api/lines/{line}/status", std::string(70 * 1024, ' '));
  check(anna, "POST", "/api/lines/103/dial", "/api/lines/{line}/dial", R"({"number":"104"})");
  long call = 0;
  ASSERT_TRUE(WaitUntil([&] {
    const auto calls = CallsAt(anna, "103");
    if (!calls.empty()) call = calls[0]["id"].get<long>();
    return call != 0;
  }));
  const std::string at = "/api/lines/103/calls/" + std::to_string(call);
  check(anna, "POST", at + "/hold", "/api/lines/{line}/calls/{call}/hold");
  check(anna, "POST", at + "/answer", "/api/lines/{line}/calls/{call}/answer");
  check(anna, "POST", at + "/transfer", "/api/lines/{line}/calls/{call}/transfer", R"({"number":"x"})");
  check(anna, "POST", at + "/hangup", "/api/lines/{line}/calls/{call}/hangup");
  check(anna, "POST", "/api/lines/103/calls/77/unhold", "/api/lines/{line}/calls/{call}/unhold");
  check(anna, "POST", "/api/lines/103/calls/77/consult", "/api/lines/{line}/calls/{call}/consult",
        R"({"number":"102"})");
  check(anna, "POST", "/api/lines/103/calls/77/complete", "/api/lines/{line}/calls/{call}/complete");
  ASSERT_TRUE(WaitUntil([&] { return CallsAt(anna, "103").empty(); }));
  check(anna, "GET", "/api/lines/103/history", "/api/lines/{line}/history");
  check(anna, "POST", "/api/lines/103/logout", "/api/lines/{line}/logout");
  check(anna, "POST", "/api/lines/103/logout", "/api/lines/{line}/logout");
  check(anna, "GET", "/metrics", "/metrics", "", {});
  check(anna, "GET", "/metrics", "/metrics", "", {{"Host", "rebind.example"}});
  check(anna, "DELETE", "/metrics", "/metrics", "", {});
  check(anna, "GET", "/api/session", "/api/session", "", {{"X-Filler", std::string(20 * 1024, 'x')}});
  check(anna, "DELETE", "/api/session", "/api/session", "", {});
  const auto events = WebClient(webPort_).Request("GET", "/api/events", "",
                                                  {{"Connection", "Upgrade"},
                                                   {"Upgrade", "websocket"},
                                                   {"Sec-WebSocket-Version", "13"},
                                                   {"Sec-WebSocket-Key", "dGhlIHNhbXBsZSBub25jZQ=="}});
  EXPECT_EQ(openapi_check::AnswerProblem(description, "/api/events", "GET", events.status, events.body), "");
  // While the server is away.
  ASSERT_TRUE(anna.LogIn("anna", "anna-secret"));
  host_.Kill();
  ASSERT_TRUE(WaitUntil([&] { return Metric("vantrel_server_up") == "0"; }, 15s));
  check(anna, "POST", "/api/lines/103/login", "/api/lines/{line}/login");
}

TEST_F(WebGateway, AnOperatorWrappingUpShowsTheTimeLeft) {
  // The rule gives three seconds of wrap-up after a call.
  const int port = host_.Port();
  ASSERT_EQ(host_.Stop(), 0);
  ASSERT_TRUE(WaitUntil([&] { return Metric("vantrel_server_up") == "0"; }, 15s));
  std::ifstream in(host_.IniFolder() / "Rules.ini");
  std::string rules((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  in.close();
  // The server saved the rules on its way out, in its own line endings.
  const auto maxWait = rules.find("MaxWait=");
  ASSERT_NE(maxWait, std::string::npos) << rules;
  const bool crlf = rules[rules.find('\n', maxWait) - 1] == '\r';
  rules.insert(maxWait, crlf ? "WrapUp=3\r\n" : "WrapUp=3\n");
  Write("Rules.ini", rules);
  ASSERT_TRUE(host_.Start(port)) << host_.ErrorOutput();
  ASSERT_TRUE(WaitUntil([&] { return Metric("vantrel_server_up") == "1"; }, 15s));
  WebClient anna(webPort_);
  ASSERT_TRUE(anna.LogIn("anna", "anna-secret"));
  ASSERT_EQ(anna.Post("/api/lines/103/login", nlohmann::json::object()).status, 200);
  ASSERT_EQ(anna.Post("/api/lines/103/status", {{"status", "ready"}}).status, 200);
  ASSERT_EQ(host_.RunExchange("call 101 from 5550120").first, 0);
  long call = 0;
  ASSERT_TRUE(WaitUntil([&] {
    const auto calls = CallsAt(anna, "103");
    if (calls.size() == 1 && calls[0]["state"] == "offering") call = calls[0]["id"].get<long>();
    return call != 0;
  }));
  const std::string at = "/api/lines/103/calls/" + std::to_string(call);
  ASSERT_EQ(anna.Post(at + "/answer", nlohmann::json::object()).status, 202);
  ASSERT_TRUE(WaitUntil([&] { return CallsAt(anna, "101").empty(); }));
  ASSERT_EQ(anna.Post(at + "/hangup", nlohmann::json::object()).status, 202);
  nlohmann::json anna1;
  ASSERT_TRUE(WaitUntil([&] {
    for (const auto& person : anna.Get("/api/operators").Json())
      if (person["id"] == 1) anna1 = person;
    return anna1.value("activity", "") == "wrap-up" && anna1["wrapUpUntil"].is_number();
  })) << anna1.dump();
  EXPECT_NEAR(anna1["wrapUpUntil"].get<double>() - anna1["statusSince"].get<double>(), 3000, 1000) << anna1.dump();
  // And back to ready when it is over.
  EXPECT_TRUE(WaitUntil(
      [&] {
        for (const auto& person : anna.Get("/api/operators").Json())
          if (person["id"] == 1) return person["activity"] == "ready" && person["wrapUpUntil"].is_null();
        return false;
      },
      10s));
}

}  // namespace
