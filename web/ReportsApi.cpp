#include "ReportsApi.h"

#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>

#include "Vantrel.hh"
#include "WebError.h"

namespace vantrel::web {

namespace {

constexpr auto kSettingsLifetime = std::chrono::seconds(10);
constexpr long kLongestRangeDays = 366;
// Reports at once: a year's report is seconds of database work, and the gateway's few threads serve everyone.
constexpr int kReportsAtOnce = 2;
const std::regex kPositiveNumber("[1-9][0-9]{0,9}");

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string Decoded(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      out.push_back(' ');
    } else if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 && HexValue(text[i + 2]) >= 0) {
      out.push_back(static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2])));
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

std::string Shown(const std::string& value) { return TReportsApi::Shown(value); }

long PositiveNumber(const std::string& name, const std::string& value) {
  if (!std::regex_match(value, kPositiveNumber) || std::stoll(value) > 2147483647)
    throw TWebError(400, "\"" + name + "\" is not a positive whole number: " + Shown(value));
  return std::stol(value);
}

nlohmann::json Rounded(const std::optional<double>& value) {
  if (!value) return nullptr;
  return std::round(*value * 10.0) / 10.0;
}

std::string CsvNumber(const nlohmann::json& value) {
  if (value.is_null()) return {};
  if (value.is_number_integer()) return std::to_string(value.get<long long>());
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", value.get<double>());
  return text;
}

// The UTC offset the local clock had at a wall-clock time, "+01:00".
std::string UtcOffsetAt(const TWallClock& time) {
  std::tm fields = time.Fields();
  ::mktime(&fields);
  const long offset = fields.tm_gmtoff;
  char text[48];
  std::snprintf(text, sizeof text, "%c%02ld:%02ld", offset < 0 ? '-' : '+', std::labs(offset) / 3600,
                std::labs(offset) % 3600 / 60);
  return text;
}

// The rows' fields in a fixed order, as JSON objects and as CSV.
std::string Csv(const std::vector<std::string>& columns, const nlohmann::json& rows) {
  std::string text;
  for (std::size_t i = 0; i < columns.size(); ++i) text += (i ? "," : "") + TReportsApi::CsvField(columns[i]);
  text += "\r\n";
  for (const auto& row : rows) {
    for (std::size_t i = 0; i < columns.size(); ++i) {
      const auto& value = row.at(columns[i]);
      text += (i ? "," : "") + TReportsApi::CsvField(value.is_string() ? value.get<std::string>() : CsvNumber(value));
    }
    text += "\r\n";
  }
  return text;
}

const std::vector<std::string> kQueueColumns = {
    "start",         "rule",           "ruleName",   "serviceLevelSeconds", "offered",
    "answered",      "answeredInServiceLevel",       "serviceLevelPercent", "abandoned",
    "shortAbandoned", "overflowed",    "averageWait", "longestWait",        "averageSpeedOfAnswer",
    "averageTalk",   "averageWrapUp"};

const std::vector<std::string> kOperatorColumns = {
    "operatorID",   "name",          "answered",        "talkSeconds",   "holdSeconds", "wrapUpSeconds",
    "pauseSeconds", "pauseByReason", "loggedInSeconds", "busySeconds",   "occupancyPercent"};

nlohmann::json QueueJson(const TQueueFiguresRow& row, const std::map<long, std::string>& names, bool withStart) {
  nlohmann::json out;
  if (withStart) out["start"] = row.start;
  out["rule"] = row.rule == 0 ? nlohmann::json() : nlohmann::json(row.rule);
  const auto name = names.find(row.rule);
  out["ruleName"] = row.rule == 0 ? "All rules" : (name != names.end() ? name->second : "Rule " + std::to_string(row.rule));
  out["serviceLevelSeconds"] = row.serviceLevelSeconds;
  out["offered"] = row.offered;
  out["answered"] = row.answered;
  out["answeredInServiceLevel"] = row.answeredInServiceLevel;
  out["serviceLevelPercent"] = Rounded(row.ServiceLevelPercent());
  out["abandoned"] = row.abandoned;
  out["shortAbandoned"] = row.shortAbandoned;
  out["overflowed"] = row.overflowed;
  out["averageWait"] = Rounded(row.AverageWait());
  out["longestWait"] = row.longestWait;
  out["averageSpeedOfAnswer"] = Rounded(row.AverageSpeedOfAnswer());
  out["averageTalk"] = Rounded(row.AverageTalk());
  out["averageWrapUp"] = Rounded(row.AverageWrapUp());
  return out;
}

