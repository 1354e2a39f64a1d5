#pragma once

#include <string>
#include <vector>

#include "Vantrel.hh"

namespace vantrel {

// The ORB's option list as the host entry builds it: "-ORBIIOPAddr", "inet:A:P", "-ORBThreadPoolTimeout".
std::vector<std::string> MakeOrbOptions(const std::string& address, const std::string& port);

// omniORB's command line for that list: the IIOP address becomes an endPoint, and client call and connect
// time-outs keep a dead or stuck listener client from hanging the server.
// With tls the endpoint is omniORB's SSL transport instead of plain TCP.
std::vector<std::string> TranslateOrbOptions(const std::vector<std::string>& options, bool tls = false);

CORBA::ORB_ptr InitOrb(const std::vector<std::string>& options, bool tls = false);
PortableServer::POA_ptr FindRootPOA(CORBA::ORB_ptr orb);

// Activation under a fixed id goes into omniORB's INS POA, whose object keys are the plain id,
// so the object is reachable as corbaloc::A:P/<id>. Returns its reference.
CORBA::Object_ptr ActivateObjectWithId(CORBA::ORB_ptr orb, const char* objectId, PortableServer::Servant servant);
// The root POA's manager goes active at once, so that in-process calls to served children are never held;
// the fixed-id POA's manager only when start-up is done, so no client reaches a half-made Environment.
void ActivatePOAManager(PortableServer::POA_ptr poa);
void ActivateFixedIdPOAManager(CORBA::ORB_ptr orb);
// Deactivates a servant wherever it is active; nothing when it is not.
void DeactivateServant(PortableServer::POA_ptr poa, PortableServer::Servant servant);

// Client-side time-outs of calls the server makes, in milliseconds.
constexpr unsigned kClientCallTimeoutMs = 4000;
constexpr unsigned kClientConnectTimeoutMs = 2000;

}  // namespace vantrel
