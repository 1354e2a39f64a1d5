// The operator's phone in the panel, in Chromium: its microphone a 600 Hz tone from a file, a SIPp trunk caller
// saying 1 kHz through the relay, the page's SIP.js registered through the gateway and its sound over WebRTC.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <fstream>
#include <regex>

#include "Browser.h"
#include "HostClient.h"
#include "SipHostSetup.h"
#include "TalkingParty.h"
#include "WebGatewayFixture.h"

namespace {

constexpr const char* kSipp = "/usr/bin/sipp";
constexpr int kPcma = 8;

// A mono 16-bit WAV of the tone, for Chromium's fake microphone (it plays the file over and over).
void WriteToneWav(const std::filesystem::path& file, double hertz, int rate, double seconds) {
  const auto samples = static_cast<std::uint32_t>(rate * seconds);
  std::ofstream out(file, std::ios::binary);
  const auto put = [&](std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.put(static_cast<char>((value >> (8 * i)) & 0xFF));
  };
  out << "RIFF";
  put(36 + samples * 2, 4);
  out << "WAVEfmt ";
  put(16, 4), put(1, 2), put(1, 2), put(static_cast<std::uint32_t>(rate), 4),
      put(static_cast<std::uint32_t>(rate * 2), 4), put(2, 2), put(16, 2);
  out << "data";
  put(samples * 2, 4);
  for (std::uint32_t n = 0; n < samples; ++n)
    put(static_cast<std::uint16_t>(static_cast<std::int16_t>(8000 * std::sin(2 * M_PI * hertz * n / rate))), 2);
}

class SipPanelPhone : public WebGateway {
 protected:
  SipPanelPhone() {
    sipPort_ = FreeLoopbackPort();
    trunkPort_ = FreeLoopbackPort();
    webSocketPort_ = FreeLoopbackPort();
    exchangeExtra_ = "[SIP]\nAddress=127.0.0.1\nPort=" + std::to_string(sipPort_) +
                     "\nWebSocketPort=" + std::to_string(webSocketPort_) +
                     "\nRtpPorts=39500-39999\n[Passwords]\n103=pw-103\n[Trunk]\nAddress=127.0.0.1\nPort=" +
                     std::to_string(trunkPort_) + "\n";
  }

  std::string Log() { return ReadServerLog(host_.IniFolder(), "Info"); }
  std::string Site() const { return "http://127.0.0.1:" + std::to_string(webPort_); }
  // The event kinds of the CRM rows of a caller's call at a line, in their order.
  std::string RowsOf(const std::string& caller, const std::string& line) {
    return CrmFile(host_.IniFolder() / "crm.sqlite3")
        .Text("select group_concat(CallEventType, ' ') from (select CallEventType from tq_VantrelLog where "
              "CallerPhoneNumber = '" + caller + "' and LinePhoneNumber = '" + line + "' order by EventOrder)");
  }

  // Chromium with a fake microphone saying the tone, or, refused, none.
  std::unique_ptr<Browser> StartBrowser(bool microphoneAllowed) {
    const auto sound = host_.IniFolder() / "microphone-600.wav";
    WriteToneWav(sound, 600, 48000, 2);
    std::vector<std::string> switches = {"--use-fake-device-for-media-stream",
                                         "--use-file-for-fake-audio-capture=" + sound.string(),
                                         "--autoplay-policy=no-user-gesture-required",
                                         // The relay's candidate is on loopback, where Chromium gathers none
                                         // unless told, and the page's own candidates are its real addresses.
                                         "--allow-loopback-in-peer-connection",
                                         "--disable-features=WebRtcHideLocalIpsWithMdns"};
    switches.push_back(microphoneAllowed ? "--use-fake-ui-for-media-stream" : "--deny-permission-prompts");
    return std::make_unique<Browser>(switches);
  }

  // Anna logged in on the panel and at her line, ready.
  void SeatAnna(Browser& browser) {
    browser.Open(Site() + "/panel");
    ASSERT_TRUE(browser.WaitFor("return document.getElementById('login-user') !== null", 10s));
    browser.Run("document.getElementById('login-user').value = 'anna';"
                "document.getElementById('login-password').value = 'anna-secret';"
                "document.querySelector('form.login button').click();");
    ASSERT_TRUE(browser.WaitFor("return document.getElementById('connection').textContent === 'live'", 10s));
    ASSERT_TRUE(browser.WaitFor("const b = document.getElementById('login'); return b !== null && "
                                "!b.closest('[hidden]')", 10s));
    ASSERT_TRUE(browser.HoldClick("#login", 50ms));
    ASSERT_TRUE(browser.WaitFor("const b = document.getElementById('ready'); return !b.closest('[hidden]')", 10s));
    ASSERT_TRUE(browser.HoldClick("#ready", 50ms));
  }