nlohmann::json OperatorJson(const TOperatorFiguresRow& row) {
  nlohmann::json out;
  out["operatorID"] = row.operatorID;
  out["name"] = row.name;
  out["answered"] = row.answered;
  out["talkSeconds"] = row.talkSeconds;
  out["holdSeconds"] = row.holdSeconds;
  out["wrapUpSeconds"] = row.wrapUpSeconds;
  out["pauseSeconds"] = row.PauseSeconds();
  // "reason=seconds;..." reads the same in a spreadsheet cell and in JSON.
  std::string byReason;
  for (const auto& [reason, seconds] : row.pauseSeconds)
    byReason += (byReason.empty() ? "" : ";") + std::to_string(reason) + "=" + std::to_string(seconds);
  out["pauseByReason"] = byReason;
  out["loggedInSeconds"] = row.loggedInSeconds;
  out["busySeconds"] = row.busySeconds;
  out["occupancyPercent"] = Rounded(row.Occupancy());
  return out;
}

}  // namespace

TReportsApi::TReportsApi(CORBA::ORB_ptr orb, std::string corbaloc)
    : orb_(CORBA::ORB::_duplicate(orb)), corbaloc_(std::move(corbaloc)) {}

std::string TReportsApi::CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (const char c : text) {
    quoted.push_back(c);
    if (c == '"') quoted.push_back('"');
  }
  return quoted + "\"";
}

std::string TReportsApi::TimeZoneName() {
  if (const char* tz = std::getenv("TZ"); tz != nullptr && *tz != '\0') return *tz == ':' ? tz + 1 : tz;
  std::error_code error;
  const auto target = std::filesystem::read_symlink("/etc/localtime", error).string();
  const auto at = target.find("zoneinfo/");
  if (!error && at != std::string::npos) return target.substr(at + 9);
  std::ifstream file("/etc/timezone");
  std::string name;
  if (file && std::getline(file, name) && !name.empty()) return name;
  ::tzset();
  return tzname[0];
}

std::string TReportsApi::Shown(const std::string& value) {
  std::string shown;
  for (const char c : value.substr(0, 40)) shown.push_back(c >= 0x20 && c < 0x7f ? c : '?');
  return shown;
}

std::map<std::string, std::string> TReportsApi::QueryValues(const std::string& target,
                                                            const std::set<std::string>& known) {
  std::map<std::string, std::string> values;
  const auto question = target.find('?');
  if (question != std::string::npos) {
    const std::string query = target.substr(question + 1);
    std::size_t start = 0;
    while (start <= query.size()) {
      const auto end = std::min(query.find('&', start), query.size());
      const std::string pair = query.substr(start, end - start);
      start = end + 1;
      if (pair.empty()) continue;
      const auto equals = pair.find('=');
      const std::string name = Decoded(pair.substr(0, equals));
      if (!known.count(name)) throw TWebError(400, "Unknown parameter \"" + Shown(name) + "\"");
      values[name] = equals == std::string::npos ? std::string() : Decoded(pair.substr(equals + 1));
    }
  }
  return values;
}

