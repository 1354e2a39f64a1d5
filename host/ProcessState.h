#pragma once

#include <string>

#include "Vantrel.hh"

namespace vantrel {

// The ORB and root POA that start-up made: written during start-up and unload only, read everywhere after.
CORBA::ORB_ptr ProcessORB();
PortableServer::POA_ptr ProcessRootPOA();
void SetProcessReferences(CORBA::ORB_ptr orb, PortableServer::POA_ptr rootPOA);
void ReleaseProcessReferences();

// The stringified reference of any served object of this process; empty for nil.
std::string ReferenceString(CORBA::Object_ptr object);

}  // namespace vantrel