  std::unique_ptr<SpawnedProgram> Caller(const std::string& caller, const RtpPeer& media) {
    return std::make_unique<SpawnedProgram>(std::vector<std::string>{
        kSipp, "127.0.0.1:" + std::to_string(sipPort_), "-sf",
        std::string(VANTREL_SOURCE_DIR) + "/tests/sip/caller-stays.xml", "-i", "127.0.0.1", "-p",
        std::to_string(trunkPort_), "-m", "1", "-nostdin", "-timeout", "60s", "-timeout_error", "-t", "u1", "-s",
        "101", "-key", "caller", caller, "-key", "rtp_ip", "127.0.0.1", "-key", "rtp_port",
        std::to_string(media.Port()), "-key", "law", std::to_string(kPcma), "-key", "media_note", MediaNote()});
  }
  std::string MediaNote() const { return (host_.IniFolder() / "caller-media-port").string(); }
  int CallersRelayPort() {
    int port = 0;
    WaitUntil([&] {
      std::ifstream note(MediaNote());
      std::string text;
      std::getline(note, text);  // "m=audio PORT"
      port = text.size() > 8 ? std::atoi(text.c_str() + 8) : 0;
      return port > 0;
    }, 20s);
    return port;
  }

  int sipPort_ = 0, trunkPort_ = 0, webSocketPort_ = 0;
};

// What the page's call says of its sound: inbound RTP packets and their level, from the peer connection.
constexpr const char* kInboundStats = R"(
  const done = arguments[arguments.length - 1];
  const session = phone.talking;
  if (!session || !session.sessionDescriptionHandler || !session.sessionDescriptionHandler.peerConnection) {
    done(null);
    return;
  }
  session.sessionDescriptionHandler.peerConnection.getStats().then((report) => {
    let found = null;
    report.forEach((entry) => {
      if (entry.type === "inbound-rtp" && entry.kind === "audio")
        found = { packets: entry.packetsReceived || 0, level: entry.audioLevel || 0 };
    });
    done(found);
  }, () => done(null));
)";

