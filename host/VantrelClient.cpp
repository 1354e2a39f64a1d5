#include "VantrelClient.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string_view>

#include "DescriptorGuard.h"
#include "EnvironmentChildren.h"
#include "ORBThreadLib.h"
#include "OrbServices.h"
#include "TlsContext.h"
#include "model/BaseLib.h"
#include "model/ClientQueues.h"
#include "model/EnvironmentLib.h"
#include "model/Servant.h"
#include "platform/MessageQueue.h"
#include "support/AtomicFile.h"
#include "support/PathConfinement.h"
#include "support/ProcessState.h"
#include "support/SecuritySettings.h"
#include "support/VantrelCommonRoutines.h"
#include "telephony/ExchangeControl.h"
#include "telephony/ProviderChoice.h"
#include "telephony/SoftExchange.h"
#include "telephony/TelephonyBackEnd.h"
#include "telephony/TelephonyThread.h"
#include "telephony/diZudu.h"
#include "telephony/sip/SipPort.h"

namespace vantrel {

namespace {

struct TProcessState {
  // Telephony: the back-end, the API service over it, the control socket of a software exchange. Declared in
  // that order so that each outlives what uses it.
  std::unique_ptr<telephony::TTelephonyBackEnd> telephonyBackEnd;
  // One reference of our own; the POA holds another while active.
  PortableServer::Servant_var<TEnvironment_Impl> environment;
  std::mutex threadMutex;
  std::shared_ptr<TORBThread> orbThread;  // guarded by threadMutex
  std::unique_ptr<telephony::TExchangeControl> exchangeControl;
  std::unique_ptr<telephony::TSipPort> sipPort;

