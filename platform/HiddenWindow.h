#pragma once

#include <memory>

#include "MessageQueue.h"

namespace vantrel::platform {

// A hidden window: a message target bound to the queue of the thread that makes it.
// Must be made and destroyed on that thread; any thread may post to its handle.
class HiddenWindow {
 public:
  explicit HiddenWindow(WindowProcedure procedure);
  ~HiddenWindow();
  HiddenWindow(const HiddenWindow&) = delete;
  HiddenWindow& operator=(const HiddenWindow&) = delete;

  WindowHandle Handle() const { return handle_; }
  // Repeats WM_TIMER with wParam = id every interval; setting an existing id restarts it.
  void SetTimer(std::uintptr_t id, std::uint32_t intervalMs);
  void KillTimer(std::uintptr_t id);

 private:
  const std::shared_ptr<MessageQueue> queue_;
  const WindowHandle handle_;
};

// Posts to the window's thread queue; false when the window or its thread is gone.
bool PostMessage(WindowHandle window, std::uint32_t id, std::uintptr_t wParam, std::intptr_t lParam);

}  // namespace vantrel::platform
