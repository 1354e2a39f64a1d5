// What SDES-SRTP costs the relay per packet against plain RTP: 200 calls with media both ways through an
// in-process relay, each call a phone and an outside caller at 50 packets a second each way; A (both legs plain)
// and B (the phone's leg SRTP: each of its packets unprotected, each packet to it protected) alternated in one
// run. The relay thread's own CPU time (from /proc) per packet it took.
#include <arpa/inet.h>
#include <dirent.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Measures.h"
#include "telephony/sip/HoldSound.h"
#include "telephony/sip/MediaRelay.h"
#include "telephony/sip/Srtp.h"

using namespace vantrel::telephony;

namespace {

constexpr int kCalls = 200;
constexpr int kFrames = 150;  // 3 s of speech a round
constexpr int kRounds = 3;

std::set<std::string> Threads() {
  std::set<std::string> ids;
  if (DIR* tasks = ::opendir("/proc/self/task")) {
    while (const dirent* entry = ::readdir(tasks))
      if (entry->d_name[0] != '.') ids.insert(entry->d_name);
    ::closedir(tasks);
  }
  return ids;
}

sockaddr_in Loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  return address;
}

struct Party {
  int fd = -1;
  int port = 0;
  int relayPort = 0;
  Party() {
    fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local = Loopback(0);
    ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
    socklen_t size = sizeof local;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size);
    port = ntohs(local.sin_port);
  }
  ~Party() { ::close(fd); }
};

std::vector<std::uint8_t> Rtp(std::uint16_t sequence, std::uint32_t ssrc) {
  std::vector<std::uint8_t> packet(12 + 160, 0xFE);
  packet[0] = 0x80;
  packet[1] = 0;
  packet[2] = static_cast<std::uint8_t>(sequence >> 8);
  packet[3] = static_cast<std::uint8_t>(sequence);
  const std::uint32_t timestamp = sequence * 160u;
  for (int i = 0; i < 4; ++i) {
    packet[4 + i] = static_cast<std::uint8_t>(timestamp >> (24 - 8 * i));
    packet[8 + i] = static_cast<std::uint8_t>(ssrc >> (24 - 8 * i));
  }
  return packet;
}

struct Round {
  double relaySeconds = 0;
  std::uint64_t received = 0, forwarded = 0, srtpReceived = 0, srtpSent = 0, foreign = 0;
};

