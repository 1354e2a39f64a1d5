// The telephony device layer: the process-wide TAPI application, the event thread and message queue that
// bring TAPI's messages to the thread that owns the lines, asynchronous request tracking, the line device
// with its calls, and the cached TAPI records they read.
#pragma once

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/Event.h"
#include "platform/HiddenWindow.h"
#include "platform/RecursiveTimedMutex.h"
#include "telephony/MonitorRequest.h"
#include "telephony/RecordRequest.h"
#include "telephony/tapi/Tapi.h"

namespace vantrel::telephony {

class TTapiApplication;
class TTapiComponent;
class TTapiDevice;
class TCustomTapiLine;
class TTapiCall;
class TTapiAddress;

// ---- errors ----

class ETapiError : public std::runtime_error {
 public:
  ETapiError(const std::string& message, LONG errorCode) : std::runtime_error(message), ErrorCode(errorCode) {}
  LONG ErrorCode;
};

// Raises ETapiError for a negative result; returns the others.
LONG TapiCheck(LONG result);
std::string TapiErrorText(LONG code);
// A failure of the layer that is not a TAPI result ("... Invalid call." and the like).
[[noreturn]] void TapiFail(const std::string& message);

// ---- protected lists ----

// A list with a recursive mutex of its own; Acquire is true only when the mutex was obtained in time.
template <typename Item>
class TProtectedList {
 public:
  bool Acquire(DWORD timeoutMs) { return mutex_.Acquire(timeoutMs); }
  void Release() { mutex_.unlock(); }
  std::vector<Item>& Items() { return items_; }

 private:
  platform::RecursiveTimedMutex mutex_;
  std::vector<Item> items_;
};

// Holds a protected list or message stack for a scope; with a time-out, Held() says whether it was obtained.
// Release lets it go before the scope ends.
template <typename Protected>
class TProtectedGuard {
 public:
  explicit TProtectedGuard(Protected& list, DWORD timeoutMs = platform::INFINITE_WAIT)
      : list_(list), held_(list.Acquire(timeoutMs)) {}
  ~TProtectedGuard() { Release(); }
  TProtectedGuard(const TProtectedGuard&) = delete;
  TProtectedGuard& operator=(const TProtectedGuard&) = delete;
  bool Held() const { return held_; }
  void Release() {
    if (!held_) return;
    held_ = false;
    list_.Release();
  }

 private:
  Protected& list_;
  bool held_;
};

// One queued TAPI message, as LINEMESSAGE / PHONEMESSAGE carried it.
struct TTapiMsgStackItem {
  bool phone = false;
  DWORD hDevice = 0, dwMessageID = 0, dwCallbackInstance = 0, dwParam1 = 0, dwParam2 = 0, dwParam3 = 0;
};

// First in, first out, under its own mutex.
class TTapiMsgStack {
 public:
  bool Acquire(DWORD timeoutMs) { return mutex_.Acquire(timeoutMs); }
  void Release() { mutex_.unlock(); }
  // The rest hold the mutex.
  void Push(const TTapiMsgStackItem& item) { items_.push_back(item); }
  std::size_t Count() const { return items_.size(); }
  // Takes the front item, merging into it the LINE_CALLINFO / LINE_ADDRESSSTATE items that continue it.
  bool Pop(TTapiMsgStackItem& item);
  // The first LINE_REPLY / PHONE_REPLY for the request; its result in replyCode.
  bool FindReply(LONG requestId, LONG& replyCode) const;
  void Clear() { items_.clear(); }
  void RemoveForInstance(DWORD instance);

