#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Event.h"
#include "platform/HiddenWindow.h"
#include "platform/LockRank.h"
#include "platform/MessageQueue.h"
#include "platform/RecursiveTimedMutex.h"
#include "platform/SpareDescriptor.h"
#include "platform/Ticks.h"

using namespace vantrel::platform;
using namespace std::chrono_literals;

namespace {
std::uint32_t MillisecondsSince(std::chrono::steady_clock::time_point start) {
  return static_cast<std::uint32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
}
}  // namespace

TEST(Ticks, ElapsedTimeSurvivesTheWrapOfTheCounter) {
  EXPECT_EQ(TicksElapsed(0xFFFFFF00u, 0x00000100u), 0x200u);
  EXPECT_EQ(TicksElapsed(1000, 1500), 500u);
  const std::uint32_t start = GetTickCount();
  std::this_thread::sleep_for(20ms);
  EXPECT_GE(TicksElapsed(start, GetTickCount()), 19u);
}

TEST(Events, TimedWaitTimesOutWhenNothingSignals) {
  Event event(Event::ResetMode::Auto);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(event.Wait(50));
  EXPECT_GE(MillisecondsSince(start), 49u);
}

TEST(Events, AutoResetReleasesOneWaitAndManualResetStaysSet) {
  Event automatic(Event::ResetMode::Auto, true);
  EXPECT_TRUE(automatic.Wait(0));
  EXPECT_FALSE(automatic.Wait(0));
  Event manual(Event::ResetMode::Manual, true);
  EXPECT_TRUE(manual.Wait(0));
  EXPECT_TRUE(manual.Wait(0));
  manual.Reset();
  EXPECT_FALSE(manual.Wait(0));
}

TEST(Events, SetFromAnotherThreadWakesTheWaiter) {
  Event event(Event::ResetMode::Auto);
  std::thread setter([&] {
    std::this_thread::sleep_for(30ms);
    event.Set();
  });
  EXPECT_TRUE(event.Wait(5000));
  setter.join();
}

TEST(Events, WaitForAnyReturnsTheLowestSignalledIndex) {
  Event first(Event::ResetMode::Auto), second(Event::ResetMode::Auto), third(Event::ResetMode::Manual);
  EXPECT_EQ(WaitForEvents({&first, &second, &third}, false, 0), WAIT_TIMED_OUT);
  third.Set();
  second.Set();
  EXPECT_EQ(WaitForEvents({&first, &second, &third}, false, 0), 1);
  EXPECT_EQ(WaitForEvents({&first, &second, &third}, false, 0), 2);
  std::thread setter([&] {
    std::this_thread::sleep_for(20ms);
    first.Set();
  });
  third.Reset();
  EXPECT_EQ(WaitForEvents({&first, &second, &third}, false, 5000), 0);
  setter.join();
}

TEST(Events, WaitForAllConsumesOnlyWhenAllAreSet) {
  Event a(Event::ResetMode::Auto), b(Event::ResetMode::Auto);
  a.Set();
  EXPECT_EQ(WaitForEvents({&a, &b}, true, 20), WAIT_TIMED_OUT);
  EXPECT_TRUE(a.IsSet());
  std::thread setter([&] {
    std::this_thread::sleep_for(20ms);
    b.Set();
  });
  EXPECT_EQ(WaitForEvents({&a, &b}, true, 5000), 0);
  EXPECT_FALSE(a.IsSet());
  EXPECT_FALSE(b.IsSet());
  setter.join();
}

TEST(Events, EachSetOfAnAutoEventReleasesExactlyOneOfManyWaiters) {
  Event event(Event::ResetMode::Auto);
  std::atomic<int> released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 4; ++i)
    waiters.emplace_back([&] {
      if (event.Wait(1500)) ++released;
    });
  const auto waitFor = [&](int count) {
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    while (released.load() < count && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  };
  event.Set();
  waitFor(1);
  event.Set();  // a Set while still set would do nothing, as on Win32: hence the wait above
  waitFor(2);
  for (auto& waiter : waiters) waiter.join();
  EXPECT_EQ(released.load(), 2);
}

