#pragma once

#include <string>

namespace vantrel {

// One row of tq_VantrelLog as the line produced it; the writer gives it its EventOrder when it is written.
struct TCallLogRow {
  int CallEventType = 0;
  std::string CallHandle;          // the call key, "yyyymmddhhnnss-handle"
  std::string BeginTime, EndTime;  // "yyyy-mm-dd hh:mm:ss"
  std::string LinePhoneNumber;
  int LineIsOuter = 0;
  std::string CallerPhoneNumber, CalledPhoneNumber, ConnectedPhoneNumber;
  long Operator_id = 0;
  long Task_id = 0;
  std::string ParentCallHandle, ConsultCallHandle;

  bool operator==(const TCallLogRow&) const = default;
};

}  // namespace vantrel
