#include "DtlsSrtp.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>
#include <stdexcept>

extern "C" {
#include <re.h>
}

#include "support/VantrelCommonRoutines.h"

namespace vantrel::telephony {

namespace {

// What a datagram of ours may carry: below any path's MTU, as browsers keep theirs.
constexpr long kMtu = 1200;
constexpr std::size_t kSrtpMaster = 30;  // AES-128 key and 112-bit salt

std::string FingerprintOf(X509* certificate) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (X509_digest(certificate, EVP_sha256(), digest, &size) != 1) return {};
  static const char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (unsigned int i = 0; i < size; ++i) {
    if (i != 0) text += ':';
    text += kHex[digest[i] >> 4];
    text += kHex[digest[i] & 15];
  }
  return text;
}

std::string OpenSslError() {
  char text[256] = "no detail";
  if (const unsigned long code = ERR_get_error(); code != 0) ERR_error_string_n(code, text, sizeof text);
  ERR_clear_error();
  return text;
}

}  // namespace

// The datagram BIO: each record OpenSSL writes leaves as one datagram; a read gives the datagram at hand.
struct TDtlsBio {
  static BIO_METHOD* Method() {
    static BIO_METHOD* method = [] {
      BIO_METHOD* made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "vantrel relay datagram");
      BIO_meth_set_write(made, Write);
      BIO_meth_set_read(made, Read);
      BIO_meth_set_ctrl(made, Control);
      BIO_meth_set_create(made, [](BIO* bio) {
        BIO_set_init(bio, 1);
        return 1;
      });
      return made;
    }();
    return method;
  }
  static int Write(BIO* bio, const char* data, int size) {
    auto* self = static_cast<TDtlsSrtp*>(BIO_get_data(bio));
    if (self == nullptr || self->sending_ == nullptr || size <= 0) return -1;
    (*self->sending_)(reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size));
    return size;
  }
  static int Read(BIO* bio, char* data, int size) {
    auto* self = static_cast<TDtlsSrtp*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    if (self == nullptr || self->incoming_ == nullptr || size <= 0) {
      BIO_set_retry_read(bio);
      return -1;
    }
    const std::size_t taken = std::min(self->incomingSize_, static_cast<std::size_t>(size));
    std::memcpy(data, self->incoming_, taken);
    self->incoming_ = nullptr;  // a datagram is read once, whole or cut
    self->incomingSize_ = 0;
    return static_cast<int>(taken);
  }
  static long Control(BIO*, int command, long, void*) {
    switch (command) {
      case BIO_CTRL_FLUSH:
        return 1;
      case BIO_CTRL_DGRAM_QUERY_MTU:
      case BIO_CTRL_DGRAM_GET_FALLBACK_MTU:
        return kMtu;
      case BIO_CTRL_DGRAM_GET_MTU_OVERHEAD:
        return 28;  // IPv4 and UDP headers
      default:
        return 0;
    }
  }
};

