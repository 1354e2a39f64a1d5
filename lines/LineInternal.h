#pragma once

// The guards of the line's operations, for the files that make up TLine_Impl (LineLib.h).

#include <utility>

#include "lines/LineLib.h"
#include "telephony/TelephonyThread.h"

namespace vantrel {

template <typename Result, typename Body>
Result TLine_Impl::OnLine(const char* methodName, Result neutral, Body&& body) {
  try {
    return telephony::TTelephonyThread::Instance().Call(std::forward<Body>(body));
  } catch (...) {
    HandleError(methodName, std::current_exception());
    return neutral;
  }
}

template <typename Body>
void TLine_Impl::OnLine(const char* methodName, Body&& body) {
  try {
    telephony::TTelephonyThread::Instance().Run(std::forward<Body>(body));
  } catch (...) {
    HandleError(methodName, std::current_exception());
  }
}

template <typename Result, typename Body>
Result TLine_Impl::Guard(const char* methodName, Result neutral, Body&& body) {
  try {
    return std::forward<Body>(body)();
  } catch (...) {
    HandleError(methodName, std::current_exception());
    return neutral;
  }
}

template <typename Body>
void TLine_Impl::Guard(const char* methodName, Body&& body) {
  try {
    std::forward<Body>(body)();
  } catch (...) {
    HandleError(methodName, std::current_exception());
  }
}

template <typename Body>
char* TLine_Impl::OnLineText(const char* methodName, Body&& body) {
  return CORBA::string_dup(OnLine(methodName, std::string(), std::forward<Body>(body)).c_str());
}

}  // namespace vantrel
