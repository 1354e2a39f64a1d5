#include "RoutedCall.h"

#include "support/VantrelCommonRoutines.h"

namespace vantrel {

const char* RoutingStateName(TRoutedCall::TState state) {
  switch (state) {
    case TRoutedCall::TState::Offered:
      return "Offered";
    case TRoutedCall::TState::Answered:
      return "Answered";
    case TRoutedCall::TState::Consulting:
      return "Consulting";
    case TRoutedCall::TState::Dialling:
      return "Dialling";
    case TRoutedCall::TState::Completing:
      return "Completing";
    case TRoutedCall::TState::Waiting:
      return "Waiting";
    case TRoutedCall::TState::Ended:
      return "Ended";
    case TRoutedCall::TState::Greeting:
      return "Greeting";
  }
  return "?";
}

void TRoutedCall::Transition(TState to) {
  if (to == state_) return;
  LogFormat("routing %d: %s -> %s", {static_cast<long>(caller_), RoutingStateName(state_), RoutingStateName(to)});
  state_ = to;
}

}  // namespace vantrel
