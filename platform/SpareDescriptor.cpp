#include "SpareDescriptor.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace vantrel::platform {

namespace {
int OpenSpare() { return ::open("/dev/null", O_RDONLY | O_CLOEXEC); }
}  // namespace

TSpareDescriptor::TSpareDescriptor() : spare_(OpenSpare()) {}

TSpareDescriptor::~TSpareDescriptor() {
  if (spare_ >= 0) ::close(spare_);
}

TSpareDescriptor::TResult TSpareDescriptor::Accept(int listener, int flags) {
  const int descriptor = ::accept4(listener, nullptr, nullptr, flags);
  if (descriptor >= 0) {
    // Opened again as soon as there is room, should an earlier attempt have failed.
    if (spare_ < 0) spare_ = OpenSpare();
    return {TAccept::Taken, descriptor, 0};
  }
  const int error = errno;
  if (error != EMFILE && error != ENFILE && error != ENOBUFS && error != ENOMEM) {
    return {TAccept::Nothing, -1, error};
  }
  if ((error == EMFILE || error == ENFILE) && spare_ >= 0) {
    ::close(spare_);
    const int excess = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (excess >= 0) ::close(excess);
    spare_ = OpenSpare();
    if (excess >= 0) return {TAccept::TurnedAway, -1, error};
  }
  return {TAccept::Failed, -1, error};
}

}  // namespace vantrel::platform
