#include "ClientQueues.h"

#include <omniORB4/IIOP.h>
#include <omniORB4/omniIOR.h>
#include <omniORB4/omniObjRef.h>

#include <vector>

#include "support/ProcessState.h"

namespace vantrel {

TClientQueues& TClientQueues::Instance() {
  // Never destroyed: servants that outlive static destruction still hold queues from it.
  static TClientQueues& queues = *new TClientQueues();
  return queues;
}

std::string TClientQueues::ClientOf(CORBA::Object_ptr object) {
  if (CORBA::is_nil(object)) return {};
  const omniIOR_var ior(object->_PR_getobj()->_getIOR());
  std::string client;
  try {
    const IOP::TaggedProfileList& profiles = ior->iopProfiles();
    for (CORBA::ULong i = 0; i < profiles.length() && client.empty(); ++i) {
      if (profiles[i].tag != IOP::TAG_INTERNET_IOP) continue;
      IIOP::ProfileBody body;
      IIOP::unmarshalProfile(profiles[i], body);
      client = std::string(body.address.host.in()) + ":" + std::to_string(body.address.port);
      // Over TLS the profile's port is 0 and the real one is in the SSL component: it tells clients apart.
      for (CORBA::ULong c = 0; c < body.components.length(); ++c) {
        if (body.components[c].tag != IOP::TAG_SSL_SEC_TRANS) continue;
        client += " ssl ";
        static const char* const kDigits = "0123456789abcdef";
        for (CORBA::ULong b = 0; b < body.components[c].component_data.length(); ++b) {
          const unsigned char byte = body.components[c].component_data[b];
          client += kDigits[byte >> 4];
          client += kDigits[byte & 15];
        }
      }
    }
  } catch (...) {
    client.clear();
  }
  return client.empty() ? ReferenceString(object) : client;
}

std::shared_ptr<TClientQueue> TClientQueues::QueueFor(CORBA::Object_ptr listener) {
  if (CORBA::is_nil(listener)) return nullptr;
  const std::string client = ClientOf(listener);
  std::lock_guard lock(mutex_);
  std::shared_ptr<TClientQueue> queue = queues_[client].lock();
  if (!queue || queue->Dropped()) {
    queue = std::make_shared<TClientQueue>(client);
    queues_[client] = queue;
  }
  // Forget the clients nobody listens to any more, now and then.
  if (queues_.size() % 64 == 0) std::erase_if(queues_, [](const auto& entry) { return entry.second.expired(); });
  return queue;
}

std::vector<std::shared_ptr<TClientQueue>> TClientQueues::OpenQueues() {
  std::vector<std::shared_ptr<TClientQueue>> open;
  std::lock_guard lock(mutex_);
  for (auto& [client, weak] : queues_)
    if (auto queue = weak.lock()) open.push_back(std::move(queue));
  return open;
}

std::size_t TClientQueues::ListeningClients() {
  std::size_t count = 0;
  for (auto& queue : OpenQueues()) count += queue->Dropped() ? 0 : 1;
  return count;
}

bool TClientQueues::WaitUntilSent(std::chrono::milliseconds longest) {
  const auto deadline = TClientQueue::Clock::now() + longest;
  bool all = true;
  for (auto& queue : OpenQueues()) all = queue->WaitUntilSent(deadline) && all;
  return all;
}

void TClientQueues::Stop(std::chrono::milliseconds longest) {
  WaitUntilSent(longest);
  std::vector<std::shared_ptr<TClientQueue>> open = OpenQueues();
  {
    std::lock_guard lock(mutex_);
    queues_.clear();
  }
  for (auto& queue : open) queue->Stop();
}

}  // namespace vantrel
