#include "HiddenWindow.h"

#include <atomic>
#include <map>
#include <mutex>
#include <stdexcept>

namespace vantrel::platform {

namespace {

// Which queue each live window belongs to, for posts from other threads.
struct WindowRegistry {
  std::mutex mutex;
  std::map<WindowHandle, std::weak_ptr<MessageQueue>> queues;  // guarded by mutex
  std::atomic<WindowHandle> lastHandle{0};
};

WindowRegistry& Registry() {
  static WindowRegistry registry;
  return registry;
}

}  // namespace

HiddenWindow::HiddenWindow(WindowProcedure procedure)
    : queue_(MessageQueue::ForCurrentThread()), handle_(++Registry().lastHandle) {
  if (!procedure) throw std::invalid_argument("HiddenWindow: no window procedure");
  queue_->AddWindow(handle_, std::move(procedure));
  std::lock_guard lock(Registry().mutex);
  Registry().queues.emplace(handle_, queue_);
}

HiddenWindow::~HiddenWindow() {
  {
    std::lock_guard lock(Registry().mutex);
    Registry().queues.erase(handle_);
  }
  queue_->RemoveWindow(handle_);
}

void HiddenWindow::SetTimer(std::uintptr_t id, std::uint32_t intervalMs) { queue_->SetTimer(handle_, id, intervalMs); }

void HiddenWindow::KillTimer(std::uintptr_t id) { queue_->KillTimer(handle_, id); }

bool PostMessage(WindowHandle window, std::uint32_t id, std::uintptr_t wParam, std::intptr_t lParam) {
  std::shared_ptr<MessageQueue> queue;
  {
    std::lock_guard lock(Registry().mutex);
    const auto found = Registry().queues.find(window);
    if (found == Registry().queues.end()) return false;
    queue = found->second.lock();
  }
  return queue && queue->Post(Message{window, id, wParam, lParam});
}

}  // namespace vantrel::platform
