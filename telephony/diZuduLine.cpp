#include "diZudu.h"
#include "diZuduInternal.h"

#include <algorithm>
#include <cstring>

#include "platform/DebugOutput.h"
#include "platform/Ticks.h"
#include "support/ExceptionText.h"
#include "support/VantrelCommonRoutines.h"

namespace vantrel::telephony {

using namespace detail;

// ---- lines ----

DWORD TCustomTapiLine::TPrivileges::Mask() const {
  return (Owner ? LINECALLPRIVILEGE_OWNER : 0) | (Monitor ? LINECALLPRIVILEGE_MONITOR : 0) |
         (None ? LINECALLPRIVILEGE_NONE : 0);
}

TCustomTapiLine::TCustomTapiLine() : Caps(*this) {}

TCustomTapiLine::~TCustomTapiLine() {
  try {
    Close();
  } catch (...) {
  }
  Unregister();
  TProtectedGuard requestsHeld(Requests);
  Requests.RemoveRequests(nullptr);
  requestsHeld.Release();
  TProtectedGuard timerRequestsHeld(TimerRequests);
  TimerRequests.RemoveRequests(nullptr);
}

TTapiLine::~TTapiLine() = default;

void TCustomTapiLine::SetActive(bool active) {
  if (!active) {
    Close();
  } else if (Enabled()) {
    Open();
  }
}

void TCustomTapiLine::Open() {
  if (!Available()) throw ETapiError(TapiErrorText(LINEERR_NODEVICE), LINEERR_NODEVICE);
  if (IsOpen()) return;
  OpenLine();
  GetNewCalls();
}

void TCustomTapiLine::RefreshAddresses() {
  const DWORD count = Caps.Get_DWORD(9);
  while (addresses_.size() > count) addresses_.pop_back();
  while (addresses_.size() < count) {
    addresses_.push_back(std::make_unique<TTapiAddress>(*this, static_cast<DWORD>(addresses_.size())));
  }
}

void TCustomTapiLine::OpenLine() {
  if (application_ == nullptr || !application_->Active()) TapiFail(Name + " is not enabled");
  if (IsOpen()) return;
  Caps.Invalidate();
  RefreshAddresses();
  const DWORD mediaModes = MediaModes != 0 ? MediaModes : Caps.Get_DWORD(12);
  std::vector<DWORD> tries;
  if (!Privileges.AutoSelect)
    tries = {Privileges.Mask()};
  else if (mediaModes == 0)
    tries = {LINECALLPRIVILEGE_NONE};
  else
    tries = {LINECALLPRIVILEGE_OWNER | LINECALLPRIVILEGE_MONITOR, LINECALLPRIVILEGE_OWNER, LINECALLPRIVILEGE_MONITOR,
             LINECALLPRIVILEGE_NONE};
  LONG result = LINEERR_OPERATIONFAILED;
  for (DWORD privileges : tries) {
    result = lineOpen(application_->LineApp(), static_cast<DWORD>(DeviceID()), &hLine_, ApiVersion(), ExtVersion(),
                      Instance(), privileges, mediaModes, nullptr);
    if (result == 0) {
      Privileges.Owner = (privileges & LINECALLPRIVILEGE_OWNER) != 0;
      Privileges.Monitor = (privileges & LINECALLPRIVILEGE_MONITOR) != 0;
      Privileges.None = privileges == LINECALLPRIVILEGE_NONE;
      break;
    }
  }
  if (result != 0) {
    hLine_ = 0;
    TapiCheck(result);
  }
  if (lineSetStatusMessages(hLine_, LineStates, AddressStates) != 0) {
    const DWORD lineStates = LineStates & Caps.Get_DWORD(29);
    if (lineSetStatusMessages(hLine_, lineStates, AddressStates) != 0 && Caps.Get_Available() && !addresses_.empty() &&
        addresses_[0]->Caps().Get_Available()) {
      lineSetStatusMessages(hLine_, lineStates, AddressStates & addresses_[0]->Caps().Get_DWORD(4));
    }
  }
  if (lineGetStatusMessages(hLine_, &EffectiveLineStates, &EffectiveAddressStates) != 0) {
    EffectiveLineStates = 0;
    EffectiveAddressStates = 0;
  }
  AbortEvent().Reset();
}

void TCustomTapiLine::GetNewCalls() {
  TTapiBuffer list(536);
  const LONG result = list.Fetch([this](void* record) {
    return lineGetNewCalls(hLine_, 0, LINECALLSELECT_LINE, static_cast<LINECALLLIST*>(record));
  });
  if (result != 0) return;
  const auto* record = list.As<LINECALLLIST>();
  const DWORD count = std::min<DWORD>(record->dwCallsNumEntries, record->dwCallsSize / sizeof(HCALL));
  for (DWORD i = 0; i < count; ++i) {
    HCALL handle = 0;
    std::memcpy(&handle, static_cast<const char*>(list.Data()) + record->dwCallsOffset + i * sizeof(HCALL),
                sizeof handle);
    if (handle != 0) GetCallByHandle(handle, true);
  }
}

void TCustomTapiLine::Close() {
  if (!IsOpen()) return;
  AbortEvent().Set();  // a synchronous wait on this line ends at its next poll
  TProtectedGuard requestsHeld(Requests);
  Requests.RemoveRequests(nullptr);
  requestsHeld.Release();
  TProtectedGuard timerRequestsHeld(TimerRequests);
  TimerRequests.RemoveRequests(nullptr);
  timerRequestsHeld.Release();
  TProtectedGuard callsHeld(calls_);
  std::vector<TTapiCall*> all = calls_.Items();
  all.insert(all.end(), pendingCalls_.begin(), pendingCalls_.end());
  callsHeld.Release();
  for (TTapiCall* call : all) FreeCall(call);
  for (auto& address : addresses_) address->Status().Invalidate();
  lineClose(hLine_);
  hLine_ = 0;
}

TTapiCall* TCustomTapiLine::GetCallByHandle(HCALL handle, bool create) {
  if (handle == 0) return nullptr;
  TProtectedGuard callsHeld(calls_);
  TTapiCall* found = nullptr;
  for (TTapiCall* call : calls_.Items()) {
    if (call->Handle == handle) found = call;
  }
  if (found == nullptr) {
    for (TTapiCall* call : pendingCalls_) {
      if (call->Handle == handle) found = call;
    }
    if (found != nullptr) RegisterCall(*found);
  }
  if (found == nullptr && create) {
    TTapiBuffer status(56);
    const LONG valid = status.Fetch(
        [handle](void* record) { return lineGetCallStatus(handle, static_cast<LINECALLSTATUS*>(record)); });
    if (valid == 0) found = NewCall(handle);
  }
  callsHeld.Release();
  return found;
}

TTapiCall* TCustomTapiLine::FindCall(DWORD states, DWORD features, const TTapiCall* exclude, LONG addressId) {
  const auto search = [&](DWORD wantedFeatures, bool anyAddress) -> TTapiCall* {
    for (TTapiCall* call : calls_.Items()) {
      if (call == exclude) continue;
      if (states != 0 && (call->State() & states) == 0) continue;
      if (wantedFeatures != 0 && (call->CallStatus.CallFeatures() & wantedFeatures) == 0) continue;
      if (!anyAddress && static_cast<LONG>(call->CallInfo.Get_DWORD(1)) != addressId) continue;
      return call;
    }
    return nullptr;
  };
  for (bool anyAddress : {false, true}) {
    if (TTapiCall* call = search(features, anyAddress)) return call;
    if (TTapiCall* call = search(0, anyAddress)) return call;
  }
  return nullptr;
}

void TCustomTapiLine::RegisterCall(TTapiCall& call) {
  call.registered_ = call.Handle != 0;
  if (!call.registered_) return;
  Erase(pendingCalls_, &call);
  if (!Contains(calls_.Items(), &call)) calls_.Items().push_back(&call);
}

// Removes every link to the call from the line's calls, and the call's own.
void TCustomTapiLine::UnlinkCall(TTapiCall& call) {
  for (auto* list : {&calls_.Items(), &pendingCalls_}) {
    for (TTapiCall* other : *list) {
      if (other->RelatedCall == &call) other->RelatedCall = nullptr;
      if (other->ConsultCall == &call) other->ConsultCall = nullptr;
    }
  }
  call.RelatedCall = nullptr;
  call.ConsultCall = nullptr;
}

TTapiCall* TCustomTapiLine::NewCall(HCALL handle) {
  auto call = std::make_unique<TTapiCall>(this, handle);
  TProtectedGuard callsHeld(calls_);
  owned_.push_back(std::move(call));
  return owned_.back().get();
}

void TCustomTapiLine::FreeCall(TTapiCall* call) {
  std::unique_ptr<TTapiCall> freed;
  TProtectedGuard callsHeld(calls_);
  const auto found = std::find_if(owned_.begin(), owned_.end(), [call](const auto& owned) { return owned.get() == call; });
  if (found != owned_.end()) {
    freed = std::move(*found);
    owned_.erase(found);
  }
  callsHeld.Release();
  // Ends here, without the list held: its destructor takes the line's lists itself.
}

void TCustomTapiLine::CheckOpen() const {
  if (!IsOpen()) TapiFail(ActiveFailureText());
}

void TCustomTapiLine::CheckCall(const TTapiCall* call, const char* operation) {
  CheckOpen();
  TProtectedGuard callsHeld(calls_);
  const bool valid = call != nullptr && Contains(calls_.Items(), call) && call->Handle != 0;
  callsHeld.Release();
  if (!valid) TapiFail(std::string(operation) + "! Invalid call.");
}

LONG TCustomTapiLine::StartRequest(LONG result, DWORD kind, TTapiCall* call0, TTapiCall* call1, TTapiCall* call2,
                                   TTapiAddress* address) {
  TapiCheck(result);
  TProtectedGuard requestsHeld(Requests);
  TTapiRequest& request = Requests.AddRequest(result, Options.ReplyTimeout);
  request.Request = kind;
  request.Calls[0] = call0;
  request.Calls[1] = call1;
  request.Calls[2] = call2;
  request.Address = address;
  requestsHeld.Release();
  return TapiCheck(WaitForReply(result));
}

void TCustomTapiLine::Answer(TTapiCall* call, const std::string& userUserInfo) {
  CheckCall(call, "Answer failed");
  StartRequest(lineAnswer(call->Handle, userUserInfo.empty() ? nullptr : userUserInfo.c_str(),
                          static_cast<DWORD>(userUserInfo.size())),
               REQUEST_ANSWER, call);
}

void TCustomTapiLine::Drop(TTapiCall* call, const std::string& userUserInfo) {
  CheckCall(call, "Drop failed");
  StartRequest(lineDrop(call->Handle, userUserInfo.empty() ? nullptr : userUserInfo.c_str(),
                        static_cast<DWORD>(userUserInfo.size())),
               REQUEST_DROP, call);
}

void TCustomTapiLine::Hold(TTapiCall* call) {
  CheckCall(call, "Hold failed");
  StartRequest(lineHold(call->Handle), REQUEST_HOLD, call);
}

void TCustomTapiLine::Unhold(TTapiCall* call) {
  CheckCall(call, "Unhold failed");
  StartRequest(lineUnhold(call->Handle), REQUEST_UNHOLD, call);
}

void TCustomTapiLine::DevSpecific(TTapiCall* call, const std::string& params) {
  CheckCall(call, "DevSpecific failed");
  std::string text = params;
  StartRequest(lineDevSpecific(hLine_, 0, call->Handle, text.data(), static_cast<DWORD>(text.size())),
               REQUEST_DEVSPECIFIC, call);
}

void TCustomTapiLine::Dial(TTapiCall* call, const std::string& destination, DWORD countryCode) {
  CheckCall(call, "Dail failed");
  StartRequest(lineDial(call->Handle, destination.c_str(), countryCode), REQUEST_DIAL, call);
}

void TCustomTapiLine::BlindTransfer(TTapiCall* call, const std::string& destination, DWORD countryCode) {
  CheckCall(call, "BlindTransfer failed");
  StartRequest(lineBlindTransfer(call->Handle, destination.c_str(), countryCode), REQUEST_BLINDTRANSFER, call);
}

TTapiCall* TCustomTapiLine::MakeCall(const std::string& destination, DWORD countryCode, const LINECALLPARAMS* params) {
  CheckOpen();
  TTapiCall* call = NewCall(0);
  const LONG result = lineMakeCall(hLine_, &call->Handle, destination.c_str(), countryCode, params);
  if (result < 0) FreeCall(call);
  StartRequest(result, REQUEST_MAKECALL, call);
  return call;
}

TTapiCall* TCustomTapiLine::MakeCall(const std::string& destination) {
  LogMessage("DIZUDU.MakeCall_INPUT");
  TTapiCallParams params = CallParams;
  LogMessage("DIZUDU.MakeCall_AfterCreate");
  const LINECALLPARAMS* record = params.BuildCallParams();
  LogMessage("DIZUDU.MakeCall_BeforeMakeCall");
  TTapiCall* call = MakeCall(destination, 0, record);
  LogMessage("DIZUDU.MakeCall_AfterMakeCall");
  return call;
}

TTapiCall* TCustomTapiLine::SetupTransfer(TTapiCall* call, const LINECALLPARAMS* params) {
  CheckCall(call, "SetupTransfer failed");
  TTapiCall* consult = NewCall(0);
  const LONG result = lineSetupTransfer(call->Handle, &consult->Handle, params);
  if (result < 0) {
    FreeCall(consult);
    TapiCheck(result);
  }
  TProtectedGuard callsHeld(calls_);
  UnlinkCall(*call);
  UnlinkCall(*consult);
  call->ConsultCall = consult;
  consult->RelatedCall = call;
  callsHeld.Release();
  StartRequest(result, REQUEST_SETUPTRANSFER, call, consult);
  return consult;
}

TTapiCall* TCustomTapiLine::CompleteTransfer(TTapiCall* call, TTapiCall* consultCall, DWORD transferMode) {
  CheckCall(call, "CompleteTransfer faild");
  TProtectedGuard callsHeld(calls_);
  const bool validConsult = consultCall != nullptr && Contains(calls_.Items(), consultCall) && consultCall->Handle != 0;
  callsHeld.Release();
  if (!validConsult) TapiFail("CompleteTransfer faild! No valid ConsultCall.");
  if (transferMode != LINETRANSFERMODE_CONFERENCE) {
    StartRequest(lineCompleteTransfer(call->Handle, consultCall->Handle, nullptr, transferMode),
                 REQUEST_COMPLETETRANSFER, call, consultCall);
    return nullptr;
  }
  TTapiCall* conference = NewCall(0);
  const LONG result = lineCompleteTransfer(call->Handle, consultCall->Handle, &conference->Handle, transferMode);
  if (result < 0) FreeCall(conference);
  if (result >= 0) {
    // Added to the conference the held call is: the line has that call already.
    TProtectedGuard callsHeld(calls_);
    TTapiCall* existing = nullptr;
    for (TTapiCall* listed : calls_.Items()) {
      if (listed != conference && listed->Handle == conference->Handle) existing = listed;
    }
    callsHeld.Release();
    if (existing != nullptr) {
      FreeCall(conference);
      conference = existing;
    }
  }
  StartRequest(result, REQUEST_COMPLETETRANSFER, call, consultCall, conference);
  return conference;
}

void TCustomTapiLine::ForwardAddress(TTapiAddress* address, const std::vector<DWORD>* forwardList,
                                     const LINECALLPARAMS* params, HCALL* consultCall, DWORD numRingsNoAnswer) {
  CheckOpen();
  const auto* list = forwardList == nullptr ? nullptr : reinterpret_cast<const LINEFORWARDLIST*>(forwardList->data());
  StartRequest(lineForward(hLine_, address == nullptr ? 1 : 0, address == nullptr ? 0 : address->AddressID(), list,
                           numRingsNoAnswer, consultCall, params),
               REQUEST_FORWARD, nullptr, nullptr, nullptr, address);
}

void TCustomTapiLine::CompleteRequest(TTapiRequest& request, LONG replyCode) {
  request.Replied = true;
  TProtectedGuard callsHeld(calls_);
  for (int slot = 2; slot >= 0; --slot) {
    TTapiCall* call = request.Calls[slot];
    if (call == nullptr) continue;
    if (!call->registered_) RegisterCall(*call);
    if (replyCode == 0 && (request.Request == REQUEST_COMPLETETRANSFER || request.Request == REQUEST_ADDTOCONFERENCE) &&
        call->RelatedCall != nullptr) {
      UnlinkCall(*call);
    }
  }
  callsHeld.Release();
  if (OnTapiReply) OnTapiReply(*this, request.RequestID, static_cast<LONG>(replyCode));
  if (replyCode != 0 && IsCreatingRequest(request.Request)) {
    for (TTapiCall* call : request.Calls) {
      if (call != nullptr && call->Handle == 0) FreeCall(call);
    }
  }
}

void TCustomTapiLine::TimeoutRequest(TTapiRequest& request) {
  request.Replied = true;
  if (OnTapiTimeout) OnTapiTimeout(*this, request.RequestID);
  if (!IsCreatingRequest(request.Request)) return;
  for (TTapiCall* call : request.Calls) {
    if (call != nullptr && Contains(pendingCalls_, call)) FreeCall(call);
  }
}

void TCustomTapiLine::AddTimerJob(TTapiCall& call, DWORD kind, LONG delay) {
  TProtectedGuard timerRequestsHeld(TimerRequests);
  TimerRequests.RemoveRequests(&call);
  TTapiRequest& job = TimerRequests.AddRequest(0, static_cast<DWORD>(delay));
  job.Request = kind;
  job.Calls[0] = &call;
}

void TCustomTapiLine::DeallocateIdleCall(TTapiCall& call) {
  if (Options.AutoFreeIdleCalls == -1 || !Contains(calls_.Items(), &call)) return;
  if (call.State() == LINECALLSTATE_IDLE) AddTimerJob(call, REQUEST_LINEDEALLOCATE, Options.AutoFreeIdleCalls);
}

void TCustomTapiLine::DropDiscCall(TTapiCall& call) {
  if (Options.AutoDropDiscCalls == -1 || !Contains(calls_.Items(), &call)) return;
  if (call.State() == LINECALLSTATE_DISCONNECTED) AddTimerJob(call, REQUEST_LINEDROP, Options.AutoDropDiscCalls);
}

void TCustomTapiLine::HandleTimer(TTapiRequest& job) {
  TTapiCall* call = job.Calls[0];
  TProtectedGuard callsHeld(calls_);
  const bool listed = call != nullptr && Contains(calls_.Items(), call);
  callsHeld.Release();
  if (!listed) return;
  if (job.Request == REQUEST_LINEDEALLOCATE) {
    TProtectedGuard requestsHeld(Requests);
    const bool pending = Requests.HasRequestFor(call);
    requestsHeld.Release();
    if (call->State() != LINECALLSTATE_IDLE || pending) return;
    TProtectedGuard callsHeld(calls_);
    Erase(calls_.Items(), call);
    callsHeld.Release();
    DoCallDeallocate(*call);
    FreeCall(call);
  } else if (job.Request == REQUEST_LINEDROP && call->State() == LINECALLSTATE_DISCONNECTED) {
    call->Drop();
  }
}

void TCustomTapiLine::HandleMessage(DWORD hDevice, DWORD messageId, DWORD param1, DWORD param2, DWORD param3) {
  switch (messageId) {
    case LINE_ADDRESSSTATE:
      for (auto& address : addresses_) {
        if (address->AddressID() != param1) continue;
        if (param2 & LINEADDRESSSTATE_CAPSCHANGE)
          address->Caps().Invalidate();
        else
          address->Status().Invalidate();
        DoAddressState(*address, param2);
      }
      break;
    case LINE_CALLINFO:
      Handle_CallInfo(hDevice, param1);
      break;
    case LINE_CALLSTATE:
      Handle_CallState(hDevice, param1, param2, param3);
      break;
    case LINE_CLOSE:
      if (IsOpen()) {
        // The device is gone for us: what belonged to the handle goes with it, as on Close.
        Close();
        if (OnDeviceClose) OnDeviceClose(*this);
      }
      break;
    case LINE_DEVSPECIFIC:
    case LINE_DEVSPECIFICFEATURE:
    case LINE_CREATE:
    case LINE_AGENTSTATUS:
      break;
    case LINE_GATHERDIGITS:
      if (TTapiCall* call = GetCallByHandle(hDevice, true)) DoDigits(*call, call->GatheredDigits, param1);
      break;
    case LINE_GENERATE:
      if (TTapiCall* call = GetCallByHandle(hDevice, true)) DoGenerate(*call, param1);
      break;
    case LINE_LINEDEVSTATE:
      Handle_LineDevState(param1, param2, param3);
      break;
    case LINE_MONITORDIGITS:
      if (TTapiCall* call = GetCallByHandle(hDevice, true)) DoDigit(*call, param1 & 0xFF);
      break;
    case LINE_MONITORMEDIA:
      if (TTapiCall* call = GetCallByHandle(hDevice, true)) DoMediaMode(*call);
      break;
    case LINE_MONITORTONE:
      if (TTapiCall* call = GetCallByHandle(hDevice, true)) {
        if (param1 == 0xFFFFFFFF)
          DoSilence(*call);
        else
          DoTone(*call, param1);
      }
      break;
    case LINE_REPLY:
      HandleReply(static_cast<LONG>(param1), static_cast<LONG>(param2));
      break;
    case LINE_APPNEWCALL:
      Handle_AppNewCall(param2);
      break;
    case LINE_REMOVE:
      RemoveDevice(param1);
      break;
    default:
      TapiFail("Unknown/Unsupported Line Event (LINE_0x" + Hex(messageId, true) + ").");
  }
  TTapiDevice::HandleMessage(hDevice, messageId, param1, param2, param3);
}

void TCustomTapiLine::Handle_CallState(HCALL handle, DWORD state, DWORD detail, DWORD privilege) {
  if (state == 0) return;
  TTapiCall* call = GetCallByHandle(handle, true);
  if (call == nullptr) return;
  const bool wasAlive = call->Alive();
  call->CallStatus.Invalidate();
  call->SetAlive(state != LINECALLSTATE_IDLE);
  call->SetConnected(state == LINECALLSTATE_CONNECTED);
  switch (state) {
    case LINECALLSTATE_OFFERING:
      call->OfferingMode = detail;
      break;
    case LINECALLSTATE_DIALTONE:
      call->DialtoneMode = detail;
      break;
    case LINECALLSTATE_BUSY:
      call->BusyMode = detail;
      break;
    case LINECALLSTATE_SPECIALINFO:
      call->SpecialInfoMode = detail;
      break;
    case LINECALLSTATE_CONNECTED:
      call->ConnectedMode = detail;
      break;
    case LINECALLSTATE_DISCONNECTED:
      call->DisconnectMode = detail;
      break;
    default:
      break;
  }
  TProtectedGuard callsHeld(calls_);
  if (state == LINECALLSTATE_IDLE && (call->RelatedCall != nullptr || call->ConsultCall != nullptr)) {
    // The other calls forget it; its own links stay for the steps of its end.
    for (auto* list : {&calls_.Items(), &pendingCalls_}) {
      for (TTapiCall* other : *list) {
        if (other->RelatedCall == call) other->RelatedCall = nullptr;
        if (other->ConsultCall == call) other->ConsultCall = nullptr;
      }
    }
  } else if (state == LINECALLSTATE_CONFERENCED && call->RelatedCall != nullptr) {
    TTapiCall* conference = call->RelatedCall;
    if (conference->RelatedCall == call) conference->RelatedCall = nullptr;
    if (conference->ConsultCall == call) conference->ConsultCall = nullptr;
    call->RelatedCall = nullptr;
    call->ConsultCall = nullptr;
  }
  callsHeld.Release();
  // A handler may run a synchronous operation that processes later messages of this call (and may even free
  // it): the begin and end events follow the state this message reports, and the call is looked up again.
  const bool nowAlive = state != LINECALLSTATE_IDLE;
  const auto stillListed = [&]() -> TTapiCall* { return GetCallByHandle(handle, false); };
  DoCallState(*call, state);
  if ((call = stillListed()) == nullptr) return;
  if (state != LINECALLSTATE_UNKNOWN) DoStateEvent(*call, state);
  if ((call = stillListed()) == nullptr) return;
  if (privilege != 0) DoCallPrivilege(*call, privilege);
  if ((call = stillListed()) == nullptr) return;
  if (!wasAlive && nowAlive) DoCallBegin(*call);
  if (wasAlive && !nowAlive) DoCallEnd(*call);
  if ((call = stillListed()) == nullptr) return;
  call->StateHistory |= state;
  const DWORD current = call->State();
  if (current == LINECALLSTATE_IDLE)
    DeallocateIdleCall(*call);
  else if (current == LINECALLSTATE_DISCONNECTED)
    DropDiscCall(*call);
}

void TCustomTapiLine::Handle_CallInfo(HCALL handle, DWORD infoStates) {
  TTapiCall* call = GetCallByHandle(handle, true);
  if (call == nullptr) return;
  call->CallInfo.Invalidate();
  if (infoStates & LINECALLINFOSTATE_ORIGIN) call->OriginHistory |= call->CallInfo.Get_DWORD(12);
  if (infoStates & LINECALLINFOSTATE_MEDIAMODE) DoMediaMode(*call);
  DoCallInfo(*call, infoStates);
  for (DWORD party : {LINECALLINFOSTATE_CALLERID, LINECALLINFOSTATE_CALLEDID, LINECALLINFOSTATE_CONNECTEDID,
                      LINECALLINFOSTATE_REDIRECTIONID, LINECALLINFOSTATE_REDIRECTINGID}) {
    if (infoStates & party) DoPartyEvent(*call, party);
  }
}

void TCustomTapiLine::Handle_AppNewCall(HCALL handle) {
  if (handle == 0) return;
  TProtectedGuard callsHeld(calls_);
  TTapiCall* known = GetCallByHandle(handle, false);
  TTapiCall* made = known == nullptr ? GetCallByHandle(handle, true) : nullptr;
  callsHeld.Release();
  if (made == nullptr) return;
  DoNewCall(*made);
  if (made->Alive()) DoCallBegin(*made);
}

void TCustomTapiLine::Handle_LineDevState(DWORD state, DWORD detail1, DWORD detail2) {
  if (state & LINEDEVSTATE_CAPSCHANGE) Caps.Invalidate();
  if (state & LINEDEVSTATE_REMOVED) RemoveDevice(static_cast<DWORD>(DeviceID()));
  if (OnDeviceState) OnDeviceState(*this, state, detail1, detail2);
  if (state & LINEDEVSTATE_RINGING) DoRing(detail1, detail2);
}

void TCustomTapiLine::RemoveDevice(DWORD deviceId) {
  if (!Available() || static_cast<LONG>(deviceId) != DeviceID()) return;
  Done();
  if (OnDeviceRemove) OnDeviceRemove(*this);
}

// ---- the published line ----

void TTapiLine::DoStateEvent(TTapiCall& call, DWORD state) {
  const auto found = OnState.find(state);
  if (found != OnState.end() && found->second) found->second(*this, call);
}

void TTapiLine::DoPartyEvent(TTapiCall& call, DWORD party) {
  const auto found = OnParty.find(party);
  if (found != OnParty.end() && found->second) found->second(*this, call);
}

void TTapiLine::DoDigits(TTapiCall& call, const std::string& digits, DWORD termination) {
  if (OnDigits) OnDigits(*this, call, digits, termination);
}

void TTapiLine::DoAddressState(TTapiAddress& address, DWORD states) {
  if (OnAddressState) OnAddressState(*this, address, states);
}

void TTapiLine::DoRing(DWORD mode, DWORD count) {
  if (OnRing) OnRing(*this, mode, count);
}

}  // namespace vantrel::telephony
