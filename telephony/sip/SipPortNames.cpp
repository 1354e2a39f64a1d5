// The display name a ringing phone shows for the caller.
#include <chrono>

#include "telephony/sip/SipPort.h"

namespace vantrel::telephony {

namespace {
// A phone rings this long after the call reached its station at most, name or not.
constexpr auto kLongestWaitForName = std::chrono::seconds(1);
}  // namespace

bool TSipPort::AwaitCallerName(const TLegChange& change, const std::string& number, std::string* name) {
  auto awaited = namesAwaited_.find(change.leg);
  if (awaited != namesAwaited_.end() && awaited->second.gaveUp) {
    namesAwaited_.erase(awaited);
    return false;  // the directory did not answer in time: the number alone
  }
  const DWORD leg = change.leg;
  switch (callerNames_->Find(number, name, [this, leg] { Post([this, leg] { OnCallerNamed(leg); }); })) {
    case TSipCallerNames::TFound::Known:
    case TSipCallerNames::TFound::Never:
      if (awaited != namesAwaited_.end()) namesAwaited_.erase(awaited);
      return false;
    case TSipCallerNames::TFound::Asked:
      break;
  }
  if (awaited == namesAwaited_.end())
    namesAwaited_.emplace(leg, TAwaitedName{TSipRegistrar::TClock::now() + kLongestWaitForName, false});
  return true;
}

void TSipPort::OnCallerNamed(DWORD leg) {
  if (namesAwaited_.count(leg) == 0) return;
  const auto found = legs_.find(leg);
  // Still ringing, and no phone rung for it meanwhile.
  if (found == legs_.end() || found->second.state != LINECALLSTATE_OFFERING || !CallsOf(leg).empty()) {
    namesAwaited_.erase(leg);
    return;
  }
  RingPhones(found->second, false);
}

void TSipPort::StopAwaitingNames() {
  const auto now = TSipRegistrar::TClock::now();
  std::vector<DWORD> late;
  for (auto& [leg, awaited] : namesAwaited_) {
    if (!awaited.gaveUp && awaited.until <= now) {
      awaited.gaveUp = true;
      late.push_back(leg);
    }
  }
  for (const DWORD leg : late) OnCallerNamed(leg);
}

}  // namespace vantrel::telephony
