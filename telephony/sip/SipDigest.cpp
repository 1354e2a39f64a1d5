#include "SipDigest.h"

extern "C" {
#include <re.h>
}

#include <cstdio>
#include <cstdlib>
#include <random>

#include "telephony/sip/SipText.h"

namespace vantrel::telephony {

namespace {

// A bound on the counts kept: past it they all go, and the nonces issued until then with them (stale).
constexpr std::size_t kMaxCounts = 65536;

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
  return std::chrono::duration_cast<std::chrono::seconds>(TSipDigest::TClock::now().time_since_epoch()).count();
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

long long IssuedAt(const std::string& nonce) {
  const std::size_t dot = nonce.find('.');
  long long issued = -1;
  if (dot == std::string::npos || dot == 0 || dot > 16 ||
      std::sscanf(nonce.substr(0, dot).c_str(), "%llx", &issued) != 1)
    return -1;
  return issued;
}

}  // namespace

TSipDigest::TSipDigest(std::string realm) : realm_(std::move(realm)) {
  std::random_device random;
  for (int i = 0; i < 4; ++i) secret_ += std::to_string(random());
}

std::string TSipDigest::NonceAt(long long seconds, std::string_view method) const {
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%llx", seconds);
  const std::string keyed = secret_ + ":" + stamp + ":" + std::string(method);
  std::uint8_t digest[MD5_SIZE];
  md5(reinterpret_cast<const std::uint8_t*>(keyed.data()), keyed.size(), digest);
  return std::string(stamp) + "." + Hex(digest, 8);
}

std::string TSipDigest::Challenge(std::string_view method, bool stale) const {
  return "Digest realm=\"" + realm_ + "\", nonce=\"" + NonceAt(Now(), method) + "\", algorithm=MD5, qop=\"auth\"" +
         (stale ? ", stale=true" : "");
}

std::string TSipDigest::UserOf(std::string_view authorization) {
  httpauth_digest_resp response{};
  const pl value = AsPl(authorization);
  if (httpauth_digest_response_decode(&response, &value) != 0) return {};
  return Text(response.username);
}

void TSipDigest::ForgetOld(long long now) {
  if (now == lastSweep_ && counts_.size() < kMaxCounts) return;
  lastSweep_ = now;
  std::erase_if(counts_, [&](const auto& entry) { return now - IssuedAt(entry.first) > kNonceLifetime; });
  if (counts_.size() >= kMaxCounts) {
    // A nonce whose count is forgotten could be used again from the start: those nonces are over.
    counts_.clear();
    staleUpTo_ = now;
  }
}

TSipDigest::TCheck TSipDigest::Check(std::string_view authorization, std::string_view method, const std::string& user,
                                     const std::string& password) {
  httpauth_digest_resp response{};
  const pl value = AsPl(authorization);
  if (httpauth_digest_response_decode(&response, &value) != 0) return TCheck::Wrong;
  if (!Equals(response.username, user) || !Equals(response.realm, realm_)) return TCheck::Wrong;
  const std::string nonce = Text(response.nonce);
  const long long issued = IssuedAt(nonce);
  if (issued < 0) return TCheck::Wrong;
  // Issued by us, for a request of this kind: a nonce a phone got for REGISTER does not place calls. A phone
  // that offers it anyway with the right password (credentials cached across requests) is challenged afresh.
  const bool ofThisKind = NonceAt(issued, method) == nonce;
  if (!ofThisKind && NonceAt(issued, method == "REGISTER" ? "INVITE" : "REGISTER") != nonce) return TCheck::Wrong;
  const std::string secret = user + ":" + realm_ + ":" + password;
  std::uint8_t ha1[MD5_SIZE];
  md5(reinterpret_cast<const std::uint8_t*>(secret.data()), secret.size(), ha1);
  const pl methodValue = AsPl(method);
  if (httpauth_digest_response_auth(&response, &methodValue, ha1) != 0) return TCheck::Wrong;
  if (!ofThisKind) return TCheck::Stale;
  const long long now = Now();
  ForgetOld(now);
  // Right, but after its time: the phone asks again with a fresh nonce without asking its user (RFC 2617 stale).
  if (now - issued > kNonceLifetime || issued > now + 5 || issued <= staleUpTo_) return TCheck::Stale;
  // Without qop (RFC 2069) there is no count: the nonce is good once. With it, each use counts up.
  unsigned long count = 1;
  if (response.qop.l != 0) {
    if (response.nc.l != 8) return TCheck::Wrong;
    char text[9] = {};
    std::snprintf(text, sizeof text, "%.*s", 8, response.nc.p);
    char* end = nullptr;
    count = std::strtoul(text, &end, 16);
    if (end != text + 8 || count == 0) return TCheck::Wrong;
  }
  auto [known, first] = counts_.try_emplace(nonce, count);
  if (!first) {
    if (count <= known->second) return TCheck::Replayed;
    known->second = count;
  }
  return TCheck::Good;
}

}  // namespace vantrel::telephony
