#include "ClientQueue.h"

#include <cassert>
#include <utility>

#include "Vantrel.hh"
#include "support/FormatText.h"
#include "support/VantrelCommonRoutines.h"

namespace vantrel {

namespace {
// A sending thread with nothing to send ends after this; the next post starts another.
constexpr std::chrono::seconds kIdleEnd{10};

long Milliseconds(TClientQueue::Clock::duration duration) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(duration).count());
}
}  // namespace

TClientQueue::TClientQueue(std::string client) : client_(std::move(client)) {}

TClientQueue::~TClientQueue() { Stop(); }

const char* TClientQueue::StateName(TState state) {
  switch (state) {
    case TState::Open:
      return "Open";
    case TState::Dropped:
      return "Dropped";
    case TState::Stopped:
      return "Stopped";
  }
  return "?";
}

void TClientQueue::SetState(TState state, const std::unique_lock<TQueueMutex>& held) {
  assert(held.owns_lock() && held.mutex() == &mutex_);
  (void)held;
  LogFormat("client %s: %s -> %s", {client_, StateName(state_), StateName(state)});
  state_ = state;
}

void TClientQueue::Drop(const std::string& why, const std::unique_lock<TQueueMutex>& held) {
  LogErrorLine(
      FormatText("Client %s dropped: %s; %d events not sent", {client_, why, static_cast<long>(pending_.size())}));
  pending_.clear();
  SetState(TState::Dropped, held);
  sent_.notify_all();
}

bool TClientQueue::Post(const char* operation, Send send) {
  std::unique_lock lock(mutex_);
  if (state_ != TState::Open) return false;
  if (pending_.size() >= kMostPending) {
    Drop(FormatText("more than %d events wait", {static_cast<long>(kMostPending)}), lock);
    return false;
  }
  pending_.push_back({operation, std::move(send), Clock::now()});
  if (!threadRunning_) {
    if (thread_.joinable()) thread_.join();  // it has ended its loop and takes no lock any more
    threadRunning_ = true;
    thread_ = std::thread([this] { Run(); });
  }
  posted_.notify_one();
  return true;
}

bool TClientQueue::Dropped() const {
  std::lock_guard lock(mutex_);
  return state_ == TState::Dropped;
}

bool TClientQueue::WaitUntilSent(Clock::time_point deadline) {
  std::unique_lock lock(mutex_);
  return sent_.wait_until(lock, deadline, [&] { return state_ != TState::Open || (pending_.empty() && !sending_); });
}

void TClientQueue::Stop() {
  std::thread ending;
  {
    std::unique_lock lock(mutex_);
    if (state_ == TState::Open) {
      pending_.clear();
      SetState(TState::Stopped, lock);
    }
    ending = std::move(thread_);
  }
  posted_.notify_all();
  if (ending.joinable()) ending.join();
}

void TClientQueue::Run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    const bool work = posted_.wait_for(lock, kIdleEnd, [&] { return state_ != TState::Open || !pending_.empty(); });
    if (!work || state_ != TState::Open) break;
    TPending next = std::move(pending_.front());
    pending_.pop_front();
    const Clock::duration waited = Clock::now() - next.posted;
    if (waited > kDeliveryBound) {
      Drop(FormatText("an event waited %d ms", {Milliseconds(waited)}), lock);
      break;
    }
    sending_ = true;
    lock.unlock();
    std::string unreachable;
    try {
      next.send();
    } catch (const CORBA::TRANSIENT& e) {
      unreachable = e._name();
    } catch (const CORBA::COMM_FAILURE& e) {
      unreachable = e._name();
    } catch (const CORBA::TIMEOUT& e) {
      unreachable = e._name();
    } catch (const CORBA::Exception& e) {
      // The client is there but its listener failed this event (a deactivated object, its own error).
      LogFormat("client %s: %s failed: %s", {client_, next.operation, e._name()});
    } catch (...) {
      LogFormat("client %s: %s failed", {client_, next.operation});
    }
    lock.lock();
    sending_ = false;
    sent_.notify_all();
    if (!unreachable.empty() && state_ == TState::Open) {
      Drop(FormatText("%s did not reach it (%s)", {next.operation, unreachable}), lock);
      break;
    }
  }
  threadRunning_ = false;
  sent_.notify_all();
}

}  // namespace vantrel
