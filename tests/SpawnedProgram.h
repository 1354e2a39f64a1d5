#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

// Appends what the pipe delivers until the text holds the wanted piece at or after `from`, the pipe ends or the
// deadline passes.
void ReadPipeUntil(int pipe, std::string& text, const std::string& wanted,
                   std::chrono::steady_clock::time_point deadline, std::size_t from = 0);

// A program the test starts (the web gateway, a browser's driver, the test binary in a serving mode) with its
// output read through a pipe; ended when this goes.
class SpawnedProgram {
 public:
  // With `withErrors`, standard error goes to the same pipe.
  explicit SpawnedProgram(const std::vector<std::string>& command, bool withErrors = true);
  ~SpawnedProgram();
  SpawnedProgram(const SpawnedProgram&) = delete;
  SpawnedProgram& operator=(const SpawnedProgram&) = delete;

  // Reads its output (standard output and error together) until it holds the text; false at the deadline.
  bool WaitForOutput(const std::string& text, std::chrono::milliseconds deadline = std::chrono::seconds(10));
  const std::string& Output() const { return output_; }
  // The next line of its output not yet read by ReadLine, without the line break; empty when none came in time.
  std::string ReadLine(std::chrono::milliseconds deadline);
  pid_t Pid() const { return pid_; }
  // Reads its output until it exits by itself: its exit code, or -1 when the deadline passed first.
  int WaitForExit(std::chrono::milliseconds deadline);
  void Terminate();

 private:
  pid_t pid_ = -1;
  int outputPipe_ = -1;
  std::string output_;
  std::size_t linesRead_ = 0;  // how much of output_ ReadLine has given out
  int exitCode_ = -1;
};
