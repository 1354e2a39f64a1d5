// vantrel-console: an operator's terminal for a running server, over IIOP. It shows the lines with their calls,
// the operators and the last call events, and lets a person log in at a line and handle its calls.
#include <omniORB4/CORBA.h>
#include <unistd.h>

#include <strings.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <iostream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Vantrel.hh"
#include "client/ClientOrb.h"
#include "client/LineActivity.h"
#include "client/OperatorSession.h"
#include "client/RemoteNames.h"

namespace {

std::string Clock() {
  const std::time_t now = std::time(nullptr);
  std::tm parts{};
  localtime_r(&now, &parts);
  char text[16];
  std::strftime(text, sizeof text, "%H:%M:%S", &parts);
  return text;
}

// The events every line sends to this console, newest last; they also end the console's waits at the line.
class ConsoleEvents : public POA_LineEvents {
 public:
  ConsoleEvents(std::string line, vantrel::client::TLineActivity& activity)
      : line_(std::move(line)), activity_(activity) {}
  void DoCallEvent(::CallEventType type, CORBA::Long call) override;
  static std::deque<std::string> Recent();
  static std::atomic<bool> changed;

 private:
  static std::mutex mutex_;
  static std::deque<std::string> recent_;
  const std::string line_;
  vantrel::client::TLineActivity& activity_;
};

std::mutex ConsoleEvents::mutex_;
std::deque<std::string> ConsoleEvents::recent_;
std::atomic<bool> ConsoleEvents::changed{true};

void ConsoleEvents::DoCallEvent(::CallEventType type, CORBA::Long call) {
  const std::string name = vantrel::CallEventName(type);
  {
    std::lock_guard lock(mutex_);
    recent_.push_back(Clock() + "  " + line_ + "  " + name + "  " + std::to_string(call));
    while (recent_.size() > 8) recent_.pop_front();
    changed = true;
  }
  activity_.Note(line_);
}

std::deque<std::string> ConsoleEvents::Recent() {
  std::lock_guard lock(mutex_);
  return recent_;
}

// The queues' figures changed: the screen is drawn again.
class ConsoleQueueEvents : public POA_QueueEvents {
 public:
  void DoQueueFiguresChanged(const ::QueueFiguresSeq&) override { ConsoleEvents::changed = true; }
};

// "m:ss"
std::string MinutesSeconds(long seconds) {
  char text[24];
  std::snprintf(text, sizeof text, "%ld:%02ld", seconds / 60, seconds % 60);
  return text;
}

class Console {
 public:
  // With a line number, the console is one operator's: it listens to that line only, so one console per
  // operator can run at once; without, it listens to every line.
  Console(CORBA::ORB_ptr orb, PortableServer::POA_ptr poa, ::Environment_ptr environment, std::string onlyLine)
      : orb_(CORBA::ORB::_duplicate(orb)),
        poa_(PortableServer::POA::_duplicate(poa)),
        environment_(::Environment::_duplicate(environment)),
        onlyLine_(std::move(onlyLine)) {}

  // Returns what the user should know about the CRM database: nothing when it is connected.
  std::string Listen();
  void KeepAlive();
  // At quit: the lines stop sending to this console.
  void StopListening();
  void Draw(const std::string& message);
  std::string Run(const std::string& command);
  // The names of the pause reasons, as the settings give them.
  void SetPauseReasons(std::map<long, std::string> names) { pauseReasons_ = std::move(names); }

 private:
  ::Line_ptr LineOf(const std::string& number);
  vantrel::client::TOperatorSession SessionAt(::Line_ptr line, const std::string& number);
  std::string ReasonList() const;
  // The call to act on: the one named, else the line's offering or active call.
  CORBA::Long CallOf(::Line_ptr line, const std::vector<std::string>& words, std::size_t at);
  // How long the call has been on the line: the server does not tell a call's begin time, so it is counted from
  // when this console first saw the call.
  std::string DurationOf(const std::string& line, CORBA::Long call);
  // The console's listener hears its lines beside other clients' (AddEventsListener); at the line of its own
  // operator it is the line's own listener, so the operator goes when the console does.
  void Seat(::Line_ptr line, const std::string& number);
  void Unseat(::Line_ptr line, const std::string& number);

