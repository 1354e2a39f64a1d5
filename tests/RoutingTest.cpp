// The routing configuration and the Database inside a served Environment, used through references as the
// server's own lines and the clients use them, with the sample CRM in an embedded database.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <set>

#include "CrmBackends.h"
#include "FakeLine.h"
#include "LocalOrb.h"
#include "database/CrmSchema.h"
#include "database/DataConnection.h"
#include "host/EnvironmentChildren.h"
#include "model/EnvironmentLib.h"
#include "model/Servant.h"
#include "routing/OperatorLib.h"
#include "routing/OperatorsLib.h"
#include "routing/RulesLib.h"
#include "routing/TranslateRulesLib.h"
#include "support/IniFile.h"

using namespace vantrel;
namespace fs = std::filesystem;

namespace {

class ServedEnvironment : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() / ("vantrel-routing-" + std::to_string(::getpid()) + "-" +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(folder_);
    fs::create_directories(folder_);
    environment_ = Orb().Serve<::Environment>(new TServant<TEnvironment_Impl>(MakeEnvironmentChildren()));
    environment_->SetItemsEnvironment(environment_);
    environment_->SetIniFilesPath(folder_.string().c_str());
    database_ = environment_->GetDatabase();
    rules_ = environment_->GetRules();
    translateRules_ = environment_->GetTranslateRules();
    lines_ = environment_->GetLines();
    operators_ = environment_->GetOperators();
  }
  void TearDown() override {
    PortableServer::ObjectId_var id = Orb().POA()->reference_to_id(environment_);
    Orb().POA()->deactivate_object(id);
    fs::remove_all(folder_);
  }

  // Connects the Database to an empty CRM of the backend holding the sample data.
  void ConnectSampleCrm(crmtest::CrmBackend backend = crmtest::CrmBackend::SQLite) {
    const std::string connection = crmtest::CrmConnectionString(backend);
    crmtest::ResetCrm(backend, folder_.string());
    TDataConnection direct(folder_.string());
    direct.SetConnectionString(connection);
    ASSERT_TRUE(AddSampleCrm(direct));
    database_->SetConnectionString(connection.c_str());
    CORBA::String_var error = CORBA::string_dup("");
    ASSERT_TRUE(database_->SetConnected(true, error.inout())) << error.in();
  }
  // A line of the server with the given ID and device number.
  ::Line_ptr AddLine(CORBA::Long id, const char* number) {
    ::Line_var line = Orb().Serve<::Line>(new TServant<TFakeLine>(number));
    line->SetEnvironment(environment_);
    line->SetID(id);
    line->SetOrder(lines_->GetNextOrder());
    lines_->AddItem(line);
    return line._retn();
  }
  // A logged-in operator; the container makes only the first, the others join as their logins would.
  ::Operator_ptr AddOperator(CORBA::Long id, ::Line_ptr line, ::OperatorStatus status = ::OperatorReady) {
    ::Operator_var added;
    if (operators_->GetItemsCount() == 0) {
      ::ContainerItem_var item = operators_->CreateItem(true);
      added = ::Operator::_narrow(item);
    } else {
      added = Orb().Serve<::Operator>(new TServant<TOperator_Impl>());
      added->SetEnvironment(environment_);
      added->SetOrder(operators_->GetNextOrder());
      operators_->AddItem(added);
    }
    added->SetID(id);
    added->SetLine(line);
    added->SetStatus(status);
    return added._retn();
  }
  ::RuleAction_ptr AddAction(::Rule_ptr rule, ::RuleActionType type) {
    ::ContainerItem_var item = rule->CreateItem(true);
    ::RuleAction_var action = ::RuleAction::_narrow(item);
    action->SetActionType(type);
    return action._retn();
  }
  ::Rule_ptr AddRule(const char* name) {
    ::ContainerItem_var item = rules_->CreateItem(true);
    item->SetObjectName(name);
    return ::Rule::_narrow(item);
  }
  // The action's target, or "-" when it declines.
  static std::string Target(::RuleAction_ptr action, const char* caller) {
    CORBA::String_var target;
    return action->Apply(caller, "100", target.out()) ? std::string(target.in()) : "-";
  }
  std::string Ini(const char* name) const { return (folder_ / name).string(); }

  fs::path folder_;
  ::Environment_var environment_;
  ::Database_var database_;
  ::Rules_var rules_;
  ::TranslateRules_var translateRules_;
  ::Lines_var lines_;
  ::Operators_var operators_;
};

using NumberTranslation = ServedEnvironment;
using OperatorLogins = ServedEnvironment;
// The cases that read the CRM run against each backend.
class ServedCrm : public ServedEnvironment, public ::testing::WithParamInterface<crmtest::CrmBackend> {
 protected:
  void SetUp() override {
    if (crmtest::CrmConnectionString(GetParam()).empty()) GTEST_SKIP() << crmtest::kNoPostgres;
    ServedEnvironment::SetUp();
  }
  void TearDown() override {
    if (!CORBA::is_nil(environment_)) ServedEnvironment::TearDown();
  }
};
using RuleActionTargets = ServedCrm;
using DatabaseConnections = ServedCrm;
using RoutingRules = ServedEnvironment;
using DatabaseObject = ServedEnvironment;
using EnvironmentFiles = ServedEnvironment;

