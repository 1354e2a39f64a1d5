#include "diZudu.h"
#include "diZuduInternal.h"

#include <algorithm>
#include <cstring>

#include "platform/DebugOutput.h"
#include "platform/Ticks.h"
#include "support/ExceptionText.h"
#include "support/VantrelCommonRoutines.h"
#include "telephony/tapi/TapiService.h"

namespace vantrel::telephony {

using namespace detail;

// ---- calls ----

std::string TTapiCall::Note(const std::string& name) const {
  for (const auto& [key, value] : Notes) {
    if (key == name) return value;
  }
  return {};
}

void TTapiCall::SetNote(const std::string& name, const std::string& value) {
  for (auto& [key, stored] : Notes) {
    if (key == name) {
      stored = value;
      return;
    }
  }
  Notes.emplace_back(name, value);
}

namespace {
TCustomTapiLine& RequireLine(TCustomTapiLine* line) {
  if (line == nullptr) TapiFail("TTapiCall.Create failed! Invalid Line");
  return *line;
}

}  // namespace

TTapiCall::TTapiCall(TCustomTapiLine* line, HCALL handle)
    : Handle(handle),
      CallInfo(*this),
      CallStatus(*this),
      CallerID(*this, 0),
      CalledID(*this, 1),
      ConnectedID(*this, 2),
      RedirectionID(*this, 3),
      RedirectingID(*this, 4),
      RemoteID(*this),
      line_(RequireLine(line)) {
  AutoOwner = line_.CallOptions.AutoOwner;
  MonitorDigitModes = line_.CallOptions.MonitorDigitModes;
  MonitorDigitsAutoSelect = line_.CallOptions.MonitorDigitsAutoSelect;
  TProtectedGuard callsHeld(line_.calls_);
  if (Handle != 0) {
    line_.calls_.Items().push_back(this);
    registered_ = true;
  } else {
    line_.pendingCalls_.push_back(this);
  }
  callsHeld.Release();
  if (Handle != 0) {
    const DWORD state = State();
    if (state != 0 && state != LINECALLSTATE_IDLE) SetAlive(true);
  }
}

TTapiCall::~TTapiCall() {
  if (Handle != 0) Deallocate();
  // Blocking: a request or a list entry left behind would name a freed call.
  TProtectedGuard requestsHeld(line_.Requests);
  line_.Requests.RemoveRequests(this);
  requestsHeld.Release();
  TProtectedGuard timerRequestsHeld(line_.TimerRequests);
  line_.TimerRequests.RemoveRequests(this);
  timerRequestsHeld.Release();
  TProtectedGuard callsHeld(line_.calls_);
  Erase(line_.calls_.Items(), this);
  Erase(line_.pendingCalls_, this);
  line_.UnlinkCall(*this);
}

void TTapiCall::Deallocate() {
  lineDeallocateCall(Handle);
  Handle = 0;
}

void TTapiCall::SetAlive(bool alive) {
  if (alive == alive_) return;
  alive_ = alive;
  if (alive) {
    BeginTime = std::chrono::system_clock::now();
    BeginTick = platform::GetTickCount();
    StateHistory = 0;
    OriginHistory = 0;
  } else {
    EndTime = std::chrono::system_clock::now();
    EndTick = platform::GetTickCount();
    ActiveDigitModes = 0;
  }
}

void TTapiCall::SetConnected(bool connected) {
  if (connected == connected_) return;
  connected_ = connected;
  if (connected) {
    ConnectTime = std::chrono::system_clock::now();
    StartDigitMonitoring();
  } else {
    StopDigitMonitoring();
  }
}

void TTapiCall::StartDigitMonitoring() {
  if (Handle == 0) TapiFail("MonitorDigits: No valid call");
  if (!MonitorDigitsAutoSelect || line_.Caps.Get_DWORD(18) == 0) return;
  for (DWORD modes : {3u, 5u, 2u, 1u}) {
    if (lineMonitorDigits(Handle, modes) == 0) {
      ActiveDigitModes = modes;
      return;
    }
  }
}

void TTapiCall::StopDigitMonitoring() {
  if (ActiveDigitModes == 0) return;
  if (Handle != 0) lineMonitorDigits(Handle, 0);
  ActiveDigitModes = 0;
}

namespace {
// Inbound / outbound by the origin, or by the states seen when the origin says nothing.
bool ByOrigin(DWORD origin, DWORD history, DWORD originBits, DWORD historyBits) {
  if (origin == 0 || (origin & (LINECALLORIGIN_UNKNOWN | LINECALLORIGIN_UNAVAIL)) != 0) {
    return (history & historyBits) != 0;
  }
  return (origin & originBits) != 0;
}
}  // namespace

bool TTapiCall::IsInbound() {
  return ByOrigin(CallInfo.Get_DWORD(12), StateHistory, kInboundCallOrigins, kInboundSetupCallStates);
}
bool TTapiCall::WasInbound() const {
  return ByOrigin(OriginHistory, StateHistory, kInboundCallOrigins, kInboundSetupCallStates);
}
bool TTapiCall::IsOutbound() {
  return ByOrigin(CallInfo.Get_DWORD(12), StateHistory, LINECALLORIGIN_OUTBOUND, kOutboundSetupCallStates);
}
bool TTapiCall::WasOutbound() const {
  return ByOrigin(OriginHistory, StateHistory, LINECALLORIGIN_OUTBOUND, kOutboundSetupCallStates);
}

bool TTapiCall::CheckOwnership() {
  if ((StatusDWord(2) & LINECALLPRIVILEGE_OWNER) != 0) return true;
  if (!AutoOwner || Handle == 0) return false;
  const bool taken = lineSetCallPrivilege(Handle, LINECALLPRIVILEGE_OWNER) == 0;
  CallStatus.Invalidate();
  return taken;
}

void TTapiCall::SetOwner(bool owner) {
  TapiCheck(lineSetCallPrivilege(Handle, owner ? LINECALLPRIVILEGE_OWNER : LINECALLPRIVILEGE_MONITOR));
  CallStatus.Invalidate();
}

void TTapiCall::Answer(const std::string& userUserInfo) {
  CheckOwnership();
  line_.Answer(this, userUserInfo);
}

void TTapiCall::Drop(const std::string& userUserInfo) {
  CheckOwnership();
  line_.Drop(this, userUserInfo);
}

void TTapiCall::Hold() {
  CheckOwnership();
  line_.Hold(this);
}

void TTapiCall::Unhold() {
  CheckOwnership();
  line_.Unhold(this);
}

void TTapiCall::DevSpecific(const std::string& params) {
  CheckOwnership();
  line_.DevSpecific(this, params);
}

std::string TTapiCall::Record(const TRecordRequest& request) {
  CheckOwnership();
  return RecordCall(Handle, request);
}

std::string TTapiCall::Monitor(const TMonitorRequest& request) {
  CheckOwnership();
  return MonitorCall(Handle, request);
}

void TTapiCall::BlindTransfer(const std::string& destination) {
  CheckOwnership();
  line_.BlindTransfer(this, destination, 0);
}

void TTapiCall::Dial(const std::string& destination) {
  LogMessage("DIZUDU.Dial_INPUT");
  CheckOwnership();
  LogMessage("DIZUDU.Dial_CheckOwnership");
  line_.Dial(this, destination, 0);
  LogMessage("DIZUDU.Dial_End");
}

TTapiCall* TTapiCall::SetupTransfer() {
  CheckOwnership();
  TTapiCallParams params = line_.CallParams;
  params.AddressID = CallInfo.Get_DWORD(1);
  return line_.SetupTransfer(this, params.BuildCallParams());
}

TTapiCall* TTapiCall::CompleteTransfer(bool conference) {
  constexpr DWORD kHeldStates = LINECALLSTATE_ONHOLD | LINECALLSTATE_ONHOLDPENDTRANSFER;
  const auto onLine = [&](TTapiCall* call) {
    if (call == nullptr) return false;
    return Contains(line_.calls_.Items(), call) || Contains(line_.pendingCalls_, call);
  };
  const LONG address = static_cast<LONG>(CallInfo.Get_DWORD(1));
  TTapiCall* held = nullptr;
  TTapiCall* consult = nullptr;
  const DWORD state = State();
  if (state & LINECALLSTATE_CONNECTED) {
    consult = this;
    for (TTapiCall* candidate : {RelatedCall, ConsultCall}) {
      if (held == nullptr && onLine(candidate) &&
          ((candidate->State() & kHeldStates) != 0 ||
           (candidate->CallStatus.CallFeatures() & LINECALLFEATURE_COMPLETETRANSF) != 0)) {
        held = candidate;
      }
    }
    if (held == nullptr) held = line_.FindCall(kHeldStates, LINECALLFEATURE_COMPLETETRANSF, this, address);
  } else if (state & kHeldStates) {
    held = this;
    for (TTapiCall* candidate : {ConsultCall, RelatedCall}) {
      if (consult == nullptr && onLine(candidate) && (candidate->State() & LINECALLSTATE_CONNECTED) != 0) {
        consult = candidate;
      }
    }
    if (consult == nullptr) consult = line_.FindCall(LINECALLSTATE_CONNECTED, 0, this, address);
  }
  if (held == nullptr || consult == nullptr) TapiFail("CompleteTransfer failed! No suitable call found.");
  held->CheckOwnership();
  consult->CheckOwnership();
  return line_.CompleteTransfer(held, consult, conference ? LINETRANSFERMODE_CONFERENCE : LINETRANSFERMODE_TRANSFER);
}

}  // namespace vantrel::telephony
