#include "CallLogJournal.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

namespace vantrel {

namespace {

constexpr std::size_t kRowFields = 13;

void AppendEscaped(std::string& line, const std::string& field) {
  line += '\t';
  for (char c : field) {
    switch (c) {
      case '\\':
        line += "\\\\";
        break;
      case '\t':
        line += "\\t";
        break;
      case '\n':
        line += "\\n";
        break;
      case '\r':
        line += "\\r";
        break;
      default:
        line += c;
    }
  }
}

std::vector<std::string> SplitFields(const std::string& line) {
  std::vector<std::string> fields(1);
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (c == '\t') {
      fields.emplace_back();
    } else if (c == '\\' && i + 1 < line.size()) {
      const char next = line[++i];
      fields.back() += next == 't' ? '\t' : next == 'n' ? '\n' : next == 'r' ? '\r' : next;
    } else {
      fields.back() += c;
    }
  }
  return fields;
}

long ToLong(const std::string& text) {
  std::size_t used = 0;
  const long value = std::stol(text, &used);
  if (used != text.size()) throw std::invalid_argument(text);
  return value;
}

constexpr std::size_t kQueueRowFields = 10;

// A queue-log row has a line of its own kind, which a journal without queue rows never holds.
std::string QueueRowLine(const TCallLogRow& row) {
  std::string line = "Q";
  for (const std::string* field :
       {&row.CallHandle, &row.BeginTime, &row.LinePhoneNumber, &row.CallerPhoneNumber, &row.ConnectedPhoneNumber}) {
    AppendEscaped(line, *field);
  }
  for (long number : {static_cast<long>(row.QueueEvent), row.Operator_id, row.Rule_id, row.Seconds, row.Reason}) {
    AppendEscaped(line, std::to_string(number));
  }
  return line + '\n';
}

TCallLogRow QueueRowOf(const std::vector<std::string>& fields) {
  if (fields.size() != kQueueRowFields + 1) throw std::invalid_argument("a row of " + std::to_string(fields.size()));
  TCallLogRow row;
  std::size_t at = 1;
  for (std::string* text :
       {&row.CallHandle, &row.BeginTime, &row.LinePhoneNumber, &row.CallerPhoneNumber, &row.ConnectedPhoneNumber}) {
    *text = fields[at++];
  }
  row.QueueEvent = static_cast<TQueueEvent>(ToLong(fields[at++]));
  if (row.QueueEvent == TQueueEvent::None) throw std::invalid_argument("a queue row without its event");
  row.Operator_id = ToLong(fields[at++]);
  row.Rule_id = ToLong(fields[at++]);
  row.Seconds = ToLong(fields[at++]);
  row.Reason = ToLong(fields[at++]);
  return row;
}

constexpr std::size_t kRecordingRowFields = 7;

// A recording's row: a line of a third kind.
std::string RecordingRowLine(const TCallLogRow& row) {
  std::string line = "V";
  for (const std::string* field : {&row.CallHandle, &row.BeginTime, &row.LinePhoneNumber, &row.File})
    AppendEscaped(line, *field);
  for (long number : {row.Operator_id, row.Seconds, row.PausedSeconds}) AppendEscaped(line, std::to_string(number));
  return line + '\n';
}

TCallLogRow RecordingRowOf(const std::vector<std::string>& fields) {
  if (fields.size() != kRecordingRowFields + 1)
    throw std::invalid_argument("a row of " + std::to_string(fields.size()));
  TCallLogRow row;
  std::size_t at = 1;
  for (std::string* text : {&row.CallHandle, &row.BeginTime, &row.LinePhoneNumber, &row.File}) *text = fields[at++];
  if (row.File.empty()) throw std::invalid_argument("a recording's row without its file");
  row.Operator_id = ToLong(fields[at++]);
  row.Seconds = ToLong(fields[at++]);
  row.PausedSeconds = ToLong(fields[at++]);
  return row;
}

constexpr std::size_t kCallbackRowFields = 8;

// A callback's row: a line of a fourth kind ("B" marks an attempt).
std::string CallbackRowLine(const TCallLogRow& row) {
  std::string line = "K";
  for (const std::string* field : {&row.CallHandle, &row.BeginTime, &row.EndTime, &row.LinePhoneNumber,
                                   &row.CallerPhoneNumber, &row.CallbackState})
    AppendEscaped(line, *field);
  for (long number : {row.Rule_id, row.Reason}) AppendEscaped(line, std::to_string(number));
  return line + '\n';
}

TCallLogRow CallbackRowOf(const std::vector<std::string>& fields) {
  if (fields.size() != kCallbackRowFields + 1) throw std::invalid_argument("a row of " + std::to_string(fields.size()));
  TCallLogRow row;
  std::size_t at = 1;
  for (std::string* text : {&row.CallHandle, &row.BeginTime, &row.EndTime, &row.LinePhoneNumber,
                            &row.CallerPhoneNumber, &row.CallbackState})
    *text = fields[at++];
  if (row.CallbackState.empty()) throw std::invalid_argument("a callback's row without its state");
  row.Rule_id = ToLong(fields[at++]);
  row.Reason = ToLong(fields[at++]);
  return row;
}

std::string RowLine(const TCallLogRow& row) {
  if (row.IsCallback()) return CallbackRowLine(row);
  if (row.IsRecording()) return RecordingRowLine(row);
  if (row.QueueEvent != TQueueEvent::None) return QueueRowLine(row);
  std::string line = "R";
  for (const std::string* field :
       {&row.CallHandle, &row.BeginTime, &row.EndTime, &row.LinePhoneNumber, &row.CallerPhoneNumber,
        &row.CalledPhoneNumber, &row.ConnectedPhoneNumber, &row.ParentCallHandle, &row.ConsultCallHandle}) {
    AppendEscaped(line, *field);
  }
  for (long number :
       {static_cast<long>(row.CallEventType), static_cast<long>(row.LineIsOuter), row.Operator_id, row.Task_id}) {
    AppendEscaped(line, std::to_string(number));
  }
  return line + '\n';
}

TCallLogRow RowOf(const std::vector<std::string>& fields) {
  if (fields.size() != kRowFields + 1) throw std::invalid_argument("a row of " + std::to_string(fields.size()));
  TCallLogRow row;
  std::string* texts[] = {&row.CallHandle,           &row.BeginTime,         &row.EndTime,
                          &row.LinePhoneNumber,      &row.CallerPhoneNumber, &row.CalledPhoneNumber,
                          &row.ConnectedPhoneNumber, &row.ParentCallHandle,  &row.ConsultCallHandle};
  std::size_t at = 1;
  for (std::string* text : texts) *text = fields[at++];
  row.CallEventType = static_cast<int>(ToLong(fields[at++]));
  row.LineIsOuter = static_cast<int>(ToLong(fields[at++]));
  row.Operator_id = ToLong(fields[at++]);
  row.Task_id = ToLong(fields[at++]);
  return row;
}

}  // namespace

