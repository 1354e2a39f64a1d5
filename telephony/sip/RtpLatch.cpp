#include "RtpLatch.h"

namespace vantrel::telephony {

namespace {

constexpr std::size_t kRtpHeader = 12;

bool SameAddress(const sockaddr_in& a, const sockaddr_in& b) {
  return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

}  // namespace

bool IsValidRtp(const std::uint8_t* packet, std::size_t size) {
  if (size < kRtpHeader || (packet[0] >> 6) != 2) return false;
  if (packet[1] >= 192 && packet[1] <= 223) return false;  // RTCP: SR, RR, SDES, BYE, APP and kin
  std::size_t length = kRtpHeader + 4 * static_cast<std::size_t>(packet[0] & 0x0F);  // the contributing sources
  if (length > size) return false;
  if ((packet[0] & 0x10) != 0) {  // a header extension: its length must fit
    if (length + 4 > size) return false;
    length += 4 + 4 * static_cast<std::size_t>((packet[length + 2] << 8) | packet[length + 3]);
    if (length > size) return false;
  }
  if ((packet[0] & 0x20) != 0) {  // padding: the last octet counts it, itself included, within the payload
    const std::size_t padding = packet[size - 1];
    if (padding == 0 || length + padding > size) return false;
  }
  return true;
}

void TRtpLatch::SetParty(const sockaddr_in& sdp, const sockaddr_in& signalling) {
  const bool usable = sdp.sin_port != 0 && sdp.sin_addr.s_addr != 0;
  if (!usable || !hasSdp_ || !SameAddress(sdp_, sdp)) {
    hasLatched_ = false;
    sdpHeard_ = false;
  }
  sdp_ = sdp;
  hasSdp_ = usable;
  signallingHost_ = signalling.sin_addr;
}

bool TRtpLatch::MayBeParty(const sockaddr_in& from) const {
  if (hasSdp_ && SameAddress(from, sdp_)) return true;
  if (hasLatched_) return SameAddress(from, latched_);
  return !sdpHeard_ &&
         (from.sin_addr.s_addr == signallingHost_.s_addr || (hasSdp_ && from.sin_addr.s_addr == sdp_.sin_addr.s_addr));
}

bool TRtpLatch::Accept(const sockaddr_in& from, const std::uint8_t* packet, std::size_t size, int law,
                       int eventPayload) {
  if (hasSdp_ && SameAddress(from, sdp_)) {
    // The negotiated address wins a latched port back (RFC 7362 section 4.2: prefer the signalled address).
    sdpHeard_ = true;
    hasLatched_ = false;
    return true;
  }
  if (hasLatched_ && SameAddress(from, latched_)) return true;
  if (hasLatched_ || sdpHeard_ || law < 0) return false;
  // RFC 7362 section 7: latch only onto what could be the party, never onto the first bytes of anyone.
  const bool partysHost =
      from.sin_addr.s_addr == signallingHost_.s_addr || (hasSdp_ && from.sin_addr.s_addr == sdp_.sin_addr.s_addr);
  const int payloadType = size > 1 ? packet[1] & 0x7F : -1;
  const bool expected = payloadType == law || (eventPayload >= 0 && payloadType == eventPayload);
  if (!partysHost || !expected || !IsValidRtp(packet, size)) return false;
  latched_ = from;
  hasLatched_ = true;
  return true;
}

}  // namespace vantrel::telephony