TEST_F(SipPanelPhone, AnnasBrowserIsHerPhoneAndTalksWithARoutedTrunkCaller) {
  // The story of a routed call at 103 when a simulated phone answers it and the panel hangs it up.
  WebClient anna(webPort_);
  ASSERT_TRUE(anna.LogIn("anna", "anna-secret"));
  auto browser = StartBrowser(true);
  ASSERT_EQ(browser->Problem(), "");
  ASSERT_NO_FATAL_FAILURE(SeatAnna(*browser));
  ASSERT_TRUE(WaitUntil([&] { return anna.Get("/api/sip").status == 200; }, 5s));
  const auto page = [&] { return browser->Run("return document.body.innerText").dump(); };
  host_.RunExchange("call 101 from 5550100");
  ASSERT_TRUE(browser->WaitFor("return document.querySelector('.call-card[data-state=\"offering\"]') !== null", 10s))
      << page();
  host_.RunExchange("pickup 103");
  ASSERT_TRUE(browser->WaitFor("const b = document.querySelector('.call-card button.hangup');"
                               "return b !== null && !b.hidden && b.closest('[data-state=\"connected\"]') !== null",
                               10s))
      << page();
  ASSERT_TRUE(browser->HoldClick(".call-card button.hangup", 50ms));
  ASSERT_TRUE(WaitUntil([&] { return CallsAt(anna, "103").empty(); }, 10s)) << CallsAt(anna, "103").dump();
  const std::string simulated = RowsOf("5550100", "103");
  ASSERT_NE(simulated, "-");

  // She switches the phone on: her station registers through the gateway's WebSocket.
  ASSERT_TRUE(browser->HoldClick("#phone-switch", 50ms));
  ASSERT_TRUE(browser->WaitFor("return document.getElementById('phone').dataset.state === 'registered'", 15s))
      << page() << web_->Output();
  EXPECT_TRUE(std::regex_search(Log(), std::regex("SIP: station 103 registered at sip:[^ ]+;transport=ws"))) << Log();

  // A trunk caller saying 1 kHz is routed to her: the page rings.
  RtpPeer callerMedia;
  TalkingParty callerSays(callerMedia, 1000, kPcma);
  auto caller = Caller("5550101", callerMedia);
  const int callersPort = CallersRelayPort();
  ASSERT_GT(callersPort, 0) << caller->Output();
  callerSays.Start([callersPort] { return callersPort; });
  ASSERT_TRUE(browser->WaitFor("return document.getElementById('phone').dataset.state === 'ringing' && "
                               "document.getElementById('ringing').textContent.startsWith('Ringing')",
                               15s))
      << page() << Log();
  EXPECT_GT(browser->Run("return window.ringsPlayed").get<int>(), 0);
  if (const char* folder = std::getenv("VANTREL_SCREENSHOTS"))
    browser->Screenshot(std::filesystem::path(folder) / "operator-phone-ringing.png");

  // She answers by clicking: the phone answers, and the two hear each other.
  ASSERT_TRUE(browser->HoldClick(".call-card button.answer", 50ms));
  ASSERT_TRUE(browser->WaitFor("return document.getElementById('phone').dataset.state === 'talking'", 10s)) << page();
  ASSERT_TRUE(WaitUntil([&] { return !CallsAt(anna, "103").empty() && CallsAt(anna, "103")[0]["state"] == "connected"; },
                        10s))
      << CallsAt(anna, "103").dump() << Log();
  std::size_t callerHad = callerMedia.ReceivedCount();
  std::vector<std::int16_t> heard;
  ASSERT_TRUE(WaitUntil(
      [&] {
        heard = HeardSince(callerMedia, callerHad);
        if (heard.size() > 16000 && ToneLevel({heard.end() - 8000, heard.end()}, 600) > 400) return true;
        return false;
      },
      15s))
      << "600 Hz " << ToneLevel(heard, 600) << " after " << heard.size() << " samples; " << page() << Log();
  const std::vector<std::int16_t> lastSecond(heard.end() - 8000, heard.end());
  // The browser's audio processing sets her level (about 1800 here at first, 850 after the hold below); the
  // caller's own tone must not come back.
  EXPECT_GT(ToneLevel(lastSecond, 600), 400);
  EXPECT_LT(ToneLevel(lastSecond, 1000), 100);
  nlohmann::json stats;
  EXPECT_TRUE(WaitUntil(
      [&] {
        stats = browser->RunAsync(kInboundStats);
        return stats.is_object() && stats["packets"].get<long>() > 50 && stats["level"].get<double>() > 0;
      },
      10s))
      << stats.dump();
  // Both meters move (speech fills them; the tones here sit low in them).
  EXPECT_TRUE(browser->WaitFor("return document.getElementById('far-end-level').value > 0.02 && "
                               "document.getElementById('microphone-level').value > 0.02",
                               5s))
      << browser->Run("return [document.getElementById('far-end-level').value, "
                      "document.getElementById('microphone-level').value]").dump();
  if (const char* folder = std::getenv("VANTREL_SCREENSHOTS"))
    browser->Screenshot(std::filesystem::path(folder) / "operator-phone.png");

  // She holds the caller and takes them back from the panel: the server's control, which the phone follows.
  const auto callState = [&] {
    const auto calls = CallsAt(anna, "103");
    return calls.size() == 1 ? calls[0]["state"].get<std::string>() : std::string("none");
  };
  ASSERT_TRUE(browser->HoldClick(".call-card button.hold", 50ms));
  EXPECT_TRUE(WaitUntil([&] { return callState() == "on hold"; }, 5s)) << callState();
  ASSERT_TRUE(browser->WaitFor("const b = document.querySelector('.call-card button.unhold');"
                               "return b !== null && !b.hidden", 5s)) << page();
  ASSERT_TRUE(browser->HoldClick(".call-card button.unhold", 50ms));
  EXPECT_TRUE(WaitUntil([&] { return callState() == "connected"; }, 5s)) << callState();
  EXPECT_EQ(browser->Run("return document.getElementById('phone').dataset.state"), "talking");
  callerHad = callerMedia.ReceivedCount();
  EXPECT_TRUE(WaitUntil([&] {
    const auto again = HeardSince(callerMedia, callerHad);
    return again.size() > 8000 && ToneLevel({again.end() - 4000, again.end()}, 600) > 400 &&
           ToneLevel({again.end() - 4000, again.end()}, 1000) < 100;
  }, 5s)) << "her voice after the hold: " << [&] {
    const auto again = HeardSince(callerMedia, callerHad);
    std::string text = std::to_string(again.size()) + " samples, 600 Hz by half-second:";
    for (std::size_t at = 0; at + 4000 <= again.size(); at += 4000)
      text += " " + std::to_string(static_cast<int>(ToneLevel({again.begin() + at, again.begin() + at + 4000}, 600)));
    return text;
  }();

  // She hangs up from the panel: the caller hears the end, the phone is free again.
  ASSERT_TRUE(browser->HoldClick(".call-card button.hangup", 50ms));
  EXPECT_EQ(caller->WaitForExit(15s), 0) << caller->Output();
  callerSays.Stop();
  EXPECT_TRUE(browser->WaitFor("return document.getElementById('phone').dataset.state === 'registered' && "
                               "document.querySelector('.call-card') === null",
                               10s))
      << page();
  // The browser's call left the rows any station's call leaves.
  EXPECT_TRUE(WaitUntil([&] { return RowsOf("5550101", "103") == simulated; }, 10s))
      << RowsOf("5550101", "103") << " vs " << simulated;
}

