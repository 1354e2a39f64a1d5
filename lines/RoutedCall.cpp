#include "RoutedCall.h"

#include <atomic>
#include <cstdlib>
#include <string>

#include "support/FormatText.h"
#include "support/VantrelCommonRoutines.h"

namespace vantrel {

namespace {

using TState = TRoutedCall::TState;

void ReportByDefault(const std::string& what) {
  LogErrorLine(what);
#ifndef NDEBUG
  std::abort();
#endif
}

std::atomic<TRoutedCall::TRefusalHandler> refusalHandler{&ReportByDefault};

constexpr unsigned Bit(TState state) { return 1u << static_cast<unsigned>(state); }

// The states each state may move to. Answered is where a call that is still routed comes back to: its caller
// connected again, its consultation call ended or was busy, or the target rang unanswered; a target may still
// answer a consultation call that is being dropped, hence Completing from Answered and Consulting.
constexpr unsigned kAllowed[TRoutedCall::kStates] = {
    /* None       */ Bit(TState::Offered),
    /* Offered    */ Bit(TState::Answered) | Bit(TState::Greeting) | Bit(TState::Menu) | Bit(TState::Gone),
    /* Answered   */ Bit(TState::Consulting) | Bit(TState::Waiting) | Bit(TState::Completing) | Bit(TState::Ended) |
        Bit(TState::Menu) | Bit(TState::Gone),
    /* Consulting */ Bit(TState::Dialling) | Bit(TState::Answered) | Bit(TState::Completing) | Bit(TState::Gone),
    /* Dialling   */ Bit(TState::Answered) | Bit(TState::Completing) | Bit(TState::Gone),
    /* Completing */ Bit(TState::Answered) | Bit(TState::Gone),
    /* Waiting    */ Bit(TState::Answered) | Bit(TState::CallingBack) | Bit(TState::Gone),
    /* Greeting   */ Bit(TState::Answered) | Bit(TState::Gone),
    /* Ended      */ Bit(TState::Gone),
    /* Gone       */ 0,
    /* Menu       */ Bit(TState::Answered) | Bit(TState::Gone),
    /* CallingBack */ Bit(TState::Gone),
};

}  // namespace

const char* RoutingStateName(TRoutedCall::TState state) {
  switch (state) {
    case TState::None:
      return "None";
    case TState::Offered:
      return "Offered";
    case TState::Answered:
      return "Answered";
    case TState::Consulting:
      return "Consulting";
    case TState::Dialling:
      return "Dialling";
    case TState::Completing:
      return "Completing";
    case TState::Waiting:
      return "Waiting";
    case TState::Ended:
      return "Ended";
    case TState::Gone:
      return "Gone";
    case TState::Greeting:
      return "Greeting";
    case TState::Menu:
      return "Menu";
    case TState::CallingBack:
      return "CallingBack";
  }
  return "?";
}

bool TRoutedCall::Allowed(TState from, TState to) {
  const int index = static_cast<int>(from);
  return index >= 0 && index < kStates && (kAllowed[index] & Bit(to)) != 0;
}

TRoutedCall::TRefusalHandler TRoutedCall::SetRefusalHandler(TRefusalHandler handler) {
  return refusalHandler.exchange(handler != nullptr ? handler : &ReportByDefault);
}

bool TRoutedCall::Transition(TState to, const char* why) {
  if (to == state_) return true;
  if (!Allowed(state_, to)) {
    refusalHandler.load()(FormatText("routing %d: %s -> %s refused (%s)", {static_cast<long>(caller_),
                                                                            RoutingStateName(state_),
                                                                            RoutingStateName(to), why}));
    return false;
  }
  LogFormat("routing %d: %s -> %s (%s)",
            {static_cast<long>(caller_), RoutingStateName(state_), RoutingStateName(to), why});
  state_ = to;
  return true;
}

}  // namespace vantrel
