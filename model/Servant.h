#pragma once

#include <omniORB4/callHandle.h>

#include <utility>

#include "Vantrel.hh"
#include "support/ProcessState.h"

namespace vantrel {

// What the ORB serves: the implementation class with the catalogue's answer to an operation name that
// neither its skeletons nor CORBA::Object know, BAD_OPERATION with minor code 0 (omniORB would use its own).
template <typename Impl>
class TServant final : public Impl {
 public:
  template <typename... Args>
  explicit TServant(Args&&... args) : Impl(std::forward<Args>(args)...) {}

  CORBA::Boolean _dispatch(omniCallHandle& handle) override {
    WaitUntilServing();
    const TRemoteRequest request(handle.operation_name());
    std::unique_lock iniFiles(IniFileOperations(), std::defer_lock);
    if (TouchesIniFiles(handle.operation_name())) iniFiles.lock();
    if (Impl::_dispatch(handle)) return true;
    if (PortableServer::ServantBase::_dispatch(handle)) return true;
    throw CORBA::BAD_OPERATION(0, CORBA::COMPLETED_NO);
  }
};

// The servant of this process behind a reference, for what the server does inside itself beyond the remote
// interface; it stays alive while the holder lives. Empty for another process's object or a nil reference.
template <typename Impl>
class TLocalServant {
 public:
  explicit TLocalServant(CORBA::Object_ptr reference) {
    PortableServer::POA_ptr poa = ProcessRootPOA();
    if (CORBA::is_nil(poa) || CORBA::is_nil(reference)) return;
    try {
      held_ = poa->reference_to_servant(reference);
      servant_ = dynamic_cast<Impl*>(held_.in());
    } catch (const CORBA::Exception&) {
      servant_ = nullptr;
    }
  }
  Impl* operator->() const { return servant_; }
  Impl* get() const { return servant_; }
  explicit operator bool() const { return servant_ != nullptr; }

 private:
  PortableServer::ServantBase_var held_;
  Impl* servant_ = nullptr;
};

}  // namespace vantrel