TReportsApi::TParameters TReportsApi::ParseParameters(const std::string& target) {
  const std::map<std::string, std::string> values =
      QueryValues(target, {"from", "to", "interval", "rule", "operator", "format"});
  TParameters parameters;
  TReportQuery& query = parameters.query;
  query.now = NowWallClock();
  const TWallClock today{query.now.year, query.now.month, query.now.day, 0, 0, 0};
  const auto timeOf = [&](const char* name, const TWallClock& fallback, bool dayEnd) {
    const auto found = values.find(name);
    if (found == values.end()) return fallback;
    const auto time = WallClockFromText(found->second);
    if (!time)
      throw TWebError(400, std::string("\"") + name + "\" is not a date (yyyy-mm-dd) or a time (yyyy-mm-ddThh:mm): " +
                               Shown(found->second));
    // A day alone as the end of the range includes that day.
    return dayEnd && found->second.size() == 10 ? AddDays(*time, 1) : *time;
  };
  query.from = timeOf("from", today, false);
  const TWallClock fromDay{query.from.year, query.from.month, query.from.day, 0, 0, 0};
  query.to = timeOf("to", AddDays(fromDay, 1), true);
  if (!(query.from < query.to)) throw TWebError(400, "\"to\" is before \"from\": the range is empty");
  if (AddDays(query.from, static_cast<int>(kLongestRangeDays)) < query.to)
    throw TWebError(400, "The range is longer than a year (" + std::to_string(kLongestRangeDays) + " days at most)");
  if (const auto found = values.find("interval"); found != values.end()) {
    const auto interval = ReportIntervalFromText(found->second);
    if (!interval)
      throw TWebError(400, "\"interval\" is 15min, 30min, hour, day or week, not " + Shown(found->second));
    query.interval = *interval;
  }
  if (const auto found = values.find("rule"); found != values.end()) query.rule = PositiveNumber("rule", found->second);
  if (const auto found = values.find("operator"); found != values.end())
    query.operatorID = PositiveNumber("operator", found->second);
  if (const auto found = values.find("format"); found != values.end()) {
    if (found->second != "csv" && found->second != "json")
      throw TWebError(400, "\"format\" is json or csv, not " + Shown(found->second));
    parameters.csv = found->second == "csv";
  }
  return parameters;
}

TReportsApi::TServerSettings TReportsApi::Refresh() {
  {
    std::lock_guard lock(mutex_);
    if (!connectionString_.empty() && std::chrono::steady_clock::now() - refreshed_ < kSettingsLifetime)
      return settings_;
  }
  // No lock while the server is asked: the call may take the ORB's whole timeout.
  std::string connectionString, folder;
  TServerSettings settings;
  try {
    CORBA::Object_var object = orb_->string_to_object(corbaloc_.c_str());
    ::Environment_var environment = ::Environment::_narrow(object);
    if (CORBA::is_nil(environment)) throw TWebError(503, "The server cannot be reached");
    ::Database_var database = environment->GetDatabase();
    CORBA::String_var text = database->GetConnectionString();
    CORBA::String_var path = environment->GetIniFilesPath();
    connectionString = text.in();
    folder = path.in();
    ::Rules_var rules = environment->GetRules();
    const CORBA::Long count = rules->GetItemsCount();
    for (CORBA::Long i = 0; i < count; ++i) {
      ::ContainerItem_var item = rules->GetItem(i);
      ::Rule_var rule = ::Rule::_narrow(item);
      if (CORBA::is_nil(rule)) continue;
      CORBA::String_var name = rule->GetObjectName();
      settings.ruleNames[rule->GetID()] = name.in();
      settings.serviceLevels[rule->GetID()] = rule->GetQueueSettings().ServiceLevelSeconds;
    }
  } catch (const CORBA::Exception&) {
    throw TWebError(503, "The server cannot be reached");
  }
  if (connectionString.empty()) throw TWebError(503, "The server has no CRM database");
  std::lock_guard lock(mutex_);
  if (connectionString != connectionString_) {
    connection_.Close();
    connection_.SetBaseFolder(folder);
    connection_.SetConnectionString(connectionString);
    connectionString_ = connectionString;
  }
  settings_ = settings;
  refreshed_ = std::chrono::steady_clock::now();
  return settings_;
}

