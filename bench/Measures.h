// What the benchmarks measure with: the process's CPU time, the calling thread's, and percentiles.
#pragma once

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace vantrel::bench {

// User+system time so far of this process, or of another one by its id.
inline double ProcessCpuSeconds(const std::string& process = "self") {
  std::ifstream stat("/proc/" + process + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  // Fields after the command's closing parenthesis: utime and stime are the 12th and 13th of them.
  std::size_t at = text.rfind(')');
  std::vector<std::string> fields;
  std::string field;
  for (std::size_t i = at + 2; i < text.size(); ++i) {
    if (text[i] == ' ') {
      fields.push_back(field);
      field.clear();
    } else {
      field += text[i];
    }
  }
  const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
  return (std::stod(fields.at(11)) + std::stod(fields.at(12))) / ticks;
}

// This process's CPU to the nanosecond, for short windows (the /proc figure counts in ticks of 10 ms).
inline double ProcessCpuClockSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

inline double ThreadCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

inline double Percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, static_cast<std::size_t>(fraction * static_cast<double>(values.size())))];
}

}  // namespace vantrel::bench
