#include "diZudu.h"

#include <algorithm>
#include <cstring>

#include "host/VantrelCommonRoutines.h"
#include "model/BaseLib.h"
#include "platform/DebugOutput.h"
#include "platform/Ticks.h"

namespace vantrel::telephony {

namespace {

constexpr DWORD kLowApiVersion = 0x00010000;
constexpr DWORD kHighApiVersion = 0x00020001;
constexpr DWORD kWaitReplied = 0;
constexpr DWORD kWaitAborted = 128;
constexpr DWORD kWaitTimedOut = 258;

std::string Hex(DWORD value, bool upper) {
  static const char* const lower = "0123456789abcdef";
  static const char* const capital = "0123456789ABCDEF";
  std::string text;
  do {
    text.insert(text.begin(), (upper ? capital : lower)[value & 0xF]);
    value >>= 4;
  } while (value != 0);
  return text;
}

// Whether the tick has reached start + interval; signed so that a tick noted just before the start counts
// as early, and the 32-bit wrap does no harm.
constexpr DWORD kTickInterval = 100;

bool TickReached(DWORD start, DWORD interval, DWORD tick) {
  return static_cast<std::int32_t>(tick - start) >= static_cast<std::int32_t>(interval);
}

bool IsCreatingRequest(DWORD kind) {
  return kind == REQUEST_COMPLETETRANSFER || kind == REQUEST_MAKECALL || kind == REQUEST_SETUPCONFERENCE ||
         kind == REQUEST_SETUPTRANSFER || kind == REQUEST_UNPARK;
}

// The texts of the results this layer meets; TAPI's own message tables are not on this platform.
const std::map<LONG, const char*>& ErrorTexts() {
  static const std::map<LONG, const char*> texts = {
      {LINEERR_ALLOCATED, "The line device is already in use."},
      {LINEERR_BADDEVICEID, "The line device identifier is invalid."},
      {LINEERR_CALLUNAVAIL, "No call appearance is available."},
      {LINEERR_INCOMPATIBLEAPIVERSION, "The API version is not supported."},
      {LINEERR_INCOMPATIBLEEXTVERSION, "The extension version is not supported."},
      {LINEERR_INUSE, "The line device is in use."},
      {LINEERR_INVALADDRESS, "The specified address is invalid."},
      {LINEERR_INVALADDRESSID, "The address identifier is invalid."},
      {LINEERR_INVALADDRESSSTATE, "The address states are invalid."},
      {LINEERR_INVALAPPHANDLE, "The application handle is invalid."},
      {LINEERR_INVALCALLHANDLE, "The call handle is invalid."},
      {LINEERR_INVALCALLPARAMS, "The call parameters are invalid."},
      {LINEERR_INVALCALLPRIVILEGE, "The call privilege is invalid."},
      {LINEERR_INVALCALLSELECT, "The call selection is invalid."},
      {LINEERR_INVALCALLSTATE, "The operation is not possible in the call's current state."},
      {LINEERR_INVALCONSULTCALLHANDLE, "The consultation call handle is invalid."},
      {LINEERR_INVALDIGITMODE, "The digit mode is invalid."},
      {LINEERR_INVALLINEHANDLE, "The line handle is invalid."},
      {LINEERR_INVALLINESTATE, "The line states are invalid."},
      {LINEERR_INVALMEDIAMODE, "The media mode is invalid."},
      {LINEERR_INVALPARAM, "A parameter is invalid."},
      {LINEERR_INVALPOINTER, "A pointer is invalid."},
      {LINEERR_INVALPRIVSELECT, "The privileges are invalid."},
      {LINEERR_INVALTRANSFERMODE, "The transfer mode is invalid."},
      {LINEERR_NODEVICE, "The line device was removed or is not available."},
      {LINEERR_NOMEM, "Not enough memory is available."},
      {LINEERR_NOTOWNER, "The application is not an owner of the call."},
      {LINEERR_OPERATIONFAILED, "The operation failed."},
      {LINEERR_OPERATIONUNAVAIL, "The operation is not available."},
      {LINEERR_RESOURCEUNAVAIL, "The resources are not available."},
      {LINEERR_STRUCTURETOOSMALL, "The structure is too small."},
      {LINEERR_TARGETSELF, "The call cannot be transferred to itself."},
      {LINEERR_UNINITIALIZED, "Telephony has not been initialised."},
      {LINEERR_NOMULTIPLEINSTANCE, "Telephony is already initialised by this application."},
      {PHONEERR_BADDEVICEID, "The phone device identifier is invalid."},
      {PHONEERR_OPERATIONFAILED, "The phone operation failed."},
  };
  return texts;
}

}  // namespace

// ---- errors ----

std::string TapiErrorText(LONG code) {
  const auto found = ErrorTexts().find(code);
  if (found != ErrorTexts().end()) return found->second;
  return "TAPI-Error 0x" + Hex(static_cast<DWORD>(code), false);
}

LONG TapiCheck(LONG result) {
  if (result < 0) throw ETapiError(TapiErrorText(result), result);
  return result;
}

void TapiFail(const std::string& message) { throw std::runtime_error(message); }

// ---- message queue ----

bool TTapiMsgStack::Pop(TTapiMsgStackItem& item) {
  if (items_.empty()) return false;
  item = items_.front();
  items_.pop_front();
  while (!items_.empty()) {
    const TTapiMsgStackItem& next = items_.front();
    const bool sameSource = !item.phone && !next.phone && next.dwMessageID == item.dwMessageID &&
                            next.hDevice == item.hDevice && next.dwCallbackInstance == item.dwCallbackInstance;
    if (sameSource && item.dwMessageID == LINE_CALLINFO) {
      item.dwParam1 |= next.dwParam1;
    } else if (sameSource && item.dwMessageID == LINE_ADDRESSSTATE && next.dwParam1 == item.dwParam1) {
      item.dwParam2 |= next.dwParam2;
    } else {
      break;
    }
    items_.pop_front();
  }
  return true;
}

bool TTapiMsgStack::FindReply(LONG requestId, LONG& replyCode) const {
  for (const TTapiMsgStackItem& item : items_) {
    const bool reply = item.phone ? item.dwMessageID == PHONE_REPLY : item.dwMessageID == LINE_REPLY;
    if (reply && static_cast<LONG>(item.dwParam1) == requestId) {
      replyCode = static_cast<LONG>(item.dwParam2);
      return true;
    }
  }
  return false;
}

void TTapiMsgStack::RemoveForInstance(DWORD instance) {
  items_.erase(std::remove_if(items_.begin(), items_.end(),
                              [&](const TTapiMsgStackItem& item) { return item.dwCallbackInstance == instance; }),
               items_.end());
}

// ---- requests ----

TTapiRequest& TTapiRequestList::AddRequest(LONG requestId, DWORD timeoutMs) {
  auto& items = Items();
  if (requestId < 1) {
    requestId = 1;
    while (FindRequest(requestId) != nullptr) ++requestId;
  }
  auto request = std::make_unique<TTapiRequest>();
  request->RequestID = requestId;
  request->Timeout = timeoutMs;
  request->StartTick = platform::GetTickCount();
  items.push_back(std::move(request));
  return *items.back();
}

TTapiRequest* TTapiRequestList::FindRequest(LONG requestId) { return Find(requestId, 0, nullptr); }

TTapiRequest* TTapiRequestList::Find(LONG requestId, DWORD request, const TTapiCall* call) {
  for (auto& item : Items()) {
    if ((requestId == 0 || item->RequestID == requestId) && (request == 0 || item->Request == request) &&
        (call == nullptr || item->Calls[0] == call)) {
      return item.get();
    }
  }
  return nullptr;
}

void TTapiRequestList::RemoveRequest(const TTapiRequest* request) {
  auto& items = Items();
  items.erase(std::remove_if(items.begin(), items.end(), [&](const auto& item) { return item.get() == request; }),
              items.end());
}

void TTapiRequestList::RemoveRequests(const TTapiCall* call) {
  auto& items = Items();
  items.erase(std::remove_if(items.begin(), items.end(),
                             [&](const auto& item) { return call == nullptr || item->Calls[0] == call; }),
              items.end());
}

bool TTapiRequestList::HasRequestFor(const TTapiCall* call) {
  return std::any_of(Items().begin(), Items().end(), [&](const auto& item) {
    return item->Calls[0] == call || item->Calls[1] == call || item->Calls[2] == call;
  });
}

// ---- variable-size records ----

TTapiBuffer::TTapiBuffer(DWORD initialSize) {
  Resize(initialSize);
  storage_[0] = Size();
}

void TTapiBuffer::Resize(DWORD bytes) { storage_.resize(std::max<DWORD>((bytes + 3) / 4, 3), 0); }

void TTapiBuffer::Prepare() {
  const DWORD total = storage_[0];
  const DWORD needed = storage_[1];
  DWORD wanted = 0;
  if (needed > total)
    wanted = (needed + 3) / 4 * 4;
  else if (total < 1024)
    wanted = 1024;
  if (wanted != 0) {
    Resize(wanted);
    std::fill(storage_.begin() + 3, storage_.end(), 0);
  }
  storage_[0] = Size();
  storage_[1] = 0;
  storage_[2] = 0;
}

LONG TTapiBuffer::Check(LONG result) {
  const DWORD total = storage_[0];
  if (result == LINEERR_STRUCTURETOOSMALL || (result == 0 && storage_[1] > total)) {
    storage_[1] = std::max<DWORD>(storage_[1], 1024);
    if (storage_[1] <= total) storage_[1] = total + 1024;  // too small at this size: grow anyway
    return LINEERR_STRUCTURETOOSMALL;
  }
  if (result == 0 && storage_[2] < total && total > 1024) {
    Resize(std::max(storage_[2], storage_[1]));
    storage_[0] = Size();
  }
  return result;
}

LONG TTapiBuffer::Fetch(const std::function<LONG(void*)>& call) {
  LONG result = LINEERR_STRUCTURETOOSMALL;
  for (int attempt = 0; attempt < 8 && result == LINEERR_STRUCTURETOOSMALL; ++attempt) {
    Prepare();
    result = Check(call(Data()));
  }
  return result;
}

std::string TTapiBuffer::String(DWORD size, DWORD offset) const {
  if (size == 0 || offset >= Size()) return {};
  const char* text = reinterpret_cast<const char*>(storage_.data()) + offset;
  return std::string(text, strnlen(text, std::min(size, Size() - offset)));
}

LONG TTapiRecord::UpdateData() {
  if (buffer_) return 0;
  auto buffer = std::make_unique<TTapiBuffer>(initialSize_);
  const LONG result = buffer->Fetch([this](void* record) { return FetchInto(record); });
  if (result == 0) buffer_ = std::move(buffer);
  return result;
}

DWORD TTapiRecord::DwordAt(std::size_t byteOffset) {
  UpdateData();
  if (!buffer_ || byteOffset + sizeof(DWORD) > buffer_->Size()) return 0;
  DWORD value = 0;
  std::memcpy(&value, static_cast<const char*>(buffer_->Data()) + byteOffset, sizeof value);
  return value;
}

std::string TTapiRecord::StringAt(std::size_t sizeOffset) {
  const DWORD size = DwordAt(sizeOffset);
  const DWORD offset = DwordAt(sizeOffset + sizeof(DWORD));
  return buffer_ ? buffer_->String(size, offset) : std::string();
}

// LINECALLINFO: index i is the i-th DWORD from dwLineDeviceID on, the DialParams member skipped.
DWORD TTapiCallInfo::Get_DWORD(int index) {
  if (index < 0 || index > 72) TapiFail("TTapiCallInfo.GetDWORD failed! Invalid index");
  const std::size_t offset =
      index <= 11 ? 16 + 4 * static_cast<std::size_t>(index) : 80 + 4 * static_cast<std::size_t>(index - 12);
  return DwordAt(offset);
}

std::string TTapiCallInfo::Get_String(int index) {
  // The DWORD index of each string's size field.
  static constexpr int kSizeIndex[21] = {20, 22, 25, 27, 30, 32, 35, 37, 40, 42, 44,
                                         46, 48, 50, 52, 54, 56, 58, 60, 62, 64};
  if (index < 0 || index > 20) TapiFail("TTapiCallInfo.GetString failed! Invalid index");
  const int sizeIndex = kSizeIndex[index];
  return StringAt(80 + 4 * static_cast<std::size_t>(sizeIndex - 12));
}

LONG TTapiCallInfo::FetchInto(void* record) {
  return lineGetCallInfo(call_.Handle, static_cast<LINECALLINFO*>(record));
}

DWORD TTapiCallStatus::Get_DWORD(int index) {
  if (index < 0 || index > 6) TapiFail("TTapiCallStatus.GetDWORD failed! Invalid index");
  return DwordAt(12 + 4 * static_cast<std::size_t>(index));
}

LONG TTapiCallStatus::FetchInto(void* record) {
  return lineGetCallStatus(call_.Handle, static_cast<LINECALLSTATUS*>(record));
}

DWORD TTapiLineCaps::Get_DWORD(int index) {
  if (index < 0 || 12 + 4 * static_cast<std::size_t>(index) >= sizeof(LINEDEVCAPS)) {
    TapiFail("TTapiLineCaps.Get_DWORD failed! Invalid index");
  }
  return DwordAt(12 + 4 * static_cast<std::size_t>(index));
}

std::string TTapiLineCaps::Get_String(int index) {
  static constexpr std::size_t kSizeOffset[3] = {offsetof(LINEDEVCAPS, dwProviderInfoSize),
                                                 offsetof(LINEDEVCAPS, dwSwitchInfoSize),
                                                 offsetof(LINEDEVCAPS, dwLineNameSize)};
  if (index < 0 || index > 2) TapiFail("TTapiLineCaps.GetString failed! Invalid index");
  return StringAt(kSizeOffset[index]);
}

LONG TTapiLineCaps::FetchInto(void* record) {
  TTapiApplication* application = line_.Application();
  if (application == nullptr || line_.DeviceID() < 0) return LINEERR_UNINITIALIZED;
  return lineGetDevCaps(application->LineApp(), static_cast<DWORD>(line_.DeviceID()), line_.ApiVersion(),
                        line_.ExtVersion(), static_cast<LINEDEVCAPS*>(record));
}

// LINEADDRESSCAPS: the device, the address, then the fields from dwAddressSharing on; the device-specific
// pair last.
DWORD TTapiAddressCaps::Get_DWORD(int index) {
  constexpr int kAfterAddress = (sizeof(LINEADDRESSCAPS) - offsetof(LINEADDRESSCAPS, dwAddressSharing)) / 4;
  if (index < 0 || index >= 3 + kAfterAddress + 2) TapiFail("TTapiAddressCaps.Get_DWORD failed! Invalid index");
  std::size_t offset = 0;
  if (index < 3)
    offset = offsetof(LINEADDRESSCAPS, dwLineDeviceID) + 4 * static_cast<std::size_t>(index);
  else if (index < 3 + kAfterAddress)
    offset = offsetof(LINEADDRESSCAPS, dwAddressSharing) + 4 * static_cast<std::size_t>(index - 3);
  else
    offset = offsetof(LINEADDRESSCAPS, dwDevSpecificSize) + 4 * static_cast<std::size_t>(index - 3 - kAfterAddress);
  return DwordAt(offset);
}

std::string TTapiAddressCaps::Get_String(int index) {
  if (index != 0) TapiFail("TTapiAddressCaps.GetString failed! Invalid index");
  return StringAt(offsetof(LINEADDRESSCAPS, dwAddressSize));
}

LONG TTapiAddressCaps::FetchInto(void* record) {
  TCustomTapiLine& line = address_.Line();
  TTapiApplication* application = line.Application();
  if (application == nullptr || line.DeviceID() < 0) return LINEERR_UNINITIALIZED;
  return lineGetAddressCaps(application->LineApp(), static_cast<DWORD>(line.DeviceID()), address_.AddressID(),
                            line.ApiVersion(), line.ExtVersion(), static_cast<LINEADDRESSCAPS*>(record));
}

DWORD TTapiAddressStatus::Get_DWORD(int index) {
  if (index < 0 || 12 + 4 * static_cast<std::size_t>(index) >= sizeof(LINEADDRESSSTATUS)) {
    TapiFail("TTapiAddressStatus.Get_DWORD failed! Invalid Index");
  }
  return DwordAt(12 + 4 * static_cast<std::size_t>(index));
}

TTapiForwardList& TTapiAddressStatus::ForwardList() {
  Invalidate();
  auto& entries = forwardList_.Entries();
  if (UpdateData() != 0) {
    entries.clear();
    return forwardList_;
  }
  const DWORD count = Get_DWORD(6);
  const DWORD first = Get_DWORD(8);
  entries.resize(count);
  for (DWORD i = 0; i < count; ++i) {
    const std::size_t at = first + i * sizeof(LINEFORWARD);
    TTapiForward& entry = entries[i];
    entry.ForwardMode = DwordAt(at + offsetof(LINEFORWARD, dwForwardMode));
    entry.CallerAddress = StringAt(at + offsetof(LINEFORWARD, dwCallerAddressSize));
    entry.DestCountryCode = DwordAt(at + offsetof(LINEFORWARD, dwDestCountryCode));
    entry.DestAddress = StringAt(at + offsetof(LINEFORWARD, dwDestAddressSize));
  }
  return forwardList_;
}

LONG TTapiAddressStatus::FetchInto(void* record) {
  TCustomTapiLine& line = address_.Line();
  if (!line.IsOpen()) return LINEERR_INVALLINEHANDLE;
  return lineGetAddressStatus(line.LineHandle(), address_.AddressID(), static_cast<LINEADDRESSSTATUS*>(record));
}

// ---- forwarding, addresses, call parameters, parties ----

void TTapiForwardList::Add(DWORD mode, const std::string& callerAddress, const std::string& destAddress,
                           DWORD countryCode) {
  entries_.push_back(TTapiForward{mode, callerAddress, countryCode, destAddress});
}

std::vector<DWORD> TTapiForwardList::Build() const {
  const std::size_t count = entries_.size();
  const std::size_t fixed = count == 0 ? 32 : 32 + (count - 1) * 24;
  std::size_t size = fixed;
  for (const TTapiForward& entry : entries_) {
    if (!entry.CallerAddress.empty()) size += entry.CallerAddress.size() + 1;
    if (!entry.DestAddress.empty()) size += entry.DestAddress.size() + 1;
  }
  std::vector<DWORD> record((size + 3) / 4, 0);
  char* base = reinterpret_cast<char*>(record.data());
  auto* list = reinterpret_cast<LINEFORWARDLIST*>(base);
  list->dwTotalSize = static_cast<DWORD>(size);
  list->dwNumEntries = static_cast<DWORD>(count);
  std::size_t end = fixed;
  const auto place = [&](const std::string& text, DWORD& textSize, DWORD& textOffset) {
    if (text.empty()) return;
    std::memcpy(base + end, text.c_str(), text.size() + 1);
    textSize = static_cast<DWORD>(text.size() + 1);
    textOffset = static_cast<DWORD>(end);
    end += text.size() + 1;
  };
  for (std::size_t i = 0; i < count; ++i) {
    auto* forward = reinterpret_cast<LINEFORWARD*>(base + 8 + 24 * i);
    forward->dwForwardMode = entries_[i].ForwardMode;
    forward->dwDestCountryCode = entries_[i].DestCountryCode;
    place(entries_[i].CallerAddress, forward->dwCallerAddressSize, forward->dwCallerAddressOffset);
    place(entries_[i].DestAddress, forward->dwDestAddressSize, forward->dwDestAddressOffset);
  }
  return record;
}

TTapiAddress::TTapiAddress(TCustomTapiLine& line, DWORD addressId)
    : line_(line), addressId_(addressId), status_(*this), caps_(*this) {}

std::string TTapiAddress::Name() {
  const std::string name = caps_.Get_String(0);
  return name.empty() ? "Address " + std::to_string(addressId_) : name;
}

void TTapiAddress::Forward(const TTapiForwardList* list, DWORD numRingsNoAnswer) {
  if (list == nullptr) {
    line_.ForwardAddress(this, nullptr, nullptr, &consultCall_, numRingsNoAnswer);
    return;
  }
  const std::vector<DWORD> record = list->Build();
  line_.ForwardAddress(this, &record, nullptr, &consultCall_, numRingsNoAnswer);
}

const LINECALLPARAMS* TTapiCallParams::BuildCallParams() {
  // In the order they are placed behind the fixed part.
  const std::string* texts[] = {&CalledParty, &CallingPartyID, &Comment,     &DisplayableAddress,
                                &OrigAddress, &TargetAddress,  &UserUserInfo};
  std::size_t size = sizeof(LINECALLPARAMS);
  for (const std::string* text : texts) {
    if (!text->empty()) size += text->size() + 1;
  }
  size = (size + 3) / 4 * 4;
  built_.assign(size / 4, 0);
  char* base = reinterpret_cast<char*>(built_.data());
  auto* params = reinterpret_cast<LINECALLPARAMS*>(base);
  params->dwTotalSize = static_cast<DWORD>(size);
  params->dwBearerMode = BearerMode;
  params->dwMinRate = MinRate;
  params->dwMaxRate = MaxRate;
  params->dwMediaMode = MediaMode;
  params->dwCallParamFlags = CallParamFlags;
  params->dwAddressMode = AddressMode;
  params->dwAddressID = AddressID;
  params->DialParams = LINEDIALPARAMS{DialPause, DialSpeed, DigitDuration, WaitForDialtone};
  params->dwNoAnswerTimeout = NoAnswerTimeout;
  DWORD* pairs[] = {&params->dwCalledPartySize,        &params->dwCallingPartyIDSize, &params->dwCommentSize,
                    &params->dwDisplayableAddressSize, &params->dwOrigAddressSize,    &params->dwTargetAddressSize,
                    &params->dwUserUserInfoSize};
  std::size_t end = sizeof(LINECALLPARAMS);
  for (std::size_t i = 0; i < std::size(texts); ++i) {
    if (texts[i]->empty()) continue;
    std::memcpy(base + end, texts[i]->c_str(), texts[i]->size() + 1);
    pairs[i][0] = static_cast<DWORD>(texts[i]->size() + 1);
    pairs[i][1] = static_cast<DWORD>(end);
    end += texts[i]->size() + 1;
  }
  return params;
}

TTapiCallPartyID::TTapiCallPartyID(TTapiCall& call, int id) : call_(call), id_(id) {
  if (id < 0 || id > 4) TapiFail("TTapiCallPartyID: Invalid Id");
}

std::string TTapiCallPartyID::Number() { return call_.CallInfo.Get_String(2 * id_); }
DWORD TTapiCallPartyID::Flags() { return call_.CallInfo.Get_DWORD(19 + 5 * id_); }
std::string TTapiCallPartyID::Name() { return call_.CallInfo.Get_String(2 * id_ + 1); }

TTapiCallPartyID* TTapiCallRemoteID::Party() {
  const DWORD state = call_.State();
  if (state & (LINECALLSTATE_OFFERING | LINECALLSTATE_ACCEPTED)) return &call_.CallerID;
  if (state & (LINECALLSTATE_DIALING | LINECALLSTATE_RINGBACK | LINECALLSTATE_PROCEEDING | LINECALLSTATE_BUSY)) {
    return &call_.CalledID;
  }
  constexpr DWORD kTalking = LINECALLSTATE_CONNECTED | LINECALLSTATE_ONHOLD | LINECALLSTATE_CONFERENCED |
                             LINECALLSTATE_ONHOLDPENDCONF | LINECALLSTATE_ONHOLDPENDTRANSFER |
                             LINECALLSTATE_DISCONNECTED;
  if ((state & kTalking) == 0) return nullptr;
  if (call_.ConnectedID.Available()) return &call_.ConnectedID;
  if (call_.IsInbound() && call_.CallerID.Available()) return &call_.CallerID;
  if (call_.IsOutbound() && call_.CalledID.Available()) return &call_.CalledID;
  return nullptr;
}

std::string TTapiCallRemoteID::Number() {
  TTapiCallPartyID* party = Party();
  return party == nullptr ? std::string() : party->Number();
}

DWORD TTapiCallRemoteID::Flags() {
  TTapiCallPartyID* party = Party();
  return party == nullptr ? 0 : party->Flags();
}

std::string TTapiCallRemoteID::Name() {
  TTapiCallPartyID* party = Party();
  return party == nullptr ? std::string() : party->Name();
}

// ---- components and devices ----

TTapiComponent::TTapiComponent() {
  TapiApplication().AddTapiComponent(*this);
  registered_ = true;
}

TTapiComponent::~TTapiComponent() { Unregister(); }

void TTapiComponent::Unregister() {
  if (!registered_) return;
  registered_ = false;
  if (TapiApplicationExists()) TapiApplication().RemoveTapiComponent(*this);
}

void TTapiComponent::SetEnabled(bool enabled) {
  if (enabled == Enabled()) return;
  TapiApplication().EnableTapiComponent(*this, enabled);
}

TTapiDevice::TTapiDevice() = default;

TTapiDevice::~TTapiDevice() = default;

void TTapiDevice::SetDeviceID(LONG deviceId) {
  if (deviceId != -1)
    Init(deviceId);
  else
    Done();
}

void TTapiDevice::SetDeviceName(const std::string& name) {
  if (!name.empty()) SetEnabled(true);
  if (!Enabled()) return;
  const auto& names = application_->LineDeviceNames();
  const auto found = std::find(names.begin(), names.end(), name);
  SetDeviceID(found == names.end() ? -1 : static_cast<LONG>(found - names.begin()));
}

LONG TTapiDevice::Init(LONG deviceId) {
  if (IsOpen()) TapiFail("TTapiDevice.Init failed! Already active.");
  const auto within = [&] {
    return deviceId >= 0 && application_ != nullptr &&
           static_cast<std::size_t>(deviceId) < application_->LineDeviceNames().size();
  };
  if (!Enabled() && deviceId >= 0 && static_cast<std::size_t>(deviceId) < TapiApplication().LineDeviceNames().size()) {
    SetEnabled(true);
  }
  if (deviceId != deviceId_ && available_) Done();
  if (!within()) return LINEERR_BADDEVICEID;
  apiVersion_ = 0;
  extVersion_ = 0;
  TSP.ExtensionID = LINEEXTENSIONID{};
  DWORD version = 0;
  LONG result = lineNegotiateAPIVersion(application_->LineApp(), static_cast<DWORD>(deviceId), kLowApiVersion,
                                        kHighApiVersion, &version, &TSP.ExtensionID);
  if (result == 0 && (TSP.ExtLowVersion != 0 || TSP.ExtHighVersion != 0)) {
    result = lineNegotiateExtVersion(application_->LineApp(), static_cast<DWORD>(deviceId), version, TSP.ExtLowVersion,
                                     TSP.ExtHighVersion, &extVersion_);
  }
  available_ = result == 0;
  if (available_) {
    deviceId_ = deviceId;
    deviceName_ = application_->LineDeviceNames()[static_cast<std::size_t>(deviceId)];
    apiVersion_ = version;
  } else {
    extVersion_ = 0;
  }
  return result;
}

void TTapiDevice::Done() {
  available_ = false;
  deviceId_ = -1;
  deviceName_.clear();
  apiVersion_ = 0;
  extVersion_ = 0;
  TSP.ExtensionID = LINEEXTENSIONID{};
}

std::string TTapiDevice::ActiveFailureText() const {
  return deviceName_.empty() ? "TAPI device not active." : deviceName_ + " not active.";
}

LONG TTapiDevice::WaitForReply(LONG requestId) {
  if (requestId > 0) lastRequest_ = requestId;
  if (!Options.SyncMode) return 0;
  if (application_ == nullptr) return LINEERR_OPERATIONFAILED;
  LONG replyCode = 0;
  if (application_->WaitForAsyncReply(*this, requestId, replyCode) != kWaitReplied) return LINEERR_OPERATIONFAILED;
  return replyCode;
}

void TTapiDevice::HandleMessage(DWORD, DWORD messageId, DWORD param1, DWORD param2, DWORD param3) {
  if (OnTapiMessage) OnTapiMessage(*this, messageId, param1, param2, param3);
}

void TTapiDevice::HandleReply(LONG requestId, LONG replyCode) {
  // Taken out of the list first: completing it may free calls, and with them their requests.
  std::unique_ptr<TTapiRequest> request;
  TProtectedGuard requestsHeld(Requests);
  auto& items = Requests.Items();
  const auto found =
      std::find_if(items.begin(), items.end(), [&](const auto& item) { return item->RequestID == requestId; });
  if (found != items.end()) {
    request = std::move(*found);
    items.erase(found);
  }
  requestsHeld.Release();
  if (request)
    CompleteRequest(*request, replyCode);
  else if (OnTapiReply)
    OnTapiReply(*this, requestId, replyCode);
}

void TTapiDevice::CheckRequests(DWORD ticks) {
  std::vector<std::unique_ptr<TTapiRequest>> due;
  if (TProtectedGuard requestsHeld(Requests, 10); requestsHeld.Held()) {
    auto& items = Requests.Items();
    for (auto it = items.begin(); it != items.end();) {
      TTapiRequest& request = **it;
      if (request.Timeout != 0 && !request.Replied && TickReached(request.StartTick, request.Timeout, ticks)) {
        due.push_back(std::move(*it));
        it = items.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& request : due) TimeoutRequest(*request);
  due.clear();
  if (TProtectedGuard timerRequestsHeld(TimerRequests, 10); timerRequestsHeld.Held()) {
    auto& items = TimerRequests.Items();
    for (auto it = items.begin(); it != items.end();) {
      if (TickReached((*it)->StartTick, (*it)->Timeout, ticks)) {
        due.push_back(std::move(*it));
        it = items.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& job : due) HandleTimer(*job);
  if (OnTick) OnTick(*this, ticks);
}

void TTapiDevice::CompleteRequest(TTapiRequest& request, LONG replyCode) {
  request.Replied = true;
  if (OnTapiReply) OnTapiReply(*this, request.RequestID, replyCode);
}

void TTapiDevice::TimeoutRequest(TTapiRequest& request) {
  request.Replied = true;
  if (OnTapiTimeout) OnTapiTimeout(*this, request.RequestID);
}

void TTapiDevice::HandleTimer(TTapiRequest&) {}

// ---- the application ----

namespace {
// The process-wide application while it exists: components that outlive it at process end leave it alone.
std::atomic<TTapiApplication*> gProcessApplication{nullptr};
}  // namespace

TTapiApplication& TapiApplication() {
  static TTapiApplication application;
  static const bool registered = (gProcessApplication = &application, true);
  (void)registered;
  return application;
}

bool TapiApplicationExists() { return gProcessApplication.load() != nullptr; }

TTapiApplication::TTapiApplication() : instance_(nextInstance_++) {}

TTapiApplication::~TTapiApplication() {
  try {
    if (Active()) Shutdown();
  } catch (...) {
  }
  TTapiApplication* self = this;
  gProcessApplication.compare_exchange_strong(self, nullptr);
}

DWORD TTapiApplication::RegisterInstance(TTapiComponent* component) {
  std::lock_guard lock(registryMutex_);
  const DWORD instance = nextInstance_++;
  instances_[instance] = component;
  return instance;
}

TTapiComponent* TTapiApplication::FindComponent(DWORD instance) const {
  std::lock_guard lock(registryMutex_);
  const auto found = instances_.find(instance);
  return found == instances_.end() ? nullptr : found->second;
}

std::vector<TTapiDevice*> TTapiApplication::Lines() const {
  std::lock_guard lock(registryMutex_);
  std::vector<TTapiDevice*> lines;
  for (TTapiComponent* component : components_) {
    if (auto* line = dynamic_cast<TCustomTapiLine*>(component)) lines.push_back(line);
  }
  return lines;
}

bool TTapiApplication::AnyDeviceEnabled() const {
  std::lock_guard lock(registryMutex_);
  return std::any_of(components_.begin(), components_.end(), [](const TTapiComponent* c) { return c->Enabled(); });
}

void TTapiApplication::AddTapiComponent(TTapiComponent& component) {
  std::unique_lock lock(registryMutex_);
  if (std::find(components_.begin(), components_.end(), &component) != components_.end()) {
    TapiFail("AddTapiComponent: Unknow TapiComponent");
  }
  components_.push_back(&component);
  component.instance_ = RegisterInstance(&component);
  lock.unlock();
  if (!Active() && AnyDeviceEnabled()) Open();
}

void TTapiApplication::RemoveTapiComponent(TTapiComponent& component) {
  if (component.Enabled()) EnableTapiComponent(component, false);
  std::lock_guard lock(registryMutex_);
  components_.erase(std::remove(components_.begin(), components_.end(), &component), components_.end());
  instances_.erase(component.instance_);
}

void TTapiApplication::EnableTapiComponent(TTapiComponent& component, bool enabled) {
  if (enabled) {
    component.application_ = this;
    if (!Active()) {
      try {
        Open();
      } catch (...) {
        component.application_ = nullptr;
        throw;
      }
    }
    return;
  }
  component.application_ = nullptr;
  if (TProtectedGuard messagesHeld(msgStack_, 10); messagesHeld.Held()) {
    msgStack_.RemoveForInstance(component.Instance());
  }
  if (!Active() || AnyDeviceEnabled()) return;
  if (ShutdownDelay == 0)
    Close();
  else if (ShutdownDelay > 0 && window_)
    window_->SetTimer(1, static_cast<std::uint32_t>(ShutdownDelay));
}

void TTapiApplication::Open() {
  if (Active()) return;
  LONG result = 0;
  for (int attempt = 0; attempt < 5; ++attempt) {
    result = Init(AppName);
    if (result == 0) break;
  }
  TapiCheck(result);
}

void TTapiApplication::Close() {
  if (Active()) TapiCheck(Shutdown());
}

LONG TTapiApplication::Init(const std::string& appName) {
  if (hLineApp_ != 0 || hPhoneApp_ != 0) return LINEERR_NOMULTIPLEINSTANCE;
  LINEINITIALIZEEXPARAMS lineParams{};
  lineParams.dwTotalSize = sizeof lineParams;
  lineParams.dwOptions = LINEINITIALIZEEXOPTION_USEEVENT;
  DWORD version = kHighApiVersion;
  LONG result = lineInitializeEx(&hLineApp_, nullptr, nullptr, appName.c_str(), &numLineDevs_, &version, &lineParams);
  if (result == 0) {
    lineEvent_ = TapiEventForHandle(lineParams.hEvent);
    if (!lineEvent_) result = LINEERR_NOMEM;
  }
  Update_LineDevices();
  if (result == 0) {
    PHONEINITIALIZEEXPARAMS phoneParams{};
    phoneParams.dwTotalSize = sizeof phoneParams;
    phoneParams.dwOptions = PHONEINITIALIZEEXOPTION_USEEVENT;
    version = kHighApiVersion;
    result = phoneInitializeEx(&hPhoneApp_, nullptr, nullptr, appName.c_str(), &numPhoneDevs_, &version, &phoneParams);
    if (result == 0) {
      phoneEvent_ = TapiEventForHandle(phoneParams.hEvent);
      if (!phoneEvent_) result = LINEERR_NOMEM;
    }
    Update_PhoneDevices();
  }
  if (result == 0) {
    // The window comes before the thread, so that the thread's first notification has somewhere to go.
    window_ = std::make_unique<platform::HiddenWindow>(
        [this](const platform::Message& message) { WindowProcedure(message); });
    windowHandle_ = window_->Handle();
    try {
      terminate_ = false;
      tickFlag_ = true;
      eventThread_ = std::thread([this, line = hLineApp_, phone = hPhoneApp_, lineEvent = lineEvent_,
                                  phoneEvent = phoneEvent_] { EventThreadMain(line, phone, lineEvent, phoneEvent); });
    } catch (const std::system_error&) {
      result = LINEERR_OPERATIONFAILED;
    }
  }
  if (result != 0) {
    if (hLineApp_ != 0) lineShutdown(hLineApp_);
    if (hPhoneApp_ != 0) phoneShutdown(hPhoneApp_);
    hLineApp_ = 0;
    hPhoneApp_ = 0;
    window_.reset();
    windowHandle_ = 0;
    lineEvent_.reset();
    phoneEvent_.reset();
    return result;
  }
  if (OnInitialize) OnInitialize(*this);
  return 0;
}

LONG TTapiApplication::Shutdown() {
  if (window_) window_->KillTimer(1);
  if (hLineApp_ == 0 && hPhoneApp_ == 0) return 0;
  terminate_ = true;
  if (eventThread_.joinable()) eventThread_.join();
  for (TTapiDevice* line : Lines()) {
    line->CloseDevice();
    line->Done();
    line->application_ = nullptr;
  }
  LONG result = 0;
  if (hLineApp_ != 0) result = lineShutdown(hLineApp_);
  if (hPhoneApp_ != 0) result = phoneShutdown(hPhoneApp_);
  hLineApp_ = 0;
  hPhoneApp_ = 0;
  lineEvent_.reset();
  phoneEvent_.reset();
  if (TProtectedGuard messagesHeld(msgStack_); messagesHeld.Held()) {
    msgStack_.Clear();
  }
  window_.reset();
  windowHandle_ = 0;
  lineDeviceNames_.clear();
  phoneDeviceNames_.clear();
  if (OnShutdown) OnShutdown(*this);
  return result;
}

namespace {
// The name of every device, indexed by its identifier: the capabilities' name, or a text that says why not.
struct TDeviceNaming {
  const char* prefix;        // "Line Device #"
  LONG noDevice;             // the "removed" result of the negotiation
  const char* incompatible;  // the text for an incompatible version, as each kind spells it
};

template <typename Negotiate, typename NameFromCaps>
std::vector<std::string> DeviceNames(DWORD count, DWORD capsSize, const TDeviceNaming& naming, Negotiate negotiate,
                                     NameFromCaps nameFromCaps) {
  std::vector<std::string> names;
  TTapiBuffer caps(capsSize);
  for (DWORD id = 0; id < count; ++id) {
    const std::string fallback = naming.prefix + std::to_string(id);
    DWORD version = 0;
    const LONG result = negotiate(id, version);
    if (result == 0) {
      std::string name;
      names.push_back(nameFromCaps(id, version, caps, name) == 0 ? name : fallback);
    } else if (result == naming.noDevice) {
      names.push_back(fallback + " (removed)");
    } else if (result == LINEERR_INCOMPATIBLEAPIVERSION) {
      names.push_back(fallback + " (" + naming.incompatible + ")");
    } else {
      names.push_back(fallback + " (" + TapiErrorText(result) + ")");
    }
  }
  return names;
}
}  // namespace

void TTapiApplication::Update_LineDevices() {
  lineDeviceNames_.clear();
  if (hLineApp_ == 0) return;
  lineDeviceNames_ = DeviceNames(
      numLineDevs_, 252, {"Line Device #", LINEERR_NODEVICE, "incompatible"},
      [this](DWORD id, DWORD& version) {
        LINEEXTENSIONID extension{};
        return lineNegotiateAPIVersion(hLineApp_, id, kLowApiVersion, kHighApiVersion, &version, &extension);
      },
      [this](DWORD id, DWORD version, TTapiBuffer& caps, std::string& name) {
        const LONG fetched = caps.Fetch(
            [&](void* record) { return lineGetDevCaps(hLineApp_, id, version, 0, static_cast<LINEDEVCAPS*>(record)); });
        name = caps.String(caps.As<LINEDEVCAPS>()->dwLineNameSize, caps.As<LINEDEVCAPS>()->dwLineNameOffset);
        return fetched;
      });
}

void TTapiApplication::Update_PhoneDevices() {
  phoneDeviceNames_.clear();
  if (hPhoneApp_ == 0) return;
  phoneDeviceNames_ = DeviceNames(
      numPhoneDevs_, 180, {"Phone Device #", PHONEERR_NODEVICE, "incombatible"},
      [this](DWORD id, DWORD& version) {
        LINEEXTENSIONID extension{};
        return phoneNegotiateAPIVersion(hPhoneApp_, id, kLowApiVersion, kHighApiVersion, &version, &extension);
      },
      [this](DWORD id, DWORD version, TTapiBuffer& caps, std::string& name) {
        const LONG fetched = caps.Fetch(
            [&](void* record) { return phoneGetDevCaps(hPhoneApp_, id, version, 0, static_cast<PHONECAPS*>(record)); });
        name = caps.String(caps.As<PHONECAPS>()->dwPhoneNameSize, caps.As<PHONECAPS>()->dwPhoneNameOffset);
        return fetched;
      });
}

void TTapiApplication::PostNotify(std::uintptr_t kind, std::intptr_t value) {
  const platform::WindowHandle window = windowHandle_;
  if (window != 0) platform::PostMessage(window, NotifyMessage, kind, value);
}

void TTapiApplication::EventThreadMain(HLINEAPP lineApp, HPHONEAPP phoneApp, std::shared_ptr<platform::Event> lineEvent,
                                       std::shared_ptr<platform::Event> phoneEvent) {
  try {
    platform::Event* events[] = {lineEvent.get(), phoneEvent.get()};
    DWORD lastTick = platform::GetTickCount();
    while (!terminate_) {
      // The tick goes by elapsed time, also while messages keep coming, so drops, deallocations and request
      // time-outs run on time under load; tickFlag_ keeps at most one tick outstanding.
      const DWORD now = platform::GetTickCount();
      if (TickReached(lastTick, kTickInterval, now)) {
        if (tickFlag_.exchange(false)) PostNotify(2, static_cast<std::intptr_t>(now));
        lastTick = now;
      }
      const DWORD sinceTick = platform::GetTickCount() - lastTick;
      const DWORD untilTick = sinceTick >= kTickInterval ? 1 : kTickInterval - sinceTick;
      const int signalled = platform::WaitForEvents(events, false, untilTick);
      if (terminate_) break;
      if (signalled == 0) {
        DrainQueue(lineApp, false);
      } else if (signalled == 1) {
        DrainQueue(phoneApp, true);
      }
    }
  } catch (const std::exception& error) {
    platform::OutputDebugText(std::string("\a\a\aTapiEventThread ended: ") + error.what());
  }
}

void TTapiApplication::DrainQueue(DWORD app, bool phone) {
  TProtectedGuard messagesHeld(msgStack_, 250);
  if (!messagesHeld.Held()) return;  // the event stays signalled and brings the thread back
  std::size_t appended = 0;
  for (int i = 0; i < 10; ++i) {
    LINEMESSAGE message{};
    const LONG result = phone ? phoneGetMessage(app, &message, 0) : lineGetMessage(app, &message, 0);
    if (result != 0) break;
    msgStack_.Push(TTapiMsgStackItem{phone, message.hDevice, message.dwMessageID, message.dwCallbackInstance,
                                     message.dwParam1, message.dwParam2, message.dwParam3});
    ++appended;
  }
  if (appended > 0 && msgStack_.Count() == appended) PostNotify(1, phone ? 1 : 0);
}

void TTapiApplication::WindowProcedure(const platform::Message& message) {
  try {
    if (message.id == NotifyMessage && message.wParam == 1) {
      if (waitDepth_ == 0) ProcessTapiMessages();
    } else if (message.id == NotifyMessage && message.wParam == 2) {
      const DWORD ticks = message.lParam < 1 ? platform::GetTickCount() : static_cast<DWORD>(message.lParam);
      const std::vector<TTapiDevice*> lines = Lines();
      for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
        if ((*it)->IsOpen()) (*it)->CheckRequests(ticks);
      }
      tickFlag_ = true;
    } else if (message.id == platform::WM_TIMER && message.wParam == 1) {
      if (window_) window_->KillTimer(1);
      if (!AnyDeviceEnabled()) Shutdown();
    }
  } catch (...) {
    // The host's message loop goes on; what a device's handler raised is reported.
    if (message.id == NotifyMessage && message.wParam == 2) tickFlag_ = true;
    LogFormat("TAPI message handling error: %s", {ExceptionText(std::current_exception())});
  }
}

bool TTapiApplication::ProcessTapiMessages() {
  TTapiMsgStackItem item;
  bool taken = false;
  TProtectedGuard messagesHeld(msgStack_, 250);
  if (!messagesHeld.Held()) {
    PostNotify(1);
    return false;
  }
  taken = msgStack_.Pop(item);
  if (msgStack_.Count() > 0 && waitDepth_ == 0) PostNotify(1);
  messagesHeld.Release();
  if (!taken) return false;

  const bool reply = item.phone ? item.dwMessageID == PHONE_REPLY : item.dwMessageID == LINE_REPLY;
  // The copy for waiting callers is kept even when a handler raises.
  struct KeepReply {
    TTapiMsgStack& stack;
    const TTapiMsgStackItem& item;
    bool keep;
    ~KeepReply() {
      if (!keep) return;
      TProtectedGuard stackHeld(stack);
      stack.Push(item);
    }
  } keepReply{replyStack_, item, reply};

  if (item.phone) {
    if (item.dwCallbackInstance == 0 && (item.dwMessageID == PHONE_CREATE || item.dwMessageID == PHONE_REMOVE)) {
      try {
        if (item.dwMessageID == PHONE_CREATE && item.dwParam1 >= numPhoneDevs_) numPhoneDevs_ = item.dwParam1 + 1;
        Update_PhoneDevices();
        if (OnPhoneDeviceChange) OnPhoneDeviceChange(*this, item.dwParam1);
      } catch (...) {
      }
    }
    return true;
  }
  if (item.dwCallbackInstance != 0) {
    TTapiComponent* component = FindComponent(item.dwCallbackInstance);
    if (auto* line = dynamic_cast<TCustomTapiLine*>(component)) {
      line->HandleMessage(item.hDevice, item.dwMessageID, item.dwParam1, item.dwParam2, item.dwParam3);
    } else if (item.dwCallbackInstance == instance_ && item.dwMessageID == LINE_REQUEST &&
               item.dwParam1 == LINEREQUESTMODE_MAKECALL) {
      LINEREQMAKECALL request{};
      if (lineGetRequest(hLineApp_, LINEREQUESTMODE_MAKECALL, &request) == 0 && OnRequest) {
        const auto text = [](const char* field, std::size_t size) { return std::string(field, strnlen(field, size)); };
        OnRequest(*this, LINEREQUESTMODE_MAKECALL, text(request.szDestAddress, sizeof request.szDestAddress),
                  text(request.szAppName, sizeof request.szAppName),
                  text(request.szCalledParty, sizeof request.szCalledParty),
                  text(request.szComment, sizeof request.szComment));
      }
    }
    return true;
  }
  if (item.dwMessageID != LINE_CREATE && item.dwMessageID != LINE_REMOVE) return true;
  try {
    if (item.dwMessageID == LINE_CREATE && item.dwParam1 >= numLineDevs_) numLineDevs_ = item.dwParam1 + 1;
    Update_LineDevices();
    if (OnLineDeviceChange) OnLineDeviceChange(*this, item.dwParam1);
  } catch (...) {
  }
  for (TTapiDevice* line : Lines()) {
    if (line->Enabled())
      line->HandleMessage(item.hDevice, item.dwMessageID, item.dwParam1, item.dwParam2, item.dwParam3);
  }
  return true;
}

void TTapiApplication::PumpThreadMessages() {
  const auto queue = platform::MessageQueue::ForCurrentThread();
  platform::Message message;
  while (queue->Peek(message)) {
    if (message.id == platform::WM_QUIT) {
      queue->PostQuit(static_cast<int>(message.wParam));  // for the thread's own loop
      return;
    }
    queue->Dispatch(message);
  }
}

// Why the nesting stays bounded: the handlers this wait runs never wait themselves (the server's own steps issue
// their requests without waiting), and remote work that arrives meanwhile is held until the wait ends.
DWORD TTapiApplication::WaitForAsyncReply(TTapiDevice& device, LONG requestId, LONG& replyCode) {
  ++waitDepth_;
  struct EndWait {
    TTapiApplication& application;
    ~EndWait() {
      --application.waitDepth_;
      application.PostNotify(1);  // what was held back meanwhile
      if (application.waitDepth_ == 0 && application.OnWaitsEnded) application.OnWaitsEnded();
    }
  } endWait{*this};
  if (waitDepth_ == 1) {
    TProtectedGuard repliesHeld(replyStack_);
    replyStack_.Clear();
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(1));
  while (ProcessTapiMessages()) {
  }
  if (TProtectedGuard repliesHeld(replyStack_, 50); repliesHeld.Held()) {
    const bool found = replyStack_.FindReply(requestId, replyCode);
    repliesHeld.Release();
    if (found) return kWaitReplied;
  }
  const DWORD start = platform::GetTickCount();
  DWORD result = kWaitTimedOut;
  DWORD tick = start;
  do {
    tick = platform::GetTickCount();
    if (device.AbortEvent().Wait(10)) {
      result = kWaitAborted;
      break;
    }
    PumpThreadMessages();
    if (TProtectedGuard repliesHeld(replyStack_, 50); repliesHeld.Held()) {
      for (;;) {
        if (replyStack_.FindReply(requestId, replyCode)) {
          result = kWaitReplied;
          break;
        }
        if (!ProcessTapiMessages()) break;
      }
    }
  } while (result == kWaitTimedOut && !TickReached(start, device.Options.ReplyTimeout + 1, tick));
  return result;
}

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

bool Contains(const std::vector<TTapiCall*>& calls, const TTapiCall* call) {
  return std::find(calls.begin(), calls.end(), call) != calls.end();
}

void Erase(std::vector<TTapiCall*>& calls, const TTapiCall* call) {
  calls.erase(std::remove(calls.begin(), calls.end(), call), calls.end());
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
  for (TTapiCall* call : all) delete call;
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
    if (valid == 0) found = new TTapiCall(this, handle);
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

void TCustomTapiLine::FreeCall(TTapiCall* call) { delete call; }

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
  auto* call = new TTapiCall(this, 0);
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
  auto* consult = new TTapiCall(this, 0);
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
  auto* conference = new TTapiCall(this, 0);
  const LONG result = lineCompleteTransfer(call->Handle, consultCall->Handle, &conference->Handle, transferMode);
  if (result < 0) FreeCall(conference);
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