 private:
  platform::RecursiveTimedMutex mutex_;
  std::deque<TTapiMsgStackItem> items_;
};

// ---- requests ----

enum : DWORD {
  REQUEST_LINEDEALLOCATE = 2,
  REQUEST_LINEDROP = 3,
  REQUEST_ADDTOCONFERENCE = 0x01000002,
  REQUEST_ANSWER = 0x01000003,
  REQUEST_BLINDTRANSFER = 0x01000004,
  REQUEST_COMPLETETRANSFER = 0x01000006,
  REQUEST_DEVSPECIFIC = 0x01000007,
  REQUEST_DIAL = 0x01000008,
  REQUEST_DROP = 0x01000009,
  REQUEST_FORWARD = 0x0100000A,
  REQUEST_HOLD = 0x0100000C,
  REQUEST_MAKECALL = 0x0100000D,
  REQUEST_SETUPCONFERENCE = 0x01000014,
  REQUEST_SETUPTRANSFER = 0x01000015,
  REQUEST_UNHOLD = 0x01000018,
  REQUEST_UNPARK = 0x01000019,
};

// The call states the layer asks about as groups.
constexpr DWORD kConnectedCallStates = LINECALLSTATE_CONNECTED | LINECALLSTATE_CONFERENCED;
constexpr DWORD kHeldCallStates =
    LINECALLSTATE_ONHOLD | LINECALLSTATE_ONHOLDPENDCONF | LINECALLSTATE_ONHOLDPENDTRANSFER;
// The states only a call this side places goes through; those while the far end is being reached.
constexpr DWORD kOutboundSetupCallStates =
    LINECALLSTATE_DIALTONE | LINECALLSTATE_DIALING | LINECALLSTATE_RINGBACK | LINECALLSTATE_PROCEEDING;
constexpr DWORD kDialingCallStates = LINECALLSTATE_DIALING | LINECALLSTATE_RINGBACK | LINECALLSTATE_PROCEEDING;
// The states only a call from elsewhere goes through, and the origins of such a call.
constexpr DWORD kInboundSetupCallStates = LINECALLSTATE_OFFERING | LINECALLSTATE_ACCEPTED;
constexpr DWORD kInboundCallOrigins = LINECALLORIGIN_INTERNAL | LINECALLORIGIN_EXTERNAL | LINECALLORIGIN_INBOUND;
// A party ID the call information carries something of.
constexpr DWORD kKnownPartyIDFlags =
    LINECALLPARTYID_BLOCKED | LINECALLPARTYID_NAME | LINECALLPARTYID_ADDRESS | LINECALLPARTYID_PARTIAL;

struct TTapiRequest {
  LONG RequestID = 0;
  DWORD Request = 0;
  DWORD Timeout = 0;  // ms; 0 = never
  DWORD StartTick = 0;
  TTapiCall* Calls[3] = {nullptr, nullptr, nullptr};  // Data[0..2]: Calls[0] is the call the request concerns
  TTapiAddress* Address = nullptr;                    // the address of a forwarding request
  bool Replied = false;
  std::vector<std::string> Params;
};

class TTapiRequestList : public TProtectedList<std::unique_ptr<TTapiRequest>> {
 public:
  // A request below 1 gets the smallest positive identifier no request of the list has.
  TTapiRequest& AddRequest(LONG requestId, DWORD timeoutMs);
  TTapiRequest* FindRequest(LONG requestId);
  TTapiRequest* Find(LONG requestId, DWORD request, const TTapiCall* call);
  void RemoveRequest(const TTapiRequest* request);
  // Every request about the call, or all when none is given.
  void RemoveRequests(const TTapiCall* call);
  bool HasRequestFor(const TTapiCall* call);
};

// ---- variable-size records ----

// A TAPI record buffer with the total/needed/used protocol and the retry on "too small".
class TTapiBuffer {
 public:
  explicit TTapiBuffer(DWORD initialSize);
  void Prepare();
  // After the call: LINEERR_STRUCTURETOOSMALL asks for another attempt with the grown buffer.
  LONG Check(LONG result);
  void* Data() { return storage_.data(); }
  const void* Data() const { return storage_.data(); }
  DWORD Size() const { return static_cast<DWORD>(storage_.size() * sizeof(DWORD)); }
  template <typename Record>
  Record* As() {
    return reinterpret_cast<Record*>(storage_.data());
  }
  template <typename Record>
  const Record* As() const {
    return reinterpret_cast<const Record*>(storage_.data());
  }
  // The string of a size/offset pair: at most size characters, up to the first zero byte.
  std::string String(DWORD size, DWORD offset) const;
  // Calls the TAPI function until it is satisfied with the buffer's size.
  LONG Fetch(const std::function<LONG(void*)>& call);

 private:
  void Resize(DWORD bytes);
  std::vector<DWORD> storage_;
};

// The shared cache shape: fetched on the first read after an invalidation.
class TTapiRecord {
 public:
  explicit TTapiRecord(DWORD initialSize) : initialSize_(initialSize) {}
  virtual ~TTapiRecord() = default;
  void Invalidate() { buffer_.reset(); }
  // Fetches when absent; leaves it absent when the fetch fails. The result of the fetch (0 when cached).
  LONG UpdateData();
  void Update() { TapiCheck(UpdateData()); }
  bool Get_Available() {
    UpdateData();
    return buffer_ != nullptr;
  }

 protected:
  virtual LONG FetchInto(void* record) = 0;
  DWORD DwordAt(std::size_t byteOffset);
  std::string StringAt(std::size_t sizeOffset);  // the size/offset pair at that byte offset
  const TTapiBuffer* Buffer() const { return buffer_.get(); }

