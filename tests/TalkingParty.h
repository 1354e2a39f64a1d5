// A party on loopback talking a tone over RTP, and what a party heard, decoded: the SIP tests' ears and mouths.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

#include "RtpPeer.h"
#include "Tones.h"
#include "telephony/sip/G711.h"

// A party sending its tone every 20 ms to where it is told, on a thread of its own.
class TalkingParty {
 public:
  TalkingParty(RtpPeer& peer, double hertz, int law) : peer_(peer), tone_(hertz), law_(law) {}
  ~TalkingParty() { Stop(); }
  void Start(std::function<int()> toPort) {
    thread_ = std::thread([this, toPort] {
      auto next = std::chrono::steady_clock::now();
      while (!stop_) {
        const int port = toPort();
        const std::vector<std::int16_t> samples = tone_.Next(160);
        std::vector<std::uint8_t> payload(160);
        vantrel::telephony::Encode(samples.data(), samples.size(), law_, payload.data());
        if (port > 0) peer_.Send(port, law_, payload);
        next += std::chrono::milliseconds(20);
        std::this_thread::sleep_until(next);
      }
    });
  }
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }

 private:
  RtpPeer& peer_;
  ToneSource tone_;
  int law_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// What a peer heard from the packets at index from on, decoded.
inline std::vector<std::int16_t> HeardSince(const RtpPeer& peer, std::size_t from) {
  std::vector<std::int16_t> sound;
  const auto packets = peer.Received();
  for (std::size_t i = from; i < packets.size(); ++i) {
    std::vector<std::int16_t> decoded(packets[i].payload.size());
    vantrel::telephony::Decode(packets[i].payload.data(), decoded.size(), packets[i].payloadType, decoded.data());
    sound.insert(sound.end(), decoded.begin(), decoded.end());
  }
  return sound;
}
