// An operator's phone in the browser: the gateway carries the page's SIP over WebSocket (/api/sip) to the
// exchange's SIP WebSocket, for the station of the operator's line only. Driven here by a program's WebSocket
// client speaking SIP as a browser's SIP library does.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <optional>
#include <random>
#include <regex>
#include <sstream>

#include "HostProcess.h"
#include "Loopback.h"
#include "Md5Hex.h"
#include "SipHostSetup.h"
#include "SipPhoneSocket.h"
#include "WebGatewayFixture.h"
#include "telephony/sip/DtlsSrtp.h"

extern "C" {
#include <re.h>
}

namespace {

namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = boost::asio::ip::tcp;

int StatusOf(const std::optional<std::string>& response) {
  return response && response->size() > 12 ? std::atoi(response->c_str() + 8) : 0;
}

// A REGISTER as a browser's SIP library writes it: an invented host, transport WS.
std::string Register(const std::string& station, const std::string& domain, int cseq,
                     const std::string& authorization = {}) {
  return "REGISTER sip:" + domain + " SIP/2.0\r\nVia: SIP/2.0/WS k3x9q2.invalid;branch=z9hG4bK" +
         std::to_string(std::random_device()()) + "\r\nMax-Forwards: 69\r\nTo: <sip:" + station + "@" + domain +
         ">\r\nFrom: <sip:" + station + "@" + domain + ">;tag=browser1\r\nCall-ID: reg-" + station +
         "-browser\r\nCSeq: " + std::to_string(cseq) + " REGISTER\r\nContact: <sip:ab12@k3x9q2.invalid;transport=ws>" +
         ";expires=600\r\nExpires: 600\r\n" + authorization + "Content-Length: 0\r\n\r\n";
}

// The Authorization header answering a 401's challenge (qop auth); for an INVITE's 407, Proxy-Authorization.
std::string Answer(const std::string& challenge, const std::string& station, const std::string& password,
                   const std::string& domain, const std::string& method = "REGISTER", const std::string& uri = {}) {
  std::smatch realm, nonce;
  std::regex_search(challenge, realm, std::regex("realm=\"([^\"]+)\""));
  std::regex_search(challenge, nonce, std::regex("nonce=\"([^\"]+)\""));
  const std::string target = uri.empty() ? "sip:" + domain : uri;
  const std::string ha1 = Md5Hex(station + ":" + realm[1].str() + ":" + password);
  const std::string ha2 = Md5Hex(method + ":" + target);
  // Each use of a nonce counts up, as phones count (the same second gives the same nonce).
  static int uses = 0;
  char count[16];
  std::snprintf(count, sizeof count, "%08x", ++uses);
  const std::string response = Md5Hex(ha1 + ":" + nonce[1].str() + ":" + count + ":c0ffee:auth:" + ha2);
  return std::string(method == "REGISTER" ? "Authorization" : "Proxy-Authorization") + ": Digest username=\"" +
         station + "\", realm=\"" + realm[1].str() + "\", nonce=\"" + nonce[1].str() + "\", uri=\"" + target +
         "\", response=\"" + response + "\", algorithm=MD5, qop=auth, nc=" + count + ", cnonce=\"c0ffee\"\r\n";
}

// A browser's INVITE from 103 to the number, with the description.
std::string Invite(const std::string& number, const std::string& callId, int cseq, const std::string& body,
                   const std::string& authorization = {}) {
  return "INVITE sip:" + number + "@127.0.0.1 SIP/2.0\r\nVia: SIP/2.0/WS k3x9q2.invalid;branch=z9hG4bK" +
         std::to_string(std::random_device()()) + "\r\nMax-Forwards: 69\r\nTo: <sip:" + number +
         "@127.0.0.1>\r\nFrom: <sip:103@127.0.0.1>;tag=inv" + callId + "\r\nCall-ID: " + callId +
         "\r\nCSeq: " + std::to_string(cseq) +
         " INVITE\r\nContact: <sip:ab12@k3x9q2.invalid;transport=ws;ob>\r\nContent-Type: application/sdp\r\n" +
         authorization + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// What a browser offers: Opus beside G.711, ICE and DTLS-SRTP (the fingerprint is any; no handshake here).
const std::string kBrowserOffer =
    "v=0\r\no=- 4611731400430051336 2 IN IP4 127.0.0.1\r\ns=-\r\nt=0 0\r\na=group:BUNDLE 0\r\n"
    "a=msid-semantic: WMS\r\nm=audio 9 UDP/TLS/RTP/SAVPF 111 0 8 101\r\nc=IN IP4 0.0.0.0\r\n"
    "a=rtcp:9 IN IP4 0.0.0.0\r\na=ice-ufrag:Brws\r\na=ice-pwd:browserpasswordof22chars\r\n"
    "a=ice-options:trickle\r\na=fingerprint:sha-256 "
    "5A:1F:00:11:22:33:44:55:66:77:88:99:AA:BB:CC:DD:EE:FF:00:11:22:33:44:55:66:77:88:99:AA:BB:CC:DD\r\n"
    "a=setup:actpass\r\na=mid:0\r\na=sendrecv\r\na=rtcp-mux\r\na=rtpmap:111 opus/48000/2\r\n"
    "a=rtpmap:0 PCMU/8000\r\na=rtpmap:8 PCMA/8000\r\na=rtpmap:101 telephone-event/8000\r\n";
const std::string kPlainOffer =
    "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\nm=audio 30000 RTP/AVP 0 8\r\n"
    "a=rtpmap:0 PCMU/8000\r\na=rtpmap:8 PCMA/8000\r\n";

class SipWebPhone : public WebGateway {
 protected:
  SipWebPhone() {
    sipPort_ = FreeLoopbackPort();
    webSocketPort_ = FreeLoopbackPort();
    exchangeExtra_ = "[SIP]\nAddress=127.0.0.1\nPort=" + std::to_string(sipPort_) +
                     "\nWebSocketPort=" + std::to_string(webSocketPort_) +
                     "\nRtpPorts=36000-36999\n[Passwords]\n103=pw-103\n104=pw-104\n";
  }
  // What the gateway answers an upgrade at /api/sip with.
  int SipUpgradeStatus(const std::string& cookie, const std::string& origin, const std::string& protocol = "sip") {
    std::map<std::string, std::string> headers = {{"Connection", "Upgrade"},
                                                  {"Upgrade", "websocket"},
                                                  {"Sec-WebSocket-Version", "13"},
                                                  {"Sec-WebSocket-Key", "dGhlIHNhbXBsZSBub25jZQ=="},
                                                  {"Sec-WebSocket-Protocol", protocol}};
    if (!cookie.empty()) headers["Cookie"] = cookie;
    if (!origin.empty()) headers["Origin"] = origin;
    return WebClient(webPort_).Request("GET", "/api/sip", "", headers).status;
  }
  std::string Origin() const { return "http://127.0.0.1:" + std::to_string(webPort_); }
  std::string Log() { return ReadServerLog(host_.IniFolder(), "Info"); }

  // Anna signs in, logs in at 103 and is ready; her station's account is hers.
  void ReadyAt103(WebClient& anna) {
    ASSERT_TRUE(anna.LogIn("anna", "anna-secret"));
    ASSERT_EQ(anna.Post("/api/lines/103/login", nlohmann::json::object()).status, 200);
    ASSERT_EQ(anna.Post("/api/lines/103/status", {{"status", "ready"}}).status, 200);
    ASSERT_TRUE(WaitUntil([&] { return anna.Get("/api/sip").status == 200; }, 5s));
  }
  // Registers the station through the socket with the password; the final status.
  int RegisterThrough(PhoneSocket& phone, const std::string& station, const std::string& password) {
    if (!phone.Send(Register(station, "127.0.0.1", 1))) return 0;
    const auto challenge = phone.Response();
    if (StatusOf(challenge) != 401) return StatusOf(challenge);
    if (!phone.Send(Register(station, "127.0.0.1", 2, Answer(*challenge, station, password, "127.0.0.1")))) return 0;
    return StatusOf(phone.Response());
  }

  // Sends the INVITE and answers its 407; the next response after that.
  std::optional<std::string> InviteThrough(PhoneSocket& phone, const std::string& number, const std::string& callId,
                                           const std::string& body) {
    if (!phone.Send(Invite(number, callId, 1, body))) return std::nullopt;
    const auto challenge = phone.Response();
    if (StatusOf(challenge) != 407) return challenge;
    phone.Send(Invite(number, callId, 2, body,
                      Answer(*challenge, "103", "pw-103", "127.0.0.1", "INVITE", "sip:" + number + "@127.0.0.1")));
    return phone.Response();
  }

  int sipPort_ = 0;
  int webSocketPort_ = 0;
};

TEST_F(SipWebPhone, AnOperatorLoggedInAtTheLineRegistersItsStationThroughTheGateway) {
  WebClient anna(webPort_);
  ASSERT_TRUE(anna.LogIn("anna", "anna-secret"));
  ASSERT_EQ(anna.Post("/api/lines/103/login", nlohmann::json::object()).status, 200);
  ASSERT_TRUE(WaitUntil([&] { return anna.Get("/api/sip").status == 200; }, 5s));
  const auto account = anna.Get("/api/sip").Json();
  EXPECT_EQ(account["station"], "103");
  EXPECT_EQ(account["uri"], "sip:103@127.0.0.1");
  EXPECT_EQ(account["password"], "pw-103");
  EXPECT_EQ(account["realm"], "vantrel");
  EXPECT_EQ(account["webSocket"], "/api/sip");

  PhoneSocket phone;
  ASSERT_EQ(phone.Open(webPort_, anna.Cookie(), Origin()), 101);
  EXPECT_EQ(phone.Protocol(), "sip");
  EXPECT_EQ(RegisterThrough(phone, "103", account["password"]), 200);
  EXPECT_TRUE(WaitUntil([&] {
    return Log().find("SIP: station 103 registered at sip:ab12@k3x9q2.invalid;transport=ws") != std::string::npos;
  })) << Log();
}

TEST_F(SipWebPhone, TheGatewayRefusesThePhoneToStrangersOtherStationsAndOtherSites) {
  EXPECT_EQ(SipUpgradeStatus("", Origin()), 401);
  PhoneSocket noSession;
  EXPECT_EQ(noSession.Open(webPort_, "", Origin()), 0);

  WebClient anna(webPort_);
  ASSERT_TRUE(anna.LogIn("anna", "anna-secret"));
  // Signed in to the gateway but not logged in at her line: the line's station is nobody's phone yet.
  EXPECT_EQ(anna.Get("/api/sip").status, 403);
  EXPECT_EQ(SipUpgradeStatus(anna.Cookie(), Origin()), 403);

  ASSERT_EQ(anna.Post("/api/lines/103/login", nlohmann::json::object()).status, 200);
  ASSERT_TRUE(WaitUntil([&] { return anna.Get("/api/sip").status == 200; }, 5s));
  EXPECT_EQ(SipUpgradeStatus(anna.Cookie(), "http://evil.example"), 403);
  // Its own pages through a TLS proxy in front (the microphone wants https://) are its own.
  EXPECT_EQ(anna.Request("GET", "/api/sip", "", {{"Origin", "https://127.0.0.1:" + std::to_string(webPort_)}}).status,
            200);
  EXPECT_EQ(anna.Request("GET", "/api/sip", "", {{"Origin", "https://evil.example"}}).status, 403);
  EXPECT_EQ(SipUpgradeStatus(anna.Cookie(), ""), 403);
  EXPECT_EQ(SipUpgradeStatus(anna.Cookie(), Origin(), "chat"), 400);

  WebClient super(webPort_);
  ASSERT_TRUE(super.LogIn("super", "super-secret"));
  EXPECT_EQ(super.Get("/api/sip").status, 403);

  // Anna's phone speaking for Boris's station, even with its password, is cut off before the exchange hears it.
  PhoneSocket borrowed;
  ASSERT_EQ(borrowed.Open(webPort_, anna.Cookie(), Origin()), 101);
  EXPECT_NE(RegisterThrough(borrowed, "104", "pw-104"), 200);
  EXPECT_TRUE(borrowed.Ended());
  EXPECT_TRUE(web_->WaitForOutput("a SIP request for another station than 103")) << web_->Output();
  EXPECT_EQ(Log().find("SIP: station 104 registered"), std::string::npos);

  // Logging out of the gateway ends the phone.
  PhoneSocket ended;
  ASSERT_EQ(ended.Open(webPort_, anna.Cookie(), Origin()), 101);
  ASSERT_EQ(anna.Request("DELETE", "/api/session").status, 204);
  EXPECT_TRUE(ended.Ended());
}

TEST_F(SipWebPhone, AMessageOfAMebibyteEndsThePhoneAndTheNextOneWorks) {
  WebClient anna(webPort_);
  ASSERT_TRUE(anna.LogIn("anna", "anna-secret"));
  ASSERT_EQ(anna.Post("/api/lines/103/login", nlohmann::json::object()).status, 200);
  ASSERT_TRUE(WaitUntil([&] { return anna.Get("/api/sip").status == 200; }, 5s));
  PhoneSocket flooding;
  ASSERT_EQ(flooding.Open(webPort_, anna.Cookie(), Origin()), 101);
  flooding.Send(std::string(1024 * 1024, 'x'));
  EXPECT_TRUE(flooding.Ended());
  EXPECT_TRUE(web_->WaitForOutput("a message larger than 16 KiB")) << web_->Output();

  PhoneSocket next;
  ASSERT_EQ(next.Open(webPort_, anna.Cookie(), Origin()), 101);
  EXPECT_EQ(RegisterThrough(next, "103", "pw-103"), 200);
  EXPECT_FALSE(next.Ended());
  EXPECT_FALSE(next.Ended());
}

TEST_F(SipWebPhone, ARoutedCallerRingsTheBrowsersPhoneAndAPhoneGoneMidInviteEndsItsRingingCleanly) {
  WebClient anna(webPort_);
  ASSERT_NO_FATAL_FAILURE(ReadyAt103(anna));
  {
    PhoneSocket phone;
    ASSERT_EQ(phone.Open(webPort_, anna.Cookie(), Origin()), 101);
    ASSERT_EQ(RegisterThrough(phone, "103", "pw-103"), 200);

    ASSERT_EQ(host_.RunExchange("call 101 from 5550120").first, 0);
    const std::optional<std::string> invite = phone.Request("INVITE", 10);
    ASSERT_TRUE(invite && invite->rfind("INVITE sip:ab12@k3x9q2.invalid;transport=ws", 0) == 0) << invite.value_or("");
    EXPECT_NE(invite->find("5550120"), std::string::npos) << *invite;
    EXPECT_NE(invite->find("m=audio "), std::string::npos) << *invite;
    ASSERT_TRUE(WaitUntil([&] { return Log().find("(rings phone): Inviting") != std::string::npos; })) << Log();
  }
  // The browser went with the INVITE unanswered: its ringing ends at once, the phone is no longer registered,
  // and the caller stays at the line.
  EXPECT_TRUE(WaitUntil([&] { return Log().find("(rings phone): Inviting -> Ended") != std::string::npos; })) << Log();
  EXPECT_TRUE(WaitUntil([&] { return CallsAt(anna, "103").size() == 1; })) << CallsAt(anna, "103").dump();
  EXPECT_NE(Log().find("SIP: station 103 unregistered sip:ab12@k3x9q2.invalid;transport=ws: its WebSocket closed"),
            std::string::npos)
      << Log();
}

// The browser's 200 to the exchange's INVITE: the request's Via, From, To (tagged), Call-ID and CSeq, and the answer.
std::string Answering(const std::string& invite, const std::string& body) {
  std::string headers;
  std::istringstream lines(invite.substr(0, invite.find("\r\n\r\n")));
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    for (const char* name : {"Via:", "From:", "Call-ID:", "CSeq:"})
      if (line.rfind(name, 0) == 0) headers += line + "\r\n";
    if (line.rfind("To:", 0) == 0) headers += line + ";tag=browser2\r\n";
  }
  return "SIP/2.0 200 OK\r\n" + headers +
         "Contact: <sip:ab12@k3x9q2.invalid;transport=ws>\r\nContent-Type: application/sdp\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

TEST_F(SipWebPhone, ARungBrowserThatAnswersGetsTheExchangesAckAndItsByeThroughItsWebSocket) {
  WebClient anna(webPort_);
  ASSERT_NO_FATAL_FAILURE(ReadyAt103(anna));
  PhoneSocket phone;
  ASSERT_EQ(phone.Open(webPort_, anna.Cookie(), Origin()), 101);
  ASSERT_EQ(RegisterThrough(phone, "103", "pw-103"), 200);
  ASSERT_EQ(host_.RunExchange("call 101 from 5550121").first, 0);
  const std::optional<std::string> invite = phone.Request("INVITE", 10);
  ASSERT_TRUE(invite && invite->rfind("INVITE ", 0) == 0) << invite.value_or("");

  // The browser answers as a browser does (its own certificate, setup active); its Contact is no address.
  std::string answer = kBrowserOffer;
  answer.replace(answer.find("a=setup:actpass"), 15, "a=setup:active");
  answer.replace(answer.find("UDP/TLS/RTP/SAVPF 111 0 8 101"), 29, "UDP/TLS/RTP/SAVPF 0 101");
  ASSERT_TRUE(phone.Send(Answering(*invite, answer)));
  const std::optional<std::string> ack = phone.Request("ACK", 5);
  ASSERT_TRUE(ack && ack->rfind("ACK sip:ab12@k3x9q2.invalid;transport=ws", 0) == 0) << ack.value_or("") << Log();
  long call = 0;
  ASSERT_TRUE(WaitUntil([&] {
    const auto calls = CallsAt(anna, "103");
    if (calls.size() == 1 && calls[0]["state"] == "connected") call = calls[0]["id"].get<long>();
    return call != 0;
  })) << CallsAt(anna, "103").dump()
      << Log();

  // The operator hangs up from the panel's API: the browser's call ends with the exchange's BYE.
  ASSERT_EQ(anna.Post("/api/lines/103/calls/" + std::to_string(call) + "/hangup", nlohmann::json::object()).status,
            202);
  const std::optional<std::string> bye = phone.Request("BYE", 5);
  ASSERT_TRUE(bye && bye->rfind("BYE sip:ab12@k3x9q2.invalid;transport=ws", 0) == 0) << bye.value_or("") << Log();
}

TEST_F(SipWebPhone, ABrowsersCallNeedsWebRtcMediaAndIsAnsweredWithIceLiteAndDtlsSrtp) {
  WebClient anna(webPort_);
  ASSERT_TRUE(anna.LogIn("anna", "anna-secret"));
  ASSERT_EQ(anna.Post("/api/lines/103/login", nlohmann::json::object()).status, 200);
  ASSERT_TRUE(WaitUntil([&] { return anna.Get("/api/sip").status == 200; }, 5s));
  auto phone = std::make_unique<PhoneSocket>();
  ASSERT_EQ(phone->Open(webPort_, anna.Cookie(), Origin()), 101);
  ASSERT_EQ(RegisterThrough(*phone, "103", "pw-103"), 200);

  // Plain RTP from a browser's phone: no fingerprint, no media.
  EXPECT_EQ(StatusOf(InviteThrough(*phone, "102", "plain-call", kPlainOffer)), 488);
  EXPECT_TRUE(WaitUntil([&] {
    return Log().find("refused: no certificate fingerprint (a=fingerprint)") != std::string::npos;
  })) << Log();

  ASSERT_LT(StatusOf(InviteThrough(*phone, "102", "webrtc-call", kBrowserOffer)), 200);
  ASSERT_TRUE(WaitUntil([&] { return host_.RunExchange("status").second.find("102") != std::string::npos; }))
      << host_.RunExchange("status").second;
  host_.RunExchange("pickup 102");
  std::optional<std::string> answer;
  for (int i = 0; i < 10 && StatusOf(answer) != 200; ++i) answer = phone->Response();
  ASSERT_EQ(StatusOf(answer), 200) << answer.value_or("");
  for (const char* line : {"a=ice-lite\r\n", " UDP/TLS/RTP/SAVPF 0 101\r\n", "a=mid:0\r\n", "a=fingerprint:sha-256 ",
                           "a=setup:passive\r\n", "a=rtcp-mux\r\n", "a=rtpmap:0 PCMU/8000"})
    EXPECT_NE(answer->find(line), std::string::npos) << line << " in " << *answer;
  std::smatch candidate;
  ASSERT_TRUE(std::regex_search(*answer, candidate,
                                std::regex("a=candidate:1 1 udp 2130706431 127\\.0\\.0\\.1 ([0-9]+) typ host")))
      << *answer;
  const int mediaPort = std::stoi(candidate[1].str());

  // A connectivity check without credentials is refused (400); bytes that look like DTLS from an address no
  // check proved get nothing.
  std::string bare(20, '\0');
  bare[1] = 0x01;
  bare[4] = 0x21, bare[5] = 0x12, bare[6] = static_cast<char>(0xA4), bare[7] = 0x42;
  for (int i = 8; i < 20; ++i) bare[i] = static_cast<char>(i);
  const std::string refusal = AskUdp(0, mediaPort, bare, 2s);
  ASSERT_GE(refusal.size(), 20u);
  EXPECT_EQ(static_cast<unsigned char>(refusal[0]), 0x01);
  EXPECT_EQ(static_cast<unsigned char>(refusal[1]), 0x11) << "a binding error response";
  EXPECT_EQ(AskUdp(0, mediaPort, std::string(100, '\x16'), 500ms), "");

  // The browser goes: its call ends as a hang-up would.
  phone.reset();
  EXPECT_TRUE(WaitUntil([&] { return Log().find("(phone calls): Answered -> Ended") != std::string::npos; })) << Log();
}

// The media side of a browser, as far as the relay sees it: a UDP socket that proves the relay's ICE password,
// shakes hands as the DTLS client and reads SRTP.
class BrowserMedia {
 public:
  explicit BrowserMedia(int relayPort) : relay_(Loopback(relayPort)) {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_in local = Loopback(0);
    ::bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local);
  }
  ~BrowserMedia() { ::close(fd_); }
  // A binding request with the relay's username and password; whether a success answer came.
  bool Check(const std::string& username, const std::string& password) {
    mbuf* buffer = mbuf_alloc(256);
    std::uint8_t tid[STUN_TID_SIZE] = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2};
    stun_msg_encode(buffer, STUN_METHOD_BINDING, STUN_CLASS_REQUEST, tid, nullptr,
                    reinterpret_cast<const std::uint8_t*>(password.data()), password.size(), true, 0x00, 1,
                    STUN_ATTR_USERNAME, username.c_str());
    SendRaw(buffer->buf, buffer->end);
    mem_deref(buffer);
    const auto answer = Next(2000);
    return answer.size() >= 20 && answer[0] == 0x01 && answer[1] == 0x01;
  }
  bool Handshake(vantrel::telephony::TDtlsSrtp& dtls) {
    const auto send = [this](const std::uint8_t* data, std::size_t size) { SendRaw(data, size); };
    dtls.Start(send);
    for (int i = 0; i < 40 && dtls.State() == vantrel::telephony::TDtlsSrtp::TState::Handshaking; ++i) {
      const auto datagram = Next(250);
      if (datagram.empty())
        dtls.Tick(send);
      else
        dtls.Receive(datagram.data(), datagram.size(), send);
    }
    return dtls.State() == vantrel::telephony::TDtlsSrtp::TState::Ready;
  }
  // The next datagram within the time, or nothing.
  std::vector<std::uint8_t> Next(int milliseconds) {
    pollfd ready{fd_, POLLIN, 0};
    if (::poll(&ready, 1, milliseconds) <= 0) return {};
    std::vector<std::uint8_t> datagram(2048);
    const ssize_t size = ::recv(fd_, datagram.data(), datagram.size(), 0);
    datagram.resize(size > 0 ? static_cast<std::size_t>(size) : 0);
    return datagram;
  }

