#pragma once

#include <omniORB4/CORBA.h>

#include <chrono>
#include <optional>
#include <string>

#include "telephony/tapi/Tapi.h"

namespace vantrel {

// One caller that a line routes by its rule: answered by the server, held pending transfer while a consultation
// call rings the target, transferred when the target answers. Each routed caller has a record of its own, so
// any number of callers offered on one line at once are routed side by side. Only the telephony thread uses it.
//
// States, as the log shows them ("routing <handle>: <from> -> <to> (<why>)"):
//   None         not routed yet; a record leaves it once, for Offered
//   Offered      the rule gave a target at OFFERING; the server answers the caller
//   Answered     the caller talks to the server's line; the rule is asked again at each of its CONNECTED events
//   Consulting   the caller is held pending transfer; the consultation call waits for dial tone
//   Dialling     the consultation call dials the target and rings it (ring-no-answer runs from here)
//   Completing   the target answered; the transfer is being completed
//   Waiting      the rule's group has no ready member: the caller is held in the queue until one is ready (then
//                it is taken off hold and is Answered again) or its wait ran out (the rule's next action)
//   Greeting     held at its first CONNECTED while it hears the rule's greeting; then Answered (the routing goes on)
//   Menu         connected, it hears the rule's menu and may press a digit; then Answered with the rule chosen
//   CallingBack  it pressed 1 while waiting: a callback (Callback.h) keeps its place, it hears the confirmation and
//                its call ends (Gone; not counted as abandoned)
//   Ended        routing stopped with the caller still on the line (no target answered after many tries)
//   Gone         the caller's call ended; the record goes once its consultation call has ended too
// The moves allowed are those of Allowed; any other is refused, logged as an error and, in the checking builds,
// stops the process there.
class TRoutedCall {
 public:
  enum class TState {
    None, Offered, Answered, Consulting, Dialling, Completing, Waiting, Greeting, Ended, Gone, Menu, CallingBack
  };
  static constexpr int kStates = static_cast<int>(TState::CallingBack) + 1;
  using TClock = std::chrono::steady_clock;

  explicit TRoutedCall(CORBA::Long caller) : caller_(caller) {}

  CORBA::Long Caller() const { return caller_; }
  TState State() const { return state_; }
  // The one place a routed call changes state: an allowed move is made and logged with why; staying in the state
  // is no move. False when the move is refused (the state stays).
  bool Transition(TState to, const char* why);
  static bool Allowed(TState from, TState to);
  // Routing no longer acts for the caller: it is put through elsewhere, or no one will be.
  bool IsOver() const { return state_ == TState::Ended || state_ == TState::Gone; }

  // Where refused moves are reported. The default writes the error log and, in the checking builds (assertions
  // on), aborts; tests put their own in to see a move refused.
  using TRefusalHandler = void (*)(const std::string& what);
  static TRefusalHandler SetRefusalHandler(TRefusalHandler handler);

  CORBA::Long Consult = 0;      // the consultation call of the transfer in progress, 0 when there is none
  std::string Target;           // chosen at the caller's CONNECTED, dialled at the consultation's dial tone
  bool Restart = false;         // the Restart passed to the rule; set when a transfer ended
  CORBA::Long ActionIndex = 0;  // where this call stands in the rule's actions
  DWORD DialledAt = 0;          // tick of the dial to the target, for its ring time
  int Attempts = 0;             // targets tried
  CORBA::Long Rule = -1;        // the rule that routes it, for its queue figures
  TClock::time_point OfferedAt = TClock::now();
  std::optional<TClock::time_point> QueuedSince;  // when it first waited: its place in the line of callers
  CORBA::Long WaitingGroup = -1;                  // the group it waits for
  // Not states: each holds across the states that follow. NoWaiting: its wait ran out or the line was full, so
  // the rule's group actions no longer hold it. PutThrough: counted once as answered by a target (it stays so if
  // that transfer then fails and the routing goes on).
  bool NoWaiting = false;
  bool PutThrough = false;
  bool Greeted = false;                 // the rule's greeting started (or there was none to play)
  TClock::time_point HeardUntil;        // the greeting being played ends then
  TClock::time_point NextAnnouncement;  // of a waiting caller's place in line and expected wait
  bool RuleChosen = false;              // Rule was chosen in the menu: it routes the call instead of the line's
  bool MenuHeard = false;               // a call hears one menu: the rule it chooses routes it without its own
  int MenuRepeats = 0;                  // the menu played again after a wrong digit
  TClock::time_point ChooseUntil;       // the menu's prompt and then its time-out end then

 private:
  CORBA::Long caller_;
  TState state_ = TState::None;
};

const char* RoutingStateName(TRoutedCall::TState state);

}  // namespace vantrel
