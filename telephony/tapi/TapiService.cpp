#include "TapiService.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>

#include "platform/Event.h"
#include "platform/Ticks.h"

namespace vantrel::telephony {

namespace {

// Every state from IDLE to DISCONNECTED: a device's calls can be in any of them.
constexpr DWORD kEveryCallState = (LINECALLSTATE_DISCONNECTED << 1) - 1;

constexpr DWORD kLowestApiVersion = 0x00010003;
constexpr DWORD kHighestApiVersion = 0x00020002;
// Voice, and the data-modem mode a line asks for first when it opens.
constexpr DWORD kMediaModes = LINEMEDIAMODE_INTERACTIVEVOICE | LINEMEDIAMODE_UNKNOWN | 0x10;
constexpr DWORD kDigitModes = LINEDIGITMODE_DTMF;
constexpr DWORD kAddressFeatures = 0x1 | 0x4;  // LINEADDRFEATURE_FORWARD | LINEADDRFEATURE_MAKECALL

// Writes the variable part of a TAPI record: strings behind the fixed part while they fit; the needed size
// always grows, so a caller with a small buffer learns how much to allocate.
class TVarRecord {
 public:
  TVarRecord(void* record, DWORD fixedSize)
      : base_(static_cast<char*>(record)), total_(*static_cast<DWORD*>(record)), end_(fixedSize) {}
  void Text(const std::string& text, DWORD& size, DWORD& offset) { Bytes(text.c_str(), text.size() + 1, size, offset); }
  void OptionalText(const std::string& text, DWORD& size, DWORD& offset) {
    if (!text.empty()) Text(text, size, offset);
  }
  void Bytes(const void* data, std::size_t length, DWORD& size, DWORD& offset) {
    const auto count = static_cast<DWORD>(length);
    if (end_ + count <= total_) {
      std::memcpy(base_ + end_, data, count);
      size = count;
      offset = end_;
      used_ = end_ + count;
    } else {
      size = 0;
      offset = 0;
    }
    end_ += count;
  }
  // Sets needed and used size; the used size is at least the fixed part.
  void Finish(DWORD fixedSize) {
    auto* sizes = reinterpret_cast<DWORD*>(base_);
    sizes[1] = end_;
    sizes[2] = std::max(used_, fixedSize);
  }

