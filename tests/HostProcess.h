#pragma once

#include <omniORB4/CORBA.h>
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "SpawnedProgram.h"
#include "WaitUntil.h"

// A vantrel-host child process on a loopback port of its own, with a fresh INI folder.
class HostProcess {
 public:
  explicit HostProcess(std::vector<std::string> extraEnvironment = {});
  ~HostProcess();

  // Starts the host and waits (with a deadline) until it reports where it serves; false when it exited instead.
  bool Start(int port = 0);
  // SIGTERM and wait; returns the exit code, or -1 when it did not end within the deadline.
  int Stop(std::chrono::milliseconds deadline = std::chrono::seconds(5));
  // SIGKILL, as a crash would end it; Start may be called again on the same INI folder.
  void Kill();
  // Waits for the process to end by itself.
  int WaitForExit(std::chrono::milliseconds deadline);

  int Port() const { return port_; }
  pid_t Pid() const { return pid_; }
  std::string Corbaloc() const;
  const std::filesystem::path& IniFolder() const { return ini_; }
  std::string Output() const { return output_; }
  // Reads more of its output until it holds the text; false when the deadline passed first.
  bool WaitForOutput(const std::string& text, std::chrono::milliseconds deadline = std::chrono::seconds(10));
  std::string ErrorOutput() const;
  // Runs vantrel-exchange against this host's exchange (the command, or standard input when input is given);
  // its exit code and what it printed.
  std::pair<int, std::string> RunExchange(const std::string& arguments, const std::string& input = {}) const;

 private:
  void ReadOutput(std::chrono::steady_clock::time_point deadline, const std::string& until);

  std::vector<std::string> environment_;
  std::filesystem::path ini_;
  int port_ = 0;
  pid_t pid_ = -1;
  int stdoutPipe_ = -1;
  std::string output_;
  int exitCode_ = -1;
};

int FreeLoopbackPort();
// A free loopback port whose next port is free too (baresip listens for TLS one above its SIP port).
int FreeLoopbackPortPair();

// The host environment entry that makes listeners stale after a second instead of the server's fifteen.
inline constexpr const char* kQuickStaleness = "VANTREL_LISTENER_STALE_SECONDS=1";

// The server's log of the kind ("Info" or "Error") in the INI folder's Logs, whole; empty when there is none.
std::string ReadServerLog(const std::filesystem::path& ini, const std::string& kind);

// The test process's own ORB, with an active root POA for listener servants.
CORBA::ORB_ptr TestORB();
PortableServer::POA_ptr TestPOA();

// The test binary itself, started again in one of its serving modes (see TestMain.cpp); its standard output is
// read, its errors go to the test's.
class ChildProcess : public SpawnedProgram {
 public:
  explicit ChildProcess(const std::vector<std::string>& arguments);
};
