// SIP over TLS with SDES-SRTP on a running host: baresip as a phone over TLS with mandatory SRTP talking with a
// plain trunk caller through the relay, refusals of what TLS phones must not offer, clients that do not trust
// the certificate, garbage on the TLS port, a trunk over TLS.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <random>
#include <regex>
#include <sstream>
#include <thread>

#include <openssl/pem.h>
#include <openssl/sha.h>

#include "Browser.h"
#include "HostProcess.h"
#include "Md5Hex.h"
#include "RtpPeer.h"
#include "SipHostSetup.h"
#include "SipHostTest.h"
#include "SipPhoneSocket.h"
#include "SpawnedProgram.h"
#include "TlsSip.h"
#include "Tones.h"
#include "WaitUntil.h"
#include "telephony/sip/G711.h"

using namespace std::chrono_literals;

namespace {

constexpr int kPcmu = 0;

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

// The 16-bit samples of a WAV file's data chunk.
std::vector<std::int16_t> WavSamples(const std::filesystem::path& path) {
  const std::string bytes = ReadFile(path);
  const std::size_t data = bytes.find("data");
  std::vector<std::int16_t> samples;
  if (data == std::string::npos) return samples;
  for (std::size_t at = data + 8; at + 1 < bytes.size(); at += 2)
    samples.push_back(static_cast<std::int16_t>(static_cast<std::uint8_t>(bytes[at]) |
                                                (static_cast<std::uint8_t>(bytes[at + 1]) << 8)));
  return samples;
}

std::vector<std::int16_t> Decoded(const std::vector<RtpPeer::Packet>& packets) {
  std::vector<std::int16_t> sound;
  for (const RtpPeer::Packet& packet : packets) {
    std::vector<std::int16_t> samples(packet.payload.size());
    vantrel::telephony::Decode(packet.payload.data(), samples.size(), packet.payloadType, samples.data());
    sound.insert(sound.end(), samples.begin(), samples.end());
  }
  return sound;
}

std::string Quoted(const std::string& message, const std::string& name) {
  const auto start = message.find(name + "=\"");
  if (start == std::string::npos) return {};
  const auto from = start + name.size() + 2;
  return message.substr(from, message.find('"', from) - from);
}

int StatusOf(const std::string& response) {
  return response.rfind("SIP/2.0 ", 0) == 0 ? std::atoi(response.c_str() + 8) : 0;
}

// The Proxy-Authorization a phone makes for the challenge (RFC 2617, qop=auth), counting each nonce's uses (the
// server's nonces of one second and kind are one nonce).
std::string ProxyAuthorization(const std::string& challenge, const std::string& user, const std::string& password,
                               const std::string& method, const std::string& header = "Proxy-Authorization") {
  static std::map<std::string, int> uses;
  const std::string nonce = Quoted(challenge, "nonce");
  const int nc = ++uses[nonce];
  char count[9];
  std::snprintf(count, sizeof count, "%08x", nc);
  const std::string uri = "sip:127.0.0.1";
  const std::string response = Md5Hex(Md5Hex(user + ":vantrel:" + password) + ":" + nonce + ":" + count +
                                      ":c0ffee:auth:" + Md5Hex(method + ":" + uri));
  return header + ": Digest username=\"" + user + "\", realm=\"vantrel\", nonce=\"" + nonce + "\", uri=\"" + uri +
         "\", response=\"" + response + "\", algorithm=MD5, qop=auth, nc=" + count + ", cnonce=\"c0ffee\"\r\n";
}

std::string AudioOffer(int rtpPort, const std::string& profile, const std::string& attributes = {}) {
  return "v=0\r\no=phone 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\nm=audio " +
         std::to_string(rtpPort) + " " + profile + " 0\r\na=rtpmap:0 PCMU/8000\r\n" + attributes;
}

// An INVITE from station 103's phone to 104 over the transport, with the offer and any further header lines.
std::string Invite(const std::string& transport, int localPort, int cseq, const std::string& offer,
                   const std::string& extra = {}) {
  return "INVITE sip:104@127.0.0.1 SIP/2.0\r\nVia: SIP/2.0/" + transport + " 127.0.0.1:" + std::to_string(localPort) +
         ";branch=z9hG4bK-tls-" + std::to_string(cseq) + "-" + std::to_string(::getpid()) +
         "\r\nFrom: <sip:103@127.0.0.1>;tag=phone103\r\nTo: <sip:104@127.0.0.1>\r\nCall-ID: tls-" +
         std::to_string(localPort) + "@phone\r\nCSeq: " + std::to_string(cseq) +
         " INVITE\r\nContact: <sip:103@127.0.0.1:" + std::to_string(localPort) + ">\r\nMax-Forwards: 70\r\n" + extra +
         "Content-Type: application/sdp\r\nContent-Length: " + std::to_string(offer.size()) + "\r\n\r\n" + offer;
}

// A final response to the request, its dialog's headers copied (the To with a tag of ours).
std::string Reply(const std::string& request, int code, const std::string& reason) {
  std::string reply = "SIP/2.0 " + std::to_string(code) + " " + reason + "\r\n";
  std::istringstream lines(request.substr(0, request.find("\r\n\r\n")));
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    for (const std::string name : {"Via:", "From:", "To:", "Call-ID:", "CSeq:"}) {
      if (line.rfind(name, 0) == 0) reply += line + (name == "To:" ? ";tag=trunk" : "") + "\r\n";
    }
  }
  return reply + "Content-Length: 0\r\n\r\n";
}

