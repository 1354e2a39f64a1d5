#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vantrel::telephony {

// ICE-lite (RFC 8445 §2.5) on one relay port: the browser checks the port's one host candidate, the port answers
// the checks that prove our password (short-term credentials, RFC 8489 §9.1) and refuses the rest; the address
// a proven check came from is where the party's media goes. The browser's checks go on every few seconds while
// the call lasts (consent freshness, RFC 7675), so a party that stops proving itself stops being sent to.
class TIceLite {
 public:
  // What a STUN datagram comes to.
  struct TCheck {
    std::vector<std::uint8_t> answer;  // to send back to where it came from; empty: nothing
    bool proven = false;               // a binding request with our username and password
  };

  // Our username fragment and password, fresh and random.
  TIceLite();
  const std::string& Ufrag() const { return ufrag_; }
  const std::string& Password() const { return password_; }

  // A datagram that looks like STUN (RFC 7983: first byte 0-3).
  TCheck Receive(const std::uint8_t* data, std::size_t size, const sockaddr_in& from) const;

  static bool LooksLikeStun(const std::uint8_t* data, std::size_t size) { return size >= 20 && data[0] < 4; }

 private:
  std::string ufrag_;
  std::string password_;
};

}  // namespace vantrel::telephony
