#pragma once

#include <omniORB4/CORBA.h>

#include <string>
#include <vector>

namespace vantrel {

// What a line's calls looked like when the telephony thread last handled an event of the line: clients ask
// the questions they ask most (state, parties, active and offering call) of it without waiting for that thread.
// It is published before the event goes to the listener, so a client that got an event and then asks sees
// that state or a later one.
struct TLineCallsSnapshot {
  struct TCall {
    CORBA::Long handle = 0;
    CORBA::Long state = 0;
    std::string callerID, calledID, connectedID;
  };
  std::vector<TCall> calls;
  CORBA::Long activeCall = 0;
  CORBA::Long offeringCall = 0;

  const TCall* Find(CORBA::Long handle) const {
    for (const TCall& call : calls) {
      if (call.handle == handle) return &call;
    }
    return nullptr;
  }
};

}  // namespace vantrel
