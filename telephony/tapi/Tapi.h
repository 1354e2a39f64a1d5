// The Telephony API the device layer is written against: TAPI 2.x names, constants, message identifiers and
// record layouts (32-bit fields, the sizes of the Win32 headers), served by the software exchange of this
// process. Handles are 32-bit numbers; an event handle names a platform event (see TapiEventForHandle).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace vantrel::platform {
class Event;
}

using DWORD = std::uint32_t;
using LONG = std::int32_t;
using HLINEAPP = DWORD;
using HLINE = DWORD;
using HCALL = DWORD;
using HPHONEAPP = DWORD;
using HPHONE = DWORD;
using HANDLE = DWORD;
using DWORD_PTR = DWORD;  // callback instances are 32-bit identifiers here, as in the 32-bit records

// Messages (dwMessageID of LINEMESSAGE / PHONEMESSAGE).
constexpr DWORD LINE_ADDRESSSTATE = 0;
constexpr DWORD LINE_CALLINFO = 1;
constexpr DWORD LINE_CALLSTATE = 2;
constexpr DWORD LINE_CLOSE = 3;
constexpr DWORD LINE_DEVSPECIFIC = 4;
constexpr DWORD LINE_DEVSPECIFICFEATURE = 5;
constexpr DWORD LINE_GATHERDIGITS = 6;
constexpr DWORD LINE_GENERATE = 7;
constexpr DWORD LINE_LINEDEVSTATE = 8;
constexpr DWORD LINE_MONITORDIGITS = 9;
constexpr DWORD LINE_MONITORMEDIA = 10;
constexpr DWORD LINE_MONITORTONE = 11;
constexpr DWORD LINE_REPLY = 12;
constexpr DWORD LINE_REQUEST = 13;
constexpr DWORD PHONE_BUTTON = 14;
constexpr DWORD PHONE_CLOSE = 15;
constexpr DWORD PHONE_DEVSPECIFIC = 16;
constexpr DWORD PHONE_REPLY = 17;
constexpr DWORD PHONE_STATE = 18;
constexpr DWORD LINE_CREATE = 19;
constexpr DWORD PHONE_CREATE = 20;
constexpr DWORD LINE_AGENTSPECIFIC = 21;
constexpr DWORD LINE_AGENTSTATUS = 22;
constexpr DWORD LINE_APPNEWCALL = 23;
constexpr DWORD LINE_PROXYREQUEST = 24;
constexpr DWORD LINE_REMOVE = 25;
constexpr DWORD PHONE_REMOVE = 26;

// Call states and their modes.
constexpr DWORD LINECALLSTATE_IDLE = 0x1;
constexpr DWORD LINECALLSTATE_OFFERING = 0x2;
constexpr DWORD LINECALLSTATE_ACCEPTED = 0x4;
constexpr DWORD LINECALLSTATE_DIALTONE = 0x8;
constexpr DWORD LINECALLSTATE_DIALING = 0x10;
constexpr DWORD LINECALLSTATE_RINGBACK = 0x20;
constexpr DWORD LINECALLSTATE_BUSY = 0x40;
constexpr DWORD LINECALLSTATE_SPECIALINFO = 0x80;
constexpr DWORD LINECALLSTATE_CONNECTED = 0x100;
constexpr DWORD LINECALLSTATE_PROCEEDING = 0x200;
constexpr DWORD LINECALLSTATE_ONHOLD = 0x400;
constexpr DWORD LINECALLSTATE_CONFERENCED = 0x800;
constexpr DWORD LINECALLSTATE_ONHOLDPENDCONF = 0x1000;
constexpr DWORD LINECALLSTATE_ONHOLDPENDTRANSFER = 0x2000;
constexpr DWORD LINECALLSTATE_DISCONNECTED = 0x4000;
constexpr DWORD LINECALLSTATE_UNKNOWN = 0x8000;