TEST(RecursiveMutex, TimedAcquireFailsWhileAnotherThreadHoldsItAndSucceedsOnceReleased) {
  RecursiveTimedMutex mutex;
  std::unique_lock outer(mutex);
  std::unique_lock inner(mutex, std::chrono::milliseconds(10));
  EXPECT_TRUE(inner.owns_lock());
  std::thread other([&] {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(mutex.Acquire(30));
    EXPECT_GE(MillisecondsSince(start), 29u);
  });
  other.join();
  inner.unlock();
  std::thread stillHeld([&] { EXPECT_FALSE(mutex.try_lock()); });
  stillHeld.join();
  std::atomic<bool> acquired{false};
  std::thread waiter([&] {
    std::unique_lock attempt(mutex, std::chrono::seconds(5));
    acquired = attempt.owns_lock();
  });
  std::this_thread::sleep_for(20ms);
  outer.unlock();
  waiter.join();
  EXPECT_TRUE(acquired);
}

TEST(RecursiveMutex, ReleaseByAThreadThatDoesNotHoldItIsRefused) {
  RecursiveTimedMutex mutex;
  EXPECT_THROW(mutex.unlock(), std::logic_error);
  mutex.lock();
  std::thread other([&] { EXPECT_THROW(mutex.unlock(), std::logic_error); });
  other.join();
  mutex.unlock();
}

namespace {
// Collects the inversions reported on this thread instead of aborting.
thread_local std::vector<std::string> inversions;
void CollectInversion(const std::string& what) { inversions.push_back(what); }
}  // namespace

class LockRanks : public ::testing::Test {
 protected:
  void SetUp() override {
    inversions.clear();
    previous_ = lock_ranks::SetViolationHandler(&CollectInversion);
  }
  void TearDown() override { lock_ranks::SetViolationHandler(previous_); }

 private:
  lock_ranks::ViolationHandler previous_ = nullptr;
};

TEST_F(LockRanks, TakingAnOuterLockUnderAnInnerOneIsCaughtAndNamed) {
  RecursiveTimedMutex list(LockRank::ContainerList);
  ObjectMutex object;
  {
    const std::lock_guard outer(list);
    const std::lock_guard inner(object);
  }
  EXPECT_TRUE(inversions.empty());
  {
    const std::lock_guard inner(object);
    const std::lock_guard outer(list);
  }
  ASSERT_EQ(inversions.size(), 1u);
  EXPECT_EQ(inversions[0], "Lock order violated: taking container list (rank 2) while holding object (rank 3)");
}

TEST_F(LockRanks, ReentryEqualRanksAndReleasedLocksAreNoInversion) {
  RecursiveTimedMutex parent(LockRank::ContainerList);
  RecursiveTimedMutex child(LockRank::ContainerList);
  ObjectMutex first;
  ObjectMutex second;
  {
    const std::lock_guard outer(parent);
    const std::lock_guard inner(child);
    const std::lock_guard object(first);
    const std::lock_guard again(parent);  // re-entry of a list this thread holds waits for nobody
    const std::lock_guard sibling(second);
    EXPECT_TRUE(lock_ranks::Holds(LockRank::ContainerList));
  }
  EXPECT_FALSE(lock_ranks::Holds(LockRank::ContainerList));
  EXPECT_FALSE(lock_ranks::Holds(LockRank::Object));
  {
    // Released out of order, the stack still knows what is held.
    std::unique_lock object(first);
    std::unique_lock list(parent);  // an inversion: reported once
    object.unlock();
    const std::lock_guard later(second);
  }
  EXPECT_EQ(inversions.size(), 1u);
}

TEST_F(LockRanks, AConditionWaitReleasesAndRetakesTheRankedLock) {
  RankedMutex<LockRank::ClientQueue> queue;
  std::condition_variable_any changed;
  bool ready = false;
  std::thread other([&] {
    const std::lock_guard lock(queue);
    ready = true;
    changed.notify_one();
  });
  {
    std::unique_lock lock(queue);
    changed.wait(lock, [&] { return ready; });
    EXPECT_TRUE(lock_ranks::Holds(LockRank::ClientQueue));
  }
  other.join();
  EXPECT_FALSE(lock_ranks::Holds(LockRank::ClientQueue));
  EXPECT_TRUE(inversions.empty());
}

TEST(MessageQueue, PostsFromOtherThreadsReachTheWindowInOrder) {
  std::vector<std::uintptr_t> received;
  HiddenWindow window([&](const Message& message) {
    if (message.id == WM_USER) received.push_back(message.wParam);
  });
  std::thread poster([handle = window.Handle()] {
    for (std::uintptr_t i = 0; i < 100; ++i) EXPECT_TRUE(PostMessage(handle, WM_USER, i, 0));
  });
  poster.join();
  auto queue = MessageQueue::ForCurrentThread();
  Message message;
  while (received.size() < 100 && queue->GetWithin(message, 2000) == MessageQueue::GetResult::Message) {
    queue->Dispatch(message);
  }
  ASSERT_EQ(received.size(), 100u);
  for (std::uintptr_t i = 0; i < 100; ++i) EXPECT_EQ(received[i], i);
}

