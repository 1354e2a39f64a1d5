#include "DescriptorGuard.h"

#include <dirent.h>
#include <linux/filter.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <omniORB4/CORBA.h>
#include <omniORB4/omniInterceptors.h>

#include "support/FormatText.h"
#include "support/VantrelCommonRoutines.h"

namespace vantrel {

namespace {

using namespace std::chrono_literals;

// How often a refusing server looks whether connections went.
constexpr auto kRecheck = 100ms;
// Descriptors that must go below the refusal's start before connections are taken again.
constexpr std::size_t kHysteresis = 16;

std::size_t CurrentLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 1u << 20;
  return static_cast<std::size_t>(limit.rlim_cur);
}

// The descriptor numbers the process holds now, less the one that reads them.
std::vector<int> OpenDescriptors() {
  std::vector<int> numbers;
  DIR* folder = ::opendir("/proc/self/fd");
  if (folder == nullptr) return numbers;
  const int own = ::dirfd(folder);
  while (const dirent* entry = ::readdir(folder)) {
    if (entry->d_name[0] == '.') continue;
    const int number = std::atoi(entry->d_name);
    if (number != own) numbers.push_back(number);
  }
  ::closedir(folder);
  return numbers;
}

std::size_t OpenDescriptorCount() { return OpenDescriptors().size(); }

int LocalPort(int descriptor) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (::getsockname(descriptor, reinterpret_cast<sockaddr*>(&address), &length) != 0) return -1;
  if (address.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
  if (address.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
  return -1;
}

bool IsTcpListener(int descriptor) {
  int listening = 0;
  int type = 0;
  socklen_t size = sizeof listening;
  if (::getsockopt(descriptor, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) != 0 || listening == 0) return false;
  size = sizeof type;
  return ::getsockopt(descriptor, SOL_SOCKET, SO_TYPE, &type, &size) == 0 && type == SOCK_STREAM &&
         LocalPort(descriptor) >= 0;
}

// The refusal's state; made once and never destroyed, as the ORB's threads may call in while the process ends.
class TIiopGate {
 public:
  void Install(std::vector<int> listeners) {
    {
      std::lock_guard lock(mutex_);
      listeners_ = std::move(listeners);
      for (const int listener : listeners_) ::listen(listener, kIiopBacklog);
    }
    std::thread([this] { Watch(); }).detach();
  }

  // At each connection the ORB takes: whether it may stay.
  bool Admit(const char* peer) {
    // Read at each accept: an administrator may change the limit of the running process.
    const std::size_t limit = CurrentLimit();
    const std::size_t held = OpenDescriptorCount();
    std::lock_guard lock(mutex_);
    if (refusing_) return false;
    // Shut while a full queue still fits below the ceiling: what the listeners hold then is all that can follow.
    if (held + kIiopBacklog + 1 <= IiopDescriptorCeiling(limit)) return true;
    refusing_ = true;
    Shut(true);
    LogErrorLine(FormatText("IIOP connections refused: %d of %d descriptors in use (the first from %s)",
                            {held, limit, peer != nullptr ? peer : "?"}));
    changed_.notify_all();
    return false;
  }

 private:
  // Drops every new connection at the listeners, or lets them in again.
  void Shut(bool shut) {
    sock_filter dropAll[] = {BPF_STMT(BPF_RET | BPF_K, 0)};
    sock_fprog program{1, dropAll};
    const int unused = 0;  // the kernel wants an int even where it reads none
    for (const int listener : listeners_) {
      const int result = shut ? ::setsockopt(listener, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program)
                              : ::setsockopt(listener, SOL_SOCKET, SO_DETACH_FILTER, &unused, sizeof unused);
      if (result != 0) LogFormat("IIOP listener %d: %s", {listener, std::strerror(errno)});
    }
  }

  void Watch() {
    std::unique_lock lock(mutex_);
    for (;;) {
      changed_.wait(lock, [this] { return refusing_; });
      changed_.wait_for(lock, kRecheck);
      lock.unlock();
      const std::size_t held = OpenDescriptorCount();
      const std::size_t ceiling = IiopDescriptorCeiling(CurrentLimit());
      lock.lock();
      // A little below where the refusal began, so that it does not flap.
      if (refusing_ && held + kIiopBacklog + 1 + kHysteresis <= ceiling) {
        Shut(false);
        refusing_ = false;
        LogFormat("IIOP connections are accepted again (%d descriptors in use)", {held});
      }
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_;  // refusing_ became true
  std::vector<int> listeners_;       // guarded by mutex_
  bool refusing_ = false;            // guarded by mutex_
};

TIiopGate& Gate() {
  static TIiopGate* const gate = new TIiopGate;
  return *gate;
}

CORBA::Boolean RefuseWhenShort(omni::omniInterceptors::serverAcceptConnection_T::info_T& info) {
  if (Gate().Admit(info.peeraddress())) return true;
  info.reject = 1;
  info.why = "too many open connections";
  return false;
}

}  // namespace

std::size_t RaiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    const rlim_t before = limit.rlim_cur;
    limit.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &limit) == 0) {
      LogFormat("Descriptor limit raised from %d to %d",
                {static_cast<long long>(before), static_cast<long long>(limit.rlim_max)});
    } else {
      LogFormat("Descriptor limit stays at %d: %s", {static_cast<long long>(before), std::strerror(errno)});
    }
  }
  return CurrentLimit();
}

std::size_t IiopDescriptorCeiling(std::size_t limit) {
  // A quarter for the rest of the server, at least 32 and at most 1024 descriptors.
  const std::size_t reserve = std::clamp<std::size_t>(limit / 4, 32, 1024);
  return limit > reserve ? limit - reserve : 0;
}

void LimitIiopConnections(int port) {
  static std::once_flag installed;
  std::call_once(installed, [port] {
    std::vector<int> listeners;
    for (const int descriptor : OpenDescriptors()) {
      if (IsTcpListener(descriptor) && (port == 0 || LocalPort(descriptor) == port)) listeners.push_back(descriptor);
    }
    if (listeners.empty()) LogErrorLine("IIOP listener not found; its connections are not limited");
    Gate().Install(std::move(listeners));
    omniORB::getInterceptors()->serverAcceptConnection.add(&RefuseWhenShort);
  });
}

}  // namespace vantrel
