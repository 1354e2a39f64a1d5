#pragma once

#include <omniORB4/CORBA.h>

#include <chrono>
#include <string>

namespace vantrel {

// A caller who pressed 1 while waiting, to be called back: it keeps the caller's place in line; when its turn
// comes the routing line rings the operator chosen for it, and once the operator answers it calls the caller's
// number out and puts the caller through. Only the telephony thread uses it.
//
// States, as the log shows them ("callback <key>: <from> -> <to> (<why>)"):
//   None             a record leaves it once: for Requested (pressed 1) or, after a restart, Waiting or Retrying
//   Requested        the caller pressed 1 and hears the confirmation; its call ends after it (or the caller hangs up)
//   Waiting          in the line of its group, with the caller's place
//   RingingOperator  its turn came: the operator chosen is held for it, and the routing line rings their station
//   CallingCaller    the operator answered; held pending transfer, the caller's number is called out
//   Connected        the caller answered: the transfer to the operator is being completed
//   Retrying         the caller did not answer (or was busy); the operator is free again, the next call is due later
//   Done             the caller was put through
//   Failed           no call reached the caller (the retries are used up), or the callback cannot be made
// The moves allowed are those of Allowed; any other is refused and logged as an error (the state stays).
class TCallback {
 public:
  enum class TState { None, Requested, Waiting, RingingOperator, CallingCaller, Connected, Retrying, Done, Failed };
  static constexpr int kStates = static_cast<int>(TState::Failed) + 1;
  using TClock = std::chrono::steady_clock;

  explicit TCallback(std::string key) : key_(std::move(key)) {}

  const std::string& Key() const { return key_; }
  TState State() const { return state_; }
  // The one place a callback changes state: an allowed move is made and logged with why. False when refused.
  bool Transition(TState to, const char* why);
  static bool Allowed(TState from, TState to);
  bool IsOver() const { return state_ == TState::Done || state_ == TState::Failed; }

  long QueueHandle = 0;    // its key in the queue with the routing line's ID (negative: never a call's)
  CORBA::Long Caller = 0;  // the call that asked for it, until that call ends
  CORBA::Long Rule = -1;
  CORBA::Long ActionIndex = 0;  // the rule's group action it waits at
  CORBA::Long WaitingGroup = -1;
  std::string CallerNumber;
  std::string RequestedAt;          // "yyyy-mm-dd hh:mm:ss", as the CRM keeps it
  TClock::time_point QueuedSince;   // its place in line
  TClock::time_point OfferedAt;     // for the rule's figures
  TClock::time_point HeardUntil;    // the confirmation ends then (Requested)
  TClock::time_point NextAttempt;   // Retrying: back in line then
  TClock::time_point RingingSince;  // the operator's station or the caller rings since then
  int Attempts = 0;                 // calls to the caller made
  std::string OperatorPhone;        // the line of the operator held for it
  CORBA::Long OperatorCall = 0;     // the routing line's call to the operator
  CORBA::Long CallerCall = 0;       // the consultation call to the caller

 private:
  std::string key_;
  TState state_ = TState::None;
};

const char* CallbackStateName(TCallback::TState state);
// The state of that name; None when it names none.
TCallback::TState CallbackStateNamed(const std::string& name);

}  // namespace vantrel
