#include "TlsContext.h"

#include <omniORB4/CORBA.h>
#include <omniORB4/sslContext.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cstring>
#include <fstream>
#include <stdexcept>

namespace vantrel {

namespace {

std::string OpenSslError() {
  char text[256] = "";
  ERR_error_string_n(ERR_get_error(), text, sizeof text);
  return text;
}

// omniORB's own context reads certificate and key from one file; ours takes them apart, as they are issued.
class TTlsContext final : public sslContext {
 public:
  explicit TTlsContext(TTlsFiles files)
      : sslContext(files.caFile.c_str(), files.privateKeyFile.c_str(), files.privateKeyPassword.c_str()),
        files_(std::move(files)) {}

 protected:
  void set_certificate() override {
    if (SSL_CTX_use_certificate_chain_file(get_SSL_CTX(), files_.certificateFile.c_str()) != 1) {
      Fail("Cannot use the TLS certificate " + files_.certificateFile + ": " + OpenSslError());
    }
  }
  void set_privatekey() override {
    SSL_CTX* context = get_SSL_CTX();
    SSL_CTX_set_default_passwd_cb_userdata(context, &files_.privateKeyPassword);
    SSL_CTX_set_default_passwd_cb(context, [](char* buffer, int size, int, void* password) {
      const std::string& text = *static_cast<std::string*>(password);
      const int length = static_cast<int>(std::min<std::size_t>(text.size(), static_cast<std::size_t>(size)));
      std::memcpy(buffer, text.data(), static_cast<std::size_t>(length));
      return length;
    });
    if (SSL_CTX_use_PrivateKey_file(context, files_.privateKeyFile.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_check_private_key(context) != 1) {
      Fail("Cannot use the TLS private key " + files_.privateKeyFile + ": " + OpenSslError());
    }
  }

 private:
  [[noreturn]] static void Fail(const std::string& text) {
    // omniORB turns this into a failed ORB_init; the text goes to standard error first, as nothing else says it.
    std::fprintf(stderr, "vantrel: %s\n", text.c_str());
    throw CORBA::INITIALIZE(0, CORBA::COMPLETED_NO);
  }

  TTlsFiles files_;
};

void RequireReadable(const std::string& what, const std::string& fileName) {
  if (fileName.empty()) throw std::runtime_error("TLS needs a " + what + " file");
  if (!std::ifstream(fileName)) throw std::runtime_error("Cannot read the TLS " + what + " file " + fileName);
}

}  // namespace

void UseTls(const TTlsFiles& files) {
  RequireReadable("certificate", files.certificateFile);
  RequireReadable("private key", files.privateKeyFile);
  RequireReadable("CA", files.caFile);
  // Owned by omniORB's SSL transport from here on, for the life of the process.
  sslContext::singleton = new TTlsContext(files);
}

}  // namespace vantrel
