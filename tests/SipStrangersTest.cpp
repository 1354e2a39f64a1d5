// Strangers at the SIP port of a running host, as someone on the same network would be one: a REGISTER
// captured and sent again, passwords guessed by the thousand, INVITEs forged with the trunk's address, broken
// and oversized requests, media sent to the relay's ports before the parties and over the whole range. Raw
// datagrams and connections where a stranger would write them by hand, SIPp where a real phone or trunk is meant.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "HostProcess.h"
#include "Md5Hex.h"
#include "RtpPeer.h"
#include "SipHostSetup.h"
#include "SipHostTest.h"
#include "SpawnedProgram.h"

using namespace std::chrono_literals;

namespace {

constexpr int kPcmu = 0;

// The quoted parameter of a challenge header in a response, or empty.
std::string Quoted(const std::string& response, const std::string& name) {
  const auto start = response.find(name + "=\"");
  if (start == std::string::npos) return {};
  const auto from = start + name.size() + 2;
  return response.substr(from, response.find('"', from) - from);
}

// The Authorization a phone makes for the nonce (RFC 2617, qop=auth), its nc-th use of it.
std::string Authorization(const std::string& nonce, const std::string& user, const std::string& password,
                          const std::string& method, int nc) {
  char count[9];
  std::snprintf(count, sizeof count, "%08x", nc);
  const std::string uri = "sip:127.0.0.1";
  const std::string response = Md5Hex(Md5Hex(user + ":vantrel:" + password) + ":" + nonce + ":" + count +
                                      ":c0ffee:auth:" + Md5Hex(method + ":" + uri));
  return "Digest username=\"" + user + "\", realm=\"vantrel\", nonce=\"" + nonce + "\", uri=\"" + uri +
         "\", response=\"" + response + "\", algorithm=MD5, qop=auth, nc=" + count + ", cnonce=\"c0ffee\"";
}

// A UDP SIP end of our own on a loopback address: sends what it is told, reads what comes back.
class SipSocket {
 public:
  explicit SipSocket(const char* address = "127.0.0.1", int port = 0) : address_(address) {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    ::inet_pton(AF_INET, address, &local.sin_addr);
    local.sin_port = htons(static_cast<std::uint16_t>(port));
    ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local);
    socklen_t size = sizeof local;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &size);
    port_ = ntohs(local.sin_port);
    const int buffer = 4 << 20;
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
  }
  ~SipSocket() { ::close(fd_); }
  SipSocket(const SipSocket&) = delete;
  SipSocket& operator=(const SipSocket&) = delete;

  int Port() const { return port_; }
  const std::string& Address() const { return address_; }
  std::string SentBy() const { return address_ + ":" + std::to_string(port_); }
  void Send(int toPort, const std::string& message) const {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(static_cast<std::uint16_t>(toPort));
    ::sendto(fd_, message.data(), message.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  }
  // The next datagram within the wait, or empty.
  std::string Next(std::chrono::milliseconds wait) const {
    pollfd ready{fd_, POLLIN, 0};
    if (::poll(&ready, 1, static_cast<int>(wait.count())) <= 0) return {};
    char buffer[65536];
    const ssize_t size = ::recv(fd_, buffer, sizeof buffer, 0);
    return size > 0 ? std::string(buffer, static_cast<std::size_t>(size)) : std::string();
  }
  // The next response (what the server sends of its own, such as retransmissions, is passed over), or empty.
  std::string Response(std::chrono::milliseconds wait) const {
    const auto until = std::chrono::steady_clock::now() + wait;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
      if (left.count() <= 0) return {};
      std::string message = Next(left);
      if (message.rfind("SIP/2.0 ", 0) == 0 || message.empty()) return message;
    }
  }

 private:
  std::string address_;
  int fd_ = -1;
  int port_ = 0;
};

// The first response to the message on a TCP connection of its own, or empty.
std::string AskTcp(int port, const std::string& message, std::chrono::milliseconds wait) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(static_cast<std::uint16_t>(port));
  std::string answer;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 &&
      ::send(fd, message.data(), message.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(message.size())) {
    const auto until = std::chrono::steady_clock::now() + wait;
    while (answer.find("\r\n\r\n") == std::string::npos) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
      pollfd ready{fd, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) <= 0) break;
      char buffer[4096];
      const ssize_t size = ::recv(fd, buffer, sizeof buffer, 0);
      if (size <= 0) break;
      answer.append(buffer, static_cast<std::size_t>(size));
    }
  }
  ::close(fd);
  return answer;
}

