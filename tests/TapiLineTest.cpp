// The telephony device layer on the software exchange: lines opened by the process-wide application, calls
// driven by far ends and by the line's operations, events raised on the thread that pumps the messages.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <thread>

#include "Pumping.h"
#include "platform/HiddenWindow.h"
#include "platform/MessageQueue.h"
#include "telephony/SoftExchange.h"
#include "telephony/diZudu.h"
#include "telephony/diZuduUtils.h"
#include "tests/TestExchange.h"

using namespace vantrel;
using namespace vantrel::telephony;
using namespace std::chrono_literals;

namespace {

// A line on a station, with the events it raised written down as text.
struct RecordedLine {
  explicit RecordedLine(const std::string& deviceName) {
    line.SetEnabled(true);
    line.SetDeviceName(deviceName);
    line.OnNewCall = [this](TTapiLine&, TTapiCall& call) { Note("NewCall", call); };
    line.OnCallBegin = [this](TTapiLine&, TTapiCall& call) { Note("CallBegin", call); };
    line.OnCallEnd = [this](TTapiLine&, TTapiCall& call) { Note("CallEnd", call); };
    line.OnCallDeallocate = [this](TTapiLine&, TTapiCall& call) { Note("Deallocate", call); };
    line.OnCallState = [this](TTapiLine&, TTapiCall& call, DWORD state) {
      Note("State " + CallStateToStr(state), call);
    };
    for (DWORD state : {LINECALLSTATE_IDLE, LINECALLSTATE_OFFERING, LINECALLSTATE_CONNECTED, LINECALLSTATE_DISCONNECTED,
                        LINECALLSTATE_ONHOLDPENDTRANSFER}) {
      line.OnState[state] = [this, state](TTapiLine&, TTapiCall& call) { Note("On" + CallStateToStr(state), call); };
    }
    line.OnParty[LINECALLINFOSTATE_CALLERID] = [this](TTapiLine&, TTapiCall& call) {
      Note("CallerID " + call.CallerID.Number(), call);
    };
    line.OnParty[LINECALLINFOSTATE_CONNECTEDID] = [this](TTapiLine&, TTapiCall& call) {
      Note("ConnectedID " + call.ConnectedID.Number(), call);
    };
  }
  void Note(const std::string& event, TTapiCall& call) {
    events.push_back(event);
    last = &call;
    ++counts[event];
  }
  bool Saw(const std::string& event) const { return counts.count(event) != 0; }
  TTapiLine line;
  std::vector<std::string> events;
  std::map<std::string, int> counts;
  TTapiCall* last = nullptr;
};

class TapiLayer : public ::testing::Test {
 protected:
  void SetUp() override {
    TapiApplication().Close();
    test::TestTelephony().Service().HoldReplies(false);
    test::TestExchange().Configure(TSoftExchange::DefaultConfig());
  }
  void TearDown() override {
    test::TestTelephony().Service().HoldReplies(false);
    lines_.clear();
    TapiApplication().Close();
  }
  RecordedLine& Open(const std::string& deviceName) {
    lines_.push_back(std::make_unique<RecordedLine>(deviceName));
    RecordedLine& made = *lines_.back();
    made.line.SetActive(true);
    EXPECT_TRUE(made.line.Active());
    return made;
  }
  TSoftExchange& Switch() { return test::TestExchange(); }
  telephony::TTapiService& Service() { return test::TestTelephony().Service(); }
  std::vector<std::unique_ptr<RecordedLine>> lines_;
};

}  // namespace

