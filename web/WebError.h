#pragma once

#include <stdexcept>
#include <string>

namespace vantrel::web {

// A request the gateway refuses: the HTTP status it answers with and the message a person reads.
class TWebError : public std::runtime_error {
 public:
  TWebError(int status, const std::string& message) : std::runtime_error(message), status_(status) {}
  int Status() const { return status_; }

 private:
  int status_;
};

}  // namespace vantrel::web