constexpr DWORD LINEOFFERINGMODE_ACTIVE = 0x1;
constexpr DWORD LINEDIALTONEMODE_NORMAL = 0x1;
constexpr DWORD LINEDIALTONEMODE_INTERNAL = 0x4;
constexpr DWORD LINEBUSYMODE_STATION = 0x1;
constexpr DWORD LINEBUSYMODE_TRUNK = 0x2;
constexpr DWORD LINECONNECTEDMODE_ACTIVE = 0x1;
constexpr DWORD LINEDISCONNECTMODE_NORMAL = 0x1;
constexpr DWORD LINEDISCONNECTMODE_UNKNOWN = 0x2;
constexpr DWORD LINEDISCONNECTMODE_REJECT = 0x4;
constexpr DWORD LINEDISCONNECTMODE_FORWARDED = 0x10;
constexpr DWORD LINEDISCONNECTMODE_BUSY = 0x20;
constexpr DWORD LINEDISCONNECTMODE_NOANSWER = 0x40;
constexpr DWORD LINEDISCONNECTMODE_BADADDRESS = 0x80;

constexpr DWORD LINECALLPRIVILEGE_NONE = 0x1;
constexpr DWORD LINECALLPRIVILEGE_MONITOR = 0x2;
constexpr DWORD LINECALLPRIVILEGE_OWNER = 0x4;

constexpr DWORD LINECALLFEATURE_ACCEPT = 0x1;
constexpr DWORD LINECALLFEATURE_ANSWER = 0x4;
constexpr DWORD LINECALLFEATURE_BLINDTRANSFER = 0x8;
constexpr DWORD LINECALLFEATURE_COMPLETETRANSF = 0x20;
constexpr DWORD LINECALLFEATURE_DIAL = 0x40;
constexpr DWORD LINECALLFEATURE_DROP = 0x80;
constexpr DWORD LINECALLFEATURE_HOLD = 0x800;
constexpr DWORD LINECALLFEATURE_MONITORDIGITS = 0x1000;
constexpr DWORD LINECALLFEATURE_SETUPTRANSFER = 0x2000000;
constexpr DWORD LINECALLFEATURE_UNHOLD = 0x8000000;

constexpr DWORD LINECALLINFOSTATE_OTHER = 0x1;
constexpr DWORD LINECALLINFOSTATE_DEVSPECIFIC = 0x2;
constexpr DWORD LINECALLINFOSTATE_MEDIAMODE = 0x10;
constexpr DWORD LINECALLINFOSTATE_CALLID = 0x40;
constexpr DWORD LINECALLINFOSTATE_RELATEDCALLID = 0x80;
constexpr DWORD LINECALLINFOSTATE_ORIGIN = 0x100;
constexpr DWORD LINECALLINFOSTATE_REASON = 0x200;
constexpr DWORD LINECALLINFOSTATE_NUMOWNERINCR = 0x800;
constexpr DWORD LINECALLINFOSTATE_NUMOWNERDECR = 0x1000;
constexpr DWORD LINECALLINFOSTATE_NUMMONITORS = 0x2000;
constexpr DWORD LINECALLINFOSTATE_CALLERID = 0x8000;
constexpr DWORD LINECALLINFOSTATE_CALLEDID = 0x10000;
constexpr DWORD LINECALLINFOSTATE_CONNECTEDID = 0x20000;
constexpr DWORD LINECALLINFOSTATE_REDIRECTIONID = 0x40000;
constexpr DWORD LINECALLINFOSTATE_REDIRECTINGID = 0x80000;
constexpr DWORD LINECALLINFOSTATE_MONITORMODES = 0x8000000;

constexpr DWORD LINECALLORIGIN_OUTBOUND = 0x1;
constexpr DWORD LINECALLORIGIN_INTERNAL = 0x2;
constexpr DWORD LINECALLORIGIN_EXTERNAL = 0x4;
constexpr DWORD LINECALLORIGIN_UNKNOWN = 0x10;
constexpr DWORD LINECALLORIGIN_UNAVAIL = 0x20;
constexpr DWORD LINECALLORIGIN_INBOUND = 0x80;

constexpr DWORD LINECALLREASON_DIRECT = 0x1;
constexpr DWORD LINECALLREASON_FWDUNCOND = 0x8;
constexpr DWORD LINECALLREASON_TRANSFER = 0x100;

