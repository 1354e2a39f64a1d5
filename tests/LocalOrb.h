#pragma once

// One ORB for the in-process tests, serving objects of the system as the host would, so tests use them
// through their references exactly as clients do.
#include "Vantrel.hh"
#include "model/ClientQueues.h"
#include "support/IniStorage.h"
#include "support/ProcessState.h"

class LocalOrb {
 public:
  LocalOrb() {
    int argc = 0;
    orb_ = CORBA::ORB_init(argc, nullptr);
    CORBA::Object_var object = orb_->resolve_initial_references("RootPOA");
    poa_ = PortableServer::POA::_narrow(object);
    PortableServer::POAManager_var manager = poa_->the_POAManager();
    manager->activate();
    vantrel::SetProcessReferences(orb_, poa_);
    vantrel::TIniStorage::SetInstance(&storage_);
  }
  ~LocalOrb() {
    vantrel::TClientQueues::Instance().Stop();
    vantrel::TIniStorage::SetInstance(nullptr);
    vantrel::ReleaseProcessReferences();
    poa_ = PortableServer::POA::_nil();
    orb_->destroy();
  }
  PortableServer::POA_ptr POA() { return poa_.in(); }
  // Activates the servant (the POA takes it over) and returns its reference.
  template <typename Interface>
  typename Interface::_ptr_type Serve(PortableServer::ServantBase* servant) {
    PortableServer::ObjectId_var id = poa_->activate_object(servant);
    servant->_remove_ref();
    CORBA::Object_var object = poa_->id_to_reference(id);
    return Interface::_narrow(object);
  }
  vantrel::TIniStorage& Storage() { return storage_; }

 private:
  CORBA::ORB_var orb_;
  PortableServer::POA_var poa_;
  vantrel::TIniStorage storage_;
};

inline LocalOrb& Orb() {
  static LocalOrb orb;
  return orb;
}
