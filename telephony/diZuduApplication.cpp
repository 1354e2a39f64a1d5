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

}  // namespace vantrel::telephony
