// A client program's ORB (the console, the web gateway): its start-up with or without TLS, the server's
// Environment found by its corbaloc, and the listeners the program serves.
#pragma once

#include <omniORB4/CORBA.h>

#include <string>

#include "Vantrel.hh"
#include "host/TlsContext.h"

namespace vantrel {

// Plain IIOP, or IIOP over TLS when any TLS file is named; it serves the program's listeners on loopback. The
// caller destroys the ORB.
struct TClientOrb {
  CORBA::ORB_var orb;
  PortableServer::POA_var poa;  // active, for listener servants
  std::string corbaloc;         // the server's Environment
};

// `orderedCallbacks`: each connection from the server is served by one thread, so its listener calls are handled
// in the order sent. False, with the reason on standard error after "PROGRAM: ", when TLS files cannot be read
// or the ORB does not start.
bool StartClientOrb(const char* program, const TTlsFiles& tls, const std::string& address, const std::string& port,
                    bool orderedCallbacks, TClientOrb& client);

// The server's Environment at `corbaloc`; throws std::runtime_error("No Environment at ...") when the object
// there is none, and the ORB's exception when the server cannot be reached.
::Environment_ptr ResolveEnvironment(CORBA::ORB_ptr orb, const std::string& corbaloc);

// Activates a listener servant made with new in `poa`, which holds it from then on (also when activation fails,
// the servant does not leak); returns its reference, and its id for deactivation.
template <typename Interface>
typename Interface::_ptr_type ServeListener(PortableServer::POA_ptr poa, PortableServer::ServantBase* servant,
                                            PortableServer::ObjectId_var& id) {
  const PortableServer::Servant_var<PortableServer::ServantBase> created(servant);
  id = poa->activate_object(created.in());
  CORBA::Object_var object = poa->id_to_reference(id.in());
  return Interface::_narrow(object);
}

}  // namespace vantrel
