// What WebRTC media costs the relay: DTLS-SRTP handshakes per second (both ends in one process, datagrams
// handed over in memory), and the SRTP protect of a 20 ms G.711 packet on the way to a browser and the
// unprotect of one from it, against the plain path's copy of the same packet (A/B alternated, in one run).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <vector>

#include "telephony/sip/DtlsSrtp.h"

using namespace vantrel::telephony;
using Clock = std::chrono::steady_clock;

namespace {

struct Pair {
  std::unique_ptr<TDtlsSrtp> relay, browser;
  Pair(const TDtlsIdentity& relayIdentity, const TDtlsIdentity& browserIdentity)
      : relay(std::make_unique<TDtlsSrtp>(relayIdentity, true, "sha-256 " + browserIdentity.Fingerprint(), "relay")),
        browser(std::make_unique<TDtlsSrtp>(browserIdentity, false, "sha-256 " + relayIdentity.Fingerprint(),
                                            "browser")) {}
  bool Handshake() {
    std::deque<std::vector<std::uint8_t>> toRelay, toBrowser;
    const TDtlsSrtp::TSend sendToRelay = [&](const std::uint8_t* data, std::size_t size) {
      toRelay.emplace_back(data, data + size);
    };
    const TDtlsSrtp::TSend sendToBrowser = [&](const std::uint8_t* data, std::size_t size) {
      toBrowser.emplace_back(data, data + size);
    };
    browser->Start(sendToRelay);
    for (int round = 0; round < 50 && (!toRelay.empty() || !toBrowser.empty()); ++round) {
      while (!toRelay.empty()) {
        auto datagram = std::move(toRelay.front());
        toRelay.pop_front();
        relay->Receive(datagram.data(), datagram.size(), sendToBrowser);
      }
      while (!toBrowser.empty()) {
        auto datagram = std::move(toBrowser.front());
        toBrowser.pop_front();
        browser->Receive(datagram.data(), datagram.size(), sendToRelay);
      }
    }
    return relay->State() == TDtlsSrtp::TState::Ready && browser->State() == TDtlsSrtp::TState::Ready;
  }
};

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

}  // namespace

int main() {
  const TDtlsIdentity relayIdentity, browserIdentity;
  // Handshakes: each a new pair of sessions, as each browser call is.
  constexpr int kHandshakes = 300;
  const auto handshakesStart = Clock::now();
  int done = 0;
  for (int i = 0; i < kHandshakes; ++i) done += Pair(relayIdentity, browserIdentity).Handshake() ? 1 : 0;
  const double handshakeSeconds = Seconds(Clock::now() - handshakesStart);
  std::printf("DTLS-SRTP handshakes (both ends, ECDSA P-256): %d of %d, %.0f/s, %.2f ms each\n", done, kHandshakes,
              done / handshakeSeconds, 1000 * handshakeSeconds / kHandshakes);

  Pair pair(relayIdentity, browserIdentity);
  if (!pair.Handshake()) return 1;
  std::vector<std::uint8_t> packet = {0x80, 0x00, 0, 0, 0, 0, 0, 0, 0x12, 0x34, 0x56, 0x78};
  packet.resize(12 + 160, 0xFF);
  std::uint8_t buffer[1600];
  constexpr int kPackets = 200 * 50;  // 200 calls' second of media one way
  std::vector<double> plain, secured;
  std::uint16_t sequence = 0;
  volatile std::uint8_t sink = 0;
  for (int round = 0; round < 10; ++round) {
    // A: the plain path's part here, the packet copied as it is forwarded.
    auto start = Clock::now();
    for (int i = 0; i < kPackets; ++i) {
      std::memcpy(buffer, packet.data(), packet.size());
      sink = sink + buffer[i % packet.size()];
    }
    plain.push_back(1e9 * Seconds(Clock::now() - start) / kPackets);
    // B: to a browser (protect at the relay) and from one (unprotect at the relay, its sender's protect apart).
    std::vector<std::vector<std::uint8_t>> fromBrowser;
    for (int i = 0; i < kPackets; ++i) {
      std::vector<std::uint8_t> sealed(packet.begin(), packet.end());
      ++sequence;
      sealed[2] = static_cast<std::uint8_t>(sequence >> 8);
      sealed[3] = static_cast<std::uint8_t>(sequence);
      sealed.resize(packet.size() + 16);
      sealed.resize(pair.browser->Protect(sealed.data(), packet.size(), sealed.size()));
      fromBrowser.push_back(std::move(sealed));
    }
    start = Clock::now();
    for (int i = 0; i < kPackets; ++i) {
      std::memcpy(buffer, packet.data(), packet.size());
      buffer[2] = static_cast<std::uint8_t>(sequence >> 8);
      buffer[3] = static_cast<std::uint8_t>(sequence + i);
      sink = sink + static_cast<std::uint8_t>(pair.relay->Protect(buffer, packet.size(), sizeof buffer));
      sink = sink + static_cast<std::uint8_t>(pair.relay->Unprotect(fromBrowser[i].data(), fromBrowser[i].size()));
    }
    secured.push_back(1e9 * Seconds(Clock::now() - start) / kPackets);
  }
  std::sort(plain.begin(), plain.end());
  std::sort(secured.begin(), secured.end());
  std::printf("per packet (172-byte PCMU), median of 10 rounds of %d: plain copy %.0f ns, SRTP protect + unprotect "
              "%.0f ns (%.0f–%.0f)\n",
              kPackets, plain[5], secured[5], secured.front(), secured.back());
  return done == kHandshakes ? 0 : 1;
}