constexpr DWORD LINECALLPARTYID_BLOCKED = 0x1;
constexpr DWORD LINECALLPARTYID_OUTOFAREA = 0x2;
constexpr DWORD LINECALLPARTYID_NAME = 0x4;
constexpr DWORD LINECALLPARTYID_ADDRESS = 0x8;
constexpr DWORD LINECALLPARTYID_PARTIAL = 0x10;
constexpr DWORD LINECALLPARTYID_UNKNOWN = 0x20;
constexpr DWORD LINECALLPARTYID_UNAVAIL = 0x40;

constexpr DWORD LINECALLSELECT_LINE = 0x1;
constexpr DWORD LINECALLSELECT_ADDRESS = 0x2;
constexpr DWORD LINECALLSELECT_CALL = 0x4;

constexpr DWORD LINEDEVSTATE_OTHER = 0x1;
constexpr DWORD LINEDEVSTATE_RINGING = 0x2;
constexpr DWORD LINEDEVSTATE_OPEN = 0x200;
constexpr DWORD LINEDEVSTATE_CLOSE = 0x400;
constexpr DWORD LINEDEVSTATE_NUMCALLS = 0x800;
constexpr DWORD LINEDEVSTATE_REINIT = 0x40000;
constexpr DWORD LINEDEVSTATE_CAPSCHANGE = 0x100000;
constexpr DWORD LINEDEVSTATE_TRANSLATECHANGE = 0x400000;
constexpr DWORD LINEDEVSTATE_REMOVED = 0x1000000;
constexpr DWORD LINEDEVSTATE_ALL = 0x01FFFFFF;

constexpr DWORD LINEADDRESSSTATE_OTHER = 0x1;
constexpr DWORD LINEADDRESSSTATE_INUSEZERO = 0x4;
constexpr DWORD LINEADDRESSSTATE_INUSEONE = 0x8;
constexpr DWORD LINEADDRESSSTATE_NUMCALLS = 0x20;
constexpr DWORD LINEADDRESSSTATE_FORWARD = 0x40;
constexpr DWORD LINEADDRESSSTATE_CAPSCHANGE = 0x100;
constexpr DWORD LINEADDRESSSTATE_ALL = 0x1FF;

constexpr DWORD LINEFORWARDMODE_UNCOND = 0x1;

constexpr DWORD LINETRANSFERMODE_TRANSFER = 0x1;
constexpr DWORD LINETRANSFERMODE_CONFERENCE = 0x2;

constexpr DWORD LINEMEDIAMODE_UNKNOWN = 0x2;
constexpr DWORD LINEMEDIAMODE_INTERACTIVEVOICE = 0x4;
constexpr DWORD LINEMEDIAMODE_AUTOMATEDVOICE = 0x8;
constexpr DWORD LINEBEARERMODE_VOICE = 0x1;
constexpr DWORD LINEADDRESSMODE_ADDRESSID = 0x1;
constexpr DWORD LINEADDRESSMODE_DIALABLEADDR = 0x2;
constexpr DWORD LINECALLPARAMFLAGS_BLOCKID = 0x4;

constexpr DWORD LINEDIGITMODE_PULSE = 0x1;
constexpr DWORD LINEDIGITMODE_DTMF = 0x2;
constexpr DWORD LINEDIGITMODE_DTMFEND = 0x4;

constexpr DWORD LINEADDRESSSHARING_PRIVATE = 0x1;
constexpr DWORD LINEBEARERMODE_ALL = LINEBEARERMODE_VOICE;
constexpr DWORD LINEREQUESTMODE_MAKECALL = 0x1;
constexpr DWORD LINEINITIALIZEEXOPTION_USEHIDDENWINDOW = 0x1;
constexpr DWORD LINEINITIALIZEEXOPTION_USEEVENT = 0x2;
constexpr DWORD LINEINITIALIZEEXOPTION_USECOMPLETIONPORT = 0x3;
constexpr DWORD PHONEINITIALIZEEXOPTION_USEEVENT = 0x2;

