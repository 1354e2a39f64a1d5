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

}  // namespace vantrel::telephony
