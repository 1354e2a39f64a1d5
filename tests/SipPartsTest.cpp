// The SIP port's parts without a SIP stack around them: session descriptions, digest checks, the media relay
// with real sockets on loopback, the hold sound and the configuration.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "RtpPeer.h"
#include "WaitUntil.h"
#include "telephony/sip/HoldSound.h"
#include "telephony/sip/MediaRelay.h"
#include "telephony/sip/SdpMedia.h"
#include "telephony/sip/SipConfig.h"
#include "telephony/sip/SipDigest.h"

using namespace std::chrono_literals;
using namespace vantrel::telephony;

namespace {

std::string Md5Hex(const std::string& text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  EVP_Digest(text.data(), text.size(), digest, &size, EVP_md5(), nullptr);
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < size; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 15];
  }
  return hex;
}

// The Authorization value a phone makes for the challenge (RFC 2617 with qop=auth).
std::string PhoneResponse(const std::string& challenge, const std::string& user, const std::string& password,
                          const std::string& method) {
  const auto quoted = [&](const std::string& name) {
    const auto start = challenge.find(name + "=\"") + name.size() + 2;
    return challenge.substr(start, challenge.find('"', start) - start);
  };
  const std::string realm = quoted("realm"), nonce = quoted("nonce"), uri = "sip:127.0.0.1";
  const std::string response = Md5Hex(Md5Hex(user + ":" + realm + ":" + password) + ":" + nonce +
                                      ":00000001:0a4f113b:auth:" + Md5Hex(method + ":" + uri));
  return "Digest username=\"" + user + "\", realm=\"" + realm + "\", nonce=\"" + nonce + "\", uri=\"" + uri +
         "\", response=\"" + response + "\", algorithm=MD5, qop=auth, nc=00000001, cnonce=\"0a4f113b\"";
}

sockaddr_in Loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  return address;
}

}  // namespace

TEST(SdpMedia, AnOfferGivesItsAddressLawEventsAndDirection) {
  const TSdpMedia offer = TSdpMedia::Parse(
      "v=0\r\no=- 1 1 IN IP4 10.0.0.5\r\ns=-\r\nc=IN IP4 10.0.0.5\r\nt=0 0\r\nm=video 5000 RTP/AVP 96\r\n"
      "m=audio 4000 RTP/AVP 18 8 0 101\r\na=rtpmap:101 telephone-event/8000\r\na=sendonly\r\n");
  EXPECT_EQ(offer.address, "10.0.0.5");
  EXPECT_EQ(offer.port, 4000);
  EXPECT_EQ(offer.ChosenLaw(), 8);  // the party's first G.711 law, not its first codec
  EXPECT_EQ(offer.eventPayload, 101);
  EXPECT_TRUE(offer.Holds());
  // Only G.729, or a refused stream: nothing we speak. The address 0.0.0.0 is the old way to hold.
  EXPECT_EQ(TSdpMedia::Parse("v=0\nc=IN IP4 1.2.3.4\nm=audio 4000 RTP/AVP 18\n").ChosenLaw(), -1);
  EXPECT_EQ(TSdpMedia::Parse("v=0\nc=IN IP4 1.2.3.4\nm=audio 0 RTP/AVP 0\n").ChosenLaw(), -1);
  EXPECT_TRUE(TSdpMedia::Parse("v=0\nc=IN IP4 0.0.0.0\nm=audio 4000 RTP/AVP 0\n").Holds());
  // What we write, we read back.
  const TSdpMedia ours = TSdpMedia::Parse(TSdpMedia::Make("127.0.0.1", 20000, {0, 8}, 101, "recvonly", 42, 3));
  EXPECT_EQ(ours.payloads, (std::vector<int>{0, 8, 101}));
  EXPECT_EQ(ours.eventPayload, 101);
  EXPECT_EQ(ours.direction, "recvonly");
}

