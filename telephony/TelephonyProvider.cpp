#include "TelephonyProvider.h"

namespace vantrel::telephony {

namespace {

class TNoEvents final : public ITelephonyEvents {
 public:
  void DeviceAdded(DWORD) override {}
  void DeviceRemoved(DWORD) override {}
  void CallAppeared(DWORD) override {}
  void CallStateChanged(DWORD) override {}
  void CallInfoChanged(DWORD, DWORD) override {}
  void CallRemoved(DWORD) override {}
  void DigitReceived(DWORD, char) override {}
  void AddressStateChanged(DWORD, DWORD) override {}
  bool IsHeld(DWORD) const override { return false; }
  bool HasApplications() const override { return false; }
};

}  // namespace

ITelephonyEvents& ITelephonyProvider::Events() const {
  static TNoEvents nobody;
  return events_ != nullptr ? *events_ : nobody;
}

std::string ITelephonyProvider::Record(DWORD, const TRecordRequest&) {
  return "the telephony back-end " + ProviderName() + " carries no media to record";
}

std::string ITelephonyProvider::Monitor(DWORD, const TMonitorRequest&) {
  return "the telephony back-end " + ProviderName() + " carries no media to listen to";
}

const char* MonitorModeName(TMonitorMode mode) {
  switch (mode) {
    case TMonitorMode::Listen:
      return "listen";
    case TMonitorMode::Whisper:
      return "whisper";
    case TMonitorMode::Barge:
      return "barge";
  }
  return "unknown";
}

}  // namespace vantrel::telephony
