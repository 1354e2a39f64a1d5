#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "telephony/sip/DtlsSrtp.h"
#include "telephony/sip/IceLite.h"

namespace vantrel::telephony {

// What a WebRTC party's description says of its media's security: ICE credentials (RFC 8839), the DTLS role
// (RFC 4145 setup) and certificate fingerprint (RFC 8122), and whether RTCP shares the port (RFC 5761).
struct TWebRtcParty {
  std::string ufrag;
  std::string password;
  std::string fingerprint;  // "sha-256 AB:CD:..."
  std::string setup;        // active, passive or actpass
  std::string mid;          // empty when it names none
  bool rtcpMux = false;

  // Throws std::invalid_argument naming what is missing (a fingerprint, the ICE credentials, rtcp-mux).
  static TWebRtcParty Parse(std::string_view description);
  // The description as a plain RTP/AVP one, for what a G.711 relay reads of it.
  static std::string AsPlain(std::string_view description);
};

// One relay port's WebRTC media (the relay's thread, under its lock): ICE-lite answers, DTLS-SRTP, and the
// party's RTP and RTCP on one port. The rest of the relay sees plain RTP.
class TWebRtcMedia {
 public:
  TWebRtcMedia(const TDtlsIdentity& identity, std::string name);
  // The party's description: its fingerprint and our DTLS role (we take the one it leaves us).
  void SetParty(const TWebRtcParty& party);
  // Our description's media attributes for the port (offering: setup actpass; else the role left to us).
  std::string Attributes(const std::string& address, int port, bool offering) const;

  // A datagram on the port: the size of the plain RTP now in `packet`; 0 when it was ours to take (STUN,
  // DTLS, RTCP); -1 when it is foreign (another address, garbage, SRTP that does not authenticate).
  long Receive(int fd, const sockaddr_in& from, std::uint8_t* packet, std::size_t size);
  // Whether media can go to the party: the handshake is done and a check proved its address.
  bool Ready() const;
  // Protects the RTP packet and sends it to the party; `capacity` leaves room for the tag.
  void Send(int fd, std::uint8_t* packet, std::size_t size, std::size_t capacity);
  // Retransmits a lost handshake flight.
  void Tick(int fd);

 private:
  const TDtlsIdentity& identity_;
  const std::string name_;
  TIceLite ice_;
  std::unique_ptr<TDtlsSrtp> dtls_;
  bool server_ = true;
  sockaddr_in target_{};
  bool proven_ = false;
  std::string mid_ = "0";
};

// A plain description made WebRTC: UDP/TLS/RTP/SAVPF, ICE-lite, and our attributes for the audio stream.
std::string WebRtcDescription(const std::string& plain, const std::string& attributes);

}  // namespace vantrel::telephony
