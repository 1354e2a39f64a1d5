#include "MediaRelay.h"

#include <arpa/inet.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>
#include <stdexcept>

#include "telephony/sip/G711.h"

namespace vantrel::telephony {

namespace {

constexpr std::size_t kRtpHeader = 12;
constexpr std::size_t kMaxPacket = 1500;
constexpr auto kFrame = std::chrono::milliseconds(20);

char DigitOfEvent(int event) {
  static const char kDigits[] = "0123456789*#ABCD";
  return event >= 0 && event < 16 ? kDigits[event] : '\0';
}

}  // namespace

struct TMediaRelay::Endpoint {
  DWORD leg = 0;
  int fd = -1;
  int port = 0;
  TRtpLatch party;
  int law = -1;
  int eventPayload = -1;
  bool partyHolds = false;
  DWORD peer = 0;
  DWORD room = 0;
  bool holdSound = false;
  TPromptPlayer prompt;
  std::size_t soundPosition = 0;
  std::uint16_t soundSequence = 0;
  std::uint32_t soundTimestamp = 0;
  std::uint32_t soundSsrc = 0;
  std::chrono::steady_clock::time_point lastPacket = std::chrono::steady_clock::now();
  bool silenceReported = false;
  bool heard = false;
  std::uint32_t lastEventTimestamp = 0;
  bool eventEnded = true;
  std::unique_ptr<TWebRtcMedia> webRtc;  // a browser's leg
  std::unique_ptr<TSrtpStreams> srtp;    // a leg over TLS with SDES keys
};

TMediaRelay::TMediaRelay(std::string address, int firstPort, int lastPort, THoldSound holdSound,
                         std::chrono::milliseconds silenceLimit, TDigitHandler digits, TSilenceHandler silence)
    : address_(std::move(address)),
      holdSound_(std::move(holdSound)),
      silenceLimit_(silenceLimit),
      digits_(std::move(digits)),
      silence_(std::move(silence)) {
  if (firstPort < 1024 || lastPort > 65534 || firstPort > lastPort)
    throw std::invalid_argument("the RTP port range must lie within 1024-65534");
  for (int port = firstPort + (firstPort & 1); port < lastPort; port += 2) freePorts_.push_back(port);
  std::reverse(freePorts_.begin(), freePorts_.end());
  epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
  timer_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  stop_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (epoll_ < 0 || timer_ < 0 || stop_ < 0) throw std::runtime_error(std::string("relay: ") + std::strerror(errno));
  itimerspec every{};
  every.it_interval.tv_nsec = every.it_value.tv_nsec = std::chrono::nanoseconds(kFrame).count();
  ::timerfd_settime(timer_, 0, &every, nullptr);
  for (int fd : {timer_, stop_}) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = fd;
    ::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event);
  }
  thread_ = std::thread([this] { Run(); });
}

TMediaRelay::~TMediaRelay() {
  const std::uint64_t one = 1;
  if (::write(stop_, &one, sizeof one) < 0) {
  }
  if (thread_.joinable()) thread_.join();
  for (auto& [leg, endpoint] : byLeg_) ::close(endpoint->fd);
  for (int fd : {epoll_, timer_, stop_}) {
    if (fd >= 0) ::close(fd);
  }
}

int TMediaRelay::Open(DWORD leg) {
  const std::lock_guard guard(lock_);
  if (auto found = byLeg_.find(leg); found != byLeg_.end()) return found->second->port;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  if (::inet_pton(AF_INET, address_.c_str(), &local.sin_addr) != 1)
    throw std::runtime_error("relay address " + address_ + " is not IPv4");
  // Ports another program holds are skipped and kept for later.
  std::vector<int> skipped;
  int fd = -1, port = 0;
  while (!freePorts_.empty()) {
    port = freePorts_.back();
    freePorts_.pop_back();
    fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    local.sin_port = htons(static_cast<std::uint16_t>(port));
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0) break;
    if (fd >= 0) ::close(fd);
    fd = -1;
    skipped.push_back(port);
  }
  freePorts_.insert(freePorts_.begin(), skipped.begin(), skipped.end());
  if (fd < 0) throw std::runtime_error("no RTP port is free");
  auto endpoint = std::make_unique<Endpoint>();
  endpoint->leg = leg;
  endpoint->fd = fd;
  endpoint->port = port;
  endpoint->soundSsrc = static_cast<std::uint32_t>(ssrcs_());
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.fd = fd;
  ::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event);
  byFd_[fd] = endpoint.get();
  byLeg_[leg] = std::move(endpoint);
  return port;
}

