// Parties of the relay's legs as the relay benchmarks make them: a UDP socket on loopback each, sending 20 ms
// PCMU packets to the leg's port at the relay.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

#include "bench/Measures.h"
#include "telephony/sip/G711.h"
#include "telephony/sip/MediaRelay.h"

namespace vantrel::bench {

constexpr int kPcmu = 0;

struct RelayParty {
  int fd = -1;
  sockaddr_in address{};
  DWORD leg = 0;
  sockaddr_in relay{};  // the leg's port at the relay
  std::uint16_t sequence = 0;
  std::uint32_t timestamp = 0;
  std::uint32_t ssrc = 0;
  std::size_t tonePhase = 0;
  std::uint64_t received = 0;

  RelayParty() = default;
  RelayParty(const RelayParty&) = delete;
  RelayParty& operator=(const RelayParty&) = delete;
  ~RelayParty() {
    if (fd >= 0) ::close(fd);
  }

  // Binds a loopback port and opens the leg at the relay with this socket as its party.
  void Open(telephony::TMediaRelay& media, DWORD legId) {
    fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    leg = legId;
    ssrc = 0x5000 + legId;
    relay.sin_family = AF_INET;
    relay.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    relay.sin_port = htons(static_cast<std::uint16_t>(media.Open(leg)));
    media.SetParty(leg, address, address, kPcmu, -1, false);
  }

  // The next 20 ms: a 1 kHz tone when loud, else silence.
  void Send(bool loud) {
    std::int16_t samples[160];
    for (std::size_t s = 0; s < 160; ++s, ++tonePhase)
      samples[s] = loud ? static_cast<std::int16_t>(8000 * std::sin(2 * std::numbers::pi * 1000 * tonePhase / 8000.0))
                        : 0;
    std::uint8_t packet[12 + 160] = {0x80, kPcmu};
    packet[2] = static_cast<std::uint8_t>(sequence >> 8);
    packet[3] = static_cast<std::uint8_t>(sequence);
    for (int b = 0; b < 4; ++b) packet[4 + b] = static_cast<std::uint8_t>(timestamp >> (24 - 8 * b));
    for (int b = 0; b < 4; ++b) packet[8 + b] = static_cast<std::uint8_t>(ssrc >> (24 - 8 * b));
    telephony::Encode(samples, 160, kPcmu, packet + 12);
    ++sequence;
    timestamp += 160;
    ::sendto(fd, packet, sizeof packet, 0, reinterpret_cast<const sockaddr*>(&relay), sizeof relay);
  }
};

// The root mean square of a PCMU payload's samples.
inline double Loudness(const std::uint8_t* payload, std::size_t size) {
  std::int16_t samples[160];
  const std::size_t count = size < 160 ? size : 160;
  telephony::Decode(payload, count, kPcmu, samples);
  double sum = 0;
  for (std::size_t i = 0; i < count; ++i) sum += static_cast<double>(samples[i]) * samples[i];
  return count > 0 ? std::sqrt(sum / static_cast<double>(count)) : 0;
}

// Drives the parties on this thread until the end: every millisecond tick(now, measuring), and for each packet a
// party receives (counted in its received) packet(index, payload, size, at, measuring). Measured is the window from
// its start on: the relay's CPU in it (this process's less this thread's) is returned, and *receivedAtStart is what
// the parties had received when it began.
template <class Party, class Tick, class Packet>
double DriveParties(std::vector<Party>& parties, std::chrono::steady_clock::time_point windowStart,
                    std::chrono::steady_clock::time_point end, Tick tick, Packet packet,
                    std::uint64_t* receivedAtStart) {
  using Clock = std::chrono::steady_clock;
  const int epoll = ::epoll_create1(EPOLL_CLOEXEC);
  for (std::size_t i = 0; i < parties.size(); ++i) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u32 = static_cast<std::uint32_t>(i);
    ::epoll_ctl(epoll, EPOLL_CTL_ADD, parties[i].fd, &event);
  }
  constexpr std::uint32_t kTimer = 0xFFFFFFFF;
  const int timer = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
  itimerspec every{};
  every.it_interval.tv_nsec = 1'000'000;
  every.it_value.tv_nsec = 1'000'000;
  ::timerfd_settime(timer, 0, &every, nullptr);
  epoll_event timerEvent{};
  timerEvent.events = EPOLLIN;
  timerEvent.data.u32 = kTimer;
  ::epoll_ctl(epoll, EPOLL_CTL_ADD, timer, &timerEvent);

  bool measuring = false;
  double cpuStart = 0, driverStart = 0;
  std::uint8_t buffer[2048];
  epoll_event events[64];
  while (Clock::now() < end) {
    const int ready = ::epoll_wait(epoll, events, 64, 100);
    const auto now = Clock::now();
    if (!measuring && now >= windowStart) {
      measuring = true;
      cpuStart = ProcessCpuClockSeconds();
      driverStart = ThreadCpuSeconds();
      *receivedAtStart = 0;
      for (const Party& party : parties) *receivedAtStart += party.received;
    }
    for (int e = 0; e < ready; ++e) {
      if (events[e].data.u32 == kTimer) {
        std::uint64_t expirations = 0;
        if (::read(timer, &expirations, sizeof expirations) > 0) tick(now, measuring);
        continue;
      }
      Party& party = parties[events[e].data.u32];
      for (;;) {
        const ssize_t size = ::recv(party.fd, buffer, sizeof buffer, 0);
        if (size <= 12) break;
        ++party.received;
        packet(events[e].data.u32, buffer + 12, static_cast<std::size_t>(size) - 12, Clock::now(), measuring);
      }
    }
  }
  const double cpu = ProcessCpuClockSeconds() - cpuStart - (ThreadCpuSeconds() - driverStart);
  ::close(timer);
  ::close(epoll);
  return cpu;
}

}  // namespace vantrel::bench
