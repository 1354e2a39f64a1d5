#pragma once

#include <string>
#include <string_view>

namespace vantrel::telephony {

// Digest authentication (RFC 3261 §22, RFC 2617 with MD5) of phones by their station's password. Nonces carry
// their time and a keyed hash, so no state is kept and a nonce of another server or an old one is refused.
class TSipDigest {
 public:
  enum class TCheck { Good, Wrong, Stale };

  explicit TSipDigest(std::string realm);

  // The value of a WWW-Authenticate or Proxy-Authenticate header.
  std::string Challenge(bool stale) const;
  // The user an Authorization header value names, or empty when it is no digest response.
  static std::string UserOf(std::string_view authorization);
  // Whether the response proves the password for the user, for a request of the method.
  TCheck Check(std::string_view authorization, std::string_view method, const std::string& user,
               const std::string& password) const;

 private:
  std::string NonceAt(long long seconds) const;

  const std::string realm_;
  std::string secret_;
};

}  // namespace vantrel::telephony
