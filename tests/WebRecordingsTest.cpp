// The recordings through the gateway: the list, the sound with range requests, who may hear what, and the page's
// player in Chromium.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "Browser.h"
#include "HostClient.h"
#include "OpenApiCheck.h"
#include "WebGatewayFixture.h"

namespace {

// A WAV as the recorder writes it: 8 kHz, 16-bit, two channels; a 1 kHz tone left, 600 Hz right.
std::string Wav(double seconds) {
  const std::uint32_t frames = static_cast<std::uint32_t>(seconds * 8000);
  std::string data;
  for (std::uint32_t i = 0; i < frames; ++i)
    for (const double hertz : {1000.0, 600.0}) {
      const auto sample = static_cast<std::int16_t>(8000 * std::sin(2 * M_PI * hertz * i / 8000));
      data.push_back(static_cast<char>(sample & 0xff));
      data.push_back(static_cast<char>((sample >> 8) & 0xff));
    }
  const auto le32 = [](std::uint32_t v) {
    return std::string{static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                       static_cast<char>(v >> 24)};
  };
  const auto le16 = [](std::uint16_t v) { return std::string{static_cast<char>(v), static_cast<char>(v >> 8)}; };
  return "RIFF" + le32(36 + static_cast<std::uint32_t>(data.size())) + "WAVEfmt " + le32(16) + le16(1) + le16(2) +
         le32(8000) + le32(8000 * 4) + le16(4) + le16(16) + "data" + le32(static_cast<std::uint32_t>(data.size())) +
         data;
}

}  // namespace

class WebGatewayRecordings : public WebGateway {
 protected:
  void SetUp() override {
    WebGateway::SetUp();
    if (HasFatalFailure()) return;
    folder_ = host_.IniFolder() / "Recordings";
    std::filesystem::create_directories(folder_ / "2026-12-08");
    wav_ = Wav(0.6);
    std::ofstream(folder_ / "2026-12-08" / "k1.wav", std::ios::binary) << wav_;
    std::ofstream(folder_ / "2026-12-08" / "k2.wav", std::ios::binary) << Wav(0.2);
    std::filesystem::create_symlink("../../Settings.ini", folder_ / "2026-12-08" / "out.wav");
    const std::string outside = (host_.IniFolder() / "Settings.ini").string();
    Sql("insert into tq_VantrelRecording (ID, CallHandle, LinePhoneNumber, Operator_id, FileName, StartTime, Seconds, "
        "PausedSeconds, EventOrder) values "
        "(1, 'k1', '103', 1, '2026-12-08/k1.wav', '2026-12-08 10:00:00', 42, 5, 1), "
        "(2, 'k2', '104', 2, '2026-12-08/k2.wav', '2026-12-08 11:00:00', 7, 0, 1), "
        "(3, 'k3', '103', 1, '../Settings.ini', '2026-12-08 12:00:00', 1, 0, 1), "
        "(4, 'k4', '103', 1, '" + outside + "', '2026-12-08 12:01:00', 1, 0, 1), "
        "(5, 'k5', '103', 1, '2026-12-08/out.wav', '2026-12-08 12:02:00', 1, 0, 1), "
        "(6, 'k6', '103', 1, '2026-12-07/gone.wav', '2026-12-07 09:00:00', 1, 0, 1)");
    Sql("insert into tq_VantrelLog (CallEventType, CallHandle, BeginTime, LinePhoneNumber, CallerPhoneNumber, "
        "EventOrder) values (1, 'k1', '2026-12-08 09:59:50', '101', '5550120', 1), "
        "(1, 'k2', '2026-12-08 10:59:50', '101', '5550177', 1)");
  }

  void Sql(const std::string& sql) {
    CrmFile crm(host_.IniFolder() / "crm.sqlite3");
    char* error = nullptr;
    ASSERT_EQ(sqlite3_exec(crm.Handle(), sql.c_str(), nullptr, nullptr, &error), SQLITE_OK) << (error ? error : "");
  }

  void LetOperatorsHearTheirOwn() {
    std::ofstream(host_.IniFolder() / "Settings.ini", std::ios::app) << "[Web]\nOperatorsHearOwnRecordings=1\n";
  }

  std::filesystem::path folder_;
  std::string wav_;
};