std::string Options(int localPort) {
  return "OPTIONS sip:127.0.0.1 SIP/2.0\r\nVia: SIP/2.0/TLS 127.0.0.1:" + std::to_string(localPort) +
         ";branch=z9hG4bK-options-" + std::to_string(localPort) +
         "\r\nFrom: <sip:tester@127.0.0.1>;tag=1\r\nTo: <sip:127.0.0.1>\r\nCall-ID: options-" +
         std::to_string(localPort) + "@tester\r\nCSeq: 1 OPTIONS\r\nMax-Forwards: 70\r\nContent-Length: 0\r\n\r\n";
}

// A REGISTER for station 103 as a browser's SIP library writes it: an invented host, transport WSS.
std::string BrowserRegister(int cseq, const std::string& authorization = {}) {
  return "REGISTER sip:127.0.0.1 SIP/2.0\r\nVia: SIP/2.0/WSS k3x9q2.invalid;branch=z9hG4bK-wss-" +
         std::to_string(cseq) + "-" + std::to_string(std::random_device()()) +
         "\r\nMax-Forwards: 69\r\nTo: <sip:103@127.0.0.1>\r\nFrom: <sip:103@127.0.0.1>;tag=wss\r\nCall-ID: "
         "wss-browser\r\nCSeq: " +
         std::to_string(cseq) +
         " REGISTER\r\nContact: <sip:ab12@k3x9q2.invalid;transport=ws>;expires=600\r\nExpires: 600\r\n" +
         authorization + "Content-Length: 0\r\n\r\n";
}

int StatusOf(const std::optional<std::string>& response) { return response ? StatusOf(*response) : 0; }

// A browser's TLS: trusts the CA's file only and checks the loopback address in the certificate.
std::unique_ptr<boost::asio::ssl::context> BrowserTls(const std::filesystem::path& caFile) {
  auto context = std::make_unique<boost::asio::ssl::context>(boost::asio::ssl::context::tls_client);
  context->load_verify_file(caFile.string());
  context->set_verify_mode(boost::asio::ssl::verify_peer);
  X509_VERIFY_PARAM_set1_ip_asc(SSL_CTX_get0_param(context->native_handle()), "127.0.0.1");
  return context;
}

// The base64 SHA-256 of the certificate's public key, as Chromium names a key it is to trust.
std::string SpkiHash(const std::filesystem::path& certificate) {
  FILE* file = std::fopen(certificate.c_str(), "r");
  if (file == nullptr) return {};
  X509* x509 = PEM_read_X509(file, nullptr, nullptr, nullptr);
  std::fclose(file);
  if (x509 == nullptr) return {};
  unsigned char* der = nullptr;
  const int length = i2d_PUBKEY(X509_get0_pubkey(x509), &der);
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(der, static_cast<std::size_t>(length), digest);
  OPENSSL_free(der);
  X509_free(x509);
  unsigned char text[64] = {};
  EVP_EncodeBlock(text, digest, sizeof digest);
  return reinterpret_cast<const char*>(text);
}