// The status line's code of a response, or 0.
int CodeOf(const std::string& response) {
  return response.rfind("SIP/2.0 ", 0) == 0 ? std::atoi(response.c_str() + 8) : 0;
}

int Serial() {
  static std::atomic<int> next{1};
  return next++;
}

struct TRequest {
  std::string method = "OPTIONS";
  std::string user;  // of the Request-URI and To
  std::string from = "5550100";
  std::string callId = "default";  // "": none
  std::string cseq;                // default: "1 METHOD"
  std::string contentLength;       // default: the body's length; "-": none
  std::string extra;               // more header lines, each ending in CRLF
  std::string body;
  std::string transport = "UDP";
};

std::string Make(const TRequest& request, const std::string& sentBy, int sipPort) {
  const std::string target = "127.0.0.1:" + std::to_string(sipPort);
  const std::string uri = "sip:" + (request.user.empty() ? "" : request.user + "@") + target;
  const int serial = Serial();
  std::string text = request.method + " " + uri + " SIP/2.0\r\nVia: SIP/2.0/" + request.transport + " " + sentBy +
                     ";branch=z9hG4bK-stranger-" + std::to_string(serial) + "\r\nFrom: <sip:" + request.from + "@" +
                     sentBy + ">;tag=s" + std::to_string(serial) + "\r\nTo: <" + uri + ">\r\n";
  if (!request.callId.empty())
    text +=
        "Call-ID: " + (request.callId == "default" ? "stranger-" + std::to_string(serial) : request.callId) + "\r\n";
  text += "CSeq: " + (request.cseq.empty() ? "1 " + request.method : request.cseq) +
          "\r\nContact: <sip:" + request.from + "@" + sentBy + ">\r\nMax-Forwards: 70\r\n" + request.extra;
  if (!request.body.empty()) text += "Content-Type: application/sdp\r\n";
  if (request.contentLength != "-")
    text += "Content-Length: " +
            (request.contentLength.empty() ? std::to_string(request.body.size()) : request.contentLength) + "\r\n";
  return text + "\r\n" + request.body;
}

std::string Offer(int rtpPort) {
  return "v=0\r\no=caller 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\nm=audio " +
         std::to_string(rtpPort) + " RTP/AVP 0 101\r\na=rtpmap:101 telephone-event/8000\r\n";
}

class SipStrangers : public SipHostTest {
 protected:
  SipStrangers() { sippTimeout_ = "20s"; }

  // Stations 102 to 104 (103 and 104 SIP stations), the trunk at 127.0.0.1:trunkPort_. The relay's ports lie
  // below the kernel's ephemeral ports, so the sprayer below reaches no other program's socket.
  void Start(const std::string& extraSip = {}, const std::string& extraTrunk = {}) {
    sipPort_ = FreeLoopbackPort();
    trunkPort_ = FreeLoopbackPort();
    phonePort_ = FreeLoopbackPort();
    TSipHostSetup{sipPort_, trunkPort_, "30400-30599", 8, extraSip, extraTrunk}.Write(host_.IniFolder());
    ASSERT_TRUE(host_.Start()) << host_.ErrorOutput();
    ASSERT_TRUE(WaitUntil([&] { return Log().find("SIP: listening on") != std::string::npos; })) << Log();
  }

  // A REGISTER for the station from the socket, its contact the socket's own address.
  std::string RegisterFrom(const SipSocket& socket, const std::string& station, int cseq,
                           const std::string& authorization = {}) {
    TRequest request;
    request.method = "REGISTER";
    request.from = station;
    request.callId = "register-" + station + "-" + socket.SentBy();
    request.cseq = std::to_string(cseq) + " REGISTER";
    request.extra = "Expires: 3600\r\n" + (authorization.empty() ? "" : "Authorization: " + authorization + "\r\n");
    std::string text = Make(request, socket.SentBy(), sipPort_);
    // REGISTER names the station in To.
    const auto to = text.find("To: <sip:");
    text.insert(to + 9, station + "@");
    return text;
  }
};

}  // namespace

