#include "OrbServices.h"

#include <algorithm>
#include <memory>
#include <stdexcept>

#include "support/FormatText.h"
#include "support/VantrelCommonRoutines.h"
#include "platform/DebugOutput.h"

namespace vantrel {

std::vector<std::string> MakeOrbOptions(const std::string& address, const std::string& port) {
  return {"-ORBIIOPAddr", FormatText("inet:%s:%s", {address, port}), "-ORBThreadPoolTimeout"};
}

std::vector<std::string> TranslateOrbOptions(const std::vector<std::string>& options, bool tls) {
  std::vector<std::string> result;
  for (std::size_t i = 0; i < options.size(); ++i) {
    const std::string& option = options[i];
    const bool hasValue = i + 1 < options.size() && options[i + 1].rfind("-ORB", 0) != 0;
    if (option == "-ORBIIOPAddr") {
      if (!hasValue) throw std::invalid_argument("-ORBIIOPAddr needs an address");
      const std::string& address = options[++i];
      if (address.rfind("inet:", 0) != 0) throw std::invalid_argument("Unsupported IIOP address " + address);
      result.push_back("-ORBendPoint");
      result.push_back((tls ? "giop:ssl:" : "giop:tcp:") + address.substr(5));
    } else if (option == "-ORBThreadPoolTimeout") {
      // omniORB has no such option; its thread pool idles out by itself.
      if (hasValue) ++i;
    } else {
      result.push_back(option);
    }
  }
  result.insert(result.end(), {"-ORBclientCallTimeOutPeriod", std::to_string(kClientCallTimeoutMs),
                               "-ORBclientConnectTimeOutPeriod", std::to_string(kClientConnectTimeoutMs)});
  return result;
}

namespace {

// The ORB's own complaints (a port in use, a peer speaking garbage) belong in the error log, not on the
// terminal next to the host's one-line messages.
void WriteOrbLog(const char* text) {
  std::string line = text != nullptr ? text : "";
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  platform::OutputDebugText(line);
  LogErrorLine(line);
}

}  // namespace

CORBA::ORB_ptr InitOrb(const std::vector<std::string>& options, bool tls) {
  omniORB::setLogFunction(&WriteOrbLog);
  const std::vector<std::string> arguments = TranslateOrbOptions(options, tls);
  // ORB_init may reorder or remove entries of argv, so it gets copies it can own.
  std::vector<std::unique_ptr<char[]>> storage;
  std::vector<char*> argv;
  storage.push_back(std::make_unique<char[]>(sizeof "vantrel"));
  std::copy_n("vantrel", sizeof "vantrel", storage.back().get());
  for (const std::string& argument : arguments) {
    storage.push_back(std::make_unique<char[]>(argument.size() + 1));
    std::copy_n(argument.c_str(), argument.size() + 1, storage.back().get());
  }
  for (const auto& text : storage) argv.push_back(text.get());
  int argc = static_cast<int>(argv.size());
  argv.push_back(nullptr);
  return CORBA::ORB_init(argc, argv.data());
}

PortableServer::POA_ptr FindRootPOA(CORBA::ORB_ptr orb) {
  CORBA::Object_var object = orb->resolve_initial_references("RootPOA");
  PortableServer::POA_var poa = PortableServer::POA::_narrow(object);
  if (CORBA::is_nil(poa)) throw std::runtime_error("RootPOA is not a POA");
  return poa._retn();
}

namespace {
PortableServer::POA_ptr FindINSPOA(CORBA::ORB_ptr orb) {
  CORBA::Object_var object = orb->resolve_initial_references("omniINSPOA");
  return PortableServer::POA::_narrow(object);
}
}  // namespace

CORBA::Object_ptr ActivateObjectWithId(CORBA::ORB_ptr orb, const char* objectId, PortableServer::Servant servant) {
  PortableServer::POA_var poa = FindINSPOA(orb);
  PortableServer::ObjectId_var id = PortableServer::string_to_ObjectId(objectId);
  poa->activate_object_with_id(id, servant);
  return poa->servant_to_reference(servant);
}

void ActivatePOAManager(PortableServer::POA_ptr poa) {
  PortableServer::POAManager_var manager = poa->the_POAManager();
  manager->activate();
}

void ActivateFixedIdPOAManager(CORBA::ORB_ptr orb) {
  PortableServer::POA_var poa = FindINSPOA(orb);
  ActivatePOAManager(poa);
}

void DeactivateServant(PortableServer::POA_ptr poa, PortableServer::Servant servant) {
  try {
    PortableServer::ObjectId_var id = poa->servant_to_id(servant);
    poa->deactivate_object(id);
  } catch (const PortableServer::POA::ServantNotActive&) {
  } catch (const PortableServer::POA::WrongPolicy&) {
  } catch (const PortableServer::POA::ObjectNotActive&) {
  }
}

}  // namespace vantrel
