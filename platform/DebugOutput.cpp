#include "DebugOutput.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace vantrel::platform {

namespace {

bool IsDebugOutputOn() {
  static const bool on = [] {
    const char* value = std::getenv("VANTREL_DEBUG");
    return value != nullptr && std::strcmp(value, "1") == 0;
  }();
  return on;
}

}  // namespace

bool DebugOutputOn() { return IsDebugOutputOn(); }

void OutputDebugText(std::string_view text) {
  if (!IsDebugOutputOn()) return;
  std::string line(text);
  line.push_back('\n');
  // One write per line keeps lines of concurrent threads whole.
  [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, line.data(), line.size());
}

}  // namespace vantrel::platform