void TMediaRelay::SetParty(DWORD leg, const sockaddr_in& address, const sockaddr_in& signalling, int law,
                           int eventPayload, bool holds) {
  const std::lock_guard guard(lock_);
  auto found = byLeg_.find(leg);
  if (found == byLeg_.end()) return;
  Endpoint& endpoint = *found->second;
  endpoint.party.SetParty(address, signalling);
  endpoint.law = law;
  endpoint.eventPayload = eventPayload;
  endpoint.partyHolds = holds;
  if (auto room = rooms_.find(endpoint.room); room != rooms_.end()) room->second.mixer.SetLaw(leg, law);
  endpoint.lastPacket = std::chrono::steady_clock::now();
  endpoint.silenceReported = false;
}

std::string TMediaRelay::WebRtcAttributes(DWORD leg, bool offering) {
  const std::lock_guard guard(lock_);
  auto found = byLeg_.find(leg);
  if (found == byLeg_.end()) return {};
  Endpoint& endpoint = *found->second;
  if (!dtlsIdentity_) dtlsIdentity_ = std::make_unique<TDtlsIdentity>();
  if (!endpoint.webRtc)
    endpoint.webRtc = std::make_unique<TWebRtcMedia>(*dtlsIdentity_, "leg " + std::to_string(leg));
  return endpoint.webRtc->Attributes(address_, endpoint.port, offering);
}

bool TMediaRelay::SetWebRtcParty(DWORD leg, const TWebRtcParty& party) {
  const std::lock_guard guard(lock_);
  auto found = byLeg_.find(leg);
  if (found == byLeg_.end()) return false;
  Endpoint& endpoint = *found->second;
  if (!dtlsIdentity_) dtlsIdentity_ = std::make_unique<TDtlsIdentity>();
  if (!endpoint.webRtc)
    endpoint.webRtc = std::make_unique<TWebRtcMedia>(*dtlsIdentity_, "leg " + std::to_string(leg));
  endpoint.webRtc->SetParty(party);
  return true;
}

void TMediaRelay::SetSrtp(DWORD leg, const TSrtpMaster* ours, const TSrtpMaster* theirs) {
  const std::lock_guard guard(lock_);
  auto found = byLeg_.find(leg);
  if (found == byLeg_.end()) return;
  Endpoint& endpoint = *found->second;
  if (ours == nullptr || theirs == nullptr) {
    endpoint.srtp.reset();
    return;
  }
  // New streams for the same keys would start their packet indexes again: the key stream would repeat.
  if (endpoint.srtp && endpoint.srtp->SameKeys(*ours, *theirs)) return;
  endpoint.srtp = std::make_unique<TSrtpStreams>(*ours, *theirs);
}

void TMediaRelay::Link(DWORD leg, DWORD peer) {
  const std::lock_guard guard(lock_);
  if (auto found = byLeg_.find(leg); found != byLeg_.end()) found->second->peer = peer;
}

void TMediaRelay::PlayHoldSound(DWORD leg, bool play) {
  const std::lock_guard guard(lock_);
  if (auto found = byLeg_.find(leg); found != byLeg_.end()) found->second->holdSound = play;
}

void TMediaRelay::PlayPrompt(DWORD leg, TPromptPlayer::TSound sound) {
  const std::lock_guard guard(lock_);
  if (auto found = byLeg_.find(leg); found != byLeg_.end()) found->second->prompt.Play(std::move(sound));
}

void TMediaRelay::Close(DWORD leg) {
  const std::lock_guard guard(lock_);
  auto found = byLeg_.find(leg);
  if (found == byLeg_.end()) return;
  Endpoint& endpoint = *found->second;
  Leave(endpoint);
  ::epoll_ctl(epoll_, EPOLL_CTL_DEL, endpoint.fd, nullptr);
  ::close(endpoint.fd);
  byFd_.erase(endpoint.fd);
  freePorts_.insert(freePorts_.begin(), endpoint.port);  // reused last: late packets of this call find nobody
  byLeg_.erase(found);
}