 private:
  const DWORD initialSize_;
  std::unique_ptr<TTapiBuffer> buffer_;
};

class TTapiCallInfo : public TTapiRecord {
 public:
  explicit TTapiCallInfo(TTapiCall& call) : TTapiRecord(324), call_(call) {}
  DWORD Get_DWORD(int index);
  std::string Get_String(int index);

 private:
  LONG FetchInto(void* record) override;
  TTapiCall& call_;
};

class TTapiCallStatus : public TTapiRecord {
 public:
  explicit TTapiCallStatus(TTapiCall& call) : TTapiRecord(56), call_(call) {}
  DWORD Get_DWORD(int index);
  DWORD CallState() { return Get_DWORD(0); }
  DWORD CallFeatures() { return Get_DWORD(3); }

 private:
  LONG FetchInto(void* record) override;
  TTapiCall& call_;
};

class TTapiLineCaps : public TTapiRecord {
 public:
  explicit TTapiLineCaps(TCustomTapiLine& line) : TTapiRecord(252), line_(line) {}
  DWORD Get_DWORD(int index);         // from dwProviderInfoSize on
  std::string Get_String(int index);  // 0 provider, 1 switch, 2 line name

 private:
  LONG FetchInto(void* record) override;
  TCustomTapiLine& line_;
};

class TTapiAddressCaps : public TTapiRecord {
 public:
  explicit TTapiAddressCaps(TTapiAddress& address) : TTapiRecord(228), address_(address) {}
  DWORD Get_DWORD(int index);
  std::string Get_String(int index);

 private:
  LONG FetchInto(void* record) override;
  TTapiAddress& address_;
};

// ---- forwarding ----

struct TTapiForward {
  DWORD ForwardMode = 0;
  std::string CallerAddress;
  DWORD DestCountryCode = 0;
  std::string DestAddress;
};

class TTapiForwardList {
 public:
  void Add(DWORD mode, const std::string& callerAddress, const std::string& destAddress, DWORD countryCode);
  std::vector<TTapiForward>& Entries() { return entries_; }
  // The LINEFORWARDLIST record of the entries.
  std::vector<DWORD> Build() const;

 private:
  std::vector<TTapiForward> entries_;
};

class TTapiAddressStatus : public TTapiRecord {
 public:
  explicit TTapiAddressStatus(TTapiAddress& address) : TTapiRecord(64), address_(address) {}
  DWORD Get_DWORD(int index);  // from dwNumInUse on
  // Refetched; the list holds exactly the forwarding entries of the address.
  TTapiForwardList& ForwardList();

 private:
  LONG FetchInto(void* record) override;
  TTapiAddress& address_;
  TTapiForwardList forwardList_;
};

class TTapiAddress {
 public:
  TTapiAddress(TCustomTapiLine& line, DWORD addressId);
  TCustomTapiLine& Line() { return line_; }
  DWORD AddressID() const { return addressId_; }
  std::string Name();
  TTapiAddressStatus& Status() { return status_; }
  TTapiAddressCaps& Caps() { return caps_; }
  // With no list, cancels forwarding.
  void Forward(const TTapiForwardList* list, DWORD numRingsNoAnswer = 0);

 private:
  TCustomTapiLine& line_;
  const DWORD addressId_;
  TTapiAddressStatus status_;
  TTapiAddressCaps caps_;
  HCALL consultCall_ = 0;
};

// ---- call parameters and parties ----

struct TTapiCallParams {
  DWORD AddressID = 0;
  DWORD AddressMode = LINEADDRESSMODE_ADDRESSID;
  DWORD BearerMode = LINEBEARERMODE_VOICE;
  DWORD CallParamFlags = 0;
  DWORD MinRate = 0, MaxRate = 0;
  DWORD MediaMode = LINEMEDIAMODE_INTERACTIVEVOICE;
  DWORD NoAnswerTimeout = 0;
  DWORD DialPause = 0, DialSpeed = 0, DigitDuration = 0, WaitForDialtone = 0;
  std::string OrigAddress, DisplayableAddress, CalledParty, Comment, UserUserInfo, TargetAddress, CallingPartyID;

  bool BlockID() const { return (CallParamFlags & LINECALLPARAMFLAGS_BLOCKID) != 0; }
  void SetBlockID(bool block) {
    CallParamFlags = block ? CallParamFlags | LINECALLPARAMFLAGS_BLOCKID : CallParamFlags & ~LINECALLPARAMFLAGS_BLOCKID;
  }
  // The LINECALLPARAMS record; valid until the next build or the object's end.
  const LINECALLPARAMS* BuildCallParams();