  CORBA::ORB_var orb_;
  PortableServer::POA_var poa_;
  ::Environment_var environment_;
  const std::string onlyLine_;                         // empty: every line
  std::map<std::string, ::LineEvents_var> listeners_;  // by line number
  vantrel::client::TLineActivity activity_;            // what the listeners heard
  ::Operator_var me_;
  std::string myLine_;
  std::map<long, std::string> pauseReasons_;
  std::map<std::pair<std::string, CORBA::Long>, std::chrono::steady_clock::time_point> callsSeen_;
  std::map<std::pair<std::string, CORBA::Long>, std::chrono::steady_clock::time_point> callsShown_;
};

std::string Console::DurationOf(const std::string& line, CORBA::Long call) {
  const auto key = std::make_pair(line, call);
  const auto found = callsSeen_.find(key);
  const auto since = found == callsSeen_.end() ? std::chrono::steady_clock::now() : found->second;
  callsShown_[key] = since;
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - since);
  char text[16];
  std::snprintf(text, sizeof text, "%ld:%02ld", static_cast<long>(seconds.count() / 60),
                static_cast<long>(seconds.count() % 60));
  return text;
}

std::string Console::Listen() {
  // The server connects its CRM database when a client asks; the routing rules need it for groups.
  ::Database_var database = environment_->GetDatabase();
  std::string databaseState;
  if (!database->GetConnected()) {
    CORBA::String_var error = CORBA::string_dup("");
    if (!database->SetConnected(true, error.inout())) {
      databaseState =
          std::string("The CRM database is not connected (calls are not logged, groups not found): ") + error.in();
    }
  }
  ::Lines_var lines = environment_->GetLines();
  for (CORBA::Long i = 0; i < lines->GetItemsCount(); ++i) {
    ::Line_var line = ::Line::_narrow(::ContainerItem_var(lines->GetItem(i)));
    if (CORBA::is_nil(line)) continue;
    CORBA::String_var number = line->GetDevicePhoneNumber();
    if (!onlyLine_.empty() && onlyLine_ != number.in()) continue;
    PortableServer::ObjectId_var id;
    ::LineEvents_var& listener = listeners_[number.in()];
    listener = vantrel::ServeListener<::LineEvents>(poa_, new ConsoleEvents(number.in(), activity_), id);
    line->AddEventsListener(listener);
    line->ChangeLineEventLastContact();
  }
  PortableServer::ObjectId_var queueId;
  ::Rules_var(environment_->GetRules())
      ->SetQueueEventsListener(
          ::QueueEvents_var(vantrel::ServeListener<::QueueEvents>(poa_, new ConsoleQueueEvents(), queueId)));
  return databaseState;
}

// The lines drop a listener whose client has been silent for about 15 seconds.
void Console::KeepAlive() {
  ::Lines_var lines = environment_->GetLines();
  for (CORBA::Long i = 0; i < lines->GetItemsCount(); ++i) {
    ::Line_var line = ::Line::_narrow(::ContainerItem_var(lines->GetItem(i)));
    if (CORBA::is_nil(line)) continue;
    CORBA::String_var number = line->GetDevicePhoneNumber();
    const auto listener = listeners_.find(number.in());
    if (listener == listeners_.end()) continue;
    line->ChangeLineEventLastContact();
    // Dropped with this console once (slow, unreachable): heard again. Adding a listener the line has keeps one.
    if (myLine_ != number.in()) line->AddEventsListener(listener->second);
  }
}

void Console::StopListening() {
  for (const auto& [number, listener] : listeners_) {
    ::Line_var line = LineOf(number);
    if (CORBA::is_nil(line)) continue;
    if (number == myLine_) {
      Unseat(line, number);
    } else {
      line->RemoveEventsListener(listener);
    }
  }
}

void Console::Seat(::Line_ptr line, const std::string& number) {
  const auto listener = listeners_.find(number);
  if (listener == listeners_.end()) return;
  line->RemoveEventsListener(listener->second);
  line->SetLineEventsListener(listener->second);
  line->ChangeLineEventLastContact();
}

void Console::Unseat(::Line_ptr line, const std::string& number) {
  const auto listener = listeners_.find(number);
  if (listener == listeners_.end()) return;
  ::LineEvents_var current = line->GetLineEventsListener();
  if (!CORBA::is_nil(current) && current->_is_equivalent(listener->second))
    line->SetLineEventsListener(::LineEvents::_nil());
  line->AddEventsListener(listener->second);
}

