// The software exchange through the Telephony API, as an application sees it, with the far ends driven the
// way a caller would.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "platform/Event.h"
#include "telephony/ExchangeControl.h"
#include "telephony/ProviderChoice.h"
#include "telephony/SoftExchange.h"
#include "telephony/TelephonyBackEnd.h"
#include "telephony/tapi/Tapi.h"

using namespace vantrel;
using telephony::TSoftExchange;

namespace {

constexpr DWORD kVersion = 0x00020001;

// One application: its handle, its event and the messages it has read.
class TestApp {
 public:
  TestApp() {
    LINEINITIALIZEEXPARAMS params{};
    params.dwTotalSize = sizeof params;
    params.dwOptions = LINEINITIALIZEEXOPTION_USEEVENT;
    DWORD version = kVersion;
    result_ = lineInitializeEx(&app_, nullptr, nullptr, "test", &devices_, &version, &params);
    event_ = params.hEvent;
  }
  ~TestApp() {
    if (app_ != 0) lineShutdown(app_);
  }
  LONG Result() const { return result_; }
  HLINEAPP Handle() const { return app_; }
  HANDLE EventHandle() const { return event_; }
  DWORD Devices() const { return devices_; }

  HLINE Open(DWORD device, DWORD privileges = LINECALLPRIVILEGE_OWNER | LINECALLPRIVILEGE_MONITOR) {
    HLINE line = 0;
    EXPECT_EQ(
        lineOpen(app_, device, &line, kVersion, 0, 1000 + device, privileges, LINEMEDIAMODE_INTERACTIVEVOICE, nullptr),
        0);
    EXPECT_EQ(lineSetStatusMessages(line, LINEDEVSTATE_ALL, LINEADDRESSSTATE_ALL), 0);
    return line;
  }
  // Every message waiting now.
  std::vector<LINEMESSAGE> Drain() {
    std::vector<LINEMESSAGE> messages;
    LINEMESSAGE message{};
    while (lineGetMessage(app_, &message, 0) == 0) messages.push_back(message);
    return messages;
  }
  // Reads until a message of the kind (and, when given, for that device handle) came; fails after a second.
  LINEMESSAGE WaitFor(DWORD id, DWORD device = 0) {
    LINEMESSAGE message{};
    while (lineGetMessage(app_, &message, 1000) == 0) {
      if (message.dwMessageID == id && (device == 0 || message.hDevice == device)) return message;
    }
    ADD_FAILURE() << "no message " << id;
    return {};
  }

 private:
  HLINEAPP app_ = 0;
  HANDLE event_ = 0;
  DWORD devices_ = 0;
  LONG result_ = 0;
};

// The call states that came for the call handle, in order.
std::vector<DWORD> StatesOf(const std::vector<LINEMESSAGE>& messages, HCALL call) {
  std::vector<DWORD> states;
  for (const LINEMESSAGE& message : messages) {
    if (message.dwMessageID == LINE_CALLSTATE && message.hDevice == call) states.push_back(message.dwParam1);
  }
  return states;
}

HCALL NewCallIn(const std::vector<LINEMESSAGE>& messages) {
  for (const LINEMESSAGE& message : messages) {
    if (message.dwMessageID == LINE_APPNEWCALL) return message.dwParam2;
  }
  return 0;
}

struct CallInfo {
  LONG result = 0;
  DWORD origin = 0, reason = 0, callerFlags = 0, neededSize = 0;
  std::string caller, callerName, called, connected, redirecting;
};

CallInfo ReadCallInfo(HCALL call, DWORD size = 1024) {
  std::vector<char> buffer(std::max<std::size_t>(size, sizeof(LINECALLINFO)), 0);
  auto* info = reinterpret_cast<LINECALLINFO*>(buffer.data());
  info->dwTotalSize = size;
  CallInfo read;
  read.result = lineGetCallInfo(call, info);
  const auto text = [&](DWORD length, DWORD offset) {
    return length == 0 ? std::string() : std::string(buffer.data() + offset, strnlen(buffer.data() + offset, length));
  };
  read.origin = info->dwOrigin;
  read.reason = info->dwReason;
  read.callerFlags = info->dwCallerIDFlags;
  read.neededSize = info->dwNeededSize;
  read.caller = text(info->dwCallerIDSize, info->dwCallerIDOffset);
  read.callerName = text(info->dwCallerIDNameSize, info->dwCallerIDNameOffset);
  read.called = text(info->dwCalledIDSize, info->dwCalledIDOffset);
  read.connected = text(info->dwConnectedIDSize, info->dwConnectedIDOffset);
  read.redirecting = text(info->dwRedirectingIDSize, info->dwRedirectingIDOffset);
  return read;
}

LINECALLSTATUS ReadStatus(HCALL call) {
  LINECALLSTATUS status{};
  status.dwTotalSize = sizeof status;
  EXPECT_EQ(lineGetCallStatus(call, &status), 0);
  return status;
}

// The LINE_REPLY of a request, read from the application's queue.
LONG ReplyOf(TestApp& app, LONG request) {
  EXPECT_GT(request, 0);
  const LINEMESSAGE reply = app.WaitFor(LINE_REPLY);
  EXPECT_EQ(static_cast<LONG>(reply.dwParam1), request);
  return static_cast<LONG>(reply.dwParam2);
}

// Each test has an exchange of its own behind the Telephony API: what other tests of the binary left
// initialised on the process's exchange is not in the way.
class Exchange : public ::testing::Test {
 protected:
  TSoftExchange& Switch() { return *telephony_.SoftExchange(); }
  telephony::TTapiService& Service() { return telephony_.Service(); }

