#include "VantrelCommonRoutines.h"

#include <filesystem>
#include <fstream>

#include "Logger.h"
#include "platform/DebugOutput.h"

namespace vantrel {

namespace {

constexpr unsigned kLoggerKinds = (1u << 1) | (1u << 2) | (1u << 3);

void ReportToErrorLog(std::string_view text) noexcept {
  try {
    if (const auto logger = TLogger::Current()) logger->Error(text);
  } catch (...) {
    // Nowhere left to report to.
  }
}

}  // namespace

std::string MakeLogFileName(const std::string& logDir, const std::string& kind, std::string_view infoOrError,
                            TDateTime stamp) {
  const TDateTimeParts parts = DecodeDateTime(stamp);
  const std::string time = FormatText("%.4d.%.2d.%.2d %.2d-%.2d-%.2d",
                                      {parts.year, parts.month, parts.day, parts.hour, parts.minute, parts.second});
  return FormatText("%sVantrel%s%s %s.log", {logDir, kind, infoOrError, time});
}

bool InitLogFiles(const std::string& logDir, const std::string& kind) {
  try {
    std::filesystem::create_directories(logDir);
    const TDateTime stamp = NowLocal();
    const std::string infoName = MakeLogFileName(logDir, kind, "Info", stamp);
    const std::string errorName = MakeLogFileName(logDir, kind, "Error", stamp);
    for (const std::string& name : {infoName, errorName}) {
      std::ofstream file(name, std::ios::trunc);
      if (!file) return false;
    }
    TLogger::Create(kLoggerKinds, infoName, errorName);
    return true;
  } catch (...) {
    return false;
  }
}

void LogFormat(std::string_view format, std::initializer_list<TFormatArg> args) {
  try {
    const std::string text = FormatText(format, args);
    platform::OutputDebugText(text);
    if (const auto logger = TLogger::Current()) logger->Write(0, text);
  } catch (const std::exception& error) {
    ReportToErrorLog(error.what());
  } catch (...) {
    ReportToErrorLog("Unknown error in LogFormat");
  }
}

void LogMessage(std::string_view text) { LogFormat(text, {}); }

void LogErrorLine(std::string_view text) { ReportToErrorLog(text); }

std::string ObjectReferenceString(CORBA::ORB_ptr orb, PortableServer::POA_ptr poa, PortableServer::Servant servant) {
  if (servant == nullptr) return {};
  CORBA::Object_var reference = poa->servant_to_reference(servant);
  CORBA::String_var text = orb->object_to_string(reference);
  return std::string(text.in());
}

TDateTime ServerDateTimeToDateTime(const ServerDateTime& value) {
  TDateTime date = 0, time = 0;
  if (!TryEncodeDate(value.Year, value.Month, value.Day, date)) date = DateOf(NowLocal());
  if (!TryEncodeTime(value.Hour, value.Minute, value.Second, value.MilliSecond, time)) time = TimeOf(NowLocal());
  return date + time;
}

ServerDateTime DateTimeToServerDateTime(TDateTime value) {
  const TDateTimeParts parts = DecodeDateTime(value);
  ServerDateTime result;
  result.Year = static_cast<CORBA::UShort>(parts.year);
  result.Month = static_cast<CORBA::UShort>(parts.month);
  result.Day = static_cast<CORBA::UShort>(parts.day);
  result.Hour = static_cast<CORBA::UShort>(parts.hour);
  result.Minute = static_cast<CORBA::UShort>(parts.minute);
  result.Second = static_cast<CORBA::UShort>(parts.second);
  result.MilliSecond = static_cast<CORBA::UShort>(parts.millisecond);
  return result;
}

}  // namespace vantrel