void Console::Draw(const std::string& message) {
  std::ostringstream screen;
  screen << "\x1b[H\x1b[2J"
         << "Vantrel console   " << Clock() << (myLine_.empty() ? "   (not logged in)" : "   logged in at " + myLine_)
         << "\n\nLines\n";
  ::Lines_var lines = environment_->GetLines();
  ::LineItemSeq_var items = lines->GetItemsArray();
  // The callers each rule's lines hold (greeted or waiting in line): since when this console saw them, and who.
  std::map<CORBA::Long, std::vector<std::pair<std::chrono::steady_clock::time_point, std::string>>> held;
  for (CORBA::ULong i = 0; i < items->length(); ++i) {
    const ::LineItem& item = items[i];
    ::Line_var line = ::Line::_narrow(::ContainerItem_var(lines->GetItem(static_cast<CORBA::Long>(i))));
    ::Operator_var seated = line->GetOperator();
    CORBA::String_var seatedName = CORBA::is_nil(seated) ? CORBA::string_dup("-") : seated->GetComputerName();
    screen << "  " << item.DevicePhoneNumber.in() << "  " << item.Name.in() << (item.isOuter ? "  outer" : "")
           << "  rule: " << (item.Rule.ID < 0 ? "-" : item.Rule.Name.in())
           << "  operator: " << (CORBA::is_nil(seated) ? std::string("-") : std::to_string(seated->GetID()))
           << (line->GetDND() ? "  DND" : "") << "\n";
    for (CORBA::Long c = 0; c < line->GetCallsCount(); ++c) {
      const CORBA::Long call = line->GetCall(c);
      CORBA::String_var remote = line->GetRemoteID(call);
      screen << "      call " << call << "  " << vantrel::CallStateName(line->GetCallState(call)) << "  "
             << (line->GetCallIsIncoming(call) ? "from " : "to ") << remote.in() << "  "
             << DurationOf(item.DevicePhoneNumber.in(), call) << "\n";
      if (item.Rule.ID >= 0 && line->GetCallIsIncoming(call) && line->GetCallIsHeld(call))
        held[item.Rule.ID].emplace_back(callsShown_[{item.DevicePhoneNumber.in(), call}], remote.in());
    }
  }
  // Calls gone from every line are forgotten.
  callsSeen_.swap(callsShown_);
  callsShown_.clear();
  // Each rule's callers waiting now and its day so far; the service level is the server's, of the callers whose
  // wait ended ("-" before any did).
  ::Rules_var rules = environment_->GetRules();
  ::QueueFiguresSeq_var queues = rules->GetQueueFigures(true);
  ::QueueServiceLevelSeq_var levels = rules->GetServiceLevels(true);
  if (queues->length() > 0) screen << "\nQueues today\n";
  for (CORBA::ULong i = 0; i < queues->length(); ++i) {
    const ::QueueFigures& queue = queues[i];
    std::string level = "-";
    long shortAbandoned = 0;
    for (CORBA::ULong j = 0; j < levels->length(); ++j) {
      if (levels[j].RuleID != queue.RuleID) continue;
      if (levels[j].ServiceLevel >= 0) level = std::to_string(levels[j].ServiceLevel) + "%";
      shortAbandoned = levels[j].ShortAbandoned;
    }
    screen << "  " << queue.RuleName.in() << "  waiting " << queue.Waiting << "  longest "
           << MinutesSeconds(queue.LongestWait) << "  offered " << queue.Offered << "  answered " << queue.Answered
           << "  abandoned " << queue.Abandoned << " (" << shortAbandoned << " short)  overflowed " << queue.Overflowed
           << "  service level " << level << " in " << queue.ServiceLevelSeconds << " s  answer "
           << MinutesSeconds(queue.AverageSpeedOfAnswer) << "  talk " << MinutesSeconds(queue.AverageTalkTime) << "\n";
    // The callers in line, longest first, with their place and how long they have been held.
    auto& callers = held[queue.RuleID];
    // Seen at the same redraw, they keep the line's order, which is the order they came in.
    std::stable_sort(callers.begin(), callers.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (std::size_t place = 0; place < callers.size(); ++place) {
      const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() -
                                                                           callers[place].first);
      screen << "      " << place + 1 << ". " << callers[place].second << "  "
             << MinutesSeconds(static_cast<long>(seconds.count())) << "\n";
    }
    // The callbacks not made yet: their place in line (0 while being called), the calls made so far.
    ::Rule_var rule = ::Rule::_narrow(::ContainerItem_var(rules->GetItemByID(queue.RuleID)));
    ::PendingCallbackSeq_var callbacks = CORBA::is_nil(rule) ? new ::PendingCallbackSeq : rule->GetPendingCallbacks();
    for (CORBA::ULong c = 0; c < callbacks->length(); ++c) {
      const ::PendingCallback& callback = callbacks[c];
      screen << "      callback " << callback.CallerNumber.in() << "  place " << callback.Place << "  attempts "
             << callback.Attempts << "  " << callback.State.in() << "  " << MinutesSeconds(callback.WaitSeconds)
             << "\n";
    }
  }
  screen << "\nOperators\n";
  ::Operators_var operators = environment_->GetOperators();
  ::OperatorItemSeq_var people = operators->GetOperatorsArray();
  if (people->length() == 0) screen << "  (none logged in)\n";
  for (CORBA::ULong i = 0; i < people->length(); ++i) {
    const ::OperatorItem& person = people[i];
    ::Operator_var item = ::Operator::_narrow(::ContainerItem_var(operators->GetItemByID(person.ID)));
    char since[16];
    std::snprintf(since, sizeof since, "%02u:%02u", static_cast<unsigned>(person.LoginTime.Hour),
                  static_cast<unsigned>(person.LoginTime.Minute));
    const std::string name = person.Name.in();
    screen << "  " << person.ID << (name.empty() ? "" : "  " + name) << "  on " << person.ComputerName.in() << "  at "
           << person.LinePhoneNumber.in() << "  " << vantrel::OperatorStatusText(person.Status)
           << (person.Status == ::OperatorPause && !CORBA::is_nil(item)
                   ? " (" + vantrel::PauseReasonName(pauseReasons_, item->GetPauseReason()) + ")"
                   : std::string())
           << " for " << MinutesSeconds(CORBA::is_nil(item) ? 0 : item->GetStatusSeconds()) << "  calls "
           << (CORBA::is_nil(item) ? 0 : item->GetCallsCount()) << "  since " << since << "\n";
  }
  screen << "\nLast events\n";
  for (const std::string& event : ConsoleEvents::Recent()) screen << "  " << event << "\n";
  screen << "\n"
         << message << "\n"
         << "login ID LINE | logout | status ready|busy|pause [REASON or its name] | answer | hold | unhold | dial NUMBER |\n"
         << (pauseReasons_.empty() ? std::string() : "pause reasons: " + ReasonList() + "\n")
         << "transfer NUMBER | consult NUMBER | complete | hangup | record [stop] | pause-record [off] | quit"
            "   (Enter refreshes)\n> "
         << std::flush;
  std::cout << screen.str() << std::flush;
}