::TranslateRule_ptr AddTranslateRule(::TranslateRules_ptr rules, const char* oldMask, const char* newMask) {
  ::ContainerItem_var item = rules->CreateItem(true);
  ::TranslateRule_var rule = ::TranslateRule::_narrow(item);
  rule->SetOldMask(oldMask);
  rule->SetNewMask(newMask);
  return rule._retn();
}

}  // namespace

TEST_F(NumberTranslation, MasksAreCheckedAndNumbersTranslatedAsTheExamplesSay) {
  ::TranslateRule_var rule = AddTranslateRule(translateRules_, "", "");
  EXPECT_EQ(rule->GetIsMaskCorrect("8x"), ::IncorrectChar);
  EXPECT_EQ(rule->GetIsMaskCorrect("0*1*"), ::IncorrectMulsCount);
  EXPECT_EQ(rule->GetIsMaskCorrect("8X*"), ::IncorrectXMulsMix);
  EXPECT_EQ(rule->GetIsMaskCorrect(""), ::NoError);
  EXPECT_EQ(rule->GetIsMasksCorrect("8XX", "9XXX"), ::DifferentXCount);
  EXPECT_EQ(rule->GetIsMasksCorrect("8*", "9"), ::DifferentMulsCount);

  struct Case {
    const char *oldMask, *newMask, *number, *expected;  // expected "-": the rule does not apply
  };
  const Case cases[] = {
      {"8XX", "9W8XX", "812", "9W812"},
      {"XX", "5XX", "12", "512"},
      {"XX", "5XX", "123", "-"},
      {"00*", "9W810*", "004", "9W8104"},
      {"00*", "9W810*", "0012345", "9W81012345"},
      {"00*", "9W810*", "014", "-"},
      {"8XXX", "9XXX", "8", "9"},
      {"8XXX", "9XXX", "81234", "-"},
      {"8XX", "9XXX", "812", "-"},
      {"P8XX", "T9XX", "P812", "T912"},
      {"8XX", "9XX", "", "-"},
  };
  for (const Case& c : cases) {
    rule->SetOldMask(c.oldMask);
    rule->SetNewMask(c.newMask);
    CORBA::String_var translated;
    const bool applied = rule->Apply(c.number, translated.out());
    EXPECT_EQ(applied ? std::string(translated.in()) : "-", c.expected)
        << c.oldMask << " -> " << c.newMask << " on " << c.number;
  }
}

TEST_F(NumberTranslation, TheLowestOrderWinsDisabledRulesAreSkippedAndNoRuleLogsTheNumber) {
  CORBA::String_var translated;
  EXPECT_FALSE(translateRules_->Apply("812", translated.out()));
  ::TranslateRule_var late = AddTranslateRule(translateRules_, "8XX", "7XX");
  ::TranslateRule_var early = AddTranslateRule(translateRules_, "8XX", "6XX");
  late->SetOrder(5);
  early->SetOrder(1);
  ASSERT_TRUE(translateRules_->Apply("812", translated.out()));
  EXPECT_STREQ(translated.in(), "612");
  early->SetEnabled(false);
  ASSERT_TRUE(translateRules_->Apply("812", translated.out()));
  EXPECT_STREQ(translated.in(), "712");
  // The container's own flag is not consulted.
  translateRules_->SetEnabled(false);
  EXPECT_TRUE(translateRules_->Apply("812", translated.out()));

  std::ifstream log;
  std::string text;
  for (const auto& entry : fs::directory_iterator(folder_ / "Logs")) {
    std::ifstream file(entry.path());
    text += std::string(std::istreambuf_iterator<char>(file), {});
  }
  EXPECT_NE(text.find("NOT_InternalRulesApplyed: 812"), std::string::npos);
  EXPECT_NE(text.find("InternalRulesApplyed: 812 = 612"), std::string::npos);
}

TEST_F(NumberTranslation, RandomMasksAndNumbersNeverCrashNorApplyAnIncorrectRule) {
  std::mt19937 random(20261206);
  const std::string alphabet = "0123456789PTWX*x#";
  const auto randomText = [&](const std::string& chars, int maxLength) {
    std::string text(std::uniform_int_distribution<int>(0, maxLength)(random), ' ');
    for (char& c : text) c = chars[std::uniform_int_distribution<std::size_t>(0, chars.size() - 1)(random)];
    return text;
  };
  ::TranslateRule_var rule = AddTranslateRule(translateRules_, "", "");
  for (int i = 0; i < 2000; ++i) {
    const std::string oldMask = randomText(alphabet, 6), newMask = randomText(alphabet, 6);
    const std::string number = randomText("0123456789PTW", 8);
    rule->SetOldMask(oldMask.c_str());
    rule->SetNewMask(newMask.c_str());
    CORBA::String_var translated;
    if (!rule->Apply(number.c_str(), translated.out())) continue;
    ASSERT_EQ(rule->GetIsCorrect(), ::NoError) << oldMask << " " << newMask;
    // The literal prefix of OldMask is replaced by NewMask's; the rest of the number stays.
    const std::size_t oldPrefix = oldMask.find_first_not_of("0123456789PTW");
    const std::size_t newPrefix = newMask.find_first_not_of("0123456789PTW");
    const std::string head = oldMask.substr(0, oldPrefix);
    ASSERT_EQ(number.compare(0, head.size(), head), 0);
    ASSERT_EQ(std::string(translated.in()),
              newMask.substr(0, newPrefix) + (number.size() > head.size() ? number.substr(head.size()) : ""));
  }
}

