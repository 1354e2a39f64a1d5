// The WebRTC media of browsers' phones, part by part: ICE-lite's answers to connectivity checks, and two
// DTLS-SRTP ends agreeing on keys and protecting media both ways.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <deque>
#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <re.h>
}

#include "Loopback.h"
#include "telephony/sip/DtlsSrtp.h"
#include "telephony/sip/IceLite.h"
#include "telephony/sip/WebRtcMedia.h"

using namespace vantrel::telephony;

namespace {

// A browser's binding request: its username and, when `password` is not empty, integrity with it.
std::vector<std::uint8_t> BindingRequest(const std::string& username, const std::string& password) {
  mbuf* buffer = mbuf_alloc(256);
  std::uint8_t tid[STUN_TID_SIZE] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  char* name = const_cast<char*>(username.c_str());
  stun_msg_encode(buffer, STUN_METHOD_BINDING, STUN_CLASS_REQUEST, tid, nullptr,
                  password.empty() ? nullptr : reinterpret_cast<const std::uint8_t*>(password.data()),
                  password.size(), true, 0x00, 1, STUN_ATTR_USERNAME, name);
  std::vector<std::uint8_t> bytes(buffer->buf, buffer->buf + buffer->end);
  mem_deref(buffer);
  return bytes;
}

// The class and error code of a STUN answer, and whether it proves the key.
struct Answer {
  int kind = -1;
  int code = 0;
  bool proves = false;
};
Answer Read(const std::vector<std::uint8_t>& bytes, const std::string& key) {
  Answer answer;
  mbuf* buffer = mbuf_alloc(bytes.size() + 1);
  mbuf_write_mem(buffer, bytes.data(), bytes.size());
  buffer->pos = 0;
  stun_msg* message = nullptr;
  if (stun_msg_decode(&message, buffer, nullptr) == 0) {
    answer.kind = stun_msg_class(message);
    if (const stun_attr* error = stun_msg_attr(message, STUN_ATTR_ERR_CODE)) answer.code = error->v.err_code.code;
    answer.proves = stun_msg_chk_mi(message, reinterpret_cast<const std::uint8_t*>(key.data()), key.size()) == 0;
  }
  mem_deref(message);
  mem_deref(buffer);
  return answer;
}

TEST(IceLite, AnswersChecksThatProveOurPasswordAndRefusesTheRest) {
  const TIceLite ice;
  EXPECT_EQ(ice.Ufrag().size(), 8u);
  EXPECT_EQ(ice.Password().size(), 24u);
  const sockaddr_in browser = Loopback(40000);

  const auto good = ice.Receive(BindingRequest(ice.Ufrag() + ":browser", ice.Password()).data(),
                                BindingRequest(ice.Ufrag() + ":browser", ice.Password()).size(), browser);
  EXPECT_TRUE(good.proven);
  const Answer success = Read(good.answer, ice.Password());
  EXPECT_EQ(success.kind, STUN_CLASS_SUCCESS_RESP);
  EXPECT_TRUE(success.proves);

  const auto bare = BindingRequest(ice.Ufrag() + ":browser", "");
  const auto unproven = ice.Receive(bare.data(), bare.size(), browser);
  EXPECT_FALSE(unproven.proven);
  EXPECT_EQ(Read(unproven.answer, "").code, 400);

  const auto guessed = BindingRequest(ice.Ufrag() + ":browser", "not-the-password-at-all!");
  const auto wrong = ice.Receive(guessed.data(), guessed.size(), browser);
  EXPECT_FALSE(wrong.proven);
  EXPECT_EQ(Read(wrong.answer, "").code, 401);

  const auto other = BindingRequest("someone:browser", ice.Password());
  EXPECT_FALSE(ice.Receive(other.data(), other.size(), browser).proven);

  const std::vector<std::uint8_t> garbage(40, 0x01);
  const auto nothing = ice.Receive(garbage.data(), garbage.size(), browser);
  EXPECT_FALSE(nothing.proven);
  EXPECT_TRUE(nothing.answer.empty());
}

// Two ends whose datagrams are handed over in memory; each expects the other's certificate by its fingerprint,
// unless told another.
struct Pair {
  TDtlsIdentity serverIdentity, clientIdentity;
  std::unique_ptr<TDtlsSrtp> server, client;
  std::deque<std::vector<std::uint8_t>> toServer, toClient;
  explicit Pair(const std::string& serverExpects = {}) {
    server = std::make_unique<TDtlsSrtp>(
        serverIdentity, true, serverExpects.empty() ? "sha-256 " + clientIdentity.Fingerprint() : serverExpects,
        "server");
    client = std::make_unique<TDtlsSrtp>(clientIdentity, false, "sha-256 " + serverIdentity.Fingerprint(), "client");
  }
  void Run() {
    const TDtlsSrtp::TSend sendToServer = [&](const std::uint8_t* data, std::size_t size) {
      toServer.emplace_back(data, data + size);
    };
    const TDtlsSrtp::TSend sendToClient = [&](const std::uint8_t* data, std::size_t size) {
      toClient.emplace_back(data, data + size);
    };
    client->Start(sendToServer);
    for (int round = 0; round < 50 && (!toServer.empty() || !toClient.empty()); ++round) {
      while (!toServer.empty()) {
        const auto datagram = toServer.front();
        toServer.pop_front();
        server->Receive(datagram.data(), datagram.size(), sendToClient);
      }
      while (!toClient.empty()) {
        const auto datagram = toClient.front();
        toClient.pop_front();
        client->Receive(datagram.data(), datagram.size(), sendToServer);
      }
    }
  }
};

std::vector<std::uint8_t> RtpPacket(std::uint16_t sequence) {
  std::vector<std::uint8_t> packet = {0x80, 0x00, static_cast<std::uint8_t>(sequence >> 8),
                                      static_cast<std::uint8_t>(sequence), 0, 0, 0, 160, 0x12, 0x34, 0x56, 0x78};
  for (int i = 0; i < 160; ++i) packet.push_back(static_cast<std::uint8_t>(i));
  return packet;
}

// What the other end makes of a packet one end protected; empty when it does not authenticate.
std::vector<std::uint8_t> Carry(TDtlsSrtp& from, TDtlsSrtp& to, std::vector<std::uint8_t> packet, bool tamper) {
  const std::size_t plain = packet.size();
  packet.resize(plain + 16);
  const std::size_t sealed = from.Protect(packet.data(), plain, packet.size());
  if (sealed == 0) return {};
  if (tamper) packet[20] ^= 1;
  const std::size_t opened = to.Unprotect(packet.data(), sealed);
  packet.resize(opened);
  return packet;
}

TEST(DtlsSrtp, TwoEndsAgreeOnKeysAndProtectMediaBothWays) {
  Pair pair;
  EXPECT_EQ(pair.client->Protect(RtpPacket(1).data(), 172, 172), 0u) << "nothing is protected before the handshake";
  pair.Run();
  ASSERT_EQ(pair.server->State(), TDtlsSrtp::TState::Ready) << pair.server->Failure();
  ASSERT_EQ(pair.client->State(), TDtlsSrtp::TState::Ready) << pair.client->Failure();
  EXPECT_EQ(pair.serverIdentity.Fingerprint().size(), 95u);  // 32 bytes in hex, colons between

  EXPECT_EQ(Carry(*pair.client, *pair.server, RtpPacket(1), false), RtpPacket(1));
  EXPECT_EQ(Carry(*pair.server, *pair.client, RtpPacket(7), false), RtpPacket(7));
  EXPECT_EQ(Carry(*pair.client, *pair.server, RtpPacket(2), false), RtpPacket(2));
  EXPECT_TRUE(Carry(*pair.client, *pair.server, RtpPacket(3), true).empty()) << "a changed byte does not pass";
  // Garbage where DTLS is expected changes nothing.
  const std::vector<std::uint8_t> garbage(60, 23);
  pair.server->Receive(garbage.data(), garbage.size(), [](const std::uint8_t*, std::size_t) {});
  EXPECT_EQ(Carry(*pair.client, *pair.server, RtpPacket(4), false), RtpPacket(4));
}

TEST(DtlsSrtp, ACertificateOtherThanTheDescriptionNamesFailsTheHandshake) {
  TDtlsIdentity stranger;
  Pair pair("sha-256 " + stranger.Fingerprint());
  pair.Run();
  EXPECT_EQ(pair.server->State(), TDtlsSrtp::TState::Failed);
  EXPECT_EQ(pair.server->Failure(), "the party's certificate is not the one its SDP names");
  EXPECT_EQ(pair.server->Protect(RtpPacket(1).data(), 172, 200), 0u);
}

TEST(WebRtcDescription, ABrowsersOfferWithoutFingerprintOrIceIsRefusedAndOursIsWebRtc) {
  const std::string offer =
      "v=0\r\no=- 1 2 IN IP4 127.0.0.1\r\ns=-\r\nt=0 0\r\na=group:BUNDLE 0\r\n"
      "m=audio 9 UDP/TLS/RTP/SAVPF 111 0 8 101\r\nc=IN IP4 0.0.0.0\r\na=mid:0\r\na=ice-ufrag:abcd\r\n"
      "a=ice-pwd:0123456789abcdefghijkl\r\na=fingerprint:sha-256 AB:CD\r\na=setup:actpass\r\na=rtcp-mux\r\n"
      "a=rtpmap:111 opus/48000/2\r\na=rtpmap:0 PCMU/8000\r\na=rtpmap:8 PCMA/8000\r\n"
      "a=rtpmap:101 telephone-event/8000\r\na=sendrecv\r\n";
  const TWebRtcParty party = TWebRtcParty::Parse(offer);
  EXPECT_EQ(party.ufrag, "abcd");
  EXPECT_EQ(party.fingerprint, "sha-256 AB:CD");
  EXPECT_EQ(party.setup, "actpass");
  EXPECT_EQ(party.mid, "0");
  std::string noFingerprint = offer;
  noFingerprint.erase(noFingerprint.find("a=fingerprint"), std::string("a=fingerprint:sha-256 AB:CD\r\n").size());
  EXPECT_THROW(TWebRtcParty::Parse(noFingerprint), std::invalid_argument);
  std::string noIce = offer;
  noIce.erase(noIce.find("a=ice-pwd"), std::string("a=ice-pwd:0123456789abcdefghijkl\r\n").size());
  EXPECT_THROW(TWebRtcParty::Parse(noIce), std::invalid_argument);
  // What the relay reads of it: G.711 (PCMU before PCMA here), not held for its 0.0.0.0.
  const std::string plain = TWebRtcParty::AsPlain(offer);
  EXPECT_NE(plain.find("m=audio 9 RTP/AVP 111 0 8 101"), std::string::npos) << plain;
  EXPECT_EQ(plain.find("0.0.0.0"), std::string::npos) << plain;

  const std::string ours = WebRtcDescription("v=0\r\no=vantrel 1 1 IN IP4 127.0.0.1\r\ns=Vantrel\r\n"
                                             "c=IN IP4 127.0.0.1\r\nt=0 0\r\nm=audio 20000 RTP/AVP 0\r\n"
                                             "a=rtpmap:0 PCMU/8000\r\n",
                                             "a=mid:0\r\n");
  EXPECT_NE(ours.find("t=0 0\r\na=ice-lite\r\n"), std::string::npos) << ours;
  EXPECT_NE(ours.find("m=audio 20000 UDP/TLS/RTP/SAVPF 0\r\na=mid:0\r\n"), std::string::npos) << ours;
}

}  // namespace
