// The routing's state machines as units: a routed call's table of moves, and the callers of the queue.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "lines/RoutedCall.h"
#include "routing/CallQueue.h"

using namespace vantrel;
using TState = TRoutedCall::TState;

namespace {

std::vector<std::string> refusals;
void RecordRefusal(const std::string& what) { refusals.push_back(what); }

class RoutedCallStates : public ::testing::Test {
 protected:
  void SetUp() override {
    refusals.clear();
    previous_ = TRoutedCall::SetRefusalHandler(&RecordRefusal);
  }
  void TearDown() override { TRoutedCall::SetRefusalHandler(previous_); }

  // A routed call brought to the state by allowed moves.
  static TRoutedCall CallIn(TState state) {
    TRoutedCall routed(65551);
    const std::vector<TState> path = [state]() -> std::vector<TState> {
      switch (state) {
        case TState::None:
          return {};
        case TState::Offered:
          return {TState::Offered};
        case TState::Answered:
          return {TState::Offered, TState::Answered};
        case TState::Consulting:
          return {TState::Offered, TState::Answered, TState::Consulting};
        case TState::Dialling:
          return {TState::Offered, TState::Answered, TState::Consulting, TState::Dialling};
        case TState::Completing:
          return {TState::Offered, TState::Answered, TState::Consulting, TState::Dialling, TState::Completing};
        case TState::Waiting:
          return {TState::Offered, TState::Answered, TState::Waiting};
        case TState::Greeting:
          return {TState::Offered, TState::Greeting};
        case TState::Ended:
          return {TState::Offered, TState::Answered, TState::Ended};
        case TState::Gone:
          return {TState::Offered, TState::Gone};
        case TState::Menu:
          return {TState::Offered, TState::Menu};
        case TState::CallingBack:
          return {TState::Offered, TState::Answered, TState::Waiting, TState::CallingBack};
      }
      return {};
    }();
    for (const TState step : path) EXPECT_TRUE(routed.Transition(step, "test"));
    EXPECT_EQ(routed.State(), state);
    return routed;
  }

  TRoutedCall::TRefusalHandler previous_ = nullptr;
};

const std::set<std::pair<TState, TState>> kLegalMoves = {
    {TState::None, TState::Offered},
    {TState::Offered, TState::Answered},       {TState::Offered, TState::Gone},
    {TState::Answered, TState::Consulting},    {TState::Answered, TState::Waiting},
    {TState::Answered, TState::Completing},    {TState::Answered, TState::Ended},
    {TState::Answered, TState::Gone},          {TState::Consulting, TState::Dialling},
    {TState::Consulting, TState::Answered},    {TState::Consulting, TState::Completing},
    {TState::Consulting, TState::Gone},        {TState::Dialling, TState::Answered},
    {TState::Dialling, TState::Completing},    {TState::Dialling, TState::Gone},
    {TState::Completing, TState::Answered},    {TState::Completing, TState::Gone},
    {TState::Waiting, TState::Answered},       {TState::Waiting, TState::Gone},
    {TState::Ended, TState::Gone},
    {TState::Offered, TState::Greeting},       {TState::Greeting, TState::Answered},
    {TState::Greeting, TState::Gone},
    {TState::Offered, TState::Menu},           {TState::Answered, TState::Menu},
    {TState::Menu, TState::Answered},          {TState::Menu, TState::Gone},
    {TState::Waiting, TState::CallingBack},    {TState::CallingBack, TState::Gone},
};

}  // namespace

TEST_F(RoutedCallStates, EveryMoveOutsideTheTableIsRefusedAndLeavesTheStateAsItWas) {
  int legal = 0, refused = 0;
  for (int from = 0; from < TRoutedCall::kStates; ++from) {
    for (int to = 0; to < TRoutedCall::kStates; ++to) {
      if (from == to) continue;
      const auto move = std::make_pair(static_cast<TState>(from), static_cast<TState>(to));
      const bool expected = kLegalMoves.count(move) != 0;
      EXPECT_EQ(TRoutedCall::Allowed(move.first, move.second), expected)
          << RoutingStateName(move.first) << " -> " << RoutingStateName(move.second);
      TRoutedCall routed = CallIn(move.first);
      refusals.clear();
      EXPECT_EQ(routed.Transition(move.second, "test"), expected)
          << RoutingStateName(move.first) << " -> " << RoutingStateName(move.second);
      EXPECT_EQ(routed.State(), expected ? move.second : move.first);
      EXPECT_EQ(refusals.size(), expected ? 0u : 1u);
      (expected ? legal : refused)++;
    }
  }
  EXPECT_EQ(legal, static_cast<int>(kLegalMoves.size()));
  EXPECT_EQ(refused, TRoutedCall::kStates * (TRoutedCall::kStates - 1) - legal);
}

TEST_F(RoutedCallStates, ARefusalNamesTheCallBothStatesAndTheReason) {
  TRoutedCall routed = CallIn(TState::Waiting);
  EXPECT_FALSE(routed.Transition(TState::Dialling, "consultation call has dial tone"));
  ASSERT_EQ(refusals.size(), 1u);
  EXPECT_EQ(refusals[0], "routing 65551: Waiting -> Dialling refused (consultation call has dial tone)");
}

