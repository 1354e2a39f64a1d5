#include "EnvironmentChildren.h"

#include <chrono>

#include "model/DatabaseLib.h"
#include "lines/LinesLib.h"
#include "model/Servant.h"
#include "routing/OperatorsLib.h"
#include "routing/RulesLib.h"
#include "routing/TranslateRulesLib.h"

namespace vantrel {

TEnvironmentChildren MakeEnvironmentChildren() {
  TEnvironmentChildren children;
  children.database = new TServant<TDatabase_Impl>();
  children.rules = new TServant<TRules_Impl>();
  children.translateRules = new TServant<TTranslateRules_Impl>();
  children.lines = new TServant<TLines_Impl>();
  children.operators = new TServant<TOperators_Impl>();
  children.stopCallLog = [](::Database_ptr reference) {
    const TLocalServant<TDatabase_Impl> database(reference);
    if (database) database->StopCallLog(std::chrono::seconds(3));
  };
  return children;
}

}  // namespace vantrel
