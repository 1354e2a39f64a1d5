#include "Tapi.h"

#include "telephony/tapi/TapiService.h"

using vantrel::telephony::TTapiService;

namespace {

// Runs the call on the service this process serves the API with; without one, nothing can be done.
template <typename Call>
LONG Served(Call call, LONG unavailable = LINEERR_OPERATIONUNAVAIL) {
  TTapiService* service = vantrel::telephony::TelephonyApiService();
  return service == nullptr ? unavailable : call(*service);
}

}  // namespace

extern "C" {

LONG lineInitializeEx(HLINEAPP* lphLineApp, void*, void*, const char*, DWORD* lpdwNumDevs, DWORD* lpdwAPIVersion,
                      LINEINITIALIZEEXPARAMS* lpLineInitializeExParams) {
  return Served([&](TTapiService& service) {
    return service.Initialize(lphLineApp, lpdwNumDevs, lpdwAPIVersion, lpLineInitializeExParams, false);
  });
}

LONG lineShutdown(HLINEAPP hLineApp) {
  return Served([&](TTapiService& service) { return service.Shutdown(hLineApp, false); });
}

LONG lineNegotiateAPIVersion(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPILowVersion, DWORD dwAPIHighVersion,
                             DWORD* lpdwAPIVersion, LINEEXTENSIONID* lpExtensionID) {
  return Served([&](TTapiService& service) {
    return service.NegotiateAPIVersion(hLineApp, dwDeviceID, dwAPILowVersion, dwAPIHighVersion, lpdwAPIVersion,
                                       lpExtensionID);
  });
}

LONG lineNegotiateExtVersion(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPIVersion, DWORD dwExtLowVersion,
                             DWORD dwExtHighVersion, DWORD* lpdwExtVersion) {
  return Served(
      [&](TTapiService& service) { return service.NegotiateExtVersion(hLineApp, dwDeviceID, lpdwExtVersion); });
}

LONG lineGetDevCaps(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPIVersion, DWORD dwExtVersion,
                    LINEDEVCAPS* lpLineDevCaps) {
  return Served([&](TTapiService& service) {
    return service.GetDevCaps(hLineApp, dwDeviceID, dwAPIVersion, dwExtVersion, lpLineDevCaps);
  });
}

LONG lineGetAddressCaps(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAddressID, DWORD dwAPIVersion, DWORD dwExtVersion,
                        LINEADDRESSCAPS* lpAddressCaps) {
  return Served([&](TTapiService& service) {
    return service.GetAddressCaps(hLineApp, dwDeviceID, dwAddressID, dwAPIVersion, dwExtVersion, lpAddressCaps);
  });
}

LONG lineOpen(HLINEAPP hLineApp, DWORD dwDeviceID, HLINE* lphLine, DWORD dwAPIVersion, DWORD dwExtVersion,
              DWORD_PTR dwCallbackInstance, DWORD dwPrivileges, DWORD dwMediaModes, const LINECALLPARAMS*) {
  return Served([&](TTapiService& service) {
    return service.Open(hLineApp, dwDeviceID, lphLine, dwAPIVersion, dwExtVersion, dwCallbackInstance, dwPrivileges,
                        dwMediaModes);
  });
}

LONG lineClose(HLINE hLine) {
  return Served([&](TTapiService& service) { return service.Close(hLine); });
}

LONG lineSetStatusMessages(HLINE hLine, DWORD dwLineStates, DWORD dwAddressStates) {
  return Served([&](TTapiService& service) { return service.SetStatusMessages(hLine, dwLineStates, dwAddressStates); });
}

LONG lineGetStatusMessages(HLINE hLine, DWORD* lpdwLineStates, DWORD* lpdwAddressStates) {
  return Served(
      [&](TTapiService& service) { return service.GetStatusMessages(hLine, lpdwLineStates, lpdwAddressStates); });
}

LONG lineGetMessage(HLINEAPP hLineApp, LINEMESSAGE* lpMessage, DWORD dwTimeout) {
  return Served([&](TTapiService& service) { return service.GetMessage(hLineApp, lpMessage, dwTimeout, false); });
}

LONG lineGetNewCalls(HLINE hLine, DWORD dwAddressID, DWORD dwSelect, LINECALLLIST* lpCallList) {
  return Served([&](TTapiService& service) { return service.GetNewCalls(hLine, dwAddressID, dwSelect, lpCallList); });
}

LONG lineGetCallInfo(HCALL hCall, LINECALLINFO* lpCallInfo) {
  return Served([&](TTapiService& service) { return service.GetCallInfo(hCall, lpCallInfo); });
}

LONG lineGetCallStatus(HCALL hCall, LINECALLSTATUS* lpCallStatus) {
  return Served([&](TTapiService& service) { return service.GetCallStatus(hCall, lpCallStatus); });
}

LONG lineGetAddressStatus(HLINE hLine, DWORD dwAddressID, LINEADDRESSSTATUS* lpAddressStatus) {
  return Served([&](TTapiService& service) { return service.GetAddressStatus(hLine, dwAddressID, lpAddressStatus); });
}

LONG lineAnswer(HCALL hCall, const char*, DWORD) {
  return Served([&](TTapiService& service) { return service.Answer(hCall); });
}

LONG lineDrop(HCALL hCall, const char*, DWORD) {
  return Served([&](TTapiService& service) { return service.Drop(hCall); });
}

LONG lineHold(HCALL hCall) {
  return Served([&](TTapiService& service) { return service.Hold(hCall); });
}

LONG lineUnhold(HCALL hCall) {
  return Served([&](TTapiService& service) { return service.Unhold(hCall); });
}

LONG lineDevSpecific(HLINE, DWORD, HCALL hCall, void* lpParams, DWORD dwSize) {
  if (lpParams == nullptr && dwSize != 0) return LINEERR_INVALPOINTER;
  const std::string params(static_cast<const char*>(lpParams), lpParams == nullptr ? 0 : dwSize);
  return Served([&](TTapiService& service) { return service.DevSpecific(hCall, params); });
}

LONG lineDial(HCALL hCall, const char* lpszDestAddress, DWORD) {
  return Served([&](TTapiService& service) { return service.Dial(hCall, lpszDestAddress); });
}

LONG lineMakeCall(HLINE hLine, HCALL* lphCall, const char* lpszDestAddress, DWORD, const LINECALLPARAMS* lpCallParams) {
  return Served([&](TTapiService& service) { return service.MakeCall(hLine, lphCall, lpszDestAddress, lpCallParams); });
}

LONG lineBlindTransfer(HCALL hCall, const char* lpszDestAddress, DWORD) {
  return Served([&](TTapiService& service) { return service.BlindTransfer(hCall, lpszDestAddress); });
}

LONG lineSetupTransfer(HCALL hCall, HCALL* lphConsultCall, const LINECALLPARAMS*) {
  return Served([&](TTapiService& service) { return service.SetupTransfer(hCall, lphConsultCall); });
}

LONG lineCompleteTransfer(HCALL hCall, HCALL hConsultCall, HCALL* lphConfCall, DWORD dwTransferMode) {
  return Served([&](TTapiService& service) {
    return service.CompleteTransfer(hCall, hConsultCall, lphConfCall, dwTransferMode);
  });
}

LONG lineForward(HLINE hLine, DWORD bAllAddresses, DWORD dwAddressID, const LINEFORWARDLIST* lpForwardList, DWORD,
                 HCALL* lphConsultCall, const LINECALLPARAMS*) {
  return Served([&](TTapiService& service) {
    return service.Forward(hLine, bAllAddresses != 0, dwAddressID, lpForwardList, lphConsultCall);
  });
}

LONG lineDeallocateCall(HCALL hCall) {
  return Served([&](TTapiService& service) { return service.DeallocateCall(hCall); });
}

LONG lineMonitorDigits(HCALL hCall, DWORD dwDigitModes) {
  return Served([&](TTapiService& service) { return service.MonitorDigits(hCall, dwDigitModes); });
}

LONG lineSetCallPrivilege(HCALL hCall, DWORD dwCallPrivilege) {
  return Served([&](TTapiService& service) { return service.SetCallPrivilege(hCall, dwCallPrivilege); });
}

// Assisted-telephony requests are not offered by this exchange.
LONG lineGetRequest(HLINEAPP, DWORD dwRequestMode, void* lpRequestBuffer) {
  if (lpRequestBuffer == nullptr) return LINEERR_INVALPOINTER;
  if (dwRequestMode != LINEREQUESTMODE_MAKECALL) return LINEERR_INVALREQUESTMODE;
  return LINEERR_NOREQUEST;
}

LONG phoneInitializeEx(HPHONEAPP* lphPhoneApp, void*, void*, const char*, DWORD* lpdwNumDevs, DWORD* lpdwAPIVersion,
                       PHONEINITIALIZEEXPARAMS* lpPhoneInitializeExParams) {
  return Served(
      [&](TTapiService& service) {
        return service.Initialize(lphPhoneApp, lpdwNumDevs, lpdwAPIVersion, lpPhoneInitializeExParams, true);
      },
      PHONEERR_OPERATIONFAILED);
}

LONG phoneShutdown(HPHONEAPP hPhoneApp) {
  return Served([&](TTapiService& service) { return service.Shutdown(hPhoneApp, true); }, PHONEERR_OPERATIONFAILED);
}

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
  return Served([&](TTapiService& service) { return service.GetMessage(hPhoneApp, lpMessage, dwTimeout, true); },
                PHONEERR_OPERATIONFAILED);
}

}  // extern "C"

std::shared_ptr<vantrel::platform::Event> TapiEventForHandle(HANDLE handle) {
  TTapiService* service = vantrel::telephony::TelephonyApiService();
  return service == nullptr ? nullptr : service->EventForHandle(handle);
}
