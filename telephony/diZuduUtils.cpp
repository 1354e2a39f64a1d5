#include "diZuduUtils.h"

#include <array>
#include <map>
#include <utility>

namespace vantrel::telephony {

namespace {

std::string LowerHex(DWORD value) {
  static const char* const digits = "0123456789abcdef";
  std::string text;
  do {
    text.insert(text.begin(), digits[value & 0xF]);
    value >>= 4;
  } while (value != 0);
  return text;
}

// The name of the single bit that is set, or null.
template <std::size_t N>
const char* BitName(const std::array<const char*, N>& names, DWORD value) {
  for (std::size_t bit = 0; bit < N; ++bit) {
    if (value == (DWORD{1} << bit)) return names[bit];
  }
  return nullptr;
}

constexpr std::array<const char*, 15> kCallStates = {
    "IDLE",     "OFFERING",    "ACCEPTED",       "DIALTONE",           "DIALING",
    "RINGBACK", "BUSY",        "SPECIALINFO",    "CONNECTED",          "PROCEEDING",
    "ONHOLD",   "CONFERENCED", "ONHOLDPENDCONF", "ONHOLDPENDTRANSFER", "DISCONNECTED"};

constexpr std::array<const char*, 31> kCallInfoStates = {
    "OTHER",         "DEVSPECIFIC",   "BEARERMODE",   "RATE",         "MEDIAMODE",     "APPSPECIFIC",   "CALLID",
    "RELATEDCALLID", "ORIGIN",        "REASON",       "COMPLETIONID", "NUMOWNERINCR",  "NUMOWNERDECR",  "NUMMONITORS",
    "TRUNK",         "CALLERID",      "CALLEDID",     "CONNECTEDID",  "REDIRECTIONID", "REDIRECTINGID", "DISPLAY",
    "USERUSERINFO",  "HIGHLEVELCOMP", "LOWLEVELCOMP", "CHARGINGINFO", "TERMINAL",      "DIALPARAMS",    "MONITORMODES",
    "TREATMENT",     "QOS",           "CALLDATA"};

constexpr std::array<const char*, 24> kPhoneStates = {"OTHER",
                                                      "CONNECTED",
                                                      "DISCONNECTED",
                                                      "OWNER",
                                                      "MONITORS ",
                                                      "DISPLAY",
                                                      "LAMP",
                                                      "RINGMODE ",
                                                      "RINGVOLUME",
                                                      "HANDSETHOOKSWITCH",
                                                      "HANDSETVOLUME ",
                                                      "HANDSETGAIN",
                                                      "SPEAKERHOOKSWITCH",
                                                      "SPEAKERVOLUME ",
                                                      "SPEAKERGAIN",
                                                      "HEADSETHOOKSWITCH",
                                                      "HEADSETVOLUME ",
                                                      "HEADSETGAIN",
                                                      "SUSPEND",
                                                      "RESUME",
                                                      "DEVSPECIFIC",
                                                      "REINIT",
                                                      "CAPSCHANGE",
                                                      "REMOVED"};

constexpr std::array<const char*, 27> kMessages = {"LINE_ADDRESSSTATE",  "LINE_CALLINFO",     "LINE_CALLSTATE",
                                                   "LINE_CLOSE",         "LINE_DEVSPECIFIC",  "LINE_DEVSPECIFICFEATURE",
                                                   "LINE_GATHERDIGITS",  "LINE_GENERATE",     "LINE_LINEDEVSTATE",
                                                   "LINE_MONITORDIGITS", "LINE_MONITORMEDIA", "LINE_MONITORTONE",
                                                   "LINE_REPLY",         "LINE_REQUEST",      "PHONE_BUTTON",
                                                   "PHONE_CLOSE",        "PHONE_DEVSPECIFIC", "PHONE_REPLY",
                                                   "PHONE_STATE",        "LINE_CREATE",       "PHONE_CREATE",
                                                   "LINE_AGENTSPECIFIC", "LINE_AGENTSTATUS",  "LINE_APPNEWCALL",
                                                   "LINE_PROXYREQUEST",  "LINE_REMOVE",       "PHONE_REMOVE"};

}  // namespace

std::string CallStateToStr(DWORD callState) {
  if (const char* name = BitName(kCallStates, callState)) return name;
  return "LINECALLSTATE_$" + LowerHex(callState);
}

std::string CallStateModeToStr(DWORD callState, DWORD mode) {
  static const std::map<std::pair<DWORD, DWORD>, const char*> modes = {
      {{LINECALLSTATE_OFFERING, 0x1}, "ACTIVE"},
      {{LINECALLSTATE_OFFERING, 0x2}, "INACTIVE"},
      {{LINECALLSTATE_DIALTONE, 0x1}, "NORMAL"},
      {{LINECALLSTATE_DIALTONE, 0x2}, "SPECIAL"},
      {{LINECALLSTATE_DIALTONE, 0x4}, "INTERNAL"},
      {{LINECALLSTATE_DIALTONE, 0x8}, "EXTERNAL"},
      {{LINECALLSTATE_DIALTONE, 0x10}, "UNKNOWN"},
      {{LINECALLSTATE_DIALTONE, 0x20}, "UNAVAIL"},
      {{LINECALLSTATE_BUSY, 0x1}, "STATION"},
      {{LINECALLSTATE_BUSY, 0x2}, "TRUNK"},
      {{LINECALLSTATE_BUSY, 0x4}, "UNKNOWN"},
      {{LINECALLSTATE_BUSY, 0x8}, "UNAVAIL"},
      {{LINECALLSTATE_SPECIALINFO, 0x1}, "NOCIRCUIT"},
      {{LINECALLSTATE_SPECIALINFO, 0x2}, "CUSTIRREG"},
      {{LINECALLSTATE_SPECIALINFO, 0x4}, "REORDER"},
      {{LINECALLSTATE_SPECIALINFO, 0x8}, "UNKNOWN"},
      {{LINECALLSTATE_SPECIALINFO, 0x10}, "UNAVAIL"},
      {{LINECALLSTATE_CONNECTED, 0x1}, "ACTIVE"},
      {{LINECALLSTATE_CONNECTED, 0x2}, "INACTIVE"},
      {{LINECALLSTATE_CONNECTED, 0x4}, "ACTIVEHELD"},
      {{LINECALLSTATE_CONNECTED, 0x8}, "INACTIVEHELD"},
      {{LINECALLSTATE_CONNECTED, 0x10}, "CONFIRMED"},
      {{LINECALLSTATE_DISCONNECTED, 0x1}, "NORMAL"},
      {{LINECALLSTATE_DISCONNECTED, 0x2}, "UNKNOWN"},
      {{LINECALLSTATE_DISCONNECTED, 0x4}, "REJECT"},
      {{LINECALLSTATE_DISCONNECTED, 0x8}, "PICKUP"},
      {{LINECALLSTATE_DISCONNECTED, 0x10}, "FORWARDED"},
      {{LINECALLSTATE_DISCONNECTED, 0x20}, "BUSY"},
      {{LINECALLSTATE_DISCONNECTED, 0x40}, "NOANSWER"},
      {{LINECALLSTATE_DISCONNECTED, 0x80}, "BADADDRESS"},
      {{LINECALLSTATE_DISCONNECTED, 0x100}, "UNREACHABLE"},
      {{LINECALLSTATE_DISCONNECTED, 0x200}, "CONGESTION"},
      {{LINECALLSTATE_DISCONNECTED, 0x400}, "INCOMPATIBLE"},
      {{LINECALLSTATE_DISCONNECTED, 0x800}, "UNAVAIL"},
  };
  const auto found = modes.find({callState, mode});
  return found == modes.end() ? std::string() : std::string(found->second);
}

std::string CallInfoStateToStr(DWORD infoStates) {
  std::string text;
  for (std::size_t bit = 0; bit < kCallInfoStates.size(); ++bit) {
    if ((infoStates & (DWORD{1} << bit)) == 0) continue;
    if (!text.empty()) text += ' ';
    text += kCallInfoStates[bit];
  }
  if (text.empty() && infoStates != 0) return "LINECALLINFOSTATE_$" + LowerHex(infoStates);
  return text;
}

std::string PhoneStateToStr(DWORD phoneState) {
  if (const char* name = BitName(kPhoneStates, phoneState)) return name;
  static const char* const digits = "0123456789ABCDEF";
  std::string hex;
  for (DWORD value = phoneState; value != 0 || hex.size() < 4; value >>= 4)
    hex.insert(hex.begin(), digits[value & 0xF]);
  return "PHONESTATE_ 0x" + hex;
}

std::string MessageToStr(DWORD messageId) {
  if (messageId < kMessages.size()) return kMessages[messageId];
  return "LINE_/PHONE_$" + LowerHex(messageId);
}

}  // namespace vantrel::telephony
