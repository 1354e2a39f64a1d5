#include "Tapi.h"

#include "telephony/SoftExchange.h"

using vantrel::telephony::TSoftExchange;

namespace {
TSoftExchange& Exchange() { return vantrel::telephony::TelephonyApiExchange(); }
}  // namespace

extern "C" {

LONG lineInitializeEx(HLINEAPP* lphLineApp, void*, void*, const char*, DWORD* lpdwNumDevs, DWORD* lpdwAPIVersion,
                      LINEINITIALIZEEXPARAMS* lpLineInitializeExParams) {
  return Exchange().TapiInitialize(lphLineApp, lpdwNumDevs, lpdwAPIVersion, lpLineInitializeExParams, false);
}

LONG lineShutdown(HLINEAPP hLineApp) { return Exchange().TapiShutdown(hLineApp, false); }

LONG lineNegotiateAPIVersion(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPILowVersion, DWORD dwAPIHighVersion,
                             DWORD* lpdwAPIVersion, LINEEXTENSIONID* lpExtensionID) {
  return Exchange().TapiNegotiateAPIVersion(hLineApp, dwDeviceID, dwAPILowVersion, dwAPIHighVersion, lpdwAPIVersion,
                                            lpExtensionID);
}

LONG lineNegotiateExtVersion(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPIVersion, DWORD dwExtLowVersion,
                             DWORD dwExtHighVersion, DWORD* lpdwExtVersion) {
  return Exchange().TapiNegotiateExtVersion(hLineApp, dwDeviceID, dwAPIVersion, dwExtLowVersion, dwExtHighVersion,
                                            lpdwExtVersion);
}

LONG lineGetDevCaps(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPIVersion, DWORD dwExtVersion,
                    LINEDEVCAPS* lpLineDevCaps) {
  return Exchange().TapiGetDevCaps(hLineApp, dwDeviceID, dwAPIVersion, dwExtVersion, lpLineDevCaps);
}

LONG lineGetAddressCaps(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAddressID, DWORD dwAPIVersion, DWORD dwExtVersion,
                        LINEADDRESSCAPS* lpAddressCaps) {
  return Exchange().TapiGetAddressCaps(hLineApp, dwDeviceID, dwAddressID, dwAPIVersion, dwExtVersion, lpAddressCaps);
}

LONG lineOpen(HLINEAPP hLineApp, DWORD dwDeviceID, HLINE* lphLine, DWORD dwAPIVersion, DWORD dwExtVersion,
              DWORD_PTR dwCallbackInstance, DWORD dwPrivileges, DWORD dwMediaModes, const LINECALLPARAMS*) {
  return Exchange().TapiOpen(hLineApp, dwDeviceID, lphLine, dwAPIVersion, dwExtVersion, dwCallbackInstance,
                             dwPrivileges, dwMediaModes);
}

LONG lineClose(HLINE hLine) { return Exchange().TapiClose(hLine); }

LONG lineSetStatusMessages(HLINE hLine, DWORD dwLineStates, DWORD dwAddressStates) {
  return Exchange().TapiSetStatusMessages(hLine, dwLineStates, dwAddressStates);
}

LONG lineGetStatusMessages(HLINE hLine, DWORD* lpdwLineStates, DWORD* lpdwAddressStates) {
  return Exchange().TapiGetStatusMessages(hLine, lpdwLineStates, lpdwAddressStates);
}

LONG lineGetMessage(HLINEAPP hLineApp, LINEMESSAGE* lpMessage, DWORD dwTimeout) {
  return Exchange().TapiGetMessage(hLineApp, lpMessage, dwTimeout, false);
}

LONG lineGetNewCalls(HLINE hLine, DWORD dwAddressID, DWORD dwSelect, LINECALLLIST* lpCallList) {
  return Exchange().TapiGetNewCalls(hLine, dwAddressID, dwSelect, lpCallList);
}

LONG lineGetCallInfo(HCALL hCall, LINECALLINFO* lpCallInfo) { return Exchange().TapiGetCallInfo(hCall, lpCallInfo); }

LONG lineGetCallStatus(HCALL hCall, LINECALLSTATUS* lpCallStatus) {
  return Exchange().TapiGetCallStatus(hCall, lpCallStatus);
}

LONG lineGetAddressStatus(HLINE hLine, DWORD dwAddressID, LINEADDRESSSTATUS* lpAddressStatus) {
  return Exchange().TapiGetAddressStatus(hLine, dwAddressID, lpAddressStatus);
}

LONG lineAnswer(HCALL hCall, const char*, DWORD) { return Exchange().TapiAnswer(hCall); }

LONG lineDrop(HCALL hCall, const char*, DWORD) { return Exchange().TapiDrop(hCall); }

LONG lineHold(HCALL hCall) { return Exchange().TapiHold(hCall); }

LONG lineUnhold(HCALL hCall) { return Exchange().TapiUnhold(hCall); }

LONG lineDial(HCALL hCall, const char* lpszDestAddress, DWORD) { return Exchange().TapiDial(hCall, lpszDestAddress); }

LONG lineMakeCall(HLINE hLine, HCALL* lphCall, const char* lpszDestAddress, DWORD, const LINECALLPARAMS* lpCallParams) {
  return Exchange().TapiMakeCall(hLine, lphCall, lpszDestAddress, lpCallParams);
}

LONG lineBlindTransfer(HCALL hCall, const char* lpszDestAddress, DWORD) {
  return Exchange().TapiBlindTransfer(hCall, lpszDestAddress);
}

LONG lineSetupTransfer(HCALL hCall, HCALL* lphConsultCall, const LINECALLPARAMS*) {
  return Exchange().TapiSetupTransfer(hCall, lphConsultCall);
}

LONG lineCompleteTransfer(HCALL hCall, HCALL hConsultCall, HCALL* lphConfCall, DWORD dwTransferMode) {
  return Exchange().TapiCompleteTransfer(hCall, hConsultCall, lphConfCall, dwTransferMode);
}

LONG lineForward(HLINE hLine, DWORD bAllAddresses, DWORD dwAddressID, const LINEFORWARDLIST* lpForwardList, DWORD,
                 HCALL* lphConsultCall, const LINECALLPARAMS*) {
  return Exchange().TapiForward(hLine, bAllAddresses != 0, dwAddressID, lpForwardList, lphConsultCall);
}

LONG lineDeallocateCall(HCALL hCall) { return Exchange().TapiDeallocateCall(hCall); }

LONG lineMonitorDigits(HCALL hCall, DWORD dwDigitModes) { return Exchange().TapiMonitorDigits(hCall, dwDigitModes); }

LONG lineSetCallPrivilege(HCALL hCall, DWORD dwCallPrivilege) {
  return Exchange().TapiSetCallPrivilege(hCall, dwCallPrivilege);
}

// Assisted-telephony requests are not offered by this exchange.
LONG lineGetRequest(HLINEAPP, DWORD dwRequestMode, void* lpRequestBuffer) {
  if (lpRequestBuffer == nullptr) return LINEERR_INVALPOINTER;
  if (dwRequestMode != LINEREQUESTMODE_MAKECALL) return LINEERR_INVALREQUESTMODE;
  return LINEERR_NOREQUEST;
}

LONG phoneInitializeEx(HPHONEAPP* lphPhoneApp, void*, void*, const char*, DWORD* lpdwNumDevs, DWORD* lpdwAPIVersion,
                       PHONEINITIALIZEEXPARAMS* lpPhoneInitializeExParams) {
  return Exchange().TapiInitialize(lphPhoneApp, lpdwNumDevs, lpdwAPIVersion, lpPhoneInitializeExParams, true);
}

LONG phoneShutdown(HPHONEAPP hPhoneApp) { return Exchange().TapiShutdown(hPhoneApp, true); }

// The exchange has no phone devices.
LONG phoneNegotiateAPIVersion(HPHONEAPP, DWORD, DWORD, DWORD, DWORD* lpdwAPIVersion, LINEEXTENSIONID* lpExtensionID) {
  if (lpdwAPIVersion == nullptr || lpExtensionID == nullptr) return PHONEERR_INVALPOINTER;
  return PHONEERR_BADDEVICEID;
}

LONG phoneGetDevCaps(HPHONEAPP, DWORD, DWORD, DWORD, PHONECAPS* lpPhoneCaps) {
  if (lpPhoneCaps == nullptr) return PHONEERR_INVALPOINTER;
  return PHONEERR_BADDEVICEID;
}

LONG phoneGetMessage(HPHONEAPP hPhoneApp, PHONEMESSAGE* lpMessage, DWORD dwTimeout) {
  return Exchange().TapiGetMessage(hPhoneApp, lpMessage, dwTimeout, true);
}

}  // extern "C"

std::shared_ptr<vantrel::platform::Event> TapiEventForHandle(HANDLE handle) {
  return Exchange().EventForHandle(handle);
}