 private:
  telephony::TTelephonyBackEnd telephony_{std::make_unique<TSoftExchange>()};
};

}  // namespace

TEST_F(Exchange, ApplicationsInitialiseWithAnEventAndSeeTheStations) {
  TestApp app;
  ASSERT_EQ(app.Result(), 0);
  EXPECT_EQ(app.Devices(), 4u);
  auto event = TapiEventForHandle(app.EventHandle());
  ASSERT_TRUE(event);
  EXPECT_FALSE(event->IsSet());

  DWORD version = 0;
  LINEEXTENSIONID extension{};
  EXPECT_EQ(lineNegotiateAPIVersion(app.Handle(), 0, 0x00010000, 0x00020001, &version, &extension), 0);
  EXPECT_EQ(version, 0x00020001u);
  EXPECT_EQ(lineNegotiateAPIVersion(app.Handle(), 9, 0x00010000, 0x00020001, &version, &extension),
            LINEERR_BADDEVICEID);
  EXPECT_EQ(lineNegotiateAPIVersion(app.Handle(), 0, 0x00010000, 0x00010001, &version, &extension),
            LINEERR_INCOMPATIBLEAPIVERSION);
  EXPECT_EQ(lineNegotiateAPIVersion(0, 0, 0x00010000, 0x00020001, &version, &extension), LINEERR_INVALAPPHANDLE);

  // Capabilities: too small a buffer is told the size it needs.
  std::vector<char> buffer(sizeof(LINEDEVCAPS), 0);
  auto* caps = reinterpret_cast<LINEDEVCAPS*>(buffer.data());
  caps->dwTotalSize = sizeof(LINEDEVCAPS);
  ASSERT_EQ(lineGetDevCaps(app.Handle(), 1, version, 0, caps), 0);
  EXPECT_GT(caps->dwNeededSize, caps->dwTotalSize);
  EXPECT_EQ(caps->dwLineNameSize, 0u);
  buffer.assign(caps->dwNeededSize, 0);
  caps = reinterpret_cast<LINEDEVCAPS*>(buffer.data());
  caps->dwTotalSize = static_cast<DWORD>(buffer.size());
  ASSERT_EQ(lineGetDevCaps(app.Handle(), 1, version, 0, caps), 0);
  EXPECT_EQ(caps->dwUsedSize, caps->dwNeededSize);
  EXPECT_STREQ(buffer.data() + caps->dwLineNameOffset, "Line 102");
  EXPECT_EQ(caps->dwNumAddresses, 1u);
  caps->dwTotalSize = 100;
  EXPECT_EQ(lineGetDevCaps(app.Handle(), 1, version, 0, caps), LINEERR_STRUCTURETOOSMALL);

  // A second application is independent; a shut-down one is gone.
  TestApp other;
  EXPECT_NE(other.Handle(), app.Handle());
  const HLINEAPP gone = app.Handle();
  EXPECT_EQ(lineShutdown(gone), 0);
  EXPECT_EQ(lineShutdown(gone), LINEERR_INVALAPPHANDLE);
  EXPECT_FALSE(TapiEventForHandle(app.EventHandle()));
  EXPECT_THROW(Switch().Configure(TSoftExchange::DefaultConfig()), std::logic_error);  // still in use by other
}

TEST_F(Exchange, AnOutsideCallRingsIsAnsweredAndEndsWhenTheCallerHangsUp) {
  TestApp app;
  const HLINE line = app.Open(0);
  auto event = TapiEventForHandle(app.EventHandle());

  const DWORD farEnd = Switch().CallStation("101", "5551234");
  ASSERT_NE(farEnd, 0u);
  platform::Event* events[] = {event.get()};
  EXPECT_EQ(platform::WaitForEvents(events, false, 1000), 0);
  auto messages = app.Drain();
  EXPECT_FALSE(event->IsSet());  // read empty
  ASSERT_GE(messages.size(), 3u);
  EXPECT_EQ(messages[0].dwMessageID, LINE_APPNEWCALL);
  EXPECT_EQ(messages[0].hDevice, line);
  EXPECT_EQ(messages[0].dwCallbackInstance, 1000u);
  EXPECT_EQ(messages[0].dwParam3, LINECALLPRIVILEGE_OWNER);
  const HCALL call = messages[0].dwParam2;
  EXPECT_EQ(StatesOf(messages, call), std::vector<DWORD>{LINECALLSTATE_OFFERING});

  CallInfo info = ReadCallInfo(call);
  EXPECT_EQ(info.caller, "5551234");
  EXPECT_EQ(info.called, "101");
  EXPECT_EQ(info.origin, LINECALLORIGIN_EXTERNAL);
  EXPECT_EQ(info.callerFlags, LINECALLPARTYID_ADDRESS);
  EXPECT_GT(ReadCallInfo(call, sizeof(LINECALLINFO)).neededSize, sizeof(LINECALLINFO));
  EXPECT_EQ(ReadCallInfo(call, 100).result, LINEERR_STRUCTURETOOSMALL);
  EXPECT_NE(ReadStatus(call).dwCallFeatures & LINECALLFEATURE_ANSWER, 0u);
  EXPECT_EQ(Switch().FarEndOf("101"), farEnd);

  EXPECT_EQ(ReplyOf(app, lineAnswer(call, nullptr, 0)), 0);
  messages = app.Drain();
  EXPECT_EQ(StatesOf(messages, call), std::vector<DWORD>{LINECALLSTATE_CONNECTED});
  EXPECT_EQ(ReadCallInfo(call).connected, "5551234");

  // Digits from the far end come only while monitored, and only in modes the line has.
  EXPECT_EQ(lineMonitorDigits(call, LINEDIGITMODE_PULSE | LINEDIGITMODE_DTMF), LINEERR_INVALDIGITMODE);
  ASSERT_EQ(lineMonitorDigits(call, LINEDIGITMODE_DTMF), 0);
  Switch().SendDigits(farEnd, "4#");
  messages = app.Drain();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0].dwMessageID, LINE_MONITORDIGITS);
  EXPECT_EQ(messages[0].dwParam1, static_cast<DWORD>('4'));
  EXPECT_EQ(messages[1].dwParam1, static_cast<DWORD>('#'));
  EXPECT_THROW(Switch().SendDigits(farEnd, "4x"), std::invalid_argument);

  Switch().HangUpFarEnd(farEnd);
  messages = app.Drain();
  EXPECT_EQ(StatesOf(messages, call), std::vector<DWORD>{LINECALLSTATE_DISCONNECTED});
  EXPECT_EQ(ReadStatus(call).dwCallStateMode, LINEDISCONNECTMODE_NORMAL);
  EXPECT_THROW(Switch().HangUpFarEnd(farEnd), std::invalid_argument);
  EXPECT_EQ(lineDeallocateCall(call), LINEERR_INVALCALLSTATE);  // the owner must drop it first
  EXPECT_EQ(ReplyOf(app, lineDrop(call, nullptr, 0)), 0);
  EXPECT_EQ(StatesOf(app.Drain(), call), std::vector<DWORD>{LINECALLSTATE_IDLE});
  EXPECT_EQ(lineDeallocateCall(call), 0);
  EXPECT_EQ(lineGetCallInfo(call, nullptr), LINEERR_INVALPOINTER);
  EXPECT_EQ(ReadCallInfo(call).result, LINEERR_INVALCALLHANDLE);
  EXPECT_TRUE(Switch().Status().empty());
}

