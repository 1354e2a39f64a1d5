// The supervisors' reports through the web gateway: the known day of SeededDay.h written into the server's CRM by
// the call-log writer, read back as JSON and CSV, refused when asked badly or by an operator, and shown in Chromium.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <memory>

#include "Browser.h"
#include "HostClient.h"
#include "SeededDay.h"
#include "SpawnedProgram.h"
#include "WebClient.h"
#include "database/CallLogWriter.h"
#include "database/SampleHistory.h"

using namespace std::chrono_literals;

namespace {

// RFC 4180: fields separated by commas, rows by CRLF, quoted fields with doubled quotes inside.
std::vector<std::vector<std::string>> ParseCsv(const std::string& text) {
  std::vector<std::vector<std::string>> rows(1);
  std::string field;
  bool quoted = false, wasQuoted = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quoted) {
      if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
        field.push_back('"');
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        field.push_back(c);
      }
    } else if (c == '"' && field.empty() && !wasQuoted) {
      quoted = wasQuoted = true;
    } else if (c == ',') {
      rows.back().push_back(field);
      field.clear();
      wasQuoted = false;
    } else if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      rows.back().push_back(field);
      field.clear();
      wasQuoted = false;
      rows.emplace_back();
      ++i;
    } else {
      field.push_back(c);
    }
  }
  if (rows.back().empty()) rows.pop_back();
  return rows;
}

// The CSV's rows as JSON objects by the header's names, numbers as numbers and empty fields as null.
nlohmann::json CsvAsJson(const std::string& text) {
  const auto rows = ParseCsv(text);
  nlohmann::json list = nlohmann::json::array();
  for (std::size_t r = 1; r < rows.size(); ++r) {
    nlohmann::json row;
    for (std::size_t c = 0; c < rows[0].size(); ++c) {
      const std::string& value = rows[r].at(c);
      char* end = nullptr;
      const double number = std::strtod(value.c_str(), &end);
      if (value.empty()) {
        row[rows[0][c]] = nullptr;
      } else if (end != nullptr && *end == '\0' && value.find_first_not_of("0123456789.-") == std::string::npos) {
        row[rows[0][c]] = number;
      } else {
        row[rows[0][c]] = value;
      }
    }
    list.push_back(row);
  }
  return list;
}

