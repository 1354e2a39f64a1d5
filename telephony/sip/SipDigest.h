#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <unordered_map>

namespace vantrel::telephony {

// Digest authentication (RFC 3261 §22, RFC 2617 with MD5, qop=auth) of phones by their station's password.
// A nonce carries its time and the request kind it was issued for under a keyed hash, so a nonce of another
// server, of another kind or an old one is refused. A nonce lives kNonceLifetime; each use must count its nc up
// (RFC 7616 §3.4, RFC 2617 §3.2.2), so a request captured and sent again is refused. SIP thread only.
class TSipDigest {
 public:
  enum class TCheck {
    Good,
    Wrong,     // no proof of the password
    Stale,     // the right password on a nonce that ran out or was given for another kind of request
    Replayed,  // the right password on a count already used: challenge again, not stale
  };
  using TClock = std::chrono::system_clock;
  static constexpr long long kNonceLifetime = 30;  // seconds

  explicit TSipDigest(std::string realm);

  // The value of a WWW-Authenticate or Proxy-Authenticate header, for a request of the method.
  std::string Challenge(std::string_view method, bool stale) const;
  // The user an Authorization header value names, or empty when it is no digest response.
  static std::string UserOf(std::string_view authorization);
  // Whether the response proves the password for the user, for a request of the method; a good one uses up its
  // count.
  TCheck Check(std::string_view authorization, std::string_view method, const std::string& user,
               const std::string& password);

 private:
  std::string NonceAt(long long seconds, std::string_view method) const;
  void ForgetOld(long long now);

  const std::string realm_;
  std::string secret_;
  // The highest count used with each nonce still alive (only nonces whose digests were right get here).
  std::unordered_map<std::string, unsigned long> counts_;
  long long lastSweep_ = 0;
  long long staleUpTo_ = -1;  // nonces issued until then are stale, their counts forgotten
};

}  // namespace vantrel::telephony
