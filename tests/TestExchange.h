// The software exchange the in-process tests play callers and phones with. The test program owns it: made before
// the first test and served to the Telephony API of the whole program; a test may serve one of its own for a
// while (a TTelephonyBackEnd of its own puts this one back when it ends).
#pragma once

#include "telephony/SoftExchange.h"
#include "telephony/TelephonyBackEnd.h"

namespace vantrel::test {

telephony::TTelephonyBackEnd& TestTelephony();
inline telephony::TSoftExchange& TestExchange() { return *TestTelephony().SoftExchange(); }

}  // namespace vantrel::test