class SipTls : public SipHostTest {
 protected:
  SipTls() { sippTimeout_ = "60s"; }
  // Stations 103 and 104 with passwords; TLS with the test CA's server certificate (named relative to the INI
  // folder) and SRTP as given; further [SIP] and [Trunk] lines.
  void Start(const std::string& srtp, const std::string& extraSip = {}, const std::string& extraTrunk = {},
             const std::string& certificate = "tls/server.pem") {
    sipPort_ = FreeLoopbackPort();
    tlsPort_ = FreeLoopbackPort();
    trunkPort_ = FreeLoopbackPort();
    MakeCa(tls_);
    TSipHostSetup{sipPort_,
                  trunkPort_,
                  "40000-40899",
                  20,
                  "TlsPort=" + std::to_string(tlsPort_) + "\nCertificateFile=" + certificate +
                      "\nPrivateKeyFile=tls/server.key\nSrtp=" + srtp + "\n" + extraSip,
                  extraTrunk}
        .Write(host_.IniFolder());
    TSipHostSetup::WriteRouteTo103(host_.IniFolder());
    ASSERT_TRUE(host_.Start()) << host_.ErrorOutput();
    ASSERT_TRUE(WaitUntil([&] { return Log().find("SIP: listening on") != std::string::npos; }, 15s)) << Log();
  }

  // A CA with server and client certificates in the folder, as the script makes them.
  void MakeCa(const std::filesystem::path& folder) {
    SpawnedProgram made({std::string(VANTREL_SOURCE_DIR) + "/scripts/make-test-ca.sh", folder.string()});
    ASSERT_EQ(made.WaitForExit(60s), 0) << made.Output();
    ASSERT_TRUE(std::filesystem::exists(folder / "server.pem"));
  }

  // A trunk caller over UDP who stays until the server hangs up; its answer's media port goes to MediaNote().
  std::unique_ptr<SpawnedProgram> Caller(const std::string& caller, const RtpPeer& media) {
    return TrunkCaller("caller-stays.xml", caller, media.Port(), kPcmu, 0);
  }
  // The port's answer to an OPTIONS over UDP.
  int UdpOptionsStatus() {
    const int udpPort = FreeLoopbackPort();
    return StatusOf(AskUdp(udpPort, sipPort_,
                           "OPTIONS sip:127.0.0.1 SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:" + std::to_string(udpPort) +
                               ";branch=z9hG4bK-udp\r\nFrom: <sip:t@127.0.0.1>;tag=1\r\nTo: <sip:127.0.0.1>\r\n"
                               "Call-ID: udp@t\r\nCSeq: 1 OPTIONS\r\nMax-Forwards: 70\r\nContent-Length: 0\r\n\r\n",
                           5s));
  }
  // Connects a phone's TLS connection that trusts the test CA.
  void Connect(TlsSipConnection& connection) {
    std::string why;
    ASSERT_TRUE(connection.Connect(tlsPort_, (tls_ / "ca.pem").string(), &why)) << why;
  }

  const std::filesystem::path tls_ = host_.IniFolder() / "tls";
  int tlsPort_ = 0;
};

}  // namespace

