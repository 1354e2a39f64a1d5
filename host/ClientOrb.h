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
// in the order sent. Throws std::runtime_error for TLS files that cannot be read.
TClientOrb StartClientOrb(const TTlsFiles& tls, const std::string& address, const std::string& port,
                          bool orderedCallbacks = false);

}  // namespace vantrel
