#include "Srtp.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

extern "C" {
#include <re.h>
}

namespace vantrel::telephony {

namespace {

constexpr std::size_t kInlineKey = 40;  // base64 of the 30-byte master, no padding

bool IsBase64(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
  });
}

bool IsDigits(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](unsigned char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

TSrtpStreams::TSrtpStreams(const TSrtpMaster& ours, const TSrtpMaster& theirs) : ours_(ours), theirs_(theirs) {
  buffer_ = mbuf_alloc(2048);
  if (buffer_ == nullptr || srtp_alloc(&outbound_, SRTP_AES_CM_128_HMAC_SHA1_80, ours.data(), ours.size(), 0) != 0 ||
      srtp_alloc(&inbound_, SRTP_AES_CM_128_HMAC_SHA1_80, theirs.data(), theirs.size(), 0) != 0) {
    mem_deref(outbound_);
    mem_deref(inbound_);
    mem_deref(buffer_);
    throw std::runtime_error("SRTP does not start");
  }
}

TSrtpStreams::~TSrtpStreams() {
  mem_deref(outbound_);
  mem_deref(inbound_);
  mem_deref(buffer_);
}

std::size_t TSrtpStreams::Protect(std::uint8_t* packet, std::size_t size, std::size_t capacity) {
  if (size + kTag > capacity) return 0;
  mbuf_rewind(buffer_);
  if (mbuf_write_mem(buffer_, packet, size) != 0) return 0;
  buffer_->pos = 0;
  if (srtp_encrypt(outbound_, buffer_) != 0 || buffer_->end > capacity) return 0;
  std::memcpy(packet, buffer_->buf, buffer_->end);
  return buffer_->end;
}

std::size_t TSrtpStreams::Unprotect(std::uint8_t* packet, std::size_t size) {
  if (size < 12 + kTag) return 0;
  mbuf_rewind(buffer_);
  if (mbuf_write_mem(buffer_, packet, size) != 0) return 0;
  buffer_->pos = 0;
  if (srtp_decrypt(inbound_, buffer_) != 0) return 0;
  std::memcpy(packet, buffer_->buf, buffer_->end);
  return buffer_->end;
}

std::optional<TSdesCrypto> TSdesCrypto::Choose(const std::vector<std::string>& lines) {
  std::optional<TSdesCrypto> chosen;
  for (const std::string& line : lines) {
    // TAG SP SUITE SP KEY-PARAMS *(SP SESSION-PARAM)
    const std::string_view text(line);
    const std::size_t first = text.find(' ');
    const std::size_t second = first == std::string_view::npos ? first : text.find(' ', first + 1);
    if (second == std::string_view::npos) throw std::invalid_argument("a crypto line without a suite or key");
    const std::string_view tag = text.substr(0, first);
    const std::string_view suite = text.substr(first + 1, second - first - 1);
    std::string_view keys = text.substr(second + 1);
    keys = keys.substr(0, keys.find(' '));
    if (!IsDigits(tag) || tag.size() > 9) throw std::invalid_argument("a crypto line's tag is not a number");
    if (suite.empty() || keys.rfind("inline:", 0) != 0)
      throw std::invalid_argument("a crypto line's key is not inline:");
    if (suite != kSuite || chosen) continue;
    // Several keys (;) or a master key identifier (|MKI:LENGTH) the relay does not follow: the line is passed over.
    if (keys.find(';') != std::string_view::npos) continue;
    std::string_view info = keys.substr(7);
    const std::string_view key = info.substr(0, info.find('|'));
    if (key.size() != kInlineKey || !IsBase64(key))
      throw std::invalid_argument("a crypto line's key is not 30 bytes of base64");
    bool mki = false;
    for (std::size_t bar = info.find('|'); bar != std::string_view::npos; bar = info.find('|')) {
      info.remove_prefix(bar + 1);
      const std::string_view part = info.substr(0, info.find('|'));
      if (part.find(':') != std::string_view::npos) {
        mki = true;
      } else if (!(part.rfind("2^", 0) == 0 ? IsDigits(part.substr(2)) : IsDigits(part))) {
        throw std::invalid_argument("a crypto line's key lifetime is not a number");
      }
    }
    if (mki) continue;
    TSdesCrypto crypto;
    crypto.tag = std::stoi(std::string(tag));
    unsigned char decoded[kInlineKey];
    if (EVP_DecodeBlock(decoded, reinterpret_cast<const unsigned char*>(key.data()), static_cast<int>(key.size())) !=
        30)
      throw std::invalid_argument("a crypto line's key is not 30 bytes of base64");
    std::copy_n(decoded, crypto.master.size(), crypto.master.begin());
    OPENSSL_cleanse(decoded, sizeof decoded);
    chosen = crypto;
  }
  return chosen;
}

TSdesCrypto TSdesCrypto::Fresh(int tag) {
  TSdesCrypto crypto;
  crypto.tag = tag;
  if (RAND_bytes(crypto.master.data(), static_cast<int>(crypto.master.size())) != 1)
    throw std::runtime_error("no random bytes for an SRTP key");
  return crypto;
}

std::string TSdesCrypto::Line() const {
  unsigned char encoded[kInlineKey + 1];
  EVP_EncodeBlock(encoded, master.data(), static_cast<int>(master.size()));
  return "a=crypto:" + std::to_string(tag) + " " + kSuite +
         " inline:" + std::string(reinterpret_cast<const char*>(encoded), kInlineKey) + "\r\n";
}

std::optional<TSdesCrypto> AgreedSdes(const std::string& profile, const std::vector<std::string>& crypto, bool secure,
                                      bool off, bool required) {
  const std::optional<TSdesCrypto> offered = TSdesCrypto::Choose(crypto);
  const bool savp = profile == "RTP/SAVP";
  if (savp && !secure) throw std::invalid_argument("SRTP keys over signalling without TLS");
  if (!secure) return std::nullopt;  // a=crypto beside RTP/AVP is only a wish: plain RTP it is
  if (savp && off) throw std::invalid_argument("SRTP is off here");
  if (savp && !offered) throw std::invalid_argument("no crypto line of AES_CM_128_HMAC_SHA1_80");
  if (off) return std::nullopt;
  if (required && !offered) throw std::invalid_argument("plain RTP where SRTP is required");
  return offered;
}

}  // namespace vantrel::telephony