TEST_F(TapiLayer, EnablingALineInitialisesTapiAndNamesTheDevices) {
  Switch().RemoveStation("103");
  TTapiLine line;
  EXPECT_FALSE(TapiApplication().Active());
  line.SetEnabled(true);
  ASSERT_TRUE(TapiApplication().Active());
  EXPECT_EQ(TapiApplication().LineDeviceNames(),
            (std::vector<std::string>{"Line 101", "Line 102", "Line Device #2 (removed)", "Line 104"}));
  EXPECT_EQ(TapiApplication().Init("again"), LINEERR_NOMULTIPLEINSTANCE);

  line.SetDeviceName("Line 102");
  EXPECT_EQ(line.DeviceID(), 1);
  EXPECT_TRUE(line.Available());
  line.SetDeviceName("Line 999");
  EXPECT_EQ(line.DeviceID(), -1);
  try {
    line.SetActive(true);
    FAIL() << "opened without a device";
  } catch (const ETapiError& error) {
    EXPECT_EQ(error.ErrorCode, LINEERR_NODEVICE);
  }
  try {
    line.MakeCall("102");
    FAIL();
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "TAPI device not active.");
  }

  // A device added later gets its name; the default shutdown delay keeps TAPI up after the last line goes.
  Switch().AddStation({"105", "Line 105"});
  line.SetDeviceName("Line 104");
  line.SetActive(true);
  ASSERT_TRUE(PumpUntil([] { return TapiApplication().LineDeviceNames().size() == 5; }));
  EXPECT_EQ(TapiApplication().LineDeviceNames().back(), "Line 105");
  line.SetEnabled(false);
  EXPECT_TRUE(TapiApplication().Active());
  TapiApplication().ShutdownDelay = 0;
  line.SetEnabled(true);
  line.SetEnabled(false);
  EXPECT_FALSE(TapiApplication().Active());
  TapiApplication().ShutdownDelay = 150;  // shut down later, unless a line comes back meanwhile
  line.SetEnabled(true);
  line.SetEnabled(false);
  EXPECT_TRUE(TapiApplication().Active());
  EXPECT_TRUE(PumpUntil([] { return !TapiApplication().Active(); }, 2s));
  TapiApplication().ShutdownDelay = -1;

  // Extension bounds the exchange does not offer leave the device unselected.
  line.SetEnabled(true);
  line.TSP.ExtHighVersion = 0x00010000;
  EXPECT_EQ(line.Init(0), LINEERR_OPERATIONUNAVAIL);
  EXPECT_FALSE(line.Available());
  line.TSP.ExtHighVersion = 0;
  EXPECT_EQ(line.Init(0), 0);
}

TEST_F(TapiLayer, AnIncomingCallRaisesItsEventsInOrderAndIsCleanedUpAfterIt) {
  RecordedLine& recorded = Open("Line 101");
  const DWORD farEnd = Switch().CallStation("101", "5551234");
  ASSERT_TRUE(PumpUntil([&] { return recorded.Saw("CallerID 5551234"); }));
  EXPECT_EQ(recorded.events,
            (std::vector<std::string>{"NewCall", "CallBegin", "State OFFERING", "OnOFFERING", "CallerID 5551234"}));
  TTapiCall& call = *recorded.last;
  EXPECT_EQ(call.RemoteID.Number(), "5551234");
  EXPECT_TRUE(call.IsInbound());
  EXPECT_FALSE(call.IsOutbound());
  EXPECT_EQ(call.CalledID.Number(), "101");
  EXPECT_TRUE(call.CallerID.Available());

  call.Answer();  // synchronous: back once the exchange has replied
  ASSERT_TRUE(PumpUntil([&] { return recorded.Saw("OnCONNECTED"); }));
  EXPECT_EQ(call.State(), LINECALLSTATE_CONNECTED);
  EXPECT_EQ(call.ActiveDigitModes, LINEDIGITMODE_DTMF);  // the first the exchange accepts
  EXPECT_EQ(call.RemoteID.Number(), "5551234");

  // The caller hangs up: dropped about 500 ms later, deallocated about 500 ms after going idle.
  Switch().HangUpFarEnd(farEnd);
  ASSERT_TRUE(PumpUntil([&] { return recorded.Saw("OnDISCONNECTED"); }));
  const auto disconnected = std::chrono::steady_clock::now();
  ASSERT_TRUE(PumpUntil([&] { return recorded.Saw("OnIDLE"); }));
  const auto idle = std::chrono::steady_clock::now();
  EXPECT_GE(idle - disconnected, 400ms);
  ASSERT_TRUE(PumpUntil([&] { return recorded.Saw("Deallocate"); }));
  EXPECT_GE(std::chrono::steady_clock::now() - idle, 400ms);
  EXPECT_EQ(recorded.counts["CallEnd"], 1);
  const auto idleAt = std::find(recorded.events.begin(), recorded.events.end(), "OnIDLE");
  EXPECT_EQ(*std::next(idleAt), "CallEnd");
  EXPECT_TRUE(recorded.line.Calls().Items().empty());
}