 private:
  std::vector<DWORD> built_;
};

// One party of the call information (Id 0 caller, 1 called, 2 connected, 3 redirection, 4 redirecting).
class TTapiCallPartyID {
 public:
  TTapiCallPartyID(TTapiCall& call, int id);
  std::string Number();
  DWORD Flags();
  std::string Name();
  bool Available() { return (Flags() & kKnownPartyIDFlags) != 0; }
  bool HasAddress() { return (Flags() & LINECALLPARTYID_ADDRESS) != 0; }

 private:
  TTapiCall& call_;
  const int id_;
};

// The party that is remote in the call's current state.
class TTapiCallRemoteID {
 public:
  explicit TTapiCallRemoteID(TTapiCall& call) : call_(call) {}
  std::string Number();
  DWORD Flags();
  std::string Name();

 private:
  TTapiCallPartyID* Party();
  TTapiCall& call_;
};

// ---- components and devices ----

class TTapiComponent {
 public:
  TTapiComponent();
  virtual ~TTapiComponent();
  TTapiComponent(const TTapiComponent&) = delete;
  TTapiComponent& operator=(const TTapiComponent&) = delete;

  // The callback instance TAPI hands back with the component's messages.
  DWORD Instance() const { return instance_; }
  TTapiApplication* Application() const { return application_; }
  bool Enabled() const { return application_ != nullptr; }
  void SetEnabled(bool enabled);
  // The id of the last request issued on the device: what an asynchronous request's LINE_REPLY will name.
  LONG LastRequestID() const { return lastRequest_; }
  std::string Name;

 protected:
  friend class TTapiApplication;
  // Ends the registration early; the derived destructor calls it while the object is still whole.
  void Unregister();
  TTapiApplication* application_ = nullptr;
  LONG lastRequest_ = 0;

 private:
  DWORD instance_ = 0;
  bool registered_ = false;
};

class TTapiDevice : public TTapiComponent {
 public:
  TTapiDevice();
  ~TTapiDevice() override;

  LONG DeviceID() const { return deviceId_; }
  void SetDeviceID(LONG deviceId);
  const std::string& DeviceName() const { return deviceName_; }
  void SetDeviceName(const std::string& name);
  bool Available() const { return available_; }
  LONG Init(LONG deviceId);
  void Done();

  DWORD ApiVersion() const { return apiVersion_; }
  DWORD ExtVersion() const { return extVersion_; }
  // The provider-extension bounds; an extension version is negotiated only when one of them is set.
  struct TTSP {
    DWORD ExtLowVersion = 0;
    DWORD ExtHighVersion = 0;
    LINEEXTENSIONID ExtensionID{};
  } TSP;
  platform::Event& AbortEvent() { return abortEvent_; }

  struct TOptions {
    DWORD ReplyTimeout = 60000;
    bool SyncMode = true;
    LONG AutoFreeIdleCalls = 500;
    LONG AutoDropDiscCalls = 500;
  } Options;

  // Waits (in sync mode) for the request's LINE_REPLY: its result, or LINEERR_OPERATIONFAILED without one.
  LONG WaitForReply(LONG requestId);
  LONG WaitForReplyChecked(LONG requestId) { return TapiCheck(WaitForReply(requestId)); }

  virtual bool IsOpen() const = 0;
  virtual void CloseDevice() = 0;
  virtual void HandleMessage(DWORD hDevice, DWORD messageId, DWORD param1, DWORD param2, DWORD param3);
  void HandleReply(LONG requestId, LONG replyCode);
  void CheckRequests(DWORD ticks);

  TTapiRequestList Requests;
  TTapiRequestList TimerRequests;

  std::function<void(TTapiDevice&, DWORD, DWORD, DWORD, DWORD)> OnTapiMessage;
  std::function<void(TTapiDevice&, LONG, LONG)> OnTapiReply;
  // The application's tick (every 100 ms, on the owner thread), after the device's requests were checked.
  std::function<void(TTapiDevice&, DWORD)> OnTick;
  std::function<void(TTapiDevice&, LONG)> OnTapiTimeout;
  std::function<void(TTapiDevice&, DWORD, DWORD, DWORD)> OnDeviceState;
  std::function<void(TTapiDevice&)> OnDeviceClose;
  std::function<void(TTapiDevice&)> OnDeviceRemove;

 protected:
  virtual void CompleteRequest(TTapiRequest& request, LONG replyCode);
  virtual void TimeoutRequest(TTapiRequest& request);
  virtual void HandleTimer(TTapiRequest& job);
  // The text naming the device in "... not active." failures.
  std::string ActiveFailureText() const;