TEST_F(OperatorLogins, OneEmployeeOneOperatorAndTheStatusDrivesDoNotDisturb) {
  ::Line_var line = AddLine(0, "201");
  ::ContainerItem_var first = operators_->CreateItem(true);
  ::ContainerItem_var second = operators_->CreateItem(true);
  EXPECT_FALSE(CORBA::is_nil(first));
  EXPECT_TRUE(CORBA::is_nil(second));
  EXPECT_EQ(operators_->GetItemsCount(), 1);

  ::Operator_var anna = ::Operator::_narrow(first);
  EXPECT_EQ(anna->GetLineID(), -1);
  anna->SetID(1);
  anna->SetLine(line);
  EXPECT_EQ(anna->GetLineID(), 0);
  CORBA::String_var number = anna->GetLinePhoneNumber();
  EXPECT_STREQ(number.in(), "201");
  ::Operator_var seated = line->GetOperator();
  ASSERT_FALSE(CORBA::is_nil(seated));
  EXPECT_EQ(seated->GetID(), 1);

  auto* fake = dynamic_cast<TFakeLine*>(Orb().POA()->reference_to_servant(line));
  ASSERT_NE(fake, nullptr);
  fake->_remove_ref();
  anna->SetStatus(::OperatorPause);
  EXPECT_TRUE(line->GetDND());
  EXPECT_EQ(fake->SetDNDCalls(), 1);
  anna->SetStatus(::OperatorBusy);  // already on: not switched again
  EXPECT_EQ(fake->SetDNDCalls(), 1);
  anna->SetStatus(::OperatorReady);
  EXPECT_FALSE(line->GetDND());
  anna->SetStatus(::OperatorReady);  // unchanged: nothing happens
  EXPECT_EQ(fake->SetDNDCalls(), 2);

  // Leaving the container releases the line.
  operators_->DeleteItem(anna);
  seated = line->GetOperator();
  EXPECT_TRUE(CORBA::is_nil(seated));
}

TEST_F(OperatorLogins, ASecondLoginReplacesTheFirstAndCountsSortAscending) {
  ::Operator_var first = AddOperator(7, ::Line::_nil());
  ::Operator_var second = AddOperator(8, ::Line::_nil());
  second->SetID(7);  // the same employee logs in again
  EXPECT_EQ(operators_->GetItemsCount(), 1);
  EXPECT_TRUE(::ContainerItem_var(operators_->GetItemByID(7))->_is_equivalent(second));
  second->SetID(7);  // its own ID: it leaves too
  EXPECT_EQ(operators_->GetItemsCount(), 0);

  const CORBA::Long counts[] = {5, 0, 3};
  for (CORBA::Long i = 0; i < 3; ++i) {
    ::Operator_var added = AddOperator(10 + i, ::Line::_nil());
    added->SetCallsCount(counts[i]);
  }
  EXPECT_TRUE(operators_->SortByCallsCount());
  std::vector<CORBA::Long> sorted;
  for (CORBA::Long i = 0; i < 3; ++i) {
    ::ContainerItem_var item = operators_->GetItem(i);
    sorted.push_back(::Operator::_narrow(item)->GetCallsCount());
  }
  EXPECT_EQ(sorted, (std::vector<CORBA::Long>{0, 3, 5}));
  ::Operator_var any = ::Operator::_narrow(::ContainerItem_var(operators_->GetItem(0)));
  EXPECT_FALSE(any->GetIsInGroup(100));  // no database connection
  EXPECT_EQ(any->IncCallsCount(), 1);
}

TEST_P(RuleActionTargets, ManagersComeFromTheContactOrElseTheCompanyAndMustBeReady) {
  ConnectSampleCrm(GetParam());
  ::Line_var annaLine = AddLine(0, "201");
  ::Line_var claraLine = AddLine(1, "203");
  ::Operator_var anna = AddOperator(1, annaLine);
  ::Operator_var clara = AddOperator(3, claraLine);
  ::Rule_var rule = AddRule("Managers");
  ::RuleAction_var manager = AddAction(rule, ::Manager);

  EXPECT_EQ(Target(manager, "5550120"), "201");  // Erik Nordin's manager is Anna
  EXPECT_EQ(Target(manager, "0120"), "201");     // the stored phone ends with the number
  EXPECT_EQ(Target(manager, "555"), "-");        // merely contained elsewhere
  EXPECT_EQ(Target(manager, "5550111"), "203");  // Fiona Gale has none: Bluebay's manager Clara
  EXPECT_EQ(Target(manager, "5550110"), "-");    // Nordwind's manager Boris is not logged in
  EXPECT_EQ(Target(manager, ""), "-");
  EXPECT_EQ(Target(manager, "5550122"), "-");  // George's manager David is not logged in
  anna->SetStatus(::OperatorBusy);
  EXPECT_EQ(Target(manager, "5550120"), "-");
  anna->SetStatus(::OperatorReady);
  manager->SetEnabled(false);
  EXPECT_EQ(Target(manager, "5550120"), "-");
  manager->SetEnabled(true);
  rule->SetEnabled(false);
  EXPECT_EQ(Target(manager, "5550120"), "-");
}

