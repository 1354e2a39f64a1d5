// SIP over TLS: the listeners' certificate (the TLS port's and the secure WebSocket's), and the trust the
// trunk's certificate must earn.
#include "telephony/sip/SipPort.h"

#include <optional>

extern "C" {
#include <re.h>
// The stack's TLS is OpenSSL's (Debian builds it so); its header declares the context's accessor only then.
struct ssl_ctx_st* tls_openssl_context(const struct tls* tls);
}

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>

#include "support/VantrelCommonRoutines.h"
#include "telephony/sip/SipWebSocket.h"

namespace vantrel::telephony {

namespace {

std::string OpenSslReason() {
  char text[256] = "no detail";
  if (const unsigned long code = ERR_peek_last_error(); code != 0) ERR_error_string_n(code, text, sizeof text);
  ERR_clear_error();
  return text;
}

// What is wrong with reading the file, or nothing.
std::string Unreadable(const std::string& file) {
  std::ifstream probe(file);
  if (probe) return {};
  return std::strerror(errno != 0 ? errno : ENOENT);
}

// The listener takes any phone (its password proves it, not a certificate); a connection of ours, which goes to
// the trunk only, must show a certificate the trust store vouches for.
int VerifyPeer(int preverified, X509_STORE_CTX* store) {
  const SSL* ssl = static_cast<const SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
  return ssl != nullptr && SSL_is_server(ssl) ? 1 : preverified;
}

// Our certificate chain and its key into the context; what is wrong with them, or nothing.
std::string UseCertificate(SSL_CTX* context, const TSipConfig& config, const char* needs) {
  if (config.certificateFile.empty()) return std::string("[SIP] ") + needs + " needs CertificateFile";
  for (const std::string* file : {&config.certificateFile, &config.privateKeyFile}) {
    if (const std::string why = Unreadable(*file); !why.empty()) return "cannot read " + *file + ": " + why;
  }
  SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
  if (SSL_CTX_use_certificate_chain_file(context, config.certificateFile.c_str()) != 1)
    return config.certificateFile + " holds no certificate: " + OpenSslReason();
  if (SSL_CTX_use_PrivateKey_file(context, config.privateKeyFile.c_str(), SSL_FILETYPE_PEM) != 1)
    return config.privateKeyFile + " holds no private key: " + OpenSslReason();
  if (SSL_CTX_check_private_key(context) != 1)
    return config.privateKeyFile + " is not the key of " + config.certificateFile;
  return {};
}

std::string ReadWhole(const std::string& file) {
  std::ifstream stream(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
}

}  // namespace

std::string TSipPort::StartTls() {
  struct tls* tls = nullptr;
  if (tls_alloc(&tls, TLS_METHOD_SSLV23, nullptr, nullptr) != 0) return "no TLS context";
  SSL_CTX* context = tls_openssl_context(tls);
  const auto fail = [&](const std::string& why) {
    mem_deref(tls);
    return why;
  };
  if (const std::string problem = UseCertificate(context, config_, "TlsPort"); !problem.empty()) return fail(problem);
  if (config_.trunk.transport == "TLS") {
    SSL_CTX_set_default_verify_paths(context);
    if (!config_.trunk.caFile.empty() &&
        SSL_CTX_load_verify_locations(context, config_.trunk.caFile.c_str(), nullptr) != 1)
      return fail("[Trunk] CAFile " + config_.trunk.caFile + " cannot be read: " + OpenSslReason());
    X509_VERIFY_PARAM_set1_ip_asc(SSL_CTX_get0_param(context), config_.trunk.address.c_str());
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, VerifyPeer);
  }
  sa local{};
  sa_set_str(&local, config_.address.c_str(), static_cast<std::uint16_t>(config_.tlsPort));
  const int error = sip_transp_add(sip_, SIP_TRANSP_TLS, &local, tls);
  mem_deref(tls);  // the transport keeps its own reference
  if (error != 0)
    return "cannot listen on " + config_.address + ":" + std::to_string(config_.tlsPort) + ": " + std::strerror(error);
  return {};
}

std::string TSipPort::StartSecureWebSocket() {
  // The certificate is checked here, where a fault can be named; the stack takes it whole, chain and key.
  std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> probe(SSL_CTX_new(TLS_server_method()), SSL_CTX_free);
  if (probe == nullptr) return "no TLS context";
  if (const std::string problem = UseCertificate(probe.get(), config_, "SecureWebSocketPort"); !problem.empty())
    return problem;
  std::string pem = ReadWhole(config_.certificateFile);
  if (config_.privateKeyFile != config_.certificateFile) pem += "\n" + ReadWhole(config_.privateKeyFile);
  try {
    secureWebSockets_ = std::make_unique<TSipWebSocket>(
        config_.address, config_.secureWebSocketPort, config_.address, config_.port,
        [this](const std::string& source) { OnBrowserGone(source); }, pem,
        [this](const std::string& ip) { return guard_.Admit(ip, TSipGuard::TClock::now()); });
  } catch (const std::runtime_error& refused) {
    OPENSSL_cleanse(pem.data(), pem.size());
    return refused.what();
  }
  OPENSSL_cleanse(pem.data(), pem.size());
  return {};
}

std::string TSipPort::TlsRoute(const TSipRegistrar::TContact& contact) const {
  // A phone over TLS listens nowhere we could reach with our own connection (nor would it show a certificate):
  // its requests go back over the connection it registered on, which the stack finds by that connection's address.
  std::string uri = contact.uri;
  std::transform(uri.begin(), uri.end(), uri.begin(), [](unsigned char c) { return std::tolower(c); });
  if (!tlsOn_ || (uri.find(";transport=tls") == std::string::npos && uri.rfind("sips:", 0) != 0)) return {};
  return "sip:" + contact.source + ";transport=tls";
}

}  // namespace vantrel::telephony
