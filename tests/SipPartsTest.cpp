// The SIP port's parts without a SIP stack around them: session descriptions, digest checks, the media relay
// with real sockets on loopback, the hold sound and the configuration.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "Loopback.h"
#include "Md5Hex.h"
#include "RtpPeer.h"
#include "Tones.h"
#include "WaitUntil.h"
#include "telephony/sip/G711.h"
#include "telephony/sip/HoldSound.h"
#include "telephony/sip/MediaRelay.h"
#include "telephony/sip/RtpLatch.h"
#include "telephony/sip/SdpMedia.h"
#include "telephony/sip/SipConfig.h"
#include "telephony/sip/SipDigest.h"
#include "telephony/sip/SipGuard.h"

using namespace std::chrono_literals;
using namespace vantrel::telephony;

namespace {

// The Authorization value a phone makes for the challenge (RFC 2617 with qop=auth), its nc-th use of the nonce.
std::string PhoneResponse(const std::string& challenge, const std::string& user, const std::string& password,
                          const std::string& method, int nc = 1) {
  const auto quoted = [&](const std::string& name) {
    const auto start = challenge.find(name + "=\"") + name.size() + 2;
    return challenge.substr(start, challenge.find('"', start) - start);
  };
  const std::string realm = quoted("realm"), nonce = quoted("nonce"), uri = "sip:127.0.0.1";
  char count[9];
  std::snprintf(count, sizeof count, "%08x", nc);
  const std::string response = Md5Hex(Md5Hex(user + ":" + realm + ":" + password) + ":" + nonce + ":" + count +
                                      ":0a4f113b:auth:" + Md5Hex(method + ":" + uri));
  return "Digest username=\"" + user + "\", realm=\"" + realm + "\", nonce=\"" + nonce + "\", uri=\"" + uri +
         "\", response=\"" + response + "\", algorithm=MD5, qop=auth, nc=" + count + ", cnonce=\"0a4f113b\"";
}

// An RTP packet of the payload type with a 160-byte payload, as a party sends it.
std::vector<std::uint8_t> RtpPacket(int payloadType, std::uint8_t first = 0x80) {
  std::vector<std::uint8_t> packet(12 + 160, 0xFF);
  packet[0] = first;
  packet[1] = static_cast<std::uint8_t>(payloadType);
  return packet;
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
      {"v=0\nc=IN IP4 1.2.3.4\nm=audio 4000 RTP/SAVPF 0\n", "the audio stream is not RTP/AVP or RTP/SAVP"},
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
  TSipDigest digest("vantrel");
  const std::string challenge = digest.Challenge("REGISTER", false);
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
  EXPECT_EQ(
      digest.Check(PhoneResponse(other.Challenge("REGISTER", false), "103", "pw", "REGISTER"), "REGISTER", "103", "pw"),
      TSipDigest::TCheck::Wrong);
  EXPECT_EQ(digest.Check("Basic MTAzOnB3", "REGISTER", "103", "pw"), TSipDigest::TCheck::Wrong);
  EXPECT_EQ(digest.Check("Digest username=\"103\"", "REGISTER", "103", "pw"), TSipDigest::TCheck::Wrong);
}

TEST(SipDigest, ACapturedResponseSentAgainIsRefusedAndANonceServesOneKindOfRequest) {
  TSipDigest digest("vantrel");
  const std::string challenge = digest.Challenge("REGISTER", false);
  const std::string first = PhoneResponse(challenge, "103", "pw", "REGISTER", 1);
  EXPECT_EQ(digest.Check(first, "REGISTER", "103", "pw"), TSipDigest::TCheck::Good);
  // The same count again is a replay, not a stale nonce; the phone counting up goes on.
  EXPECT_EQ(digest.Check(first, "REGISTER", "103", "pw"), TSipDigest::TCheck::Replayed);
  EXPECT_EQ(digest.Check(PhoneResponse(challenge, "103", "pw", "REGISTER", 3), "REGISTER", "103", "pw"),
            TSipDigest::TCheck::Good);
  EXPECT_EQ(digest.Check(PhoneResponse(challenge, "103", "pw", "REGISTER", 2), "REGISTER", "103", "pw"),
            TSipDigest::TCheck::Replayed);
  // A nonce given for REGISTER places no call: with the right password the phone is challenged afresh, with a
  // wrong one it proves nothing.
  EXPECT_EQ(digest.Check(PhoneResponse(challenge, "103", "pw", "INVITE", 4), "INVITE", "103", "pw"),
            TSipDigest::TCheck::Stale);
  EXPECT_EQ(digest.Check(PhoneResponse(challenge, "103", "guess", "INVITE", 5), "INVITE", "103", "pw"),
            TSipDigest::TCheck::Wrong);
  const std::string invite = digest.Challenge("INVITE", false);
  EXPECT_EQ(digest.Check(PhoneResponse(invite, "103", "pw", "INVITE", 1), "INVITE", "103", "pw"),
            TSipDigest::TCheck::Good);
  // A count that is no eight hex digits proves nothing.
  std::string badCount = PhoneResponse(invite, "103", "pw", "INVITE", 2);
  badCount.replace(badCount.find("nc=") + 3, 8, "2");
  EXPECT_EQ(digest.Check(badCount, "INVITE", "103", "pw"), TSipDigest::TCheck::Wrong);
}

TEST(SipGuard, AnAddressWhoseDigestsKeepFailingIsBannedForItsTimeAndTheOthersAreNot) {
  TSipGuardSettings settings;
  settings.banAfterFailures = 10;
  settings.banSeconds = 600;
  settings.maxRequestsPerSecond = 0;
  settings.trusted = TSipGuardSettings::ParseNetworks("10.1.0.0/16, 192.0.2.10");
  TSipGuard guard(settings);
  const auto start = TSipGuard::TClock::now();
  // Nine failures within the minute, and nine more once the first have left it: no ban.
  for (int i = 0; i < 9; ++i) EXPECT_FALSE(guard.Failed("198.51.100.7", start + std::chrono::seconds(i)));
  for (int i = 0; i < 9; ++i) EXPECT_FALSE(guard.Failed("198.51.100.7", start + std::chrono::seconds(70 + i)));
  EXPECT_TRUE(guard.Admit("198.51.100.7", start + 80s));
  // The tenth within a minute bans, once; the address is ignored, another is not.
  EXPECT_TRUE(guard.Failed("198.51.100.7", start + 80s));
  EXPECT_FALSE(guard.Failed("198.51.100.7", start + 81s));
  EXPECT_FALSE(guard.Admit("198.51.100.7", start + 81s));
  EXPECT_TRUE(guard.Admit("198.51.100.8", start + 81s));
  EXPECT_TRUE(guard.Expire(start + 600s).empty());
  EXPECT_EQ(guard.Expire(start + 680s), std::vector<std::string>{"198.51.100.7"});
  EXPECT_TRUE(guard.Admit("198.51.100.7", start + 681s));
  // Trusted networks and addresses are never banned.
  for (const char* trusted : {"10.1.200.3", "192.0.2.10"}) {
    for (int i = 0; i < 50; ++i) EXPECT_FALSE(guard.Failed(trusted, start + 700s));
    EXPECT_TRUE(guard.Admit(trusted, start + 700s));
  }
  guard.Trust("203.0.113.5");
  for (int i = 0; i < 50; ++i) EXPECT_FALSE(guard.Failed("203.0.113.5", start + 700s));
  EXPECT_TRUE(guard.Expire(start + 2000s).empty());
  EXPECT_EQ(guard.Tracked(), 0u);  // quiet addresses are forgotten
}

TEST(SipGuard, RequestsBeyondTheRateAreDroppedUntilTheNextSecondButNotFromTrustedAddresses) {
  TSipGuardSettings settings;
  settings.maxRequestsPerSecond = 200;
  settings.trusted = TSipGuardSettings::ParseNetworks("192.0.2.10");
  TSipGuard guard(settings);
  const auto start = TSipGuard::TClock::now();
  int admitted = 0, trusted = 0;
  for (int i = 0; i < 1000; ++i) {
    admitted += guard.Admit("198.51.100.7", start + std::chrono::microseconds(i * 900)) ? 1 : 0;
    trusted += guard.Admit("192.0.2.10", start + std::chrono::microseconds(i * 900)) ? 1 : 0;
  }
  EXPECT_EQ(admitted, 200);
  EXPECT_EQ(trusted, 1000);
  EXPECT_TRUE(guard.Admit("198.51.100.7", start + 1001ms));
  for (const char* bad : {"pbx.example", "10.0.0.0/33", "10.0.0.1/", "300.1.1.1"}) {
    EXPECT_THROW(TSipGuardSettings::ParseNetworks(bad), std::invalid_argument) << bad;
  }
  EXPECT_TRUE(TSipGuardSettings::ParseNetworks(" ").empty());
}

TEST(RtpLatch, OnlyThePartysSdpAddressOrValidRtpFromItsHostBeforeThatIsThePartys) {
  const int law = 0, events = 101;
  const std::vector<std::uint8_t> rtp = RtpPacket(law);
  const auto accept = [&](TRtpLatch& latch, const sockaddr_in& from, const std::vector<std::uint8_t>& packet) {
    return latch.Accept(from, packet.data(), packet.size(), law, events);
  };
  TRtpLatch latch;
  latch.SetParty(Loopback(4000, "10.0.0.5"), Loopback(5060, "192.0.2.1"));
  // A stranger racing the party to the fresh port, with anything: not the party.
  EXPECT_FALSE(accept(latch, Loopback(4000, "198.51.100.9"), rtp));
  EXPECT_EQ(latch.Target().sin_addr.s_addr, Loopback(0, "10.0.0.5").sin_addr.s_addr);
  // From the party's host (its NAT's address), bytes that are no RTP of the leg latch nothing ...
  std::vector<std::uint8_t> rtcp = RtpPacket(law);
  rtcp[1] = 200;  // a sender report
  std::vector<std::uint8_t> sources(20, 0);
  sources[0] = 0x8F;  // fifteen contributing sources in twenty bytes
  for (const auto& bad : {std::vector<std::uint8_t>(172, 0x00), RtpPacket(18), RtpPacket(law, 0x40), rtcp, sources,
                          std::vector<std::uint8_t>(8, 0x80)}) {
    EXPECT_FALSE(accept(latch, Loopback(61000, "192.0.2.1"), bad));
  }
  std::vector<std::uint8_t> padded = RtpPacket(law, 0xA0);
  padded.back() = 200;  // more padding than the packet holds
  EXPECT_FALSE(accept(latch, Loopback(61000, "192.0.2.1"), padded));
  // ... valid RTP of the leg's law latches, and then nobody else is taken.
  EXPECT_TRUE(accept(latch, Loopback(61000, "192.0.2.1"), rtp));
  EXPECT_EQ(ntohs(latch.Target().sin_port), 61000);
  EXPECT_FALSE(accept(latch, Loopback(61002, "192.0.2.1"), rtp));
  // The SDP address wins the port back for good.
  EXPECT_TRUE(accept(latch, Loopback(4000, "10.0.0.5"), rtp));
  EXPECT_EQ(ntohs(latch.Target().sin_port), 4000);
  EXPECT_FALSE(accept(latch, Loopback(61000, "192.0.2.1"), rtp));
  // A re-INVITE naming another address starts over.
  latch.SetParty(Loopback(4100, "10.0.0.5"), Loopback(5060, "192.0.2.1"));
  EXPECT_TRUE(accept(latch, Loopback(61000, "192.0.2.1"), RtpPacket(events)));
  EXPECT_TRUE(IsValidRtp(rtp.data(), rtp.size()));
}

TEST(MediaRelay, AStrangerRacingThePartyToAFreshPortOrSprayingTheRangeHearsNothingAndTakesNothing) {
  TMediaRelay relay(
      "127.0.0.1", 31200, 31299, THoldSound::Tone(), 10s, [](DWORD, char) {}, [](DWORD) {});
  RtpPeer caller, phone, stranger("127.0.0.2"), sprayer("127.0.0.3");
  const int callerPort = relay.Open(1), phonePort = relay.Open(2);
  relay.SetParty(1, Loopback(caller.Port()), Loopback(5060), 0, 101, false);
  relay.SetParty(2, Loopback(phone.Port()), Loopback(5060), 0, -1, false);
  relay.Link(1, 2);
  relay.Link(2, 1);
  // First on both ports, with valid RTP of the right law, and over the whole range.
  stranger.Send(callerPort, 0, std::vector<std::uint8_t>(160, 0x11), 5);
  stranger.Send(phonePort, 0, std::vector<std::uint8_t>(160, 0x11), 5);
  // Below the kernel's ephemeral ports: the range holds no other program's socket.
  for (int port = 31200; port < 31300; port += 2) sprayer.Send(port, 0, std::vector<std::uint8_t>(160, 0x22));
  // Of the range only the two ports are open: the kernel refuses the rest.
  ASSERT_TRUE(WaitUntil([&] { return relay.Counts().foreign == 12; })) << relay.Counts().foreign;
  caller.Send(callerPort, 0, std::vector<std::uint8_t>(160, 0x80), 10);
  phone.Send(phonePort, 0, std::vector<std::uint8_t>(160, 0x90), 10);
  ASSERT_TRUE(WaitUntil([&] { return phone.ReceivedCount() == 10 && caller.ReceivedCount() == 10; }));
  for (const RtpPeer::Packet& packet : phone.Received())
    EXPECT_EQ(packet.payload, std::vector<std::uint8_t>(160, 0x80));
  for (const RtpPeer::Packet& packet : caller.Received())
    EXPECT_EQ(packet.payload, std::vector<std::uint8_t>(160, 0x90));
  stranger.Send(callerPort, 0, std::vector<std::uint8_t>(160, 0x11), 5);
  ASSERT_TRUE(WaitUntil([&] { return relay.Counts().foreign == 17; }));
  EXPECT_EQ(stranger.ReceivedCount(), 0u);
  EXPECT_EQ(sprayer.ReceivedCount(), 0u);
  EXPECT_EQ(phone.ReceivedCount(), 10u);
  EXPECT_EQ(relay.Counts().forwarded, 20u);
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
  relay.SetParty(1, Loopback(caller.Port()), Loopback(5060), 0, 101, false);
  relay.SetParty(2, Loopback(phone.Port()), Loopback(5060), 8, -1, false);
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
  EXPECT_EQ(good.guard.banAfterFailures, 10);
  EXPECT_EQ(good.guard.banSeconds, 600);
  EXPECT_EQ(good.guard.maxRequestsPerSecond, 200);
  const TSipConfig guarded = load(
      "[SIP]\nBanAfterFailures=3\nBanSeconds=60\nMaxRequestsPerSecond=50\n"
      "TrustedAddresses=10.0.0.0/8, 192.0.2.7\n[Trunk]\nAddress=10.0.0.1\n"
      "InboundUser=carrier\nInboundPassword=secret\n");
  EXPECT_EQ(guarded.guard.banAfterFailures, 3);
  EXPECT_EQ(guarded.guard.maxRequestsPerSecond, 50);
  EXPECT_EQ(guarded.guard.trusted.size(), 2u);
  EXPECT_EQ(guarded.trunk.inboundUser, "carrier");
  // TLS: files relative to the INI folder, the key in the certificate's file unless named; SRTP optional.
  const TSipConfig tls = load(
      "[SIP]\nTlsPort=5061\nCertificateFile=tls/server.pem\n[Trunk]\nAddress=10.0.0.1\n"
      "Transport=TLS\nCAFile=/etc/ssl/carrier.pem\n");
  EXPECT_EQ(tls.tlsPort, 5061);
  EXPECT_EQ(tls.certificateFile, (folder / "tls/server.pem").string());
  EXPECT_EQ(tls.privateKeyFile, tls.certificateFile);
  EXPECT_EQ(tls.trunk.caFile, "/etc/ssl/carrier.pem");
  EXPECT_EQ(tls.srtp, TSipConfig::TSrtp::Optional);
  EXPECT_EQ(load("[SIP]\nSrtp=required\n").srtp, TSipConfig::TSrtp::Required);
  EXPECT_EQ(load("[SIP]\nSrtp=off\n").srtp, TSipConfig::TSrtp::Off);
  for (const auto& [text, message] : std::vector<std::pair<std::string, std::string>>{
           {"[SIP]\nAddress=pbx.example\n", "[SIP] Address=\"pbx.example\" is not an IPv4 address"},
           {"[SIP]\nPort=70000\n", "[SIP] Port=\"70000\" is not a port"},
           {"[SIP]\nWebSocketPort=ws\n", "[SIP] WebSocketPort=\"ws\" is not a port"},
           {"[SIP]\nPort=5060\nWebSocketPort=5060\n", "[SIP] WebSocketPort=\"5060\" is the port of UDP and TCP"},
           {"[SIP]\nTlsPort=5061\nSecureWebSocketPort=5061\n",
            "[SIP] SecureWebSocketPort=\"5061\" is the port of another transport"},
           {"[SIP]\nSecureWebSocketPort=wss\n", "[SIP] SecureWebSocketPort=\"wss\" is not a port"},
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
           {"[SIP]\n[Trunk]\nAddress=10.0.0.1\nTransport=SCTP\n", "[Trunk] Transport=\"SCTP\" must be UDP, TCP or TLS"},
           {"[SIP]\nTlsPort=5060\n", "[SIP] TlsPort=\"5060\" is the port of another transport"},
           {"[SIP]\nSrtp=maybe\n", "[SIP] Srtp=\"maybe\" must be required, optional or off"},
           {"[SIP]\n[Trunk]\nAddress=10.0.0.1\nTransport=TLS\n", "[Trunk] Transport=TLS needs [SIP] TlsPort"},
           {"[SIP]\n[Trunk]\nAddress=10.0.0.1\nUser=a b\n", "[Trunk] User and Password must be plain words"},
           {"[SIP]\nTrustedAddresses=10.0.0.1, pbx\n",
            "[SIP] TrustedAddresses: pbx is not an IPv4 address or address/prefix"},
           {"[SIP]\nBanSeconds=0\n",
            "[SIP] BanAfterFailures and MaxRequestsPerSecond must not be negative, BanSeconds at least 1"},
           {"[SIP]\n[Trunk]\nAddress=10.0.0.1\nInboundUser=carrier\n",
            "[Trunk] InboundUser and InboundPassword go together"},
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

namespace {

// Takes a mixed call's sides as a recorder does.
struct SidesKept : IMixedSides {
  std::mutex mutex;
  std::vector<std::int16_t> outside, station;
  bool Take(const TMediaMixer::TSides& sides) override {
    std::lock_guard lock(mutex);
    outside.insert(outside.end(), sides.outside.begin(), sides.outside.end());
    station.insert(station.end(), sides.station.begin(), sides.station.end());
    return true;
  }
};

std::vector<std::int16_t> HeardSound(const std::vector<RtpPeer::Packet>& packets, std::size_t from, std::size_t to) {
  std::vector<std::int16_t> sound;
  for (std::size_t i = from; i < std::min(to, packets.size()); ++i) {
    std::vector<std::int16_t> decoded(packets[i].payload.size());
    Decode(packets[i].payload.data(), decoded.size(), packets[i].payloadType, decoded.data());
    sound.insert(sound.end(), decoded.begin(), decoded.end());
  }
  return sound;
}

}  // namespace

TEST(MediaRelay, LegsInARoomHearTheOthersMixedNeverThemselvesAndItsRecorderGetsBothSides) {
  TMediaRelay relay(
      "127.0.0.1", 33400, 33499, THoldSound::Tone(), 10s, [](DWORD, char) {}, [](DWORD) {});
  RtpPeer caller, phone, third;
  RtpPeer* peers[] = {&caller, &phone, &third};
  const int laws[] = {kPayloadPcmu, kPayloadPcma, kPayloadPcmu};
  const double hertz[] = {1000, 600, 400};
  int ports[3];
  for (DWORD leg = 1; leg <= 3; ++leg) {
    ports[leg - 1] = relay.Open(leg);
    relay.SetParty(leg, Loopback(peers[leg - 1]->Port()), Loopback(5060), laws[leg - 1], -1, false);
  }
  relay.Link(1, 2);
  relay.Link(2, 1);
  relay.Join(1, 7, TMediaMixer::TSide::Outside);
  relay.Join(2, 7, TMediaMixer::TSide::Station);
  relay.Join(3, 7, TMediaMixer::TSide::Station);
  auto kept = std::make_shared<SidesKept>();
  ASSERT_TRUE(relay.Record(7, kept));
  EXPECT_FALSE(relay.Record(8, kept));  // no such room
  EXPECT_EQ(relay.RoomOf(3), 7u);

  std::size_t before[3];
  for (int i = 0; i < 3; ++i) before[i] = peers[i]->ReceivedCount();
  ToneSource tones[] = {ToneSource(1000), ToneSource(600), ToneSource(400)};
  // Sent as phones send: a frame every 20 ms.
  auto next = std::chrono::steady_clock::now();
  for (int frame = 0; frame < 50; ++frame) {
    for (int i = 0; i < 3; ++i) {
      const std::vector<std::int16_t> samples = tones[i].Next(160);
      std::vector<std::uint8_t> payload(160);
      Encode(samples.data(), 160, laws[i], payload.data());
      peers[i]->Send(ports[i], laws[i], payload);
    }
    next += 20ms;
    std::this_thread::sleep_until(next);
  }
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(WaitUntil([&] { return peers[i]->ReceivedCount() >= before[i] + 40; }));
    const auto packets = peers[i]->Received();
    EXPECT_EQ(packets[before[i] + 10].payloadType, laws[i]);
    const std::vector<std::int16_t> heard = HeardSound(packets, before[i] + 5, before[i] + 35);
    for (int speaker = 0; speaker < 3; ++speaker) {
      if (speaker == i)
        EXPECT_LT(ToneLevel(heard, hertz[speaker]), 300) << i << " hears itself";
      else
        EXPECT_GT(ToneLevel(heard, hertz[speaker]), 1500) << i << " does not hear " << speaker;
    }
  }
  {
    std::lock_guard lock(kept->mutex);
    ASSERT_GE(kept->outside.size(), 40u * 160);
    const std::vector<std::int16_t> left(kept->outside.end() - 40 * 160, kept->outside.end() - 10 * 160);
    const std::vector<std::int16_t> right(kept->station.end() - 40 * 160, kept->station.end() - 10 * 160);
    EXPECT_GT(ToneLevel(left, 1000), 1500);
    EXPECT_LT(ToneLevel(left, 600), 300);
    EXPECT_GT(ToneLevel(right, 600), 1500);
    EXPECT_GT(ToneLevel(right, 400), 1500);
    EXPECT_LT(ToneLevel(right, 1000), 300);
  }
  EXPECT_GT(relay.Counts().mixedFrames, 0u);
  EXPECT_EQ(relay.Counts().forwarded, 0u);  // mixed, not forwarded

  // Out of the room, the two linked legs are forwarded again; the room goes with its last member.
  relay.Join(3, 0, TMediaMixer::TSide::Station);
  relay.Join(1, 0, TMediaMixer::TSide::Outside);
  relay.Join(2, 0, TMediaMixer::TSide::Station);
  EXPECT_EQ(relay.Rooms(), 0u);
  const std::size_t phoneHad = phone.ReceivedCount();
  caller.Send(ports[0], kPayloadPcmu, std::vector<std::uint8_t>(160, 0x80), 3);
  ASSERT_TRUE(WaitUntil([&] { return relay.Counts().forwarded == 3; }));
  ASSERT_TRUE(WaitUntil([&] { return phone.ReceivedCount() >= phoneHad + 3; }));
  EXPECT_EQ(phone.Received().back().payload, std::vector<std::uint8_t>(160, 0xAA));
}