 private:
  LONG deviceId_ = -1;
  std::string deviceName_;
  bool available_ = false;
  DWORD apiVersion_ = 0;
  DWORD extVersion_ = 0;
  platform::Event abortEvent_{platform::Event::ResetMode::Manual};
};

// ---- lines and calls ----

// Requests issued on the device while it lives do not wait for their LINE_REPLY: their outcome comes as later
// events (and OnTapiReply). The server's own steps use it so that they never pump messages inside a handler.
class TAsyncRequests {
 public:
  explicit TAsyncRequests(TTapiDevice& device) : device_(device), saved_(device.Options.SyncMode) {
    device_.Options.SyncMode = false;
  }
  ~TAsyncRequests() { device_.Options.SyncMode = saved_; }
  TAsyncRequests(const TAsyncRequests&) = delete;
  TAsyncRequests& operator=(const TAsyncRequests&) = delete;

 private:
  TTapiDevice& device_;
  const bool saved_;
};

class TTapiCall {
 public:
  TTapiCall(TCustomTapiLine* line, HCALL handle);
  ~TTapiCall();
  TTapiCall(const TTapiCall&) = delete;
  TTapiCall& operator=(const TTapiCall&) = delete;

  TCustomTapiLine& Line() { return line_; }
  HCALL Handle = 0;  // written by TAPI when a creating request completes
  bool Alive() const { return alive_; }
  bool Connected() const { return connected_; }
  bool Registered() const { return registered_; }
  bool AutoOwner = true;

  TTapiCallInfo CallInfo;
  TTapiCallStatus CallStatus;
  TTapiCallPartyID CallerID, CalledID, ConnectedID, RedirectionID, RedirectingID;
  TTapiCallRemoteID RemoteID;

  DWORD OfferingMode = 0, DialtoneMode = 0, BusyMode = 0, SpecialInfoMode = 0, ConnectedMode = 0;
  DWORD DisconnectMode = 0;
  DWORD StateHistory = 0, OriginHistory = 0;
  DWORD BeginTick = 0, EndTick = 0;
  std::chrono::system_clock::time_point BeginTime, ConnectTime, EndTime;
  TTapiCall* RelatedCall = nullptr;
  TTapiCall* ConsultCall = nullptr;
  DWORD MonitorDigitModes = 2;  // the wanted modes
  bool MonitorDigitsAutoSelect = true;
  DWORD ActiveDigitModes = 0;  // the modes being monitored, 0 when not
  std::string GatheredDigits;
  // The call's notes, name=value in the order they were first set; and a number of the program's own.
  std::vector<std::pair<std::string, std::string>> Notes;
  LONG Tag = 0;
  std::string Note(const std::string& name) const;
  void SetNote(const std::string& name, const std::string& value);

  DWORD State() { return CallStatus.CallState(); }
  DWORD StatusDWord(int index) { return CallStatus.Get_DWORD(index); }
  bool IsConnected() { return (State() & kConnectedCallStates) != 0; }
  bool WasConnected() const { return (StateHistory & LINECALLSTATE_CONNECTED) != 0; }
  bool IsOnHold() { return (State() & kHeldCallStates) != 0; }
  bool WasOnHold() const { return (StateHistory & kHeldCallStates) != 0; }
  bool IsOffering() { return (State() & LINECALLSTATE_OFFERING) != 0; }
  bool WasOffering() const { return (StateHistory & LINECALLSTATE_OFFERING) != 0; }
  bool IsDialing() { return (State() & kDialingCallStates) != 0; }
  bool WasDialing() const { return (StateHistory & kDialingCallStates) != 0; }
  bool IsBusy() { return (State() & LINECALLSTATE_BUSY) != 0; }
  bool WasBusy() const { return (StateHistory & LINECALLSTATE_BUSY) != 0; }
  bool IsInbound();
  bool WasInbound() const;
  bool IsOutbound();
  bool WasOutbound() const;

  // The call-level operations: ownership first (when AutoOwner), then the line's operation.
  bool CheckOwnership();
  bool Owner() { return (StatusDWord(2) & LINECALLPRIVILEGE_OWNER) != 0; }
  void SetOwner(bool owner);
  void Answer(const std::string& userUserInfo = {});
  void Drop(const std::string& userUserInfo = {});
  void Hold();
  void Unhold();
  // The back-end's own operation on the call (lineDevSpecific).
  void DevSpecific(const std::string& params);
  void BlindTransfer(const std::string& destination);
  void Dial(const std::string& destination);
  TTapiCall* SetupTransfer();
  // Pairs this call with its other half of a consultation and completes the transfer on the line.
  TTapiCall* CompleteTransfer(bool conference);
  // The call's recording (the server's extension): empty when done, else why not.
  std::string Record(const TRecordRequest& request);
  std::string Monitor(const TMonitorRequest& request);
  void Deallocate();