TEST(MessageQueue, TimerRepeatsUntilKilled) {
  int ticks = 0;
  std::unique_ptr<HiddenWindow> window;
  window = std::make_unique<HiddenWindow>([&](const Message& message) {
    if (message.id == WM_TIMER && message.wParam == 7 && ++ticks == 3) window->KillTimer(7);
  });
  window->SetTimer(7, 10);
  auto queue = MessageQueue::ForCurrentThread();
  Message message;
  while (ticks < 3 && queue->GetWithin(message, 2000) == MessageQueue::GetResult::Message) queue->Dispatch(message);
  EXPECT_EQ(ticks, 3);
  EXPECT_EQ(queue->GetWithin(message, 50), MessageQueue::GetResult::TimedOut);
}

TEST(MessageQueue, QuitEndsTheLoopAfterThePostedMessages) {
  std::shared_ptr<MessageQueue> queue;
  std::mutex mutex;
  std::vector<std::uint32_t> seen;
  std::thread owner([&] {
    {
      std::lock_guard lock(mutex);
      queue = MessageQueue::ForCurrentThread();
    }
    Message message;
    while (queue->Get(message)) seen.push_back(message.id);
    seen.push_back(static_cast<std::uint32_t>(message.wParam));
  });
  while (true) {
    std::lock_guard lock(mutex);
    if (queue) break;
  }
  std::shared_ptr<MessageQueue> target;
  {
    std::lock_guard lock(mutex);
    target = queue;
  }
  target->Post(Message{0, WM_USER + 1, 0, 0});
  target->PostQuit(5);
  owner.join();
  EXPECT_EQ(seen, (std::vector<std::uint32_t>{WM_USER + 1, 5}));
  EXPECT_FALSE(target->Post(Message{0, WM_USER, 0, 0}));
}

TEST(MessageQueue, PostsToADestroyedWindowFailAndPendingOnesAreDropped) {
  int calls = 0;
  auto window = std::make_unique<HiddenWindow>([&](const Message&) { ++calls; });
  const WindowHandle handle = window->Handle();
  EXPECT_TRUE(PostMessage(handle, WM_USER, 0, 0));
  window.reset();
  EXPECT_FALSE(PostMessage(handle, WM_USER, 0, 0));
  Message message;
  EXPECT_EQ(MessageQueue::ForCurrentThread()->GetWithin(message, 20), MessageQueue::GetResult::TimedOut);
  EXPECT_EQ(calls, 0);
}

namespace {
// A connection to a loopback listener of its own.
int ConnectTo(int listener) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  return ::connect(client, reinterpret_cast<sockaddr*>(&address), length) == 0 ? client : -1;
}
}  // namespace

TEST(SpareDescriptor, AConnectionThatFindsNoDescriptorLeftIsTurnedAwaySoTheListenerStopsBeingReadable) {
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener, 8), 0);
  const int first = ConnectTo(listener);
  const int second = ConnectTo(listener);
  ASSERT_GE(first, 0);
  ASSERT_GE(second, 0);
  // Out of descriptors in a child of its own, so this process keeps its limit.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    TSpareDescriptor spare;
    const auto taken = spare.Accept(listener, SOCK_CLOEXEC);
    if (taken.outcome != TSpareDescriptor::TAccept::Taken) ::_exit(1);
    const rlimit few{static_cast<rlim_t>(taken.descriptor + 8), static_cast<rlim_t>(taken.descriptor + 8)};
    if (::setrlimit(RLIMIT_NOFILE, &few) != 0) ::_exit(2);
    while (::dup(0) >= 0) {
    }
    const auto refused = spare.Accept(listener, SOCK_CLOEXEC);
    if (refused.outcome != TSpareDescriptor::TAccept::TurnedAway || refused.error != EMFILE) ::_exit(3);
    pollfd wait{listener, POLLIN, 0};
    ::_exit(::poll(&wait, 1, 0) == 0 ? 0 : 4);
  }
  int status = -1;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  // The second connection was closed by the server's side.
  char byte = 0;
  EXPECT_EQ(::recv(second, &byte, 1, 0), 0);
  ::close(first);
  ::close(second);
  ::close(listener);
}