void TMediaRelay::Join(DWORD leg, DWORD room, TMediaMixer::TSide side, TMediaMixer::TRole role, DWORD coached) {
  const std::lock_guard guard(lock_);
  auto found = byLeg_.find(leg);
  if (found == byLeg_.end()) return;
  Endpoint& endpoint = *found->second;
  if (endpoint.room != room) Leave(endpoint);
  if (room == 0) return;
  endpoint.room = room;
  rooms_[room].mixer.Add(leg, endpoint.law, side, role, coached);
}

void TMediaRelay::Leave(Endpoint& endpoint) {
  auto room = rooms_.find(endpoint.room);
  endpoint.room = 0;
  if (room == rooms_.end()) return;
  room->second.mixer.Remove(endpoint.leg);
  if (room->second.mixer.Size() == 0) rooms_.erase(room);
}

bool TMediaRelay::Record(DWORD room, std::shared_ptr<IMixedSides> recorder) {
  const std::lock_guard guard(lock_);
  auto found = rooms_.find(room);
  if (found == rooms_.end()) return false;
  found->second.recorder = std::move(recorder);
  return true;
}

bool TMediaRelay::Rename(DWORD leg, DWORD to) {
  const std::lock_guard guard(lock_);
  auto found = byLeg_.find(leg);
  if (found == byLeg_.end() || byLeg_.count(to) != 0) return false;
  std::unique_ptr<Endpoint> endpoint = std::move(found->second);
  byLeg_.erase(found);
  Leave(*endpoint);
  endpoint->leg = to;
  for (auto& [otherLeg, other] : byLeg_) {
    if (other->peer == leg) other->peer = to;
  }
  byLeg_.emplace(to, std::move(endpoint));
  return true;
}

bool TMediaRelay::HasPort(DWORD leg) const {
  const std::lock_guard guard(lock_);
  return byLeg_.count(leg) != 0;
}

DWORD TMediaRelay::RoomOf(DWORD leg) const {
  const std::lock_guard guard(lock_);
  auto found = byLeg_.find(leg);
  return found == byLeg_.end() ? 0 : found->second->room;
}

std::size_t TMediaRelay::Rooms() const {
  const std::lock_guard guard(lock_);
  return rooms_.size();
}

bool TMediaRelay::Heard(DWORD leg) const {
  const std::lock_guard guard(lock_);
  auto found = byLeg_.find(leg);
  return found != byLeg_.end() && found->second->heard;
}

TMediaRelay::TCounts TMediaRelay::Counts() const {
  const std::lock_guard guard(lock_);
  return counts_;
}

std::size_t TMediaRelay::OpenPorts() const {
  const std::lock_guard guard(lock_);
  return byLeg_.size();
}

bool TMediaRelay::Sendable(const Endpoint& endpoint) {
  return endpoint.law >= 0 && (endpoint.webRtc ? endpoint.webRtc->Ready() : endpoint.party.HasTarget());
}

