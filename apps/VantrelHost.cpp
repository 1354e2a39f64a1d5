// vantrel-host: loads libVantrelClient, starts it, and pumps the platform message loop on the thread that
// called InitEnvironment, which is the telephony owner thread.
#include <dlfcn.h>
#include <netdb.h>
#include <omniORB4/CORBA.h>
#include <omniORB4/IIOP.h>
#include <omniORB4/omniIOR.h>
#include <omniORB4/omniObjRef.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>
#include <thread>

#include "platform/MessageQueue.h"

namespace {

using RunEnvironmentFunction = unsigned char (*)(const char*, const char*, const char*);
using VoidFunction = unsigned char (*)();

struct Options {
  std::string address = "127.0.0.1";
  std::string port = "2809";
  std::string ini;
  std::string library;
};

// Why the ORB could not listen on address:port, found by trying to bind there ourselves.
std::string ListenFailureReason(const std::string& address, const std::string& port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* found = nullptr;
  const int resolved = ::getaddrinfo(address.empty() ? nullptr : address.c_str(), port.c_str(), &hints, &found);
  if (resolved != 0) return "the address " + address + ":" + port + " is not valid: " + ::gai_strerror(resolved);
  int error = 0;
  for (const addrinfo* candidate = found; candidate != nullptr && error == 0; candidate = candidate->ai_next) {
    const int probe = ::socket(candidate->ai_family, candidate->ai_socktype, candidate->ai_protocol);
    if (probe < 0) continue;
    const int reuse = 1;
    ::setsockopt(probe, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    if (::bind(probe, candidate->ai_addr, candidate->ai_addrlen) != 0) error = errno;
    ::close(probe);
  }
  ::freeaddrinfo(found);
  if (error == EADDRINUSE) return "port " + port + " is in use on " + address;
  if (error == EADDRNOTAVAIL) return address + " is not an address of this machine";
  if (error == EACCES) return "port " + port + " needs privileges";
  if (error != 0) return std::strerror(error);
  return "see the error log";
}

void PrintUsage(std::ostream& out) {
  out << "usage: vantrel-host --address A --port P --ini DIR [--library PATH]\n"
         "  --address A     where IIOP listens (default 127.0.0.1)\n"
         "  --port P        its port (default 2809)\n"
         "  --ini DIR       the INI folder: configuration, logs, the CRM file\n"
         "  --library PATH  the server library (default libVantrelClient.so beside the program)\n";
}

// False when the program ends here: with usage asked for (helpAsked) or with an error said on stderr.
bool ParseOptions(int argc, char** argv, Options& options, bool& helpAsked) {
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    if (name == "--help" || name == "-h") {
      helpAsked = true;
      return false;
    }
    if (name != "--address" && name != "--port" && name != "--ini" && name != "--library") {
      std::cerr << "vantrel-host: unknown option " << name << "\n";
      return false;
    }
    if (i + 1 >= argc) {
      std::cerr << "vantrel-host: " << name << " needs a value\n";
      return false;
    }
    const std::string value = argv[++i];
    if (name == "--address") {
      options.address = value;
    } else if (name == "--port") {
      const bool digits =
          !value.empty() && value.size() <= 5 && value.find_first_not_of("0123456789") == std::string::npos;
      const int number = digits ? std::stoi(value) : 0;
      if (number < 1 || number > 65535) {
        std::cerr << "vantrel-host: --port wants a number from 1 to 65535, not " << value << "\n";
        return false;
      }
      options.port = value;
    } else if (name == "--ini") {
      options.ini = value;
    } else if (name == "--library") {
      options.library = value;
    } else {
      std::cerr << "vantrel-host: unknown option " << name << "\n";
      return false;
    }
  }
  if (options.ini.empty()) {
    std::cerr << "vantrel-host: --ini DIR is required\n";
    return false;
  }
  return true;
}

std::string DefaultLibraryPath() {
  char self[PATH_MAX] = {};
  const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
  const std::filesystem::path folder =
      length > 0 ? std::filesystem::path(std::string(self, static_cast<std::size_t>(length))).parent_path() : ".";
  for (const auto& candidate : {folder / "libVantrelClient.so", folder / ".." / "lib" / "libVantrelClient.so"}) {
    if (std::filesystem::exists(candidate)) return candidate.string();
  }
  return "libVantrelClient.so";
}

template <typename Function>
Function Resolve(void* library, const char* name) {
  void* symbol = ::dlsym(library, name);
  if (symbol == nullptr) {
    std::cerr << "vantrel-host: the library has no export " << name << "\n";
    std::exit(1);
  }
  return reinterpret_cast<Function>(symbol);
}

// The served Environment as the ORB the library made serves it: its reference, and whether it is reached over
// TLS only (Settings.ini turned TLS on), which decides the corbaloc clients use.
struct ServedEnvironment {
  std::string reference = "(not available)";
  bool tls = false;
};

ServedEnvironment DescribeServedEnvironment() {
  ServedEnvironment served;
  try {
    int argc = 0;
    CORBA::ORB_var orb = CORBA::ORB_init(argc, nullptr);
    PortableServer::POA_var fixedIds =
        PortableServer::POA::_narrow(CORBA::Object_var(orb->resolve_initial_references("omniINSPOA")));
    PortableServer::ObjectId_var id = PortableServer::string_to_ObjectId("EnvironmentInstance");
    CORBA::Object_var object = fixedIds->create_reference_with_id(id, "IDL:Environment:1.0");
    served.reference = CORBA::String_var(orb->object_to_string(object)).in();
    const omniIOR_var ior(object->_PR_getobj()->_getIOR());
    const IOP::TaggedProfileList& profiles = ior->iopProfiles();
    for (CORBA::ULong i = 0; i < profiles.length(); ++i) {
      if (profiles[i].tag != IOP::TAG_INTERNET_IOP) continue;
      IIOP::ProfileBody body;
      IIOP::unmarshalProfile(profiles[i], body);
      for (CORBA::ULong c = 0; c < body.components.length(); ++c) {
        served.tls = served.tls || body.components[c].tag == IOP::TAG_SSL_SEC_TRANS;
      }
    }
  } catch (...) {
  }
  return served;
}

// Counts what InitEnvironment loaded. The host carries no stubs of the catalogue, so it asks through the
// dynamic invocation interface.
CORBA::Object_ptr CallForObject(CORBA::Object_ptr target, const char* operation) {
  CORBA::Request_var request = target->_request(operation);
  request->set_return_type(CORBA::_tc_Object);
  request->invoke();
  CORBA::Object_ptr result = CORBA::Object::_nil();
  request->return_value() >>= CORBA::Any::to_object(result);
  return CORBA::Object::_duplicate(result);
}

CORBA::Long CallForLong(CORBA::Object_ptr target, const char* operation) {
  CORBA::Request_var request = target->_request(operation);
  request->set_return_type(CORBA::_tc_long);
  request->invoke();
  CORBA::Long result = 0;
  request->return_value() >>= result;
  return result;
}

std::string LoadedSummary(const std::string& corbaloc) {
  try {
    int argc = 0;
    CORBA::ORB_var orb = CORBA::ORB_init(argc, nullptr);
    CORBA::Object_var environment = orb->string_to_object(corbaloc.c_str());
    std::string summary;
    for (const auto& [getter, what] :
         {std::pair{"GetLines", "lines"}, std::pair{"GetOperators", "operators"}, std::pair{"GetRules", "rules"},
          std::pair{"GetTranslateRules", "translate rules"}}) {
      CORBA::Object_var container = CallForObject(environment, getter);
      if (!summary.empty()) summary += ", ";
      summary += std::to_string(CallForLong(container, "GetItemsCount")) + " " + what;
    }
    return summary;
  } catch (...) {
    return "(not available)";
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  bool helpAsked = false;
  if (!ParseOptions(argc, argv, options, helpAsked)) {
    PrintUsage(helpAsked ? std::cout : std::cerr);
    return helpAsked ? 0 : 2;
  }
  // Everything the server makes (INI folder and files, CRM file, logs, sockets) is its user's alone.
  ::umask(077);
  std::error_code error;
  std::filesystem::create_directories(options.ini, error);
  if (error || !std::filesystem::is_directory(options.ini)) {
    std::cerr << "vantrel-host: cannot use INI folder " << options.ini << ": " << error.message() << "\n";
    return 1;
  }
  const std::string ini = std::filesystem::absolute(options.ini).lexically_normal().string();

  // Every thread started from here on inherits the blocked signals; only the waiter below takes them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  const std::string libraryPath = options.library.empty() ? DefaultLibraryPath() : options.library;
  void* library = ::dlopen(libraryPath.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    std::cerr << "vantrel-host: cannot load " << libraryPath << ": " << ::dlerror() << "\n";
    return 1;
  }
  const auto runEnvironment = Resolve<RunEnvironmentFunction>(library, "RunEnvironment");
  const auto initEnvironment = Resolve<VoidFunction>(library, "InitEnvironment");
  const auto stopORBThread = Resolve<VoidFunction>(library, "StopORBThread");

  const auto queue = vantrel::platform::MessageQueue::ForCurrentThread();
  std::thread signalWaiter([&stopSignals, queue] {
    int signal = 0;
    sigwait(&stopSignals, &signal);
    queue->PostQuit(0);
  });

  int exitCode = 0;
  if (!runEnvironment(options.address.c_str(), options.port.c_str(), ini.c_str())) {
    std::cerr << "vantrel-host: the server could not start on " << options.address << ":" << options.port << ": "
              << ListenFailureReason(options.address, options.port) << "\n";
    exitCode = 1;
  } else {
    const ServedEnvironment served = DescribeServedEnvironment();
    const std::string corbaloc = std::string(served.tls ? "corbaloc:ssliop:" : "corbaloc::") + options.address + ":" +
                                 options.port + "/EnvironmentInstance";
    std::cout << "Vantrel serving on " << options.address << ":" << options.port
              << (served.tls ? " over TLS; clients need a certificate from the CA Settings.ini names" : "") << "\n"
              << "INI folder: " << ini << " (logs in " << ini << "/Logs)\n"
              << "Environment: " << corbaloc << "\n"
              << "Environment IOR: " << served.reference << std::endl;
    if (initEnvironment()) {
      std::cout << "Loaded: " << LoadedSummary(corbaloc) << std::endl;
    } else {
      std::cerr << "vantrel-host: loading the configuration failed; see the error log\n";
    }
    vantrel::platform::Message message;
    while (queue->Get(message)) queue->Dispatch(message);
    // The server itself refused to go on (a SIP port configured but not serving): its code is the exit code.
    if (message.id == vantrel::platform::WM_QUIT && message.wParam != 0) exitCode = static_cast<int>(message.wParam);
    std::cout << "Vantrel stopping" << std::endl;
  }
  if (!stopORBThread()) exitCode = 1;
  // Wake the signal waiter when the stop did not come from a signal.
  if (exitCode != 0) ::kill(::getpid(), SIGTERM);
  signalWaiter.join();
  return exitCode;
}