TEST_P(RuleActionTargets, FixedNumbersLastContactsAndGroupsFindUsableTargets) {
  ConnectSampleCrm(GetParam());
  ::Line_var annaLine = AddLine(0, "201");
  ::Line_var borisLine = AddLine(1, "202");
  ::Line_var davidLine = AddLine(2, "204");
  ::Operator_var anna = AddOperator(1, annaLine);
  ::Operator_var boris = AddOperator(2, borisLine);
  ::Operator_var david = AddOperator(4, davidLine);
  ::Rule_var rule = AddRule("All kinds");

  ::RuleAction_var fixed = AddAction(rule, ::PhoneNumber);
  fixed->SetPhoneNumber("   ");
  EXPECT_EQ(Target(fixed, ""), "-");
  fixed->SetPhoneNumber(" 5559000\t");
  EXPECT_EQ(Target(fixed, ""), "5559000");  // outside number, trimmed
  fixed->SetPhoneNumber("202");
  boris->SetStatus(::OperatorBusy);
  EXPECT_EQ(Target(fixed, "x"), "-");
  boris->SetStatus(::OperatorReady);
  EXPECT_EQ(Target(fixed, "x"), "202");

  ::RuleAction_var last = AddAction(rule, ::LastContact);
  EXPECT_EQ(Target(last, "5550120"), "-");
  lines_->SetLastContact("5550120", david);
  EXPECT_EQ(Target(last, "5550120"), "204");
  EXPECT_EQ(Target(last, "555-0120"), "-");  // other punctuation, other key
  operators_->DeleteItem(david);
  EXPECT_EQ(Target(last, "5550120"), "-");

  // Sales (100) holds Anna and Boris.
  ::RuleAction_var group = AddAction(rule, ::Group);
  group->SetGroupID(100);
  anna->SetCallsCount(4);
  boris->SetCallsCount(1);
  anna->SetOrder(0);
  boris->SetOrder(1);
  rules_->SetCallsDistributionType(::Loading);
  EXPECT_EQ(Target(group, ""), "202");
  rules_->SetCallsDistributionType(::Order);
  EXPECT_EQ(Target(group, ""), "201");
  anna->SetStatus(::OperatorPause);
  EXPECT_EQ(Target(group, ""), "202");
  group->SetGroupID(300);
  EXPECT_EQ(Target(group, ""), "-");
}

TEST_F(RoutingRules, EachStrategyServesTheGroupInItsOwnOrder) {
  ConnectSampleCrm();
  // Support (200) holds employees 1, 3 and 4; employee 2 is in sales only.
  ::Line_var lines[] = {AddLine(0, "201"), AddLine(1, "202"), AddLine(2, "203"), AddLine(3, "204")};
  ::Operator_var members[] = {AddOperator(1, lines[0]), AddOperator(2, lines[1]), AddOperator(3, lines[2]),
                              AddOperator(4, lines[3])};
  for (CORBA::Long i = 0; i < 4; ++i) members[i]->SetOrder(i);
  ::RuleAction_var group = AddAction(::Rule_var(AddRule("Support")), ::Group);
  group->SetGroupID(200);
  const auto next = [&] { return Target(group, ""); };

  // Round robin goes on after the one served last, in order, and comes round again; a paused member is passed.
  rules_->SetCallsDistributionType(::RoundRobin);
  EXPECT_EQ(rules_->GetCallsDistributionType(), ::RoundRobin);
  EXPECT_EQ((std::vector<std::string>{next(), next(), next(), next()}),
            (std::vector<std::string>{"201", "203", "204", "201"}));
  members[2]->SetStatus(::OperatorPause);
  EXPECT_EQ((std::vector<std::string>{next(), next()}), (std::vector<std::string>{"204", "201"}));
  members[2]->SetStatus(::OperatorReady);

  // Longest idle: never a call since the login first, in order; then the one whose last call ended first.
  rules_->SetCallsDistributionType(::LongestIdle);
  const auto callEnded = [&](int member) {
    const TLocalServant<TOperator_Impl> own(members[member].in());
    ASSERT_TRUE(own);
    own->NoteCallEnded();
  };
  EXPECT_EQ(next(), "201");
  callEnded(0);
  EXPECT_EQ(next(), "203");
  callEnded(2);
  EXPECT_EQ(next(), "204");
  callEnded(3);
  EXPECT_EQ(next(), "201");  // the earliest end of the three

  // Random: every member now and then, nobody outside the group.
  rules_->SetCallsDistributionType(::Random);
  std::set<std::string> seen;
  for (int i = 0; i < 300; ++i) seen.insert(next());
  EXPECT_EQ(seen, (std::set<std::string>{"201", "203", "204"}));
}