 private:
  void SendRaw(const std::uint8_t* data, std::size_t size) {
    ::sendto(fd_, data, size, 0, reinterpret_cast<const sockaddr*>(&relay_), sizeof relay_);
  }
  int fd_ = -1;
  sockaddr_in relay_;
};

TEST_F(SipWebPhone, ABrowserThatProvesItselfAndShakesHandsHearsItsPartnersHoldSoundOverSrtp) {
  WebClient anna(webPort_), super(webPort_);
  ASSERT_TRUE(anna.LogIn("anna", "anna-secret"));
  ASSERT_TRUE(super.LogIn("super", "super-secret"));
  ASSERT_EQ(anna.Post("/api/lines/103/login", nlohmann::json::object()).status, 200);
  ASSERT_TRUE(WaitUntil([&] { return anna.Get("/api/sip").status == 200; }, 5s));
  PhoneSocket phone;
  ASSERT_EQ(phone.Open(webPort_, anna.Cookie(), Origin()), 101);
  ASSERT_EQ(RegisterThrough(phone, "103", "pw-103"), 200);

  vantrel::telephony::TDtlsIdentity ours;
  std::string offer = kBrowserOffer;
  offer.replace(offer.find("5A:1F"), ours.Fingerprint().size(), ours.Fingerprint());
  ASSERT_LT(StatusOf(InviteThrough(phone, "102", "srtp-call", offer)), 200);
  ASSERT_TRUE(WaitUntil([&] { return host_.RunExchange("status").second.find("102") != std::string::npos; }));
  host_.RunExchange("pickup 102");
  std::optional<std::string> answer;
  for (int i = 0; i < 10 && StatusOf(answer) != 200; ++i) answer = phone.Response();
  ASSERT_EQ(StatusOf(answer), 200) << answer.value_or("");
  std::smatch port, ufrag, password, fingerprint;
  ASSERT_TRUE(std::regex_search(*answer, port, std::regex("a=candidate:1 1 udp [0-9]+ [0-9.]+ ([0-9]+) typ")));
  ASSERT_TRUE(std::regex_search(*answer, ufrag, std::regex("a=ice-ufrag:([^\\r]+)")));
  ASSERT_TRUE(std::regex_search(*answer, password, std::regex("a=ice-pwd:([^\\r]+)")));
  ASSERT_TRUE(std::regex_search(*answer, fingerprint, std::regex("a=fingerprint:([^\\r]+)")));

  BrowserMedia media(std::stoi(port[1].str()));
  ASSERT_TRUE(media.Check(ufrag[1].str() + ":Brws", password[1].str()));
  vantrel::telephony::TDtlsSrtp dtls(ours, false, fingerprint[1].str(), "the browser");
  ASSERT_TRUE(media.Handshake(dtls)) << dtls.Failure() << Log();

  // 102 holds the browser (a supervisor at 102's line): the relay plays it the hold sound, protected.
  long call = 0;
  ASSERT_TRUE(WaitUntil([&] {
    const auto calls = CallsAt(super, "102");
    if (calls.size() == 1 && calls[0]["state"] == "connected") call = calls[0]["id"].get<long>();
    return call != 0;
  })) << CallsAt(super, "102").dump();
  ASSERT_EQ(super.Post("/api/lines/102/calls/" + std::to_string(call) + "/hold", nlohmann::json::object()).status, 202);
  int heard = 0, forged = 0;
  const auto until = std::chrono::steady_clock::now() + 3s;
  while (heard < 10 && std::chrono::steady_clock::now() < until) {
    auto datagram = media.Next(200);
    if (datagram.size() < 12 || datagram[0] < 128) continue;
    const std::size_t plain = dtls.Unprotect(datagram.data(), datagram.size());
    if (plain == 12 + 160 && (datagram[1] & 0x7F) == 0)
      ++heard;
    else
      ++forged;
  }
  EXPECT_EQ(heard, 10) << "PCMU frames that authenticate";
  EXPECT_EQ(forged, 0);
}

}  // namespace