TEST_F(SipStrangers, ARegisterCapturedAndSentAgainFromElsewhereIsChallengedAndThePhoneCountingOnStaysRegistered) {
  ASSERT_NO_FATAL_FAILURE(Start());
  SipSocket phone, replayer;
  phone.Send(sipPort_, RegisterFrom(phone, "103", 1));
  const std::string challenge = phone.Response(2s);
  ASSERT_EQ(CodeOf(challenge), 401) << challenge;
  const std::string nonce = Quoted(challenge, "nonce");
  const std::string captured = Authorization(nonce, "103", "pw-103", "REGISTER", 1);
  const std::string registration = RegisterFrom(phone, "103", 2, captured);
  phone.Send(sipPort_, registration);
  ASSERT_EQ(CodeOf(phone.Response(2s)), 200);
  // The phone's own retransmission (its answer lost) is the same transaction: answered alike.
  phone.Send(sipPort_, registration);
  ASSERT_EQ(CodeOf(phone.Response(2s)), 200);
  // From another port with another contact: the same credentials prove nothing.
  replayer.Send(sipPort_, RegisterFrom(replayer, "103", 3, captured));
  const std::string refused = replayer.Response(2s);
  EXPECT_EQ(CodeOf(refused), 401) << refused;
  EXPECT_EQ(refused.find("stale=true"), std::string::npos) << refused;
  // The phone's next use of its nonce counts on and is good; the replayer's contact never was registered.
  phone.Send(sipPort_, RegisterFrom(phone, "103", 4, Authorization(nonce, "103", "pw-103", "REGISTER", 2)));
  EXPECT_EQ(CodeOf(phone.Response(2s)), 200);
  EXPECT_EQ(Log().find("sip:103@" + replayer.SentBy()), std::string::npos) << Log();
}

TEST_F(SipStrangers, AThousandWrongDigestsAreBannedAfterTheTenthWhileThePhoneElsewhereRegisters) {
  ASSERT_NO_FATAL_FAILURE(Start("BanSeconds=3\n"));
  SipSocket guesser("127.0.0.3");
  guesser.Send(sipPort_, RegisterFrom(guesser, "103", 1));
  const std::string challenge = guesser.Response(2s);
  ASSERT_EQ(CodeOf(challenge), 401) << challenge;
  const std::string nonce = Quoted(challenge, "nonce");
  for (int guess = 1; guess <= 1000; ++guess) {
    guesser.Send(sipPort_,
                 RegisterFrom(guesser, "103", guess + 1,
                              Authorization(nonce, "103", "guess-" + std::to_string(guess), "REGISTER", guess)));
  }
  int forbidden = 0, other = 0;
  for (std::string answer; !(answer = guesser.Response(1s)).empty();) (CodeOf(answer) == 403 ? forbidden : other)++;
  EXPECT_EQ(forbidden, 10);
  EXPECT_EQ(other, 0);
  const std::string banned = "SIP: banned 127.0.0.3 for 3 s after 10 failed authentications within a minute";
  const std::string log = Log();
  EXPECT_NE(log.find(banned), std::string::npos) << log;
  EXPECT_EQ(log.find(banned), log.rfind(banned)) << "said more than once";
  // Banned, it gets no answer to anything; the station's phone from another address registers meanwhile.
  guesser.Send(sipPort_, Make(TRequest{}, guesser.SentBy(), sipPort_));
  EXPECT_EQ(guesser.Response(300ms), "");
  EXPECT_EQ(Register("103", "pw-103"), 0);
  // Once the ban is over (said once), it is answered again.
  ASSERT_TRUE(WaitUntil([&] { return Log().find("SIP: 127.0.0.3 is no longer banned") != std::string::npos; }, 10s));
  guesser.Send(sipPort_, Make(TRequest{}, guesser.SentBy(), sipPort_));
  EXPECT_EQ(CodeOf(guesser.Response(2s)), 200);
}