TEST_F(SipTls, ABaresipPhoneOverTlsWithSrtpTakesARoutedCallerAndCallsOutAndEachSideHearsTheOther) {
  ASSERT_NO_FATAL_FAILURE(Start("required"));
  EXPECT_NE(Log().find("(TLS, SRTP required)"), std::string::npos) << Log();
  const auto folder = host_.IniFolder() / "baresip";
  std::filesystem::create_directories(folder / "heard");
  WriteToneWav(folder / "tone.wav", 400, 120);
  const int phonePort = FreeLoopbackPortPair(), consolePort = FreeLoopbackPort();
  // What it hears is written down by its sound-file filter (the "dec" file of the call).
  std::ofstream(folder / "config") << "poll_method epoll\nsip_listen 127.0.0.1:" << phonePort << "\nsip_cafile "
                                   << (tls_ / "ca.pem").string() << "\naudio_player alsa,null\naudio_source aufile,"
                                   << (folder / "tone.wav").string() << "\naudio_alert aufile,/dev/null\nsnd_path "
                                   << (folder / "heard").string()
                                   << "\nmodule_path /usr/lib/baresip/modules\n"
                                      "module g711.so\nmodule alsa.so\nmodule aufile.so\nmodule srtp.so\n"
                                      "module sndfile.so\nmodule cons.so\nmodule_app account.so\n"
                                      "module_app menu.so\ncons_listen 127.0.0.1:"
                                   << consolePort << "\n";
  std::ofstream(folder / "accounts") << "<sip:103@127.0.0.1:" << tlsPort_
                                     << ";transport=tls>;auth_pass=pw-103;answermode=auto;regint=600;"
                                        "audio_codecs=PCMU;mediaenc=srtp-mand\n";
  // baresip now and then sends nothing at its first start (see the SIP phones' tests): a second start then.
  std::unique_ptr<SpawnedProgram> softphone;
  bool registered = false;
  for (int start = 0; start < 2 && !registered; ++start) {
    softphone = std::make_unique<SpawnedProgram>(std::vector<std::string>{"/usr/bin/baresip", "-f", folder.string()});
    registered = WaitUntil([&] { return Log().find("SIP: station 103 registered") != std::string::npos; }, 15s);
    if (!registered) {
      softphone->WaitForOutput("\x01", 200ms);
      std::cout << "baresip did not register; it said: " << softphone->Output() << std::endl;
      softphone->Terminate();
    }
  }
  ASSERT_TRUE(registered) << Log();
  EXPECT_NE(Log().find(";transport=tls"), std::string::npos) << Log();

  RtpPeer callerMedia;
  auto caller = Caller("5550105", callerMedia);
  ASSERT_TRUE(WaitUntil([&] { return PartyShows("station 103", "CONNECTED with 5550105"); }, 20s))
      << Exchange("status") << softphone->Output() << Log();
  // The caller hears the softphone's tone: its SRTP authenticated and decrypted at the relay.
  ASSERT_TRUE(WaitUntil([&] { return callerMedia.ReceivedCount() >= 75; }, 10s)) << callerMedia.ReceivedCount();
  const std::vector<RtpPeer::Packet> heard = callerMedia.Received();
  const std::vector<std::int16_t> sound = Decoded(std::vector<RtpPeer::Packet>(heard.end() - 50, heard.end()));
  EXPECT_GT(ToneLevel(sound, 400), 1000) << ToneLevel(sound, 400);
  EXPECT_LT(ToneLevel(sound, 1000), 300);
  // The softphone hears the caller's 1 kHz: protected by the relay under the key of its answer.
  const int relayPort = CallersRelayPort();
  ASSERT_GT(relayPort, 0);
  ToneSource tone(1000);
  for (int frame = 0; frame < 150; ++frame) {
    const std::vector<std::int16_t> samples = tone.Next(160);
    std::vector<std::uint8_t> payload(160);
    vantrel::telephony::Encode(samples.data(), samples.size(), kPcmu, payload.data());
    callerMedia.Send(relayPort, kPcmu, payload);
    std::this_thread::sleep_for(20ms);  // the pace of speech, not a wait for anything
  }
  Exchange("hangup");
  EXPECT_EQ(caller->WaitForExit(15s), 0) << caller->Output();
  std::filesystem::path decoded;
  ASSERT_TRUE(WaitUntil([&] {
    for (const auto& entry : std::filesystem::directory_iterator(folder / "heard")) {
      if (entry.path().filename().string().find("dec") != std::string::npos) decoded = entry.path();
    }
    return !decoded.empty() && WavSamples(decoded).size() >= 8000;
  })) << softphone->Output();
  const std::vector<std::int16_t> received = WavSamples(decoded);
  // Of the three seconds spoken, the best second is the tone.
  double best = 0;
  for (std::size_t from = 0; from + 8000 <= received.size(); from += 800)
    best = std::max(
        best, ToneLevel(std::vector<std::int16_t>(received.begin() + from, received.begin() + from + 8000), 1000));
  EXPECT_GT(best, 1000) << received.size() << " samples heard";
  EXPECT_TRUE(WaitUntil([&] { return Exchange("status").empty(); })) << Exchange("status");

  // The softphone calls out over TLS: our answer gives it a key of ours, and the outside party hears its tone.
  RtpPeer outsideMedia;
  auto outside = Phone("phone.xml", trunkPort_, outsideMedia.Port(), kPcmu);
  const std::string dial = "/dial sip:5550199@127.0.0.1:" + std::to_string(tlsPort_) + ";transport=tls\n";
  const int console = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const sockaddr_in consoleAddress = Loopback(consolePort);
  ::sendto(console, dial.data(), dial.size(), 0, reinterpret_cast<const sockaddr*>(&consoleAddress),
           sizeof consoleAddress);
  ::close(console);
  ASSERT_TRUE(WaitUntil([&] { return PartyShows("station 103", "CONNECTED with 5550199"); }, 20s))
      << Exchange("status") << softphone->Output() << Log();
  ASSERT_TRUE(WaitUntil([&] { return outsideMedia.ReceivedCount() >= 50; }, 10s)) << outsideMedia.ReceivedCount();
  const std::vector<RtpPeer::Packet> outsideHeard = outsideMedia.Received();
  EXPECT_GT(ToneLevel(Decoded(std::vector<RtpPeer::Packet>(outsideHeard.end() - 25, outsideHeard.end())), 400), 1000);
  Exchange("hangup");
  EXPECT_EQ(outside->WaitForExit(15s), 0) << outside->Output();
  softphone->Terminate();
  EXPECT_TRUE(WaitUntil([&] { return Exchange("status").empty(); })) << Exchange("status");
  // The relay's figures at its end: the softphone's packets all proved themselves, the caller's went protected.
  EXPECT_EQ(host_.Stop(), 0);
  std::smatch figures;
  const std::string log = Log();
  ASSERT_TRUE(std::regex_search(log, figures, std::regex("SRTP received (\\d+), sent (\\d+), unauthentic (\\d+)")))
      << log;
  EXPECT_GE(std::stoi(figures[1]), 75);
  EXPECT_GE(std::stoi(figures[2]), 100);
  EXPECT_EQ(std::stoi(figures[3]), 0);
}

