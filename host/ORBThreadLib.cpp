#include "ORBThreadLib.h"

#include <chrono>

#include "support/ExceptionText.h"
#include "support/VantrelCommonRoutines.h"

namespace vantrel {

TORBThread::TORBThread(CORBA::ORB_ptr orb) : orb_(CORBA::ORB::_duplicate(orb)) {
  finishedFuture_ = finished_.get_future().share();
}

std::shared_ptr<TORBThread> TORBThread::Start(CORBA::ORB_ptr orb) {
  std::shared_ptr<TORBThread> thread(new TORBThread(orb));
  thread->thread_ = std::thread([self = thread] { self->Execute(); });
  return thread;
}

TORBThread::~TORBThread() {
  if (thread_.joinable()) thread_.detach();
}

void TORBThread::Execute() {
  try {
    orb_->run();
  } catch (...) {
    LogFormat("TORBThread.Execute error: %s", {ExceptionText(std::current_exception())});
  }
  finished_.set_value();
}

void TORBThread::Terminate() {
  terminated_ = true;
  if (std::this_thread::get_id() == thread_.get_id()) return;
  if (finishedFuture_.wait_for(std::chrono::seconds(5)) == std::future_status::ready && thread_.joinable()) {
    thread_.join();
  }
}

}  // namespace vantrel