TEST(SdpMedia, DescriptionsItCannotServeAreRefusedWithTheReason) {
  std::string manyLines;
  for (int i = 0; i < 201; ++i) manyLines += "a=x\n";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "no version line"},
      {"v=1\n", "version is not 0"},
      {"v=0\nc=IN IP4 1.2.3.4\n", "no audio stream"},
      {"v=0\nm=audio 4000 RTP/AVP 0\n", "no connection address"},
      {"v=0\nc=IN IP6 ::1\nm=audio 4000 RTP/AVP 0\n", "only IPv4 media is served"},
      {"v=0\nc=IN IP4 999.1.1.1\nm=audio 4000 RTP/AVP 0\n", "bad connection address"},
      {"v=0\nc=IN IP4 1.2.3.4\nm=audio 70000 RTP/AVP 0\n", "bad audio port"},
      {"v=0\nc=IN IP4 1.2.3.4\nm=audio 4000 RTP/SAVP 0\n", "the audio stream is not RTP/AVP"},
      {"v=0\nc=IN IP4 1.2.3.4\nm=audio 4000 RTP/AVP 0 x\n", "bad payload type"},
      {"v=0\nc=IN IP4 1.2.3.4\nm=audio 4000\n", "a media line is short"},
      {"v=0\ngarbage\n", "a line is not type=value"},
      {"v=0\n" + manyLines, "too many lines"},
  };
  for (const auto& [text, reason] : cases) {
    try {
      TSdpMedia::Parse(text);
      ADD_FAILURE() << "accepted: " << text;
    } catch (const std::invalid_argument& refused) {
      EXPECT_EQ(refused.what(), reason) << text;
    }
  }
}

TEST(SipDigest, OnlyTheRightPasswordForTheUserWithOurFreshNonceIsGood) {
  const TSipDigest digest("vantrel");
  const std::string challenge = digest.Challenge(false);
  EXPECT_EQ(TSipDigest::UserOf(PhoneResponse(challenge, "103", "pw", "REGISTER")), "103");
  EXPECT_EQ(digest.Check(PhoneResponse(challenge, "103", "pw", "REGISTER"), "REGISTER", "103", "pw"),
            TSipDigest::TCheck::Good);
  EXPECT_EQ(digest.Check(PhoneResponse(challenge, "103", "wrong", "REGISTER"), "REGISTER", "103", "pw"),
            TSipDigest::TCheck::Wrong);
  EXPECT_EQ(digest.Check(PhoneResponse(challenge, "104", "pw", "REGISTER"), "REGISTER", "103", "pw"),
            TSipDigest::TCheck::Wrong);
  // Proved for another method, or with a nonce of another server (same realm), it proves nothing.
  EXPECT_EQ(digest.Check(PhoneResponse(challenge, "103", "pw", "INVITE"), "REGISTER", "103", "pw"),
            TSipDigest::TCheck::Wrong);
  const TSipDigest other("vantrel");
  EXPECT_EQ(digest.Check(PhoneResponse(other.Challenge(false), "103", "pw", "REGISTER"), "REGISTER", "103", "pw"),
            TSipDigest::TCheck::Wrong);
  EXPECT_EQ(digest.Check("Basic MTAzOnB3", "REGISTER", "103", "pw"), TSipDigest::TCheck::Wrong);
  EXPECT_EQ(digest.Check("Digest username=\"103\"", "REGISTER", "103", "pw"), TSipDigest::TCheck::Wrong);
}

