// TAPI constants as text, for the log lines of the lines and calls.
#pragma once

#include <string>

#include "telephony/tapi/Tapi.h"

namespace vantrel::telephony {

std::string CallStateToStr(DWORD callState);
std::string CallStateModeToStr(DWORD callState, DWORD mode);
std::string CallInfoStateToStr(DWORD infoStates);
std::string PhoneStateToStr(DWORD phoneState);
std::string MessageToStr(DWORD messageId);

}  // namespace vantrel::telephony
