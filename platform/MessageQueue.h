#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace vantrel::platform {

using WindowHandle = std::uint64_t;  // 0 = a thread message, dispatched to no window

constexpr std::uint32_t WM_QUIT = 0x0012;
constexpr std::uint32_t WM_TIMER = 0x0113;  // wParam = the timer id
constexpr std::uint32_t WM_USER = 0x0400;

struct Message {
  WindowHandle window = 0;
  std::uint32_t id = 0;
  std::uintptr_t wParam = 0;
  std::intptr_t lParam = 0;
};

using WindowProcedure = std::function<void(const Message&)>;

// The message queue of one thread, made on first use by that thread. Any thread may post to it;
// only the owner thread gets, dispatches, and owns windows and timers.
class MessageQueue {
 public:
  enum class GetResult { Message, Quit, TimedOut };

  static std::shared_ptr<MessageQueue> ForCurrentThread();

  // False once the owner thread has ended.
  bool Post(const Message& message);
  void PostQuit(int exitCode);

  // Blocks until a message; false on WM_QUIT (its exit code in message.wParam), as GetMessage does.
  bool Get(Message& message);
  GetResult GetWithin(Message& message, std::uint32_t timeoutMs);
  bool Peek(Message& message);
  // Calls the procedure of the message's window; messages of destroyed windows are dropped.
  void Dispatch(const Message& message);

  std::thread::id OwnerThread() const { return owner_; }

  MessageQueue() : owner_(std::this_thread::get_id()) {}
  ~MessageQueue();
  MessageQueue(const MessageQueue&) = delete;
  MessageQueue& operator=(const MessageQueue&) = delete;

 private:
  friend class HiddenWindow;
  struct Timer {
    WindowHandle window;
    std::uintptr_t id;
    std::chrono::milliseconds interval;
    std::chrono::steady_clock::time_point due;
  };
  using Clock = std::chrono::steady_clock;

  void Close();
  bool TakeLocked(Message& message, Clock::time_point now);
  void AddWindow(WindowHandle window, WindowProcedure procedure);
  void RemoveWindow(WindowHandle window);
  void SetTimer(WindowHandle window, std::uintptr_t id, std::uint32_t intervalMs);
  void KillTimer(WindowHandle window, std::uintptr_t id);

  const std::thread::id owner_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Message> messages_;                     // guarded by mutex_
  std::vector<Timer> timers_;                        // guarded by mutex_
  bool quitPending_ = false;                         // guarded by mutex_
  int quitCode_ = 0;                                 // guarded by mutex_
  bool closed_ = false;                              // guarded by mutex_
  std::map<WindowHandle, WindowProcedure> windows_;  // only the owner thread touches it

  friend struct QueueHolder;
};

}  // namespace vantrel::platform
