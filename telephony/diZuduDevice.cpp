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

}  // namespace vantrel::telephony