TEST_F(SipTls, APhoneOverTlsOfferingPlainRtpWhereSrtpIsRequiredOrAMalformedKeyGets488AndKeysOverUdpAreRefused) {
  ASSERT_NO_FATAL_FAILURE(Start("required"));
  TlsSipConnection phone;
  ASSERT_NO_FATAL_FAILURE(Connect(phone));
  const int local = phone.LocalPort();
  phone.Send(Invite("TLS", local, 1, AudioOffer(40950, "RTP/AVP")));
  std::string challenge = phone.Receive();
  while (StatusOf(challenge) == 100) challenge = phone.Receive();
  ASSERT_EQ(StatusOf(challenge), 407) << challenge;
  // Its password is right: the media alone is what is refused.
  phone.Send(
      Invite("TLS", local, 2, AudioOffer(40950, "RTP/AVP"), ProxyAuthorization(challenge, "103", "pw-103", "INVITE")));
  std::string answer = phone.Receive();
  while (StatusOf(answer) == 100) answer = phone.Receive();
  EXPECT_EQ(StatusOf(answer), 488) << answer;
  EXPECT_TRUE(WaitUntil([&] { return Log().find("plain RTP where SRTP is required") != std::string::npos; })) << Log();
  phone.Send(Invite("TLS", local, 3,
                    AudioOffer(40950, "RTP/SAVP", "a=crypto:1 AES_CM_128_HMAC_SHA1_80 inline:bm90IGEga2V5\r\n"),
                    ProxyAuthorization(challenge, "103", "pw-103", "INVITE")));
  answer = phone.Receive();
  while (StatusOf(answer) == 100) answer = phone.Receive();
  EXPECT_EQ(StatusOf(answer), 488) << answer;
  EXPECT_TRUE(WaitUntil([&] { return Log().find("not 30 bytes of base64") != std::string::npos; })) << Log();
  // Over UDP the same keys would be in the clear: an offer that insists on them is refused too.
  const std::string key = "a=crypto:1 AES_CM_128_HMAC_SHA1_80 inline:WVNfX19zZW1jdGwgKCkgewkyMjA7fQp9CnVubGVz\r\n";
  const int udpPort = FreeLoopbackPort();
  const std::string udpChallenge =
      AskUdp(udpPort, sipPort_, Invite("UDP", udpPort, 1, AudioOffer(40952, "RTP/SAVP", key)), 5s);
  ASSERT_EQ(StatusOf(udpChallenge), 407) << udpChallenge;
  std::string udpAnswer = AskUdp(udpPort, sipPort_,
                                 Invite("UDP", udpPort, 2, AudioOffer(40952, "RTP/SAVP", key),
                                        ProxyAuthorization(udpChallenge, "103", "pw-103", "INVITE")),
                                 5s);
  EXPECT_EQ(StatusOf(udpAnswer), 488) << udpAnswer;
  EXPECT_NE(Log().find("SRTP keys over signalling without TLS"), std::string::npos) << Log();
  // No call was made of any of them.
  EXPECT_TRUE(Exchange("status").empty()) << Exchange("status");
}

