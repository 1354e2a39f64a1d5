#pragma once

#include <string>

struct pl;
struct sa;
struct sip_msg;

namespace vantrel::telephony {

// The SIP stack's pieces of text as the port's files read them, in one place.

// A pointer-length piece of a message as a string (empty for an absent one).
std::string Text(const pl& value);
// A message's body, or empty.
std::string BodyOf(const sip_msg* msg);
// An address without its port.
std::string IpOf(const sa& address);
// Where a message came from: "address:port".
std::string SourceOf(const sip_msg* msg);
// The user part of a URI in a header value such as <sip:104@host>, or empty.
std::string UserOfUri(const std::string& value);
// Whether a URI's user part is a number the exchange can dial (digits, '*', '#', '+'; 64 at most).
bool IsDialable(const std::string& number);
// Whether an INVITE's offer has an audio stream in a law we speak (refused with 488 otherwise).
bool OfferSuits(const sip_msg* msg);
// The same for a browser's phone: DTLS-SRTP and ICE besides a law (the reason is logged when not).
bool BrowserOfferSuits(const sip_msg* msg);

}  // namespace vantrel::telephony