TEST_F(SipPanelPhone, ANumberDialledFromThePanelRingsThePhoneWhichTakesItAtOnce) {
  auto browser = StartBrowser(true);
  ASSERT_EQ(browser->Problem(), "");
  ASSERT_NO_FATAL_FAILURE(SeatAnna(*browser));
  const auto page = [&] { return browser->Run("return document.body.innerText").dump(); };
  ASSERT_TRUE(browser->HoldClick("#phone-switch", 50ms));
  ASSERT_TRUE(browser->WaitFor("return document.getElementById('phone').dataset.state === 'registered'", 15s))
      << page();
  browser->Run("document.getElementById('dial-number').value = '104';");
  ASSERT_TRUE(browser->HoldClick("#dial", 50ms));
  // The exchange rings her phone first; the page takes it, and the exchange dials 104.
  EXPECT_TRUE(browser->WaitFor("return document.getElementById('phone').dataset.state === 'talking'", 10s)) << page();
  EXPECT_TRUE(WaitUntil([&] {
    const std::string status = host_.RunExchange("status").second;
    return status.find("104") != std::string::npos && status.find("OFFERING") != std::string::npos;
  })) << host_.RunExchange("status").second << Log();
  ASSERT_TRUE(browser->WaitFor("const b = document.querySelector('.call-card button.hangup');"
                               "return b !== null && !b.hidden", 5s)) << page();
  ASSERT_TRUE(browser->HoldClick(".call-card button.hangup", 50ms));
  EXPECT_TRUE(browser->WaitFor("return document.getElementById('phone').dataset.state === 'registered' && "
                               "document.querySelector('.call-card') === null",
                               10s))
      << page();
  EXPECT_TRUE(WaitUntil([&] { return host_.RunExchange("status").second.find("104") == std::string::npos; }))
      << host_.RunExchange("status").second;

  // Switched off, the phone unregisters.
  ASSERT_TRUE(browser->HoldClick("#phone-switch", 50ms));
  EXPECT_TRUE(browser->WaitFor("return document.getElementById('phone').dataset.state === 'off'", 5s)) << page();
  EXPECT_TRUE(WaitUntil([&] {
    return std::regex_search(Log(), std::regex("SIP: station 103 unregistered sip:[^ ]+;transport=ws"));
  })) << Log();
}

TEST_F(SipPanelPhone, ARefusedMicrophoneIsSaidAndThePhoneStaysOff) {
  auto browser = StartBrowser(false);
  ASSERT_EQ(browser->Problem(), "");
  ASSERT_NO_FATAL_FAILURE(SeatAnna(*browser));
  ASSERT_TRUE(browser->HoldClick("#phone-switch", 50ms));
  EXPECT_TRUE(browser->WaitFor("const m = document.getElementById('phone-message');"
                               "return !m.hidden && m.textContent.startsWith('The microphone was refused')",
                               10s))
      << browser->Run("return document.getElementById('phone').innerText").dump();
  EXPECT_EQ(browser->Run("return document.getElementById('phone').dataset.state"), "off");
  EXPECT_EQ(Log().find("SIP: station 103 registered"), std::string::npos);
}

}  // namespace
