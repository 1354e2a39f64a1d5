// An operator's work at one line as every client does it (the console, the web gateway): log-in and log-out, a
// consultation that waits for its call on the line's events with a deadline, and completing the transfer.
#pragma once

#include <chrono>
#include <stdexcept>
#include <string>

#include "LineActivity.h"
#include "Vantrel.hh"

namespace vantrel::client {

// A step the server refused, or one that did not happen by its deadline; the text is for a person.
class TSessionError : public std::runtime_error {
 public:
  enum class TKind { Refused, TimedOut };
  TSessionError(TKind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
  TKind Kind() const { return kind_; }

 private:
  TKind kind_;
};

// The exchange holds a call for a transfer and opens the consultation call within a moment; this is how long a
// client waits for it.
inline constexpr std::chrono::seconds kConsultationWithin{3};

// Cheap to make: the references of one line and the operators, for one step or for a console's whole session.
// The line's events must reach `activity` (the client's listener on the line notes them) for the waits to end
// as soon as the server has done its part.
class TOperatorSession {
 public:
  using TDeadline = TLineActivity::TDeadline;

  TOperatorSession(::Operators_ptr operators, ::Line_ptr line, std::string number, TLineActivity& activity);

  // Seats the employee at the line as the computer's operator. Refused when someone is at the line, the
  // employee is at another line, or the server takes no more operators.
  ::Operator_ptr LogIn(long operatorID, const std::string& computerName);
  // Whoever is at the line leaves it. Refused when nobody is there.
  void LogOut();

  // Holds `call` for a transfer, waits for the consultation call and dials `number` from it; returns the
  // consultation call. TimedOut when the exchange has not opened it by the deadline.
  long Consult(long call, const std::string& number, TDeadline deadline);
  // Waits until the consultation's target has answered. TimedOut at the deadline; Refused when the
  // consultation ended or the target is busy.
  void WaitAnswered(long consult, const std::string& number, TDeadline deadline);
  // Both, under one deadline: back with the consultation connected, ready to complete.
  long ConsultAndWait(long call, const std::string& number, TDeadline deadline);
  // Hands the caller held for `call` to the consultation's target; `call` may be the consultation itself.
  void Complete(long call);

 private:
  ::Operators_var operators_;
  ::Line_var line_;
  const std::string number_;
  TLineActivity& activity_;
};

}  // namespace vantrel::client