TEST_F(RoutingRules, EvaluationTriesActionsInOrderAndFallsBackToTheSystemNumber) {
  ConnectSampleCrm();
  ::Line_var annaLine = AddLine(0, "201");
  ::Operator_var anna = AddOperator(1, annaLine);
  ::Rule_var rule = AddRule("Inbound");
  ::RuleAction_var manager = AddAction(rule, ::Manager);
  ::RuleAction_var fixed = AddAction(rule, ::PhoneNumber);
  fixed->SetPhoneNumber("299");

  CORBA::String_var target;
  ASSERT_TRUE(rule->Apply("5550120", "100", target.out(), false, false));
  EXPECT_STREQ(target.in(), "201");
  ASSERT_TRUE(rule->Apply("5559999", "100", target.out(), false, false));  // no manager: the next action
  EXPECT_STREQ(target.in(), "299");
  // Connected calls go on from the action after the one tried last.
  ASSERT_TRUE(rule->Apply("5550120", "100", target.out(), false, true));
  EXPECT_STREQ(target.in(), "201");
  ASSERT_TRUE(rule->Apply("5550120", "100", target.out(), false, true));
  EXPECT_STREQ(target.in(), "299");
  ASSERT_TRUE(rule->Apply("5550120", "100", target.out(), true, true));  // restart
  EXPECT_STREQ(target.in(), "201");

  fixed->SetEnabled(false);
  anna->SetStatus(::OperatorBusy);
  EXPECT_FALSE(rule->Apply("5550120", "100", target.out(), false, false));
  rules_->SetSystemPhoneNumber("200");
  ASSERT_TRUE(rule->Apply("5550120", "100", target.out(), false, false));
  EXPECT_STREQ(target.in(), "200");
}

TEST_F(RoutingRules, ATreeRoundTripsThroughItsFileAndDeletedRulesLeaveTheLines) {
  ::Rule_var three = AddRule("Three");
  ::Rule_var one = AddRule("One");
  for (const ::RuleActionType type : {::Manager, ::PhoneNumber, ::Group}) {
    ::RuleAction_var action = AddAction(three, type);
    action->SetPhoneNumber(type == ::PhoneNumber ? "299" : "");
    action->SetGroupID(type == ::Group ? 200 : -1);
  }
  ::RuleAction_var only = AddAction(one, ::LastContact);
  only->SetObjectName("Last");
  ::ContainerItem_var dropped = three->CreateItem(true);  // raises the counter, then goes
  three->DeleteItem(dropped);
  rules_->SetCallsDistributionType(::Order);
  rules_->SetSystemPhoneNumber("200");
  ASSERT_TRUE(rules_->SaveToIniFile(Ini("Rules.ini").c_str(), "Rules"));

  TMemIniFile ini(Ini("Rules.ini"));
  EXPECT_EQ(ini.ReadSection("Rules"),
            (std::vector<std::string>{"Name", "Description", "Enabled", "ID", "Order", "CallsDistributionType",
                                      "SystemPhoneNumber", "RingTimeout", "PauseOnNoAnswer", "ShortAbandonSeconds",
                                      "SupervisorGroup"}));
  EXPECT_EQ(ini.ReadInteger("Rules", "RingTimeout", -1), 20);  // seconds a routed target rings, by default
  EXPECT_EQ(ini.ReadInteger("Rules_Items", "ItemID", 0), 1);
  EXPECT_EQ(ini.ReadInteger("Rules_0_Items", "Count", 0), 3);
  EXPECT_EQ(ini.ReadInteger("Rules_0_Items", "ItemID", 0), 3);
  EXPECT_EQ(ini.ReadString("Rules_0_1", "PhoneNumber", ""), "299");
  EXPECT_EQ(ini.ReadInteger("Rules_0_2", "GroupID", 0), 200);
  EXPECT_EQ(ini.ReadInteger("Rules_1_0", "ActionType", -1), 1);

  rules_->ClearItems();
  rules_->SetCallsDistributionType(::Loading);
  ASSERT_TRUE(rules_->LoadFromIniFile(Ini("Rules.ini").c_str(), "Rules"));
  EXPECT_EQ(rules_->GetItemsCount(), 2);
  EXPECT_EQ(rules_->GetCallsDistributionType(), ::Order);
  CORBA::String_var system = rules_->GetSystemPhoneNumber();
  EXPECT_STREQ(system.in(), "200");
  EXPECT_EQ(rules_->GetNextID(), 2);
  ::Rule_var loaded = ::Rule::_narrow(::ContainerItem_var(rules_->GetItemByName("Three")));
  ASSERT_FALSE(CORBA::is_nil(loaded));
  EXPECT_EQ(loaded->GetItemsCount(), 3);
  EXPECT_EQ(loaded->GetNextID(), 4);
  ::RuleAction_var group = ::RuleAction::_narrow(::ContainerItem_var(loaded->GetItemByOrder(2)));
  EXPECT_EQ(group->GetActionType(), ::Group);
  EXPECT_EQ(group->GetGroupID(), 200);
  ::Rule_var other = ::Rule::_narrow(::ContainerItem_var(rules_->GetItemByName("One")));
  EXPECT_EQ(other->GetID(), 1);
  CORBA::String_var name = ::ContainerItem_var(other->GetFirstItem())->GetObjectName();
  EXPECT_STREQ(name.in(), "Last");

  // A file without the two settings keeps them as they are.
  { std::ofstream(Ini("Bare.ini")) << "[Rules]\nName=Rules\n"; }
  rules_->SetCallsDistributionType(::Loading);
  rules_->SetSystemPhoneNumber("");
  ASSERT_TRUE(rules_->LoadFromIniFile(Ini("Bare.ini").c_str(), "Rules"));
  EXPECT_EQ(rules_->GetCallsDistributionType(), ::Loading);

  ::Line_var first = AddLine(0, "201");
  ::Line_var second = AddLine(1, "202");
  first->SetRule(other);
  second->SetRule(other);
  ASSERT_TRUE(rules_->DeleteItem(other));
  EXPECT_TRUE(CORBA::is_nil(::Rule_var(first->GetRule())));
  EXPECT_TRUE(CORBA::is_nil(::Rule_var(second->GetRule())));
  EXPECT_EQ(rules_->GetItemsCount(), 0);
}

