// What the SIP suites' fixtures share: a host whose exchange has a SIP port, its logs, console and CRM file, SIPp
// against the port, and the relay port a trunk caller's answer named (SIPp notes it down).
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "HostClient.h"
#include "SpawnedProgram.h"
#include "WaitUntil.h"

class SipHostTest : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_EQ(host_.Stop(), 0); }

  std::string Log() { return ReadServerLog(host_.IniFolder(), "Info"); }
  std::string ErrorLog() { return ReadServerLog(host_.IniFolder(), "Error"); }
  std::string Crm(const std::string& sql) { return CrmFile(host_.IniFolder() / "crm.sqlite3").Text(sql); }
  std::string Exchange(const std::string& command) { return host_.RunExchange(command).second; }
  // Whether a line of the exchange's status names both.
  bool PartyShows(const std::string& a, const std::string& b) {
    std::istringstream status(Exchange("status"));
    for (std::string line; std::getline(status, line);) {
      if (line.find(a) != std::string::npos && line.find(b) != std::string::npos) return true;
    }
    return false;
  }

  // SIPp with the scenario of tests/sip, from the address and port, with -key pairs and further options; it gives
  // up after sippTimeout_.
  std::unique_ptr<SpawnedProgram> Sipp(const std::string& scenario, int localPort,
                                       const std::vector<std::string>& options, const char* from = "127.0.0.1") {
    std::vector<std::string> command = {"/usr/bin/sipp",
                                        "127.0.0.1:" + std::to_string(sipPort_),
                                        "-sf",
                                        std::string(VANTREL_SOURCE_DIR) + "/tests/sip/" + scenario,
                                        "-i",
                                        from,
                                        "-p",
                                        std::to_string(localPort),
                                        "-m",
                                        "1",
                                        "-nostdin",
                                        "-timeout",
                                        sippTimeout_,
                                        "-timeout_error"};
    command.insert(command.end(), options.begin(), options.end());
    return std::make_unique<SpawnedProgram>(command);
  }
  // Registers a phone for the station from the port (0: the phones' port); SIPp's exit code (0: registered).
  int Register(const std::string& station, const std::string& password, int port = 0, int expiry = 3600) {
    const auto credentials = host_.IniFolder() / ("phone-" + station + ".csv");
    std::ofstream(credentials) << "SEQUENTIAL\n"
                               << station << ";[authentication username=" << station << " password=" << password
                               << "]\n";
    return Sipp("register.xml", port == 0 ? phonePort_ : port,
                {"-inf", credentials.string(), "-key", "expiry", std::to_string(expiry)})
        ->WaitForExit(std::chrono::seconds(20));
  }

  // A phone from the port running the scenario (phone.xml answers whatever rings it), its media at the peer's port
  // in the law, with further options.
  std::unique_ptr<SpawnedProgram> Phone(const std::string& scenario, int port, int mediaPort, int law,
                                        const std::vector<std::string>& more = {}) {
    std::vector<std::string> options = {"-key", "rtp_ip",   "127.0.0.1",
                                        "-key", "rtp_port", std::to_string(mediaPort),
                                        "-key", "law",      std::to_string(law)};
    options.insert(options.end(), more.begin(), more.end());
    return Sipp(scenario, port, options);
  }
  // A trunk caller of the number running the scenario (caller.xml talks talkMs and hangs up) from the port (0: the
  // trunk's), its media at the peer's port in the law; its answer's relay port goes to MediaNote().
  std::unique_ptr<SpawnedProgram> TrunkCaller(const std::string& scenario, const std::string& caller, int mediaPort,
                                              int law, int talkMs, const char* called = "101",
                                              const char* transport = "u1", int port = 0,
                                              const std::vector<std::string>& more = {}) {
    std::vector<std::string> options = {"-t",   transport, "-s",         called,      "-key", "caller",
                                        caller, "-key",    "media_note", MediaNote(), "-d",   std::to_string(talkMs)};
    options.insert(options.end(), more.begin(), more.end());
    return Phone(scenario, port == 0 ? trunkPort_ : port, mediaPort, law, options);
  }

  std::string MediaNote() const { return (host_.IniFolder() / "caller-media-port").string(); }
  // The server's media port the caller's answer named, once it came; 0 when none came in time.
  int CallersRelayPort(std::chrono::milliseconds deadline = std::chrono::seconds(5)) {
    int port = 0;
    WaitUntil(
        [&] {
          std::ifstream note(MediaNote());
          std::string text;
          std::getline(note, text);  // "m=audio PORT"
          port = text.size() > 8 ? std::atoi(text.c_str() + 8) : 0;
          return port > 0;
        },
        deadline);
    return port;
  }

  HostProcess host_;
  int sipPort_ = 0, trunkPort_ = 0, phonePort_ = 0;
  std::string sippTimeout_ = "40s";
};
