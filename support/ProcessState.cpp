#include "ProcessState.h"
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string_view>
#include <thread>

namespace vantrel {

namespace {
CORBA::ORB_var processORB;
PortableServer::POA_var processRootPOA;
}  // namespace

CORBA::ORB_ptr ProcessORB() { return processORB.in(); }

PortableServer::POA_ptr ProcessRootPOA() { return processRootPOA.in(); }

void SetProcessReferences(CORBA::ORB_ptr orb, PortableServer::POA_ptr rootPOA) {
  processORB = CORBA::ORB::_duplicate(orb);
  processRootPOA = PortableServer::POA::_duplicate(rootPOA);
}

// Unload order: the root POA first, then the ORB.
void ReleaseProcessReferences() {
  processRootPOA = PortableServer::POA::_nil();
  processORB = CORBA::ORB::_nil();
}

namespace {
std::mutex gateMutex;
std::condition_variable gateOpened;
std::atomic<bool> serving{true};
std::thread::id loadingThread;  // guarded by gateMutex
constexpr std::chrono::seconds kLongestHold{60};
}  // namespace

void HoldRequestsWhileLoading() {
  std::lock_guard lock(gateMutex);
  loadingThread = std::this_thread::get_id();
  serving = false;
}

void ServeRequests() {
  {
    std::lock_guard lock(gateMutex);
    serving = true;
  }
  gateOpened.notify_all();
}

void WaitUntilServing() {
  if (serving) return;
  std::unique_lock lock(gateMutex);
  if (std::this_thread::get_id() == loadingThread) return;
  if (!gateOpened.wait_for(lock, kLongestHold, [] { return serving.load(); })) {
    throw CORBA::TRANSIENT(0, CORBA::COMPLETED_NO);
  }
}

namespace {
thread_local const char* remoteOperation = nullptr;
std::atomic<bool> clientSQL{true};
std::atomic<bool> clientSQLReadOnly{false};
}  // namespace

TRemoteRequest::TRemoteRequest(const char* operation) : outer_(remoteOperation) {
  if (outer_ == nullptr) remoteOperation = operation;
}

TRemoteRequest::~TRemoteRequest() {
  if (outer_ == nullptr) remoteOperation = nullptr;
}

const char* CurrentRemoteOperation() { return remoteOperation; }

TIniFileOperationsMutex& IniFileOperations() {
  static TIniFileOperationsMutex operations;
  return operations;
}

bool TouchesIniFiles(const char* operation) {
  return operation != nullptr && std::string_view(operation).find("IniFile") != std::string_view::npos;
}

void AllowClientSQL(bool allowed) { clientSQL = allowed; }

bool ClientSQLAllowed() { return clientSQL; }

void SetClientSQLReadOnly(bool readOnly) { clientSQLReadOnly = readOnly; }

bool ClientSQLReadOnly() { return clientSQLReadOnly; }

namespace {
std::atomic<bool> distributedServer{false};
}  // namespace

void SetDistributedServer(bool distributed) { distributedServer = distributed; }

bool DistributedServer() { return distributedServer; }

std::string ReferenceString(CORBA::Object_ptr object) {
  if (CORBA::is_nil(object) || CORBA::is_nil(processORB)) return {};
  CORBA::String_var text = processORB->object_to_string(object);
  return text.in();
}

}  // namespace vantrel