// Results. Negative values are failures; asynchronous functions return a positive request identifier.
constexpr LONG AsTapiResult(DWORD code) { return static_cast<LONG>(code); }
constexpr LONG LINEERR_ALLOCATED = AsTapiResult(0x80000001);
constexpr LONG LINEERR_BADDEVICEID = AsTapiResult(0x80000002);
constexpr LONG LINEERR_CALLUNAVAIL = AsTapiResult(0x80000005);
constexpr LONG LINEERR_INCOMPATIBLEAPIVERSION = AsTapiResult(0x8000000C);
constexpr LONG LINEERR_INCOMPATIBLEEXTVERSION = AsTapiResult(0x8000000D);
constexpr LONG LINEERR_INUSE = AsTapiResult(0x8000000F);
constexpr LONG LINEERR_INVALADDRESS = AsTapiResult(0x80000010);
constexpr LONG LINEERR_INVALADDRESSID = AsTapiResult(0x80000011);
constexpr LONG LINEERR_INVALADDRESSSTATE = AsTapiResult(0x80000013);
constexpr LONG LINEERR_INVALAPPHANDLE = AsTapiResult(0x80000014);
constexpr LONG LINEERR_INVALAPPNAME = AsTapiResult(0x80000015);
constexpr LONG LINEERR_INVALCALLHANDLE = AsTapiResult(0x80000018);
constexpr LONG LINEERR_INVALCALLPARAMS = AsTapiResult(0x80000019);
constexpr LONG LINEERR_INVALCALLPRIVILEGE = AsTapiResult(0x8000001A);
constexpr LONG LINEERR_INVALCALLSELECT = AsTapiResult(0x8000001B);
constexpr LONG LINEERR_INVALCALLSTATE = AsTapiResult(0x8000001C);
constexpr LONG LINEERR_INVALCONSULTCALLHANDLE = AsTapiResult(0x80000021);
constexpr LONG LINEERR_INVALCOUNTRYCODE = AsTapiResult(0x80000022);
constexpr LONG LINEERR_INVALDIGITMODE = AsTapiResult(0x80000027);
constexpr LONG LINEERR_INVALLINEHANDLE = AsTapiResult(0x8000002B);
constexpr LONG LINEERR_INVALLINESTATE = AsTapiResult(0x8000002C);
constexpr LONG LINEERR_INVALMEDIAMODE = AsTapiResult(0x8000002F);
constexpr LONG LINEERR_INVALPARAM = AsTapiResult(0x80000032);
constexpr LONG LINEERR_INVALPOINTER = AsTapiResult(0x80000035);
constexpr LONG LINEERR_INVALPRIVSELECT = AsTapiResult(0x80000036);
constexpr LONG LINEERR_INVALREQUESTMODE = AsTapiResult(0x80000038);
constexpr LONG LINEERR_INVALTRANSFERMODE = AsTapiResult(0x8000003F);
constexpr LONG LINEERR_NODEVICE = AsTapiResult(0x80000042);
constexpr LONG LINEERR_NOMEM = AsTapiResult(0x80000044);
constexpr LONG LINEERR_NOREQUEST = AsTapiResult(0x80000045);
constexpr LONG LINEERR_NOTOWNER = AsTapiResult(0x80000046);
constexpr LONG LINEERR_OPERATIONFAILED = AsTapiResult(0x80000048);
constexpr LONG LINEERR_OPERATIONUNAVAIL = AsTapiResult(0x80000049);
constexpr LONG LINEERR_RESOURCEUNAVAIL = AsTapiResult(0x8000004B);
constexpr LONG LINEERR_STRUCTURETOOSMALL = AsTapiResult(0x8000004D);
constexpr LONG LINEERR_TARGETSELF = AsTapiResult(0x8000004F);
constexpr LONG LINEERR_UNINITIALIZED = AsTapiResult(0x80000050);
constexpr LONG LINEERR_NOMULTIPLEINSTANCE = AsTapiResult(0x80000056);
constexpr LONG PHONEERR_BADDEVICEID = AsTapiResult(0x90000002);
constexpr LONG PHONEERR_INVALAPPHANDLE = AsTapiResult(0x9000000B);
constexpr LONG PHONEERR_INVALPOINTER = AsTapiResult(0x9000001D);
constexpr LONG PHONEERR_NODEVICE = AsTapiResult(0x90000022);
constexpr LONG PHONEERR_OPERATIONFAILED = AsTapiResult(0x90000025);
constexpr LONG PHONEERR_STRUCTURETOOSMALL = AsTapiResult(0x9000002A);
constexpr LONG PHONEERR_UNINITIALIZED = AsTapiResult(0x9000002D);

