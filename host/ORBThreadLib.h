#pragma once

#include <atomic>
#include <future>
#include <memory>
#include <thread>

#include "Vantrel.hh"

namespace vantrel {

// Runs the ORB's request loop. The thread holds a share of its own object, so the object outlives the loop
// for as long as StopORBThread still holds its share too.
class TORBThread : public std::enable_shared_from_this<TORBThread> {
 public:
  static std::shared_ptr<TORBThread> Start(CORBA::ORB_ptr orb);
  ~TORBThread();
  TORBThread(const TORBThread&) = delete;
  TORBThread& operator=(const TORBThread&) = delete;

  CORBA::ORB_ptr ORB() const { return orb_.in(); }
  // Marks the thread terminated and waits a while for its loop to end.
  void Terminate();
  bool Terminated() const { return terminated_; }

 private:
  explicit TORBThread(CORBA::ORB_ptr orb);
  void Execute();

  CORBA::ORB_var orb_;
  std::thread thread_;
  std::promise<void> finished_;
  std::shared_future<void> finishedFuture_;
  std::atomic<bool> terminated_{false};
};

}  // namespace vantrel
