#include "telephony/sip/SipText.h"

#include <optional>  // before the stack's header, whose macros its comparisons would meet

extern "C" {
#include <re.h>
}

#include <algorithm>
#include <stdexcept>
#include <string_view>

#include "support/VantrelCommonRoutines.h"
#include "telephony/sip/SdpMedia.h"
#include "telephony/sip/WebRtcMedia.h"

namespace vantrel::telephony {

std::string Text(const pl& value) { return value.l == 0 ? std::string() : std::string(value.p, value.l); }

std::string BodyOf(const sip_msg* msg) {
  if (msg == nullptr || msg->mb == nullptr || mbuf_get_left(msg->mb) == 0) return {};
  return std::string(reinterpret_cast<const char*>(mbuf_buf(msg->mb)), mbuf_get_left(msg->mb));
}

std::string IpOf(const sa& address) {
  char text[64] = {};
  sa_ntop(&address, text, sizeof text);
  return text;
}

std::string SourceOf(const sip_msg* msg) { return IpOf(msg->src) + ":" + std::to_string(sa_port(&msg->src)); }

std::string UserOfUri(const std::string& value) {
  const std::size_t sip = value.find("sip:");
  if (sip == std::string::npos) return {};
  const std::size_t start = sip + 4;
  const std::size_t at = value.find('@', start);
  if (at == std::string::npos) return {};
  return value.substr(start, at - start);
}

bool IsDialable(const std::string& number) {
  return !number.empty() && number.size() <= 64 && std::all_of(number.begin(), number.end(), [](char c) {
    return (c >= '0' && c <= '9') || c == '*' || c == '#' || c == '+';
  });
}

bool OfferSuits(const sip_msg* msg) {
  if (msg->mb == nullptr || mbuf_get_left(msg->mb) == 0) return false;
  try {
    return TSdpMedia::Parse(std::string_view(reinterpret_cast<const char*>(mbuf_buf(msg->mb)), mbuf_get_left(msg->mb)))
               .ChosenLaw() >= 0;
  } catch (const std::invalid_argument&) {
    return false;
  }
}

bool BrowserOfferSuits(const sip_msg* msg) {
  if (msg->mb == nullptr || mbuf_get_left(msg->mb) == 0) return false;
  const std::string_view body(reinterpret_cast<const char*>(mbuf_buf(msg->mb)), mbuf_get_left(msg->mb));
  try {
    TWebRtcParty::Parse(body);
    return TSdpMedia::Parse(TWebRtcParty::AsPlain(body)).ChosenLaw() >= 0;
  } catch (const std::invalid_argument& refused) {
    LogFormat("SIP: a browser's INVITE from %s refused: %s", {SourceOf(msg), std::string(refused.what())});
    return false;
  }
}

}  // namespace vantrel::telephony