// What a client sees of an action: its ID, type and number.
std::string ActionText(::ContainerItem_ptr item) {
  ::RuleAction_var action = ::RuleAction::_narrow(item);
  CORBA::String_var number = action->GetPhoneNumber();
  return std::to_string(action->GetID()) + ":" + std::to_string(action->GetActionType()) + ":" + number.in();
}
std::vector<std::string> ActionsOf(::Rule_ptr rule) {
  std::vector<std::string> actions;
  for (CORBA::Long i = 0; i < rule->GetItemsCount(); ++i)
    actions.push_back(ActionText(::ContainerItem_var(rule->GetItem(i))));
  return actions;
}

TEST_F(RoutingRules, CopiesOfRulesAndTranslateRulesKeepEveryItemWhateverTheirIDs) {
  // IDs 0 and 1, the first a fixed number still blank: both are copied, each found by its ID.
  ::Rule_var source = AddRule("Source");
  ::RuleAction_var blank = AddAction(source, ::PhoneNumber);
  ::RuleAction_var fixed = AddAction(source, ::PhoneNumber);
  fixed->SetPhoneNumber("299");
  ASSERT_EQ(blank->GetID(), 0);
  ASSERT_EQ(fixed->GetID(), 1);
  ::Rule_var copy = ::Rule::_narrow(::ContainerItem_var(rules_->CreateItem(false)));
  ASSERT_TRUE(copy->AssignFrom(source));
  EXPECT_EQ(ActionsOf(copy), (std::vector<std::string>{"0:2:", "1:2:299"}));
  EXPECT_EQ(ActionText(::ContainerItem_var(copy->GetItemByID(0))), "0:2:");
  EXPECT_EQ(ActionText(::ContainerItem_var(copy->GetItemByID(1))), "1:2:299");
  // The source is untouched and still finds its own actions by ID.
  EXPECT_EQ(ActionsOf(source), (std::vector<std::string>{"0:2:", "1:2:299"}));
  EXPECT_TRUE(::ContainerItem_var(source->GetItemByID(0))->_is_equivalent(blank));
  EXPECT_TRUE(::ContainerItem_var(source->GetItemByID(1))->_is_equivalent(fixed));
  // A copy lets its actions go with it, not the source's.
  ASSERT_TRUE(rules_->DeleteItem(copy));
  EXPECT_EQ(ActionsOf(source), (std::vector<std::string>{"0:2:", "1:2:299"}));

  // Repeated IDs are copied as they are.
  ::Rule_var repeated = AddRule("Repeated");
  AddAction(repeated, ::Manager);
  ::RuleAction_var second = AddAction(repeated, ::PhoneNumber);
  ::RuleAction_var third = AddAction(repeated, ::PhoneNumber);
  third->SetPhoneNumber("298");
  third->SetID(1);
  ::Rule_var repeatedCopy = ::Rule::_narrow(::ContainerItem_var(rules_->CreateItem(false)));
  ASSERT_TRUE(repeatedCopy->AssignFrom(repeated));
  EXPECT_EQ(ActionsOf(repeatedCopy), (std::vector<std::string>{"0:0:", "1:2:", "1:2:298"}));
  EXPECT_EQ(ActionText(::ContainerItem_var(repeatedCopy->GetItemByID(1))), "1:2:298");

  // A whole Rules tree: rules 0 to 3, each with its actions.
  ::Rules_var rulesCopy = Orb().Serve<::Rules>(new TServant<TRules_Impl>());
  rulesCopy->SetEnvironment(environment_);
  ASSERT_TRUE(rulesCopy->AssignFrom(rules_));
  ASSERT_EQ(rulesCopy->GetItemsCount(), rules_->GetItemsCount());
  for (CORBA::Long i = 0; i < rules_->GetItemsCount(); ++i) {
    ::Rule_var original = ::Rule::_narrow(::ContainerItem_var(rules_->GetItem(i)));
    ::Rule_var copied = ::Rule::_narrow(::ContainerItem_var(rulesCopy->GetItemByID(original->GetID())));
    ASSERT_FALSE(CORBA::is_nil(copied)) << "rule " << original->GetID();
    EXPECT_EQ(ActionsOf(copied), ActionsOf(original)) << "rule " << original->GetID();
  }

  // Translate rules with IDs 0, 1, and 1 again.
  AddTranslateRule(translateRules_, "8XXX", "XXX");
  AddTranslateRule(translateRules_, "9XXX", "XXX");
  const auto masksOf = [](::TranslateRules_ptr rules) {
    std::vector<std::string> masks;
    for (CORBA::Long i = 0; i < rules->GetItemsCount(); ++i) {
      ::TranslateRule_var rule = ::TranslateRule::_narrow(::ContainerItem_var(rules->GetItem(i)));
      CORBA::String_var mask = rule->GetOldMask();
      masks.push_back(std::to_string(rule->GetID()) + ":" + mask.in());
    }
    return masks;
  };
  ::TranslateRules_var translateCopy = Orb().Serve<::TranslateRules>(new TServant<TTranslateRules_Impl>());
  translateCopy->SetEnvironment(environment_);
  ASSERT_TRUE(translateCopy->AssignFrom(translateRules_));
  EXPECT_EQ(masksOf(translateCopy), (std::vector<std::string>{"0:8XXX", "1:9XXX"}));
  EXPECT_FALSE(CORBA::is_nil(::ContainerItem_var(translateCopy->GetItemByID(0))));
  ::TranslateRule_var again = AddTranslateRule(translateRules_, "7XXX", "XXX");
  again->SetID(1);
  ASSERT_TRUE(translateCopy->AssignFrom(translateRules_));
  EXPECT_EQ(masksOf(translateCopy), (std::vector<std::string>{"0:8XXX", "1:9XXX", "1:7XXX"}));
  EXPECT_EQ(masksOf(translateRules_), masksOf(translateCopy));
}