TDtlsIdentity::TDtlsIdentity() {
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_EC_gen("P-256"), EVP_PKEY_free);
  std::unique_ptr<X509, decltype(&X509_free)> certificate(X509_new(), X509_free);
  if (!key || !certificate) throw std::runtime_error("relay: no DTLS key: " + OpenSslError());
  unsigned char serial[8];
  RAND_bytes(serial, sizeof serial);
  serial[0] &= 0x7F;
  BIGNUM* number = BN_bin2bn(serial, sizeof serial, nullptr);
  BN_to_ASN1_INTEGER(number, X509_get_serialNumber(certificate.get()));
  BN_free(number);
  X509_set_version(certificate.get(), 2);
  X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -24 * 3600);
  X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 365L * 24 * 3600);
  X509_NAME* name = X509_get_subject_name(certificate.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("vantrel relay"), -1, -1,
                             0);
  X509_set_issuer_name(certificate.get(), name);
  X509_set_pubkey(certificate.get(), key.get());
  if (X509_sign(certificate.get(), key.get(), EVP_sha256()) == 0)
    throw std::runtime_error("relay: no DTLS certificate: " + OpenSslError());
  context_ = SSL_CTX_new(DTLS_method());
  if (context_ == nullptr) throw std::runtime_error("relay: no DTLS: " + OpenSslError());
  SSL_CTX_set_min_proto_version(context_, DTLS1_2_VERSION);
  if (SSL_CTX_use_certificate(context_, certificate.get()) != 1 || SSL_CTX_use_PrivateKey(context_, key.get()) != 1 ||
      SSL_CTX_set_tlsext_use_srtp(context_, "SRTP_AES128_CM_SHA1_80") != 0) {
    SSL_CTX_free(context_);
    throw std::runtime_error("relay: DTLS refuses our certificate: " + OpenSslError());
  }
  // The party's certificate is self-signed too: it is trusted by its fingerprint, checked after the handshake.
  SSL_CTX_set_verify(context_, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT,
                     [](int, X509_STORE_CTX*) { return 1; });
  SSL_CTX_set_read_ahead(context_, 1);
  fingerprint_ = FingerprintOf(certificate.get());
}

TDtlsIdentity::~TDtlsIdentity() { SSL_CTX_free(context_); }

const char* NameOf(TDtlsSrtp::TState state) {
  switch (state) {
    case TDtlsSrtp::TState::Waiting:
      return "Waiting";
    case TDtlsSrtp::TState::Handshaking:
      return "Handshaking";
    case TDtlsSrtp::TState::Ready:
      return "Ready";
    case TDtlsSrtp::TState::Failed:
      return "Failed";
  }
  return "?";
}

TDtlsSrtp::TDtlsSrtp(const TDtlsIdentity& identity, bool server, std::string fingerprint, std::string name)
    : server_(server), fingerprint_(std::move(fingerprint)), name_(std::move(name)) {
  ssl_ = SSL_new(identity.Context());
  BIO* bio = BIO_new(TDtlsBio::Method());
  if (ssl_ == nullptr || bio == nullptr) {
    if (bio != nullptr) BIO_free(bio);
    SSL_free(ssl_);
    throw std::runtime_error("relay: no DTLS session: " + OpenSslError());
  }
  BIO_set_data(bio, this);
  SSL_set_bio(ssl_, bio, bio);
  SSL_set_options(ssl_, SSL_OP_NO_QUERY_MTU);
  SSL_set_mtu(ssl_, kMtu - 28);
  if (server_)
    SSL_set_accept_state(ssl_);
  else
    SSL_set_connect_state(ssl_);
}

TDtlsSrtp::~TDtlsSrtp() { SSL_free(ssl_); }

void TDtlsSrtp::Become(TState state) {
  // Ready and Failed are final; only a waiting session starts.
  const bool legal = state_ != TState::Ready && state_ != TState::Failed && state != state_ &&
                     !(state == TState::Waiting);
  if (!legal) return;
  LogFormat("SIP: DTLS of %s: %s -> %s", {name_, NameOf(state_), NameOf(state)});
  state_ = state;
}

void TDtlsSrtp::Start(const TSend& send) {
  if (server_ || state_ != TState::Waiting) return;
  Become(TState::Handshaking);
  Drive(send);
}

void TDtlsSrtp::Receive(const std::uint8_t* data, std::size_t size, const TSend& send) {
  if (state_ == TState::Failed) return;
  if (state_ == TState::Waiting) {
    if (!server_) return;  // the client speaks first: this is no answer of ours
    Become(TState::Handshaking);
  }
  incoming_ = data;
  incomingSize_ = size;
  if (state_ == TState::Handshaking) {
    Drive(send);
  } else {
    // After the handshake only alerts and retransmitted finals come; reading answers them.
    sending_ = &send;
    char ignored[256];
    while (SSL_read(ssl_, ignored, sizeof ignored) > 0) {
    }
    if ((SSL_get_shutdown(ssl_) & SSL_RECEIVED_SHUTDOWN) != 0) Fail("the party closed DTLS");
    sending_ = nullptr;
    ERR_clear_error();
  }
  incoming_ = nullptr;
  incomingSize_ = 0;
}