TEST(MediaRelay, ForwardsBetweenLinkedLegsFromTheirPartiesOnlyAndPlaysTheHoldSound) {
  std::mutex mutex;
  std::vector<std::pair<DWORD, char>> digits;
  std::atomic<int> silent{0};
  TMediaRelay relay(
      "127.0.0.1", 33000, 33099, THoldSound::Tone(), 400ms,
      [&](DWORD leg, char digit) {
        std::lock_guard lock(mutex);
        digits.emplace_back(leg, digit);
      },
      [&](DWORD) { ++silent; });
  RtpPeer caller, phone, stranger;
  const int callerPort = relay.Open(1), phonePort = relay.Open(2);
  EXPECT_NE(callerPort, phonePort);
  EXPECT_EQ(relay.Open(1), callerPort);  // one port a leg
  relay.SetParty(1, Loopback(caller.Port()), 0, 101, false);
  relay.SetParty(2, Loopback(phone.Port()), 8, -1, false);
  relay.Link(1, 2);
  relay.Link(2, 1);

  caller.Send(callerPort, 0, std::vector<std::uint8_t>(160, 0x80), 20);
  ASSERT_TRUE(WaitUntil([&] { return phone.ReceivedCount() == 20; })) << phone.ReceivedCount();
  EXPECT_EQ(phone.Received().front().payloadType, 8);
  EXPECT_EQ(phone.Received().front().payload, std::vector<std::uint8_t>(160, 0xAA));
  EXPECT_EQ(phone.LastSourcePort(), phonePort);  // from the phone's own relay port
  // Someone else sending to the caller's port is not heard: the port latched onto the caller.
  stranger.Send(callerPort, 0, std::vector<std::uint8_t>(160, 0x80), 5);
  ASSERT_TRUE(WaitUntil([&] { return relay.Counts().foreign == 5; }));
  // A keyed digit is one digit however often its end is repeated; the phone without events gets none of it.
  caller.SendDigit(callerPort, 101, 11);
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard lock(mutex);
    return !digits.empty();
  }));
  phone.Send(phone.LastSourcePort(), 8, std::vector<std::uint8_t>(160, 0xAA));
  ASSERT_TRUE(WaitUntil([&] { return caller.ReceivedCount() == 1; }));
  {
    std::lock_guard lock(mutex);
    EXPECT_EQ(digits, (std::vector<std::pair<DWORD, char>>{{1, '#'}}));
  }
  EXPECT_EQ(phone.ReceivedCount(), 20u);
  EXPECT_EQ(caller.Received().back().payload, std::vector<std::uint8_t>(160, 0x80));

  // Held: the caller hears the tone and nothing of the phone; the phone hears nothing of the caller.
  relay.PlayHoldSound(1, true);
  ASSERT_TRUE(WaitUntil([&] { return caller.ReceivedCount() >= 10; }));
  phone.Send(phonePort, 8, std::vector<std::uint8_t>(160, 0xAA), 5);
  caller.Send(callerPort, 0, std::vector<std::uint8_t>(160, 0x80), 5);
  ASSERT_TRUE(WaitUntil([&] { return relay.Counts().received >= 32; }));
  for (const RtpPeer::Packet& packet : caller.Received()) {
    if (packet.payload != std::vector<std::uint8_t>(160, 0x80)) EXPECT_EQ(packet.payloadType, 0);
  }
  EXPECT_EQ(phone.ReceivedCount(), 20u);
  EXPECT_GT(relay.Counts().holdFrames, 0u);
  // A party that sends nothing for the limit is reported once; closing frees the port.
  relay.PlayHoldSound(1, false);
  ASSERT_TRUE(WaitUntil([&] { return silent >= 2; }, 5s));
  relay.Close(1);
  relay.Close(2);
  EXPECT_EQ(relay.OpenPorts(), 0u);
}

