#include "SipDigest.h"

extern "C" {
#include <re.h>
}

#include <chrono>
#include <cstdio>
#include <random>

namespace vantrel::telephony {

namespace {

constexpr long long kNonceLifetime = 300;  // seconds

std::string Hex(const std::uint8_t* bytes, std::size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < size; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 15];
  }
  return text;
}

long long Now() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

pl AsPl(std::string_view text) {
  pl value{};
  value.p = text.data();
  value.l = text.size();
  return value;
}

bool Equals(const pl& value, std::string_view text) {
  return value.l == text.size() && std::string_view(value.p, value.l) == text;
}

}  // namespace

TSipDigest::TSipDigest(std::string realm) : realm_(std::move(realm)) {
  std::random_device random;
  for (int i = 0; i < 4; ++i) secret_ += std::to_string(random());
}

std::string TSipDigest::NonceAt(long long seconds) const {
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%llx", seconds);
  const std::string keyed = secret_ + ":" + stamp;
  std::uint8_t digest[MD5_SIZE];
  md5(reinterpret_cast<const std::uint8_t*>(keyed.data()), keyed.size(), digest);
  return std::string(stamp) + "." + Hex(digest, 8);
}

std::string TSipDigest::Challenge(bool stale) const {
  return "Digest realm=\"" + realm_ + "\", nonce=\"" + NonceAt(Now()) + "\", algorithm=MD5, qop=\"auth\"" +
         (stale ? ", stale=true" : "");
}

std::string TSipDigest::UserOf(std::string_view authorization) {
  httpauth_digest_resp response{};
  const pl value = AsPl(authorization);
  if (httpauth_digest_response_decode(&response, &value) != 0) return {};
  return std::string(response.username.p, response.username.l);
}

TSipDigest::TCheck TSipDigest::Check(std::string_view authorization, std::string_view method, const std::string& user,
                                     const std::string& password) const {
  httpauth_digest_resp response{};
  const pl value = AsPl(authorization);
  if (httpauth_digest_response_decode(&response, &value) != 0) return TCheck::Wrong;
  if (!Equals(response.username, user) || !Equals(response.realm, realm_)) return TCheck::Wrong;
  const std::string nonce(response.nonce.p, response.nonce.l);
  const std::size_t dot = nonce.find('.');
  long long issued = 0;
  if (dot == std::string::npos || dot > 16 || std::sscanf(nonce.substr(0, dot).c_str(), "%llx", &issued) != 1 ||
      NonceAt(issued) != nonce)
    return TCheck::Wrong;
  const std::string secret = user + ":" + realm_ + ":" + password;
  std::uint8_t ha1[MD5_SIZE];
  md5(reinterpret_cast<const std::uint8_t*>(secret.data()), secret.size(), ha1);
  const pl methodValue = AsPl(method);
  if (httpauth_digest_response_auth(&response, &methodValue, ha1) != 0) return TCheck::Wrong;
  // Right, but after its time: the phone asks again with a fresh nonce without asking its user.
  return Now() - issued > kNonceLifetime || issued > Now() + 5 ? TCheck::Stale : TCheck::Good;
}

}  // namespace vantrel::telephony
