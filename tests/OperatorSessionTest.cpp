// The clients' operator session (the console's and the gateway's) against a running host: log-in once per line,
// and a consultation that waits on the line's events until its target answers or its deadline passes.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "HostProcess.h"
#include "Vantrel.hh"
#include "client/ClientOrb.h"
#include "client/LineActivity.h"
#include "client/OperatorSession.h"

using namespace std::chrono_literals;
using vantrel::client::TLineActivity;
using vantrel::client::TOperatorSession;
using vantrel::client::TSessionError;

namespace {

// A client's listener: what the line sends wakes the client's waits; with `answering`, the phone at the line is
// picked up the moment a call is offered there.
class SessionLineEvents : public POA_LineEvents {
 public:
  SessionLineEvents(std::string number, TLineActivity& activity, ::Line_ptr answering)
      : number_(std::move(number)), activity_(activity), answering_(::Line::_duplicate(answering)) {}
  void DoCallEvent(::CallEventType type, CORBA::Long call) override {
    if (type == ::Offering && !CORBA::is_nil(answering_)) answering_->Answer(call);
    activity_.Note(number_);
  }

 private:
  const std::string number_;
  TLineActivity& activity_;
  ::Line_var answering_;
};

class OperatorSession : public ::testing::Test {
 protected:
  void SetUp() override {
    std::ofstream(host_.IniFolder() / "Settings.ini") << "[Server]\nType=Distributed\n";
    ASSERT_TRUE(host_.Start()) << host_.ErrorOutput();
    ASSERT_TRUE(host_.WaitForOutput("Loaded: 4 lines")) << host_.Output();
    ::Environment_var environment = vantrel::ResolveEnvironment(TestORB(), host_.Corbaloc());
    lines_ = environment->GetLines();
    operators_ = environment->GetOperators();
    desk_ = LineOf("103");
    Listen("103", desk_, ::Line::_nil());
  }
  void TearDown() override {
    for (auto& id : ids_) TestPOA()->deactivate_object(id);
    EXPECT_EQ(host_.Stop(), 0);
  }
  ::Line_ptr LineOf(const char* number) {
    return ::Line::_narrow(::ContainerItem_var(lines_->GetItemByDevicePhoneNumber(number)));
  }
  void Listen(const std::string& number, ::Line_ptr line, ::Line_ptr answering) {
    PortableServer::ObjectId_var id;
    ::LineEvents_var listener =
        vantrel::ServeListener<::LineEvents>(TestPOA(), new SessionLineEvents(number, activity_, answering), id);
    ids_.push_back(id);
    line->AddEventsListener(listener);
    line->ChangeLineEventLastContact();
  }
  // A caller from outside, talking to the person at 103: the call at 103.
  CORBA::Long ConnectedCaller(const std::string& caller) {
    EXPECT_EQ(host_.RunExchange("call 103 from " + caller).first, 0);
    CORBA::Long call = 0;
    EXPECT_TRUE(WaitUntil([&] { return (call = desk_->GetOfferingCall()) != 0; }))
        << host_.RunExchange("status").second;
    desk_->Answer(call);
    EXPECT_TRUE(WaitUntil([&] { return desk_->GetCallState(call) == 0x100; }));
    return call;
  }
  TOperatorSession Session() { return TOperatorSession(operators_, desk_, "103", activity_); }

  HostProcess host_;
  ::Lines_var lines_;
  ::Operators_var operators_;
  ::Line_var desk_;
  TLineActivity activity_;
  std::vector<PortableServer::ObjectId_var> ids_;
};

TSessionError::TKind KindOf(const std::function<void()>& step) {
  try {
    step();
  } catch (const TSessionError& error) {
    return error.Kind();
  }
  ADD_FAILURE() << "the step was not refused";
  return TSessionError::TKind::Refused;
}

std::string TextOf(const std::function<void()>& step) {
  try {
    step();
  } catch (const TSessionError& error) {
    return error.what();
  }
  return "(done)";
}

}  // namespace

TEST_F(OperatorSession, AnOperatorLogsInOnceAtALineAndLogsOut) {
  ::Operator_var anna = Session().LogIn(1, "desk");
  EXPECT_EQ(anna->GetID(), 1);
  EXPECT_EQ(desk_->GetOperatorID(), 1);
  EXPECT_EQ(TextOf([&] { ::Operator_var(Session().LogIn(2, "desk")); }), "Operator 1 is logged in at line 103");
  ::Line_var other = LineOf("104");
  EXPECT_EQ(TextOf([&] { ::Operator_var(TOperatorSession(operators_, other, "104", activity_).LogIn(1, "desk")); }),
            "Operator 1 is logged in at another line");
  Session().LogOut();
  EXPECT_EQ(desk_->GetOperatorID(), -1);
  EXPECT_EQ(operators_->GetItemsCount(), 0);
  EXPECT_EQ(TextOf([&] { Session().LogOut(); }), "Nobody is logged in at line 103");
}

TEST_F(OperatorSession, AConsultationWhoseTargetAnswersAtOnceIsReadyToCompleteWellBeforeItsDeadline) {
  ::Line_var support = LineOf("104");
  Listen("104", support, support);  // the person at 104 picks up at once
  const CORBA::Long call = ConnectedCaller("5550100");
  const auto start = std::chrono::steady_clock::now();
  const long consult = Session().ConsultAndWait(call, "104", start + 10s);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_NE(consult, call);
  EXPECT_EQ(desk_->GetConsultCallHandle(call), consult);
  EXPECT_EQ(desk_->GetCallState(consult), 0x100);

  Session().Complete(call);
  EXPECT_TRUE(WaitUntil([&] { return desk_->GetCallsCount() == 0; })) << host_.RunExchange("status").second;
  const std::string status = host_.RunExchange("status").second;
  EXPECT_NE(status.find("outside 5550100 CONNECTED with 104"), std::string::npos) << status;
}

TEST_F(OperatorSession, AConsultationNobodyAnswersEndsAtItsDeadlineWithTheCallerStillHeld) {
  const CORBA::Long call = ConnectedCaller("5550101");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(KindOf([&] { Session().ConsultAndWait(call, "102", start + 1500ms); }), TSessionError::TKind::TimedOut);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, 1500ms);
  EXPECT_LT(waited, 4s);
  // The consultation still rings at 102; the caller is held at 103 for whatever the operator does next.
  const CORBA::Long consult = desk_->GetConsultCallHandle(call);
  ASSERT_NE(consult, 0);
  EXPECT_EQ(desk_->GetCallState(call), 0x2000);
  EXPECT_EQ(TextOf([&] { Session().WaitAnswered(consult, "102", std::chrono::steady_clock::now() + 200ms); }),
            "102 did not answer in time");
}