  // Library unload: the root POA goes first, then the ORB.
  ~TProcessState() {
    try {
      ReleaseProcessReferences();
      environment = nullptr;
    } catch (...) {
    }
    exchangeControl.reset();
    sipPort.reset();
  }
};

TProcessState& State() {
  static TProcessState state;
  return state;
}

constexpr const char* kEnvironmentObjectId = "EnvironmentInstance";

// The CRM contact whose phone the number is, for the name a ringing SIP phone shows; empty when none is.
// Runs on the SIP port's names thread, through the Database as the routing's own CRM reads do.
std::string CrmContactName(const std::string& number) {
  std::string digits;
  for (const char c : number) {
    if (c < '0' || c > '9') return {};  // the CRM keeps digits; nothing else reaches the SQL
    digits += c;
  }
  if (digits.empty() || digits.size() > 32 || State().environment == nullptr) return {};
  ::Database_var database = State().environment->GetConnectedDatabase();
  if (CORBA::is_nil(database)) return {};
  CORBA::String_var name;
  const std::string sql =
      "select top 1 c.Name as ContactName from tq_ContactPhone p join tq_Contact c on c.ID = p.Contact_ID "
      "where p.OptimizedPhone = '" +
      digits + "'";
  if (!database->GetFieldValue(sql.c_str(), "ContactName", name.out())) return {};
  return name.in();
}

// The recordings' rows of the days whose files the recorder removed ("YYYY-MM-DD/..." before the oldest day kept),
// through the Database as the call log's own statements go. A CRM out of reach leaves them for the next day's pass.
void RemoveRecordingRowsBefore(const std::string& oldestKept) {
  const bool isDay = oldestKept.size() == 10 && std::all_of(oldestKept.begin(), oldestKept.end(), [](char c) {
                       return c == '-' || (c >= '0' && c <= '9');
                     });
  if (!isDay || State().environment == nullptr) return;
  ::Database_var database = State().environment->GetConnectedDatabase();
  if (CORBA::is_nil(database)) return;
  const std::string where = " from tq_VantrelRecording where FileName like '____-__-__/%' and FileName < '" +
                            oldestKept + "'";
  CORBA::String_var count;
  if (!database->GetFieldValue(("select count(*) as Removed" + where).c_str(), "Removed", count.out())) {
    LogErrorLine("Recordings' rows before " + oldestKept + " not removed: the CRM cannot be read");
    return;
  }
  if (std::string(count.in()) == "0") return;
  if (!database->ExecuteSQL(("delete" + where).c_str())) {
    LogErrorLine("Recordings' rows before " + oldestKept + " not removed: the CRM refused the statement");
    return;
  }
  LogFormat("Recordings: removed %s rows of days before %s", {std::string(count.in()), oldestKept});
}

// The telephony back-end "Exchange.ini" of the INI folder names serves the lines of this process through the
// Telephony API. A software exchange also gets its control socket there, so that outside callers can be played
// by a person or another process. Done once.
bool StartExchange(const std::string& iniFolder) {
  TProcessState& state = State();
  if (state.telephonyBackEnd) return true;
  try {
    state.telephonyBackEnd =
        std::make_unique<telephony::TTelephonyBackEnd>(telephony::MakeTelephonyProvider(iniFolder));
    const telephony::ITelephonyProvider& provider = state.telephonyBackEnd->Provider();
    const auto lock = provider.Lock();
    LogFormat("Telephony: %s, %d devices", {provider.ProviderName(), static_cast<int>(provider.DeviceCount())});
  } catch (...) {
    LogFormat("Exchange configuration error: %s", {ExceptionText(std::current_exception())});
    return false;
  }
  telephony::TSoftExchange* exchange = state.telephonyBackEnd->SoftExchange();
  if (exchange == nullptr) return true;
  try {
    const std::string socket = (std::filesystem::path(iniFolder) / "exchange.sock").string();
    state.exchangeControl = std::make_unique<telephony::TExchangeControl>(*exchange, socket);
    LogFormat("Exchange control socket: %s", {socket});
  } catch (...) {
    // The lines work without it; only the outside world cannot be played.
    LogFormat("Exchange control error: %s", {ExceptionText(std::current_exception())});
  }
  try {
    const telephony::TSipConfig sip = telephony::TSipConfig::Load(iniFolder);
    if (sip.enabled) {
      std::vector<std::string> stations;
      {
        const auto lock = exchange->Lock();
        for (DWORD device = 0; device < exchange->DeviceCount(); ++device)
          stations.push_back(exchange->Device(device).number);
      }
      state.sipPort = std::make_unique<telephony::TSipPort>(*exchange, sip, stations);
      state.sipPort->SetCallerNameLookup(CrmContactName);
      const auto recordings = telephony::TCallRecorder::ConfiguredFolder(iniFolder);
      state.sipPort->SetRecorder(std::make_shared<telephony::TCallRecorder>(
          recordings, std::chrono::seconds(1), telephony::TCallRecorder::ConfiguredKeepDays(iniFolder),
          RemoveRecordingRowsBefore));
      LogFormat("Recordings: %s", {recordings.string()});
    }
  } catch (...) {
    // A configured SIP port that cannot serve refuses the start: a server without the phones it was set up for
    // would look up and lose every call meant for them.
    const std::string reason = "SIP cannot start: " + ExceptionText(std::current_exception());
    LogFormat("SIP error: %s", {reason});
    LogErrorLine(reason);
    std::fprintf(stderr, "vantrel: %s\n", reason.c_str());
    platform::MessageQueue::ForCurrentThread()->PostQuit(1);
    return false;
  }
  return true;
}

// The IIOP port asked for; 0 when the ORB chooses it.
int ListeningPort(const char* port) {
  int number = 0;
  const std::string_view text(port);
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  return error == std::errc() && end == text.data() + text.size() && number > 0 && number < 65536 ? number : 0;
}

// Settings.ini's security section, taken before the ORB serves: the folders clients may name, whether they may
// run SQL, and TLS. Files a writer left half-made when it died go first. True when TLS is on.
bool ApplySecuritySettings(const std::string& iniFolder) {
  if (iniFolder.empty()) return false;
  const int stale = RemoveStaleTemporaryFiles(iniFolder);
  if (stale > 0) LogFormat("Removed %d temporary files left by a writer that died", {stale});
  const TSecuritySettings settings = TSecuritySettings::Load(iniFolder);
  TPathConfinement::Instance().SetHome(iniFolder);
  TPathConfinement::Instance().SetAllowedFolders(settings.allowedFolders);
  AllowClientSQL(settings.clientSQL);
  SetClientSQLReadOnly(settings.clientSQLReadOnly);
  SetDistributedServer(settings.distributed);
  if (settings.distributed) LogMessage("Server type: Distributed");
  if (!settings.clientSQL) LogMessage("SQL from clients is switched off");
  if (settings.clientSQLReadOnly) LogMessage("SQL from clients is read-only");
  if (!settings.TLS()) return false;
  UseTls({settings.certificateFile, settings.privateKeyFile, settings.privateKeyPassword, settings.clientCAFile});
  LogFormat("IIOP over TLS; clients need a certificate signed by %s", {settings.clientCAFile});
  return true;
}

}  // namespace

}  // namespace vantrel