TEST_F(RoutedCallStates, StayingInAStateIsNoMoveAndTheCallStartsWithNone) {
  TRoutedCall routed(7);
  EXPECT_EQ(routed.State(), TState::None);
  EXPECT_TRUE(routed.Transition(TState::None, "test"));
  EXPECT_FALSE(routed.IsOver());
  routed = CallIn(TState::Gone);
  EXPECT_TRUE(routed.Transition(TState::Gone, "test"));
  EXPECT_TRUE(routed.IsOver());
  EXPECT_TRUE(CallIn(TState::Ended).IsOver());
  EXPECT_TRUE(refusals.empty());
}

TEST(CallQueueCallers, AWaitingCallerIsReleasedToItsGroupThenSettlesAndLeaves) {
  TCallQueue queue;
  const TQueueCallerKey caller{3, 65551};
  EXPECT_FALSE(queue.StateOf(caller));
  ASSERT_TRUE(queue.Enter(caller, 1, 500, 0, 0, TCallQueue::TClock::now()));
  EXPECT_EQ(queue.StateOf(caller), TQueueCallerState::Waiting);
  EXPECT_EQ(queue.NextCallers(), (std::vector<std::pair<TQueueCallerKey, long>>{{caller, 500}}));
  EXPECT_EQ(queue.LinesOfNextCallers(), std::vector<long>{3});

  queue.Release(caller);
  EXPECT_EQ(queue.StateOf(caller), TQueueCallerState::Released);
  EXPECT_EQ(queue.Released(500), 1);
  EXPECT_TRUE(queue.NextCallers().empty());  // released, it is no longer in line
  queue.Release(caller);                     // no second release
  EXPECT_EQ(queue.Released(500), 1);

  queue.Settle(caller);
  EXPECT_FALSE(queue.StateOf(caller));
  EXPECT_EQ(queue.Released(500), 0);
  queue.Settle(caller);  // settles once
  queue.Leave(caller);
  EXPECT_FALSE(queue.StateOf(caller));
}

TEST(CallQueueCallers, AReleasedCallerThatWaitsAgainIsBackInLineAndNoLongerHoldsAMember) {
  TCallQueue queue;
  const TQueueCallerKey caller{3, 10}, other{3, 11};
  const auto start = TCallQueue::TClock::now();
  ASSERT_TRUE(queue.Enter(caller, 1, 500, 0, 0, start));
  ASSERT_TRUE(queue.Enter(other, 1, 500, 0, 0, start + std::chrono::seconds(1)));
  queue.Release(caller);
  EXPECT_EQ(queue.NextCallers().front().first, other);
  ASSERT_TRUE(queue.Enter(caller, 1, 500, 0, 0, start));  // its target rang out: it keeps its place
  EXPECT_EQ(queue.StateOf(caller), TQueueCallerState::Waiting);
  EXPECT_EQ(queue.Released(500), 0);
  EXPECT_EQ(queue.NextCallers().front().first, caller);
  EXPECT_TRUE(queue.Enter(caller, 1, 500, 0, 0, start));  // waiting already: nothing changes
  EXPECT_EQ(queue.Figures(false).front().waiting, 2);
}

TEST(CallQueueCallers, ALineIsFullAtMaxWaitingAndReleasedCallersDoNotCount) {
  TCallQueue queue;
  const auto now = TCallQueue::TClock::now();
  ASSERT_TRUE(queue.Enter({1, 1}, 7, 500, 0, 2, now));
  ASSERT_TRUE(queue.Enter({1, 2}, 7, 500, 0, 2, now));
  EXPECT_FALSE(queue.Enter({1, 3}, 7, 500, 0, 2, now));
  EXPECT_FALSE(queue.StateOf({1, 3}));
  queue.Release({1, 1});
  EXPECT_TRUE(queue.Enter({1, 3}, 7, 500, 0, 2, now));
}

TEST(CallQueueCallers, ForgettingALineDropsItsWaitingCallersOnly) {
  TCallQueue queue;
  const auto now = TCallQueue::TClock::now();
  ASSERT_TRUE(queue.Enter({1, 5}, 7, 500, 0, 0, now));
  ASSERT_TRUE(queue.Enter({1, 6}, 7, 500, 0, 0, now));
  ASSERT_TRUE(queue.Enter({2, 5}, 7, 500, 0, 0, now));
  queue.Release({1, 6});
  queue.ForgetLine(1);
  EXPECT_FALSE(queue.StateOf({1, 5}));
  EXPECT_EQ(queue.StateOf({1, 6}), TQueueCallerState::Released);  // holds its member until it settles
  EXPECT_EQ(queue.StateOf({2, 5}), TQueueCallerState::Waiting);  // the same handle on another line
}

TEST(CallQueueCallers, KeysOrderByLineThenHandleAndHashApart) {
  EXPECT_LT((TQueueCallerKey{1, 99}), (TQueueCallerKey{2, 1}));
  EXPECT_LT((TQueueCallerKey{2, 1}), (TQueueCallerKey{2, 10}));
  EXPECT_EQ((TQueueCallerKey{2, 10}), (TQueueCallerKey{2, 10}));
  std::unordered_set<TQueueCallerKey> keys{{1, 23}, {12, 3}, {2, 10}, {2, 10}};
  EXPECT_EQ(keys.size(), 3u);
  TCallQueue queue;
  const auto now = TCallQueue::TClock::now();
  ASSERT_TRUE(queue.Enter({1, 23}, 7, 500, 0, 0, now));
  ASSERT_TRUE(queue.Enter({12, 3}, 7, 500, 0, 0, now));
  queue.Leave({1, 23});
  EXPECT_EQ(queue.StateOf({12, 3}), TQueueCallerState::Waiting);
}
