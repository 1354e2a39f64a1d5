#pragma once

#include "model/EnvironmentLib.h"

namespace vantrel {

// The server's own Database, Rules, TranslateRules, Lines and Operators for a new Environment.
TEnvironmentChildren MakeEnvironmentChildren();

}  // namespace vantrel
