#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vantrel::telephony {

// The audio stream of a session description (RFC 4566), as much of it as a G.711 relay needs.
struct TSdpMedia {
  std::string address;        // where the party wants its RTP
  int port = 0;               // 0: the stream is refused
  std::vector<int> payloads;  // in the party's order of preference
  int eventPayload = -1;      // telephone-event (RFC 4733), or -1
  std::string direction = "sendrecv";
  std::string profile = "RTP/AVP";  // or RTP/SAVP (RFC 3711): its keys in a=crypto
  std::vector<std::string> crypto;  // the stream's a=crypto values (RFC 4568), as written

  // The description's audio stream; throws std::invalid_argument saying what is wrong with it.
  static TSdpMedia Parse(std::string_view text);
  // The first G.711 law the party offers (0 PCMU, 8 PCMA), or -1 when it offers neither.
  int ChosenLaw() const;
  // Whether the party stopped sending to us (held us): sendonly or inactive, or an address of zeroes.
  bool Holds() const;

  // A description offering or answering one audio stream at our relay port. Laws in order of preference;
  // `attributes`: further lines of the stream (CRLF-ended).
  static std::string Make(const std::string& address, int port, const std::vector<int>& laws, int eventPayload,
                          const std::string& direction, unsigned long sessionId, unsigned version,
                          const std::string& profile = "RTP/AVP", const std::string& attributes = {});
};

}  // namespace vantrel::telephony
