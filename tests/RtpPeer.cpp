#include "RtpPeer.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

RtpPeer::RtpPeer(const char* address) {
  socket_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  ::inet_pton(AF_INET, address, &local.sin_addr);
  ::bind(socket_, reinterpret_cast<sockaddr*>(&local), sizeof local);
  socklen_t size = sizeof local;
  ::getsockname(socket_, reinterpret_cast<sockaddr*>(&local), &size);
  port_ = ntohs(local.sin_port);
  thread_ = std::thread([this] { Receive(); });
}

RtpPeer::~RtpPeer() {
  stop_ = true;
  thread_.join();
  ::close(socket_);
}

void RtpPeer::SendPacket(int toPort, int payloadType, bool marker, const std::uint8_t* payload, std::size_t size,
                         std::uint32_t timestamp) {
  std::vector<std::uint8_t> packet(12 + size);
  packet[0] = 0x80;
  packet[1] = static_cast<std::uint8_t>((marker ? 0x80 : 0) | payloadType);
  const std::uint16_t sequence = sequence_++;
  packet[2] = static_cast<std::uint8_t>(sequence >> 8);
  packet[3] = static_cast<std::uint8_t>(sequence);
  for (int i = 0; i < 4; ++i) {
    packet[4 + i] = static_cast<std::uint8_t>(timestamp >> (24 - 8 * i));
    packet[8 + i] = static_cast<std::uint8_t>(port_ >> (24 - 8 * i));
  }
  std::copy(payload, payload + size, packet.begin() + 12);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(static_cast<std::uint16_t>(toPort));
  ::sendto(socket_, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
}

void RtpPeer::Send(int toPort, int payloadType, const std::vector<std::uint8_t>& payload, int count) {
  for (int i = 0; i < count; ++i) {
    SendPacket(toPort, payloadType, false, payload.data(), payload.size(), timestamp_);
    timestamp_ += 160;
  }
}

void RtpPeer::SendDigit(int toPort, int payloadType, int event) {
  const std::uint32_t start = timestamp_;
  std::uint8_t body[4] = {static_cast<std::uint8_t>(event), 10, 0, 160};
  SendPacket(toPort, payloadType, true, body, sizeof body, start);
  body[1] |= 0x80;  // the end, sent three times as senders do
  body[3] = 0;
  body[2] = 3;
  for (int i = 0; i < 3; ++i) SendPacket(toPort, payloadType, false, body, sizeof body, start);
  timestamp_ += 800;
}

void RtpPeer::Receive() {
  while (!stop_) {
    pollfd ready{socket_, POLLIN, 0};
    if (::poll(&ready, 1, 20) <= 0) continue;
    std::uint8_t buffer[2048];
    sockaddr_in from{};
    socklen_t fromSize = sizeof from;
    const ssize_t size = ::recvfrom(socket_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromSize);
    if (size < 12) continue;
    Packet packet;
    packet.payloadType = buffer[1] & 0x7F;
    packet.payload.assign(buffer + 12, buffer + size);
    packet.fromPort = ntohs(from.sin_port);
    std::lock_guard lock(mutex_);
    received_.push_back(std::move(packet));
  }
}

std::vector<RtpPeer::Packet> RtpPeer::Received() const {
  std::lock_guard lock(mutex_);
  return received_;
}

std::size_t RtpPeer::ReceivedCount() const {
  std::lock_guard lock(mutex_);
  return received_.size();
}

int RtpPeer::LastSourcePort() const {
  std::lock_guard lock(mutex_);
  return received_.empty() ? 0 : received_.back().fromPort;
}