TEST_F(SipStrangers, MalformedRequestsGet400OverUdpAndTcpBeforeAnythingActsOnThemAndBigOnes513) {
  ASSERT_NO_FATAL_FAILURE(Start());
  // From the trunk's address and port: each of these INVITEs would ring 104 if anything acted on it.
  SipSocket trunk("127.0.0.1", trunkPort_);
  std::vector<std::pair<std::string, TRequest>> cases;
  for (const char* method : {"INVITE", "OPTIONS"}) {
    TRequest base;
    base.method = method;
    base.user = "104";
    base.body = std::string(method) == "INVITE" ? Offer(4000) : "";
    TRequest noCallId = base, wrongCseq = base, negativeLength = base, twoCallIds = base;
    noCallId.callId = "";
    wrongCseq.cseq = std::string("1 ") + (std::string(method) == "INVITE" ? "BYE" : "INVITE");
    negativeLength.contentLength = "-5";
    twoCallIds.extra = "Call-ID: second@stranger\r\n";
    cases.emplace_back(std::string(method) + " without Call-ID", noCallId);
    cases.emplace_back(std::string(method) + " with another method in CSeq", wrongCseq);
    cases.emplace_back(std::string(method) + " with Content-Length -5", negativeLength);
    cases.emplace_back(std::string(method) + " with two Call-IDs", twoCallIds);
  }
  for (auto [what, request] : cases) {
    const std::string udp = (trunk.Send(sipPort_, Make(request, trunk.SentBy(), sipPort_)), trunk.Response(2s));
    EXPECT_EQ(CodeOf(udp), 400) << what << " over UDP: " << udp;
    request.transport = "TCP";
    const std::string tcp = AskTcp(sipPort_, Make(request, "127.0.0.1:" + std::to_string(trunkPort_), sipPort_), 2s);
    EXPECT_EQ(CodeOf(tcp), 400) << what << " over TCP: " << tcp;
  }
  EXPECT_TRUE(Exchange("status").empty()) << Exchange("status");
  // 8 KiB or more: 513 at once, over UDP as over TCP, whether the size is in the body or in the headers.
  TRequest big;
  big.method = "INVITE";
  big.user = "104";
  big.body = Offer(4000) + "a=x-filler:" + std::string(9000, 'x') + "\r\n";
  trunk.Send(sipPort_, Make(big, trunk.SentBy(), sipPort_));
  const std::string udpBig = trunk.Response(2s);
  EXPECT_EQ(CodeOf(udpBig), 513) << udpBig.substr(0, 200);
  TRequest bigHeaders;
  bigHeaders.method = "INVITE";
  bigHeaders.user = "104";
  bigHeaders.extra = "Subject: " + std::string(9000, 'y') + "\r\n";
  bigHeaders.body = Offer(4000);
  trunk.Send(sipPort_, Make(bigHeaders, trunk.SentBy(), sipPort_));
  const std::string udpBigHeaders = trunk.Response(2s);
  EXPECT_EQ(CodeOf(udpBigHeaders), 513) << udpBigHeaders.substr(0, 200);
  big.transport = "TCP";
  const std::string tcpBig = AskTcp(sipPort_, Make(big, "127.0.0.1:" + std::to_string(trunkPort_), sipPort_), 2s);
  EXPECT_EQ(CodeOf(tcpBig), 513) << tcpBig.substr(0, 200);
  EXPECT_TRUE(Exchange("status").empty()) << Exchange("status");
  // A well-formed OPTIONS is answered as before.
  trunk.Send(sipPort_, Make(TRequest{}, trunk.SentBy(), sipPort_));
  EXPECT_EQ(CodeOf(trunk.Response(2s)), 200);
}

