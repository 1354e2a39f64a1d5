#include <gtest/gtest.h>

#include "host/OrbServices.h"
#include "support/VantrelCommonRoutines.h"

using namespace vantrel;

TEST(OrbOptions, TheListHasTheThreeEntriesInOrder) {
  EXPECT_EQ(MakeOrbOptions("10.1.2.3", "2809"),
            (std::vector<std::string>{"-ORBIIOPAddr", "inet:10.1.2.3:2809", "-ORBThreadPoolTimeout"}));
}

TEST(OrbOptions, TheAddressBecomesAnEndPointAndTimeOutsAreAdded) {
  const auto translated = TranslateOrbOptions(MakeOrbOptions("127.0.0.1", "2809"));
  EXPECT_EQ(translated,
            (std::vector<std::string>{"-ORBendPoint", "giop:tcp:127.0.0.1:2809", "-ORBclientCallTimeOutPeriod", "4000",
                                      "-ORBclientConnectTimeOutPeriod", "2000"}));
}

TEST(OrbOptions, AnAddressOfAnotherTransportIsRefused) {
  EXPECT_THROW(TranslateOrbOptions({"-ORBIIOPAddr", "unix:/tmp/x"}), std::invalid_argument);
  EXPECT_THROW(TranslateOrbOptions({"-ORBIIOPAddr"}), std::invalid_argument);
}

TEST(ObjectReference, NoServantGivesTheEmptyString) {
  EXPECT_EQ(ObjectReferenceString(CORBA::ORB::_nil(), PortableServer::POA::_nil(), nullptr), "");
}
