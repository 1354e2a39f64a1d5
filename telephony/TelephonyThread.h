#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <type_traits>

namespace vantrel::platform {
class HiddenWindow;
}

namespace vantrel::telephony {

// The thread that owns the telephony layer: it initialised TAPI and pumps its messages. Work asked for on
// other threads (remote calls arriving on the ORB's threads) is handed to it and waited for, so the layer
// is only ever touched by one thread.
//
// The thread contract (the object tree's locks are listed in model/ContainerLib.h):
// - Only this thread touches the TAPI objects (application, lines, calls, addresses) and runs the line
//   objects' events; the exchange reaches it through the TAPI message queue, nothing else.
// - A caller of Run/Call holds no list lock of the object tree: this thread may be waiting for that lock.
// - While a synchronous TAPI request waits for its reply this thread pumps messages; remote work that arrives
//   then is held back and run when the wait ends, so no line sees another request start inside its own.
// - Work handed here must not wait for anything that waits for this thread (another thread's Run, a remote
//   call back into this process that needs a line).
class TTelephonyThread {
 public:
  static TTelephonyThread& Instance();

  // Makes the calling thread the owner; it must pump its message queue from now on.
  void Bind();
  // After this, work runs on the thread that asks for it (the owner is shutting the process down).
  void Unbind();
  bool IsOwner() const;
  // Runs the work on the owner thread and returns its result or rethrows its exception; directly when
  // called on the owner thread or while no owner is bound.
  void Run(const std::function<void()>& work);
  template <typename Work>
  auto Call(Work&& work) -> decltype(work()) {
    using Result = decltype(work());
    if constexpr (std::is_void_v<Result>) {
      Run(std::forward<Work>(work));
    } else {
      std::optional<Result> result;
      Run([&] { result.emplace(work()); });
      return std::move(*result);
    }
  }

 private:
  TTelephonyThread() = default;
  // Runs the work held back during waits, in order, as long as no wait is open.
  void RunDeferred();

  mutable std::mutex mutex_;
  std::thread::id owner_;                           // guarded by mutex_
  std::unique_ptr<platform::HiddenWindow> window_;  // guarded by mutex_; made and destroyed on the owner thread
  std::uint64_t windowHandle_ = 0;                  // guarded by mutex_
  std::deque<void*> deferred_;                      // only on the owner thread: work that arrived during a wait
};

}  // namespace vantrel::telephony