void TDtlsSrtp::Tick(const TSend& send) {
  if (state_ != TState::Handshaking) return;
  sending_ = &send;
  if (DTLSv1_handle_timeout(ssl_) < 0) Fail("the handshake timed out");
  sending_ = nullptr;
}

void TDtlsSrtp::Drive(const TSend& send) {
  sending_ = &send;
  const int result = SSL_do_handshake(ssl_);
  sending_ = nullptr;
  if (result == 1) return Finish();
  const int error = SSL_get_error(ssl_, result);
  if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
    ERR_clear_error();
    return;
  }
  Fail("the handshake failed: " + OpenSslError());
}

void TDtlsSrtp::Finish() {
  std::unique_ptr<X509, decltype(&X509_free)> certificate(SSL_get1_peer_certificate(ssl_), X509_free);
  if (!certificate) return Fail("the party showed no certificate");
  std::string expected = fingerprint_;
  const std::size_t space = expected.find(' ');
  std::string hash = space == std::string::npos ? std::string() : expected.substr(0, space);
  std::transform(hash.begin(), hash.end(), hash.begin(), [](unsigned char c) { return std::tolower(c); });
  expected = space == std::string::npos ? std::string() : expected.substr(space + 1);
  std::transform(expected.begin(), expected.end(), expected.begin(), [](unsigned char c) { return std::toupper(c); });
  if (hash != "sha-256" || FingerprintOf(certificate.get()) != expected)
    return Fail("the party's certificate is not the one its SDP names");
  const SRTP_PROTECTION_PROFILE* profile = SSL_get_selected_srtp_profile(ssl_);
  if (profile == nullptr || profile->id != SRTP_AES128_CM_SHA1_80) return Fail("no SRTP profile was agreed");
  // RFC 5764 §4.2: the client's key, the server's key, the client's salt, the server's salt.
  std::uint8_t material[2 * kSrtpMaster];
  static const char kLabel[] = "EXTRACTOR-dtls_srtp";
  if (SSL_export_keying_material(ssl_, material, sizeof material, kLabel, sizeof kLabel - 1, nullptr, 0, 0) != 1)
    return Fail("no SRTP keys: " + OpenSslError());
  static_assert(sizeof(TSrtpMaster) == kSrtpMaster);
  TSrtpMaster client{}, server{};
  std::memcpy(client.data(), material, 16);
  std::memcpy(server.data(), material + 16, 16);
  std::memcpy(client.data() + 16, material + 32, 14);
  std::memcpy(server.data() + 16, material + 46, 14);
  OPENSSL_cleanse(material, sizeof material);
  try {
    srtp_ = std::make_unique<TSrtpStreams>(server_ ? server : client, server_ ? client : server);
  } catch (const std::runtime_error&) {
    return Fail("SRTP does not start");
  }
  OPENSSL_cleanse(client.data(), client.size());
  OPENSSL_cleanse(server.data(), server.size());
  Become(TState::Ready);
}

void TDtlsSrtp::Fail(const std::string& why) {
  ERR_clear_error();
  if (state_ == TState::Failed) return;
  failure_ = why;
  LogFormat("SIP: DTLS of %s failed: %s", {name_, why});
  state_ = TState::Failed;
}

std::size_t TDtlsSrtp::Protect(std::uint8_t* packet, std::size_t size, std::size_t capacity) {
  return state_ == TState::Ready ? srtp_->Protect(packet, size, capacity) : 0;
}

std::size_t TDtlsSrtp::Unprotect(std::uint8_t* packet, std::size_t size) {
  return state_ == TState::Ready ? srtp_->Unprotect(packet, size) : 0;
}

}  // namespace vantrel::telephony
