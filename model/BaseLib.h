#pragma once

#include <chrono>
#include <exception>
#include <mutex>
#include <string>
#include <utility>

#include "platform/LockRank.h"
#include "Listener.h"
#include "Vantrel.hh"
#include "support/ExceptionText.h"

namespace vantrel {

// The common base of every served object: name, description, enabled flag, Environment, last error,
// update bracket, the BaseEvents listener and the INI persistence of the three properties.
class TBase_Impl : public virtual POA_Base {
 public:
  TBase_Impl();
  ~TBase_Impl() override;

  void SetEnvironment(::Environment_ptr environment) override;
  ::Environment_ptr GetEnvironment() override;
  ::Database_ptr GetDatabase() override;
  ::Rules_ptr GetRules() override;
  ::TranslateRules_ptr GetTranslateRules() override;
  ::Lines_ptr GetLines() override;
  ::Operators_ptr GetOperators() override;
  char* GetDatabaseReference() override;
  char* GetRulesReference() override;
  char* GetTranslateRulesReference() override;
  char* GetLinesReference() override;
  char* GetOperatorsReference() override;
  void SetObjectName(const char* name) override;
  char* GetObjectName() override;
  void SetDescription(const char* description) override;
  char* GetDescription() override;
  void SetEnabled(CORBA::Boolean enabled) override;
  CORBA::Boolean GetEnabled() override;
  char* GetLastError() override;
  void SetLastError(const char* error) override;
  ::BaseEvents_ptr GetBaseEventsListener() override;
  void SetBaseEventsListener(::BaseEvents_ptr listener) override;
  CORBA::Boolean AssignFrom(::Base_ptr source) override;
  void BeginUpdate() override;
  void EndUpdate() override;
  CORBA::Long GetUpdateCount() override;
  CORBA::Boolean LoadFromIniFile(const char* fileName, const char* section) override;
  CORBA::Boolean SaveToIniFile(const char* fileName, const char* section) override;
  void ChangeBaseEventLastContact() override;
  void DoError(const char* methodName, const char* message) override;
  void DoChange() override;

  std::string Name() const;
  // The Database, connected first when it is not (a failure is left to the statements that follow): the CRM
  // reads of routing work from the first call after a start.
  ::Database_ptr GetConnectedDatabase();

  // The uniform error guard of remote operations: runs the body, and on any exception reports it through
  // DoError under the qualified name and returns the fallback. Nothing escapes towards the ORB.
  template <typename Result, typename Body>
  Result Guarded(const char* qualifiedName, Result fallback, Body&& body) {
    try {
      return std::forward<Body>(body)();
    } catch (...) {
      ReportFailure(qualifiedName, std::current_exception());
      return fallback;
    }
  }
  // Text results: the empty fallback is allocated only when it is returned, the caller owns either.
  template <typename Body>
  char* GuardedText(const char* qualifiedName, Body&& body) {
    try {
      return std::forward<Body>(body)();
    } catch (...) {
      ReportFailure(qualifiedName, std::current_exception());
      return CORBA::string_dup("");
    }
  }
  template <typename Body>
  void Guarded(const char* qualifiedName, Body&& body) {
    try {
      std::forward<Body>(body)();
    } catch (...) {
      ReportFailure(qualifiedName, std::current_exception());
    }
  }

 protected:
  // An Operator ends its life here when its client has gone; other objects only drop the listener.
  virtual void DisposeOfStaleListener() {}
  // Clears a stale listener, or one whose client was dropped, and disposes of the object's client side; true
  // when it did.
  bool DropStaleListener();

  void ReportFailure(const char* qualifiedName, std::exception_ptr error);

  // The shared cached INI file of a load or save: taken (the path checked first) and written back and freed.
  // Each failure is reported through DoError and gives false; none becomes an exception towards the ORB.
  bool HoldCachedIniFile(const char* fileName);
  bool ReleaseCachedIniFile(const char* fileName);

 private:
  using Clock = std::chrono::steady_clock;

  mutable platform::ObjectMutex mutex_;
  ::Environment_var environment_;     // guarded by mutex_
  std::string name_;                  // guarded by mutex_
  std::string description_;           // guarded by mutex_
  bool enabled_ = true;               // guarded by mutex_
  CORBA::Long updateCount_ = 0;       // guarded by mutex_
  std::string lastError_;             // guarded by mutex_
  TListener<::BaseEvents> listener_;  // guarded by mutex_
  Clock::time_point lastContact_{};   // guarded by mutex_; epoch = never contacted
};

// Staleness is measured on the monotonic clock so that wall-clock jumps cannot drop listeners. A listener never
// contacted (epoch) is never stale.
constexpr double kListenerStaleDays = 0.000174;
bool IsListenerStale(std::chrono::steady_clock::time_point lastContact, std::chrono::steady_clock::time_point now);

}  // namespace vantrel
