// The supervisors' reports: /api/reports/rules, /api/reports/operators and /api/reports/intervals, as JSON or CSV.
//
// The gateway reads the CRM itself, through the data layer, with the connection string the server uses (asked of
// the server's Database over IIOP, with relative SQLite files taken in the server's INI folder). A report of a
// year is seconds of database work: done here it never holds up the server's request threads or its call-log
// writer's connection, and the remote contract stays as it is. Every statement is fixed text with numbers and
// times the gateway checked and formatted itself.
#pragma once

#include <omniORB4/CORBA.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "WebApi.h"
#include "database/DataConnection.h"
#include "database/Reports.h"

namespace vantrel::web {

class TReportsApi {
 public:
  TReportsApi(CORBA::ORB_ptr orb, std::string corbaloc);

  // report is "rules", "operators" or "intervals". Throws TWebError for a bad request.
  TWebResponse Handle(const TWebRequest& request, const TWebUser& user, const std::string& report);

  // The request's query as a report query; throws TWebError(400) naming what is wrong.
  struct TParameters {
    TReportQuery query;
    bool csv = false;
  };
  static TParameters ParseParameters(const std::string& target);
  // The query's parameters, decoded; throws TWebError(400) for a name not in `known`.
  static std::map<std::string, std::string> QueryValues(const std::string& target, const std::set<std::string>& known);
  // A parameter's value as it may be quoted back in a message: short, printable.
  static std::string Shown(const std::string& value);
  // The CRM, opened with the server's connection string (the recordings' rows are read there too).
  TDataConnection& OpenCrm();
  // RFC 4180: quoted when it holds a comma, a quote or a line break; quotes doubled.
  static std::string CsvField(const std::string& text);
  // The local time zone's name ("Europe/Berlin"), or its abbreviation when it has none.
  static std::string TimeZoneName();

 private:
  struct TServerSettings {
    std::map<long, std::string> ruleNames;
    std::map<long, int> serviceLevels;
  };
  // Opens (or re-opens, when the server's string changed) the CRM connection; returns the rules' settings.
  TServerSettings Refresh();

  CORBA::ORB_var orb_;
  const std::string corbaloc_;
  TDataConnection connection_;
  std::mutex mutex_;                                // guards the fields below
  std::string connectionString_;                    // the one connection_ was given
  TServerSettings settings_;
  std::chrono::steady_clock::time_point refreshed_;  // settings are asked for again after a few seconds
  std::atomic<int> running_{0};                      // reports being counted now
};

}  // namespace vantrel::web
