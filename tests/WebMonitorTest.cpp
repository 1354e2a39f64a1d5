// Supervisors listening in through the web gateway: the wallboard's listen, coach and join buttons ask the server
// to ring the signed-in supervisor's own station (over HTTP and in headless Chromium).
#include "Browser.h"
#include "WebGatewayFixture.h"

namespace {

// The supervisors' group is the sample CRM's 200 (employees 1, 3 and 4); "chief" is a supervisor whose station is
// 102.
class WebMonitor : public WebGateway {
 protected:
  void SetUp() override {
    rulesExtra_ = "SupervisorGroup=200\n";
    ASSERT_NO_FATAL_FAILURE(WebGateway::SetUp());
    AddUser("chief", "supervisor", "102", 0, "chief-secret");
  }
};

}  // namespace

TEST_F(WebMonitor, ASupervisorListensInFromTheirOwnStationAndOthersAreRefused) {
  WebClient anna(webPort_), chief(webPort_), super(webPort_);
  ASSERT_TRUE(anna.LogIn("anna", "anna-secret"));
  ASSERT_TRUE(chief.LogIn("chief", "chief-secret"));
  ASSERT_TRUE(super.LogIn("super", "super-secret"));
  EXPECT_EQ(chief.Get("/api/session").Json().value("line", ""), "102");
  ASSERT_EQ(anna.Post("/api/lines/103/login", nlohmann::json::object()).status, 200);
  ASSERT_EQ(host_.RunExchange("call 103 from 5550120").first, 0);
  long call = 0;
  ASSERT_TRUE(WaitUntil([&] {
    for (const auto& live : CallsAt(anna, "103"))
      if (live["state"] == "offering") call = live["id"].get<long>();
    return call != 0;
  })) << CallsAt(anna, "103").dump();
  const std::string at = "/api/lines/103/calls/" + std::to_string(call);
  ASSERT_EQ(anna.Post(at + "/answer", nlohmann::json::object()).status, 202);
  ASSERT_TRUE(WaitUntil([&] {
    for (const auto& live : CallsAt(anna, "103"))
      if (live["id"] == call && live["state"] == "connected") return true;
    return false;
  })) << CallsAt(anna, "103").dump();
  const std::string monitor = at + "/monitor";

  const auto byOperator = anna.Post(monitor, {{"mode", "listen"}});
  EXPECT_EQ(byOperator.status, 403);
  EXPECT_EQ(byOperator.Json().value("error", ""), "Listening in is for supervisors");
  const auto noStation = super.Post(monitor, {{"mode", "listen"}});
  EXPECT_EQ(noStation.status, 409);
  EXPECT_EQ(noStation.Json().value("error", "").rfind("No station of yours to ring", 0), 0u) << noStation.body;
  const auto badMode = chief.Post(monitor, {{"mode", "loud"}});
  EXPECT_EQ(badMode.status, 400);
  EXPECT_EQ(badMode.Json().value("error", ""), "\"mode\" is listen, whisper or barge");
  EXPECT_EQ(chief.Post("/api/lines/103/calls/99999/monitor", {{"mode", "listen"}}).status, 404);

  // The server is asked with the supervisor's own station: nobody sits there yet, then an operator outside the
  // group, then a supervisor; the call is simulated, so it has nothing to listen to.
  const auto empty = chief.Post(monitor, {{"mode", "listen"}});
  EXPECT_EQ(empty.status, 409);
  EXPECT_EQ(empty.Json().value("error", ""), "nobody is logged in at station 102");
  ASSERT_EQ(chief.Post("/api/lines/102/login", {{"operatorID", 2}}).status, 200);
  const auto outside = chief.Post(monitor, {{"mode", "barge"}});
  EXPECT_EQ(outside.Json().value("error", ""), "the operator at station 102 is not in the supervisors' group 200");
  ASSERT_EQ(chief.Post("/api/lines/102/logout", nlohmann::json::object()).status, 200);
  ASSERT_EQ(chief.Post("/api/lines/102/login", {{"operatorID", 3}}).status, 200);
  const auto simulated = chief.Post(monitor, {{"mode", "whisper"}});
  EXPECT_EQ(simulated.status, 409);
  EXPECT_EQ(simulated.Json().value("error", ""), "the call has no media");

  // On the wallboard the supervisor's buttons by the call ask the same, and the page says the server's answer.
  Browser browser;
  ASSERT_EQ(browser.Problem(), "");
  browser.Open("http://127.0.0.1:" + std::to_string(webPort_) + "/");
  ASSERT_TRUE(browser.WaitFor("return document.getElementById('login-user') !== null", 10s));
  browser.Run("document.getElementById('login-user').value = 'chief';"
              "document.getElementById('login-password').value = 'chief-secret';"
              "document.querySelector('form.login button').click();");
  const std::string button =
      "document.querySelector('#lines tr[data-line=\"103\"] [data-call=\"" + std::to_string(call) +
      "\"] button[data-monitor=\"whisper\"]')";
  ASSERT_TRUE(browser.WaitFor("return " + button + " !== null", 10s))
      << browser.Run("return document.body.innerText").dump();
  EXPECT_EQ(browser.Run("return " + button + ".textContent"), "coach");
  // No buttons by the supervisor's own station's calls.
  EXPECT_EQ(browser.Run("return document.querySelectorAll('#lines tr[data-line=\"102\"] button').length"), 0);
  browser.Run(button + ".click()");
  EXPECT_TRUE(browser.WaitFor(
      "const note = document.getElementById('monitor-note');"
      "return note !== null && note.textContent === 'the call has no media'",
      10s))
      << browser.Run("return document.body.innerText").dump();
}