TEST_F(Exchange, InternalCallsShowBothSidesAndRejectionDisconnectsTheCaller) {
  TestApp app;
  const HLINE first = app.Open(0);
  const HLINE second = app.Open(1);
  HCALL outgoing = 0;
  const LONG request = lineMakeCall(first, &outgoing, "102", 0, nullptr);
  ASSERT_GT(request, 0);
  EXPECT_NE(outgoing, 0u);
  auto messages = app.Drain();
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages[0].dwMessageID, LINE_REPLY);
  EXPECT_EQ(StatesOf(messages, outgoing),
            (std::vector<DWORD>{LINECALLSTATE_DIALTONE, LINECALLSTATE_DIALING, LINECALLSTATE_RINGBACK}));
  const HCALL incoming = NewCallIn(messages);
  ASSERT_NE(incoming, 0u);
  EXPECT_EQ(StatesOf(messages, incoming), std::vector<DWORD>{LINECALLSTATE_OFFERING});
  bool rang = false;
  for (const LINEMESSAGE& message : messages) {
    rang |= message.dwMessageID == LINE_LINEDEVSTATE && message.hDevice == second &&
            message.dwParam1 == LINEDEVSTATE_RINGING;
  }
  EXPECT_TRUE(rang);
  const CallInfo info = ReadCallInfo(incoming);
  EXPECT_EQ(info.caller, "101");
  EXPECT_EQ(info.callerName, "Line 101");
  EXPECT_EQ(info.origin, LINECALLORIGIN_INTERNAL);
  EXPECT_EQ(ReadCallInfo(outgoing).called, "102");
  EXPECT_EQ(ReadCallInfo(outgoing).origin, LINECALLORIGIN_OUTBOUND);

  // Rejected at the called station.
  EXPECT_GT(lineDrop(incoming, nullptr, 0), 0);
  messages = app.Drain();
  EXPECT_EQ(StatesOf(messages, incoming), std::vector<DWORD>{LINECALLSTATE_IDLE});
  EXPECT_EQ(StatesOf(messages, outgoing), std::vector<DWORD>{LINECALLSTATE_DISCONNECTED});
  EXPECT_EQ(ReadStatus(outgoing).dwCallStateMode, LINEDISCONNECTMODE_REJECT);

  // A wrong number fails the request by its reply; calling oneself is busy.
  HCALL wrong = 0;
  EXPECT_EQ(ReplyOf(app, lineMakeCall(first, &wrong, "12x", 0, nullptr)), LINEERR_INVALADDRESS);
  EXPECT_EQ(wrong, 0u);
  HCALL self = 0;
  ASSERT_GT(lineMakeCall(first, &self, "101", 0, nullptr), 0);
  EXPECT_EQ(StatesOf(app.Drain(), self).back(), LINECALLSTATE_BUSY);
  EXPECT_EQ(lineMakeCall(0, &self, "102", 0, nullptr), LINEERR_INVALLINEHANDLE);
  EXPECT_EQ(lineMakeCall(first, nullptr, "102", 0, nullptr), LINEERR_INVALPOINTER);
}