// Records. Variable-size records start with total, needed and used size; strings are size/offset pairs
// into the same buffer, sizes counting the terminating zero.
struct LINEDIALPARAMS {
  DWORD dwDialPause, dwDialSpeed, dwDigitDuration, dwWaitForDialtone;
};

struct LINEINITIALIZEEXPARAMS {
  DWORD dwTotalSize, dwNeededSize, dwUsedSize, dwOptions;
  HANDLE hEvent;  // the Handles union: the event handle in event mode
  DWORD dwCompletionKey;
};

struct LINEMESSAGE {
  DWORD hDevice, dwMessageID;
  DWORD_PTR dwCallbackInstance;
  DWORD dwParam1, dwParam2, dwParam3;
};
using PHONEINITIALIZEEXPARAMS = LINEINITIALIZEEXPARAMS;
using PHONEMESSAGE = LINEMESSAGE;

struct LINEEXTENSIONID {
  DWORD dwExtensionID0, dwExtensionID1, dwExtensionID2, dwExtensionID3;
};

struct LINEDEVCAPS {
  DWORD dwTotalSize, dwNeededSize, dwUsedSize;
  DWORD dwProviderInfoSize, dwProviderInfoOffset, dwSwitchInfoSize, dwSwitchInfoOffset;
  DWORD dwPermanentLineID, dwLineNameSize, dwLineNameOffset, dwStringFormat, dwAddressModes, dwNumAddresses;
  DWORD dwBearerModes, dwMaxRate, dwMediaModes, dwGenerateToneModes, dwGenerateToneMaxNumFreq;
  DWORD dwGenerateDigitModes, dwMonitorToneMaxNumFreq, dwMonitorToneMaxNumEntries, dwMonitorDigitModes;
  DWORD dwGatherDigitsMinTimeout, dwGatherDigitsMaxTimeout, dwMedCtlDigitMaxListSize, dwMedCtlMediaMaxListSize;
  DWORD dwMedCtlToneMaxListSize, dwMedCtlCallStateMaxListSize, dwDevCapFlags, dwMaxNumActiveCalls;
  DWORD dwAnswerMode, dwRingModes, dwLineStates;
  DWORD dwUUIAcceptSize, dwUUIAnswerSize, dwUUIMakeCallSize, dwUUIDropSize, dwUUISendUserUserInfoSize;
  DWORD dwUUICallInfoSize;
  LINEDIALPARAMS MinDialParams, MaxDialParams, DefaultDialParams;
  DWORD dwNumTerminals, dwTerminalCapsSize, dwTerminalCapsOffset, dwTerminalTextEntrySize;
  DWORD dwTerminalTextSize, dwTerminalTextOffset, dwDevSpecificSize, dwDevSpecificOffset;
  DWORD dwLineFeatures, dwSettableDevStatus, dwDeviceClassesSize, dwDeviceClassesOffset;
};

struct LINEADDRESSCAPS {
  DWORD dwTotalSize, dwNeededSize, dwUsedSize;
  DWORD dwLineDeviceID, dwAddressSize, dwAddressOffset, dwDevSpecificSize, dwDevSpecificOffset;
  DWORD dwAddressSharing, dwAddressStates, dwCallInfoStates, dwCallerIDFlags, dwCalledIDFlags;
  DWORD dwConnectedIDFlags, dwRedirectionIDFlags, dwRedirectingIDFlags, dwCallStates, dwDialToneModes;
  DWORD dwBusyModes, dwSpecialInfo, dwDisconnectModes, dwMaxNumActiveCalls, dwMaxNumOnHoldCalls;
  DWORD dwMaxNumOnHoldPendingCalls, dwMaxNumConference, dwMaxNumTransConf, dwAddrCapFlags, dwCallFeatures;
  DWORD dwRemoveFromConfCaps, dwRemoveFromConfState, dwTransferModes, dwParkModes, dwForwardModes;
  DWORD dwMaxForwardEntries, dwMaxSpecificEntries, dwMinFwdNumRings, dwMaxFwdNumRings, dwMaxCallCompletions;
  DWORD dwCallCompletionConds, dwCallCompletionModes, dwNumCompletionMessages, dwCompletionMsgTextEntrySize;
  DWORD dwCompletionMsgTextSize, dwCompletionMsgTextOffset, dwAddressFeatures, dwPredictiveAutoTransferStates;
  DWORD dwNumCallTreatments, dwCallTreatmentListSize, dwCallTreatmentListOffset, dwDeviceClassesSize;
  DWORD dwDeviceClassesOffset, dwMaxCallDataSize, dwCallFeatures2, dwMaxNoAnswerTimeout, dwConnectedModes;
  DWORD dwOfferingModes, dwAvailableMediaModes;
};