 private:
  friend class TCustomTapiLine;
  void SetAlive(bool alive);
  void SetConnected(bool connected);
  void StartDigitMonitoring();
  void StopDigitMonitoring();
  void TakeOwnership();

  TCustomTapiLine& line_;
  bool alive_ = false;
  bool connected_ = false;
  bool registered_ = false;
};

class TCustomTapiLine : public TTapiDevice {
 public:
  TCustomTapiLine();
  ~TCustomTapiLine() override;

  bool Active() const { return IsOpen(); }
  void SetActive(bool active);
  void Open();
  void Close();
  bool IsOpen() const override { return hLine_ != 0; }
  void CloseDevice() override { Close(); }
  HLINE LineHandle() const { return hLine_; }

  void Answer(TTapiCall* call, const std::string& userUserInfo = {});
  void Drop(TTapiCall* call, const std::string& userUserInfo = {});
  void Hold(TTapiCall* call);
  void Unhold(TTapiCall* call);
  void DevSpecific(TTapiCall* call, const std::string& params);
  void Dial(TTapiCall* call, const std::string& destination, DWORD countryCode = 0);
  void BlindTransfer(TTapiCall* call, const std::string& destination, DWORD countryCode = 0);
  TTapiCall* MakeCall(const std::string& destination, DWORD countryCode, const LINECALLPARAMS* params);
  TTapiCall* MakeCall(const std::string& destination);
  TTapiCall* SetupTransfer(TTapiCall* call, const LINECALLPARAMS* params = nullptr);
  TTapiCall* CompleteTransfer(TTapiCall* call, TTapiCall* consultCall, DWORD transferMode);
  void ForwardAddress(TTapiAddress* address, const std::vector<DWORD>* forwardList, const LINECALLPARAMS* params,
                      HCALL* consultCall, DWORD numRingsNoAnswer);
  TTapiCall* GetCallByHandle(HCALL handle, bool create);
  TTapiCall* FindCall(DWORD states, DWORD features, const TTapiCall* exclude, LONG addressId);

  TTapiLineCaps Caps;
  std::vector<std::unique_ptr<TTapiAddress>>& Addresses() { return addresses_; }
  TProtectedList<TTapiCall*>& Calls() { return calls_; }
  std::vector<TTapiCall*>& PendingCalls() { return pendingCalls_; }

  DWORD MediaModes = 0;
  DWORD AddressStates = LINEADDRESSSTATE_ALL;
  DWORD LineStates = LINEDEVSTATE_ALL;
  DWORD EffectiveAddressStates = 0, EffectiveLineStates = 0;
  struct TPrivileges {
    bool AutoSelect = true, Owner = true, Monitor = true, None = false;
    DWORD Mask() const;
  } Privileges;
  struct TCallOptions {
    bool AutoOwner = true;
    DWORD MonitorDigitModes = 2;
    bool MonitorDigitsAutoSelect = true;
  } CallOptions;
  TTapiCallParams CallParams;

  void HandleMessage(DWORD hDevice, DWORD messageId, DWORD param1, DWORD param2, DWORD param3) override;

 protected:
  // The events; the published line raises its handlers from them.
  virtual void DoNewCall(TTapiCall&) {}
  virtual void DoCallBegin(TTapiCall&) {}
  virtual void DoCallEnd(TTapiCall&) {}
  virtual void DoCallDeallocate(TTapiCall&) {}
  virtual void DoCallState(TTapiCall&, DWORD) {}
  virtual void DoStateEvent(TTapiCall&, DWORD) {}  // the event of the state itself (OnOffering, OnIdle, ...)
  virtual void DoCallPrivilege(TTapiCall&, DWORD) {}
  virtual void DoCallInfo(TTapiCall&, DWORD) {}
  virtual void DoPartyEvent(TTapiCall&, DWORD) {}  // the party-identifier events of a LINE_CALLINFO
  virtual void DoMediaMode(TTapiCall&) {}
  virtual void DoDigit(TTapiCall&, DWORD) {}
  virtual void DoDigits(TTapiCall&, const std::string&, DWORD) {}
  virtual void DoGenerate(TTapiCall&, DWORD) {}
  virtual void DoTone(TTapiCall&, DWORD) {}
  virtual void DoSilence(TTapiCall&) {}
  virtual void DoAddressState(TTapiAddress&, DWORD) {}
  virtual void DoRing(DWORD, DWORD) {}

