#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "HostProcess.h"
#include "Vantrel.hh"

using namespace std::chrono_literals;

namespace {

class ServedHost : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    host_ = new HostProcess();
    ASSERT_TRUE(host_->Start());
  }
  static void TearDownTestSuite() {
    EXPECT_EQ(host_->Stop(), 0);
    delete host_;
  }
  CORBA::Object_ptr Root() { return TestORB()->string_to_object(host_->Corbaloc().c_str()); }

  struct Outcome {
    std::string exception;  // empty when the call succeeded
    CORBA::ULong minor = 0;
    CORBA::CompletionStatus completed = CORBA::COMPLETED_MAYBE;
    std::string result;
  };

  static Outcome FromException(const CORBA::Exception& error) {
    Outcome outcome;
    outcome.exception = error._name();
    if (const auto* system = CORBA::SystemException::_downcast(&error)) {
      outcome.minor = system->minor();
      outcome.completed = system->completed();
    }
    return outcome;
  }

  // A raw request by operation name, as a client of another language binding would send it.
  static Outcome Invoke(CORBA::Object_ptr target, const char* operation) {
    CORBA::Request_var request = target->_request(operation);
    request->set_return_type(CORBA::_tc_string);
    try {
      request->invoke();
    } catch (const CORBA::Exception& e) {
      return FromException(e);
    }
    if (CORBA::Exception* error = request->env()->exception()) return FromException(*error);
    Outcome outcome;
    const char* text = nullptr;
    if (request->return_value() >>= text) outcome.result = text;
    return outcome;
  }

  static HostProcess* host_;
};
HostProcess* ServedHost::host_ = nullptr;

}  // namespace

TEST_F(ServedHost, IsAAnswersAlongTheInheritanceChainOnly) {
  CORBA::Object_var root = Root();
  EXPECT_TRUE(root->_is_a("IDL:Environment:1.0"));
  EXPECT_TRUE(root->_is_a("IDL:Base:1.0"));
  EXPECT_FALSE(root->_is_a("IDL:Container:1.0"));
  EXPECT_FALSE(root->_is_a("IDL:Line:1.0"));
  EXPECT_FALSE(root->_is_a("IDL:environment:1.0"));
}

TEST_F(ServedHost, KnownOperationNamesAreDispatchedByName) {
  CORBA::Object_var root = Root();
  const Outcome outcome = Invoke(root, "GetObjectName");
  EXPECT_EQ(outcome.exception, "");
  EXPECT_EQ(outcome.result, "Environment");
}

TEST_F(ServedHost, UnknownOrMiscasedOperationNamesGiveBadOperation) {
  CORBA::Object_var root = Root();
  for (const char* operation : {"GetNoSuchThing", "getobjectname", "GETOBJECTNAME", "GetItemsArray"}) {
    const Outcome outcome = Invoke(root, operation);
    EXPECT_EQ(outcome.exception, "BAD_OPERATION") << operation;
    EXPECT_EQ(outcome.minor, 0u) << operation;
    EXPECT_EQ(outcome.completed, CORBA::COMPLETED_NO) << operation;
  }
}

namespace {

// A client's LineEvents listener that takes its time, served by a child process so calls really cross IIOP.
class SlowLineEvents : public POA_LineEvents {
 public:
  void DoCallEvent(::CallEventType type, CORBA::Long call) override {
    std::this_thread::sleep_for(1500ms);
    std::printf("received %d %d\n", static_cast<int>(type), static_cast<int>(call));
    std::fflush(stdout);
  }
};

}  // namespace

int ServeSlowLineEvents() {
  auto* servant = new SlowLineEvents();
  PortableServer::ObjectId_var id = TestPOA()->activate_object(servant);
  CORBA::Object_var reference = TestPOA()->id_to_reference(id);
  CORBA::String_var text = TestORB()->object_to_string(reference);
  std::printf("%s\n", text.in());
  std::fflush(stdout);
  std::this_thread::sleep_for(30s);  // the parent kills it long before
  return 0;
}

TEST(RemoteCatalogue, OnewayOperationsReturnBeforeTheWorkIsDone) {
  ChildProcess child({"--serve-slow-line-events"});
  const std::string ior = child.ReadLine(10s);
  ASSERT_EQ(ior.rfind("IOR:", 0), 0u) << ior;
  CORBA::Object_var remote = TestORB()->string_to_object(ior.c_str());
  ::LineEvents_var events = ::LineEvents::_narrow(remote);
  const auto start = std::chrono::steady_clock::now();
  events->DoCallEvent(::IncomingCall, 4711);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1000ms);
  EXPECT_EQ(child.ReadLine(10s), "received " + std::to_string(static_cast<int>(::IncomingCall)) + " 4711");
}