TEST_F(SipTls, AClientThatDoesNotTrustTheCertificateFailsTheHandshakeAndGarbageCostsNothing) {
  ASSERT_NO_FATAL_FAILURE(Start("optional"));
  const auto stranger = host_.IniFolder() / "other-ca";
  ASSERT_NO_FATAL_FAILURE(MakeCa(stranger));
  {
    TlsSipConnection doubter;
    std::string why;
    EXPECT_FALSE(doubter.Connect(tlsPort_, (stranger / "ca.pem").string(), &why));
    EXPECT_NE(why.find("certificate verify failed"), std::string::npos) << why;
  }
  // Garbage where a handshake belongs, and a record header that promises more than it sends: the server hangs up.
  for (const std::string& garbage : {std::string(4096, '\x16'), std::string("GET / HTTP/1.1\r\nHost: x\r\n\r\n"),
                                     std::string("\x16\x03\x01\x40\x00", 5)}) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to = Loopback(tlsPort_);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    ::send(fd, garbage.data(), garbage.size(), MSG_NOSIGNAL);
    if (garbage.size() > 5) {
      bool closed = WaitUntil(
          [&] {
            pollfd ready{fd, POLLIN, 0};
            char buffer[512];
            return ::poll(&ready, 1, 100) > 0 && ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) <= 0;
          },
          10s);
      EXPECT_TRUE(closed) << garbage.substr(0, 20);
    }
    ::close(fd);
  }
  // A phone that trusts the CA is served, over TLS and over UDP alike.
  TlsSipConnection phone;
  ASSERT_NO_FATAL_FAILURE(Connect(phone));
  phone.Send(Options(phone.LocalPort()));
  EXPECT_EQ(StatusOf(phone.Receive()), 200);
  EXPECT_EQ(UdpOptionsStatus(), 200);
}

TEST_F(SipTls, ACertificateFileThatCannotBeReadLeavesTlsOffWithOneLineAndTheRestOfThePortRunning) {
  const int wss = FreeLoopbackPort();
  ASSERT_NO_FATAL_FAILURE(
      Start("optional", "SecureWebSocketPort=" + std::to_string(wss) + "\n", "", "tls/missing.pem"));
  EXPECT_TRUE(WaitUntil([&] { return ErrorLog().find("SIP: TLS stays off: cannot read") != std::string::npos; }))
      << ErrorLog();
  EXPECT_NE(ErrorLog().find("SIP: the secure WebSocket stays off: cannot read"), std::string::npos) << ErrorLog();
  EXPECT_EQ(Log().find("(secure WebSocket)"), std::string::npos) << Log();
  EXPECT_NE(ErrorLog().find((tls_ / "missing.pem").string() + ": No such file or directory"), std::string::npos)
      << ErrorLog();
  EXPECT_EQ(Log().find("(TLS"), std::string::npos) << Log();
  EXPECT_EQ(UdpOptionsStatus(), 200);
  TlsSipConnection phone;
  std::string why;
  EXPECT_FALSE(phone.Connect(tlsPort_, (tls_ / "ca.pem").string(), &why));
}

TEST_F(SipTls, ACallToTheTrunkOverTlsCarriesAKeyAndGoesOnlyToACertificateTheCaVouchesFor) {
  // The trunk is a TLS server of the test's own, its certificate from the test CA.
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int one = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  ASSERT_NO_FATAL_FAILURE(Start("required", "", "Transport=TLS\nCAFile=tls/ca.pem\n"));
  sockaddr_in at = Loopback(trunkPort_);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
  ::listen(listener, 4);
  RtpPeer phoneMedia;
  const auto dial = [&] {
    return Phone("phone-dials.xml", FreeLoopbackPort(), phoneMedia.Port(), kPcmu,
                 {"-s", "5550199", "-key", "station", "103", "-au", "103", "-ap", "pw-103", "-d", "500"});
  };
  {
    auto dialing = dial();
    TlsSipConnection trunk;
    std::string why;
    ASSERT_TRUE(trunk.Accept(listener, (tls_ / "server.pem").string(), (tls_ / "server.key").string(), &why)) << why;
    const std::string invite = trunk.Receive();
    EXPECT_EQ(invite.rfind("INVITE sip:5550199@127.0.0.1:" + std::to_string(trunkPort_) + ";transport=tls SIP/2.0", 0),
              0u)
        << invite;
    EXPECT_NE(invite.find("Via: SIP/2.0/TLS"), std::string::npos) << invite;
    EXPECT_NE(invite.find(" RTP/SAVP "), std::string::npos) << invite;
    EXPECT_NE(invite.find("a=crypto:1 AES_CM_128_HMAC_SHA1_80 inline:"), std::string::npos) << invite;
    trunk.Send(Reply(invite, 486, "Busy Here"));
    std::string ack = trunk.Receive();
    while (StatusOf(ack) != 0) ack = trunk.Receive();  // past any provisional answers of ours
    EXPECT_EQ(ack.rfind("ACK ", 0), 0u) << ack;
    dialing->WaitForExit(10s);
  }
  EXPECT_TRUE(WaitUntil([&] { return Exchange("status").empty(); }, 40s)) << Exchange("status");
  // A trunk whose certificate another CA signed gets no request: the handshake fails at the exchange.
  const auto stranger = host_.IniFolder() / "other-ca";
  ASSERT_NO_FATAL_FAILURE(MakeCa(stranger));
  auto dialing = dial();
  TlsSipConnection impostor;
  std::string why;
  EXPECT_FALSE(impostor.Accept(listener, (stranger / "server.pem").string(), (stranger / "server.key").string(), &why));
  EXPECT_NE(why.find("handshake"), std::string::npos) << why;
  dialing->Terminate();
  ::close(listener);
}