TEST_F(TapiLayer, KeptCallsStayUntilTheLineCloses) {
  RecordedLine& recorded = Open("Line 102");
  recorded.line.Options.AutoDropDiscCalls = -1;
  recorded.line.Options.AutoFreeIdleCalls = -1;
  const DWORD farEnd = Switch().CallStation("102", "777");
  ASSERT_TRUE(PumpUntil([&] { return recorded.Saw("OnOFFERING"); }));
  Switch().HangUpFarEnd(farEnd);
  ASSERT_TRUE(PumpUntil([&] { return recorded.Saw("OnDISCONNECTED"); }));
  PumpFor(700ms);
  EXPECT_EQ(recorded.line.Calls().Items().size(), 1u);
  EXPECT_FALSE(recorded.Saw("OnIDLE"));
  recorded.line.Close();
  EXPECT_TRUE(recorded.line.Calls().Items().empty());
  EXPECT_FALSE(recorded.Saw("Deallocate"));  // closing raises no call events
}

TEST_F(TapiLayer, MakeCallWaitsForItsReplyAndARejectedRequestFreesTheCall) {
  RecordedLine& caller = Open("Line 101");
  RecordedLine& called = Open("Line 102");
  TTapiCall* call = caller.line.MakeCall("102");
  ASSERT_NE(call, nullptr);
  EXPECT_NE(call->Handle, 0u);
  EXPECT_TRUE(call->Registered());
  EXPECT_EQ(caller.line.Calls().Items(), std::vector<TTapiCall*>{call});
  EXPECT_TRUE(caller.line.PendingCalls().empty());
  ASSERT_TRUE(PumpUntil([&] { return called.Saw("OnOFFERING"); }));
  EXPECT_TRUE(call->IsOutbound());
  EXPECT_EQ(call->RemoteID.Number(), "102");
  called.last->Answer();
  // The connected party comes with the LINE_CALLINFO that follows the state.
  ASSERT_TRUE(PumpUntil([&] { return caller.Saw("ConnectedID 102"); }));
  EXPECT_EQ(call->ConnectedID.Number(), "102");
  EXPECT_EQ(call->ConnectedID.Name(), "Line 102");

  try {
    caller.line.MakeCall("12x");
    FAIL() << "a wrong number was accepted";
  } catch (const ETapiError& error) {
    EXPECT_EQ(error.ErrorCode, LINEERR_INVALADDRESS);
  }
  EXPECT_TRUE(caller.line.PendingCalls().empty());
  EXPECT_EQ(caller.line.Calls().Items().size(), 1u);

  try {
    caller.line.Hold(nullptr);
    FAIL();
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "Hold failed! Invalid call.");
  }
  try {
    caller.line.Dial(call, "1");  // connected: the exchange refuses at once
    FAIL();
  } catch (const ETapiError& error) {
    EXPECT_EQ(error.ErrorCode, LINEERR_INVALCALLSTATE);
  }
}