// One round: a fresh relay, the calls set up, every party's packets made beforehand (protected where SRTP is on)
// and sent at the pace of speech.
Round Run(bool srtp, int firstPort) {
  const std::set<std::string> before = Threads();
  TMediaRelay relay(
      "127.0.0.1", firstPort, firstPort + 998, THoldSound::Tone(), std::chrono::seconds(60), [](DWORD, char) {},
      [](DWORD) {});
  std::string relayThread;
  for (const std::string& id : Threads())
    if (before.count(id) == 0) relayThread = id;
  std::vector<std::unique_ptr<Party>> phones, callers;
  std::vector<std::vector<std::vector<std::uint8_t>>> phonePackets(kCalls), callerPackets(kCalls);
  std::vector<std::unique_ptr<TSrtpStreams>> phoneSides;
  for (int call = 0; call < kCalls; ++call) {
    const DWORD phoneLeg = 2 * call + 1, callerLeg = 2 * call + 2;
    phones.push_back(std::make_unique<Party>());
    callers.push_back(std::make_unique<Party>());
    phones.back()->relayPort = relay.Open(phoneLeg);
    callers.back()->relayPort = relay.Open(callerLeg);
    relay.SetParty(phoneLeg, Loopback(phones.back()->port), Loopback(5060), 0, -1, false);
    relay.SetParty(callerLeg, Loopback(callers.back()->port), Loopback(5060), 0, -1, false);
    relay.Link(phoneLeg, callerLeg);
    relay.Link(callerLeg, phoneLeg);
    TSrtpStreams* side = nullptr;
    if (srtp) {
      const TSdesCrypto ours = TSdesCrypto::Fresh(1), theirs = TSdesCrypto::Fresh(1);
      relay.SetSrtp(phoneLeg, &ours.master, &theirs.master);
      phoneSides.push_back(std::make_unique<TSrtpStreams>(theirs.master, ours.master));
      side = phoneSides.back().get();
    }
    for (int frame = 0; frame < kFrames; ++frame) {
      std::vector<std::uint8_t> packet = Rtp(static_cast<std::uint16_t>(frame), 0x1000 + phoneLeg);
      if (side != nullptr) {
        const std::size_t size = packet.size();
        packet.resize(size + 32);
        packet.resize(side->Protect(packet.data(), size, packet.size()));
      }
      phonePackets[call].push_back(std::move(packet));
      callerPackets[call].push_back(Rtp(static_cast<std::uint16_t>(frame), 0x1000 + callerLeg));
    }
  }
  const auto cpu = [&] { return vantrel::bench::ProcessCpuSeconds("self/task/" + relayThread); };
  const double start = cpu();
  auto next = std::chrono::steady_clock::now();
  for (int frame = 0; frame < kFrames; ++frame) {
    for (int call = 0; call < kCalls; ++call) {
      const sockaddr_in toPhoneLeg = Loopback(phones[call]->relayPort),
                        toCallerLeg = Loopback(callers[call]->relayPort);
      const auto& fromPhone = phonePackets[call][frame];
      const auto& fromCaller = callerPackets[call][frame];
      ::sendto(phones[call]->fd, fromPhone.data(), fromPhone.size(), 0, reinterpret_cast<const sockaddr*>(&toPhoneLeg),
               sizeof toPhoneLeg);
      ::sendto(callers[call]->fd, fromCaller.data(), fromCaller.size(), 0,
               reinterpret_cast<const sockaddr*>(&toCallerLeg), sizeof toCallerLeg);
    }
    next += std::chrono::milliseconds(20);
    std::this_thread::sleep_until(next);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the last packets through
  Round round;
  round.relaySeconds = cpu() - start;
  const TMediaRelay::TCounts counts = relay.Counts();
  round.received = counts.received;
  round.forwarded = counts.forwarded;
  round.srtpReceived = counts.srtpReceived;
  round.srtpSent = counts.srtpSent;
  round.foreign = counts.foreign;
  return round;
}

}  // namespace

int main(int argc, char** argv) {
  const int firstPort = argc > 1 ? std::atoi(argv[1]) : 40000;
  std::vector<double> plain, secured;
  for (int round = 0; round < kRounds; ++round) {
    for (const bool srtp : {false, true}) {
      const Round result = Run(srtp, firstPort);
      const double perPacket =
          result.received == 0 ? 0 : 1e6 * result.relaySeconds / static_cast<double>(result.received);
      (srtp ? secured : plain).push_back(perPacket);
      std::printf(
          "%-5s %d calls: relay CPU %.2f s for %llu packets taken (%llu forwarded; SRTP %llu unprotected, %llu "
          "protected; %llu dropped): %.2f us a packet\n",
          srtp ? "SRTP" : "plain", kCalls, result.relaySeconds, static_cast<unsigned long long>(result.received),
          static_cast<unsigned long long>(result.forwarded), static_cast<unsigned long long>(result.srtpReceived),
          static_cast<unsigned long long>(result.srtpSent), static_cast<unsigned long long>(result.foreign), perPacket);
    }
  }
  const double a = vantrel::bench::Percentile(plain, 0.5), b = vantrel::bench::Percentile(secured, 0.5);
  std::printf("median of %d rounds: plain %.2f us a packet, one SRTP leg a call %.2f us (%+.0f %%)\n", kRounds, a, b,
              a > 0 ? 100 * (b - a) / a : 0.0);
  return 0;
}
