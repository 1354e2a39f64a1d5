#include "TelephonyBackEnd.h"

#include "telephony/SoftExchange.h"

namespace vantrel::telephony {

TTelephonyBackEnd::TTelephonyBackEnd(std::unique_ptr<ITelephonyProvider> provider)
    : provider_(std::move(provider)), service_(*provider_), previous_(TelephonyApiService()) {
  ServeTelephonyApiWith(&service_);
}

TTelephonyBackEnd::~TTelephonyBackEnd() { ServeTelephonyApiWith(previous_); }

TSoftExchange* TTelephonyBackEnd::SoftExchange() const { return dynamic_cast<TSoftExchange*>(provider_.get()); }

}  // namespace vantrel::telephony