TEST_F(TapiLayer, AMessageArrivingDuringASynchronousWaitIsProcessedOnce) {
  RecordedLine& first = Open("Line 101");
  RecordedLine& second = Open("Line 102");
  Switch().CallStation("101", "5550001");
  ASSERT_TRUE(PumpUntil([&] { return first.Saw("OnOFFERING"); }));
  TTapiCall* call = first.last;
  Service().HoldReplies(true);
  std::thread outside([&] {
    std::this_thread::sleep_for(150ms);
    Switch().CallStation("102", "5550002");  // arrives while the answer waits
    std::this_thread::sleep_for(150ms);
    Service().HoldReplies(false);
  });
  call->Answer();
  outside.join();
  EXPECT_EQ(TapiApplication().WaitDepth(), 0);
  EXPECT_EQ(second.counts["NewCall"], 1);  // handled inside the wait
  PumpFor(200ms);
  EXPECT_EQ(second.counts["NewCall"], 1);
  EXPECT_EQ(second.counts["OnOFFERING"], 1);
  EXPECT_EQ(first.counts["OnCONNECTED"], 1);
}

TEST_F(TapiLayer, ClosingTheLineEndsAWaitWithOperationFailed) {
  RecordedLine& recorded = Open("Line 103");
  Switch().CallStation("103", "5550003");
  ASSERT_TRUE(PumpUntil([&] { return recorded.Saw("OnOFFERING"); }));
  Service().HoldReplies(true);
  platform::HiddenWindow closer([&](const platform::Message&) { recorded.line.Close(); });
  std::thread poster([&] {
    std::this_thread::sleep_for(100ms);
    platform::PostMessage(closer.Handle(), platform::WM_USER + 7, 0, 0);
  });
  const auto started = std::chrono::steady_clock::now();
  try {
    recorded.last->Answer();
    FAIL() << "the wait went on";
  } catch (const ETapiError& error) {
    EXPECT_EQ(error.ErrorCode, LINEERR_OPERATIONFAILED);
  }
  poster.join();
  EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
  EXPECT_FALSE(recorded.line.Active());
}

TEST_F(TapiLayer, ConsultationTransferPairsTheHeldCallWithTheConsultation) {
  RecordedLine& agent = Open("Line 101");
  RecordedLine& expert = Open("Line 102");
  const DWORD farEnd = Switch().CallStation("101", "5550009");
  ASSERT_TRUE(PumpUntil([&] { return agent.Saw("OnOFFERING"); }));
  TTapiCall* call = agent.last;
  call->Answer();
  TTapiCall* consult = call->SetupTransfer();
  ASSERT_NE(consult, nullptr);
  EXPECT_EQ(call->ConsultCall, consult);
  EXPECT_EQ(consult->RelatedCall, call);
  ASSERT_TRUE(PumpUntil([&] { return agent.Saw("OnONHOLDPENDTRANSFER"); }));
  consult->Dial("102");
  ASSERT_TRUE(PumpUntil([&] { return expert.Saw("OnOFFERING"); }));
  TTapiCall* expertCall = expert.last;
  EXPECT_EQ(expertCall->CallerID.Number(), "101");
  expertCall->Answer();
  ASSERT_TRUE(PumpUntil([&] { return consult->Connected(); }));
  EXPECT_EQ(consult->CompleteTransfer(false), nullptr);  // the connected consultation finds its held call
  ASSERT_TRUE(PumpUntil([&] { return expert.Saw("ConnectedID 5550009"); }));
  EXPECT_EQ(expertCall->RemoteID.Number(), "5550009");
  ASSERT_TRUE(PumpUntil([&] { return agent.counts["OnIDLE"] == 2; }));
  EXPECT_EQ(Switch().FarEndOf("102"), farEnd);

  // Without a pair there is nothing to complete.
  Switch().CallStation("101", "5550010");
  ASSERT_TRUE(PumpUntil([&] { return agent.counts["NewCall"] == 2; }));
  TTapiCall* lone = agent.last;
  lone->Answer();
  try {
    lone->CompleteTransfer(false);
    FAIL();
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "CompleteTransfer failed! No suitable call found.");
  }
}