std::string Console::ReasonList() const {
  std::string list;
  for (const auto& [number, name] : pauseReasons_)
    list += (list.empty() ? "" : ", ") + std::to_string(number) + " " + name;
  return list;
}

::Line_ptr Console::LineOf(const std::string& number) {
  ::Lines_var lines = environment_->GetLines();
  return ::Line::_narrow(::ContainerItem_var(lines->GetItemByDevicePhoneNumber(number.c_str())));
}

vantrel::client::TOperatorSession Console::SessionAt(::Line_ptr line, const std::string& number) {
  return vantrel::client::TOperatorSession(::Operators_var(environment_->GetOperators()), line, number, activity_);
}

CORBA::Long Console::CallOf(::Line_ptr line, const std::vector<std::string>& words, std::size_t at) {
  if (words.size() > at) return std::atol(words[at].c_str());
  const CORBA::Long offering = line->GetOfferingCall();
  return offering != 0 ? offering : line->GetActiveCall();
}

std::string Console::Run(const std::string& command) {
  std::istringstream stream(command);
  std::vector<std::string> words;
  for (std::string word; stream >> word;) words.push_back(word);
  if (words.empty()) return "";
  const std::string& verb = words[0];
  if (verb == "login") {
    if (words.size() != 3) return "Use: login ID LINE (your CRM employee ID and your line's number)";
    ::Line_var line = LineOf(words[2]);
    if (CORBA::is_nil(line)) return "No line " + words[2];
    char host[256] = "console";
    ::gethostname(host, sizeof host - 1);
    me_ = SessionAt(line, words[2]).LogIn(std::atol(words[1].c_str()), host);
    myLine_ = words[2];
    Seat(line, myLine_);
    return "Logged in at " + myLine_;
  }
  if (verb == "quit") return "quit";
  if (CORBA::is_nil(me_) || myLine_.empty()) return "Log in first: login ID LINE";
  ::Line_var line = LineOf(myLine_);
  if (verb == "logout") {
    SessionAt(line, myLine_).LogOut();
    me_ = ::Operator::_nil();
    Unseat(line, myLine_);
    myLine_.clear();
    return "Logged out";
  }
  if (verb == "status" && (words.size() == 2 || (words.size() == 3 && words[1] == "pause"))) {
    const std::map<std::string, ::OperatorStatus> statuses = {
        {"ready", ::OperatorReady}, {"busy", ::OperatorBusy}, {"pause", ::OperatorPause}};
    const auto found = statuses.find(words[1]);
    if (found == statuses.end()) return "Use: status ready|busy|pause [REASON or its name]";
    // A reason by its name in the settings, or by its number.
    long reason = 0;
    if (words.size() == 3) {
      reason = std::atol(words[2].c_str());
      for (const auto& [number, name] : pauseReasons_)
        if (strcasecmp(name.c_str(), words[2].c_str()) == 0) reason = number;
    }
    me_->SetStatus(found->second);
    if (words.size() == 3) me_->SetPauseReason(reason);
    return "Status " + words[1] +
           (words.size() == 3 ? " (" + vantrel::PauseReasonName(pauseReasons_, reason) + ")" : "");
  }
  if (verb == "dial" && words.size() == 2) {
    line->Dial(0, words[1].c_str(), 0);
    return "Dialling " + words[1];
  }
  if (verb == "record" || verb == "pause-record") {
    // record [stop] [CALL], pause-record [off] [CALL]: the server says why when it cannot.
    const bool undo = words.size() > 1 && (words[1] == (verb == "record" ? "stop" : "off"));
    const CORBA::Long call = CallOf(line, words, undo ? 2 : 1);
    if (call == 0) return "No call on line " + myLine_;
    CORBA::String_var refused = verb == "record" ? (undo ? line->StopRecording(call) : line->StartRecording(call))
                                                 : line->PauseRecording(call, !undo);
    if (refused.in()[0] != '\0') return "Not done: " + std::string(refused.in());
    const std::string which = " call " + std::to_string(call);
    if (verb == "record") return undo ? "Stopped recording" + which : "Recording" + which;
    return undo ? "Recording again" + which : "Paused recording" + which;
  }
  const CORBA::Long call = CallOf(line, words, verb == "transfer" || verb == "consult" ? 2 : 1);
  if (call == 0) return "No call on line " + myLine_;
  if (verb == "answer")
    line->Answer(call);
  else if (verb == "hold")
    line->Hold(call);
  else if (verb == "unhold")
    line->Unhold(call);
  else if (verb == "hangup")
    line->CancelDial(call);
  else if (verb == "transfer" && words.size() >= 2)
    line->BlindTransfer(call, words[1].c_str());
  else if (verb == "consult" && words.size() >= 2) {
    const long consult =
        SessionAt(line, myLine_)
            .Consult(call, words[1], std::chrono::steady_clock::now() + vantrel::client::kConsultationWithin);
    return "consult " + std::to_string(call) + ": calling " + words[1] + " on " + std::to_string(consult);
  } else if (verb == "complete") {
    SessionAt(line, myLine_).Complete(call);
  } else {
    return "Unknown command; see the list below";
  }
  return verb + " " + std::to_string(call);
}

