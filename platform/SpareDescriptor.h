#pragma once

namespace vantrel::platform {

// An accept loop's way out when the process has no descriptors left. A connection that cannot be taken keeps
// its listener readable, so a loop that only retries spins at full speed; the spare (a descriptor held back
// for this) is given up for a moment to take that connection and close it at once, then opened again.
class TSpareDescriptor {
 public:
  enum class TAccept {
    Taken,       // a connection, its descriptor returned
    Nothing,     // nothing to take (gone, aborted, interrupted): wait for the listener again
    TurnedAway,  // out of descriptors: the waiting connection was taken and closed
    Failed,      // out of descriptors or memory and nothing could be done: back off before trying again
  };
  struct TResult {
    TAccept outcome;
    int descriptor;  // for Taken, else -1
    int error;       // errno of the failing accept, else 0
  };

  TSpareDescriptor();
  ~TSpareDescriptor();
  TSpareDescriptor(const TSpareDescriptor&) = delete;
  TSpareDescriptor& operator=(const TSpareDescriptor&) = delete;

  // accept4 on the listener with the flags; the listener should be non-blocking.
  TResult Accept(int listener, int flags);

 private:
  int spare_ = -1;  // only the accepting thread touches it
};

}  // namespace vantrel::platform