TEST_F(TapiLayer, ForwardingIsSetAndReadBackThroughTheAddress) {
  RecordedLine& recorded = Open("Line 104");
  ASSERT_EQ(recorded.line.Addresses().size(), 1u);
  TTapiAddress& address = *recorded.line.Addresses()[0];
  EXPECT_EQ(address.Name(), "104");
  TTapiForwardList dnd;
  dnd.Add(LINEFORWARDMODE_UNCOND, "", "", 0);
  recorded.line.Options.SyncMode = false;
  address.Forward(&dnd);
  recorded.line.Options.SyncMode = true;
  PumpFor(100ms);
  const TTapiForwardList& forwarded = address.Status().ForwardList();
  ASSERT_EQ(const_cast<TTapiForwardList&>(forwarded).Entries().size(), 1u);
  EXPECT_EQ(Switch().CallStation("104", "555"), 0u);  // turned away
  address.Forward(nullptr);
  EXPECT_TRUE(address.Status().ForwardList().Entries().empty());
}

TEST_F(TapiLayer, RecordsAndNamesReadTheTapiLayouts) {
  TTapiCallParams params;
  const LINECALLPARAMS* record = params.BuildCallParams();
  EXPECT_EQ(record->dwTotalSize, 176u);
  EXPECT_EQ(record->dwBearerMode, 1u);
  EXPECT_EQ(record->dwMediaMode, 4u);
  EXPECT_EQ(record->dwAddressMode, 1u);
  EXPECT_EQ(record->dwAddressID, 0u);
  params.Comment = "vip";
  params.SetBlockID(true);
  record = params.BuildCallParams();
  EXPECT_EQ(record->dwTotalSize, 180u);
  EXPECT_EQ(record->dwCallParamFlags, LINECALLPARAMFLAGS_BLOCKID);
  EXPECT_STREQ(reinterpret_cast<const char*>(record) + record->dwCommentOffset, "vip");

  TTapiForwardList list;
  EXPECT_EQ(reinterpret_cast<const LINEFORWARDLIST*>(list.Build().data())->dwTotalSize, 32u);
  list.Add(LINEFORWARDMODE_UNCOND, "", "201", 0);
  list.Add(LINEFORWARDMODE_UNCOND, "9", "", 0);
  const std::vector<DWORD> built = list.Build();
  const auto* forward = reinterpret_cast<const LINEFORWARDLIST*>(built.data());
  EXPECT_EQ(forward->dwTotalSize, 32u + 24u + 4u + 2u);
  EXPECT_EQ(forward->dwNumEntries, 2u);
  EXPECT_STREQ(reinterpret_cast<const char*>(forward) + forward->ForwardList[0].dwDestAddressOffset, "201");

  EXPECT_EQ(CallStateToStr(0x8000), "LINECALLSTATE_$8000");
  EXPECT_EQ(CallStateToStr(LINECALLSTATE_ONHOLDPENDTRANSFER), "ONHOLDPENDTRANSFER");
  EXPECT_EQ(CallStateModeToStr(LINECALLSTATE_CONNECTED, 0x20), "");
  EXPECT_EQ(CallStateModeToStr(LINECALLSTATE_DISCONNECTED, 0x4), "REJECT");
  EXPECT_EQ(CallInfoStateToStr(0x8010), "MEDIAMODE CALLERID");
  EXPECT_EQ(CallInfoStateToStr(0x80000000), "LINECALLINFOSTATE_$80000000");
  EXPECT_EQ(CallInfoStateToStr(0), "");
  EXPECT_EQ(PhoneStateToStr(0x10), "MONITORS ");
  EXPECT_EQ(PhoneStateToStr(0x3), "PHONESTATE_ 0x0003");
  EXPECT_EQ(MessageToStr(LINE_APPNEWCALL), "LINE_APPNEWCALL");
  EXPECT_EQ(MessageToStr(99), "LINE_/PHONE_$63");
  EXPECT_EQ(TapiErrorText(static_cast<LONG>(0x80000099)), "TAPI-Error 0x80000099");
  EXPECT_THROW(TapiCheck(LINEERR_OPERATIONFAILED), ETapiError);
  EXPECT_EQ(TapiCheck(5), 5);
}