  void CompleteRequest(TTapiRequest& request, LONG replyCode) override;
  void TimeoutRequest(TTapiRequest& request) override;
  void HandleTimer(TTapiRequest& job) override;

 private:
  friend class TTapiCall;
  void OpenLine();
  void GetNewCalls();
  void Handle_CallState(HCALL handle, DWORD state, DWORD detail, DWORD privilege);
  void Handle_CallInfo(HCALL handle, DWORD infoStates);
  void Handle_AppNewCall(HCALL handle);
  void Handle_LineDevState(DWORD state, DWORD detail1, DWORD detail2);
  void RemoveDevice(DWORD deviceId);
  void DeallocateIdleCall(TTapiCall& call);
  void DropDiscCall(TTapiCall& call);
  void AddTimerJob(TTapiCall& call, DWORD kind, LONG delay);
  void RegisterCall(TTapiCall& call);
  void UnlinkCall(TTapiCall& call);
  // Checks open line and valid call, then the common pattern: TAPI call, request, wait.
  void CheckOpen() const;
  void CheckCall(const TTapiCall* call, const char* operation);
  LONG StartRequest(LONG result, DWORD kind, TTapiCall* call0, TTapiCall* call1 = nullptr, TTapiCall* call2 = nullptr,
                    TTapiAddress* address = nullptr);
  // The line owns its calls: NewCall makes one (it lists itself), FreeCall ends it.
  TTapiCall* NewCall(HCALL handle);
  void FreeCall(TTapiCall* call);
  void RefreshAddresses();

  HLINE hLine_ = 0;
  TProtectedList<TTapiCall*> calls_;
  std::vector<TTapiCall*> pendingCalls_;  // guarded with calls_
  std::vector<std::unique_ptr<TTapiAddress>> addresses_;
  // Every call the line made, listed or not; after the lists, so a call still owned at destruction unlists
  // itself from lists that are still there.
  std::vector<std::unique_ptr<TTapiCall>> owned_;  // guarded with calls_
};

// The published line: raises the handlers assigned to its events.
class TTapiLine : public TCustomTapiLine {
 public:
  ~TTapiLine() override;
  using CallEvent = std::function<void(TTapiLine&, TTapiCall&)>;
  using CallValueEvent = std::function<void(TTapiLine&, TTapiCall&, DWORD)>;
  CallEvent OnNewCall, OnCallBegin, OnCallEnd, OnCallDeallocate, OnMediaMode, OnSilence;
  CallValueEvent OnCallState, OnCallPrivilege, OnCallInfo, OnDigit, OnGenerate, OnTone;
  // One per call state: OnOffering, OnConnected, ... (keyed by the LINECALLSTATE_ value).
  std::map<DWORD, CallEvent> OnState;
  // One per party (keyed by LINECALLINFOSTATE_CALLERID, _CALLEDID, _CONNECTEDID, _REDIRECTIONID, _REDIRECTINGID).
  std::map<DWORD, CallEvent> OnParty;
  std::function<void(TTapiLine&, TTapiCall&, const std::string&, DWORD)> OnDigits;
  std::function<void(TTapiLine&, TTapiAddress&, DWORD)> OnAddressState;
  std::function<void(TTapiLine&, DWORD, DWORD)> OnRing;

 protected:
  void DoNewCall(TTapiCall& call) override { Raise(OnNewCall, call); }
  void DoCallBegin(TTapiCall& call) override { Raise(OnCallBegin, call); }
  void DoCallEnd(TTapiCall& call) override { Raise(OnCallEnd, call); }
  void DoCallDeallocate(TTapiCall& call) override { Raise(OnCallDeallocate, call); }
  void DoCallState(TTapiCall& call, DWORD state) override { Raise(OnCallState, call, state); }
  void DoStateEvent(TTapiCall& call, DWORD state) override;
  void DoCallPrivilege(TTapiCall& call, DWORD privilege) override { Raise(OnCallPrivilege, call, privilege); }
  void DoCallInfo(TTapiCall& call, DWORD states) override { Raise(OnCallInfo, call, states); }
  void DoPartyEvent(TTapiCall& call, DWORD party) override;
  void DoMediaMode(TTapiCall& call) override { Raise(OnMediaMode, call); }
  void DoDigit(TTapiCall& call, DWORD digit) override { Raise(OnDigit, call, digit); }
  void DoDigits(TTapiCall& call, const std::string& digits, DWORD termination) override;
  void DoGenerate(TTapiCall& call, DWORD mode) override { Raise(OnGenerate, call, mode); }
  void DoTone(TTapiCall& call, DWORD tone) override { Raise(OnTone, call, tone); }
  void DoSilence(TTapiCall& call) override { Raise(OnSilence, call); }
  void DoAddressState(TTapiAddress& address, DWORD states) override;
  void DoRing(DWORD mode, DWORD count) override;