TEST_F(SipStrangers, InvitesForgedWithTheTrunksAddressAndNeverAcknowledgedFreeTheirLinesWithinSeconds) {
  ASSERT_NO_FATAL_FAILURE(Start("MediaTimeout=0\n"));
  // Datagrams with the trunk's address and port as their source; the answers go to the real trunk (here, to
  // nobody who acknowledges them). Each rings a station, which someone picks up.
  SipSocket forger("127.0.0.1", trunkPort_);
  for (const char* station : {"102", "103", "104"}) {
    TRequest invite;
    invite.method = "INVITE";
    invite.user = station;
    invite.body = Offer(4000);
    forger.Send(sipPort_, Make(invite, forger.SentBy(), sipPort_));
    ASSERT_TRUE(WaitUntil([&] { return PartyShows(std::string("station ") + station, "OFFERING"); }))
        << Exchange("status");
    Exchange(std::string("pickup ") + station);
  }
  ASSERT_TRUE(WaitUntil([&] { return PartyShows("station 104", "CONNECTED"); })) << Exchange("status");
  const auto answered = std::chrono::steady_clock::now();
  EXPECT_TRUE(WaitUntil([&] { return Exchange("status").empty(); }, 15s)) << Exchange("status");
  EXPECT_LT(std::chrono::steady_clock::now() - answered, 10s);  // not the 32 s of the answer's retransmissions
  EXPECT_NE(Log().find("neither acknowledged nor heard; ending it"), std::string::npos) << Log();
}

TEST_F(SipStrangers, InvitesForgedWithTheTrunksAddressThatOnlyRingHoldAFewLinesAndGiveWayToTheRealTrunksCallers) {
  ASSERT_NO_FATAL_FAILURE(Start("MediaTimeout=0\n"));
  // Eight datagrams with the trunk's address and port as their source, for the eight trunk lines; nobody picks up.
  int refused = 0;
  {
    SipSocket forger("127.0.0.1", trunkPort_);
    for (int i = 0; i < 8; ++i) {
      TRequest invite;
      invite.method = "INVITE";
      invite.user = i % 2 == 0 ? "103" : "104";
      invite.body = Offer(4000 + 2 * i);
      forger.Send(sipPort_, Make(invite, forger.SentBy(), sipPort_));
      // The answers go to the real trunk: here, to the forger's own socket.
      for (std::string answer; !(answer = forger.Response(3s)).empty();) {
        if (CodeOf(answer) == 503) ++refused;
        if (CodeOf(answer) >= 180) break;
      }
      // Four ring past the two seconds after which a trunk call that only rings counts as held.
      if (i == 3) std::this_thread::sleep_for(2500ms);
    }
  }
  const auto forged = std::chrono::steady_clock::now();
  EXPECT_EQ(refused, 4) << Exchange("status");
  EXPECT_NE(Log().find("trunk calls are neither answered nor acknowledged"), std::string::npos) << Log();
  // The real trunk's callers get a line all the same once the forged calls rang ten seconds: they give way.
  std::this_thread::sleep_until(forged + 8s);
  RtpPeer media;
  for (const char* caller : {"5550123", "5550124"}) {
    const auto note = host_.IniFolder() / (std::string("media-") + caller);
    auto call = Sipp("caller.xml", trunkPort_,
                     {"-s", "102", "-key", "caller", caller, "-key", "rtp_ip", "127.0.0.1", "-key", "rtp_port",
                      std::to_string(media.Port()), "-key", "law", std::to_string(kPcmu), "-key", "media_note",
                      note.string(), "-d", "300"});
    ASSERT_TRUE(WaitUntil([&] { return PartyShows("station 102", std::string("OFFERING with ") + caller); }, 15s))
        << Exchange("status") << call->Output() << Log().substr(Log().size() > 6000 ? Log().size() - 6000 : 0);
    Exchange("pickup 102");
    EXPECT_EQ(call->WaitForExit(20s), 0) << call->Output();
  }
  EXPECT_NE(Log().find("it gives way to the trunk's new call"), std::string::npos) << Log();
}

