// A client that accepts TCP connections (the kernel does it for the backlog) and never reads or answers: what a
// hung or firewalled client looks like to the server.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

class SilentPeer {
 public:
  SilentPeer() {
    socket_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(socket_, 1024);
    socklen_t length = sizeof address;
    ::getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
  }
  ~SilentPeer() { ::close(socket_); }
  SilentPeer(const SilentPeer&) = delete;
  SilentPeer& operator=(const SilentPeer&) = delete;
  std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }
  // A listener reference at the peer, for any of the listener interfaces.
  std::string Corbaloc() const { return "corbaloc::" + Address() + "/Listener"; }

 private:
  int socket_ = -1;
  int port_ = 0;
};