TEST_F(SipTls, WhereSrtpIsOptionalATlsPhoneIsAnsweredInKindPlainForPlainAndWithAKeyOfOursForItsKey) {
  ASSERT_NO_FATAL_FAILURE(Start("optional"));
  const std::string theirs = "a=crypto:7 AES_CM_128_HMAC_SHA1_80 inline:WVNfX19zZW1jdGwgKCkgewkyMjA7fQp9CnVubGVz\r\n";
  // The station's answer to each offer (station 104, simulated, picks up).
  const auto answered = [&](TlsSipConnection& phone, const std::string& offer) {
    const int local = phone.LocalPort();
    phone.Send(Invite("TLS", local, 1, offer));
    std::string challenge = phone.Receive();
    while (StatusOf(challenge) == 100) challenge = phone.Receive();
    EXPECT_EQ(StatusOf(challenge), 407) << challenge;
    phone.Send(Invite("TLS", local, 2, offer, ProxyAuthorization(challenge, "103", "pw-103", "INVITE")));
    EXPECT_TRUE(WaitUntil([&] { return PartyShows("station 104", "OFFERING"); }, 10s)) << Exchange("status");
    Exchange("pickup 104");
    std::string answer = phone.Receive();
    while (StatusOf(answer) > 0 && StatusOf(answer) < 200) answer = phone.Receive();
    EXPECT_EQ(StatusOf(answer), 200) << answer;
    Exchange("drop 104");
    EXPECT_TRUE(WaitUntil([&] { return Exchange("status").empty(); })) << Exchange("status");
    return answer;
  };
  TlsSipConnection plainPhone, keyedPhone;
  ASSERT_NO_FATAL_FAILURE(Connect(plainPhone));
  ASSERT_NO_FATAL_FAILURE(Connect(keyedPhone));
  const std::string plain = answered(plainPhone, AudioOffer(40960, "RTP/AVP"));
  EXPECT_NE(plain.find(" RTP/AVP 0"), std::string::npos) << plain;
  EXPECT_EQ(plain.find("a=crypto"), std::string::npos) << plain;
  const std::string keyed = answered(keyedPhone, AudioOffer(40962, "RTP/SAVP", theirs));
  EXPECT_NE(keyed.find(" RTP/SAVP 0"), std::string::npos) << keyed;
  // Its tag, our suite, a key of our own.
  const std::size_t line = keyed.find("a=crypto:7 AES_CM_128_HMAC_SHA1_80 inline:");
  ASSERT_NE(line, std::string::npos) << keyed;
  EXPECT_EQ(keyed.find(theirs.substr(theirs.find("inline:"), 47)), std::string::npos) << keyed;
}

