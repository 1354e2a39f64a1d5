#include "TelephonyThread.h"

#include <omniORB4/CORBA.h>

#include <cassert>
#include <future>
#include <stdexcept>

#include "platform/HiddenWindow.h"
#include "platform/LockRank.h"
#include "platform/MessageQueue.h"
#include "telephony/diZudu.h"

namespace vantrel::telephony {

namespace {
constexpr std::uint32_t kRunWork = 0x0400 + 0x51;  // WM_USER + numbers of our own
constexpr std::uint32_t kRunDeferred = 0x0400 + 0x52;

// A failure comes back as its text (and TAPI code) and is raised anew on the asking thread: exception objects
// are not shared between threads.
struct TWork {
  const std::function<void()>* work;
  std::promise<void> done;
  enum class Failure { None, Tapi, Other } failure = Failure::None;
  std::string message;
  LONG tapiCode = 0;
};
}  // namespace

// Never destroyed: servants that own lines may end after every other static, and still ask for it.
TTelephonyThread& TTelephonyThread::Instance() {
  static TTelephonyThread* const thread = new TTelephonyThread();
  return *thread;
}

namespace {
void Execute(TWork& work) {
  try {
    (*work.work)();
  } catch (const ETapiError& error) {
    work.failure = TWork::Failure::Tapi;
    work.message = error.what();
    work.tapiCode = error.ErrorCode;
  } catch (const std::exception& error) {
    work.failure = TWork::Failure::Other;
    work.message = error.what();
  } catch (const CORBA::SystemException& error) {
    work.failure = TWork::Failure::Other;
    work.message = std::string(error._name()) + " (minor " + std::to_string(error.minor()) + ")";
  } catch (const CORBA::Exception& error) {
    work.failure = TWork::Failure::Other;
    work.message = error._name();
  } catch (...) {
    work.failure = TWork::Failure::Other;
    work.message = "Unknown exception";
  }
  work.done.set_value();
}
}  // namespace

void TTelephonyThread::Bind() {
  auto window = std::make_unique<platform::HiddenWindow>([this](const platform::Message& message) {
    if (message.id == kRunWork) {
      auto* work = reinterpret_cast<TWork*>(message.wParam);
      // Work handed over while the layer waits for a reply (it pumps the queue meanwhile) runs after the
      // wait, in order: remote work never runs inside another's wait, so that nesting stays one deep.
      if (TapiApplication().WaitDepth() > 0 || !deferred_.empty()) {
        deferred_.push_back(work);
        return;
      }
      Execute(*work);
    } else if (message.id == kRunDeferred) {
      RunDeferred();
    }
  });
  TapiApplication().OnWaitsEnded = [this] {
    std::lock_guard lock(mutex_);
    if (windowHandle_ != 0 && !deferred_.empty()) platform::PostMessage(windowHandle_, kRunDeferred, 0, 0);
  };
  std::lock_guard lock(mutex_);
  owner_ = std::this_thread::get_id();
  windowHandle_ = window->Handle();
  window_ = std::move(window);
}

void TTelephonyThread::RunDeferred() {
  while (!deferred_.empty() && TapiApplication().WaitDepth() == 0) {
    auto* work = static_cast<TWork*>(deferred_.front());
    deferred_.pop_front();
    Execute(*work);
  }
}

void TTelephonyThread::Unbind() {
  bool owner = false;
  {
    std::lock_guard lock(mutex_);
    owner = owner_ == std::this_thread::get_id();
    owner_ = std::thread::id();
    windowHandle_ = 0;
  }
  // Work handed over before this point still waits in the queue: run it, or its callers wait for ever.
  if (!owner) return;
  const auto queue = platform::MessageQueue::ForCurrentThread();
  platform::Message message;
  while (queue->Peek(message)) {
    if (message.id == kRunWork) queue->Dispatch(message);
  }
  RunDeferred();
}

bool TTelephonyThread::IsOwner() const {
  std::lock_guard lock(mutex_);
  return owner_ == std::this_thread::get_id();
}

void TTelephonyThread::Run(const std::function<void()>& work) {
  TWork handed{&work, {}, TWork::Failure::None, {}, 0};
  std::future<void> done = handed.done.get_future();
  bool posted = false;
  {
    // Posted under the lock: once Unbind has run, nothing new reaches the queue it drained.
    std::lock_guard lock(mutex_);
    if (owner_ != std::thread::id() && owner_ != std::this_thread::get_id()) {
      posted = platform::PostMessage(windowHandle_, kRunWork, reinterpret_cast<std::uintptr_t>(&handed), 0);
    }
  }
  if (!posted) {
    work();  // on the owner thread, or no owner any more: nobody else uses the layer
    return;
  }
  // The owner thread may be waiting for that list: waiting for it here would never end.
  assert(!platform::lock_ranks::Holds(platform::LockRank::ContainerList));
  done.get();
  if (handed.failure == TWork::Failure::Tapi) throw ETapiError(handed.message, handed.tapiCode);
  if (handed.failure == TWork::Failure::Other) throw std::runtime_error(handed.message);
}

}  // namespace vantrel::telephony
