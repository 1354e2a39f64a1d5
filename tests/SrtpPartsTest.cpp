// SDES-SRTP: the crypto lines of descriptions, what a stream agrees to on which signalling, and the relay's
// SRTP legs against strangers and replays.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "Loopback.h"
#include "RtpPeer.h"
#include "WaitUntil.h"
#include "telephony/sip/HoldSound.h"
#include "telephony/sip/MediaRelay.h"
#include "telephony/sip/SdpMedia.h"
#include "telephony/sip/Srtp.h"

using namespace vantrel::telephony;
using namespace std::chrono_literals;

namespace {

constexpr const char* kKey = "WVNfX19zZW1jdGwgKCkgewkyMjA7fQp9CnVubGVz";  // 30 bytes

TSrtpMaster Master(std::uint8_t fill) {
  TSrtpMaster master;
  master.fill(fill);
  return master;
}

// A bare UDP socket on a loopback address: sends the bytes it is given, takes what arrives.
class Datagrams {
 public:
  explicit Datagrams(const char* host = "127.0.0.1") {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    ::inet_pton(AF_INET, host, &local.sin_addr);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local);
    socklen_t size = sizeof local;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &size);
    port_ = ntohs(local.sin_port);
  }
  ~Datagrams() { ::close(fd_); }
  int Port() const { return port_; }
  void Send(int port, const std::vector<std::uint8_t>& bytes) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  }
  // The next datagram within the time, or empty.
  std::vector<std::uint8_t> Receive(std::chrono::milliseconds wait = 2s) {
    pollfd ready{fd_, POLLIN, 0};
    if (::poll(&ready, 1, static_cast<int>(wait.count())) <= 0) return {};
    std::vector<std::uint8_t> bytes(2048);
    const ssize_t size = ::recv(fd_, bytes.data(), bytes.size(), 0);
    bytes.resize(size > 0 ? static_cast<std::size_t>(size) : 0);
    return bytes;
  }

 private:
  int fd_ = -1;
  int port_ = 0;
};

std::vector<std::uint8_t> Rtp(std::uint16_t sequence, std::uint8_t fill, std::uint32_t ssrc = 0x11223344) {
  std::vector<std::uint8_t> packet(12 + 160, fill);
  packet[0] = 0x80;
  packet[1] = 0;  // PCMU
  packet[2] = static_cast<std::uint8_t>(sequence >> 8);
  packet[3] = static_cast<std::uint8_t>(sequence);
  for (int i = 0; i < 4; ++i) {
    packet[4 + i] = static_cast<std::uint8_t>((sequence * 160u) >> (24 - 8 * i));
    packet[8 + i] = static_cast<std::uint8_t>(ssrc >> (24 - 8 * i));
  }
  return packet;
}

std::vector<std::uint8_t> Protected(TSrtpStreams& streams, std::vector<std::uint8_t> packet) {
  const std::size_t size = packet.size();
  packet.resize(size + 32);
  packet.resize(streams.Protect(packet.data(), size, packet.size()));
  return packet;
}

}  // namespace

TEST(SdesCrypto, TheLineOfOurSuiteIsChosenOthersArePassedOverAndMalformedOnesRefused) {
  const std::string good = std::string("1 AES_CM_128_HMAC_SHA1_80 inline:") + kKey;
  auto chosen = TSdesCrypto::Choose({"1 AES_CM_128_HMAC_SHA1_32 inline:" + std::string(kKey), "2" + good.substr(1)});
  ASSERT_TRUE(chosen);
  EXPECT_EQ(chosen->tag, 2);
  EXPECT_EQ(chosen->Line(), "a=crypto:2 " + good.substr(2) + "\r\n");  // what was read is written back
  EXPECT_TRUE(TSdesCrypto::Choose({good + "|2^20"}));
  EXPECT_TRUE(TSdesCrypto::Choose({good + " UNENCRYPTED_SRTCP"}));
  EXPECT_FALSE(TSdesCrypto::Choose({good + "|2^20|1:4"}));  // a key identifier: not followed, not wrong
  EXPECT_FALSE(TSdesCrypto::Choose({}));
  for (const std::string& bad :
       {std::string("1 AES_CM_128_HMAC_SHA1_80"), std::string("x AES_CM_128_HMAC_SHA1_80 inline:") + kKey,
        std::string("1 AES_CM_128_HMAC_SHA1_80 key:") + kKey, std::string("1 AES_CM_128_HMAC_SHA1_80 inline:c2hvcnQ="),
        std::string("1 AES_CM_128_HMAC_SHA1_80 inline:") + std::string(39, 'A') + "!", good + "|forever",
        std::string("1234567890 AES_CM_128_HMAC_SHA1_80 inline:") + kKey}) {
    EXPECT_THROW(TSdesCrypto::Choose({bad}), std::invalid_argument) << bad;
  }
  const TSdesCrypto a = TSdesCrypto::Fresh(1), b = TSdesCrypto::Fresh(1);
  EXPECT_NE(a.master, b.master);
  EXPECT_EQ(TSdesCrypto::Choose({a.Line().substr(9, a.Line().size() - 11)})->master, a.master);
}