const char* const kUsage =
    "usage: vantrel-console [--address HOST] [--port PORT] [--line NUMBER] [--ini FOLDER]\n"
    "                       [--tls-cert FILE --tls-key FILE [--tls-key-password TEXT] --tls-ca FILE]\n"
    "  --address, --port  the server (default 127.0.0.1 and $VANTREL_PORT or 2809)\n"
    "  --line NUMBER      listen to that line only (one console per operator)\n"
    "  --ini FOLDER       where Settings.ini names the pause reasons (default ini)\n"
    "  --tls-*            a client certificate for a server that wants one\n"
    "  Commands once running: login ID LINE, logout, status ready|busy|pause [REASON or its name], answer, hold, unhold,\n"
    "  dial NUMBER, transfer NUMBER, consult NUMBER, complete, hangup, record [stop], pause-record [off], quit\n";

}  // namespace

int main(int argc, char** argv) {
  std::string address = "127.0.0.1";
  std::string port = std::getenv("VANTREL_PORT") != nullptr ? std::getenv("VANTREL_PORT") : "2809";
  // With TLS the console shows the server a certificate of its own, and serves its listener over TLS too.
  vantrel::TTlsFiles tls;
  std::string onlyLine;
  std::string iniFolder = "ini";  // where Settings.ini names the pause reasons
  const std::map<std::string, std::string*> valued = {{"--address", &address},
                                                      {"--port", &port},
                                                      {"--tls-cert", &tls.certificateFile},
                                                      {"--tls-key", &tls.privateKeyFile},
                                                      {"--tls-key-password", &tls.privateKeyPassword},
                                                      {"--tls-ca", &tls.caFile},
                                                      {"--line", &onlyLine},
                                                      {"--ini", &iniFolder}};
  // Everything is checked before the console connects: a mistyped option takes no line's listener.
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--help" || option == "-h") {
      std::cout << kUsage;
      return 0;
    }
    const auto found = valued.find(option);
    if (found == valued.end() || i + 1 >= argc) {
      std::cerr << "vantrel-console: " << (found == valued.end() ? "unknown option " : "a value is missing after ")
                << option << "\n"
                << kUsage;
      return 2;
    }
    *found->second = argv[++i];
  }
  vantrel::TClientOrb client;
  if (!vantrel::StartClientOrb("vantrel-console", tls, address, port, false, client)) return 2;
  CORBA::ORB_var orb = client.orb;
  const std::string corbaloc = client.corbaloc;
  int exitCode = 0;
  try {
    PortableServer::POA_var poa = client.poa;
    ::Environment_var environment = vantrel::ResolveEnvironment(orb, corbaloc);
    Console console(orb, poa, environment, onlyLine);
    console.SetPauseReasons(vantrel::ReadPauseReasons(iniFolder + "/Settings.ini"));
    const std::string databaseState = console.Listen();
    std::atomic<bool> done{false};
    std::mutex screen;
    std::string message = databaseState.empty() ? "Connected to " + corbaloc : databaseState;
    std::thread painter([&] {
      auto lastAlive = std::chrono::steady_clock::now();
      while (!done) {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        const auto now = std::chrono::steady_clock::now();
        try {
          if (now - lastAlive > std::chrono::seconds(5)) {
            console.KeepAlive();
            lastAlive = now;
          }
          if (ConsoleEvents::changed.exchange(false)) {
            std::lock_guard lock(screen);
            console.Draw(message);
          }
        } catch (const CORBA::Exception& error) {
          std::cout << "\nThe server does not answer (" << error._name() << ")\n> " << std::flush;
        }
      }
    });
    for (std::string command; std::getline(std::cin, command);) {
      std::string result;
      try {
        result = console.Run(command);
      } catch (const vantrel::client::TSessionError& error) {
        result = error.what();
      } catch (const CORBA::Exception& error) {
        result = std::string("The server refused: ") + error._name();
      }
      if (result == "quit") break;
      std::lock_guard lock(screen);
      message = result;
      console.Draw(message);
    }
    done = true;
    painter.join();
    console.StopListening();
  } catch (const CORBA::Exception& error) {
    std::cerr << "vantrel-console: cannot reach the server at " << address << ":" << port << " (" << error._name()
              << ")\n";
    exitCode = 2;
  } catch (const std::exception& error) {
    std::cerr << "vantrel-console: " << error.what() << "\n";
    exitCode = 2;
  }
  orb->destroy();
  return exitCode;
}