TDataConnection& TReportsApi::OpenCrm() {
  Refresh();
  try {
    connection_.Open();
  } catch (const std::exception& error) {
    throw TWebError(503, std::string("The CRM database cannot be read: ") + error.what());
  }
  return connection_;
}

TWebResponse TReportsApi::Handle(const TWebRequest& request, const TWebUser& user, const std::string& report) {
  if (user.role != "supervisor") throw TWebError(403, "Reports are for supervisors");
  if (report != "rules" && report != "operators" && report != "intervals")
    throw TWebError(404, "No such report: " + Shown(report));
  TParameters parameters = ParseParameters(request.target);
  struct TRunning {
    explicit TRunning(std::atomic<int>& count) : count_(count) { taken_ = ++count_ <= kReportsAtOnce; }
    ~TRunning() { --count_; }
    std::atomic<int>& count_;
    bool taken_;
  } running(running_);
  if (!running.taken_) throw TWebError(429, "Other reports are being counted; try again in a moment");
  TReportQuery& query = parameters.query;
  const TServerSettings settings = Refresh();
  query.serviceLevelSeconds = settings.serviceLevels;
  nlohmann::json rows = nlohmann::json::array();
  nlohmann::json answer;
  std::vector<std::string> columns;
  try {
    const TSqlDialect dialect = [&] {
      connection_.Open();
      return connection_.Dialect();
    }();
    if (report == "rules") {
      for (const auto& row : RuleFigures(connection_, dialect, query, false))
        rows.push_back(QueueJson(row, settings.ruleNames, false));
      columns.assign(kQueueColumns.begin() + 1, kQueueColumns.end());
    } else if (report == "intervals") {
      for (const auto& row : IntervalFigures(connection_, dialect, query)) {
        nlohmann::json out = QueueJson(row, settings.ruleNames, true);
        const auto start = WallClockFromText(row.start);
        out["utcOffset"] = start ? UtcOffsetAt(*start) : "";
        rows.push_back(out);
      }
      columns = kQueueColumns;
      columns.insert(columns.begin() + 1, "utcOffset");
      nlohmann::json heat = nlohmann::json::array();
      for (const auto& cell : OfferedByWeekdayAndHour(connection_, dialect, query))
        heat.push_back({{"weekday", cell.weekday}, {"hour", cell.hour}, {"offered", cell.offered}});
      answer["offeredByWeekdayAndHour"] = heat;
    } else {
      for (const auto& row : OperatorFigures(connection_, dialect, query)) rows.push_back(OperatorJson(row));
      columns = kOperatorColumns;
    }
  } catch (const TWebError&) {
    throw;
  } catch (const std::exception& error) {
    throw TWebError(503, std::string("The CRM database cannot be read: ") + error.what());
  }
  if (parameters.csv) {
    TWebResponse response;
    response.contentType = "text/csv; charset=utf-8; header=present";
    response.body = Csv(columns, rows);
    // The rows' times are the server's local times: the zone goes with them.
    response.headers.emplace_back("X-Time-Zone", TimeZoneName() + " " + UtcOffsetAt(query.from));
    response.headers.emplace_back("Content-Disposition", "attachment; filename=\"" + report + "-" +
                                                             query.from.Text().substr(0, 10) + ".csv\"");
    return response;
  }
  answer["report"] = report;
  answer["timeZone"] = TimeZoneName();
  answer["utcOffset"] = UtcOffsetAt(query.from);
  answer["from"] = query.from.Text();
  answer["to"] = query.to.Text();
  answer["interval"] = ReportIntervalText(query.interval);
  answer["rule"] = query.rule == 0 ? nlohmann::json() : nlohmann::json(query.rule);
  answer["operator"] = query.operatorID == 0 ? nlohmann::json() : nlohmann::json(query.operatorID);
  answer["shortAbandonSeconds"] = kShortAbandonSeconds;
  answer["rows"] = rows;
  return JsonResponse(200, answer);
}

}  // namespace vantrel::web
