#pragma once

#include <memory>
#include <utility>

#include "ClientQueues.h"
#include "Vantrel.hh"

namespace vantrel {

// A listener reference with its client's queue: events are posted, never sent on the caller's thread. Not
// locked itself; its owner guards it with its own lock.
template <typename Interface>
class TListener {
 public:
  using Pointer = typename Interface::_ptr_type;
  using Reference = typename Interface::_var_type;

  void Set(Pointer listener) {
    reference_ = Interface::_duplicate(listener);
    queue_ = TClientQueues::Instance().QueueFor(listener);
  }
  void Clear() { Set(Interface::_nil()); }
  Pointer Get() const { return Interface::_duplicate(reference_.in()); }
  bool IsNil() const { return CORBA::is_nil(reference_.in()); }
  // The same object as `other` (a local comparison of references, no call to the client).
  bool Is(Pointer other) const { return !IsNil() && !CORBA::is_nil(other) && reference_->_is_equivalent(other); }
  // Its client has been dropped: the owner lets the listener go as it would a stale one.
  bool Dropped() const { return queue_ && queue_->Dropped(); }

  // Queues `call(listener)` for the listener's client; nothing when there is no listener.
  template <typename Call>
  void Post(const char* operation, Call call) {
    if (IsNil()) return;
    queue_->Post(operation, [reference = Reference(Get()), call = std::move(call)] { call(reference.in()); });
  }

 private:
  Reference reference_;
  std::shared_ptr<TClientQueue> queue_;
};

}  // namespace vantrel
