#pragma once

#include <string>

namespace vantrel::telephony {

// What is asked of a call's recording (the server's own extension: TAPI records nothing). The file is relative to
// the recordings' folder.
struct TRecordRequest {
  enum class TAction { Start, Stop, Pause, Resume };
  TAction action = TAction::Start;
  std::string file;
};

}  // namespace vantrel::telephony