TEST_F(Exchange, OutgoingOutsideCallsMeetAnswerBusyAndTheTrunkLimit) {
  TestApp app;
  const HLINE line = app.Open(2);
  HCALL call = 0;
  ASSERT_GT(lineMakeCall(line, &call, nullptr, 0, nullptr), 0);
  EXPECT_EQ(StatesOf(app.Drain(), call), std::vector<DWORD>{LINECALLSTATE_DIALTONE});
  EXPECT_EQ(ReplyOf(app, lineDial(call, "555", 0)), 0);
  EXPECT_EQ(StatesOf(app.Drain(), call), (std::vector<DWORD>{LINECALLSTATE_DIALING, LINECALLSTATE_RINGBACK}));
  const DWORD farEnd = Switch().FarEndOf("103");
  ASSERT_NE(farEnd, 0u);
  EXPECT_THROW(Switch().AnswerFarEnd(farEnd + 1000), std::invalid_argument);
  Switch().AnswerFarEnd(farEnd);
  EXPECT_EQ(StatesOf(app.Drain(), call), std::vector<DWORD>{LINECALLSTATE_CONNECTED});
  EXPECT_EQ(ReadCallInfo(call).connected, "555");
  EXPECT_THROW(Switch().AnswerFarEnd(farEnd), std::invalid_argument);  // already answered
  EXPECT_EQ(lineDial(call, "1", 0), LINEERR_INVALCALLSTATE);

  // Hold and back.
  EXPECT_EQ(ReplyOf(app, lineHold(call)), 0);
  EXPECT_EQ(StatesOf(app.Drain(), call), std::vector<DWORD>{LINECALLSTATE_ONHOLD});
  EXPECT_EQ(lineHold(call), LINEERR_INVALCALLSTATE);
  EXPECT_EQ(ReplyOf(app, lineUnhold(call)), 0);
  EXPECT_EQ(StatesOf(app.Drain(), call), std::vector<DWORD>{LINECALLSTATE_CONNECTED});
  EXPECT_GT(lineDrop(call, nullptr, 0), 0);
  app.Drain();
  EXPECT_EQ(Switch().FarEndOf("103"), 0u);

  HCALL busy = 0;
  ASSERT_GT(lineMakeCall(line, &busy, "5556", 0, nullptr), 0);
  app.Drain();
  Switch().BusyFarEnd(Switch().FarEndOf("103"));
  EXPECT_EQ(StatesOf(app.Drain(), busy), std::vector<DWORD>{LINECALLSTATE_BUSY});
  EXPECT_EQ(ReadStatus(busy).dwCallStateMode, LINEBUSYMODE_TRUNK);
}

