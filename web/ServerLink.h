// The gateway's link to the server over IIOP: its listeners on the lines, the operators and the queues, kept
// alive and set again when the server comes back; the state it reads; the actions people take.
//
// Lock order: mutex_ and activity_'s lock are never held together; no IIOP call is made while either is held (a
// call may take the ORB's whole timeout).
#pragma once

#include <omniORB4/CORBA.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "EventHub.h"
#include "LiveState.h"
#include "Vantrel.hh"
#include "client/LineActivity.h"
#include "client/OperatorSession.h"

namespace vantrel::web {

class TServerLink {
 public:
  TServerLink(CORBA::ORB_ptr orb, PortableServer::POA_ptr poa, std::string corbaloc, std::string computerName,
              TEventHub& hub);
  ~TServerLink();
  TServerLink(const TServerLink&) = delete;
  TServerLink& operator=(const TServerLink&) = delete;

  // Where the pause reasons' names are ("Settings.ini"), and how long a CRM answer is trusted; before Start.
  void SetSettings(std::string settingsFile, std::chrono::seconds crmCacheLifetime);
  void Start();
  void Stop();

  TLiveState State() const;
  // The calls that left the line since the gateway started, newest first (at most 50).
  std::vector<TPastCall> History(const std::string& line) const;
  bool HasLine(const std::string& line) const;

  // Actions; each throws TWebError with the reason it was not done.
  void Login(const std::string& line, long operatorID);
  void Logout(const std::string& line);
  void SetStatus(const std::string& line, ::OperatorStatus status, long pauseReason);
  enum class TCallAction { Answer, Hold, Unhold, HangUp, Complete };
  void ActOnCall(const std::string& line, long call, TCallAction action);
  void Dial(const std::string& line, const std::string& number);
  void BlindTransfer(const std::string& line, long call, const std::string& number);
  // Holds the call for a transfer and dials the number from the consultation call; returns that call.
  long Consult(const std::string& line, long call, const std::string& number);
  // The call's recording: started, stopped, paused or resumed; 409 with the server's reason when it is not done.
  enum class TRecordAction { Start, Stop, Pause, Resume };
  void Record(const std::string& line, long call, TRecordAction action);
  // The supervisor's station listens in on the call (a running monitor of that station switches its mode): empty
  // when done, else the server's reason.
  std::string Monitor(const std::string& line, long call, const std::string& station, ::MonitorMode mode);

  // From the listeners, on the ORB's threads.
  void NoteCallEvent(const std::string& line, ::CallEventType type, long call);
  void NoteQueueFigures(const ::QueueFiguresSeq& figures);
  void NoteOperatorsChanged();

 private:
  // The server's objects as found at the last connect; replaced whole, read without mutex_.
  struct TConnection {
    ::Environment_var environment;
    ::Lines_var lines;
    ::Operators_var operators;
    ::Rules_var rules;
    ::Database_var database;
    std::vector<std::pair<std::string, ::Line_var>> lineObjects;  // by number, in the server's order
  };
  // What is remembered of a call between reads.
  struct TSeenCall {
    TLiveCall call;
    bool wasConnected = false;
    bool contactLookedUp = false;
    std::string rule;  // the rule that routed it here
  };
  // A contact found (or not) in the CRM for a number.
  struct TContact {
    std::string contactID, contactName, companyID, companyName;
  };
  // A CRM answer, trusted until it is crmCacheLifetime_ old: a corrected contact shows without a restart.
  template <typename T>
  struct TCached {
    T value;
    std::chrono::steady_clock::time_point read;
  };

  void Run();
  void Connect();
  void Disconnect(const std::string& why);
  void Listen(const TConnection& connection);
  void KeepAlive(const TConnection& connection);
  // Reads every line or the lines named, the operators and the queues when asked; publishes the state.
  void Refresh(const TConnection& connection, bool allLines, const std::set<std::string>& lines, bool operators,
               bool queues);
  TLiveLine ReadLine(const TConnection& connection, const ::LineItem& item, ::Line_ptr line);
  void ReadCallParties(const TConnection& connection, const std::string& number, ::Line_ptr line, TSeenCall& seen);
  // The caller a routing line holds while it consults the line `number` for them.
  static std::optional<long> HeldCallerFor(::Line_ptr routing, const std::string& number);
  std::optional<TContact> LookUpContact(const TConnection& connection, const std::string& number);
  std::optional<std::string> LookUpEmployeeName(const TConnection& connection, long id);
  // Asks the CRM once for one row; none when there is none or the CRM is not asked (switched off).
  std::optional<std::vector<std::string>> QueryCrm(const TConnection& connection, const std::string& sql,
                                                   const std::vector<const char*>& fields);
  std::vector<TLiveOperator> ReadOperators(const TConnection& connection);
  std::map<std::string, long> ReadWrapUps(const TConnection& connection);
  // The operators' activity from their lines' calls; under mutex_.
  void UpdateActivities();
  void Publish();

  std::shared_ptr<const TConnection> Connection() const;
  ::Line_ptr LineOf(const TConnection& connection, const std::string& number) const;
  ::Line_ptr LineOf(const std::string& number, std::shared_ptr<const TConnection>& connection) const;
  void RequireCall(::Line_ptr line, const std::string& number, long call) const;
  // The operator's steps at the line, waiting on what the line's listener hears.
  client::TOperatorSession SessionAt(const TConnection& connection, ::Line_ptr line, const std::string& number);

  CORBA::ORB_var orb_;
  PortableServer::POA_var poa_;
  const std::string corbaloc_;
  const std::string computerName_;
  TEventHub& hub_;
  client::TLineActivity activity_;  // the lines' events, for the steps that wait on them

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;                                              // guarded by mutex_
  std::shared_ptr<const TConnection> connection_;                      // guarded by mutex_
  TLiveState state_;                                                   // guarded by mutex_
  std::map<std::pair<std::string, long>, TSeenCall> seenCalls_;        // guarded by mutex_
  std::map<std::string, std::deque<TPastCall>> history_;               // guarded by mutex_
  std::set<std::string> dirtyLines_;                                   // guarded by mutex_
  bool operatorsDirty_ = false;                                        // guarded by mutex_
  std::optional<std::vector<TLiveQueue>> figuresHeard_;                // guarded by mutex_
  std::map<std::string, long> logins_;                                 // guarded by mutex_; line -> operator
  std::map<std::string, TCached<std::optional<TContact>>> contacts_;   // guarded by mutex_
  std::map<long, TCached<std::optional<std::string>>> employeeNames_;  // guarded by mutex_
  std::map<std::string, long> wrapUps_;                                // guarded by mutex_; rule -> seconds
  std::map<std::string, std::string> lastRuleAt_;                      // guarded by mutex_; line -> rule
  std::string settingsFile_;                                           // set before Start
  std::chrono::seconds crmCacheLifetime_{60};                          // set before Start
  bool crmLookUpRefused_ = false;                                      // guarded by mutex_
  std::string lastOutage_;                                             // guarded by mutex_
  // Listener servants, made once and set again on every connect; only the link's thread touches them.
  std::map<std::string, ::LineEvents_var> lineListeners_;
  ::QueueEvents_var queueListener_;
  ::ContainerEvents_var operatorsListener_;
  std::vector<PortableServer::ObjectId_var> servantIDs_;
  std::thread thread_;
};

}  // namespace vantrel::web