struct LINEADDRESSSTATUS {
  DWORD dwTotalSize, dwNeededSize, dwUsedSize;
  DWORD dwNumInUse, dwNumActiveCalls, dwNumOnHoldCalls, dwNumOnHoldPendCalls, dwAddressFeatures;
  DWORD dwNumRingsNoAnswer, dwForwardNumEntries, dwForwardSize, dwForwardOffset;
  DWORD dwTerminalModesSize, dwTerminalModesOffset, dwDevSpecificSize, dwDevSpecificOffset;
};

struct LINEFORWARD {
  DWORD dwForwardMode, dwCallerAddressSize, dwCallerAddressOffset, dwDestCountryCode;
  DWORD dwDestAddressSize, dwDestAddressOffset;
};

struct LINEFORWARDLIST {
  DWORD dwTotalSize, dwNumEntries;
  LINEFORWARD ForwardList[1];
};

struct LINECALLINFO {
  DWORD dwTotalSize, dwNeededSize, dwUsedSize;
  HLINE hLine;
  DWORD dwLineDeviceID, dwAddressID, dwBearerMode, dwRate, dwMediaMode, dwAppSpecific, dwCallID;
  DWORD dwRelatedCallID, dwCallParamFlags, dwCallStates, dwMonitorDigitModes, dwMonitorMediaModes;
  LINEDIALPARAMS DialParams;
  DWORD dwOrigin, dwReason, dwCompletionID, dwNumOwners, dwNumMonitors, dwCountryCode, dwTrunk;
  DWORD dwCallerIDFlags, dwCallerIDSize, dwCallerIDOffset, dwCallerIDNameSize, dwCallerIDNameOffset;
  DWORD dwCalledIDFlags, dwCalledIDSize, dwCalledIDOffset, dwCalledIDNameSize, dwCalledIDNameOffset;
  DWORD dwConnectedIDFlags, dwConnectedIDSize, dwConnectedIDOffset, dwConnectedIDNameSize, dwConnectedIDNameOffset;
  DWORD dwRedirectionIDFlags, dwRedirectionIDSize, dwRedirectionIDOffset, dwRedirectionIDNameSize;
  DWORD dwRedirectionIDNameOffset;
  DWORD dwRedirectingIDFlags, dwRedirectingIDSize, dwRedirectingIDOffset, dwRedirectingIDNameSize;
  DWORD dwRedirectingIDNameOffset;
  DWORD dwAppNameSize, dwAppNameOffset, dwDisplayableAddressSize, dwDisplayableAddressOffset;
  DWORD dwCalledPartySize, dwCalledPartyOffset, dwCommentSize, dwCommentOffset, dwDisplaySize, dwDisplayOffset;
  DWORD dwUserUserInfoSize, dwUserUserInfoOffset, dwHighLevelCompSize, dwHighLevelCompOffset;
  DWORD dwLowLevelCompSize, dwLowLevelCompOffset, dwChargingInfoSize, dwChargingInfoOffset;
  DWORD dwTerminalModesSize, dwTerminalModesOffset, dwDevSpecificSize, dwDevSpecificOffset;
  DWORD dwCallTreatment, dwCallDataSize, dwCallDataOffset, dwSendingFlowspecSize, dwSendingFlowspecOffset;
  DWORD dwReceivingFlowspecSize, dwReceivingFlowspecOffset;
};

struct SYSTEMTIME {
  std::uint16_t wYear, wMonth, wDayOfWeek, wDay, wHour, wMinute, wSecond, wMilliseconds;
};

struct LINECALLSTATUS {
  DWORD dwTotalSize, dwNeededSize, dwUsedSize;
  DWORD dwCallState, dwCallStateMode, dwCallPrivilege, dwCallFeatures, dwDevSpecificSize, dwDevSpecificOffset;
  DWORD dwCallFeatures2;
  SYSTEMTIME tStateEntryTime;
};

