#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "Loopback.h"

// SIP over TLS as a test's phone or trunk speaks it: one connection on loopback, messages whole (headers and a
// Content-Length body). As a client it trusts only the CA file it is given and checks the address in the
// certificate; as a server it shows the certificate it is given.
class TlsSipConnection {
 public:
  TlsSipConnection() = default;
  ~TlsSipConnection() { Close(); }
  TlsSipConnection(const TlsSipConnection&) = delete;
  TlsSipConnection& operator=(const TlsSipConnection&) = delete;

  // Connects to the loopback port and shakes hands; false (and OpenSSL's reason in *why) when it fails.
  bool Connect(int port, const std::string& caFile, std::string* why) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to = Loopback(port);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) return Failed("cannot connect", why);
    context_ = SSL_CTX_new(TLS_client_method());
    SSL_CTX_load_verify_locations(context_, caFile.c_str(), nullptr);
    SSL_CTX_set_verify(context_, SSL_VERIFY_PEER, nullptr);
    X509_VERIFY_PARAM_set1_ip_asc(SSL_CTX_get0_param(context_), "127.0.0.1");
    ssl_ = SSL_new(context_);
    SSL_set_fd(ssl_, fd_);
    if (SSL_connect(ssl_) != 1) return Failed("handshake", why);
    return true;
  }
  // Takes the next connection on the listening socket (within the time) and shakes hands as the server.
  bool Accept(int listener, const std::string& certificate, const std::string& key, std::string* why,
              std::chrono::milliseconds wait = std::chrono::seconds(10)) {
    pollfd ready{listener, POLLIN, 0};
    if (::poll(&ready, 1, static_cast<int>(wait.count())) <= 0) return Failed("no connection came", why);
    fd_ = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    context_ = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate_chain_file(context_, certificate.c_str());
    SSL_CTX_use_PrivateKey_file(context_, key.c_str(), SSL_FILETYPE_PEM);
    ssl_ = SSL_new(context_);
    SSL_set_fd(ssl_, fd_);
    timeval limit{10, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    if (SSL_accept(ssl_) != 1) return Failed("handshake", why);
    return true;
  }
  int LocalPort() const {
    sockaddr_in local{};
    socklen_t size = sizeof local;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &size);
    return ntohs(local.sin_port);
  }
  void Send(const std::string& text) { SSL_write(ssl_, text.data(), static_cast<int>(text.size())); }
  // The next message within the time, or empty (closed, nothing came).
  std::string Receive(std::chrono::milliseconds wait = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
      if (const std::size_t end = buffer_.find("\r\n\r\n"); end != std::string::npos) {
        std::size_t length = 0;
        for (const char* name : {"\r\nContent-Length:", "\r\nl:"}) {
          if (const std::size_t at = buffer_.find(name); at != std::string::npos && at < end)
            length = std::strtoul(buffer_.c_str() + at + std::string(name).size(), nullptr, 10);
        }
        if (buffer_.size() >= end + 4 + length) {
          std::string message = buffer_.substr(0, end + 4 + length);
          buffer_.erase(0, end + 4 + length);
          return message;
        }
      }
      if (SSL_pending(ssl_) == 0) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd ready{fd_, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) <= 0) return {};
      }
      char chunk[4096];
      const int size = SSL_read(ssl_, chunk, sizeof chunk);
      if (size <= 0) return {};
      buffer_.append(chunk, static_cast<std::size_t>(size));
    }
  }

 private:
  bool Failed(const char* what, std::string* why) {
    if (why != nullptr) {
      char text[256] = "no detail";
      if (const unsigned long code = ERR_get_error(); code != 0) ERR_error_string_n(code, text, sizeof text);
      *why = std::string(what) + ": " + text;
    }
    ERR_clear_error();
    return false;
  }
  void Close() {
    if (ssl_ != nullptr) {
      SSL_shutdown(ssl_);
      SSL_free(ssl_);
    }
    if (context_ != nullptr) SSL_CTX_free(context_);
    if (fd_ >= 0) ::close(fd_);
    ssl_ = nullptr;
    context_ = nullptr;
    fd_ = -1;
  }

  int fd_ = -1;
  SSL_CTX* context_ = nullptr;
  SSL* ssl_ = nullptr;
  std::string buffer_;
};
