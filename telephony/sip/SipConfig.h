#pragma once

#include <map>
#include <string>

#include "telephony/sip/SipGuard.h"

namespace vantrel::telephony {

// The trunk: the one peer whose calls are outside callers and that takes the calls to outside numbers.
struct TSipTrunk {
  std::string address;  // IPv4; empty: no trunk
  int port = 5060;
  std::string transport = "UDP";  // or TCP, or TLS (then the port's TlsPort is needed)
  // Over TLS, the trunk's certificate must name its address and be signed by a CA of the system's or this file's.
  std::string caFile;
  // Outbound registration with the peer, when a user is given.
  std::string user;
  std::string password;
  int registerExpiry = 600;
  // Inbound digest: the trunk's INVITEs are challenged (407) and must prove this user and password, so that a
  // datagram with the trunk's address as its source is no call.
  std::string inboundUser;
  std::string inboundPassword;
};

// The SIP side of "Exchange.ini": [SIP] (where to listen, the RTP ports), [Passwords] (number=password: the
// stations phones may register for) and [Trunk].
struct TSipConfig {
  bool enabled = false;  // a [SIP] section exists
  std::string address = "127.0.0.1";
  int port = 5060;
  int webSocketPort = 0;  // SIP over WebSocket (browsers' phones, through the web gateway); 0: none
  // The same over TLS with the certificate below, for browsers that come straight here; 0: none.
  int secureWebSocketPort = 0;
  // SIP over TLS: the port (0: none) and our certificate chain and its key (PEM; the key may be in the chain's
  // file). Read when the port starts: a file that cannot be read leaves TLS off and the rest running.
  int tlsPort = 0;
  std::string certificateFile;
  std::string privateKeyFile;
  // SDES-SRTP (RFC 4568) on the media of calls over TLS: Off, Optional (when the party offers it) or Required
  // (a TLS party without it gets 488). Keys never go over plain UDP or TCP.
  enum class TSrtp { Off, Optional, Required };
  TSrtp srtp = TSrtp::Optional;
  std::string realm = "vantrel";
  std::string rtpAddress;  // default: address
  int rtpFirstPort = 20000;
  int rtpLastPort = 29999;
  int mediaTimeout = 60;  // seconds without RTP from a party that is not holding; 0: never
  int minExpiry = 60;     // shortest registration taken (423 below it)
  int maxExpiry = 3600;   // longest registration granted
  std::string holdSound;  // WAV file; default "hold.wav" of the INI folder when it exists
  bool logCalls = true;   // each SIP call's transitions in the log
  std::map<std::string, std::string> passwords;
  TSipTrunk trunk;
  TSipGuardSettings guard;
  // Where the port keeps what outlives a run (registrations, the answered calls' dialogs); empty: nowhere.
  std::string stateFolder;

  // Throws std::invalid_argument naming the file and the value that is wrong.
  static TSipConfig Load(const std::string& iniFolder);
};

}  // namespace vantrel::telephony
