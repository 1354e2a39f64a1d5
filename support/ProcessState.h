#pragma once

#include <mutex>
#include <string>

#include "platform/LockRank.h"

#include "Vantrel.hh"

namespace vantrel {

// The ORB and root POA that start-up made: written during start-up and unload only, read everywhere after.
CORBA::ORB_ptr ProcessORB();
PortableServer::POA_ptr ProcessRootPOA();
void SetProcessReferences(CORBA::ORB_ptr orb, PortableServer::POA_ptr rootPOA);
void ReleaseProcessReferences();

// Remote requests wait while the configuration loads, so that none sees (or saves) a half-loaded server: the
// host holds them from before the ORB serves until InitEnvironment has finished. The loading thread itself is
// never held. A request still held after a minute is refused with TRANSIENT (the client may try again).
void HoldRequestsWhileLoading();
void ServeRequests();
void WaitUntilServing();

// The remote request this thread serves, named by its operation, for the checks that apply to clients only and
// not to the server's own calls of the same operations.
class TRemoteRequest {
 public:
  explicit TRemoteRequest(const char* operation);
  ~TRemoteRequest();
  TRemoteRequest(const TRemoteRequest&) = delete;
  TRemoteRequest& operator=(const TRemoteRequest&) = delete;

 private:
  const char* outer_;
};
// The operation of the outermost remote request on this thread; nullptr for the server's own work.
const char* CurrentRemoteOperation();

// Held by each remote operation that loads or saves INI files, and by the start-up load: the objects of one file
// share one cached copy between its first read and its write, so two of them at once would tear it.
using TIniFileOperationsMutex = platform::RankedMutex<platform::LockRank::IniFileOperations>;
TIniFileOperationsMutex& IniFileOperations();
bool TouchesIniFiles(const char* operation);

// Whether clients may run SQL of their own (Settings.ini can switch it off); the server's own reads never stop.
void AllowClientSQL(bool allowed);
bool ClientSQLAllowed();
// Whether what clients run must not write ("ClientSQL=ReadOnly").
void SetClientSQLReadOnly(bool readOnly);
bool ClientSQLReadOnly();

// The server type Settings.ini names ("[Server]" "Type=Distributed"): a Distributed server lists any number of
// operators, one per employee and line; a Local one (the default) one operator at a time.
void SetDistributedServer(bool distributed);
bool DistributedServer();

// The stringified reference of any served object of this process; empty for nil.
std::string ReferenceString(CORBA::Object_ptr object);

}  // namespace vantrel