 private:
  char* const base_;
  const DWORD total_;
  DWORD end_;
  DWORD used_ = 0;  // the end of what was written
};

// Zeroes the record after its three size fields; false when not even the fixed part fits.
template <typename Record>
bool PrepareRecord(Record* record) {
  if (record->dwTotalSize < sizeof(Record)) return false;
  std::memset(reinterpret_cast<char*>(record) + 12, 0, sizeof(Record) - 12);
  return true;
}

DWORD CallFeatures(const TCallData& call) {
  switch (call.state) {
    case LINECALLSTATE_OFFERING:
      return LINECALLFEATURE_ANSWER | LINECALLFEATURE_DROP | LINECALLFEATURE_BLINDTRANSFER;
    case LINECALLSTATE_DIALTONE:
    case LINECALLSTATE_DIALING:
      return LINECALLFEATURE_DIAL | LINECALLFEATURE_DROP;
    case LINECALLSTATE_RINGBACK:
      return LINECALLFEATURE_DROP | (call.related != 0 ? LINECALLFEATURE_COMPLETETRANSF : 0);
    case LINECALLSTATE_CONNECTED:
      return LINECALLFEATURE_DROP | LINECALLFEATURE_HOLD | LINECALLFEATURE_BLINDTRANSFER |
             LINECALLFEATURE_MONITORDIGITS |
             (call.related != 0 ? LINECALLFEATURE_COMPLETETRANSF : LINECALLFEATURE_SETUPTRANSFER);
    case LINECALLSTATE_ONHOLD:
      return LINECALLFEATURE_DROP | LINECALLFEATURE_UNHOLD;
    case LINECALLSTATE_ONHOLDPENDTRANSFER:
      return LINECALLFEATURE_DROP | LINECALLFEATURE_UNHOLD | (call.related != 0 ? LINECALLFEATURE_COMPLETETRANSF : 0);
    case LINECALLSTATE_BUSY:
    case LINECALLSTATE_DISCONNECTED:
      return LINECALLFEATURE_DROP;
    default:
      return 0;
  }
}

std::atomic<TTapiService*> servingService{nullptr};

}  // namespace

void ServeTelephonyApiWith(TTapiService* service) { servingService = service; }

TTapiService* TelephonyApiService() { return servingService.load(); }

TTapiService::TTapiService(ITelephonyProvider& provider) : provider_(provider) { provider_.Attach(*this, mutex_); }

TTapiService::~TTapiService() {
  // Never leave the API functions reaching a service that is gone.
  TTapiService* self = this;
  servingService.compare_exchange_strong(self, nullptr);
}

void TTapiService::HoldReplies(bool hold) {
  std::lock_guard lock(mutex_);
  holdReplies_ = hold;
  if (hold) return;
  while (!heldReplies_.empty()) {
    auto [appHandle, message] = heldReplies_.front();
    heldReplies_.pop_front();
    if (App* app = FindApp(appHandle, false)) Post(*app, message);
  }
}

// ---- events from the back-end ----

void TTapiService::DeviceAdded(DWORD device) {
  for (auto& [handle, app] : apps_) {
    if (!app->phone) Post(*app, LINEMESSAGE{0, LINE_CREATE, 0, device, 0, 0});
  }
}

void TTapiService::DeviceRemoved(DWORD device) {
  std::vector<HLINE> closing;
  for (auto& [handle, line] : lines_) {
    if (line->device == device) closing.push_back(handle);
  }
  for (HLINE handle : closing) {
    PostToLine(*lines_.at(handle), handle, LINE_CLOSE, 0, 0, 0);
    CloseLine(handle);
  }
  for (auto& [handle, app] : apps_) {
    if (!app->phone) Post(*app, LINEMESSAGE{0, LINE_REMOVE, 0, device, 0, 0});
  }
}

void TTapiService::CallAppeared(DWORD callId) {
  const TCallData* call = provider_.Call(callId);
  if (call == nullptr || call->device < 0) return;
  OpenLine* requester = FindLine(requester_);
  if (requester != nullptr && requester->device != static_cast<DWORD>(call->device)) requester = nullptr;
  Holders& holders = holders_[callId];
  for (auto& [handle, line] : lines_) {
    if (line->device != static_cast<DWORD>(call->device)) continue;
    if (line->privileges == LINECALLPRIVILEGE_NONE && line.get() != requester) continue;
    const bool owner =
        line.get() == requester || (requester == nullptr && (line->privileges & LINECALLPRIVILEGE_OWNER) != 0);
    const Holder holder{++nextId_, owner ? LINECALLPRIVILEGE_OWNER : LINECALLPRIVILEGE_MONITOR, 0};
    holders.emplace(handle, holder);
    handles_.emplace(holder.handle, std::make_pair(callId, handle));
    if (line.get() != requester) PostToLine(*line, handle, LINE_APPNEWCALL, 0, holder.handle, holder.privilege);
  }
  if (holders.empty()) holders_.erase(callId);
}

void TTapiService::CallStateChanged(DWORD callId) {
  const TCallData* call = provider_.Call(callId);
  auto held = holders_.find(callId);
  if (call == nullptr || held == holders_.end()) return;
  for (auto& [lineHandle, holder] : held->second) {
    if (OpenLine* line = FindLine(lineHandle))
      PostToLine(*line, holder.handle, LINE_CALLSTATE, call->state, call->mode, 0);
  }
  if (call->state == LINECALLSTATE_OFFERING) {
    for (auto& [lineHandle, holder] : held->second) {
      if (OpenLine* line = FindLine(lineHandle))
        PostToLine(*line, lineHandle, LINE_LINEDEVSTATE, LINEDEVSTATE_RINGING, 0, 1);
    }
  }
}

void TTapiService::CallInfoChanged(DWORD call, DWORD infoStates) {
  PostToHolders(call, LINE_CALLINFO, infoStates, 0, 0);
}

void TTapiService::CallRemoved(DWORD call) {
  auto held = holders_.find(call);
  if (held == holders_.end()) return;
  for (const auto& [line, holder] : held->second) handles_.erase(holder.handle);
  holders_.erase(held);
}

void TTapiService::DigitReceived(DWORD callId, char digit) {
  auto held = holders_.find(callId);
  if (held == holders_.end()) return;
  for (auto& [lineHandle, holder] : held->second) {
    if ((holder.digitModes & LINEDIGITMODE_DTMF) == 0) continue;
    if (OpenLine* line = FindLine(lineHandle)) {
      PostToLine(*line, holder.handle, LINE_MONITORDIGITS, static_cast<unsigned char>(digit), LINEDIGITMODE_DTMF,
                 platform::GetTickCount());
    }
  }
}

void TTapiService::AddressStateChanged(DWORD device, DWORD addressStates) {
  for (auto& [handle, line] : lines_) {
    if (line->device == device) PostToLine(*line, handle, LINE_ADDRESSSTATE, 0, addressStates, 0);
  }
}

bool TTapiService::IsHeld(DWORD call) const { return holders_.count(call) != 0; }

bool TTapiService::HasApplications() const { return !apps_.empty(); }

// ---- messages ----

void TTapiService::Post(App& app, const LINEMESSAGE& message) {
  app.messages.push_back(message);
  app.event->Set();
}

void TTapiService::PostToLine(OpenLine& line, DWORD hDevice, DWORD message, DWORD p1, DWORD p2, DWORD p3) {
  if (message == LINE_LINEDEVSTATE && (line.lineStates & p1) == 0) return;
  if (message == LINE_ADDRESSSTATE && (line.addressStates & p2) == 0) return;
  if (App* app = FindApp(line.app, false)) Post(*app, LINEMESSAGE{hDevice, message, line.instance, p1, p2, p3});
}

void TTapiService::PostToHolders(DWORD call, DWORD message, DWORD p1, DWORD p2, DWORD p3) {
  auto held = holders_.find(call);
  if (held == holders_.end()) return;
  for (auto& [lineHandle, holder] : held->second) {
    if (OpenLine* line = FindLine(lineHandle)) PostToLine(*line, holder.handle, message, p1, p2, p3);
  }
}

LONG TTapiService::Reply(const OpenLine& line, LONG result) {
  const LONG request = nextRequest_;
  nextRequest_ = nextRequest_ == 0x7FFFFFFF ? 1 : nextRequest_ + 1;
  const LINEMESSAGE message{0, LINE_REPLY, line.instance, static_cast<DWORD>(request), static_cast<DWORD>(result), 0};
  if (holdReplies_) {
    heldReplies_.emplace_back(line.app, message);
  } else if (App* app = FindApp(line.app, false)) {
    Post(*app, message);
  }
  return request;
}

template <typename Body>
LONG TTapiService::Request(HLINE lineHandle, Body body) {
  requester_ = lineHandle;
  const TReply reply = [this, lineHandle](LONG result) {
    const OpenLine* line = FindLine(lineHandle);
    return line == nullptr ? LINEERR_INVALLINEHANDLE : Reply(*line, result);
  };
  const LONG result = body(reply);
  requester_ = 0;
  return result;
}

// ---- look-ups ----

TTapiService::App* TTapiService::FindApp(HLINEAPP app, bool phone) {
  auto found = apps_.find(app);
  return found == apps_.end() || found->second->phone != phone ? nullptr : found->second.get();
}

TTapiService::OpenLine* TTapiService::FindLine(HLINE line) {
  auto found = lines_.find(line);
  return found == lines_.end() ? nullptr : found->second.get();
}

LONG TTapiService::FindCall(HCALL call, HeldCall& found) {
  auto handle = handles_.find(call);
  if (handle == handles_.end()) return LINEERR_INVALCALLHANDLE;
  found.call = provider_.Call(handle->second.first);
  found.line = FindLine(handle->second.second);
  if (found.call == nullptr || found.line == nullptr) return LINEERR_INVALCALLHANDLE;
  found.holder = &holders_.at(found.call->id).at(found.line->handle);
  return 0;
}

LONG TTapiService::FindOwnedCall(HCALL call, HeldCall& found) {
  if (const LONG result = FindCall(call, found); result != 0) return result;
  return (found.holder->privilege & LINECALLPRIVILEGE_OWNER) != 0 ? 0 : LINEERR_NOTOWNER;
}

LONG TTapiService::CheckDevice(HLINEAPP app, DWORD device) const {
  auto found = apps_.find(app);
  if (found == apps_.end() || found->second->phone) return LINEERR_INVALAPPHANDLE;
  if (device >= provider_.DeviceCount()) return LINEERR_BADDEVICEID;
  if (provider_.Device(device).removed) return LINEERR_NODEVICE;
  return 0;
}

std::size_t TTapiService::Owners(DWORD call) const {
  auto held = holders_.find(call);
  if (held == holders_.end()) return 0;
  return static_cast<std::size_t>(std::count_if(held->second.begin(), held->second.end(), [](const auto& other) {
    return (other.second.privilege & LINECALLPRIVILEGE_OWNER) != 0;
  }));
}

void TTapiService::CloseLine(HLINE lineHandle) {
  std::vector<DWORD> held;
  for (const auto& [call, holders] : holders_) {
    if (holders.count(lineHandle) != 0) held.push_back(call);
  }
  for (DWORD call : held) RemoveHolder(call, lineHandle);
  auto& owned = apps_.at(lines_.at(lineHandle)->app)->lines;
  owned.erase(std::remove(owned.begin(), owned.end(), lineHandle), owned.end());
  lines_.erase(lineHandle);
}

void TTapiService::RemoveHolder(DWORD call, HLINE line) {
  auto held = holders_.find(call);
  if (held == holders_.end()) return;
  auto found = held->second.find(line);
  if (found == held->second.end()) return;
  handles_.erase(found->second.handle);
  held->second.erase(found);
  if (!held->second.empty()) return;
  holders_.erase(held);
  provider_.Released(call);
}

// ---- applications ----

LONG TTapiService::Initialize(HLINEAPP* app, DWORD* numDevs, DWORD* apiVersion, LINEINITIALIZEEXPARAMS* params,
                              bool phone) {
  if (app == nullptr || numDevs == nullptr || apiVersion == nullptr || params == nullptr) {
    return phone ? PHONEERR_INVALPOINTER : LINEERR_INVALPOINTER;
  }
  if (params->dwTotalSize < sizeof(LINEINITIALIZEEXPARAMS)) {
    return phone ? PHONEERR_STRUCTURETOOSMALL : LINEERR_STRUCTURETOOSMALL;
  }
  if (params->dwOptions != LINEINITIALIZEEXOPTION_USEEVENT)
    return phone ? PHONEERR_OPERATIONFAILED : LINEERR_INVALPARAM;
  if (*apiVersion < 0x00020000) return phone ? PHONEERR_OPERATIONFAILED : LINEERR_INCOMPATIBLEAPIVERSION;
  std::lock_guard lock(mutex_);
  auto made = std::make_unique<App>();
  made->handle = ++nextId_;
  made->phone = phone;
  made->eventHandle = ++nextId_;
  made->event = std::make_shared<platform::Event>(platform::Event::ResetMode::Manual);
  events_.emplace(made->eventHandle, made->event);
  *app = made->handle;
  *numDevs = phone ? 0 : provider_.DeviceCount();
  *apiVersion = std::min(*apiVersion, kHighestApiVersion);
  params->dwNeededSize = sizeof(LINEINITIALIZEEXPARAMS);
  params->dwUsedSize = sizeof(LINEINITIALIZEEXPARAMS);
  params->hEvent = made->eventHandle;
  apps_.emplace(made->handle, std::move(made));
  return 0;
}

LONG TTapiService::Shutdown(HLINEAPP appHandle, bool phone) {
  std::lock_guard lock(mutex_);
  App* app = FindApp(appHandle, phone);
  if (app == nullptr) return phone ? PHONEERR_INVALAPPHANDLE : LINEERR_INVALAPPHANDLE;
  for (HLINE line : std::vector<HLINE>(app->lines)) CloseLine(line);
  heldReplies_.erase(std::remove_if(heldReplies_.begin(), heldReplies_.end(),
                                    [&](const auto& waiting) { return waiting.first == appHandle; }),
                     heldReplies_.end());
  app->event->Set();  // a thread still waiting on it wakes up and finds the application gone
  events_.erase(app->eventHandle);
  apps_.erase(appHandle);
  return 0;
}

LONG TTapiService::GetMessage(HLINEAPP appHandle, LINEMESSAGE* message, DWORD timeoutMs, bool phone) {
  const LONG invalidApp = phone ? PHONEERR_INVALAPPHANDLE : LINEERR_INVALAPPHANDLE;
  if (message == nullptr) return phone ? PHONEERR_INVALPOINTER : LINEERR_INVALPOINTER;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    std::shared_ptr<platform::Event> event;
    {
      std::lock_guard lock(mutex_);
      App* app = FindApp(appHandle, phone);
      if (app == nullptr) return invalidApp;
      if (!app->messages.empty()) {
        *message = app->messages.front();
        app->messages.pop_front();
        if (app->messages.empty()) app->event->Reset();
        return 0;
      }
      event = app->event;
    }
    const auto now = std::chrono::steady_clock::now();
    if (timeoutMs != platform::INFINITE_WAIT && now >= deadline) {
      return phone ? PHONEERR_OPERATIONFAILED : LINEERR_OPERATIONFAILED;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
    event->Wait(timeoutMs == platform::INFINITE_WAIT ? platform::INFINITE_WAIT : static_cast<DWORD>(left + 1));
  }
}

std::shared_ptr<platform::Event> TTapiService::EventForHandle(HANDLE handle) const {
  std::lock_guard lock(mutex_);
  auto found = events_.find(handle);
  return found == events_.end() ? nullptr : found->second;
}

// ---- devices ----

LONG TTapiService::NegotiateAPIVersion(HLINEAPP app, DWORD device, DWORD low, DWORD high, DWORD* version,
                                       LINEEXTENSIONID* extension) {
  if (version == nullptr || extension == nullptr) return LINEERR_INVALPOINTER;
  std::lock_guard lock(mutex_);
  if (const LONG result = CheckDevice(app, device); result != 0) return result;
  if (high < kLowestApiVersion || low > kHighestApiVersion || low > high) return LINEERR_INCOMPATIBLEAPIVERSION;
  *version = std::min(high, kHighestApiVersion);
  *extension = LINEEXTENSIONID{};
  return 0;
}

LONG TTapiService::NegotiateExtVersion(HLINEAPP app, DWORD device, DWORD* version) {
  if (version == nullptr) return LINEERR_INVALPOINTER;
  std::lock_guard lock(mutex_);
  if (const LONG result = CheckDevice(app, device); result != 0) return result;
  *version = 0;
  return LINEERR_OPERATIONUNAVAIL;  // no provider extensions
}

LONG TTapiService::GetDevCaps(HLINEAPP app, DWORD device, DWORD apiVersion, DWORD extVersion, LINEDEVCAPS* caps) {
  if (caps == nullptr) return LINEERR_INVALPOINTER;
  std::lock_guard lock(mutex_);
  if (const LONG result = CheckDevice(app, device); result != 0) return result;
  if (apiVersion < kLowestApiVersion || apiVersion > kHighestApiVersion) return LINEERR_INCOMPATIBLEAPIVERSION;
  if (extVersion != 0) return LINEERR_INCOMPATIBLEEXTVERSION;
  if (!PrepareRecord(caps)) return LINEERR_STRUCTURETOOSMALL;
  const TDeviceData& data = provider_.Device(device);
  TVarRecord record(caps, sizeof(LINEDEVCAPS));
  record.Text(provider_.ProviderName(), caps->dwProviderInfoSize, caps->dwProviderInfoOffset);
  record.Text("Station " + data.number, caps->dwSwitchInfoSize, caps->dwSwitchInfoOffset);
  record.Text(data.name.empty() ? "Line " + data.number : data.name, caps->dwLineNameSize, caps->dwLineNameOffset);
  caps->dwPermanentLineID = device + 1;
  caps->dwStringFormat = 1;  // STRINGFORMAT_ASCII
  caps->dwAddressModes = LINEADDRESSMODE_ADDRESSID;
  caps->dwNumAddresses = 1;
  caps->dwBearerModes = LINEBEARERMODE_VOICE;
  caps->dwMediaModes = kMediaModes;
  caps->dwMonitorDigitModes = kDigitModes;
  caps->dwMaxNumActiveCalls = 1;
  caps->dwAnswerMode = 0x2;  // LINEANSWERMODE_HOLD
  caps->dwRingModes = 1;
  caps->dwLineStates = LINEDEVSTATE_ALL;
  caps->dwLineFeatures = 0x8 | 0x4;  // LINEFEATURE_MAKECALL | LINEFEATURE_FORWARD
  record.Finish(sizeof(LINEDEVCAPS));
  return 0;
}

LONG TTapiService::GetAddressCaps(HLINEAPP app, DWORD device, DWORD address, DWORD apiVersion, DWORD extVersion,
                                  LINEADDRESSCAPS* caps) {
  if (caps == nullptr) return LINEERR_INVALPOINTER;
  std::lock_guard lock(mutex_);
  if (const LONG result = CheckDevice(app, device); result != 0) return result;
  if (address != 0) return LINEERR_INVALADDRESSID;
  if (apiVersion < kLowestApiVersion || apiVersion > kHighestApiVersion) return LINEERR_INCOMPATIBLEAPIVERSION;
  if (extVersion != 0) return LINEERR_INCOMPATIBLEEXTVERSION;
  if (!PrepareRecord(caps)) return LINEERR_STRUCTURETOOSMALL;
  TVarRecord record(caps, sizeof(LINEADDRESSCAPS));
  caps->dwLineDeviceID = device;
  record.Text(provider_.Device(device).number, caps->dwAddressSize, caps->dwAddressOffset);
  caps->dwAddressSharing = LINEADDRESSSHARING_PRIVATE;
  caps->dwAddressStates = LINEADDRESSSTATE_ALL;
  caps->dwCallInfoStates = 0xFFFFFFFF >> 1;
  caps->dwCallerIDFlags = caps->dwCalledIDFlags = caps->dwConnectedIDFlags = caps->dwRedirectionIDFlags =
      caps->dwRedirectingIDFlags = LINECALLPARTYID_ADDRESS | LINECALLPARTYID_NAME | LINECALLPARTYID_UNKNOWN;
  caps->dwCallStates = kEveryCallState;
  caps->dwDialToneModes = LINEDIALTONEMODE_INTERNAL;
  caps->dwBusyModes = LINEBUSYMODE_STATION | LINEBUSYMODE_TRUNK;
  caps->dwDisconnectModes = LINEDISCONNECTMODE_NORMAL | LINEDISCONNECTMODE_REJECT;
  caps->dwMaxNumActiveCalls = 1;
  caps->dwMaxNumOnHoldCalls = 4;
  caps->dwMaxNumOnHoldPendingCalls = 1;
  caps->dwCallFeatures = LINECALLFEATURE_ANSWER | LINECALLFEATURE_BLINDTRANSFER | LINECALLFEATURE_COMPLETETRANSF |
                         LINECALLFEATURE_DIAL | LINECALLFEATURE_DROP | LINECALLFEATURE_HOLD |
                         LINECALLFEATURE_MONITORDIGITS | LINECALLFEATURE_SETUPTRANSFER | LINECALLFEATURE_UNHOLD;
  caps->dwTransferModes = LINETRANSFERMODE_TRANSFER;
  caps->dwForwardModes = LINEFORWARDMODE_UNCOND;
  caps->dwMaxForwardEntries = 1;
  caps->dwAddressFeatures = kAddressFeatures;
  caps->dwConnectedModes = LINECONNECTEDMODE_ACTIVE;
  caps->dwOfferingModes = LINEOFFERINGMODE_ACTIVE;
  caps->dwAvailableMediaModes = kMediaModes;
  record.Finish(sizeof(LINEADDRESSCAPS));
  return 0;
}

LONG TTapiService::Open(HLINEAPP appHandle, DWORD device, HLINE* line, DWORD apiVersion, DWORD extVersion,
                        DWORD instance, DWORD privileges, DWORD mediaModes) {
  if (line == nullptr) return LINEERR_INVALPOINTER;
  std::lock_guard lock(mutex_);
  if (const LONG result = CheckDevice(appHandle, device); result != 0) return result;
  if (apiVersion < kLowestApiVersion || apiVersion > kHighestApiVersion) return LINEERR_INCOMPATIBLEAPIVERSION;
  if (extVersion != 0) return LINEERR_INCOMPATIBLEEXTVERSION;
  const bool knownPrivileges = privileges == LINECALLPRIVILEGE_NONE || privileges == LINECALLPRIVILEGE_MONITOR ||
                               privileges == LINECALLPRIVILEGE_OWNER ||
                               privileges == (LINECALLPRIVILEGE_OWNER | LINECALLPRIVILEGE_MONITOR);
  if (!knownPrivileges) return LINEERR_INVALPRIVSELECT;
  if ((privileges & LINECALLPRIVILEGE_OWNER) != 0 && (mediaModes == 0 || (mediaModes & ~kMediaModes) != 0)) {
    return LINEERR_INVALMEDIAMODE;
  }
  auto opened = std::make_unique<OpenLine>();
  opened->handle = ++nextId_;
  opened->app = appHandle;
  opened->device = device;
  opened->instance = instance;
  opened->privileges = privileges;
  *line = opened->handle;
  apps_.at(appHandle)->lines.push_back(opened->handle);
  lines_.emplace(opened->handle, std::move(opened));
  return 0;
}

LONG TTapiService::Close(HLINE lineHandle) {
  std::lock_guard lock(mutex_);
  if (FindLine(lineHandle) == nullptr) return LINEERR_INVALLINEHANDLE;
  CloseLine(lineHandle);
  return 0;
}

LONG TTapiService::SetStatusMessages(HLINE lineHandle, DWORD lineStates, DWORD addressStates) {
  std::lock_guard lock(mutex_);
  OpenLine* line = FindLine(lineHandle);
  if (line == nullptr) return LINEERR_INVALLINEHANDLE;
  if ((lineStates & ~LINEDEVSTATE_ALL) != 0) return LINEERR_INVALLINESTATE;
  if ((addressStates & ~LINEADDRESSSTATE_ALL) != 0) return LINEERR_INVALADDRESSSTATE;
  line->lineStates = lineStates;
  line->addressStates = addressStates;
  return 0;
}

LONG TTapiService::GetStatusMessages(HLINE lineHandle, DWORD* lineStates, DWORD* addressStates) {
  if (lineStates == nullptr || addressStates == nullptr) return LINEERR_INVALPOINTER;
  std::lock_guard lock(mutex_);
  OpenLine* line = FindLine(lineHandle);
  if (line == nullptr) return LINEERR_INVALLINEHANDLE;
  *lineStates = line->lineStates;
  *addressStates = line->addressStates;
  return 0;
}

LONG TTapiService::GetNewCalls(HLINE lineHandle, DWORD address, DWORD select, LINECALLLIST* list) {
  if (list == nullptr) return LINEERR_INVALPOINTER;
  std::lock_guard lock(mutex_);
  OpenLine* line = FindLine(lineHandle);
  if (line == nullptr) return LINEERR_INVALLINEHANDLE;
  if (select != LINECALLSELECT_LINE && select != LINECALLSELECT_ADDRESS) return LINEERR_INVALCALLSELECT;
  if (select == LINECALLSELECT_ADDRESS && address != 0) return LINEERR_INVALADDRESSID;
  if (!PrepareRecord(list)) return LINEERR_STRUCTURETOOSMALL;
  std::vector<HCALL> calls;
  for (DWORD id : provider_.CallsOn(line->device)) {
    const TCallData* call = provider_.Call(id);
    if (call == nullptr || call->state == LINECALLSTATE_IDLE) continue;
    Holders& holders = holders_[id];
    auto held = holders.find(lineHandle);
    if (held == holders.end()) {
      // Calls that were there before the line opened are monitored until the application asks for more.
      const Holder holder{++nextId_, LINECALLPRIVILEGE_MONITOR, 0};
      held = holders.emplace(lineHandle, holder).first;
      handles_.emplace(holder.handle, std::make_pair(id, lineHandle));
    }
    calls.push_back(held->second.handle);
  }
  TVarRecord record(list, sizeof(LINECALLLIST));
  list->dwCallsNumEntries = static_cast<DWORD>(calls.size());
  if (!calls.empty()) record.Bytes(calls.data(), calls.size() * sizeof(HCALL), list->dwCallsSize, list->dwCallsOffset);
  if (list->dwCallsSize == 0) list->dwCallsNumEntries = 0;
  record.Finish(sizeof(LINECALLLIST));
  return 0;
}

// ---- calls: records ----

void TTapiService::FillCallInfo(const TCallData& call, const OpenLine& line, LINECALLINFO* info) const {
  TVarRecord record(info, sizeof(LINECALLINFO));
  info->hLine = line.handle;
  info->dwLineDeviceID = static_cast<DWORD>(call.device);
  info->dwAddressID = 0;
  info->dwBearerMode = LINEBEARERMODE_VOICE;
  info->dwMediaMode = LINEMEDIAMODE_INTERACTIVEVOICE;
  info->dwCallID = call.id;
  info->dwRelatedCallID = call.related;
  info->dwCallStates = kEveryCallState;
  info->dwOrigin = call.origin;
  info->dwReason = call.reason;
  std::size_t owners = 0, monitors = 0;
  for (const auto& [handle, holder] : holders_.at(call.id)) {
    if (holder.privilege & LINECALLPRIVILEGE_OWNER)
      ++owners;
    else
      ++monitors;
    if (handle == line.handle) info->dwMonitorDigitModes = holder.digitModes;
  }
  info->dwNumOwners = static_cast<DWORD>(owners);
  info->dwNumMonitors = static_cast<DWORD>(monitors);
  // A party: its number and, for devices, its name; unknown when the back-end has none.
  const auto party = [&](const std::string& number, DWORD& flags, DWORD& size, DWORD& offset, DWORD& nameSize,
                         DWORD& nameOffset) {
    if (number.empty()) {
      flags = LINECALLPARTYID_UNKNOWN;
      return;
    }
    flags = LINECALLPARTYID_ADDRESS;
    record.Text(number, size, offset);
    const std::string name = provider_.NameOf(number);
    if (!name.empty()) {
      flags |= LINECALLPARTYID_NAME;
      record.Text(name, nameSize, nameOffset);
    }
  };
  party(call.caller, info->dwCallerIDFlags, info->dwCallerIDSize, info->dwCallerIDOffset, info->dwCallerIDNameSize,
        info->dwCallerIDNameOffset);
  party(call.called, info->dwCalledIDFlags, info->dwCalledIDSize, info->dwCalledIDOffset, info->dwCalledIDNameSize,
        info->dwCalledIDNameOffset);
  party(call.connected, info->dwConnectedIDFlags, info->dwConnectedIDSize, info->dwConnectedIDOffset,
        info->dwConnectedIDNameSize, info->dwConnectedIDNameOffset);
  party(call.redirection, info->dwRedirectionIDFlags, info->dwRedirectionIDSize, info->dwRedirectionIDOffset,
        info->dwRedirectionIDNameSize, info->dwRedirectionIDNameOffset);
  party(call.redirecting, info->dwRedirectingIDFlags, info->dwRedirectingIDSize, info->dwRedirectingIDOffset,
        info->dwRedirectingIDNameSize, info->dwRedirectingIDNameOffset);
  record.Text("Vantrel", info->dwAppNameSize, info->dwAppNameOffset);
  record.OptionalText(call.dialed, info->dwDisplayableAddressSize, info->dwDisplayableAddressOffset);
  record.Finish(sizeof(LINECALLINFO));
}

LONG TTapiService::GetCallInfo(HCALL call, LINECALLINFO* info) {
  if (info == nullptr) return LINEERR_INVALPOINTER;
  std::lock_guard lock(mutex_);
  HeldCall found;
  if (const LONG result = FindCall(call, found); result != 0) return result;
  if (!PrepareRecord(info)) return LINEERR_STRUCTURETOOSMALL;
  FillCallInfo(*found.call, *found.line, info);
  return 0;
}

LONG TTapiService::GetCallStatus(HCALL call, LINECALLSTATUS* status) {
  if (status == nullptr) return LINEERR_INVALPOINTER;
  std::lock_guard lock(mutex_);
  HeldCall found;
  if (const LONG result = FindCall(call, found); result != 0) return result;
  const TCallData* leg = found.call;
  const Holder* holder = found.holder;
  if (!PrepareRecord(status)) return LINEERR_STRUCTURETOOSMALL;
  status->dwNeededSize = status->dwUsedSize = sizeof(LINECALLSTATUS);
  status->dwCallState = leg->state;
  status->dwCallStateMode = leg->mode;
  status->dwCallPrivilege = holder->privilege;
  status->dwCallFeatures = (holder->privilege & LINECALLPRIVILEGE_OWNER) != 0 ? CallFeatures(*leg) : 0;
  const auto seconds = std::chrono::system_clock::to_time_t(leg->stateEntry);
  std::tm parts{};
  gmtime_r(&seconds, &parts);
  status->tStateEntryTime =
      SYSTEMTIME{static_cast<std::uint16_t>(parts.tm_year + 1900), static_cast<std::uint16_t>(parts.tm_mon + 1),
                 static_cast<std::uint16_t>(parts.tm_wday),        static_cast<std::uint16_t>(parts.tm_mday),
                 static_cast<std::uint16_t>(parts.tm_hour),        static_cast<std::uint16_t>(parts.tm_min),
                 static_cast<std::uint16_t>(parts.tm_sec),         0};
  return 0;
}

LONG TTapiService::GetAddressStatus(HLINE lineHandle, DWORD address, LINEADDRESSSTATUS* status) {
  if (status == nullptr) return LINEERR_INVALPOINTER;
  std::lock_guard lock(mutex_);
  OpenLine* line = FindLine(lineHandle);
  if (line == nullptr) return LINEERR_INVALLINEHANDLE;
  if (address != 0) return LINEERR_INVALADDRESSID;
  if (!PrepareRecord(status)) return LINEERR_STRUCTURETOOSMALL;
  for (DWORD id : provider_.CallsOn(line->device)) {
    const TCallData* leg = provider_.Call(id);
    if (leg == nullptr || leg->state == LINECALLSTATE_IDLE) continue;
    status->dwNumInUse = 1;
    if (leg->state == LINECALLSTATE_ONHOLD)
      ++status->dwNumOnHoldCalls;
    else if (leg->state == LINECALLSTATE_ONHOLDPENDTRANSFER)
      ++status->dwNumOnHoldPendCalls;
    else
      ++status->dwNumActiveCalls;
  }
  status->dwAddressFeatures = kAddressFeatures;
  TVarRecord record(status, sizeof(LINEADDRESSSTATUS));
  const TDeviceData& station = provider_.Device(line->device);
  if (station.forwarded) {
    // One LINEFORWARD entry followed by its destination.
    std::vector<char> entry(sizeof(LINEFORWARD) + station.forwardTo.size() + 1, 0);
    auto* forward = reinterpret_cast<LINEFORWARD*>(entry.data());
    forward->dwForwardMode = LINEFORWARDMODE_UNCOND;
    status->dwForwardNumEntries = 1;
    DWORD entryOffset = 0;
    DWORD entrySize = 0;
    record.Bytes(entry.data(), entry.size(), entrySize, entryOffset);
    if (entrySize != 0) {
      auto* written = reinterpret_cast<LINEFORWARD*>(reinterpret_cast<char*>(status) + entryOffset);
      written->dwDestAddressSize = static_cast<DWORD>(station.forwardTo.size() + 1);
      written->dwDestAddressOffset = entryOffset + static_cast<DWORD>(sizeof(LINEFORWARD));
      std::memcpy(reinterpret_cast<char*>(status) + written->dwDestAddressOffset, station.forwardTo.c_str(),
                  station.forwardTo.size() + 1);
      status->dwForwardSize = entrySize;
      status->dwForwardOffset = entryOffset;
    }
  }
  record.Finish(sizeof(LINEADDRESSSTATUS));
  return 0;
}

// ---- calls: control ----

template <typename Operation>
LONG TTapiService::OwnerRequest(HCALL call, Operation operation) {
  std::lock_guard lock(mutex_);
  HeldCall found;
  if (const LONG result = FindOwnedCall(call, found); result != 0) return result;
  const DWORD id = found.call->id;
  return Request(found.line->handle, [&](const TReply& reply) { return operation(id, reply); });
}

LONG TTapiService::Answer(HCALL call) {
  return OwnerRequest(call, [this](DWORD id, const TReply& reply) { return provider_.Answer(id, reply); });
}

LONG TTapiService::Drop(HCALL call) {
  return OwnerRequest(call, [this](DWORD id, const TReply& reply) { return provider_.Drop(id, reply); });
}

LONG TTapiService::Hold(HCALL call) {
  return OwnerRequest(call, [this](DWORD id, const TReply& reply) { return provider_.Hold(id, reply); });
}

LONG TTapiService::Unhold(HCALL call) {
  return OwnerRequest(call, [this](DWORD id, const TReply& reply) { return provider_.Unhold(id, reply); });
}

LONG TTapiService::DevSpecific(HCALL call, const std::string& params) {
  return OwnerRequest(call, [&](DWORD id, const TReply& reply) { return provider_.DevSpecific(id, params, reply); });
}

LONG TTapiService::Dial(HCALL call, const char* digits) {
  if (digits == nullptr) return LINEERR_INVALPOINTER;
  return OwnerRequest(call, [&](DWORD id, const TReply& reply) { return provider_.Dial(id, digits, reply); });
}

LONG TTapiService::MakeCall(HLINE lineHandle, HCALL* call, const char* destination, const LINECALLPARAMS* params) {
  if (call == nullptr) return LINEERR_INVALPOINTER;
  std::lock_guard lock(mutex_);
  OpenLine* line = FindLine(lineHandle);
  if (line == nullptr) return LINEERR_INVALLINEHANDLE;
  if (params != nullptr && (params->dwTotalSize < sizeof(LINECALLPARAMS) || params->dwAddressID != 0 ||
                            (params->dwMediaMode & ~kMediaModes) != 0)) {
    return LINEERR_INVALCALLPARAMS;
  }
  const std::string dialed = destination == nullptr ? std::string() : std::string(destination);
  DWORD made = 0;
  const LONG request =
      Request(lineHandle, [&](const TReply& reply) { return provider_.MakeCall(line->device, dialed, reply, &made); });
  if (made != 0) *call = holders_.at(made).at(lineHandle).handle;
  return request;
}

LONG TTapiService::BlindTransfer(HCALL call, const char* destination) {
  if (destination == nullptr) return LINEERR_INVALPOINTER;
  return OwnerRequest(call,
                      [&](DWORD id, const TReply& reply) { return provider_.BlindTransfer(id, destination, reply); });
}

LONG TTapiService::SetupTransfer(HCALL call, HCALL* consultCall) {
  if (consultCall == nullptr) return LINEERR_INVALPOINTER;
  std::lock_guard lock(mutex_);
  HeldCall found;
  if (const LONG result = FindOwnedCall(call, found); result != 0) return result;
  const DWORD id = found.call->id;
  const HLINE lineHandle = found.line->handle;
  DWORD consult = 0;
  const LONG request =
      Request(lineHandle, [&](const TReply& reply) { return provider_.SetupTransfer(id, reply, &consult); });
  if (consult != 0) *consultCall = holders_.at(consult).at(lineHandle).handle;
  return request;
}

LONG TTapiService::CompleteTransfer(HCALL call, HCALL consultCall, HCALL* conferenceCall, DWORD mode) {
  std::lock_guard lock(mutex_);
  HeldCall held;
  if (const LONG result = FindOwnedCall(call, held); result != 0) return result;
  HeldCall consult;
  if (FindOwnedCall(consultCall, consult) != 0) return LINEERR_INVALCONSULTCALLHANDLE;
  if (mode != LINETRANSFERMODE_TRANSFER && mode != LINETRANSFERMODE_CONFERENCE) return LINEERR_INVALTRANSFERMODE;
  if (conferenceCall != nullptr) *conferenceCall = 0;
  if (held.call == consult.call) return LINEERR_INVALCONSULTCALLHANDLE;
  const DWORD heldId = held.call->id;
  const DWORD consultId = consult.call->id;
  if (mode == LINETRANSFERMODE_CONFERENCE) {
    if (conferenceCall == nullptr) return LINEERR_INVALPOINTER;
    const HLINE lineHandle = held.line->handle;
    DWORD conference = 0;
    const LONG request = Request(
        lineHandle, [&](const TReply& reply) { return provider_.Conference(heldId, consultId, reply, &conference); });
    if (conference != 0) *conferenceCall = holders_.at(conference).at(lineHandle).handle;
    return request;
  }
  return Request(held.line->handle,
                 [&](const TReply& reply) { return provider_.CompleteTransfer(heldId, consultId, reply); });
}

LONG TTapiService::Forward(HLINE lineHandle, bool allAddresses, DWORD address, const LINEFORWARDLIST* list,
                           HCALL* consultCall) {
  std::lock_guard lock(mutex_);
  OpenLine* line = FindLine(lineHandle);
  if (line == nullptr) return LINEERR_INVALLINEHANDLE;
  if (!allAddresses && address != 0) return LINEERR_INVALADDRESSID;
  std::string destination;
  if (list != nullptr) {
    if (list->dwTotalSize < sizeof(DWORD) * 2 || list->dwNumEntries != 1 ||
        list->dwTotalSize < 8 + sizeof(LINEFORWARD)) {
      return LINEERR_INVALPARAM;  // one unconditional entry is what is forwarded
    }
    const LINEFORWARD& entry = list->ForwardList[0];
    if (entry.dwForwardMode != LINEFORWARDMODE_UNCOND) return LINEERR_INVALPARAM;
    if (entry.dwDestAddressSize != 0) {
      if (entry.dwDestAddressOffset + entry.dwDestAddressSize > list->dwTotalSize) return LINEERR_INVALPARAM;
      const char* text = reinterpret_cast<const char*>(list) + entry.dwDestAddressOffset;
      destination.assign(text, strnlen(text, entry.dwDestAddressSize));
    }
  }
  if (consultCall != nullptr) *consultCall = 0;
  const DWORD device = line->device;
  return Request(lineHandle,
                 [&](const TReply& reply) { return provider_.Forward(device, list != nullptr, destination, reply); });
}

LONG TTapiService::DeallocateCall(HCALL call) {
  std::lock_guard lock(mutex_);
  HeldCall found;
  if (const LONG result = FindCall(call, found); result != 0) return result;
  if (found.call->state != LINECALLSTATE_IDLE && (found.holder->privilege & LINECALLPRIVILEGE_OWNER) != 0 &&
      Owners(found.call->id) == 1) {
    return LINEERR_INVALCALLSTATE;  // the sole owner of a live call must drop it first
  }
  RemoveHolder(found.call->id, found.line->handle);
  return 0;
}

LONG TTapiService::MonitorDigits(HCALL call, DWORD modes) {
  std::lock_guard lock(mutex_);
  HeldCall found;
  if (const LONG result = FindCall(call, found); result != 0) return result;
  if ((modes & ~kDigitModes) != 0) return LINEERR_INVALDIGITMODE;
  if (found.call->state == LINECALLSTATE_IDLE) return LINEERR_INVALCALLSTATE;
  found.holder->digitModes = modes;
  return 0;
}

LONG TTapiService::SetCallPrivilege(HCALL call, DWORD privilege) {
  std::lock_guard lock(mutex_);
  HeldCall found;
  if (const LONG result = FindCall(call, found); result != 0) return result;
  if (privilege != LINECALLPRIVILEGE_OWNER && privilege != LINECALLPRIVILEGE_MONITOR) {
    return LINEERR_INVALCALLPRIVILEGE;
  }
  if (privilege == LINECALLPRIVILEGE_MONITOR && found.holder->privilege == LINECALLPRIVILEGE_OWNER &&
      found.call->state != LINECALLSTATE_IDLE && Owners(found.call->id) == 1) {
    return LINEERR_INVALCALLSTATE;
  }
  if (found.holder->privilege != privilege) {
    found.holder->privilege = privilege;
    PostToHolders(
        found.call->id, LINE_CALLINFO,
        privilege == LINECALLPRIVILEGE_OWNER ? LINECALLINFOSTATE_NUMOWNERINCR : LINECALLINFOSTATE_NUMOWNERDECR, 0, 0);
  }
  return 0;
}

std::string TTapiService::OnOwnedCall(HCALL call, const std::function<std::string(DWORD)>& act) {
  std::lock_guard lock(mutex_);
  HeldCall found;
  if (const LONG result = FindOwnedCall(call, found); result != 0)
    return result == LINEERR_NOTOWNER ? "the line does not own the call" : "no such call";
  return act(found.call->id);
}

std::string TTapiService::Record(HCALL call, const TRecordRequest& request) {
  return OnOwnedCall(call, [&](DWORD id) { return provider_.Record(id, request); });
}

std::string TTapiService::Monitor(HCALL call, const TMonitorRequest& request) {
  return OnOwnedCall(call, [&](DWORD id) { return provider_.Monitor(id, request); });
}

std::string MonitorCall(HCALL call, const TMonitorRequest& request) {
  TTapiService* service = TelephonyApiService();
  return service == nullptr ? std::string("no telephony service") : service->Monitor(call, request);
}

std::string RecordCall(HCALL call, const TRecordRequest& request) {
  TTapiService* service = TelephonyApiService();
  return service == nullptr ? std::string("no telephony service") : service->Record(call, request);
}

}  // namespace vantrel::telephony