TCallLogJournal::TCallLogJournal(std::filesystem::path fileName) : fileName_(std::move(fileName)) {}

TCallLogJournal::~TCallLogJournal() {
  if (file_ >= 0) ::close(file_);
}

void TCallLogJournal::Load(std::deque<TCallLogRow>& outstanding, std::optional<TAttempt>& unresolved) {
  std::error_code error;
  if (!std::filesystem::exists(fileName_, error)) return;
  std::ifstream in(fileName_, std::ios::binary);
  if (!in) throw std::runtime_error("Cannot read the call-log journal \"" + fileName_.string() + "\"");
  std::stringstream whole;
  whole << in.rdbuf();
  const std::string text = whole.str();
  std::size_t start = 0;
  for (std::size_t end = text.find('\n'); end != std::string::npos; start = end + 1, end = text.find('\n', start)) {
    const std::vector<std::string> fields = SplitFields(text.substr(start, end - start));
    try {
      if (fields[0] == "R") {
        outstanding.push_back(RowOf(fields));
      } else if (fields[0] == "Q") {
        outstanding.push_back(QueueRowOf(fields));
      } else if (fields[0] == "V") {
        outstanding.push_back(RecordingRowOf(fields));
      } else if (fields[0] == "K") {
        outstanding.push_back(CallbackRowOf(fields));
      } else if (fields[0] == "B" && fields.size() == 4) {
        unresolved =
            TAttempt{static_cast<std::size_t>(ToLong(fields[1])), fields[2], static_cast<int>(ToLong(fields[3]))};
      } else if (fields[0] == "C" && fields.size() == 2) {
        const auto count = std::min(static_cast<std::size_t>(ToLong(fields[1])), outstanding.size());
        outstanding.erase(outstanding.begin(), outstanding.begin() + static_cast<std::ptrdiff_t>(count));
        unresolved.reset();
      }
      // Anything else was never written by this journal: passed over.
    } catch (const std::exception&) {
    }
  }
  // A torn last line goes, so that the next row starts a line of its own.
  if (start < text.size()) std::filesystem::resize_file(fileName_, start);
}

void TCallLogJournal::AppendText(const std::string& text) {
  if (file_ < 0) {
    file_ = ::open(fileName_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (file_ < 0) throw std::system_error(errno, std::generic_category(), "Cannot open " + fileName_.string());
  }
  std::size_t written = 0;
  while (written < text.size()) {
    const ssize_t result = ::write(file_, text.data() + written, text.size() - written);
    if (result < 0 && errno == EINTR) continue;
    if (result < 0) throw std::system_error(errno, std::generic_category(), "Cannot write " + fileName_.string());
    written += static_cast<std::size_t>(result);
  }
  if (::fdatasync(file_) != 0) {
    throw std::system_error(errno, std::generic_category(), "Cannot flush " + fileName_.string());
  }
}

void TCallLogJournal::AppendRows(const std::vector<TCallLogRow>& rows) {
  std::string text;
  for (const TCallLogRow& row : rows) text += RowLine(row);
  if (!text.empty()) AppendText(text);
}

void TCallLogJournal::MarkAttempt(const TAttempt& attempt) {
  std::string line = "B";
  AppendEscaped(line, std::to_string(attempt.count));
  AppendEscaped(line, attempt.callHandle);
  AppendEscaped(line, std::to_string(attempt.eventOrder));
  AppendText(line + '\n');
}

void TCallLogJournal::MarkCommitted(std::size_t count) { AppendText("C\t" + std::to_string(count) + '\n'); }

void TCallLogJournal::Remove() {
  if (file_ >= 0) ::close(file_);
  file_ = -1;
  std::error_code error;
  std::filesystem::remove(fileName_, error);
}

}  // namespace vantrel
