#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdint>

// The socket address of the port at the loopback address (another of 127.0.0.0/8 when given).
inline sockaddr_in Loopback(int port, const char* host = "127.0.0.1") {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  ::inet_pton(AF_INET, host, &address.sin_addr);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  return address;
}