TEST_F(SipStrangers, WithInboundCredentialsTheTrunksInvitesAreChallengedAndOnlyTheRealTrunkRings) {
  ASSERT_NO_FATAL_FAILURE(Start("", "InboundUser=carrier\nInboundPassword=carrier-pw\n"));
  {
    SipSocket forger("127.0.0.1", trunkPort_);
    TRequest invite;
    invite.method = "INVITE";
    invite.user = "104";
    invite.body = Offer(4000);
    forger.Send(sipPort_, Make(invite, forger.SentBy(), sipPort_));
    const std::string challenge = forger.Response(2s);
    EXPECT_EQ(CodeOf(challenge), 407) << challenge;
    EXPECT_TRUE(Exchange("status").empty()) << Exchange("status");
  }
  // The real trunk answers the challenge: its caller rings 104.
  RtpPeer media;
  auto caller = Sipp("phone-dials.xml", trunkPort_, {"-s",      "104",      "-key",
                                                     "station", "5550123",  "-au",
                                                     "carrier", "-ap",      "carrier-pw",
                                                     "-key",    "rtp_ip",   "127.0.0.1",
                                                     "-key",    "rtp_port", std::to_string(media.Port()),
                                                     "-key",    "law",      std::to_string(kPcmu),
                                                     "-d",      "300"});
  ASSERT_TRUE(WaitUntil([&] { return PartyShows("station 104", "OFFERING with 5550123"); })) << Exchange("status");
  Exchange("pickup 104");
  EXPECT_EQ(caller->WaitForExit(20s), 0) << caller->Output();
  EXPECT_TRUE(WaitUntil([&] { return Exchange("status").empty(); })) << Exchange("status");
}

TEST_F(SipStrangers, AStrangerRacingTheCallerToItsRelayPortAndASprayerOverTheRangeHearNothingWhileThePartiesTalk) {
  ASSERT_NO_FATAL_FAILURE(Start());
  ASSERT_EQ(Register("104", "pw-104"), 0);
  RtpPeer phoneMedia, callerMedia, stranger("127.0.0.2"), sprayer("127.0.0.3");
  auto phone = Phone("phone.xml", phonePort_, phoneMedia.Port(), kPcmu);
  // Valid RTP of the calls' law to every port of the relay's range, a thousand a second, while calls are set up.
  std::atomic<bool> spraying{true};
  std::thread spray([&] {
    while (spraying) {
      for (int port = 30400; port < 30600 && spraying; port += 2) {
        sprayer.Send(port, kPcmu, std::vector<std::uint8_t>(160, 0x22));
        std::this_thread::sleep_for(1ms);
      }
    }
  });
  const auto note = host_.IniFolder() / "caller-media-port";
  auto caller = Sipp("caller.xml", trunkPort_,
                     {"-s", "104", "-key", "caller", "5550124", "-key", "rtp_ip", "127.0.0.1", "-key", "rtp_port",
                      std::to_string(callerMedia.Port()), "-key", "law", std::to_string(kPcmu), "-key", "media_note",
                      note.string(), "-d", "4000"});
  int callersPort = 0;
  ASSERT_TRUE(WaitUntil([&] {
    std::ifstream file(note);
    std::string line;
    std::getline(file, line);  // "m=audio PORT"
    callersPort = line.size() > 8 ? std::atoi(line.c_str() + 8) : 0;
    return callersPort > 0;
  })) << caller->Output();
  // The stranger is at the fresh port before the caller.
  stranger.Send(callersPort, kPcmu, std::vector<std::uint8_t>(160, 0x11), 20);
  ASSERT_TRUE(WaitUntil([&] {
    callerMedia.Send(callersPort, kPcmu, std::vector<std::uint8_t>(160, 0x80));
    return phoneMedia.ReceivedCount() >= 5;
  })) << "the caller's audio did not reach the phone";
  ASSERT_TRUE(WaitUntil([&] {
    phoneMedia.Send(phoneMedia.LastSourcePort(), kPcmu, std::vector<std::uint8_t>(160, 0x90));
    return callerMedia.ReceivedCount() >= 5;
  })) << "the phone's audio did not reach the caller";
  spraying = false;
  spray.join();
  for (const RtpPeer::Packet& packet : phoneMedia.Received())
    EXPECT_EQ(packet.payload, std::vector<std::uint8_t>(160, 0x80)) << "a stranger's audio reached the phone";
  for (const RtpPeer::Packet& packet : callerMedia.Received())
    EXPECT_EQ(packet.payload, std::vector<std::uint8_t>(160, 0x90)) << "a stranger's audio reached the caller";
  EXPECT_EQ(stranger.ReceivedCount(), 0u);
  EXPECT_EQ(sprayer.ReceivedCount(), 0u) << "from " << (sprayer.ReceivedCount() ? sprayer.Received()[0].fromPort : 0);
  EXPECT_EQ(caller->WaitForExit(20s), 0) << caller->Output();
  EXPECT_EQ(phone->WaitForExit(10s), 0) << phone->Output();
}
