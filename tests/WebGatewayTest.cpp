// The web gateway against a running Distributed host: integrators over HTTP and WebSocket, a supervisor and
// operators in Chromium; callers through vantrel-exchange.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <iterator>
#include <memory>
#include <thread>

#include "Browser.h"
#include "EventsClient.h"
#include "HostClient.h"
#include "WebGatewayFixture.h"

namespace {

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
  // This exchange has no SIP WebSocket: the panel offers no phone.
  EXPECT_EQ(browser.Run("return document.getElementById('phone').closest('[hidden]') !== null"), true);
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
  // A connected call offers recording; this simulated caller has no media, which the panel says.
  ASSERT_TRUE(browser.WaitFor("const b = document.querySelector('.panel[data-call] button.record');"
                              "return b !== null && !b.hidden && "
                              "document.querySelector('.panel[data-call] button.pause-record').hidden",
                              5s))
      << page();
  ASSERT_TRUE(browser.HoldClick(".panel[data-call] button.record", 150ms));
  EXPECT_TRUE(browser.WaitFor("return document.getElementById('message').textContent.includes('the call has no media')"
                              " && document.querySelector('.panel[data-call] button.pause-record').hidden",
                              5s))
      << page();
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
