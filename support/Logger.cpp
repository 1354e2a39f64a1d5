#include "Logger.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <ctime>
#include <mutex>
#include <system_error>

namespace vantrel {

namespace {

std::mutex currentMutex;
std::shared_ptr<TLogger> currentLogger;  // guarded by currentMutex

int OpenForAppend(const std::string& fileName) {
  // Logs hold callers' numbers and clients' texts: the server's user alone reads them.
  const int file = ::open(fileName.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (file < 0) throw std::system_error(errno, std::generic_category(), "Cannot open log file " + fileName);
  ::fchmod(file, 0600);
  return file;
}

// The thread's id, asked of the kernel once per thread rather than once per line.
long ThreadId() {
  thread_local const long id = static_cast<long>(::syscall(SYS_gettid));
  return id;
}

std::string LinePrefix() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
  localtime_r(&seconds, &local);
  char buffer[64];
  const int length = std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d.%03d [%ld] ",
                                   local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                                   local.tm_sec, static_cast<int>(millis), ThreadId());
  return std::string(buffer, static_cast<std::size_t>(length));
}

}  // namespace

std::shared_ptr<TLogger> TLogger::Create(unsigned kindsMask, const std::string& infoFileName,
                                         const std::string& errorFileName) {
  const int info = OpenForAppend(infoFileName);
  int error = -1;
  try {
    error = OpenForAppend(errorFileName);
  } catch (...) {
    ::close(info);
    throw;
  }
  std::shared_ptr<TLogger> logger(new TLogger(kindsMask, info, error));
  std::lock_guard lock(currentMutex);
  currentLogger = logger;
  return logger;
}

std::shared_ptr<TLogger> TLogger::Current() {
  std::lock_guard lock(currentMutex);
  return currentLogger;
}

TLogger::TLogger(unsigned kindsMask, int infoFile, int errorFile)
    : kindsMask_(kindsMask), infoFile_(infoFile), errorFile_(errorFile) {}

TLogger::~TLogger() {
  ::close(infoFile_);
  ::close(errorFile_);
}

void TLogger::Write(unsigned kind, std::string_view text) {
  // Kind 0 is always written; other kinds only when the logger was made for them.
  if (kind != 0 && (kind > 31 || (kindsMask_ & (1u << kind)) == 0)) return;
  WriteLine(infoFile_, text);
}

void TLogger::Error(std::string_view text) { WriteLine(errorFile_, text); }

void TLogger::WriteLine(int file, std::string_view text) {
  std::string line = LinePrefix();
  // One record a line: a logged text (a client's error text, a caller's number) cannot start a line of its own.
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\n') {
      line += "\\n";
    } else if (c == '\r') {
      line += "\\r";
    } else if (byte < 0x20 && c != '\t') {
      static constexpr char kHex[] = "0123456789ABCDEF";
      line += "\\x";
      line += kHex[byte >> 4];
      line += kHex[byte & 0xF];
    } else {
      line += c;
    }
  }
  line.push_back('\n');
  std::size_t done = 0;
  while (done < line.size()) {
    const ssize_t written = ::write(file, line.data() + done, line.size() - done);
    if (written < 0) {
      if (errno == EINTR) continue;
      throw std::system_error(errno, std::generic_category(), "Cannot write log file");
    }
    done += static_cast<std::size_t>(written);
  }
}

}  // namespace vantrel
