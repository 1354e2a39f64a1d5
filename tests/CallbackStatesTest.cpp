// The callback's state machine: the moves it allows, and every other one refused with the state kept.
#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "lines/Callback.h"

using vantrel::CallbackStateName;
using vantrel::CallbackStateNamed;
using vantrel::TCallback;
using TState = TCallback::TState;

namespace {

const std::set<std::pair<TState, TState>> kLegalMoves = {
    {TState::None, TState::Requested},
    {TState::None, TState::Waiting},
    {TState::None, TState::Retrying},
    {TState::Requested, TState::Waiting},
    {TState::Waiting, TState::RingingOperator},
    {TState::Waiting, TState::Failed},
    {TState::RingingOperator, TState::CallingCaller},
    {TState::RingingOperator, TState::Waiting},
    {TState::RingingOperator, TState::Failed},
    {TState::CallingCaller, TState::Connected},
    {TState::CallingCaller, TState::Retrying},
    {TState::CallingCaller, TState::Failed},
    {TState::Connected, TState::Done},
    {TState::Connected, TState::Retrying},
    {TState::Connected, TState::Failed},
    {TState::Retrying, TState::Waiting},
    {TState::Retrying, TState::Failed},
};

// A callback brought to the state by allowed moves.
TCallback CallbackIn(TState state) {
  TCallback callback("20261208100000-41");
  std::vector<TState> path;
  switch (state) {
    case TState::None:
      break;
    case TState::Requested:
      path = {TState::Requested};
      break;
    case TState::Waiting:
      path = {TState::Waiting};
      break;
    case TState::RingingOperator:
      path = {TState::Waiting, TState::RingingOperator};
      break;
    case TState::CallingCaller:
      path = {TState::Waiting, TState::RingingOperator, TState::CallingCaller};
      break;
    case TState::Connected:
      path = {TState::Waiting, TState::RingingOperator, TState::CallingCaller, TState::Connected};
      break;
    case TState::Retrying:
      path = {TState::Retrying};
      break;
    case TState::Done:
      path = {TState::Waiting, TState::RingingOperator, TState::CallingCaller, TState::Connected, TState::Done};
      break;
    case TState::Failed:
      path = {TState::Waiting, TState::Failed};
      break;
  }
  for (const TState step : path) EXPECT_TRUE(callback.Transition(step, "test"));
  EXPECT_EQ(callback.State(), state);
  return callback;
}

}  // namespace

TEST(CallbackStates, EveryMoveOutsideTheTableIsRefusedAndLeavesTheStateAsItWas) {
  int legal = 0;
  for (int from = 0; from < TCallback::kStates; ++from) {
    for (int to = 0; to < TCallback::kStates; ++to) {
      if (from == to) continue;
      const auto move = std::make_pair(static_cast<TState>(from), static_cast<TState>(to));
      const bool expected = kLegalMoves.count(move) != 0;
      EXPECT_EQ(TCallback::Allowed(move.first, move.second), expected)
          << CallbackStateName(move.first) << " -> " << CallbackStateName(move.second);
      TCallback callback = CallbackIn(move.first);
      EXPECT_EQ(callback.Transition(move.second, "test"), expected);
      EXPECT_EQ(callback.State(), expected ? move.second : move.first);
      legal += expected ? 1 : 0;
    }
  }
  EXPECT_EQ(legal, static_cast<int>(kLegalMoves.size()));
}

TEST(CallbackStates, EachStateIsFoundByItsNameAsTheCrmKeepsIt) {
  for (int state = 0; state < TCallback::kStates; ++state) {
    EXPECT_EQ(CallbackStateNamed(CallbackStateName(static_cast<TState>(state))), static_cast<TState>(state));
  }
  EXPECT_EQ(CallbackStateNamed("Sleeping"), TState::None);
  EXPECT_TRUE(CallbackIn(TState::Done).IsOver());
  EXPECT_TRUE(CallbackIn(TState::Failed).IsOver());
  EXPECT_FALSE(CallbackIn(TState::Retrying).IsOver());
}
