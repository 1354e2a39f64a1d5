#include "SipRequestCheck.h"

extern "C" {
#include <re.h>
}

#include <algorithm>
#include <string_view>

namespace vantrel::telephony {

namespace {

std::string_view View(const pl& value) {
  return value.l == 0 ? std::string_view() : std::string_view(value.p, value.l);
}

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

bool IsDecimal(std::string_view text, std::size_t maxDigits) {
  return !text.empty() && text.size() <= maxDigits &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::uint32_t Count(const sip_msg* msg, sip_hdrid id) { return sip_msg_hdr_count(msg, id); }

}  // namespace

TRequestFault CheckRequest(const sip_msg* msg) {
  const auto bad = [](const char* reason) { return TRequestFault{400, reason}; };
  // §8.1.1: the headers every request carries, once each (Via may repeat; one is enough to answer).
  for (const auto& [id, name] :
       {std::pair{SIP_HDR_CALL_ID, "Missing or Repeated Call-ID"}, std::pair{SIP_HDR_CSEQ, "Missing or Repeated CSeq"},
        std::pair{SIP_HDR_FROM, "Missing or Repeated From"}, std::pair{SIP_HDR_TO, "Missing or Repeated To"}}) {
    if (Count(msg, id) != 1) return bad(name);
  }
  if (Count(msg, SIP_HDR_VIA) == 0 || msg->via.sentby.l == 0) return bad("Missing Via");
  if (Trimmed(View(msg->callid)).empty()) return bad("Missing or Repeated Call-ID");
  if (msg->from.auri.l == 0 || msg->to.auri.l == 0) return bad("Bad From or To");
  // §8.1.1.5: "CSeq: 1 BYE" on an INVITE is no INVITE; the number is below 2**31.
  const sip_hdr* cseq = sip_msg_hdr(msg, SIP_HDR_CSEQ);
  const std::string_view cseqText = Trimmed(View(cseq->val));
  const std::size_t space = cseqText.find_first_of(" \t");
  if (space == std::string_view::npos || !IsDecimal(cseqText.substr(0, space), 10) || msg->cseq.num >= 0x80000000u)
    return bad("Bad CSeq");
  if (Trimmed(cseqText.substr(space)) != View(msg->met)) return bad("CSeq Method Differs");
  // §20.14, §20.22: decimal, no sign; at most one Content-Length.
  if (Count(msg, SIP_HDR_CONTENT_LENGTH) > 1) return bad("Repeated Content-Length");
  if (Count(msg, SIP_HDR_CONTENT_LENGTH) == 1 &&
      !IsDecimal(Trimmed(View(sip_msg_hdr(msg, SIP_HDR_CONTENT_LENGTH)->val)), 10))
    return bad("Bad Content-Length");
  if (Count(msg, SIP_HDR_MAX_FORWARDS) > 1 ||
      (Count(msg, SIP_HDR_MAX_FORWARDS) == 1 &&
       !IsDecimal(Trimmed(View(sip_msg_hdr(msg, SIP_HDR_MAX_FORWARDS)->val)), 3)))
    return bad("Bad Max-Forwards");
  if (Count(msg, SIP_HDR_EXPIRES) > 1 ||
      (Count(msg, SIP_HDR_EXPIRES) == 1 && !IsDecimal(Trimmed(View(sip_msg_hdr(msg, SIP_HDR_EXPIRES)->val)), 10)))
    return bad("Bad Expires");
  // §8.2.2.1: a scheme we do not serve.
  if (pl_strcasecmp(&msg->uri.scheme, "sip") != 0 && pl_strcasecmp(&msg->uri.scheme, "sips") != 0)
    return {416, "Unsupported URI Scheme"};
  // §18.3: a body shorter than its Content-Length is a broken message.
  const std::size_t body = msg->mb == nullptr ? 0 : mbuf_get_left(msg->mb);
  if (msg->clen.l != 0 && pl_u32(&msg->clen) > body) return bad("Body Shorter Than Content-Length");
  return {};
}

}  // namespace vantrel::telephony
