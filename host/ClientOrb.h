#pragma once

#include <omniORB4/CORBA.h>

#include <string>

#include "TlsContext.h"

namespace vantrel {

// A client program's ORB (the console, the web gateway): plain IIOP, or IIOP over TLS when any TLS file is
// named; it serves the program's listeners on loopback. The caller destroys the ORB.
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

}  // namespace vantrel
