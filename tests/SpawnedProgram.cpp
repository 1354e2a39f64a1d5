#include "SpawnedProgram.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

void ReadPipeUntil(int pipe, std::string& text, const std::string& wanted,
                   std::chrono::steady_clock::time_point deadline, std::size_t from) {
  while (text.find(wanted, from) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    pollfd ready{pipe, POLLIN, 0};
    if (::poll(&ready, 1, 50) <= 0) continue;
    char buffer[4096];
    const ssize_t count = ::read(pipe, buffer, sizeof buffer);
    if (count <= 0) return;
    text.append(buffer, static_cast<std::size_t>(count));
  }
}

SpawnedProgram::SpawnedProgram(const std::vector<std::string>& command, bool withErrors) {
  int pipeEnds[2];
  if (::pipe2(pipeEnds, O_CLOEXEC) != 0) return;
  std::vector<std::string> words = command;
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(pipeEnds[1], STDOUT_FILENO);
    if (withErrors) ::dup2(pipeEnds[1], STDERR_FILENO);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(pipeEnds[1]);
  outputPipe_ = pipeEnds[0];
}

SpawnedProgram::~SpawnedProgram() {
  Terminate();
  if (outputPipe_ >= 0) ::close(outputPipe_);
}

void SpawnedProgram::Terminate() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  for (int i = 0; i < 300; ++i) {
    if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
      pid_ = -1;
      return;
    }
    ::usleep(10000);
  }
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

int SpawnedProgram::WaitForExit(std::chrono::milliseconds deadline) {
  const auto until = std::chrono::steady_clock::now() + deadline;
  while (pid_ > 0) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      break;
    }
    if (std::chrono::steady_clock::now() >= until) return -1;
    // Reading keeps a talkative program from blocking on a full pipe.
    if (outputPipe_ >= 0)
      ReadPipeUntil(outputPipe_, output_, "\x01",
                    std::min(until, std::chrono::steady_clock::now() + std::chrono::milliseconds(50)));
  }
  return exitCode_;
}

bool SpawnedProgram::WaitForOutput(const std::string& text, std::chrono::milliseconds deadline) {
  if (outputPipe_ >= 0) ReadPipeUntil(outputPipe_, output_, text, std::chrono::steady_clock::now() + deadline);
  return output_.find(text) != std::string::npos;
}

std::string SpawnedProgram::ReadLine(std::chrono::milliseconds deadline) {
  if (outputPipe_ >= 0)
    ReadPipeUntil(outputPipe_, output_, "\n", std::chrono::steady_clock::now() + deadline, linesRead_);
  const auto newline = output_.find('\n', linesRead_);
  if (newline == std::string::npos) return {};
  std::string line = output_.substr(linesRead_, newline - linesRead_);
  linesRead_ = newline + 1;
  return line;
}