TEST(HoldSound, AWavFileOfTheRightKindIsPlayedElseTheTone) {
  const auto folder = std::filesystem::temp_directory_path() / ("hold-sound-" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  const auto wav = [&](const std::string& name, int channels, int samples) {
    std::ofstream file(folder / name, std::ios::binary);
    const auto little = [&](std::uint32_t value, int size) {
      for (int i = 0; i < size; ++i) file.put(static_cast<char>(value >> (8 * i)));
    };
    const std::uint32_t bytes = static_cast<std::uint32_t>(samples * 2 * channels);
    file << "RIFF";
    little(36 + bytes, 4);
    file << "WAVEfmt ";
    little(16, 4);
    little(1, 2);
    little(static_cast<std::uint32_t>(channels), 2);
    little(8000, 4);
    little(16000 * static_cast<std::uint32_t>(channels), 4);
    little(2 * static_cast<std::uint32_t>(channels), 2);
    little(16, 2);
    file << "data";
    little(bytes, 4);
    for (int i = 0; i < samples * channels; ++i) little(static_cast<std::uint32_t>(i), 2);
    return (folder / name).string();
  };
  std::string problem;
  const THoldSound sound = THoldSound::Load(wav("mono.wav", 1, 320), &problem);
  EXPECT_TRUE(problem.empty()) << problem;
  EXPECT_TRUE(sound.FromFile());
  std::size_t position = 0;
  EXPECT_EQ(sound.Frame(position)[0], 0);
  EXPECT_EQ(sound.Frame(position)[0], 160);
  EXPECT_EQ(sound.Frame(position)[0], 0);  // round again
  EXPECT_FALSE(THoldSound::Load(wav("stereo.wav", 2, 320), &problem).FromFile());
  EXPECT_EQ(problem, "is not 8 kHz 16-bit mono PCM");
  EXPECT_FALSE(THoldSound::Load((folder / "missing.wav").string(), &problem).FromFile());
  EXPECT_EQ(problem, "cannot be read");
  std::filesystem::remove_all(folder);
}

TEST(SipConfig, ValuesThatCannotWorkAreRefusedNamingTheKey) {
  const auto folder = std::filesystem::temp_directory_path() / ("sip-config-" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  const auto load = [&](const std::string& text) {
    std::ofstream(folder / "Exchange.ini") << "[Stations]\n103=Seat\n" << text;
    return TSipConfig::Load(folder.string());
  };
  EXPECT_FALSE(load("").enabled);
  // Section names compare as keys do.
  EXPECT_TRUE(load("[sip]\nPort=5070\n").enabled);
  EXPECT_EQ(load("[Sip]\nport=5071\n").port, 5071);
  const TSipConfig good = load(
      "[SIP]\nPort=5070\nRtpPorts=40000-40099\n[Passwords]\n103=secret\n[Trunk]\nAddress=10.0.0.1\nTransport=TCP\n");
  EXPECT_TRUE(good.enabled);
  EXPECT_EQ(good.port, 5070);
  EXPECT_EQ(good.rtpFirstPort, 40000);
  EXPECT_EQ(good.passwords.at("103"), "secret");
  EXPECT_EQ(good.trunk.transport, "TCP");
  for (const auto& [text, message] : std::vector<std::pair<std::string, std::string>>{
           {"[SIP]\nAddress=pbx.example\n", "[SIP] Address=\"pbx.example\" is not an IPv4 address"},
           {"[SIP]\nPort=70000\n", "[SIP] Port=\"70000\" is not a port"},
           {"[SIP]\nRtpPorts=30000\n",
            "[SIP] RtpPorts=\"30000\" must be FIRST-LAST within 1024-65534, at least four ports"},
           {"[SIP]\nRtpPorts=100-200\n",
            "[SIP] RtpPorts=\"100-200\" must be FIRST-LAST within 1024-65534, at least four ports"},
           // A comment after a value is part of the value, as in every INI file of the server; the text says so.
           {"[Sip]\nAddress=127.0.0.1        ; where SIP listens\n",
            "[SIP] Address=\"127.0.0.1        ; where SIP listens\" is not an IPv4 address (comments go on lines of "
            "their own, starting with ;)"},
           {"[SIP]\nMediaTimeout=60 ; seconds\n",
            "[SIP] MediaTimeout=\"60 ; seconds\" is not a whole number (comments go on lines of their own, starting "
            "with ;)"},
           {"[SIP]\nLogCalls=yes\n", "[SIP] LogCalls=\"yes\" must be 0 or 1"},
           {"[SIP]\nMinExpiry=0\n", "[SIP] MinExpiry must be at least 1 second and MaxExpiry at least MinExpiry"},
           {"[SIP]\n[Passwords]\n103=\n", "station 103 has an empty password"},
           {"[SIP]\n[Trunk]\nAddress=10.0.0.1\nTransport=SCTP\n", "[Trunk] Transport=\"SCTP\" must be UDP or TCP"},
           {"[SIP]\n[Trunk]\nAddress=10.0.0.1\nUser=a b\n", "[Trunk] User and Password must be plain words"},
       }) {
    try {
      load(text);
      ADD_FAILURE() << "accepted: " << text;
    } catch (const std::invalid_argument& refused) {
      EXPECT_EQ(std::string(refused.what()), (folder / "Exchange.ini").string() + ": " + message);
    }
  }
  std::filesystem::remove_all(folder);
}
