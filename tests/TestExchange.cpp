#include "TestExchange.h"

#include <memory>

namespace vantrel::test {

namespace {
// Made during static initialisation, so that no test meets an unserved Telephony API.
telephony::TTelephonyBackEnd& servedAtStart = TestTelephony();
}  // namespace

telephony::TTelephonyBackEnd& TestTelephony() {
  static telephony::TTelephonyBackEnd backEnd(std::make_unique<telephony::TSoftExchange>());
  return backEnd;
}

}  // namespace vantrel::test
