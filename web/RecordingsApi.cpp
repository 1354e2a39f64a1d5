#include "RecordingsApi.h"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <regex>

#include "ReportsApi.h"
#include "WebError.h"
#include "database/DataConnection.h"
#include "database/Reports.h"
#include "support/IniFile.h"

namespace vantrel::web {

namespace {

const std::regex kRecordingID("[1-9][0-9]{0,9}");
const std::regex kNumber("[0-9*#+]{1,32}");
constexpr std::size_t kMostRows = 500;
constexpr long kLongestRangeDays = 366;
// An open range ("bytes=0-") is answered with this much at most: a player asks on for the rest, and an hour's
// recording never sits in the gateway's memory whole for one request.
constexpr std::uint64_t kLongestOpenRange = 1 << 20;

std::optional<std::uint64_t> Whole(const std::string& text) {
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::string Quoted(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) {
    quoted.push_back(c);
    if (c == '\'') quoted.push_back('\'');
  }
  return quoted + "'";
}

TWebError Unsatisfiable(std::uint64_t size) {
  return TWebError(416, "The range is outside the recording (" + std::to_string(size) + " bytes)");
}

}  // namespace

TRecordingsApi::TRecordingsApi(TReportsApi& crm, std::filesystem::path iniFolder)
    : crm_(crm), iniFolder_(std::move(iniFolder)) {}

bool TRecordingsApi::OperatorsHearOwn() const {
  const TMemIniFile ini((iniFolder_ / "Settings.ini").string());
  return ini.ReadInteger("Web", "OperatorsHearOwnRecordings", 0) == 1;
}

std::filesystem::path TRecordingsApi::Folder() const {
  const TMemIniFile ini((iniFolder_ / "Settings.ini").string());
  std::string folder(Trim(ini.ReadString("Recording", "Folder", "")));
  if (folder.empty()) folder = "Recordings";
  const std::filesystem::path path(folder);
  return path.is_absolute() ? path : iniFolder_ / path;
}

std::optional<TRecordingsApi::TByteRange> TRecordingsApi::ParseRange(const std::string& header, std::uint64_t size) {
  const std::string text(Trim(header));
  if (text.empty()) return std::nullopt;
  // Another unit, or several ranges: the whole file is the answer, which a client must accept.
  if (text.rfind("bytes=", 0) != 0 || text.find(',') != std::string::npos) return std::nullopt;
  const std::string spec(Trim(text.substr(6)));
  const auto dash = spec.find('-');
  if (dash == std::string::npos) throw TWebError(416, "The range is not bytes=first-last");
  const auto first = Whole(std::string(Trim(spec.substr(0, dash))));
  const auto last = Whole(std::string(Trim(spec.substr(dash + 1))));
  TByteRange range;
  if (!first) {
    // "bytes=-n": the last n bytes.
    if (!last || *last == 0 || size == 0) throw Unsatisfiable(size);
    range.first = size - std::min(*last, size);
    range.last = size - 1;
    return range;
  }
  if (*first >= size) throw Unsatisfiable(size);
  if (!last && dash + 1 < spec.size()) throw TWebError(416, "The range is not bytes=first-last");
  if (last && *last < *first) throw TWebError(416, "The range ends before it starts");
  range.first = *first;
  range.last = last ? std::min(*last, size - 1) : std::min(size - 1, *first + kLongestOpenRange - 1);
  return range;
}

TWebResponse TRecordingsApi::Handle(const TWebRequest& request, const TWebUser& user,
                                    const std::vector<std::string>& path) {
  if (user.role != "supervisor" && !(user.role == "operator" && user.operatorID != 0 && OperatorsHearOwn()))
    throw TWebError(403, "Recordings are for supervisors");
  if (path.size() == 2) return List(request, user);
  if (path.size() == 4 && path[3] == "audio") return Audio(request, user, path[2]);
  throw TWebError(404, "No such resource: " + request.target.substr(0, 200));
}

TWebResponse TRecordingsApi::List(const TWebRequest& request, const TWebUser& user) {
  auto values = TReportsApi::QueryValues(request.target, {"from", "to", "line", "operator", "caller"});
  const TWallClock now = NowWallClock();
  const TWallClock today{now.year, now.month, now.day, 0, 0, 0};
  const auto timeOf = [&](const char* name, const TWallClock& fallback, bool dayEnd) {
    const auto found = values.find(name);
    if (found == values.end() || found->second.empty()) return fallback;
    const auto time = WallClockFromText(found->second);
    if (!time)
      throw TWebError(400, std::string("\"") + name + "\" is not a date (yyyy-mm-dd) or a time (yyyy-mm-ddThh:mm): " +
                               TReportsApi::Shown(found->second));
    return dayEnd && found->second.size() == 10 ? AddDays(*time, 1) : *time;
  };
  const TWallClock from = timeOf("from", AddDays(today, -6), false);
  const TWallClock to = timeOf("to", AddDays(today, 1), true);
  if (!(from < to)) throw TWebError(400, "\"to\" is before \"from\": the range is empty");
  if (AddDays(from, static_cast<int>(kLongestRangeDays)) < to)
    throw TWebError(400, "The range is longer than a year (" + std::to_string(kLongestRangeDays) + " days at most)");
  std::string where = "r.StartTime >= " + Quoted(from.Text()) + " and r.StartTime < " + Quoted(to.Text());
  for (const char* name : {"line", "caller"}) {
    const auto found = values.find(name);
    if (found == values.end() || found->second.empty()) continue;
    if (!std::regex_match(found->second, kNumber))
      throw TWebError(400, std::string("\"") + name + "\" is not a phone number (1 to 32 of 0-9 * # +)");
    // The number has none of LIKE's wildcards: part of a caller's number finds them.
    where += std::string(name) == "line"
                 ? " and r.LinePhoneNumber = " + Quoted(found->second)
                 : " and exists (select 1 from tq_VantrelLog c where c.CallHandle = r.CallHandle and "
                   "c.CallerPhoneNumber like " + Quoted("%" + found->second + "%") + ")";
  }
  long operatorID = 0;
  if (const auto found = values.find("operator"); found != values.end() && !found->second.empty()) {
    const auto id = Whole(found->second);
    if (!id || *id == 0 || *id > 2147483647)
      throw TWebError(400, "\"operator\" is not a positive whole number: " + TReportsApi::Shown(found->second));
    operatorID = static_cast<long>(*id);
  }
  if (user.role != "supervisor") {
    if (operatorID != 0 && operatorID != user.operatorID)
      throw TWebError(403, "An operator hears only the recordings of their own calls");
    operatorID = user.operatorID;
  }
  if (operatorID != 0) where += " and r.Operator_id = " + std::to_string(operatorID);
  const std::string sql =
      "select r.ID, r.CallHandle, r.LinePhoneNumber, r.Operator_id, r.FileName, r.StartTime, r.Seconds, "
      "r.PausedSeconds, (select max(c.CallerPhoneNumber) from tq_VantrelLog c where c.CallHandle = r.CallHandle) "
      "from tq_VantrelRecording r where " +
      where + " order by r.StartTime desc, r.ID desc limit " + std::to_string(kMostRows + 1);
  std::vector<std::vector<std::string>> rows;
  try {
    rows = crm_.OpenCrm().QueryRows(sql);
  } catch (const TWebError&) {
    throw;
  } catch (const std::exception& error) {
    throw TWebError(503, std::string("The CRM database cannot be read: ") + error.what());
  }
  nlohmann::json list = nlohmann::json::array();
  for (std::size_t i = 0; i < rows.size() && i < kMostRows; ++i) {
    const auto& row = rows[i];
    if (row.size() < 9) continue;
    const auto number = [](const std::string& text) { return Whole(text).value_or(0); };
    list.push_back({{"id", number(row[0])},
                    {"call", row[1]},
                    {"line", row[2]},
                    {"operatorID", number(row[3]) == 0 ? nlohmann::json() : nlohmann::json(number(row[3]))},
                    {"file", row[4]},
                    {"start", row[5].substr(0, 19)},
                    {"seconds", number(row[6])},
                    {"pausedSeconds", number(row[7])},
                    {"caller", row[8]},
                    {"audio", "/api/recordings/" + row[0] + "/audio"}});
  }
  return JsonResponse(200, {{"from", from.Text()},
                            {"to", to.Text()},
                            {"truncated", rows.size() > kMostRows},
                            {"recordings", list}});
}

TWebResponse TRecordingsApi::Audio(const TWebRequest& request, const TWebUser& user, const std::string& id) {
  if (!std::regex_match(id, kRecordingID)) throw TWebError(400, "Not a recording ID: " + TReportsApi::Shown(id));
  std::optional<std::vector<std::string>> row;
  try {
    row = crm_.OpenCrm().QueryFirstRow("select FileName, Operator_id from tq_VantrelRecording where ID = " + id,
                                       {"FileName", "Operator_id"});
  } catch (const TWebError&) {
    throw;
  } catch (const std::exception& error) {
    throw TWebError(503, std::string("The CRM database cannot be read: ") + error.what());
  }
  if (!row || row->size() < 2) throw TWebError(404, "No recording " + id);
  if (user.role != "supervisor" && Whole((*row)[1]).value_or(0) != static_cast<std::uint64_t>(user.operatorID))
    throw TWebError(403, "An operator hears only the recordings of their own calls");
  // The row names a file relative to the folder: nothing absolute, no step up, and no link that leads out.
  const std::filesystem::path name((*row)[0]);
  const bool stepsUp = std::any_of(name.begin(), name.end(), [](const auto& part) { return part == ".."; });
  if (name.empty() || name.is_absolute() || name.has_root_name() || stepsUp)
    throw TWebError(403, "Recording " + id + " is not inside the recordings' folder");
  std::error_code error;
  const auto folder = std::filesystem::canonical(Folder(), error);
  if (error) throw TWebError(404, "The recordings' folder is not there");
  const auto file = std::filesystem::canonical(folder / name, error);
  if (error || !std::filesystem::is_regular_file(file, error)) throw TWebError(404, "Recording " + id + " has no file");
  const auto inside = std::mismatch(folder.begin(), folder.end(), file.begin(), file.end());
  if (inside.first != folder.end()) throw TWebError(403, "Recording " + id + " is not inside the recordings' folder");
  std::ifstream stream(file, std::ios::binary);
  const std::uint64_t size = std::filesystem::file_size(file, error);
  if (!stream || error) throw TWebError(404, "Recording " + id + " cannot be read");
  TWebResponse response;
  response.contentType = "audio/wav";
  response.headers.emplace_back("Accept-Ranges", "bytes");
  response.headers.emplace_back("Content-Disposition", "inline; filename=\"recording-" + id + ".wav\"");
  std::optional<TByteRange> range;
  try {
    range = ParseRange(request.range, size);
  } catch (const TWebError& refusal) {
    TWebResponse answer = JsonResponse(416, {{"error", refusal.what()}});
    answer.headers.emplace_back("Content-Range", "bytes */" + std::to_string(size));
    answer.headers.emplace_back("Accept-Ranges", "bytes");
    return answer;
  }
  const std::uint64_t first = range ? range->first : 0;
  const std::uint64_t count = range ? range->last - range->first + 1 : size;
  response.body.resize(count);
  stream.seekg(static_cast<std::streamoff>(first));
  if (!stream.read(response.body.data(), static_cast<std::streamsize>(count)))
    throw TWebError(503, "Recording " + id + " could not be read whole");
  if (range) {
    response.status = 206;
    response.headers.emplace_back("Content-Range", "bytes " + std::to_string(range->first) + "-" +
                                                       std::to_string(range->last) + "/" + std::to_string(size));
  }
  return response;
}

}  // namespace vantrel::web