 private:
  void Raise(const CallEvent& event, TTapiCall& call) {
    if (event) event(*this, call);
  }
  void Raise(const CallValueEvent& event, TTapiCall& call, DWORD value) {
    if (event) event(*this, call, value);
  }
};

// ---- the application ----

class TTapiApplication {
 public:
  TTapiApplication();
  ~TTapiApplication();
  TTapiApplication(const TTapiApplication&) = delete;
  TTapiApplication& operator=(const TTapiApplication&) = delete;

  void Open();
  void Close();
  LONG Init(const std::string& appName);
  LONG Shutdown();
  bool Active() const { return hLineApp_ != 0; }
  HLINEAPP LineApp() const { return hLineApp_; }
  DWORD NumLineDevs() const { return numLineDevs_; }
  DWORD NumPhoneDevs() const { return numPhoneDevs_; }
  const std::vector<std::string>& LineDeviceNames() const { return lineDeviceNames_; }
  const std::vector<std::string>& PhoneDeviceNames() const { return phoneDeviceNames_; }
  int WaitDepth() const { return waitDepth_; }
  // Called on the owner thread when the outermost wait for a reply has ended.
  std::function<void()> OnWaitsEnded;

  // Processes at most one queued message; true when one was taken.
  bool ProcessTapiMessages();
  // 0 with the reply's result, 128 when aborted, 258 after the device's ReplyTimeout.
  DWORD WaitForAsyncReply(TTapiDevice& device, LONG requestId, LONG& replyCode);

  void AddTapiComponent(TTapiComponent& component);
  void RemoveTapiComponent(TTapiComponent& component);
  void EnableTapiComponent(TTapiComponent& component, bool enabled);

  LONG ShutdownDelay = -1;
  std::string AppName = "libVantrelClient.so";
  std::function<void(TTapiApplication&)> OnInitialize;
  std::function<void(TTapiApplication&)> OnShutdown;
  std::function<void(TTapiApplication&, DWORD)> OnLineDeviceChange;
  std::function<void(TTapiApplication&, DWORD)> OnPhoneDeviceChange;
  std::function<void(TTapiApplication&, DWORD, const std::string&, const std::string&, const std::string&,
                     const std::string&)>
      OnRequest;

  static constexpr std::uint32_t NotifyMessage = platform::WM_USER;
  DWORD Instance() const { return instance_; }

 private:
  friend class TTapiComponent;
  void Update_LineDevices();
  void Update_PhoneDevices();
  void EventThreadMain(HLINEAPP lineApp, HPHONEAPP phoneApp, std::shared_ptr<platform::Event> lineEvent,
                       std::shared_ptr<platform::Event> phoneEvent);
  void DrainQueue(DWORD app, bool phone);
  void WindowProcedure(const platform::Message& message);
  void PostNotify(std::uintptr_t kind, std::intptr_t value = 0);
  void PumpThreadMessages();
  bool AnyDeviceEnabled() const;
  std::vector<TTapiDevice*> Lines() const;
  TTapiComponent* FindComponent(DWORD instance) const;
  DWORD RegisterInstance(TTapiComponent* component);

  HLINEAPP hLineApp_ = 0;
  HPHONEAPP hPhoneApp_ = 0;
  std::thread eventThread_;
  std::atomic<bool> terminate_{false};
  std::atomic<bool> tickFlag_{true};
  std::unique_ptr<platform::HiddenWindow> window_;
  std::atomic<platform::WindowHandle> windowHandle_{0};
  DWORD numLineDevs_ = 0;
  DWORD numPhoneDevs_ = 0;
  std::shared_ptr<platform::Event> lineEvent_;
  std::shared_ptr<platform::Event> phoneEvent_;
  // The registry may change on any thread: servants owning lines end wherever their last reference goes.
  mutable std::recursive_mutex registryMutex_;
  std::vector<TTapiComponent*> components_;     // registration order; guarded by registryMutex_
  std::map<DWORD, TTapiComponent*> instances_;  // guarded by registryMutex_
  DWORD nextInstance_ = 1;
  std::vector<std::string> lineDeviceNames_;
  std::vector<std::string> phoneDeviceNames_;
  TTapiMsgStack msgStack_;
  TTapiMsgStack replyStack_;
  int waitDepth_ = 0;
  const DWORD instance_;
};

// The process-wide application all devices register with.
TTapiApplication& TapiApplication();
// False once the process-wide application has been destroyed at process end.
bool TapiApplicationExists();

}  // namespace vantrel::telephony
