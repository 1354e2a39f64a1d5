#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

#include "DateTime.h"
#include "FormatText.h"
#include "Vantrel.hh"

namespace vantrel {

// Makes LogDir and a new pair of log files, and the logger that writes them. False on any failure, logging nothing.
bool InitLogFiles(const std::string& logDir, const std::string& kind);

// One information line. Never throws: a format that does not fit its arguments puts the formatter's
// message into the error log instead.
void LogFormat(std::string_view format, std::initializer_list<TFormatArg> args);
// LogFormat with the text as the format: "%%" writes one percent sign, any other directive is a format failure.
void LogMessage(std::string_view text);
// The text as it stands into the error log.
void LogErrorLine(std::string_view text);

// Stringified reference of a served object; empty for none.
std::string ObjectReferenceString(CORBA::ORB_ptr orb, PortableServer::POA_ptr poa, PortableServer::Servant servant);

// Invalid date fields fall back to today, invalid time fields to the current time of day, each on its own.
TDateTime ServerDateTimeToDateTime(const ServerDateTime& value);
ServerDateTime DateTimeToServerDateTime(TDateTime value);

// The log file name made from the folder, kind, Info or Error and the time stamp, as the host writes it.
std::string MakeLogFileName(const std::string& logDir, const std::string& kind, std::string_view infoOrError,
                            TDateTime stamp);

}  // namespace vantrel
