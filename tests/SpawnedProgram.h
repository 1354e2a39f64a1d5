#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

// A program the test starts (the web gateway, a browser's driver) with its output read through a pipe; killed
// when this goes.
class SpawnedProgram {
 public:
  explicit SpawnedProgram(const std::vector<std::string>& command);
  ~SpawnedProgram();
  SpawnedProgram(const SpawnedProgram&) = delete;
  SpawnedProgram& operator=(const SpawnedProgram&) = delete;

  // Reads its output (standard output and error together) until it holds the text; false at the deadline.
  bool WaitForOutput(const std::string& text, std::chrono::milliseconds deadline = std::chrono::seconds(10));
  const std::string& Output() const { return output_; }
  pid_t Pid() const { return pid_; }
  void Terminate();

 private:
  pid_t pid_ = -1;
  int outputPipe_ = -1;
  std::string output_;
};