class WebReports : public ::testing::Test {
 protected:
  void SetUp() override {
    // The gateway counts in its local time, the server's: Europe/Berlin, whose clock skips 02:00 on 2026-03-29.
    const char* tz = std::getenv("TZ");
    hadTz_ = tz != nullptr;
    if (hadTz_) previousTz_ = tz;
    ::setenv("TZ", "Europe/Berlin", 1);
    Write("Settings.ini",
          "[Server]\nType=Distributed\n[Connection]\nCryptConnectionString=0\n"
          "ConnectionString=Provider=SQLite;Data Source=crm.sqlite3\n");
    Write("Exchange.ini", "[Exchange]\nTrunks=2\n[Stations]\n101=Trunk 101\n201=Anna\n202=Boris\n");
    Write("Rules.ini",
          "[Rules]\nName=Rules\nEnabled=1\nCallsDistributionType=0\nSystemPhoneNumber=201\n[Rules_Items]\nCount=2\n"
          "ItemID=2\n[Rules_0]\nID=1\nOrder=0\nName=Inbound\nEnabled=1\nServiceLevelSeconds=20\n[Rules_0_Items]\n"
          "Count=0\nItemID=0\n[Rules_1]\nID=2\nOrder=1\nName=Support\nEnabled=1\nServiceLevelSeconds=30\n"
          "[Rules_1_Items]\nCount=0\nItemID=0\n");
    const std::string crm = std::string(VANTREL_CRM_PATH) + " --connection 'Provider=SQLite;Data Source=crm.sqlite3'" +
                            " --base '" + host_.IniFolder().string() + "' --sample > /dev/null";
    ASSERT_EQ(std::system(crm.c_str()), 0);
    {
      vantrel::TCallLogWriter writer(host_.IniFolder().string(), host_.IniFolder() / "Seed.journal",
                                     [] { return std::string("Provider=SQLite;Data Source=crm.sqlite3"); });
      // A fuller day before it, for the pictures of the page; rows in the order of their times, as the server writes.
      vantrel::TSampleDay friday;
      friday.year = 2026;
      friday.month = 3;
      friday.day = 27;
      friday.operators = {1, 2, 3, 4};
      friday.rules = {1, 2};
      friday.callers = 240;
      for (const auto& row : vantrel::SampleDayRows(friday)) writer.Append(row);
      for (const auto& row : seeded::Rows()) writer.Append(row);
      ASSERT_TRUE(writer.WaitUntilWritten(20s));
    }
    ASSERT_TRUE(host_.Start()) << host_.ErrorOutput();
    AddUser("super", "supervisor", "", 0, "super-secret");
    AddUser("anna", "operator", "201", 1, "anna-secret");
    webPort_ = FreeLoopbackPort();
    web_ = std::make_unique<SpawnedProgram>(
        std::vector<std::string>{VANTREL_WEB_PATH, "--port", std::to_string(host_.Port()), "--web-port",
                                 std::to_string(webPort_), "--ini", host_.IniFolder().string()});
    ASSERT_TRUE(web_->WaitForOutput("serving http://")) << web_->Output();
  }
  void TearDown() override {
    if (hadTz_) {
      ::setenv("TZ", previousTz_.c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
  }

  void Write(const std::string& name, const std::string& text) { std::ofstream(host_.IniFolder() / name) << text; }
  WebClient Supervisor() {
    WebClient client(webPort_);
    EXPECT_TRUE(client.LogIn("super", "super-secret"));
    return client;
  }
  void AddUser(const std::string& name, const std::string& role, const std::string& line, long id,
               const std::string& password) {
    ASSERT_TRUE(AddWebUser(host_.IniFolder(), name, role, line, id, password));
  }

  HostProcess host_;
  int webPort_ = 0;
  std::unique_ptr<SpawnedProgram> web_;
  bool hadTz_ = false;
  std::string previousTz_;
};

}  // namespace

TEST_F(WebReports, TheDaysFiguresComeAsJsonAndAsCsvThatParsesBackToThem) {
  WebClient super_ = Supervisor();
  const auto rules = super_.Get("/api/reports/rules?from=2026-03-28&to=2026-03-28");
  ASSERT_EQ(rules.status, 200) << rules.body;
  const auto json = rules.Json();
  EXPECT_EQ(json["timeZone"], "Europe/Berlin");
  EXPECT_EQ(json["utcOffset"], "+01:00");
  EXPECT_EQ(json["from"], "2026-03-28 00:00:00");
  EXPECT_EQ(json["to"], "2026-03-29 00:00:00");
  ASSERT_EQ(json["rows"].size(), 2u) << rules.body;
  const auto& inbound = json["rows"][0];
  EXPECT_EQ(inbound["ruleName"], "Inbound");
  EXPECT_EQ(inbound["offered"], 7);
  EXPECT_EQ(inbound["answered"], 5);
  EXPECT_EQ(inbound["answeredInServiceLevel"], 3);
  EXPECT_EQ(inbound["serviceLevelPercent"], 50.0);
  EXPECT_EQ(inbound["abandoned"], 2);
  EXPECT_EQ(inbound["shortAbandoned"], 1);
  EXPECT_EQ(inbound["overflowed"], 1);
  EXPECT_EQ(inbound["longestWait"], 80);
  EXPECT_EQ(inbound["averageSpeedOfAnswer"], 31.0);
  EXPECT_EQ(inbound["averageTalk"], 105.0);
  EXPECT_EQ(inbound["averageWrapUp"], 25.0);
  EXPECT_EQ(json["rows"][1]["ruleName"], "Support");
  EXPECT_EQ(json["rows"][1]["serviceLevelSeconds"], 30);

  const auto operators = super_.Get("/api/reports/operators?from=2026-03-28&to=2026-03-28").Json();
  ASSERT_EQ(operators["rows"].size(), 2u);
  EXPECT_EQ(operators["rows"][0]["name"], "Anna Berg");
  EXPECT_EQ(operators["rows"][0]["talkSeconds"], 540);
  EXPECT_EQ(operators["rows"][0]["holdSeconds"], 70);
  EXPECT_EQ(operators["rows"][0]["pauseByReason"], "5=900;7=1800");
  EXPECT_EQ(operators["rows"][0]["loggedInSeconds"], 29700);
  EXPECT_EQ(operators["rows"][1]["pauseSeconds"], 9000);

  const auto intervals =
      super_.Get("/api/reports/intervals?from=2026-03-28T22:00&to=2026-03-29T06%3A00&interval=hour").Json();
  std::vector<std::string> starts;
  for (const auto& row : intervals["rows"]) starts.push_back(row["start"].get<std::string>().substr(11) + row["utcOffset"].get<std::string>());
  EXPECT_EQ(starts, (std::vector<std::string>{"22:00+01:00", "23:00+01:00", "00:00+01:00", "01:00+01:00",
                                              "03:00+02:00", "04:00+02:00", "05:00+02:00"}));
  EXPECT_EQ(intervals["offeredByWeekdayAndHour"].size(), 3u) << intervals.dump();

  // Each report as CSV: the header names the JSON's fields and every row has the same figures.
  for (const std::string report : {"rules", "operators", "intervals"}) {
    SCOPED_TRACE(report);
    const std::string query = "/api/reports/" + report + "?from=2026-03-28&to=2026-03-29&interval=30min";
    const auto asJson = super_.Get(query).Json()["rows"];
    const auto csv = super_.Get(query + "&format=csv");
    ASSERT_EQ(csv.status, 200);
    EXPECT_EQ(csv.headers.at("content-type").rfind("text/csv", 0), 0u);
    EXPECT_EQ(csv.headers.at("x-time-zone"), "Europe/Berlin +01:00");
    const auto parsed = CsvAsJson(csv.body);
    ASSERT_EQ(parsed.size(), asJson.size());
    for (std::size_t i = 0; i < parsed.size(); ++i) {
      for (const auto& [name, value] : parsed[i].items()) {
        const auto& expected = asJson[i][name];
        if (expected.is_number())
          EXPECT_DOUBLE_EQ(value.get<double>(), expected.get<double>()) << name;
        else if (expected.is_null() || expected == "")
          EXPECT_TRUE(value.is_null()) << name;
        else
          EXPECT_EQ(value.is_string() ? value.get<std::string>() : value.dump(), expected.get<std::string>()) << name;
      }
    }
  }
  // A name with a comma and a quote comes back whole.
  EXPECT_EQ(CsvAsJson("name,n\r\n\"Klein, \"\"Boris\"\"\",2\r\n")[0]["name"], "Klein, \"Boris\"");
}

TEST_F(WebReports, BadParametersGet400AndOperators403) {
  WebClient super_ = Supervisor();
  const std::pair<std::string, std::string> bad[] = {
      {"from=2026-03-29&to=2026-03-28", "\"to\" is before \"from\""},
      {"from=2025-01-01&to=2026-03-28", "longer than a year"},
      {"from=2026-03-28&interval=5min", "\"interval\" is 15min, 30min, hour, day or week"},
      {"from=2026-03-28'%20or%201=1--", "\"from\" is not a date"},
      {"from=2026-02-30", "\"from\" is not a date"},
      {"rule=1%3Bdrop%20table%20tq_VantrelLog", "\"rule\" is not a positive whole number"},
      {"operator=-1", "\"operator\" is not a positive whole number"},
      {"format=xml", "\"format\" is json or csv"},
      {"order=Name", "Unknown parameter \"order\""},
  };
  for (const auto& [query, message] : bad) {
    for (const std::string report : {"rules", "operators", "intervals"}) {
      const auto answer = super_.Get("/api/reports/" + report + "?" + query);
      EXPECT_EQ(answer.status, 400) << query;
      EXPECT_NE(answer.Json().value("error", "").find(message), std::string::npos) << query << ": " << answer.body;
    }
  }
  // The injected text did nothing: the call log is still there.
  EXPECT_EQ(super_.Get("/api/reports/operators?from=2026-03-28").Json()["rows"][0]["holdSeconds"], 70);

  WebClient anna(webPort_);
  ASSERT_TRUE(anna.LogIn("anna", "anna-secret"));
  const auto refused = anna.Get("/api/reports/rules?from=2026-03-28");
  EXPECT_EQ(refused.status, 403);
  EXPECT_EQ(refused.Json()["error"], "Reports are for supervisors");
  EXPECT_EQ(WebClient(webPort_).Get("/api/reports/rules").status, 401);
  EXPECT_EQ(super_.Get("/api/reports/calls").status, 404);
}

TEST_F(WebReports, TheReportPageShowsChartsHeatMapAndSortableTablesInChromium) {
  Browser browser;
  ASSERT_EQ(browser.Problem(), "");
  const std::string site = "http://127.0.0.1:" + std::to_string(webPort_);
  browser.Open(site + "/reports?from=2026-03-28&to=2026-03-28&interval=30min");
  ASSERT_TRUE(browser.WaitFor("return document.getElementById('login-user') !== null", 10s));
  browser.Run(
      "document.getElementById('login-user').value = 'super'; document.getElementById('login-password').value = "
      "'super-secret'; document.querySelector('form.login button').click();");
  ASSERT_TRUE(browser.WaitFor("return document.querySelectorAll('#operators-table tbody tr').length === 2", 10s))
      << browser.Run("return document.body.innerText");
  // Both charts drew on canvases of a real size, with the intervals of the day.
  const auto charts = browser.Run(
      "return ['service-level-chart', 'calls-chart'].map(id => { const c = document.getElementById(id); "
      "const chart = Chart.getChart(c); return [c.clientWidth, c.clientHeight, chart.data.labels.length, "
      "chart.data.datasets.length]; });");
  for (const auto& chart : charts) {
    EXPECT_GT(chart[0].get<int>(), 300) << charts.dump();
    EXPECT_GT(chart[1].get<int>(), 150) << charts.dump();
    EXPECT_EQ(chart[2], 48) << charts.dump();
    EXPECT_EQ(chart[3], 2) << charts.dump();
  }
  // The heat map: Saturday 09:00 is the busiest hour.
  EXPECT_EQ(browser.Run("return document.querySelectorAll('#heat-map tr')[6].children[10].textContent"), "6");
  EXPECT_TRUE(browser.Run("return document.getElementById('rules-table').innerText.includes('Inbound')"));
  EXPECT_TRUE(browser.Run("return document.getElementById('period').textContent.includes('Europe/Berlin')"));
  // Sorting by a column: the operators by talk time, longest first after two clicks.
  browser.Run("const th = document.querySelectorAll('#operators-table th')[2]; th.click(); th.click();");
  EXPECT_EQ(browser.Run("return document.querySelector('#operators-table tbody tr td').textContent"), "Anna Berg");
  browser.Run("document.querySelectorAll('#operators-table th')[2].click();");
  EXPECT_EQ(browser.Run("return document.querySelector('#operators-table tbody tr td').textContent"), "Boris Klein");
  // Printed, the controls are left out.
  EXPECT_TRUE(browser.Run(
      "return [...document.styleSheets].some(s => [...s.cssRules].some(r => r.media && r.media.mediaText === 'print' "
      "&& r.cssText.includes('#controls')))"));
  const auto csv = browser.Run("return document.getElementById('csv-rules').getAttribute('href')");
  EXPECT_NE(csv.get<std::string>().find("format=csv"), std::string::npos);

  // The fuller day, as the pictures in the README show it: the top of the page, then the tables.
  browser.Open(site + "/reports?from=2026-03-27&to=2026-03-27&interval=30min&range=custom");
  ASSERT_TRUE(browser.WaitFor("return document.querySelectorAll('#operators-table tbody tr').length === 4", 10s))
      << browser.Run("return document.body.innerText");
  if (const char* folder = std::getenv("VANTREL_SCREENSHOTS")) {
    browser.Screenshot(std::filesystem::path(folder) / "reports.png");
    browser.Run("window.scrollTo(0, document.getElementById('heat-map').getBoundingClientRect().top + window.scrollY - 60)");
    browser.Screenshot(std::filesystem::path(folder) / "reports-tables.png");
  }
}
