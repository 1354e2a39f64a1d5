#pragma once

#include <cstdint>

struct sip_msg;

namespace vantrel::telephony {

// What is wrong with a request, as RFC 3261 has a server refuse it before anything acts on it.
struct TRequestFault {
  std::uint16_t code = 0;  // 0: nothing wrong
  const char* reason = "";
};

// Checks the request's framing and the headers every request must carry (RFC 3261 §8.1.1, §8.2.2, §20): one
// Call-ID, From, To, CSeq, Via each; the CSeq's method the request's own and its number below 2**31; decimal
// Content-Length and Max-Forwards; a sip or sips Request-URI; a body as long as Content-Length says.
TRequestFault CheckRequest(const sip_msg* msg);

}  // namespace vantrel::telephony