TEST_F(OperatorLogins, ACopyOfTheOperatorsCopiesNobodyAndLeavesTheSourceWhole) {
  ConnectSampleCrm();
  ::Line_var first = AddLine(0, "201");
  ::Line_var second = AddLine(1, "202");
  ::Operator_var anna = AddOperator(1, first);
  ::Operator_var boris = AddOperator(2, second);
  // An operator is a login, not configuration: a copy of the container takes none of them over.
  ::Operators_var copy = Orb().Serve<::Operators>(new TServant<TOperators_Impl>());
  copy->SetEnvironment(environment_);
  copy->AssignFrom(operators_);
  for (const CORBA::Long id : {1, 2}) EXPECT_TRUE(CORBA::is_nil(::ContainerItem_var(copy->GetItemByID(id))));
  EXPECT_EQ(operators_->GetItemsCount(), 2);
  for (const auto& [id, listed] : {std::pair{1, anna.in()}, std::pair{2, boris.in()}}) {
    ::ContainerItem_var found = operators_->GetItemByID(id);
    EXPECT_TRUE(!CORBA::is_nil(found) && found->_is_equivalent(listed)) << id;
  }
  EXPECT_TRUE(::Operator_var(first->GetOperator())->_is_equivalent(anna));
}

TEST_F(DatabaseObject, SettingsRoundTripPlainAndProtectedThroughTheIniFolder) {
  const std::string settings = Ini("Settings.ini");
  EXPECT_TRUE(database_->LoadFromIniFile(Ini("missing.ini").c_str(), "Connection"));
  database_->SetConnectionString("Provider=SQLite;Data Source=a.db");
  ASSERT_TRUE(database_->SaveToIniFile(settings.c_str(), "Connection"));
  {
    TMemIniFile ini(settings);
    EXPECT_EQ(ini.ReadString("Connection", "ConnectionString", ""), "Provider=SQLite;Data Source=a.db");
    EXPECT_EQ(ini.ReadString("Connection", "CryptConnectionString", ""), "0");
  }
  database_->SetCryptConnectionString(true);
  database_->SetConnectionString("Driver=FreeTDS;Server=db;UID=sa;PWD='it''s'");
  ASSERT_TRUE(database_->SaveToIniFile(settings.c_str(), "Connection"));
  {
    TMemIniFile ini(settings);
    EXPECT_EQ(ini.ReadString("Connection", "ConnectionString", ""), "SECURED");
    EXPECT_EQ(ini.ReadString("Connection", "CryptConnectionString", ""), "1");
  }
  EXPECT_TRUE(fs::exists(folder_ / "SecuredConnection.rsa"));
  database_->SetConnectionString("");
  database_->SetCryptConnectionString(false);
  ASSERT_TRUE(database_->LoadFromIniFile(settings.c_str(), "Connection"));
  CORBA::String_var loaded = database_->GetConnectionString();
  EXPECT_STREQ(loaded.in(), "Driver=FreeTDS;Server=db;UID=sa;PWD='it''s'");
  EXPECT_TRUE(database_->GetCryptConnectionString());

  fs::remove(folder_ / "SecuredConnection.rsa");
  ASSERT_TRUE(database_->LoadFromIniFile(settings.c_str(), "Connection"));
  loaded = database_->GetConnectionString();
  EXPECT_STREQ(loaded.in(), "");

  // Too long to be read back: refused, reported, and the earlier file is not replaced by one that cannot load.
  database_->SetConnectionString(std::string(2000, 'x').c_str());
  EXPECT_FALSE(database_->SaveToIniFile(settings.c_str(), "Connection"));
  EXPECT_FALSE(fs::exists(folder_ / "SecuredConnection.rsa"));
  CORBA::String_var error = database_->GetLastError();
  EXPECT_NE(std::string(error.in()).find("TDatabase_Impl.SaveSecuredConnectionString [Database]"), std::string::npos);
}

