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

}  // namespace vantrel::telephony
