#include "HostProcess.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

int FreeLoopbackPort() {
  const int socket = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  ::bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  ::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(socket);
  return ntohs(address.sin_port);
}

int FreeLoopbackPortPair() {
  for (;;) {
    const int port = FreeLoopbackPort();
    if (port >= 65535) continue;
    const int next = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port + 1));
    const bool free = ::bind(next, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(next);
    if (free) return port;
  }
}

std::string ReadServerLog(const fs::path& ini, const std::string& kind) {
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(ini / "Logs", error)) {
    if (entry.path().filename().string().rfind("VantrelServer" + kind, 0) == 0) {
      std::ifstream file(entry.path());
      std::ostringstream text;
      text << file.rdbuf();
      return text.str();
    }
  }
  return {};
}

HostProcess::HostProcess(std::vector<std::string> extraEnvironment) : environment_(std::move(extraEnvironment)) {
  static int counter = 0;
  ini_ = fs::temp_directory_path() / ("vantrel-host-" + std::to_string(::getpid()) + "-" + std::to_string(++counter));
  fs::remove_all(ini_);
  fs::create_directories(ini_);
}

HostProcess::~HostProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  if (stdoutPipe_ >= 0) ::close(stdoutPipe_);
  std::error_code ignored;
  fs::remove_all(ini_, ignored);
}

std::string HostProcess::Corbaloc() const {
  return "corbaloc::127.0.0.1:" + std::to_string(port_) + "/EnvironmentInstance";
}

std::pair<int, std::string> HostProcess::RunExchange(const std::string& arguments, const std::string& input) const {
  const std::filesystem::path output = ini_ / "tool.out";
  std::string command = std::string(VANTREL_EXCHANGE_PATH) + " --ini '" + ini_.string() + "' " + arguments + " > '" +
                        output.string() + "' 2>&1";
  if (!input.empty()) command = "printf '" + input + "' | " + command;
  const int status = std::system(command.c_str());
  std::ifstream file(output);
  std::ostringstream text;
  text << file.rdbuf();
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, text.str()};
}

std::string HostProcess::ErrorOutput() const {
  std::ifstream file(ini_ / "host-stderr.txt");
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

bool HostProcess::Start(int port) {
  port_ = port != 0 ? port : FreeLoopbackPort();
  int pipeEnds[2];
  if (::pipe2(pipeEnds, O_CLOEXEC) != 0) return false;
  const std::string portText = std::to_string(port_);
  const std::string iniText = ini_.string();
  const std::string errorFile = (ini_ / "host-stderr.txt").string();
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(pipeEnds[1], STDOUT_FILENO);
    const int error = ::open(errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(error, STDERR_FILENO);
    for (const std::string& entry : environment_) ::putenv(const_cast<char*>(entry.c_str()));
    ::execl(VANTREL_HOST_PATH, VANTREL_HOST_PATH, "--address", "127.0.0.1", "--port", portText.c_str(), "--ini",
            iniText.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(pipeEnds[1]);
  stdoutPipe_ = pipeEnds[0];
  ReadOutput(std::chrono::steady_clock::now() + std::chrono::seconds(10), "Environment IOR:");
  return output_.find("Environment IOR:") != std::string::npos;
}

bool HostProcess::WaitForOutput(const std::string& text, std::chrono::milliseconds deadline) {
  ReadOutput(std::chrono::steady_clock::now() + deadline, text);
  return output_.find(text) != std::string::npos;
}

void HostProcess::ReadOutput(std::chrono::steady_clock::time_point deadline, const std::string& until) {
  ReadPipeUntil(stdoutPipe_, output_, until, deadline);
}

int HostProcess::WaitForExit(std::chrono::milliseconds deadline) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (pid_ > 0) {
    int status = 0;
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      pid_ = -1;
      exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      break;
    }
    if (std::chrono::steady_clock::now() > end) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ReadOutput(std::chrono::steady_clock::now() + std::chrono::milliseconds(200), "\x01");
  return exitCode_;
}

void HostProcess::Kill() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  if (stdoutPipe_ >= 0) ::close(stdoutPipe_);
  stdoutPipe_ = -1;
  output_.clear();
}

int HostProcess::Stop(std::chrono::milliseconds deadline) {
  if (pid_ > 0) ::kill(pid_, SIGTERM);
  return WaitForExit(deadline);
}

namespace {
struct TestOrbHolder {
  CORBA::ORB_var orb;
  PortableServer::POA_var poa;
  TestOrbHolder() {
    // A child serving listeners for a test may ask for its callbacks one at a time, in the order they came.
    const bool ordered = std::getenv("VANTREL_TEST_ORDERED_CALLBACKS") != nullptr;
    const char* options[][2] = {{"clientCallTimeOutPeriod", "15000"},
                                {"endPoint", "giop:tcp:127.0.0.1:"},
                                {ordered ? "maxServerThreadPerConnection" : nullptr, "1"},
                                {nullptr, nullptr}};
    int argc = 0;
    orb = CORBA::ORB_init(argc, nullptr, "omniORB4", options);
    CORBA::Object_var object = orb->resolve_initial_references("RootPOA");
    poa = PortableServer::POA::_narrow(object);
    PortableServer::POAManager_var manager = poa->the_POAManager();
    manager->activate();
  }
};
TestOrbHolder& Holder() {
  static TestOrbHolder holder;
  return holder;
}
}  // namespace

CORBA::ORB_ptr TestORB() { return Holder().orb.in(); }
PortableServer::POA_ptr TestPOA() { return Holder().poa.in(); }

namespace {
std::vector<std::string> ThisProgramWith(const std::vector<std::string>& arguments) {
  std::vector<std::string> command = {"/proc/self/exe"};
  command.insert(command.end(), arguments.begin(), arguments.end());
  return command;
}
}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& arguments)
    : SpawnedProgram(ThisProgramWith(arguments), false) {}