TEST_P(DatabaseConnections, ConnectionsStatementsAndFieldReads) {
  CORBA::String_var error = CORBA::string_dup("");
  EXPECT_FALSE(database_->ExecuteSQL("delete from tq_VantrelLog"));  // no connect yet, no string to open with
  CORBA::String_var last = database_->GetLastError();
  EXPECT_EQ(std::string(last.in()).rfind("METHOD ERROR TDatabase_Impl.ExecuteSQL [Database] : ", 0), 0u) << last.in();

  if (GetParam() == crmtest::CrmBackend::PostgreSQL) crmtest::ResetCrm(GetParam(), folder_.string());
  database_->SetConnectionString(crmtest::CrmConnectionString(GetParam()).c_str());
  ASSERT_TRUE(database_->SetConnected(true, error.inout())) << error.in();
  if (GetParam() == crmtest::CrmBackend::SQLite) {
    EXPECT_TRUE(fs::exists(folder_ / "crm.sqlite3"));  // relative to the INI folder, with the CRM tables
  }
  database_->SetConnectionString("Provider=Nonsense");
  EXPECT_TRUE(database_->SetConnected(true, error.inout()));  // already open: not reopened
  EXPECT_FALSE(database_->TestConnection("Provider=Nonsense", error.inout()));
  EXPECT_NE(std::string(error.in()).find("Nonsense"), std::string::npos);
  const char* unreachable = GetParam() == crmtest::CrmBackend::SQLite
                                ? "Provider=SQLite;Data Source=/proc/vantrel/crm.sqlite3"
                                : "Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=1;Database=none;Uid=none";
  error = CORBA::string_dup("");
  EXPECT_FALSE(database_->TestConnection(unreachable, error.inout()));
  EXPECT_STRNE(error.in(), "");  // the driver's own words
  EXPECT_TRUE(database_->GetConnected());

  EXPECT_TRUE(database_->ExecuteSQL(
      "insert into tq_VantrelLog (CallEventType, CallHandle, CallerPhoneNumber, EventOrder) values (1, 'k', null, 1)"));
  ::StringSeq names;
  names.length(3);
  names[0] = "CallHandle";
  names[1] = "CallerPhoneNumber";
  names[2] = "EventOrder";
  ::StringSeq_var values;
  EXPECT_FALSE(database_->GetFieldValues("select * from tq_VantrelLog where CallHandle = 'none'", names, values.out()));
  ASSERT_TRUE(database_->GetFieldValues("select * from tq_VantrelLog", names, values.out()));
  ASSERT_EQ(values->length(), 3u);
  EXPECT_STREQ(values[0].in(), "k");
  EXPECT_STREQ(values[1].in(), "");
  EXPECT_STREQ(values[2].in(), "1");
  CORBA::String_var order;
  ASSERT_TRUE(database_->GetFieldValue(
      "select isnull(max(EventOrder), 0) + 1 as EventOrder from tq_VantrelLog where CallHandle = 'k'", "EventOrder",
      order.out()));
  EXPECT_STREQ(order.in(), "2");

  // After a disconnect the next statement reopens with the string of the last connect.
  ASSERT_TRUE(database_->SetConnected(false, error.inout()));
  EXPECT_TRUE(database_->ExecuteSQL("delete from tq_VantrelLog"));
  EXPECT_TRUE(database_->GetConnected());
  EXPECT_FALSE(database_->ExecuteSQL("this is not sql"));
  last = database_->GetLastError();
  EXPECT_EQ(std::string(last.in()).rfind("METHOD ERROR TDatabase_Impl.ExecuteSQL [Database] : ", 0), 0u) << last.in();
}

TEST_F(EnvironmentFiles, LoadStopsAtTheFirstFailureAndSaveWritesEveryFile) {
  EXPECT_FALSE(environment_->SaveToIniFiles(""));
  const fs::path target = folder_ / "new" / "config";
  ::Rule_var rule = AddRule("Inbound");
  ASSERT_TRUE(environment_->SaveToIniFiles(target.string().c_str()));
  for (const char* file : {"Settings.ini", "Rules.ini", "Lines.ini"}) EXPECT_TRUE(fs::exists(target / file)) << file;
  TMemIniFile rulesFile((target / "Rules.ini").string());
  EXPECT_TRUE(rulesFile.SectionExists("Rules"));
  EXPECT_TRUE(rulesFile.SectionExists("TranslateRules"));

  rules_->ClearItems();
  EXPECT_TRUE(environment_->LoadFromIniFiles(folder_.string().c_str()));  // no Settings.ini: goes on
  ASSERT_TRUE(environment_->LoadFromIniFiles(target.string().c_str()));
  EXPECT_EQ(rules_->GetItemsCount(), 1);

  // A Database that cannot load its settings stops the sequence before the rules.
  rules_->ClearItems();
  { std::ofstream(target / "Settings.ini") << "[Connection]\nCryptConnectionString=1\n"; }
  { std::ofstream(folder_ / "SecuredConnection.rsa") << std::string(2000, 'x'); }  // too long to read
  EXPECT_FALSE(environment_->LoadFromIniFiles(target.string().c_str()));
  EXPECT_EQ(rules_->GetItemsCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(Crm, RuleActionTargets,
                         ::testing::Values(crmtest::CrmBackend::SQLite, crmtest::CrmBackend::PostgreSQL),
                         crmtest::CrmBackendName);
INSTANTIATE_TEST_SUITE_P(Crm, DatabaseConnections,
                         ::testing::Values(crmtest::CrmBackend::SQLite, crmtest::CrmBackend::PostgreSQL),
                         crmtest::CrmBackendName);
