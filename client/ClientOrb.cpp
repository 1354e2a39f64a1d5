#include "ClientOrb.h"

#include <iostream>
#include <stdexcept>

namespace vantrel {

namespace {
TClientOrb Start(const TTlsFiles& tls, const std::string& address, const std::string& port, bool orderedCallbacks) {
  const bool useTls = !tls.certificateFile.empty() || !tls.privateKeyFile.empty() || !tls.caFile.empty();
  if (useTls) UseTls(tls);
  const char* options[][2] = {{"endPoint", useTls ? "giop:ssl:127.0.0.1:" : "giop:tcp:127.0.0.1:"},
                              {"clientCallTimeOutPeriod", "10000"},
                              // Without ordered callbacks the list ends here.
                              {orderedCallbacks ? "maxServerThreadPerConnection" : nullptr, "1"},
                              {nullptr, nullptr}};
  int orbArgc = 0;
  TClientOrb client;
  client.orb = CORBA::ORB_init(orbArgc, nullptr, "omniORB4", options);
  client.poa = PortableServer::POA::_narrow(CORBA::Object_var(client.orb->resolve_initial_references("RootPOA")));
  PortableServer::POAManager_var(client.poa->the_POAManager())->activate();
  client.corbaloc =
      std::string(useTls ? "corbaloc:ssliop:" : "corbaloc::") + address + ":" + port + "/EnvironmentInstance";
  return client;
}
}  // namespace

bool StartClientOrb(const char* program, const TTlsFiles& tls, const std::string& address, const std::string& port,
                    bool orderedCallbacks, TClientOrb& client) {
  try {
    client = Start(tls, address, port, orderedCallbacks);
    return true;
  } catch (const std::exception& error) {
    std::cerr << program << ": " << error.what() << "\n";
  } catch (const CORBA::Exception& error) {
    std::cerr << program << ": the ORB did not start (" << error._name() << ")\n";
  }
  return false;
}

::Environment_ptr ResolveEnvironment(CORBA::ORB_ptr orb, const std::string& corbaloc) {
  CORBA::Object_var object = orb->string_to_object(corbaloc.c_str());
  ::Environment_var environment = ::Environment::_narrow(object);
  if (CORBA::is_nil(environment)) throw std::runtime_error("No Environment at " + corbaloc);
  return environment._retn();
}

}  // namespace vantrel