TEST(SdesCrypto, KeysAreTakenOverTlsOnlyAndTheSettingSaysWhetherPlainRtpWillDo) {
  const std::vector<std::string> keys = {std::string("1 AES_CM_128_HMAC_SHA1_80 inline:") + kKey};
  const auto refusal = [](auto&& agree) -> std::string {
    try {
      agree();
    } catch (const std::invalid_argument& refused) {
      return refused.what();
    }
    return {};
  };
  // Over TLS: SAVP with keys is SRTP; AVP with keys is SRTP unless off; plain AVP only where not required.
  EXPECT_TRUE(AgreedSdes("RTP/SAVP", keys, true, false, true));
  EXPECT_TRUE(AgreedSdes("RTP/AVP", keys, true, false, false));
  EXPECT_FALSE(AgreedSdes("RTP/AVP", keys, true, true, false));
  EXPECT_FALSE(AgreedSdes("RTP/AVP", {}, true, false, false));
  EXPECT_EQ(refusal([&] { AgreedSdes("RTP/AVP", {}, true, false, true); }), "plain RTP where SRTP is required");
  EXPECT_EQ(refusal([&] { AgreedSdes("RTP/SAVP", keys, true, true, false); }), "SRTP is off here");
  EXPECT_EQ(refusal([&] { AgreedSdes("RTP/SAVP", {}, true, false, false); }),
            "no crypto line of AES_CM_128_HMAC_SHA1_80");
  // Over plain signalling keys are in the clear: never taken, and a stream that insists is refused.
  EXPECT_FALSE(AgreedSdes("RTP/AVP", keys, false, false, true));
  EXPECT_EQ(refusal([&] { AgreedSdes("RTP/SAVP", keys, false, false, false); }),
            "SRTP keys over signalling without TLS");
  EXPECT_EQ(refusal([&] { AgreedSdes("RTP/SAVP", {"1 AES_CM_128_HMAC_SHA1_80 inline:xyz"}, true, false, false); }),
            "a crypto line's key is not 30 bytes of base64");
  // A description carries its profile and keys to the choice.
  const TSdpMedia media =
      TSdpMedia::Parse("v=0\nc=IN IP4 1.2.3.4\nm=audio 4000 RTP/SAVP 0\na=crypto:" + keys[0] + "\n");
  EXPECT_EQ(media.profile, "RTP/SAVP");
  EXPECT_EQ(media.crypto, keys);
}

TEST(SrtpStreams, WhatOneSideProtectsTheOtherUnprotectsOnceAndAChangedByteIsRefused) {
  TSrtpStreams alice(Master(1), Master(2)), bob(Master(2), Master(1));
  auto packet = Protected(alice, Rtp(7, 0x55));
  ASSERT_EQ(packet.size(), 12u + 160 + TSrtpStreams::kTag);
  EXPECT_NE(std::vector<std::uint8_t>(packet.begin() + 12, packet.begin() + 172), std::vector<std::uint8_t>(160, 0x55));
  auto copy = packet;
  ASSERT_EQ(bob.Unprotect(copy.data(), copy.size()), 172u);
  EXPECT_EQ(std::vector<std::uint8_t>(copy.begin(), copy.begin() + 172), Rtp(7, 0x55));
  copy = packet;
  EXPECT_EQ(bob.Unprotect(copy.data(), copy.size()), 0u);  // replayed
  auto changed = Protected(alice, Rtp(8, 0x55));
  changed[40] ^= 1;
  EXPECT_EQ(bob.Unprotect(changed.data(), changed.size()), 0u);
  EXPECT_TRUE(alice.SameKeys(Master(1), Master(2)));
  EXPECT_FALSE(alice.SameKeys(Master(2), Master(1)));
}