TEST_F(WebGatewayRecordings, SupervisorsSearchRecordingsByDateLineOperatorAndCaller) {
  WebClient super(webPort_);
  ASSERT_TRUE(super.LogIn("super", "super-secret"));
  const nlohmann::json description = super.Get("/api/openapi.json").Json();
  const auto listed = [&](const std::string& query) {
    const auto answer = super.Get("/api/recordings?" + query);
    EXPECT_EQ(answer.status, 200) << query << " " << answer.body;
    EXPECT_EQ(openapi_check::AnswerProblem(description, "/api/recordings", "GET", answer.status, answer.body), "")
        << answer.body;
    const nlohmann::json body = answer.Json();
    std::string ids;
    for (const auto& row : body["recordings"]) ids += std::to_string(row["id"].get<long>()) + " ";
    return ids;
  };
  EXPECT_EQ(listed("from=2026-12-08&to=2026-12-08"), "5 4 3 2 1 ");
  EXPECT_EQ(listed("from=2026-12-07&to=2026-12-08&line=104"), "2 ");
  EXPECT_EQ(listed("from=2026-12-07&to=2026-12-08&operator=1"), "5 4 3 1 6 ");
  EXPECT_EQ(listed("from=2026-12-08&to=2026-12-08&caller=0177"), "2 ");
  EXPECT_EQ(listed("from=2026-12-08T10:30&to=2026-12-08T11:30"), "2 ");
  const auto first = super.Get("/api/recordings?from=2026-12-08&line=103&caller=5550120").Json()["recordings"][0];
  EXPECT_EQ(first["caller"], "5550120");
  EXPECT_EQ(first["seconds"], 42);
  EXPECT_EQ(first["pausedSeconds"], 5);
  EXPECT_EQ(first["operatorID"], 1);
  EXPECT_EQ(first["file"], "2026-12-08/k1.wav");
  EXPECT_EQ(first["start"], "2026-12-08 10:00:00");
  EXPECT_EQ(first["audio"], "/api/recordings/1/audio");
  for (const std::string bad : {"from=yesterday", "line=1x", "caller=%27or%271", "operator=0", "who=1",
                                "from=2026-12-08&to=2026-12-01"}) {
    const auto answer = super.Get("/api/recordings?" + bad);
    EXPECT_EQ(answer.status, 400) << bad << " " << answer.body;
    EXPECT_TRUE(answer.Json().contains("error")) << bad;
  }
  EXPECT_EQ(WebClient(webPort_).Get("/api/recordings").status, 401);
}

TEST_F(WebGatewayRecordings, TheSoundIsServedWithRangeRequestsFromInsideTheFolderOnly) {
  WebClient super(webPort_);
  ASSERT_TRUE(super.LogIn("super", "super-secret"));
  const auto whole = super.Get("/api/recordings/1/audio");
  ASSERT_EQ(whole.status, 200) << whole.body;
  EXPECT_EQ(whole.body, wav_);
  EXPECT_EQ(whole.headers.at("content-type"), "audio/wav");
  EXPECT_EQ(whole.headers.at("accept-ranges"), "bytes");
  const auto part = [&](const std::string& range) {
    return super.Request("GET", "/api/recordings/1/audio", "", {{"Range", range}});
  };
  const std::string size = std::to_string(wav_.size());
  auto answer = part("bytes=100-1099");
  EXPECT_EQ(answer.status, 206);
  EXPECT_EQ(answer.body, wav_.substr(100, 1000));
  EXPECT_EQ(answer.headers.at("content-range"), "bytes 100-1099/" + size);
  EXPECT_EQ(answer.headers.at("content-length"), "1000");
  answer = part("bytes=4000-");
  EXPECT_EQ(answer.status, 206);
  EXPECT_EQ(answer.body, wav_.substr(4000));
  EXPECT_EQ(answer.headers.at("content-range"), "bytes 4000-" + std::to_string(wav_.size() - 1) + "/" + size);
  answer = part("bytes=-44");
  EXPECT_EQ(answer.status, 206);
  EXPECT_EQ(answer.body, wav_.substr(wav_.size() - 44));
  for (const std::string& bad : std::vector<std::string>{"bytes=" + size + "-", "bytes=900-100", "bytes=-0", "bytes=x-y"}) {
    answer = part(bad);
    EXPECT_EQ(answer.status, 416) << bad << " " << answer.body;
    EXPECT_EQ(answer.headers["content-range"], "bytes */" + size) << bad;
  }
  // A HEAD tells the length alone.
  answer = super.Request("HEAD", "/api/recordings/1/audio", "", {});
  EXPECT_EQ(answer.status, 200);
  EXPECT_EQ(answer.headers.at("content-length"), size);
  EXPECT_TRUE(answer.body.empty());

  // Rows naming a step up, an absolute path or a link out of the folder serve nothing, and nor does a URL's.
  for (const std::string id : {"3", "4", "5"}) {
    answer = super.Get("/api/recordings/" + id + "/audio");
    EXPECT_EQ(answer.status, 403) << id << " " << answer.body;
    EXPECT_EQ(answer.body.find("[Server]"), std::string::npos);
  }
  EXPECT_EQ(super.Get("/api/recordings/6/audio").status, 404);
  EXPECT_EQ(super.Get("/api/recordings/99/audio").status, 404);
  for (const std::string target : {"/api/recordings/..%2FSettings.ini/audio", "/api/recordings/../Settings.ini/audio",
                                   "/api/recordings/1%20or%201=1/audio"}) {
    answer = super.Get(target);
    EXPECT_NE(answer.status, 200) << target;
    EXPECT_EQ(answer.body.find("[Server]"), std::string::npos) << target;
  }
  EXPECT_EQ(WebClient(webPort_).Get("/api/recordings/1/audio").status, 401);
}

