#include "ProcessState.h"

namespace vantrel {

namespace {
CORBA::ORB_var processORB;
PortableServer::POA_var processRootPOA;
}  // namespace

CORBA::ORB_ptr ProcessORB() { return processORB.in(); }

PortableServer::POA_ptr ProcessRootPOA() { return processRootPOA.in(); }

void SetProcessReferences(CORBA::ORB_ptr orb, PortableServer::POA_ptr rootPOA) {
  processORB = CORBA::ORB::_duplicate(orb);
  processRootPOA = PortableServer::POA::_duplicate(rootPOA);
}

// Unload order: the root POA first, then the ORB.
void ReleaseProcessReferences() {
  processRootPOA = PortableServer::POA::_nil();
  processORB = CORBA::ORB::_nil();
}

std::string ReferenceString(CORBA::Object_ptr object) {
  if (CORBA::is_nil(object) || CORBA::is_nil(processORB)) return {};
  CORBA::String_var text = processORB->object_to_string(object);
  return text.in();
}

}  // namespace vantrel