TEST(MediaRelay, AnSrtpLegTakesOnlyAuthenticPacketsAndItsPartnerHearsThemPlain) {
  TMediaRelay relay(
      "127.0.0.1", 40900, 40999, THoldSound::Tone(), 10s, [](DWORD, char) {}, [](DWORD) {});
  Datagrams phone, stranger, elsewhere("127.0.0.2");
  RtpPeer caller;
  const int phonePort = relay.Open(1), callerPort = relay.Open(2);
  const TSrtpMaster relayKey = Master(0xA1), phoneKey = Master(0xB2);
  relay.SetSrtp(1, &relayKey, &phoneKey);
  TSrtpStreams phoneSide(phoneKey, relayKey), wrongKey(Master(0xC3), relayKey);
  relay.SetParty(1, Loopback(phone.Port()), Loopback(5060), 0, -1, false);
  relay.SetParty(2, Loopback(caller.Port()), Loopback(5060), 0, -1, false);
  relay.Link(1, 2);
  relay.Link(2, 1);

  // Racing the phone from its own host: plain RTP and SRTP under another key fail authentication; from
  // another host nothing is even checked.
  stranger.Send(phonePort, Rtp(1, 0x11, 0x99));
  stranger.Send(phonePort, Protected(wrongKey, Rtp(2, 0x11, 0x99)));
  elsewhere.Send(phonePort, Rtp(3, 0x11, 0x99));
  ASSERT_TRUE(WaitUntil([&] { return relay.Counts().foreign == 3; })) << relay.Counts().foreign;
  EXPECT_EQ(relay.Counts().srtpUnauthentic, 2u);
  // The phone's SRTP reaches the caller plain; the caller's RTP reaches the phone protected under our key.
  std::vector<std::uint8_t> captured;
  for (std::uint16_t sequence = 10; sequence < 20; ++sequence) {
    captured = Protected(phoneSide, Rtp(sequence, 0x80));
    phone.Send(phonePort, captured);
  }
  ASSERT_TRUE(WaitUntil([&] { return caller.ReceivedCount() == 10; })) << caller.ReceivedCount();
  for (const RtpPeer::Packet& packet : caller.Received())
    EXPECT_EQ(packet.payload, std::vector<std::uint8_t>(160, 0x80));
  caller.Send(callerPort, 0, std::vector<std::uint8_t>(160, 0x90), 3);
  for (int i = 0; i < 3; ++i) {
    std::vector<std::uint8_t> packet = phone.Receive();
    ASSERT_EQ(packet.size(), 12u + 160 + TSrtpStreams::kTag);
    ASSERT_EQ(phoneSide.Unprotect(packet.data(), packet.size()), 172u);
    EXPECT_EQ(std::vector<std::uint8_t>(packet.begin() + 12, packet.begin() + 172),
              std::vector<std::uint8_t>(160, 0x90));
  }
  EXPECT_EQ(relay.Counts().srtpSent, 3u);
  // A captured packet sent again is a replay; the stranger, latecomer now, is no party at all.
  phone.Send(phonePort, captured);
  stranger.Send(phonePort, Rtp(30, 0x11, 0x99));
  ASSERT_TRUE(WaitUntil([&] { return relay.Counts().foreign == 5; })) << relay.Counts().foreign;
  EXPECT_EQ(relay.Counts().srtpUnauthentic, 3u);
  EXPECT_EQ(relay.Counts().srtpReceived, 10u);
  EXPECT_EQ(caller.ReceivedCount(), 10u);
  EXPECT_TRUE(stranger.Receive(100ms).empty());
  // Plain again (a re-INVITE without keys): the phone's RTP passes as it is.
  relay.SetSrtp(1, nullptr, nullptr);
  phone.Send(phonePort, Rtp(40, 0x70));
  ASSERT_TRUE(WaitUntil([&] { return caller.ReceivedCount() == 11; }));
}