TEST_F(WebGatewayRecordings, OperatorsHearOnlyTheirOwnCallsAndOnlyWhenTheSettingSaysSo) {
  WebClient anna(webPort_);
  ASSERT_TRUE(anna.LogIn("anna", "anna-secret"));
  auto answer = anna.Get("/api/recordings/1/audio");
  EXPECT_EQ(answer.status, 403);
  EXPECT_EQ(answer.Json()["error"], "Recordings are for supervisors");
  EXPECT_EQ(anna.Get("/api/recordings").status, 403);

  LetOperatorsHearTheirOwn();
  answer = anna.Get("/api/recordings/1/audio");
  EXPECT_EQ(answer.status, 200);
  EXPECT_EQ(answer.body, wav_);
  answer = anna.Get("/api/recordings/2/audio");
  EXPECT_EQ(answer.status, 403);
  EXPECT_EQ(answer.Json()["error"], "An operator hears only the recordings of their own calls");
  const nlohmann::json own = anna.Get("/api/recordings?from=2026-12-08&to=2026-12-08").Json();
  std::string ids;
  for (const auto& row : own["recordings"])
    ids += std::to_string(row["id"].get<long>()) + " ";
  EXPECT_EQ(ids, "5 4 3 1 ");
  EXPECT_EQ(anna.Get("/api/recordings?from=2026-12-08&operator=2").status, 403);
}

TEST_F(WebGatewayRecordings, ASupervisorPlaysARecordingToItsEndInChromium) {
  Browser browser;
  ASSERT_EQ(browser.Problem(), "");
  browser.Open("http://127.0.0.1:" + std::to_string(webPort_) + "/recordings?from=2026-12-08&to=2026-12-08");
  ASSERT_TRUE(browser.WaitFor("return document.getElementById('login-user') !== null", 10s));
  browser.Run(
      "document.getElementById('login-user').value = 'super'; document.getElementById('login-password').value = "
      "'super-secret'; document.querySelector('form.login button').click();");
  ASSERT_TRUE(browser.WaitFor("return document.querySelectorAll('#recordings-table tbody tr').length === 5", 10s))
      << browser.Run("return document.body.innerText");
  EXPECT_TRUE(browser.Run(
      "return document.querySelector('#recordings-table tr[data-recording=\"1\"]').innerText.includes('5550120')"));
  browser.Run(
      "const player = document.getElementById('player'); player.muted = true; window.ended = false; "
      "player.addEventListener('ended', () => { window.ended = true; });");
  // A person's click: a browser plays sound only after one.
  ASSERT_TRUE(browser.HoldClick("#recordings-table tr[data-recording=\"1\"] button.play", 50ms));
  EXPECT_TRUE(browser.WaitFor("return window.ended === true", 10s))
      << browser.Run("const p = document.getElementById('player'); return [p.currentTime, p.duration, "
                     "p.error && p.error.message, document.getElementById('message').textContent];");
  EXPECT_NEAR(browser.Run("return document.getElementById('player').duration").get<double>(), 0.6, 0.05);
}
