#include "Callback.h"

#include "support/FormatText.h"
#include "support/VantrelCommonRoutines.h"

namespace vantrel {

namespace {

using TState = TCallback::TState;

constexpr unsigned Bit(TState state) { return 1u << static_cast<unsigned>(state); }

// An operator who does not answer, or hangs up before the caller is called, puts the callback back in line
// (RingingOperator -> Waiting): the caller was not called, so no attempt is used.
constexpr unsigned kAllowed[TCallback::kStates] = {
    /* None            */ Bit(TState::Requested) | Bit(TState::Waiting) | Bit(TState::Retrying),
    /* Requested       */ Bit(TState::Waiting),
    /* Waiting         */ Bit(TState::RingingOperator) | Bit(TState::Failed),
    /* RingingOperator */ Bit(TState::CallingCaller) | Bit(TState::Waiting) | Bit(TState::Failed),
    /* CallingCaller   */ Bit(TState::Connected) | Bit(TState::Retrying) | Bit(TState::Failed),
    /* Connected       */ Bit(TState::Done) | Bit(TState::Retrying) | Bit(TState::Failed),
    /* Retrying        */ Bit(TState::Waiting) | Bit(TState::Failed),
    /* Done            */ 0,
    /* Failed          */ 0,
};

constexpr const char* kNames[TCallback::kStates] = {
    "None", "Requested", "Waiting", "RingingOperator", "CallingCaller", "Connected", "Retrying", "Done", "Failed"};

}  // namespace

const char* CallbackStateName(TCallback::TState state) {
  const int index = static_cast<int>(state);
  return index >= 0 && index < TCallback::kStates ? kNames[index] : "?";
}

TCallback::TState CallbackStateNamed(const std::string& name) {
  for (int index = 0; index < TCallback::kStates; ++index) {
    if (name == kNames[index]) return static_cast<TState>(index);
  }
  return TState::None;
}

bool TCallback::Allowed(TState from, TState to) {
  const int index = static_cast<int>(from);
  return index >= 0 && index < kStates && (kAllowed[index] & Bit(to)) != 0;
}

bool TCallback::Transition(TState to, const char* why) {
  if (to == state_) return true;
  if (!Allowed(state_, to)) {
    LogErrorLine(FormatText("callback %s: %s -> %s refused (%s)",
                            {key_, CallbackStateName(state_), CallbackStateName(to), why}));
    return false;
  }
  LogFormat("callback %s: %s -> %s (%s)", {key_, CallbackStateName(state_), CallbackStateName(to), why});
  state_ = to;
  return true;
}

}  // namespace vantrel