TEST_F(TapiLayer, CallInfoMessagesOfOneCallAreMergedWhenBackToBack) {
  TTapiMsgStack stack;
  ASSERT_TRUE(stack.Acquire(10));
  stack.Push({false, 7, LINE_CALLINFO, 3, LINECALLINFOSTATE_CALLERID, 0, 0});
  stack.Push({false, 7, LINE_CALLINFO, 3, LINECALLINFOSTATE_CALLEDID, 0, 0});
  stack.Push({false, 7, LINE_CALLSTATE, 3, LINECALLSTATE_CONNECTED, 0, 0});
  stack.Push({false, 7, LINE_CALLINFO, 3, LINECALLINFOSTATE_ORIGIN, 0, 0});
  stack.Push({false, 8, LINE_CALLINFO, 3, LINECALLINFOSTATE_REASON, 0, 0});
  stack.Push({false, 1, LINE_ADDRESSSTATE, 3, 0, LINEADDRESSSTATE_FORWARD, 0});
  stack.Push({false, 1, LINE_ADDRESSSTATE, 3, 0, LINEADDRESSSTATE_NUMCALLS, 0});
  stack.Push({false, 1, LINE_ADDRESSSTATE, 3, 1, LINEADDRESSSTATE_OTHER, 0});
  std::vector<TTapiMsgStackItem> popped;
  for (TTapiMsgStackItem item; stack.Pop(item);) popped.push_back(item);
  stack.Release();
  ASSERT_EQ(popped.size(), 6u);
  EXPECT_EQ(popped[0].dwParam1, LINECALLINFOSTATE_CALLERID | LINECALLINFOSTATE_CALLEDID);
  EXPECT_EQ(popped[1].dwMessageID, LINE_CALLSTATE);
  EXPECT_EQ(popped[2].dwParam1, LINECALLINFOSTATE_ORIGIN);  // another call's info is not merged in
  EXPECT_EQ(popped[4].dwParam2, LINEADDRESSSTATE_FORWARD | LINEADDRESSSTATE_NUMCALLS);
  EXPECT_EQ(popped[5].dwParam1, 1u);
}

TEST_F(TapiLayer, TwoHundredLinesAndThousandsOfCallsLoseNoEvent) {
  constexpr int kStations = 200;
  constexpr int kRounds = 10;
  TExchangeConfig config;
  config.trunks = kStations;
  for (int i = 0; i < kStations; ++i) config.stations.push_back({std::to_string(2000 + i), {}});
  Switch().Configure(config);
  std::vector<RecordedLine*> lines;
  for (int i = 0; i < kStations; ++i) lines.push_back(&Open("Line " + std::to_string(2000 + i)));
  std::atomic<bool> fed{false};
  std::thread callers([&] {
    for (int round = 0; round < kRounds; ++round) {
      for (int i = 0; i < kStations; ++i) {
        const DWORD farEnd = Switch().CallStation(std::to_string(2000 + i), "555" + std::to_string(i));
        Switch().HangUpFarEnd(farEnd);
      }
    }
    fed = true;
  });
  const auto all = [&](const char* event) {
    for (RecordedLine* line : lines) {
      if (line->counts[event] != kRounds) return false;
    }
    return true;
  };
  const bool done = PumpUntil([&] { return fed && all("Deallocate"); }, 60s);
  callers.join();
  ASSERT_TRUE(done);
  PumpFor(100ms);
  for (RecordedLine* line : lines) {
    for (const char* event : {"NewCall", "OnOFFERING", "OnDISCONNECTED", "OnIDLE", "CallEnd", "Deallocate"}) {
      EXPECT_EQ(line->counts[event], kRounds) << event;
    }
  }
}
