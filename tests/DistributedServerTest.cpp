// A server of the Distributed type against its clients: many operators at once, one per employee and per line.
#include <gtest/gtest.h>

#include <fstream>
#include <set>

#include "HostProcess.h"
#include "Vantrel.hh"

namespace {

class DistributedServer : public ::testing::Test {
 protected:
  void SetUp() override {
    std::ofstream(host_.IniFolder() / "Settings.ini") << "[Server]\nType=Distributed\n";
    ASSERT_TRUE(host_.Start()) << host_.ErrorOutput();
    ASSERT_TRUE(host_.WaitForOutput("Loaded: 4 lines")) << host_.Output();
    environment_ = ::Environment::_narrow(CORBA::Object_var(TestORB()->string_to_object(host_.Corbaloc().c_str())));
    lines_ = environment_->GetLines();
    operators_ = environment_->GetOperators();
  }
  void TearDown() override { EXPECT_EQ(host_.Stop(), 0); }
  ::Line_ptr LineOf(const char* number) {
    return ::Line::_narrow(::ContainerItem_var(lines_->GetItemByDevicePhoneNumber(number)));
  }
  // What a client's login does: a new Operator with the employee's ID, seated at the line.
  void LogIn(CORBA::Long employee, const char* line) {
    ::Operator_var seated = ::Operator::_narrow(::ContainerItem_var(operators_->CreateItem(true)));
    ASSERT_FALSE(CORBA::is_nil(seated)) << employee;
    seated->SetID(employee);
    seated->SetLine(::Line_var(LineOf(line)));
  }
  std::set<CORBA::Long> LoggedIn() {
    std::set<CORBA::Long> ids;
    for (CORBA::Long i = 0; i < operators_->GetItemsCount(); ++i) ids.insert(operators_->GetItemID(i));
    return ids;
  }

  HostProcess host_;
  ::Environment_var environment_;
  ::Lines_var lines_;
  ::Operators_var operators_;
};

}  // namespace

TEST_F(DistributedServer, ManyOperatorsLogInEachAtTheirOwnLineAndALaterLoginReplacesAnEarlierOne) {
  EXPECT_EQ(environment_->GetServerType(), ::Distributed);
  LogIn(1, "101");
  LogIn(2, "102");
  LogIn(3, "103");
  EXPECT_EQ(LoggedIn(), (std::set<CORBA::Long>{1, 2, 3}));
  EXPECT_EQ(::Line_var(LineOf("102"))->GetOperatorID(), 2);

  // Employee 2 logs in again at another line: the earlier login goes, and its line is free.
  LogIn(2, "104");
  EXPECT_EQ(LoggedIn(), (std::set<CORBA::Long>{1, 2, 3}));
  EXPECT_EQ(::Line_var(LineOf("102"))->GetOperatorID(), -1);
  EXPECT_EQ(::Line_var(LineOf("104"))->GetOperatorID(), 2);

  // Employee 4 sits down at employee 1's line: one operator a line, so employee 1 is logged out.
  LogIn(4, "101");
  EXPECT_EQ(LoggedIn(), (std::set<CORBA::Long>{2, 3, 4}));
  EXPECT_EQ(::Line_var(LineOf("101"))->GetOperatorID(), 4);
  ::OperatorItemSeq_var records = operators_->GetOperatorsArray();
  EXPECT_EQ(records->length(), 3u);
}

TEST_F(DistributedServer, TheServerCountsTheCallsEachOperatorAnswers) {
  LogIn(3, "103");
  LogIn(4, "104");
  for (int call = 0; call < 2; ++call) {
    host_.RunExchange("call 103 from 555010" + std::to_string(call));
    host_.RunExchange("pickup 103");
    host_.RunExchange("hangup");
  }
  ::Operator_var three = ::Operator::_narrow(::ContainerItem_var(operators_->GetItemByID(3)));
  ::Operator_var four = ::Operator::_narrow(::ContainerItem_var(operators_->GetItemByID(4)));
  EXPECT_TRUE(WaitUntil([&] { return three->GetCallsCount() == 2; })) << three->GetCallsCount();
  EXPECT_EQ(four->GetCallsCount(), 0);
}

TEST(OperatorPauses, AClientGivesAReasonAndARoutedCallRingingOutPausesTheOperator) {
  HostProcess host;
  std::ofstream(host.IniFolder() / "Settings.ini") << "[Server]\nType=Distributed\n";
  std::ofstream(host.IniFolder() / "Exchange.ini")
      << "[Exchange]\nTrunks=4\n[Stations]\n101=Trunk 101\n102=Seat 102\n103=Seat 103\n";
  std::ofstream(host.IniFolder() / "Rules.ini")
      << "[Rules]\nName=Rules\nEnabled=1\nSystemPhoneNumber=\nRingTimeout=1\nPauseOnNoAnswer=1\n[Rules_Items]\n"
         "Count=1\nItemID=1\n[Rules_0]\nID=1\nOrder=0\nName=Inbound\nEnabled=1\n[Rules_0_Items]\nCount=1\nItemID=1\n"
         "[Rules_0_0]\nID=1\nOrder=0\nEnabled=1\nActionType=2\nPhoneNumber=102\n";
  std::ofstream(host.IniFolder() / "Lines.ini")
      << "[Lines_Items]\nCount=1\nItemID=0\n[Lines_0]\nID=0\nOrder=0\nName=Trunk 101\nEnabled=1\nRuleID=1\n"
         "IsOuter=1\nUsingDND=0\n";
  ASSERT_TRUE(host.Start()) << host.ErrorOutput();
  ASSERT_TRUE(host.WaitForOutput("Loaded: 3 lines")) << host.Output();
  ::Environment_var environment =
      ::Environment::_narrow(CORBA::Object_var(TestORB()->string_to_object(host.Corbaloc().c_str())));
  ::Lines_var lines = environment->GetLines();
  ::Operators_var operators = environment->GetOperators();
  const auto seat = [&](CORBA::Long employee, const char* number) {
    ::Operator_var seated = ::Operator::_narrow(::ContainerItem_var(operators->CreateItem(true)));
    seated->SetID(employee);
    seated->SetLine(::Line_var(::Line::_narrow(::ContainerItem_var(lines->GetItemByDevicePhoneNumber(number)))));
    return seated;
  };
  ::Operator_var anna = seat(1, "102");
  ::Operator_var boris = seat(2, "103");

  // A pause carries the client's reason; being ready again clears it.
  boris->SetStatus(::OperatorPause);
  boris->SetPauseReason(7);
  EXPECT_EQ(boris->GetPauseReason(), 7);
  boris->SetStatus(::OperatorReady);
  EXPECT_EQ(boris->GetPauseReason(), 0);

  // A routed call rings at Anna's phone for longer than the rule's ring time: she is paused by the server.
  host.RunExchange("call 101 from 5550100");
  EXPECT_TRUE(WaitUntil([&] { return anna->GetStatus() == ::OperatorPause; }, std::chrono::seconds(10)));
  EXPECT_EQ(anna->GetPauseReason(), -1);
  EXPECT_EQ(boris->GetStatus(), ::OperatorReady);
  host.RunExchange("hangup");
  EXPECT_EQ(host.Stop(), 0);
}
