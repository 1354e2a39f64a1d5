// The per-client event queue on its own: order, the bound on what may wait, and what a drop leaves behind.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "model/ClientQueue.h"

using vantrel::TClientQueue;

namespace {

// A client that takes events only when the test lets it.
class Gate {
 public:
  void Open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    opened_.notify_all();
  }
  void Pass() {
    std::unique_lock lock(mutex_);
    waiting_ = true;
    opened_.notify_all();
    opened_.wait(lock, [&] { return open_; });
  }
  void WaitForSomeoneAtIt() {
    std::unique_lock lock(mutex_);
    opened_.wait(lock, [&] { return waiting_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable opened_;
  bool open_ = false;
  bool waiting_ = false;
};

}  // namespace

TEST(ClientQueue, EventsArriveInTheOrderPostedFromAnotherThread) {
  TClientQueue queue("test:1");
  std::mutex mutex;
  std::vector<int> seen;
  const auto caller = std::this_thread::get_id();
  bool offThread = true;
  for (int i = 0; i < 500; ++i) {
    ASSERT_TRUE(queue.Post("Event", [&, i] {
      std::lock_guard lock(mutex);
      seen.push_back(i);
      offThread = offThread && std::this_thread::get_id() != caller;
    }));
  }
  ASSERT_TRUE(queue.WaitUntilSent(TClientQueue::Clock::now() + std::chrono::seconds(5)));
  std::lock_guard lock(mutex);
  ASSERT_EQ(seen.size(), 500u);
  for (int i = 0; i < 500; ++i) EXPECT_EQ(seen[i], i);
  EXPECT_TRUE(offThread);
}

TEST(ClientQueue, AClientThatFallsTooFarBehindIsDroppedAndHearsNothingMore) {
  TClientQueue queue("test:2");
  Gate gate;
  int sent = 0;  // touched by the sending thread only until the queue is stopped
  const auto send = [&] {
    gate.Pass();
    ++sent;
  };
  ASSERT_TRUE(queue.Post("Event", send));
  gate.WaitForSomeoneAtIt();  // the first is being sent; this many more may wait behind it
  for (std::size_t i = 0; i < TClientQueue::kMostPending; ++i) ASSERT_TRUE(queue.Post("Event", send)) << i;
  EXPECT_FALSE(queue.Dropped());
  EXPECT_FALSE(queue.Post("Event", [&] { ++sent; }));  // one more than may wait
  EXPECT_TRUE(queue.Dropped());
  EXPECT_FALSE(queue.Post("Event", [&] { ++sent; }));
  gate.Open();
  queue.Stop();
  EXPECT_EQ(sent, 1);  // the send under way at the drop, and nothing after it
}
