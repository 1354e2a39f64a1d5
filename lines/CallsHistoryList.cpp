#include "CallsHistoryList.h"

#include <ctime>

#include "telephony/diZudu.h"

namespace vantrel {

std::string TCallsHistoryItem::Note(const std::string& name) const {
  for (const auto& [key, value] : Notes) {
    if (key == name) return value;
  }
  return {};
}

TDateTime LocalDateTime(std::chrono::system_clock::time_point time) {
  if (time.time_since_epoch().count() == 0) return 0;
  const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
  std::tm parts{};
  localtime_r(&seconds, &parts);
  const auto milliseconds =
      std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count() % 1000;
  TDateTime date = 0, clock = 0;
  TryEncodeDate(parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, date);
  TryEncodeTime(parts.tm_hour, parts.tm_min, parts.tm_sec, static_cast<int>(milliseconds), clock);
  return date + clock;
}

TCallsHistoryItem TCallsHistoryList::FromCall(telephony::TTapiCall& call) {
  TCallsHistoryItem item;
  item.Handle = static_cast<long>(call.Handle);
  item.BeginTime = LocalDateTime(call.BeginTime);
  item.EndTime = LocalDateTime(call.EndTime);
  item.CallerID = call.CallerID.Number();
  item.CalledID = call.CalledID.Number();
  item.ConnectedID = call.ConnectedID.Number();
  item.RedirectingID = call.RedirectingID.Number();
  item.RedirectionID = call.RedirectionID.Number();
  item.RemoteID = call.RemoteID.Number();
  item.Notes = call.Notes;
  return item;
}

void TCallsHistoryList::Append(TCallsHistoryItem item) {
  items_.push_back(std::move(item));
  while (items_.size() > capacity_) items_.pop_front();
}

std::optional<TCallsHistoryItem> TCallsHistoryList::GetItem(long handle) const {
  std::lock_guard lock(mutex_);
  for (const TCallsHistoryItem& item : items_) {
    if (item.Handle == handle) return item;
  }
  return std::nullopt;
}

std::optional<TCallsHistoryItem> TCallsHistoryList::GetItemByConnectedID(const std::string& connectedID) const {
  std::lock_guard lock(mutex_);
  for (const TCallsHistoryItem& item : items_) {
    if (item.ConnectedID == connectedID) return item;
  }
  return std::nullopt;
}

void TCallsHistoryList::AddCall(telephony::TTapiCall& call) {
  TCallsHistoryItem item = FromCall(call);
  std::lock_guard lock(mutex_);
  Append(std::move(item));
}

void TCallsHistoryList::UpdateCall(telephony::TTapiCall& call) {
  TCallsHistoryItem item = FromCall(call);
  std::lock_guard lock(mutex_);
  for (TCallsHistoryItem& existing : items_) {
    if (existing.Handle == item.Handle) {
      existing = std::move(item);
      return;
    }
  }
  Append(std::move(item));
}

std::size_t TCallsHistoryList::Count() const {
  std::lock_guard lock(mutex_);
  return items_.size();
}

}  // namespace vantrel
