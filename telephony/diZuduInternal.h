// What the device layer's own files share and nobody outside uses.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "diZudu.h"

namespace vantrel::telephony::detail {

constexpr DWORD kLowApiVersion = 0x00010000;
constexpr DWORD kHighApiVersion = 0x00020001;
constexpr DWORD kWaitReplied = 0;
constexpr DWORD kWaitAborted = 128;
constexpr DWORD kWaitTimedOut = 258;

inline std::string Hex(DWORD value, bool upper) {
  static const char* const lower = "0123456789abcdef";
  static const char* const capital = "0123456789ABCDEF";
  std::string text;
  do {
    text.insert(text.begin(), (upper ? capital : lower)[value & 0xF]);
    value >>= 4;
  } while (value != 0);
  return text;
}

// Whether the tick has reached start + interval; signed so that a tick noted just before the start counts
// as early, and the 32-bit wrap does no harm.
constexpr DWORD kTickInterval = 100;

inline bool TickReached(DWORD start, DWORD interval, DWORD tick) {
  return static_cast<std::int32_t>(tick - start) >= static_cast<std::int32_t>(interval);
}

inline bool IsCreatingRequest(DWORD kind) {
  return kind == REQUEST_COMPLETETRANSFER || kind == REQUEST_MAKECALL || kind == REQUEST_SETUPCONFERENCE ||
         kind == REQUEST_SETUPTRANSFER || kind == REQUEST_UNPARK;
}

// The texts of the results this layer meets; TAPI's own message tables are not on this platform.
inline const std::map<LONG, const char*>& ErrorTexts() {
  static const std::map<LONG, const char*> texts = {
      {LINEERR_ALLOCATED, "The line device is already in use."},
      {LINEERR_BADDEVICEID, "The line device identifier is invalid."},
      {LINEERR_CALLUNAVAIL, "No call appearance is available."},
      {LINEERR_INCOMPATIBLEAPIVERSION, "The API version is not supported."},
      {LINEERR_INCOMPATIBLEEXTVERSION, "The extension version is not supported."},
      {LINEERR_INUSE, "The line device is in use."},
      {LINEERR_INVALADDRESS, "The specified address is invalid."},
      {LINEERR_INVALADDRESSID, "The address identifier is invalid."},
      {LINEERR_INVALADDRESSSTATE, "The address states are invalid."},
      {LINEERR_INVALAPPHANDLE, "The application handle is invalid."},
      {LINEERR_INVALCALLHANDLE, "The call handle is invalid."},
      {LINEERR_INVALCALLPARAMS, "The call parameters are invalid."},
      {LINEERR_INVALCALLPRIVILEGE, "The call privilege is invalid."},
      {LINEERR_INVALCALLSELECT, "The call selection is invalid."},
      {LINEERR_INVALCALLSTATE, "The operation is not possible in the call's current state."},
      {LINEERR_INVALCONSULTCALLHANDLE, "The consultation call handle is invalid."},
      {LINEERR_INVALDIGITMODE, "The digit mode is invalid."},
      {LINEERR_INVALLINEHANDLE, "The line handle is invalid."},
      {LINEERR_INVALLINESTATE, "The line states are invalid."},
      {LINEERR_INVALMEDIAMODE, "The media mode is invalid."},
      {LINEERR_INVALPARAM, "A parameter is invalid."},
      {LINEERR_INVALPOINTER, "A pointer is invalid."},
      {LINEERR_INVALPRIVSELECT, "The privileges are invalid."},
      {LINEERR_INVALTRANSFERMODE, "The transfer mode is invalid."},
      {LINEERR_NODEVICE, "The line device was removed or is not available."},
      {LINEERR_NOMEM, "Not enough memory is available."},
      {LINEERR_NOTOWNER, "The application is not an owner of the call."},
      {LINEERR_OPERATIONFAILED, "The operation failed."},
      {LINEERR_OPERATIONUNAVAIL, "The operation is not available."},
      {LINEERR_RESOURCEUNAVAIL, "The resources are not available."},
      {LINEERR_STRUCTURETOOSMALL, "The structure is too small."},
      {LINEERR_TARGETSELF, "The call cannot be transferred to itself."},
      {LINEERR_UNINITIALIZED, "Telephony has not been initialised."},
      {LINEERR_NOMULTIPLEINSTANCE, "Telephony is already initialised by this application."},
      {PHONEERR_BADDEVICEID, "The phone device identifier is invalid."},
      {PHONEERR_OPERATIONFAILED, "The phone operation failed."},
  };
  return texts;
}

// The device layer's lists of calls hold each call once.
inline bool Contains(const std::vector<TTapiCall*>& calls, const TTapiCall* call) {
  return std::find(calls.begin(), calls.end(), call) != calls.end();
}

inline void Erase(std::vector<TTapiCall*>& calls, const TTapiCall* call) {
  calls.erase(std::remove(calls.begin(), calls.end(), call), calls.end());
}

}  // namespace vantrel::telephony::detail
