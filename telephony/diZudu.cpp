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

// ---- errors ----

std::string TapiErrorText(LONG code) {
  const auto found = ErrorTexts().find(code);
  if (found != ErrorTexts().end()) return found->second;
  return "TAPI-Error 0x" + Hex(static_cast<DWORD>(code), false);
}

LONG TapiCheck(LONG result) {
  if (result < 0) throw ETapiError(TapiErrorText(result), result);
  return result;
}

void TapiFail(const std::string& message) { throw std::runtime_error(message); }

}  // namespace vantrel::telephony