TEST_F(SipTls, ABrowserOverASecureWebSocketIsRungThroughItAndAnAddressGuessingPasswordsIsShutOut) {
  const int wss = FreeLoopbackPort();
  ASSERT_NO_FATAL_FAILURE(Start("optional", "SecureWebSocketPort=" + std::to_string(wss) + "\nBanAfterFailures=3\n"));
  ASSERT_TRUE(WaitUntil([&] {
    return Log().find(" and " + std::to_string(wss) + " (secure WebSocket)") != std::string::npos;
  })) << Log();
  const auto trusting = BrowserTls(tls_ / "ca.pem");

  // What is no browser of ours gets no WebSocket: a client that does not trust the certificate, a plain
  // WebSocket on the secure port, a WebSocket for another subprotocol.
  const auto stranger = host_.IniFolder() / "other-ca";
  ASSERT_NO_FATAL_FAILURE(MakeCa(stranger));
  const auto doubting = BrowserTls(stranger / "ca.pem");
  SecurePhoneSocket doubter(*doubting);
  EXPECT_EQ(doubter.Open(wss, "", "", "sip", "/"), 0);
  PhoneSocket plain;
  EXPECT_EQ(plain.Open(wss, "", "", "sip", "/"), 0);
  SecurePhoneSocket notSip(*trusting);
  EXPECT_EQ(notSip.Open(wss, "", "", "xmpp", "/"), 0);

  // An address that guesses passwords is banned: its words go unanswered and its next WebSocket is refused.
  SecurePhoneSocket guesser(*trusting);
  guesser.From("127.0.0.2");
  ASSERT_EQ(guesser.Open(wss, "", "", "sip", "/"), 101);
  ASSERT_TRUE(guesser.Send(BrowserRegister(1)));
  const auto challenge = guesser.Response();
  ASSERT_EQ(StatusOf(challenge), 401) << challenge.value_or("");
  for (int guess = 0; guess < 3; ++guess) {
    guesser.Send(BrowserRegister(2 + guess, ProxyAuthorization(*challenge, "103", "guess-" + std::to_string(guess),
                                                               "REGISTER", "Authorization")));
    EXPECT_EQ(StatusOf(guesser.Response()), 403);
  }
  ASSERT_TRUE(WaitUntil([&] {
    return Log().find("SIP: banned 127.0.0.2 for 600 s after 3 failed authentications") != std::string::npos;
  })) << Log();
  guesser.Send(BrowserRegister(9));
  EXPECT_FALSE(guesser.Receive());
  SecurePhoneSocket again(*trusting);
  again.From("127.0.0.2");
  EXPECT_EQ(again.Open(wss, "", "", "sip", "/"), 0);

  // A browser elsewhere registers with its password and its station's calls ring through its WebSocket.
  auto browser = std::make_unique<SecurePhoneSocket>(*trusting);
  ASSERT_EQ(browser->Open(wss, "", "", "sip", "/"), 101);
  EXPECT_EQ(browser->Protocol(), "sip");
  ASSERT_TRUE(browser->Send(BrowserRegister(1)));
  const auto asked = browser->Response();
  ASSERT_EQ(StatusOf(asked), 401) << asked.value_or("");
  browser->Send(BrowserRegister(2, ProxyAuthorization(*asked, "103", "pw-103", "REGISTER", "Authorization")));
  ASSERT_EQ(StatusOf(browser->Response()), 200);
  EXPECT_NE(Log().find("SIP: station 103 registered at sip:ab12@k3x9q2.invalid;transport=ws"), std::string::npos)
      << Log();
  ASSERT_EQ(host_.RunExchange("call 101 from 5550121").first, 0);
  const std::optional<std::string> invite = browser->Request("INVITE", 10);
  ASSERT_TRUE(invite && invite->rfind("INVITE sip:ab12@k3x9q2.invalid;transport=ws", 0) == 0)
      << invite.value_or("") << Log();

  // Its WebSocket gone, the browser is no longer where the station rings.
  browser.reset();
  EXPECT_TRUE(WaitUntil([&] {
    return Log().find("SIP: station 103 unregistered sip:ab12@k3x9q2.invalid;transport=ws: its WebSocket closed") !=
           std::string::npos;
  })) << Log();
}

TEST_F(SipTls, ChromiumOpensTheSecureWebSocketForSipAndItsRegisterIsChallenged) {
  // A browser keeps a WebSocket only when the answer names the subprotocol it asked for.
  const int wss = FreeLoopbackPort();
  ASSERT_NO_FATAL_FAILURE(Start("optional", "SecureWebSocketPort=" + std::to_string(wss) + "\n"));
  ASSERT_TRUE(WaitUntil([&] { return Log().find("(secure WebSocket)") != std::string::npos; })) << Log();
  Browser browser({"--ignore-certificate-errors-spki-list=" + SpkiHash(tls_ / "server.pem")});
  ASSERT_EQ(browser.Problem(), "");
  // A page of the port's own origin (its answer to a plain GET): a page from elsewhere may not reach loopback.
  browser.Open("https://127.0.0.1:" + std::to_string(wss) + "/");
  const nlohmann::json result = browser.RunAsync(
      "const done = arguments[arguments.length - 1];"
      "const socket = new WebSocket('wss://127.0.0.1:" +
      std::to_string(wss) +
      "', 'sip');"
      "socket.onopen = () => socket.send(" +
      nlohmann::json(BrowserRegister(1)).dump() +
      ");"
      "socket.onmessage = (event) => done({protocol: socket.protocol, answer: event.data});"
      "socket.onclose = (event) => done({closed: event.code});");
  ASSERT_TRUE(result.is_object()) << result.dump();
  EXPECT_EQ(result.value("protocol", ""), "sip") << result.dump();
  EXPECT_EQ(result.value("answer", "").rfind("SIP/2.0 401 ", 0), 0u) << result.dump();
}
