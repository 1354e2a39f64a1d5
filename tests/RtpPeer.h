#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

// A party's media end on loopback: sends RTP where it is told and writes down every packet that arrives.
class RtpPeer {
 public:
  struct Packet {
    int payloadType = 0;
    std::vector<std::uint8_t> payload;
    int fromPort = 0;
  };

  // On a loopback address of its own choosing (127.0.0.1 unless told: a stranger may sit elsewhere).
  explicit RtpPeer(const char* address = "127.0.0.1");
  ~RtpPeer();
  RtpPeer(const RtpPeer&) = delete;
  RtpPeer& operator=(const RtpPeer&) = delete;

  int Port() const { return port_; }
  // Packets of one 20 ms frame each, numbered on from the last, to the loopback port.
  void Send(int toPort, int payloadType, const std::vector<std::uint8_t>& payload, int count = 1);
  // A telephone-event (RFC 4733) for the digit: a start and three end packets of one event.
  void SendDigit(int toPort, int payloadType, int event);
  std::vector<Packet> Received() const;
  std::size_t ReceivedCount() const;
  // The port the last packet came from (the relay's port for this party), or 0.
  int LastSourcePort() const;

 private:
  void SendPacket(int toPort, int payloadType, bool marker, const std::uint8_t* payload, std::size_t size,
                  std::uint32_t timestamp);
  void Receive();

  int socket_ = -1;
  int port_ = 0;
  std::uint16_t sequence_ = 0;
  std::uint32_t timestamp_ = 0;
  mutable std::mutex mutex_;
  std::vector<Packet> received_;  // guarded by mutex_
  std::atomic<bool> stop_{false};
  std::thread thread_;
};