struct LINECALLLIST {
  DWORD dwTotalSize, dwNeededSize, dwUsedSize;
  DWORD dwCallsNumEntries, dwCallsSize, dwCallsOffset;
};

struct LINECALLPARAMS {
  DWORD dwTotalSize, dwBearerMode, dwMinRate, dwMaxRate, dwMediaMode, dwCallParamFlags, dwAddressMode;
  DWORD dwAddressID;
  LINEDIALPARAMS DialParams;
  DWORD dwOrigAddressSize, dwOrigAddressOffset, dwDisplayableAddressSize, dwDisplayableAddressOffset;
  DWORD dwCalledPartySize, dwCalledPartyOffset, dwCommentSize, dwCommentOffset;
  DWORD dwUserUserInfoSize, dwUserUserInfoOffset, dwHighLevelCompSize, dwHighLevelCompOffset;
  DWORD dwLowLevelCompSize, dwLowLevelCompOffset, dwDevSpecificSize, dwDevSpecificOffset;
  DWORD dwPredictiveAutoTransferStates, dwTargetAddressSize, dwTargetAddressOffset;
  DWORD dwSendingFlowspecSize, dwSendingFlowspecOffset, dwReceivingFlowspecSize, dwReceivingFlowspecOffset;
  DWORD dwDeviceClassSize, dwDeviceClassOffset, dwDeviceConfigSize, dwDeviceConfigOffset;
  DWORD dwCallDataSize, dwCallDataOffset, dwNoAnswerTimeout, dwCallingPartyIDSize, dwCallingPartyIDOffset;
};

struct LINEREQMAKECALL {
  char szDestAddress[80];
  char szAppName[40];
  char szCalledParty[40];
  char szComment[80];
};

struct PHONECAPS {
  DWORD dwTotalSize, dwNeededSize, dwUsedSize;
  DWORD dwProviderInfoSize, dwProviderInfoOffset, dwPhoneInfoSize, dwPhoneInfoOffset, dwPermanentPhoneID;
  DWORD dwPhoneNameSize, dwPhoneNameOffset;
  DWORD dwRest[35];  // the further fields of the record, all zero: no phone devices here
};

static_assert(sizeof(LINEINITIALIZEEXPARAMS) == 24);
static_assert(sizeof(LINEMESSAGE) == 24);
static_assert(sizeof(LINEDEVCAPS) == 252);
static_assert(sizeof(LINEADDRESSCAPS) == 228);
static_assert(sizeof(LINEADDRESSSTATUS) == 64);
static_assert(sizeof(LINEFORWARDLIST) == 32);
static_assert(sizeof(LINECALLINFO) == 324);
static_assert(sizeof(LINECALLSTATUS) == 56);
static_assert(sizeof(LINECALLLIST) == 24);
static_assert(sizeof(LINECALLPARAMS) == 176);
static_assert(sizeof(LINEREQMAKECALL) == 240);
static_assert(sizeof(PHONECAPS) == 180);

