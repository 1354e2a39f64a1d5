#include "DescriptorGuard.h"

#include <dirent.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#include <omniORB4/CORBA.h>
#include <omniORB4/omniInterceptors.h>

#include "support/FormatText.h"
#include "support/VantrelCommonRoutines.h"

namespace vantrel {

namespace {

std::size_t CurrentLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 1u << 20;
  return static_cast<std::size_t>(limit.rlim_cur);
}

// What the process holds now: the entries of /proc/self/fd, less the one that reads them.
std::size_t OpenDescriptors() {
  DIR* folder = ::opendir("/proc/self/fd");
  if (folder == nullptr) return 0;
  std::size_t count = 0;
  while (const dirent* entry = ::readdir(folder)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(folder);
  return count > 0 ? count - 1 : 0;
}

std::atomic<bool> refusing{false};

CORBA::Boolean RefuseWhenShort(omni::omniInterceptors::serverAcceptConnection_T::info_T& info) {
  // Read at each accept: an administrator may change the limit of the running process.
  const std::size_t limit = CurrentLimit();
  const std::size_t held = OpenDescriptors();
  const std::size_t ceiling = IiopDescriptorCeiling(limit);
  if (held <= ceiling) {
    if (refusing.exchange(false)) LogFormat("IIOP connections are accepted again (%d descriptors in use)", {held});
    return true;
  }
  if (!refusing.exchange(true)) {
    LogErrorLine(FormatText("IIOP connections refused: %d of %d descriptors in use (the first from %s)",
                            {held, limit, info.peeraddress() != nullptr ? info.peeraddress() : "?"}));
  }
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

void LimitIiopConnections() {
  static std::once_flag installed;
  std::call_once(installed, [] { omniORB::getInterceptors()->serverAcceptConnection.add(&RefuseWhenShort); });
}

}  // namespace vantrel
