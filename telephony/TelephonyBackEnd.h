#pragma once

#include <memory>

#include "telephony/TelephonyProvider.h"
#include "telephony/tapi/TapiService.h"

namespace vantrel::telephony {

class TSoftExchange;

// A back-end with the Telephony API service over it, serving this process's Telephony API functions while it
// lives (what served them before is put back after). Its owner (the host, a test, a benchmark) makes it before
// the first application initialises and ends it after the last one shut down.
class TTelephonyBackEnd {
 public:
  explicit TTelephonyBackEnd(std::unique_ptr<ITelephonyProvider> provider);
  ~TTelephonyBackEnd();
  TTelephonyBackEnd(const TTelephonyBackEnd&) = delete;
  TTelephonyBackEnd& operator=(const TTelephonyBackEnd&) = delete;

  ITelephonyProvider& Provider() const { return *provider_; }
  TTapiService& Service() { return service_; }
  // The provider when it is the software exchange, else nullptr.
  TSoftExchange* SoftExchange() const;

 private:
  const std::unique_ptr<ITelephonyProvider> provider_;
  TTapiService service_;
  TTapiService* const previous_;
};

}  // namespace vantrel::telephony