using namespace vantrel;

unsigned char RunEnvironment(const char* address, const char* port, const char* iniFilesPath) {
  address = address != nullptr ? address : "";
  port = port != nullptr ? port : "";
  iniFilesPath = iniFilesPath != nullptr ? iniFilesPath : "";
  LogFormat("Ini files path = %s", {iniFilesPath});
  LogFormat("RunEnvironment: %s : %s", {address, port});
  TProcessState& state = State();
  try {
    const bool tls = ApplySecuritySettings(iniFilesPath);
    const std::vector<std::string> options = MakeOrbOptions(address, port);
    RaiseDescriptorLimit();
    LogMessage("Before ORB_Init");
    CORBA::ORB_var orb = InitOrb(options, tls);
    SetProcessReferences(orb, PortableServer::POA::_nil());
    LogMessage("After ORB_Init");
    PortableServer::POA_var rootPOA = FindRootPOA(orb);
    SetProcessReferences(orb, rootPOA);
    ActivatePOAManager(rootPOA);
    LimitIiopConnections(ListeningPort(port));
    LogMessage("POA Founded");
    // Clients reach the server from the moment the ORB serves; their requests wait until the load is done.
    HoldRequestsWhileLoading();
    state.environment = new TServant<TEnvironment_Impl>(MakeEnvironmentChildren());
    LogMessage("Environment instance created");
    {
      // The children need the Environment's reference, which exists only once it has its fixed id; the calls
      // go to the implementation directly because the fixed-id POA holds requests until start-up is done.
      CORBA::Object_var object = ActivateObjectWithId(orb, kEnvironmentObjectId, state.environment);
      ::Environment_var self = ::Environment::_narrow(object);
      state.environment->SetItemsEnvironment(self);
      state.environment->SetIniFilesPath(iniFilesPath);
    }
    LogMessage("Environment instance activated");
    ActivateFixedIdPOAManager(orb);
    const bool started = RunORBThread(orb.in()) != 0;
    LogMessage("ORB thread started");
    return started ? 1 : 0;
  } catch (...) {
    LogFormat("RunEnvironment error: %s", {ExceptionText(std::current_exception())});
    return 0;
  }
}

unsigned char InitEnvironment() {
  LogMessage("InitEnvironment");
  struct Served {
    ~Served() { ServeRequests(); }  // loaded or not, requests are answered from here on
  } served;
  try {
    TEnvironment_Impl* environment = State().environment;
    if (environment == nullptr) return 0;
    CORBA::String_var path = environment->GetIniFilesPath();
    // This thread initialises telephony and pumps its messages: remote calls hand their line work to it.
    telephony::TTelephonyThread::Instance().Bind();
    if (!StartExchange(path.in())) return 0;
    const std::lock_guard iniFiles(IniFileOperations());
    return environment->LoadFromIniFiles(path) ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

unsigned char StopEnvironment() { return 1; }

unsigned char RunORBThread(void* orb) {
  try {
    auto thread = TORBThread::Start(static_cast<CORBA::ORB_ptr>(orb));
    std::lock_guard lock(State().threadMutex);
    State().orbThread = std::move(thread);
    return 1;
  } catch (...) {
    LogFormat("RunORBThread error: %s", {ExceptionText(std::current_exception())});
    return 0;
  }
}

unsigned char StopORBThread() {
  try {
    // Phones and the trunk are told first (BYE, unregistration), while the libraries under the SIP stack are
    // still there: at exit they may go before the process state does.
    State().sipPort.reset();
    // Telephony ends first, on its own thread; the lines that the ORB frees afterwards find their devices closed.
    telephony::TTelephonyThread::Instance().Run([] { telephony::TapiApplication().Close(); });
    telephony::TTelephonyThread::Instance().Unbind();
    if (State().environment != nullptr) State().environment->StopCallLog();
    TClientQueues::Instance().Stop();
  } catch (...) {
    LogFormat("StopORBThread error: %s", {ExceptionText(std::current_exception())});
  }
  try {
    std::shared_ptr<TORBThread> thread;
    {
      std::lock_guard lock(State().threadMutex);
      thread = std::move(State().orbThread);
    }
    if (thread) {
      if (!CORBA::is_nil(thread->ORB())) thread->ORB()->destroy();
      thread->Terminate();
    }
    return 1;
  } catch (...) {
    LogFormat("StopORBThread error: %s", {ExceptionText(std::current_exception())});
    return 0;
  }
}
