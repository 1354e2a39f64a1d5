#pragma once

#include <arpa/inet.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <string>
#include <unordered_map>
#include <vector>

namespace vantrel::telephony {

// What the SIP port takes from one address ([SIP] BanAfterFailures, BanSeconds, MaxRequestsPerSecond,
// TrustedAddresses of "Exchange.ini").
struct TSipGuardSettings {
  int banAfterFailures = 10;  // failed authentications within a minute that ban the address; 0: never
  int banSeconds = 600;
  int maxRequestsPerSecond = 200;  // beyond it an address's requests are dropped; 0: no limit
  // Never banned nor limited: networks as address/prefix (an address alone is /32).
  std::vector<std::pair<std::uint32_t, int>> trusted;

  // Parses "192.0.2.10, 10.0.0.0/8"; throws std::invalid_argument naming the entry that is no address.
  static std::vector<std::pair<std::uint32_t, int>> ParseNetworks(const std::string& list);
};

// Password guessing and floods from one address: the requests an address may send, and the bans of addresses
// whose digests keep failing. Each address is judged alone, so a phone elsewhere works on while one is banned.
// SIP thread only.
class TSipGuard {
 public:
  using TClock = std::chrono::steady_clock;

  explicit TSipGuard(TSipGuardSettings settings);

  // Trusts the address too (the trunk's).
  void Trust(const std::string& address);
  bool Trusted(const std::string& address) const;
  // Whether a request from the address is looked at: not banned, not beyond the rate.
  bool Admit(const std::string& address, TClock::time_point now);
  // A failed authentication; true when it bans the address now.
  bool Failed(const std::string& address, TClock::time_point now);
  // Lifts the bans that ran out and forgets quiet addresses; the addresses set free.
  std::vector<std::string> Expire(TClock::time_point now);
  std::size_t Tracked() const { return byAddress_.size(); }

 private:
  struct TAddress {
    TClock::time_point second;                // the start of the current one-second window
    int requests = 0;                         // in that window
    std::deque<TClock::time_point> failures;  // within the last minute
    TClock::time_point bannedUntil{};
    bool banned = false;
    TClock::time_point lastSeen;
  };

  TSipGuardSettings settings_;
  std::unordered_map<std::string, TAddress> byAddress_;
};

}  // namespace vantrel::telephony