void TMediaRelay::SendTo(const Endpoint& endpoint, const std::uint8_t* packet, std::size_t size) {
  if (endpoint.webRtc || endpoint.srtp) {
    std::uint8_t secured[kMaxPacket + 32];
    if (size > kMaxPacket) return;
    std::memcpy(secured, packet, size);
    if (endpoint.webRtc) return endpoint.webRtc->Send(endpoint.fd, secured, size, sizeof secured);
    const std::size_t protectedSize = endpoint.srtp->Protect(secured, size, sizeof secured);
    if (protectedSize == 0) return;
    const sockaddr_in& to = endpoint.party.Target();
    ::sendto(endpoint.fd, secured, protectedSize, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    ++counts_.srtpSent;
    return;
  }
  const sockaddr_in& to = endpoint.party.Target();
  ::sendto(endpoint.fd, packet, size, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

void TMediaRelay::Run() {
  epoll_event events[64];
  for (;;) {
    const int count = ::epoll_wait(epoll_, events, 64, -1);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return;
    std::vector<std::pair<DWORD, char>> digits;
    std::vector<DWORD> silent;
    {
      const std::lock_guard guard(lock_);
      for (int i = 0; i < count; ++i) {
        const int fd = events[i].data.fd;
        if (fd == stop_) return;
        if (fd == timer_) {
          std::uint64_t expirations = 0;
          if (::read(timer_, &expirations, sizeof expirations) > 0) {
            // A late wake-up catches up on the frames it missed, a few at most: mixing must not fall behind.
            for (std::uint64_t frame = 0; frame < std::min<std::uint64_t>(expirations, 3); ++frame) MixRooms();
            Tick(silent);
          }
          continue;
        }
        if (auto found = byFd_.find(fd); found != byFd_.end()) Receive(*found->second, digits);
      }
    }
    for (const auto& [leg, digit] : digits) digits_(leg, digit);
    for (DWORD leg : silent) silence_(leg);
  }
}

void TMediaRelay::Receive(Endpoint& endpoint, std::vector<std::pair<DWORD, char>>& digits) {
  std::uint8_t packet[kMaxPacket];
  for (int burst = 0; burst < 64; ++burst) {
    sockaddr_in from{};
    socklen_t fromSize = sizeof from;
    ssize_t size = ::recvfrom(endpoint.fd, packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&from), &fromSize);
    if (size < 0) return;
    if (endpoint.webRtc) {
      // ICE and DTLS are the WebRTC leg's own; what is left is its RTP, unprotected, from its proven address.
      const long plain = endpoint.webRtc->Receive(endpoint.fd, from, packet, static_cast<std::size_t>(size));
      if (plain == 0) continue;
      if (plain < 0) {
        ++counts_.foreign;
        continue;
      }
      size = plain;
    } else if (endpoint.srtp) {
      // Only what could be the party costs a check, so strangers never take the streams' slots; only what
      // authenticates is the party's.
      if (!endpoint.party.MayBeParty(from)) {
        ++counts_.foreign;
        continue;
      }
      const std::size_t plain = endpoint.srtp->Unprotect(packet, static_cast<std::size_t>(size));
      if (plain == 0) {
        ++counts_.srtpUnauthentic;
        ++counts_.foreign;
        continue;
      }
      ++counts_.srtpReceived;
      size = static_cast<ssize_t>(plain);
    }
    const std::size_t length = static_cast<std::size_t>(size);
    if ((!endpoint.webRtc && !endpoint.party.Accept(from, packet, length, endpoint.law, endpoint.eventPayload)) ||
        !IsValidRtp(packet, length)) {
      ++counts_.foreign;
      continue;
    }
    ++counts_.received;
    endpoint.heard = true;
    endpoint.lastPacket = std::chrono::steady_clock::now();
    endpoint.silenceReported = false;
    // Where the payload starts: after the contributing sources and any header extension.
    std::size_t start = kRtpHeader + 4 * (packet[0] & 0x0F);
    if ((packet[0] & 0x10) != 0 && start + 4 <= static_cast<std::size_t>(size))
      start += 4 + 4 * ((packet[start + 2] << 8) | packet[start + 3]);
    if (start > static_cast<std::size_t>(size)) continue;
    const int payloadType = packet[1] & 0x7F;
    const bool isEvent = payloadType == endpoint.eventPayload && endpoint.eventPayload >= 0;
    if (isEvent && static_cast<std::size_t>(size) >= start + 4) {
      const std::uint32_t timestamp =
          (std::uint32_t{packet[4]} << 24) | (packet[5] << 16) | (packet[6] << 8) | packet[7];
      const bool ended = (packet[start + 1] & 0x80) != 0;
      // An event is sent again and again, its end three times: one digit per event.
      if (ended && (timestamp != endpoint.lastEventTimestamp || !endpoint.eventEnded)) {
        if (const char digit = DigitOfEvent(packet[start])) digits.emplace_back(endpoint.leg, digit);
      }
      endpoint.lastEventTimestamp = timestamp;
      endpoint.eventEnded = ended;
    }
    if (endpoint.holdSound || endpoint.partyHolds) continue;
    if (endpoint.room != 0) {
      // A member of a room is mixed (its digits were reported above), never forwarded.
      if (auto room = rooms_.find(endpoint.room); room != rooms_.end() && !isEvent)
        room->second.mixer.Push(endpoint.leg, payloadType, packet + start, static_cast<std::size_t>(size) - start);
      continue;
    }
    auto peerFound = byLeg_.find(endpoint.peer);
    if (peerFound == byLeg_.end()) continue;
    Endpoint& peer = *peerFound->second;
    if (peer.holdSound || peer.prompt.Playing() || !Sendable(peer)) continue;
    if (isEvent) {
      if (peer.eventPayload < 0) continue;
      packet[1] = static_cast<std::uint8_t>((packet[1] & 0x80) | peer.eventPayload);
    } else if (payloadType == kPayloadPcmu || payloadType == kPayloadPcma) {
      if (payloadType != peer.law) {
        Transcode(packet + start, static_cast<std::size_t>(size) - start, payloadType, peer.law);
        packet[1] = static_cast<std::uint8_t>((packet[1] & 0x80) | peer.law);
        ++counts_.transcoded;
      }
    } else {
      continue;  // comfort noise and anything not negotiated
    }
    SendTo(peer, packet, static_cast<std::size_t>(size));
    ++counts_.forwarded;
  }
}

void TMediaRelay::SendFrame(Endpoint& to, const std::uint8_t* payload, std::size_t size) {
  std::uint8_t packet[kRtpHeader + TMediaMixer::kFrameSamples];
  size = std::min(size, TMediaMixer::kFrameSamples);
  packet[0] = 0x80;
  packet[1] = static_cast<std::uint8_t>(to.law);
  const std::uint16_t sequence = to.soundSequence++;
  const std::uint32_t timestamp = to.soundTimestamp;
  to.soundTimestamp += static_cast<std::uint32_t>(size);
  packet[2] = static_cast<std::uint8_t>(sequence >> 8);
  packet[3] = static_cast<std::uint8_t>(sequence);
  for (int i = 0; i < 4; ++i) {
    packet[4 + i] = static_cast<std::uint8_t>(timestamp >> (24 - 8 * i));
    packet[8 + i] = static_cast<std::uint8_t>(to.soundSsrc >> (24 - 8 * i));
  }
  std::copy_n(payload, size, packet + kRtpHeader);
  SendTo(to, packet, kRtpHeader + size);
}

void TMediaRelay::MixRooms() {
  std::vector<TMediaMixer::TOutput> out;
  for (auto& [id, room] : rooms_) {
    TMediaMixer::TSides sides;
    room.mixer.Mix(out, room.recorder ? &sides : nullptr);
    if (room.recorder && !room.recorder->Take(sides)) room.recorder.reset();
    for (const TMediaMixer::TOutput& output : out) {
      auto found = byLeg_.find(output.party);
      // What the relay plays to a party (the hold sound, a prompt) goes before the room's mix.
      if (found == byLeg_.end() || found->second->holdSound || found->second->prompt.Playing() ||
          !Sendable(*found->second))
        continue;
      SendFrame(*found->second, output.payload.data(), output.payload.size());
      ++counts_.mixedFrames;
    }
  }
}

void TMediaRelay::Tick(std::vector<DWORD>& silent) {
  const auto now = std::chrono::steady_clock::now();
  static_assert(THoldSound::kFrameSamples == TMediaMixer::kFrameSamples);
  std::uint8_t payload[THoldSound::kFrameSamples];
  for (auto& [leg, endpoint] : byLeg_) {
    if (endpoint->webRtc) endpoint->webRtc->Tick(endpoint->fd);
    const bool prompting = endpoint->prompt.Playing();
    if ((!endpoint->holdSound && !prompting) || !Sendable(*endpoint)) continue;
    Encode(prompting ? endpoint->prompt.NextFrame() : holdSound_.Frame(endpoint->soundPosition),
           THoldSound::kFrameSamples, endpoint->law, payload);
    SendFrame(*endpoint, payload, sizeof payload);
    ++(prompting ? counts_.promptFrames : counts_.holdFrames);
  }
  if (now - lastSilenceCheck_ < std::chrono::seconds(1) && silenceLimit_ >= std::chrono::seconds(2)) return;
  lastSilenceCheck_ = now;
  for (auto& [leg, endpoint] : byLeg_) {
    if (endpoint->law < 0 || endpoint->partyHolds || endpoint->silenceReported) continue;
    if (now - endpoint->lastPacket < silenceLimit_) continue;
    endpoint->silenceReported = true;
    silent.push_back(leg);
  }
}

}  // namespace vantrel::telephony