extern "C" {
LONG lineInitializeEx(HLINEAPP* lphLineApp, void* hInstance, void* lpfnCallback, const char* lpszFriendlyAppName,
                      DWORD* lpdwNumDevs, DWORD* lpdwAPIVersion, LINEINITIALIZEEXPARAMS* lpLineInitializeExParams);
LONG lineShutdown(HLINEAPP hLineApp);
LONG lineNegotiateAPIVersion(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPILowVersion, DWORD dwAPIHighVersion,
                             DWORD* lpdwAPIVersion, LINEEXTENSIONID* lpExtensionID);
LONG lineNegotiateExtVersion(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPIVersion, DWORD dwExtLowVersion,
                             DWORD dwExtHighVersion, DWORD* lpdwExtVersion);
LONG lineGetDevCaps(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPIVersion, DWORD dwExtVersion,
                    LINEDEVCAPS* lpLineDevCaps);
LONG lineGetAddressCaps(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAddressID, DWORD dwAPIVersion, DWORD dwExtVersion,
                        LINEADDRESSCAPS* lpAddressCaps);
LONG lineOpen(HLINEAPP hLineApp, DWORD dwDeviceID, HLINE* lphLine, DWORD dwAPIVersion, DWORD dwExtVersion,
              DWORD_PTR dwCallbackInstance, DWORD dwPrivileges, DWORD dwMediaModes, const LINECALLPARAMS* lpCallParams);
LONG lineClose(HLINE hLine);
LONG lineSetStatusMessages(HLINE hLine, DWORD dwLineStates, DWORD dwAddressStates);
LONG lineGetStatusMessages(HLINE hLine, DWORD* lpdwLineStates, DWORD* lpdwAddressStates);
LONG lineGetMessage(HLINEAPP hLineApp, LINEMESSAGE* lpMessage, DWORD dwTimeout);
LONG lineGetNewCalls(HLINE hLine, DWORD dwAddressID, DWORD dwSelect, LINECALLLIST* lpCallList);
LONG lineGetCallInfo(HCALL hCall, LINECALLINFO* lpCallInfo);
LONG lineGetCallStatus(HCALL hCall, LINECALLSTATUS* lpCallStatus);
LONG lineGetAddressStatus(HLINE hLine, DWORD dwAddressID, LINEADDRESSSTATUS* lpAddressStatus);
LONG lineAnswer(HCALL hCall, const char* lpsUserUserInfo, DWORD dwSize);
LONG lineDrop(HCALL hCall, const char* lpsUserUserInfo, DWORD dwSize);
LONG lineHold(HCALL hCall);
LONG lineUnhold(HCALL hCall);
LONG lineDial(HCALL hCall, const char* lpszDestAddress, DWORD dwCountryCode);
LONG lineMakeCall(HLINE hLine, HCALL* lphCall, const char* lpszDestAddress, DWORD dwCountryCode,
                  const LINECALLPARAMS* lpCallParams);
LONG lineBlindTransfer(HCALL hCall, const char* lpszDestAddress, DWORD dwCountryCode);
LONG lineSetupTransfer(HCALL hCall, HCALL* lphConsultCall, const LINECALLPARAMS* lpCallParams);
LONG lineCompleteTransfer(HCALL hCall, HCALL hConsultCall, HCALL* lphConfCall, DWORD dwTransferMode);
LONG lineForward(HLINE hLine, DWORD bAllAddresses, DWORD dwAddressID, const LINEFORWARDLIST* lpForwardList,
                 DWORD dwNumRingsNoAnswer, HCALL* lphConsultCall, const LINECALLPARAMS* lpCallParams);
LONG lineDeallocateCall(HCALL hCall);
LONG lineMonitorDigits(HCALL hCall, DWORD dwDigitModes);
// The provider's own operations on a call (hLine and dwAddressID are not used: the call names its line).
LONG lineDevSpecific(HLINE hLine, DWORD dwAddressID, HCALL hCall, void* lpParams, DWORD dwSize);
LONG lineSetCallPrivilege(HCALL hCall, DWORD dwCallPrivilege);
LONG lineGetRequest(HLINEAPP hLineApp, DWORD dwRequestMode, void* lpRequestBuffer);

LONG phoneInitializeEx(HPHONEAPP* lphPhoneApp, void* hInstance, void* lpfnCallback, const char* lpszFriendlyAppName,
                       DWORD* lpdwNumDevs, DWORD* lpdwAPIVersion, PHONEINITIALIZEEXPARAMS* lpPhoneInitializeExParams);
LONG phoneShutdown(HPHONEAPP hPhoneApp);
LONG phoneNegotiateAPIVersion(HPHONEAPP hPhoneApp, DWORD dwDeviceID, DWORD dwAPILowVersion, DWORD dwAPIHighVersion,
                              DWORD* lpdwAPIVersion, LINEEXTENSIONID* lpExtensionID);
LONG phoneGetDevCaps(HPHONEAPP hPhoneApp, DWORD dwDeviceID, DWORD dwAPIVersion, DWORD dwExtVersion,
                     PHONECAPS* lpPhoneCaps);
LONG phoneGetMessage(HPHONEAPP hPhoneApp, PHONEMESSAGE* lpMessage, DWORD dwTimeout);
}

// The platform event behind an event handle of lineInitializeEx / phoneInitializeEx, or none once the
// application has shut down.
std::shared_ptr<vantrel::platform::Event> TapiEventForHandle(HANDLE handle);