TEST_F(Exchange, TrunkLimitAndConfigurationFile) {
  const auto folder = std::filesystem::temp_directory_path() / ("vantrel-exchange-" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  EXPECT_EQ(TSoftExchange::LoadConfig(folder.string()).stations.size(), 4u);  // no file: the default
  { std::ofstream(folder / "Exchange.ini") << "[Exchange]\nTrunks=1\n[Stations]\n201=Sales\n202=Support\n"; }
  const auto config = TSoftExchange::LoadConfig(folder.string());
  ASSERT_EQ(config.stations.size(), 2u);
  EXPECT_EQ(config.stations[1].number, "202");
  EXPECT_EQ(config.stations[1].name, "Support");
  EXPECT_EQ(config.trunks, 1);
  { std::ofstream(folder / "Exchange.ini") << "[Stations]\n2a1=Bad\n"; }
  EXPECT_THROW(TSoftExchange::LoadConfig(folder.string()), std::invalid_argument);
  // The file also names the back-end: the software exchange, configured from it, or a clear refusal.
  { std::ofstream(folder / "Exchange.ini") << "[Exchange]\nProvider=Software\n[Stations]\n301=Desk\n"; }
  {
    telephony::TTelephonyBackEnd chosen(telephony::MakeTelephonyProvider(folder.string()));
    ASSERT_NE(chosen.SoftExchange(), nullptr);
    EXPECT_EQ(chosen.Provider().DeviceCount(), 1u);
    EXPECT_EQ(chosen.Provider().Device(0).number, "301");
  }
  { std::ofstream(folder / "Exchange.ini") << "[Exchange]\nProvider=Carrier pigeon\n"; }
  try {
    telephony::MakeTelephonyProvider(folder.string());
    ADD_FAILURE() << "an unknown provider was taken";
  } catch (const std::invalid_argument& error) {
    EXPECT_NE(std::string(error.what()).find("\"Carrier pigeon\""), std::string::npos) << error.what();
  }
  std::filesystem::remove_all(folder);

  Switch().Configure(config);
  TestApp app;
  const HLINE line = app.Open(0);
  const DWORD farEnd = Switch().CallStation("201", "777");
  ASSERT_NE(farEnd, 0u);
  EXPECT_THROW(Switch().CallStation("202", "778"), std::invalid_argument);  // the one trunk is in use
  EXPECT_THROW(Switch().CallStation("999", "778"), std::invalid_argument);
  HCALL call = 0;
  ASSERT_GT(lineMakeCall(line, &call, "5550", 0, nullptr), 0);
  const auto messages = app.Drain();
  EXPECT_EQ(StatesOf(messages, call).back(), LINECALLSTATE_BUSY);
  EXPECT_EQ(ReadStatus(call).dwCallStateMode, LINEBUSYMODE_TRUNK);
}

TEST_F(Exchange, BlindAndConsultationTransfersJoinTheRemainingParties) {
  TestApp app;
  for (DWORD device : {0u, 1u, 2u}) app.Open(device);
  // An outside caller reaches 101, who passes the call on to 102 without asking.
  Switch().CallStation("101", "5550001");
  HCALL call = NewCallIn(app.Drain());
  EXPECT_GT(lineAnswer(call, nullptr, 0), 0);
  app.Drain();
  EXPECT_EQ(lineBlindTransfer(call, "101", 0), LINEERR_TARGETSELF);
  EXPECT_EQ(lineBlindTransfer(call, "1x", 0), LINEERR_INVALADDRESS);
  EXPECT_GT(lineBlindTransfer(call, "102", 0), 0);
  auto messages = app.Drain();
  EXPECT_EQ(StatesOf(messages, call), std::vector<DWORD>{LINECALLSTATE_IDLE});
  const HCALL transferred = NewCallIn(messages);
  ASSERT_NE(transferred, 0u);
  CallInfo info = ReadCallInfo(transferred);
  EXPECT_EQ(info.caller, "5550001");
  EXPECT_EQ(info.redirecting, "101");
  EXPECT_EQ(info.reason, LINECALLREASON_TRANSFER);
  EXPECT_GT(lineAnswer(transferred, nullptr, 0), 0);
  EXPECT_EQ(StatesOf(app.Drain(), transferred), std::vector<DWORD>{LINECALLSTATE_CONNECTED});
  EXPECT_EQ(ReadCallInfo(transferred).connected, "5550001");
  lineDrop(transferred, nullptr, 0);
  app.Drain();

  // Consultation: 101 holds the caller, asks 103, then completes; the caller and 103 talk.
  const DWORD farEnd = Switch().CallStation("101", "5550002");
  call = NewCallIn(app.Drain());
  lineAnswer(call, nullptr, 0);
  app.Drain();
  HCALL consult = 0;
  ASSERT_GT(lineSetupTransfer(call, &consult, nullptr), 0);
  ASSERT_NE(consult, 0u);
  messages = app.Drain();
  EXPECT_EQ(StatesOf(messages, call), std::vector<DWORD>{LINECALLSTATE_ONHOLDPENDTRANSFER});
  EXPECT_EQ(StatesOf(messages, consult), std::vector<DWORD>{LINECALLSTATE_DIALTONE});
  EXPECT_EQ(lineSetupTransfer(call, &consult, nullptr), LINEERR_INVALCALLSTATE);
  EXPECT_EQ(lineCompleteTransfer(call, consult, nullptr, LINETRANSFERMODE_TRANSFER), LINEERR_INVALCALLSTATE);
  lineDial(consult, "103", 0);
  messages = app.Drain();
  EXPECT_EQ(StatesOf(messages, consult), (std::vector<DWORD>{LINECALLSTATE_DIALING, LINECALLSTATE_RINGBACK}));
  const HCALL consulted = NewCallIn(messages);
  EXPECT_EQ(ReadCallInfo(consulted).caller, "101");
  lineAnswer(consulted, nullptr, 0);
  app.Drain();
  EXPECT_NE(ReadStatus(call).dwCallFeatures & LINECALLFEATURE_COMPLETETRANSF, 0u);
  HCALL conference = 99;
  EXPECT_EQ(lineCompleteTransfer(call, consult, &conference, LINETRANSFERMODE_CONFERENCE), LINEERR_OPERATIONUNAVAIL);
  EXPECT_EQ(lineCompleteTransfer(call, consult, nullptr, 7), LINEERR_INVALTRANSFERMODE);
  EXPECT_EQ(lineCompleteTransfer(call, call, nullptr, LINETRANSFERMODE_TRANSFER), LINEERR_INVALCONSULTCALLHANDLE);
  EXPECT_GT(lineCompleteTransfer(call, consult, nullptr, LINETRANSFERMODE_TRANSFER), 0);
  messages = app.Drain();
  EXPECT_EQ(StatesOf(messages, call), std::vector<DWORD>{LINECALLSTATE_IDLE});
  EXPECT_EQ(StatesOf(messages, consult), std::vector<DWORD>{LINECALLSTATE_IDLE});
  EXPECT_EQ(ReadCallInfo(consulted).connected, "5550002");
  EXPECT_EQ(Switch().FarEndOf("103"), farEnd);
  Switch().HangUpFarEnd(farEnd);
  EXPECT_EQ(StatesOf(app.Drain(), consulted), std::vector<DWORD>{LINECALLSTATE_DISCONNECTED});

  // Completing while the consulted station still rings: the caller now hears it ring.
  const DWORD second = Switch().CallStation("101", "5550003");
  call = NewCallIn(app.Drain());
  lineAnswer(call, nullptr, 0);
  lineSetupTransfer(call, &consult, nullptr);
  lineDial(consult, "102", 0);
  const HCALL ringing = NewCallIn(app.Drain());
  EXPECT_GT(lineCompleteTransfer(call, consult, nullptr, LINETRANSFERMODE_TRANSFER), 0);
  app.Drain();
  info = ReadCallInfo(ringing);
  EXPECT_EQ(info.caller, "5550003");
  EXPECT_EQ(info.redirecting, "101");
  lineAnswer(ringing, nullptr, 0);
  EXPECT_EQ(StatesOf(app.Drain(), ringing), std::vector<DWORD>{LINECALLSTATE_CONNECTED});
  EXPECT_EQ(ReadCallInfo(ringing).connected, "5550003");
  EXPECT_EQ(Switch().FarEndOf("102"), second);
}

TEST_F(Exchange, ForwardingAndDoNotDisturbTurnCallsAway) {
  TestApp app;
  const HLINE line = app.Open(0);
  app.Open(1);
  LINEFORWARDLIST dnd{};
  dnd.dwTotalSize = sizeof dnd;
  dnd.dwNumEntries = 1;
  dnd.ForwardList[0].dwForwardMode = LINEFORWARDMODE_UNCOND;
  HCALL consult = 5;
  ASSERT_GT(lineForward(line, 0, 0, &dnd, 0, &consult, nullptr), 0);
  EXPECT_EQ(consult, 0u);
  auto messages = app.Drain();
  bool announced = false;
  for (const LINEMESSAGE& message : messages) {
    announced |= message.dwMessageID == LINE_ADDRESSSTATE && message.dwParam2 == LINEADDRESSSTATE_FORWARD;
  }
  EXPECT_TRUE(announced);
  std::vector<char> buffer(1024, 0);
  auto* status = reinterpret_cast<LINEADDRESSSTATUS*>(buffer.data());
  status->dwTotalSize = 1024;
  ASSERT_EQ(lineGetAddressStatus(line, 0, status), 0);
  EXPECT_EQ(status->dwForwardNumEntries, 1u);
  EXPECT_EQ(Switch().CallStation("101", "5551"), 0u);  // do not disturb: turned away
  EXPECT_EQ(NewCallIn(app.Drain()), 0u);

  // Forwarded to 102: the call rings there, naming 101 as redirecting.
  struct {
    LINEFORWARDLIST list;
    char destination[4];
  } forward{};
  forward.list.dwTotalSize = sizeof forward;
  forward.list.dwNumEntries = 1;
  forward.list.ForwardList[0].dwForwardMode = LINEFORWARDMODE_UNCOND;
  forward.list.ForwardList[0].dwDestAddressSize = 4;
  forward.list.ForwardList[0].dwDestAddressOffset = offsetof(decltype(forward), destination);
  std::memcpy(forward.destination, "102", 4);
  ASSERT_GT(lineForward(line, 0, 0, &forward.list, 0, nullptr, nullptr), 0);
  app.Drain();
  ASSERT_NE(Switch().CallStation("101", "5552"), 0u);
  const HCALL call = NewCallIn(app.Drain());
  const CallInfo info = ReadCallInfo(call);
  EXPECT_EQ(info.called, "101");
  EXPECT_EQ(info.redirecting, "101");
  EXPECT_EQ(info.reason, LINECALLREASON_FWDUNCOND);

  forward.list.ForwardList[0].dwDestAddressOffset = 4000;
  EXPECT_EQ(lineForward(line, 0, 0, &forward.list, 0, nullptr, nullptr), LINEERR_INVALPARAM);
  forward.list.ForwardList[0].dwForwardMode = 0x10;
  EXPECT_EQ(lineForward(line, 0, 0, &forward.list, 0, nullptr, nullptr), LINEERR_INVALPARAM);
  EXPECT_GT(lineForward(line, 0, 0, nullptr, 0, nullptr, nullptr), 0);  // cancelled
  ASSERT_EQ(lineGetAddressStatus(line, 0, status), 0);
  EXPECT_EQ(status->dwForwardNumEntries, 0u);
}

TEST_F(Exchange, PrivilegesHandlesAndStatusMessagesAreChecked) {
  TestApp owner;
  TestApp monitor;
  const HLINE owned = owner.Open(0);
  const HLINE watched = monitor.Open(0, LINECALLPRIVILEGE_MONITOR);
  HLINE none = 0;
  EXPECT_EQ(lineOpen(owner.Handle(), 0, &none, kVersion, 0, 1, 3, LINEMEDIAMODE_INTERACTIVEVOICE, nullptr),
            LINEERR_INVALPRIVSELECT);
  EXPECT_EQ(lineOpen(owner.Handle(), 0, &none, kVersion, 0, 1, LINECALLPRIVILEGE_OWNER, 0, nullptr),
            LINEERR_INVALMEDIAMODE);
  EXPECT_EQ(lineOpen(owner.Handle(), 7, &none, kVersion, 0, 1, LINECALLPRIVILEGE_NONE, 0, nullptr),
            LINEERR_BADDEVICEID);
  EXPECT_EQ(lineSetStatusMessages(owned, 0x02000000, 0), LINEERR_INVALLINESTATE);
  EXPECT_EQ(lineSetStatusMessages(owned, 0, 0x200), LINEERR_INVALADDRESSSTATE);

  Switch().CallStation("101", "5550");
  const HCALL mine = NewCallIn(owner.Drain());
  const auto seen = monitor.Drain();
  const HCALL theirs = NewCallIn(seen);
  ASSERT_NE(theirs, 0u);
  EXPECT_NE(theirs, mine);  // each application has its own handle
  EXPECT_EQ(seen[0].dwParam3, LINECALLPRIVILEGE_MONITOR);
  EXPECT_EQ(lineAnswer(theirs, nullptr, 0), LINEERR_NOTOWNER);
  EXPECT_EQ(lineSetCallPrivilege(theirs, 8), LINEERR_INVALCALLPRIVILEGE);
  ASSERT_EQ(lineSetCallPrivilege(theirs, LINECALLPRIVILEGE_OWNER), 0);
  EXPECT_EQ(ReplyOf(monitor, lineAnswer(theirs, nullptr, 0)), 0);
  EXPECT_EQ(StatesOf(owner.Drain(), mine), std::vector<DWORD>{LINECALLSTATE_CONNECTED});
  EXPECT_EQ(lineAnswer(0x7FFFFFF, nullptr, 0), LINEERR_INVALCALLHANDLE);

  // Status messages only for the states asked for.
  ASSERT_EQ(lineSetStatusMessages(owned, 0, 0), 0);
  DWORD lineStates = 1, addressStates = 1;
  ASSERT_EQ(lineGetStatusMessages(owned, &lineStates, &addressStates), 0);
  EXPECT_EQ(lineStates, 0u);
  EXPECT_EQ(addressStates, 0u);

  // A line opened after the call began finds it with lineGetNewCalls, as a monitor.
  TestApp late;
  const HLINE lateLine = late.Open(0);
  std::vector<char> buffer(536, 0);
  auto* list = reinterpret_cast<LINECALLLIST*>(buffer.data());
  list->dwTotalSize = 536;
  ASSERT_EQ(lineGetNewCalls(lateLine, 0, LINECALLSELECT_LINE, list), 0);
  ASSERT_EQ(list->dwCallsNumEntries, 1u);
  HCALL found = 0;
  std::memcpy(&found, buffer.data() + list->dwCallsOffset, sizeof found);
  EXPECT_EQ(ReadStatus(found).dwCallPrivilege, LINECALLPRIVILEGE_MONITOR);
  EXPECT_EQ(ReadStatus(found).dwCallState, LINECALLSTATE_CONNECTED);
  EXPECT_EQ(lineGetNewCalls(lateLine, 0, 9, list), LINEERR_INVALCALLSELECT);

  // Closing a line ends its handles; the call itself goes on.
  ASSERT_EQ(lineClose(watched), 0);
  EXPECT_EQ(lineClose(watched), LINEERR_INVALLINEHANDLE);
  EXPECT_EQ(ReadCallInfo(theirs).result, LINEERR_INVALCALLHANDLE);
  EXPECT_EQ(ReadStatus(mine).dwCallState, LINECALLSTATE_CONNECTED);
}

TEST_F(Exchange, RepliesCanBeHeldAndStationsComeAndGo) {
  TestApp app;
  const HLINE line = app.Open(0);
  Service().HoldReplies(true);
  HCALL call = 0;
  const LONG request = lineMakeCall(line, &call, "102", 0, nullptr);
  auto messages = app.Drain();
  for (const LINEMESSAGE& message : messages) EXPECT_NE(message.dwMessageID, LINE_REPLY);
  EXPECT_FALSE(StatesOf(messages, call).empty());  // the call goes on meanwhile
  Service().HoldReplies(false);
  EXPECT_EQ(ReplyOf(app, request), 0);

  const DWORD added = Switch().AddStation({"105", "Line 105"});
  EXPECT_EQ(added, 4u);
  LINEMESSAGE created = app.WaitFor(LINE_CREATE);
  EXPECT_EQ(created.dwParam1, 4u);
  EXPECT_EQ(created.dwCallbackInstance, 0u);
  EXPECT_THROW(Switch().AddStation({"105", "again"}), std::invalid_argument);

  Switch().RemoveStation("101");
  messages = app.Drain();
  bool closed = false, removed = false;
  for (const LINEMESSAGE& message : messages) {
    closed |= message.dwMessageID == LINE_CLOSE && message.hDevice == line;
    removed |= message.dwMessageID == LINE_REMOVE && message.dwParam1 == 0;
  }
  EXPECT_TRUE(closed);
  EXPECT_TRUE(removed);
  DWORD version = 0;
  LINEEXTENSIONID extension{};
  EXPECT_EQ(lineNegotiateAPIVersion(app.Handle(), 0, 0x00010000, 0x00020001, &version, &extension), LINEERR_NODEVICE);
  EXPECT_EQ(lineClose(line), LINEERR_INVALLINEHANDLE);
  EXPECT_THROW(Switch().CallStation("101", "5"), std::invalid_argument);
  EXPECT_THROW(Switch().RemoveStation("101"), std::invalid_argument);
}

TEST_F(Exchange, ManyCallersAtOnceLoseNoMessage) {
  constexpr int kStations = 200;
  telephony::TExchangeConfig config;
  config.trunks = kStations;
  for (int i = 0; i < kStations; ++i) config.stations.push_back({std::to_string(1000 + i), {}});
  Switch().Configure(config);
  TestApp app;
  for (int i = 0; i < kStations; ++i) app.Open(static_cast<DWORD>(i));
  // The application reads on its own thread while callers ring, talk and hang up from others.
  std::atomic<bool> done{false};
  std::size_t idle = 0;
  std::thread reader([&] {
    LINEMESSAGE message{};
    for (;;) {
      if (lineGetMessage(app.Handle(), &message, 10) != 0) {
        if (done) break;  // every caller has finished, and the queue is empty
        continue;
      }
      if (message.dwMessageID == LINE_CALLSTATE && message.dwParam1 == LINECALLSTATE_DISCONNECTED) ++idle;
    }
  });
  std::vector<std::thread> callers;
  for (int t = 0; t < 4; ++t) {
    callers.emplace_back([&, t] {
      for (int round = 0; round < 10; ++round) {
        for (int i = t; i < kStations; i += 4) {
          const DWORD farEnd = Switch().CallStation(std::to_string(1000 + i), "555" + std::to_string(i));
          Switch().HangUpFarEnd(farEnd);
        }
      }
    });
  }
  for (auto& caller : callers) caller.join();
  done = true;
  reader.join();
  EXPECT_EQ(idle, static_cast<std::size_t>(kStations * 10));
}

TEST_F(Exchange, ControlCommandsAnswerWithOkOrAClearError) {
  using telephony::TExchangeControl;
  const auto run = [&](const std::string& command) {
    const auto reply = TExchangeControl::Execute(Switch(), command);
    return reply.back();
  };
  EXPECT_EQ(run(""), "ERROR Empty command; see help");
  EXPECT_EQ(run("call 101 5551234"), "ERROR Use: call STATION from NUMBER");
  EXPECT_EQ(run("call 101 from 555-1234"), "ERROR \"555-1234\" is not a phone number");
  EXPECT_EQ(run("hangup"), "ERROR No far end is in a call");
  EXPECT_EQ(run("hangup 12x"), "ERROR \"12x\" is not a far-end id");
  EXPECT_EQ(run("hangup 1 2"), "ERROR Too many words; see help");
  EXPECT_EQ(run("busy 4294967296"), "ERROR \"4294967296\" is not a far-end id");
  const std::string called = run("call 102 from 777");
  ASSERT_EQ(called.rfind("OK ", 0), 0u) << called;
  EXPECT_EQ(run("digits 12"), "ERROR No far end is CONNECTED");
  EXPECT_EQ(run("pickup 102"), "OK");  // the phone at 102 answers the outside caller
  EXPECT_EQ(Switch().Status().front().state, "CONNECTED");
  EXPECT_EQ(run("pickup 102"), "ERROR Station 102 is not ringing");
  EXPECT_EQ(run("drop 103"), "ERROR Station 103 has no call");
  EXPECT_EQ(run("pickup 999"), "ERROR No station 999");
  EXPECT_EQ(run("drop 102"), "OK");
  EXPECT_TRUE(Switch().Status().empty());
  const std::string again = run("call 102 from 777");
  ASSERT_FALSE(Switch().Status().empty());
  EXPECT_EQ(again, "OK " + std::to_string(Switch().Status().front().id));
  EXPECT_EQ(run("add 105 Front desk"), "OK 4");
  EXPECT_EQ(run("remove 102"), "OK");  // the caller's far end goes with it
  EXPECT_EQ(TExchangeControl::Execute(Switch(), "status"), std::vector<std::string>{"OK"});
  EXPECT_GT(TExchangeControl::Execute(Switch(), "help").size(), 5u);
}

TEST(TelephonyApi, WithoutABackEndServedEveryFunctionFailsCleanly) {
  telephony::TTapiService* served = telephony::TelephonyApiService();
  telephony::ServeTelephonyApiWith(nullptr);
  HLINEAPP app = 0;
  DWORD devices = 0;
  DWORD version = kVersion;
  LINEINITIALIZEEXPARAMS params{};
  params.dwTotalSize = sizeof params;
  params.dwOptions = LINEINITIALIZEEXOPTION_USEEVENT;
  EXPECT_EQ(lineInitializeEx(&app, nullptr, nullptr, "test", &devices, &version, &params), LINEERR_OPERATIONUNAVAIL);
  LINEMESSAGE message{};
  EXPECT_EQ(lineGetMessage(1, &message, 0), LINEERR_OPERATIONUNAVAIL);
  EXPECT_EQ(lineDrop(1, nullptr, 0), LINEERR_OPERATIONUNAVAIL);
  EXPECT_EQ(TapiEventForHandle(1), nullptr);
  telephony::ServeTelephonyApiWith(served);
}

namespace {
// Ports that bridge any conference and connect nothing else.
class MixingPorts : public telephony::IExchangePorts {
 public:
  void LegChanged(const telephony::TLegChange&) override {}
  bool RingsPhoneFirst(const std::string&) const override { return false; }
  bool Mixes(const std::vector<DWORD>&) const override { return true; }
};
}  // namespace

TEST_F(Exchange, AConferenceTakesFurtherPartiesFromItsStationsConsultationsUpToEight) {
  MixingPorts ports;
  Switch().SetPorts(&ports);
  TestApp app;
  app.Open(0);
  Switch().CallStation("101", "5550001");
  const HCALL call = NewCallIn(app.Drain());
  lineAnswer(call, nullptr, 0);
  app.Drain();
  // The station consults an outside number from the call (or the conference) and conferences: true when the
  // consulted party joined.
  HCALL conference = 0;
  const auto consultAndConference = [&](HCALL from, const std::string& number, LONG* refused) {
    HCALL consult = 0;
    EXPECT_GT(lineSetupTransfer(from, &consult, nullptr), 0);
    app.Drain();
    lineDial(consult, number.c_str(), 0);
    app.Drain();
    Switch().AnswerFarEnd(Switch().FarEndOf("101"));
    app.Drain();
    HCALL made = 0;
    const LONG result = lineCompleteTransfer(from, consult, &made, LINETRANSFERMODE_CONFERENCE);
    if (result < 0) {
      *refused = result;
      return false;
    }
    const auto messages = app.Drain();
    EXPECT_EQ(StatesOf(messages, consult), std::vector<DWORD>{LINECALLSTATE_CONFERENCED});
    if (conference == 0) conference = made;
    EXPECT_EQ(made, conference);  // the same conference call each time
    EXPECT_NE(StatesOf(messages, conference).size(), 0u);
    EXPECT_EQ(StatesOf(messages, conference).back(), LINECALLSTATE_CONNECTED);
    return true;
  };
  LONG refused = 0;
  ASSERT_TRUE(consultAndConference(call, "5550100", &refused));
  // Three parties (the station, the caller, the first consulted) and five more make eight; a ninth is refused and
  // its consultation call stays for the station to drop or transfer.
  for (int more = 1; more <= 5; ++more)
    ASSERT_TRUE(consultAndConference(conference, "555010" + std::to_string(more), &refused)) << more;
  EXPECT_FALSE(consultAndConference(conference, "5550106", &refused));
  EXPECT_EQ(refused, LINEERR_RESOURCEUNAVAIL);
  Switch().SetPorts(nullptr);
}
