#pragma once

#include <utility>

#include "Vantrel.hh"

namespace vantrel {

// What the ORB serves: the implementation class with the catalogue's answer to an operation name that
// neither its skeletons nor CORBA::Object know, BAD_OPERATION with minor code 0 (omniORB would use its own).
template <typename Impl>
class TServant final : public Impl {
 public:
  template <typename... Args>
  explicit TServant(Args&&... args) : Impl(std::forward<Args>(args)...) {}

  CORBA::Boolean _dispatch(omniCallHandle& handle) override {
    if (Impl::_dispatch(handle)) return true;
    if (PortableServer::ServantBase::_dispatch(handle)) return true;
    throw CORBA::BAD_OPERATION(0, CORBA::COMPLETED_NO);
  }
};

}  // namespace vantrel
