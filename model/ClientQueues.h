#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/LockRank.h"
#include "ClientQueue.h"
#include "Vantrel.hh"

namespace vantrel {

// The queues of the clients whose listeners this process calls, one per client: listener objects that live at
// the same address belong to the same client.
class TClientQueues {
 public:
  static TClientQueues& Instance();

  // The queue of the client serving `listener`: the open one, or a new one when there is none or the last was
  // dropped (a client that sets a listener again is heard again). Owners keep it beside the listener.
  std::shared_ptr<TClientQueue> QueueFor(CORBA::Object_ptr listener);
  // Waits until every event posted so far has been sent to its client or dropped with it; false at the deadline.
  bool WaitUntilSent(std::chrono::milliseconds longest);
  // At unload, before the ORB goes: what is pending is sent for at most `longest`, then every queue stops and
  // later posts to them are discarded.
  void Stop(std::chrono::milliseconds longest = std::chrono::seconds(1));

  // Where the object lives ("host:port" of its first IIOP profile), or its stringified reference when it names
  // no address.
  static std::string ClientOf(CORBA::Object_ptr object);
  // Clients with a queue that is neither dropped nor stopped.
  std::size_t ListeningClients();

 private:
  std::vector<std::shared_ptr<TClientQueue>> OpenQueues();

  platform::RankedMutex<platform::LockRank::ClientQueues> mutex_;
  std::map<std::string, std::weak_ptr<TClientQueue>> queues_;  // guarded by mutex_
};

}  // namespace vantrel
