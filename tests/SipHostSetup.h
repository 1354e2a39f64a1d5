#pragma once

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

// The SIP tests' host: stations 101 to 104, of which 103 and 104 are SIP stations (passwords pw-103 and pw-104),
// a trunk at 127.0.0.1, and the embedded CRM.
struct TSipHostSetup {
  int sipPort = 0;
  int trunkPort = 0;
  std::string rtpPorts;  // each test file its own range, so suites running side by side never share a port
  int trunks = 20;
  std::string extraSip;    // further [SIP] lines
  std::string extraTrunk;  // further [Trunk] lines

  void Write(const std::filesystem::path& ini) const {
    std::ofstream(ini / "Settings.ini")
        << "[Connection]\nCryptConnectionString=0\nConnectionString=Provider=SQLite;Data Source=crm.sqlite3\n";
    std::ofstream(ini / "Exchange.ini")
        << "[Exchange]\nTrunks=" << trunks << "\n[Stations]\n101=Trunk 101\n102=Seat 102\n103=Seat 103\n104=Seat 104\n"
        << "[SIP]\nAddress=127.0.0.1\nPort=" << sipPort << "\nRtpPorts=" << rtpPorts << "\n"
        << extraSip << "[Passwords]\n103=pw-103\n104=pw-104\n[Trunk]\nAddress=127.0.0.1\nPort=" << trunkPort << "\n"
        << extraTrunk;
  }

  // Trunk line 101 routes every caller to 103.
  static void WriteRouteTo103(const std::filesystem::path& ini) {
    std::ofstream(ini / "Rules.ini")
        << "[Rules]\nName=Rules\nEnabled=1\nSystemPhoneNumber=\nRingTimeout=20\n[Rules_Items]\nCount=1\nItemID=1\n"
           "[Rules_0]\nID=1\nOrder=0\nName=Inbound\nEnabled=1\n[Rules_0_Items]\nCount=1\nItemID=1\n"
           "[Rules_0_0]\nID=1\nOrder=0\nEnabled=1\nActionType=2\nPhoneNumber=103\n";
    std::ofstream(ini / "Lines.ini")
        << "[Lines_Items]\nCount=1\nItemID=0\n[Lines_0]\nID=0\nOrder=0\nName=Trunk 101\nEnabled=1\nRuleID=1\n"
           "IsOuter=1\nUsingDND=0\n";
  }
};

// What a datagram sent from the loopback port (0: one of its own) to the other gets back within the time, or empty.
inline std::string AskUdp(int fromPort, int port, const std::string& message, std::chrono::milliseconds wait) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  local.sin_port = htons(static_cast<std::uint16_t>(fromPort));
  ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(static_cast<std::uint16_t>(port));
  ::sendto(fd, message.data(), message.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  std::string answer;
  pollfd ready{fd, POLLIN, 0};
  if (::poll(&ready, 1, static_cast<int>(wait.count())) > 0) {
    char buffer[8192];
    const ssize_t size = ::recv(fd, buffer, sizeof buffer, 0);
    if (size > 0) answer.assign(buffer, static_cast<std::size_t>(size));
  }
  ::close(fd);
  return answer;
}
