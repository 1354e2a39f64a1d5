#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>

namespace vantrel::telephony {

// Whether the bytes are an RTP packet as RFC 3550 A.1 checks one: version 2, not RTCP (RFC 5761 section 4),
// the contributing sources, the header extension and the padding within the packet.
bool IsValidRtp(const std::uint8_t* packet, std::size_t size);

// Where a relay port takes its party's media from and sends the other side's media to (symmetric RTP, RFC 4961;
// latching as RFC 7362 describes it, with its hijacking counter-measures).
//
// The address the party's SDP names is always the party's. A party behind NAT sends from elsewhere; the port
// latches onto such a source only for a valid RTP packet of the leg's payloads, only from the address the
// party signalled from or the SDP's host, and only while nothing has come from the SDP address. Once the SDP
// address is heard it wins the port back for good, and whatever else sends is a stranger.
class TRtpLatch {
 public:
  // The party's SDP address and where its signalling came from (port ignored); resets the latch when the SDP
  // address changes (a re-INVITE).
  void SetParty(const sockaddr_in& sdp, const sockaddr_in& signalling);
  // Whether a packet from the address is the party's; latches when it may.
  bool Accept(const sockaddr_in& from, const std::uint8_t* packet, std::size_t size, int law, int eventPayload);
  // Whether a packet from the address could be the party's (Accept may take it), without latching.
  bool MayBeParty(const sockaddr_in& from) const;
  // Whether there is anywhere to send to, and where.
  bool HasTarget() const { return hasSdp_ || hasLatched_; }
  const sockaddr_in& Target() const { return hasLatched_ ? latched_ : sdp_; }

 private:
  sockaddr_in sdp_{};
  bool hasSdp_ = false;
  in_addr signallingHost_{};
  sockaddr_in latched_{};
  bool hasLatched_ = false;
  bool sdpHeard_ = false;  // the SDP address sent: latching is over
};

}  // namespace vantrel::telephony
