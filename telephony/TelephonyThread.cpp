#include "TelephonyThread.h"

#include <omniORB4/CORBA.h>

#include <future>
#include <stdexcept>

#include "platform/HiddenWindow.h"
#include "telephony/diZudu.h"

namespace vantrel::telephony {

namespace {
constexpr std::uint32_t kRunWork = 0x0400 + 0x51;  // WM_USER + a number of our own

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

void TTelephonyThread::Bind() {
  auto window = std::make_unique<platform::HiddenWindow>([](const platform::Message& message) {
    if (message.id != kRunWork) return;
    auto* work = reinterpret_cast<TWork*>(message.wParam);
    try {
      (*work->work)();
    } catch (const ETapiError& error) {
      work->failure = TWork::Failure::Tapi;
      work->message = error.what();
      work->tapiCode = error.ErrorCode;
    } catch (const std::exception& error) {
      work->failure = TWork::Failure::Other;
      work->message = error.what();
    } catch (const CORBA::SystemException& error) {
      work->failure = TWork::Failure::Other;
      work->message = std::string(error._name()) + " (minor " + std::to_string(error.minor()) + ")";
    } catch (const CORBA::Exception& error) {
      work->failure = TWork::Failure::Other;
      work->message = error._name();
    } catch (...) {
      work->failure = TWork::Failure::Other;
      work->message = "Unknown exception";
    }
    work->done.set_value();
  });
  std::lock_guard lock(mutex_);
  owner_ = std::this_thread::get_id();
  windowHandle_ = window->Handle();
  window_ = std::move(window);
}

void TTelephonyThread::Unbind() {
  std::lock_guard lock(mutex_);
  owner_ = std::thread::id();
  windowHandle_ = 0;
}

bool TTelephonyThread::IsOwner() const {
  std::lock_guard lock(mutex_);
  return owner_ == std::this_thread::get_id();
}

void TTelephonyThread::Run(const std::function<void()>& work) {
  std::uint64_t window = 0;
  {
    std::lock_guard lock(mutex_);
    if (owner_ != std::thread::id() && owner_ != std::this_thread::get_id()) window = windowHandle_;
  }
  if (window == 0) {
    work();
    return;
  }
  TWork handed{&work, {}};
  std::future<void> done = handed.done.get_future();
  if (!platform::PostMessage(window, kRunWork, reinterpret_cast<std::uintptr_t>(&handed), 0)) {
    work();  // the owner is gone: nobody else uses the layer any more
    return;
  }
  done.get();
  if (handed.failure == TWork::Failure::Tapi) throw ETapiError(handed.message, handed.tapiCode);
  if (handed.failure == TWork::Failure::Other) throw std::runtime_error(handed.message);
}

}  // namespace vantrel::telephony
