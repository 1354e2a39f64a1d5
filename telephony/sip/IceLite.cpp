#include "IceLite.h"

#include <openssl/rand.h>

#include <cstring>

extern "C" {
#include <re.h>
}

namespace vantrel::telephony {

namespace {

// ice-char (RFC 8839 §5.4): letters, digits, + and /.
std::string RandomIceText(std::size_t length) {
  static const char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::vector<unsigned char> bytes(length);
  RAND_bytes(bytes.data(), static_cast<int>(bytes.size()));
  std::string text;
  for (unsigned char byte : bytes) text += kChars[byte % 64];
  return text;
}

std::vector<std::uint8_t> Bytes(const mbuf* buffer) {
  return std::vector<std::uint8_t>(buffer->buf, buffer->buf + buffer->end);
}

}  // namespace

TIceLite::TIceLite() : ufrag_(RandomIceText(8)), password_(RandomIceText(24)) {}

TIceLite::TCheck TIceLite::Receive(const std::uint8_t* data, std::size_t size, const sockaddr_in& from) const {
  TCheck check;
  if (!LooksLikeStun(data, size) || size > 1500) return check;
  mbuf* buffer = mbuf_alloc(size);
  if (buffer == nullptr) return check;
  mbuf_write_mem(buffer, data, size);
  buffer->pos = 0;
  stun_msg* message = nullptr;
  stun_unknown_attr unknown{};
  const int undecodable = stun_msg_decode(&message, buffer, &unknown);
  mem_deref(buffer);
  // Answers, indications and what is no STUN get nothing back.
  if (undecodable != 0 || stun_msg_class(message) != STUN_CLASS_REQUEST ||
      stun_msg_method(message) != STUN_METHOD_BINDING) {
    mem_deref(message);
    return check;
  }
  const auto* key = reinterpret_cast<const std::uint8_t*>(password_.data());
  const stun_attr* user = stun_msg_attr(message, STUN_ATTR_USERNAME);
  const bool hasIntegrity = stun_msg_attr(message, STUN_ATTR_MSG_INTEGRITY) != nullptr;
  std::uint16_t refusal = 0;
  const char* reason = nullptr;
  if (user == nullptr || !hasIntegrity) {
    refusal = 400;  // RFC 8489 §9.1.3: no credentials at all
    reason = "Bad Request";
  } else if (std::strncmp(user->v.username, (ufrag_ + ":").c_str(), ufrag_.size() + 1) != 0 ||
             stun_msg_chk_mi(message, key, password_.size()) != 0) {
    refusal = 401;
    reason = "Unauthorized";
  }
  mbuf* answer = mbuf_alloc(256);
  if (answer == nullptr) {
    mem_deref(message);
    return check;
  }
  sa mapped{};
  sa_set_sa(&mapped, reinterpret_cast<const sockaddr*>(&from));
  int error = 0;
  if (refusal != 0) {
    // Refusals carry no integrity: whoever asked does not know our password.
    stun_errcode code{refusal, const_cast<char*>(reason)};
    error = stun_msg_encode(answer, STUN_METHOD_BINDING, STUN_CLASS_ERROR_RESP, stun_msg_tid(message), &code, nullptr,
                            0, true, 0x00, 0);
  } else {
    error = stun_msg_encode(answer, STUN_METHOD_BINDING, STUN_CLASS_SUCCESS_RESP, stun_msg_tid(message), nullptr, key,
                            password_.size(), true, 0x00, 1, STUN_ATTR_XOR_MAPPED_ADDR, &mapped);
    check.proven = error == 0;
  }
  if (error == 0) check.answer = Bytes(answer);
  mem_deref(answer);
  mem_deref(message);
  return check;
}

}  // namespace vantrel::telephony
