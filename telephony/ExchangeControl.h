#pragma once

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/SpareDescriptor.h"

namespace vantrel::telephony {

class TSoftExchange;

// The exchange's control socket: a Unix socket that takes one text command per line and answers each with
// zero or more data lines and a last line starting with "OK" or "ERROR". A person (through vantrel-exchange)
// or another process plays the outside callers and far ends with it.
class TExchangeControl {
 public:
  // Listens at the path (an old socket file there is replaced); throws std::runtime_error when it cannot.
  TExchangeControl(TSoftExchange& exchange, std::string socketPath);
  ~TExchangeControl();
  TExchangeControl(const TExchangeControl&) = delete;
  TExchangeControl& operator=(const TExchangeControl&) = delete;

  const std::string& SocketPath() const { return socketPath_; }

  // The reply lines to one command.
  static std::vector<std::string> Execute(TSoftExchange& exchange, const std::string& command);
  static const char* const kHelp;

 private:
  void Serve();
  void ServeClient(int client);

  TSoftExchange& exchange_;
  const std::string socketPath_;
  int listener_ = -1;
  int stopPipe_[2] = {-1, -1};
  platform::TSpareDescriptor spare_;   // only the serving thread touches it
  bool shortOfDescriptors_ = false;  // only the serving thread touches it
  std::thread thread_;
};

}  // namespace vantrel::telephony
