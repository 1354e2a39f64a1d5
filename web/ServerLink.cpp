#include "ServerLink.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <iostream>

#include "ServerListeners.h"
#include "WebError.h"
#include "client/ClientOrb.h"
#include "client/OperatorSession.h"
#include "client/RemoteNames.h"

namespace vantrel::web {

namespace {
// The server drops a listener whose client has been silent for about 15 seconds.
constexpr auto kKeepAliveEvery = std::chrono::seconds(5);
// Every line is read again this often, in case an event was lost with a connection.
constexpr auto kFullReadEvery = std::chrono::seconds(2);
constexpr std::size_t kHistoryLength = 50;
constexpr auto kGatherEvents = std::chrono::milliseconds(15);
// Between reads the server is asked this often whether it is still there, so an outage shows at once.
constexpr auto kProbeEvery = std::chrono::milliseconds(500);
constexpr std::size_t kMostCachedAnswers = 10000;

// Makes room for one more entry: the expired go first, else the one read longest ago (never all at once).
template <typename TMap>
void MakeRoom(TMap& cache, std::chrono::steady_clock::time_point now, std::chrono::seconds lifetime) {
  if (cache.size() < kMostCachedAnswers) return;
  std::erase_if(cache, [&](const auto& entry) { return now - entry.second.read >= lifetime; });
  if (cache.size() < kMostCachedAnswers) return;
  cache.erase(std::min_element(cache.begin(), cache.end(),
                               [](const auto& a, const auto& b) { return a.second.read < b.second.read; }));
}

TLiveQueue QueueOf(const ::QueueFigures& figures) {
  TLiveQueue queue;
  queue.ruleID = figures.RuleID;
  queue.rule = figures.RuleName.in();
  queue.waiting = figures.Waiting;
  queue.longestWait = figures.LongestWait;
  queue.offered = figures.Offered;
  queue.answered = figures.Answered;
  queue.abandoned = figures.Abandoned;
  queue.overflowed = figures.Overflowed;
  queue.answeredInServiceLevel = figures.AnsweredInServiceLevel;
  queue.serviceLevelSeconds = figures.ServiceLevelSeconds;
  queue.averageSpeedOfAnswer = figures.AverageSpeedOfAnswer;
  queue.averageTalkTime = figures.AverageTalkTime;
  return queue;
}

std::vector<TLiveQueue> QueuesOf(const ::QueueFiguresSeq& figures) {
  std::vector<TLiveQueue> queues;
  for (CORBA::ULong i = 0; i < figures.length(); ++i) queues.push_back(QueueOf(figures[i]));
  return queues;
}

std::string Text(char* value) { return CORBA::String_var(value).in(); }

// The digits of a phone number, as the CRM keeps them in OptimizedPhone; empty when it holds anything but
// digits and the usual separators (so nothing else reaches the SQL).
std::string OptimizedPhone(const std::string& number) {
  std::string digits;
  for (const char c : number) {
    if (std::isdigit(static_cast<unsigned char>(c)))
      digits += c;
    else if (c != ' ' && c != '-' && c != '(' && c != ')' && c != '+')
      return {};
  }
  return digits.size() > 32 ? std::string() : digits;
}

// A step of an operator's session the server refused or that did not happen in time: the request conflicts with
// the state the server is in.
template <typename Step>
auto Refusing(Step step) {
  try {
    return step();
  } catch (const client::TSessionError& error) {
    throw TWebError(409, error.what());
  }
}

// A listener of the link, remembered for deactivation at Stop.
template <typename Interface>
typename Interface::_ptr_type Serve(PortableServer::POA_ptr poa, PortableServer::ServantBase* servant,
                                    std::vector<PortableServer::ObjectId_var>& ids) {
  PortableServer::ObjectId_var id;
  typename Interface::_var_type listener = ServeListener<Interface>(poa, servant, id);
  ids.push_back(id);
  return listener._retn();
}

bool IsOutage(const CORBA::SystemException& error) {
  return dynamic_cast<const CORBA::TRANSIENT*>(&error) != nullptr ||
         dynamic_cast<const CORBA::COMM_FAILURE*>(&error) != nullptr ||
         dynamic_cast<const CORBA::OBJECT_NOT_EXIST*>(&error) != nullptr ||
         dynamic_cast<const CORBA::TIMEOUT*>(&error) != nullptr;
}
}  // namespace

TServerLink::TServerLink(CORBA::ORB_ptr orb, PortableServer::POA_ptr poa, std::string corbaloc,
                         std::string computerName, TEventHub& hub)
    : orb_(CORBA::ORB::_duplicate(orb)),
      poa_(PortableServer::POA::_duplicate(poa)),
      corbaloc_(std::move(corbaloc)),
      computerName_(std::move(computerName)),
      hub_(hub) {
  state_.server = corbaloc_;
  hub_.SetStateSource([this] {
    std::lock_guard lock(mutex_);
    return ToJson(state_);
  });
}

TServerLink::~TServerLink() { Stop(); }

void TServerLink::SetSettings(std::string settingsFile, std::chrono::seconds crmCacheLifetime) {
  std::lock_guard lock(mutex_);
  settingsFile_ = std::move(settingsFile);
  crmCacheLifetime_ = crmCacheLifetime;
}

void TServerLink::Start() {
  queueListener_ = Serve<::QueueEvents>(poa_, new TWebQueueEvents(*this), servantIDs_);
  operatorsListener_ = Serve<::ContainerEvents>(poa_, new TWebOperatorsEvents(*this), servantIDs_);
  thread_ = std::thread([this] { Run(); });
}

void TServerLink::Stop() {
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
  for (auto& id : servantIDs_) {
    try {
      poa_->deactivate_object(id);
    } catch (const CORBA::Exception&) {
      // The POA is going with the ORB already.
    }
  }
  servantIDs_.clear();
}

TLiveState TServerLink::State() const {
  std::lock_guard lock(mutex_);
  return state_;
}

std::vector<TPastCall> TServerLink::History(const std::string& line) const {
  std::lock_guard lock(mutex_);
  const auto found = history_.find(line);
  return found == history_.end() ? std::vector<TPastCall>()
                                 : std::vector<TPastCall>(found->second.begin(), found->second.end());
}

bool TServerLink::HasLine(const std::string& line) const {
  std::lock_guard lock(mutex_);
  return std::any_of(state_.lines.begin(), state_.lines.end(), [&](const auto& live) { return live.number == line; });
}

std::shared_ptr<const TServerLink::TConnection> TServerLink::Connection() const {
  std::lock_guard lock(mutex_);
  return connection_;
}

void TServerLink::NoteCallEvent(const std::string& line, ::CallEventType type, long call) {
  hub_.AddCallEvent(line, call, CallEventName(type));
  activity_.Note(line);
  {
    std::lock_guard lock(mutex_);
    dirtyLines_.insert(line);
  }
  wake_.notify_all();
}

void TServerLink::NoteQueueFigures(const ::QueueFiguresSeq& figures) {
  {
    std::lock_guard lock(mutex_);
    figuresHeard_ = QueuesOf(figures);
  }
  wake_.notify_all();
}

void TServerLink::NoteOperatorsChanged() {
  {
    std::lock_guard lock(mutex_);
    operatorsDirty_ = true;
  }
  wake_.notify_all();
}

void TServerLink::Run() {
  auto lastKeepAlive = std::chrono::steady_clock::now();
  auto lastFullRead = lastKeepAlive;
  auto lastProbe = lastKeepAlive;
  while (true) {
    std::shared_ptr<const TConnection> connection;
    std::set<std::string> lines;
    bool operators = false, queues = false;
    {
      std::unique_lock lock(mutex_);
      if (stopping_) break;
      if (connection_) {
        const bool woken = wake_.wait_for(lock, std::chrono::milliseconds(100), [this] {
          return stopping_ || !dirtyLines_.empty() || operatorsDirty_ || figuresHeard_.has_value();
        });
        // One step of a call is a burst of events; the line is read once after it, not once per event.
        if (woken) wake_.wait_for(lock, kGatherEvents, [this] { return stopping_; });
        if (stopping_) break;
      }
      connection = connection_;
      lines.swap(dirtyLines_);
      operators = std::exchange(operatorsDirty_, false);
      queues = figuresHeard_.has_value();
    }
    const auto now = std::chrono::steady_clock::now();
    try {
      if (!connection) {
        Connect();
        lastKeepAlive = lastFullRead = std::chrono::steady_clock::now();
        continue;
      }
      const bool full = now - lastFullRead >= kFullReadEvery;
      if (now - lastKeepAlive >= kKeepAliveEvery) {
        KeepAlive(*connection);
        lastKeepAlive = now;
      }
      if (full) lastFullRead = now;
      if (full || !lines.empty() || operators || queues) {
        Refresh(*connection, full, lines, full || operators, full);
        lastProbe = now;
      } else if (now - lastProbe >= kProbeEvery) {
        lastProbe = now;
        connection->environment->_non_existent();
      }
    } catch (const CORBA::SystemException& error) {
      if (IsOutage(error) || !connection) {
        Disconnect(std::string("the server does not answer (") + error._name() + ")");
      } else {
        // Said once until the reads succeed again.
        std::lock_guard lock(mutex_);
        const std::string why = std::string("the server refused a read (") + error._name() + ")";
        if (lastOutage_ != why) std::cerr << "vantrel-web: " << why << std::endl;
        lastOutage_ = why;
      }
    } catch (const CORBA::Exception& error) {
      Disconnect(std::string("the server refused (") + error._name() + ")");
    } catch (const std::exception& error) {
      Disconnect(error.what());
    }
    if (!Connection()) {
      std::unique_lock lock(mutex_);
      wake_.wait_for(lock, std::chrono::seconds(1), [this] { return stopping_; });
    }
  }
}

void TServerLink::Connect() {
  auto connection = std::make_shared<TConnection>();
  connection->environment = ResolveEnvironment(orb_, corbaloc_);
  // The server connects its CRM database when a client asks; the routing rules need it for groups.
  connection->database = connection->environment->GetDatabase();
  if (!connection->database->GetConnected()) {
    CORBA::String_var error = CORBA::string_dup("");
    if (!connection->database->SetConnected(true, error.inout()))
      std::cerr << "vantrel-web: the CRM database is not connected: " << error.in() << "\n";
  }
  connection->lines = connection->environment->GetLines();
  connection->operators = connection->environment->GetOperators();
  connection->rules = connection->environment->GetRules();
  for (CORBA::Long i = 0; i < connection->lines->GetItemsCount(); ++i) {
    ::Line_var line = ::Line::_narrow(::ContainerItem_var(connection->lines->GetItem(i)));
    if (CORBA::is_nil(line)) continue;
    connection->lineObjects.emplace_back(Text(line->GetDevicePhoneNumber()), line);
  }
  Listen(*connection);
  // Operators this gateway logged in before the server went away are logged in again.
  std::map<std::string, long> logins;
  {
    std::lock_guard lock(mutex_);
    logins = logins_;
  }
  for (const auto& [line, operatorID] : logins) {
    ::Line_var object = LineOf(*connection, line);
    if (CORBA::is_nil(object)) continue;
    try {
      ::Operator_var(SessionAt(*connection, object, line).LogIn(operatorID, computerName_));
    } catch (const client::TSessionError&) {
      // Someone else took the line meanwhile, or the employee another line: theirs it stays.
    }
  }
  {
    std::lock_guard lock(mutex_);
    connection_ = connection;
    state_.connected = true;
    if (!lastOutage_.empty()) std::cout << "vantrel-web: the server answers again at " << corbaloc_ << std::endl;
    lastOutage_.clear();
  }
  Refresh(*connection, true, {}, true, true);
}

void TServerLink::Disconnect(const std::string& why) {
  {
    std::lock_guard lock(mutex_);
    connection_.reset();
    state_.connected = false;
    // Said once per outage, not once a second.
    if (lastOutage_ != why) std::cerr << "vantrel-web: " << why << "; trying again every second" << std::endl;
    lastOutage_ = why;
  }
  Publish();
}

void TServerLink::Listen(const TConnection& connection) {
  for (const auto& [number, line] : connection.lineObjects) {
    auto& listener = lineListeners_[number];
    if (CORBA::is_nil(listener)) listener = Serve<::LineEvents>(poa_, new TWebLineEvents(*this, number), servantIDs_);
    // Beside the operators' consoles, not instead of them.
    line->AddEventsListener(listener);
    line->ChangeLineEventLastContact();
  }
  connection.rules->SetQueueEventsListener(queueListener_);
  connection.operators->SetContainerEventsListener(operatorsListener_);
}

void TServerLink::KeepAlive(const TConnection& connection) {
  bool lost = false;
  for (const auto& [number, line] : connection.lineObjects) {
    line->ChangeLineEventLastContact();
    // Dropped with this client once (slow, unreachable): heard again. A listener the line has is kept once.
    line->AddEventsListener(lineListeners_[number]);
  }
  lost = lost || CORBA::is_nil(::QueueEvents_var(connection.rules->GetQueueEventsListener()));
  if (lost) Listen(connection);
}

TLiveLine TServerLink::ReadLine(const TConnection& connection, const ::LineItem& item, ::Line_ptr line) {
  TLiveLine live;
  live.number = item.DevicePhoneNumber.in();
  live.name = item.Name.in();
  live.outer = item.isOuter;
  live.rule = item.Rule.ID < 0 ? "" : item.Rule.Name.in();
  live.operatorID = std::max<long>(0, line->GetOperatorID());  // -1: nobody
  live.dnd = line->GetDND();
  const CORBA::Long count = line->GetCallsCount();
  for (CORBA::Long i = 0; i < count; ++i) {
    const CORBA::Long handle = line->GetCall(i);
    if (handle == 0) continue;
    TSeenCall seen;
    {
      std::lock_guard lock(mutex_);
      const auto found = seenCalls_.find({live.number, handle});
      if (found != seenCalls_.end()) seen = found->second;
    }
    TLiveCall& call = seen.call;
    const bool firstSight = call.since == 0;
    if (firstSight) {
      call.id = handle;
      call.since = EpochMilliseconds();
    }
    const CORBA::Long state = line->GetCallState(handle);
    // The parties and notes change with the call's state; read again only then.
    if (firstSight || CallStateName(state) != call.state || call.remote.empty()) {
      call.state = CallStateName(state);
      seen.wasConnected = seen.wasConnected || state == 0x100;
      call.incoming = line->GetCallIsIncoming(handle);
      call.remote = Text(line->GetRemoteID(handle));
      call.caller = Text(line->GetCallerID(handle));
      call.called = Text(line->GetCalledID(handle));
      // The exchange may name the far party only in the caller or called ID.
      if (call.remote.empty()) call.remote = call.incoming ? call.caller : call.called;
      ReadCallParties(connection, live.number, line, seen);
    }
    live.calls.push_back(call);
    std::lock_guard lock(mutex_);
    seenCalls_[{live.number, handle}] = seen;
  }
  return live;
}

void TServerLink::ReadCallParties(const TConnection& connection, const std::string& number, ::Line_ptr line,
                                  TSeenCall& seen) {
  TLiveCall& call = seen.call;
  const auto isLine = [&](const std::string& candidate) {
    return std::any_of(connection.lineObjects.begin(), connection.lineObjects.end(),
                       [&](const auto& entry) { return entry.first == candidate; });
  };
  // A routed call reaches the operator from the routing line; the caller who matters is the one outside, and
  // that line knows them only while it holds them, so they are remembered from the first read.
  if (call.originalCaller.empty() && call.incoming && isLine(call.caller)) {
    ::Line_var routing = LineOf(connection, call.caller);
    const auto held = HeldCallerFor(routing, number);
    if (held) {
      call.originalCaller = Text(routing->GetRemoteID(*held));
      {
        std::lock_guard lock(mutex_);
        for (const auto& known : state_.lines)
          if (known.number == call.caller) seen.rule = known.rule;
      }
      // The caller's notes follow them to the operator, as the routing line's clients left them.
      for (const char* note : {"ContactID", "ContactName", "CompanyID", "CompanyName"}) {
        const std::string value = Text(routing->GetCallNote(*held, note));
        if (!value.empty()) line->SetCallNote(call.id, note, value.c_str());
      }
    }
  }
  if (call.originalCaller.empty()) {
    const std::string trueCaller = Text(line->GetTrueCallerID(call.id));
    if (!trueCaller.empty() && !isLine(trueCaller))
      call.originalCaller = trueCaller;
    else if (call.incoming && !call.caller.empty() && !isLine(call.caller))
      call.originalCaller = call.caller;
    else if (!call.incoming && !call.called.empty() && !isLine(call.called))
      call.originalCaller = call.called;
  }
  if (call.contact.empty()) call.contact = Text(line->GetCallNote(call.id, "ContactName"));
  if (call.company.empty()) call.company = Text(line->GetCallNote(call.id, "CompanyName"));
  if (call.contact.empty() && call.company.empty() && !seen.contactLookedUp && !call.originalCaller.empty()) {
    seen.contactLookedUp = true;
    if (const auto contact = LookUpContact(connection, call.originalCaller)) {
      // Written into the call's notes, where every client of the line finds them.
      line->SetCallNote(call.id, "ContactID", contact->contactID.c_str());
      line->SetCallNote(call.id, "ContactName", contact->contactName.c_str());
      line->SetCallNote(call.id, "CompanyID", contact->companyID.c_str());
      line->SetCallNote(call.id, "CompanyName", contact->companyName.c_str());
      call.contact = contact->contactName;
      call.company = contact->companyName;
    }
  }
}

std::optional<long> TServerLink::HeldCallerFor(::Line_ptr routing, const std::string& number) {
  const CORBA::Long count = routing->GetCallsCount();
  for (CORBA::Long i = 0; i < count; ++i) {
    const CORBA::Long held = routing->GetCall(i);
    const CORBA::Long consult = held == 0 ? 0 : routing->GetConsultCallHandle(held);
    if (consult != 0 && Text(routing->GetCalledID(consult)) == number) return held;
  }
  return std::nullopt;
}

std::optional<TServerLink::TContact> TServerLink::LookUpContact(const TConnection& connection,
                                                                const std::string& number) {
  const std::string digits = OptimizedPhone(number);
  if (digits.empty()) return std::nullopt;
  {
    std::lock_guard lock(mutex_);
    const auto known = contacts_.find(digits);
    if (known != contacts_.end() && std::chrono::steady_clock::now() - known->second.read < crmCacheLifetime_)
      return known->second.value;
  }
  std::optional<TContact> result;
  const std::string contactSQL =
      "select c.ID as ContactID, c.Name as ContactName, co.ID as CompanyID, co.Name as CompanyName "
      "from tq_ContactPhone p join tq_Contact c on c.ID = p.Contact_ID left join tq_Company co on co.ID = "
      "c.Company_id where p.OptimizedPhone = '" +
      digits + "'";
  const std::string companySQL =
      "select '' as ContactID, '' as ContactName, co.ID as CompanyID, co.Name as CompanyName "
      "from tq_CompanyPhone p join tq_Company co on co.ID = p.Company_ID where p.OptimizedPhone = '" +
      digits + "'";
  for (const std::string* sql : {&contactSQL, &companySQL}) {
    const auto row = QueryCrm(connection, *sql, {"ContactID", "ContactName", "CompanyID", "CompanyName"});
    if (row) {
      result = TContact{(*row)[0], (*row)[1], (*row)[2], (*row)[3]};
      break;
    }
  }
  const auto now = std::chrono::steady_clock::now();
  std::lock_guard lock(mutex_);
  MakeRoom(contacts_, now, crmCacheLifetime_);
  contacts_[digits] = {result, now};
  return result;
}

std::optional<std::vector<std::string>> TServerLink::QueryCrm(const TConnection& connection, const std::string& sql,
                                                              const std::vector<const char*>& fields) {
  {
    std::lock_guard lock(mutex_);
    if (crmLookUpRefused_) return std::nullopt;
  }
  ::StringSeq names;
  names.length(static_cast<CORBA::ULong>(fields.size()));
  for (CORBA::ULong i = 0; i < names.length(); ++i) names[i] = fields[i];
  ::StringSeq_var values;
  if (connection.database->GetFieldValues(sql.c_str(), names, values.out()) && values->length() == names.length()) {
    std::vector<std::string> row;
    for (CORBA::ULong i = 0; i < values->length(); ++i) row.emplace_back(values[i].in());
    return row;
  }
  // Switched off in the server's settings: not asked again.
  const std::string error = Text(connection.database->GetLastError());
  if (error.find("switched off") != std::string::npos) {
    std::lock_guard lock(mutex_);
    crmLookUpRefused_ = true;
  }
  return std::nullopt;
}

std::optional<std::string> TServerLink::LookUpEmployeeName(const TConnection& connection, long id) {
  if (id <= 0) return std::nullopt;
  {
    std::lock_guard lock(mutex_);
    const auto known = employeeNames_.find(id);
    if (known != employeeNames_.end() && std::chrono::steady_clock::now() - known->second.read < crmCacheLifetime_)
      return known->second.value;
  }
  // The operator's ID is their employee's contact in the CRM.
  const auto row =
      QueryCrm(connection, "select Name as Name from tq_Contact where ID = " + std::to_string(id), {"Name"});
  std::optional<std::string> name;
  if (row && !(*row)[0].empty()) name = (*row)[0];
  const auto now = std::chrono::steady_clock::now();
  std::lock_guard lock(mutex_);
  MakeRoom(employeeNames_, now, crmCacheLifetime_);
  employeeNames_[id] = {name, now};
  return name;
}

std::map<std::string, long> TServerLink::ReadWrapUps(const TConnection& connection) {
  std::map<std::string, long> wrapUps;
  for (CORBA::Long i = 0; i < connection.rules->GetItemsCount(); ++i) {
    ::Rule_var rule = ::Rule::_narrow(::ContainerItem_var(connection.rules->GetItem(i)));
    if (CORBA::is_nil(rule)) continue;
    wrapUps[Text(connection.rules->GetItemName(i))] = rule->GetQueueSettings().WrapUp;
  }
  return wrapUps;
}

void TServerLink::UpdateActivities() {
  for (auto& person : state_.operators) {
    const auto line = std::find_if(state_.lines.begin(), state_.lines.end(),
                                   [&](const auto& live) { return live.number == person.line; });
    const auto has = [&](std::initializer_list<const char*> states) {
      if (line == state_.lines.end()) return false;
      return std::any_of(line->calls.begin(), line->calls.end(), [&](const auto& call) {
        return std::any_of(states.begin(), states.end(), [&](const char* state) { return call.state == state; });
      });
    };
    person.wrapUpUntil = 0;
    if (has({"offering", "accepted"}))
      person.activity = "ringing";
    else if (has({"connected", "conferenced"}))
      person.activity = "on a call";
    else if (has({"on hold", "held (transfer)", "held (conference)"}))
      person.activity = "on hold";
    else if (has({"dial tone", "dialling", "ringback", "proceeding", "busy"}))
      person.activity = "dialling";
    else if (person.status == "pause")
      person.activity = "paused";
    else
      person.activity = person.status;
    person.pauseReasonName =
        person.status == "pause" ? PauseReasonName(state_.pauseReasons, person.pauseReason) : std::string();
    if (person.status == "wrap-up") {
      // The wrap-up of the rule that routed the operator's last call; the longest of any when not known.
      long seconds = 0;
      const auto rule = lastRuleAt_.find(person.line);
      const auto known = rule == lastRuleAt_.end() ? wrapUps_.end() : wrapUps_.find(rule->second);
      if (known != wrapUps_.end())
        seconds = known->second;
      else
        for (const auto& [name, each] : wrapUps_) seconds = std::max(seconds, each);
      person.wrapUpUntil = person.statusSince + 1000LL * seconds;
    }
  }
}

std::vector<TLiveOperator> TServerLink::ReadOperators(const TConnection& connection) {
  std::vector<TLiveOperator> people;
  ::OperatorItemSeq_var items = connection.operators->GetOperatorsArray();
  const auto now = EpochMilliseconds();
  for (CORBA::ULong i = 0; i < items->length(); ++i) {
    const ::OperatorItem& item = items[i];
    TLiveOperator person;
    person.id = item.ID;
    person.name = item.Name.in();
    person.computer = item.ComputerName.in();
    person.line = item.LinePhoneNumber.in();
    person.status = OperatorStatusText(item.Status);
    if (person.name.empty()) person.name = LookUpEmployeeName(connection, person.id).value_or("");
    char login[8];
    std::snprintf(login, sizeof login, "%02u:%02u", static_cast<unsigned>(item.LoginTime.Hour % 100),
                  static_cast<unsigned>(item.LoginTime.Minute % 100));
    person.loginTime = login;
    ::Operator_var object = ::Operator::_narrow(::ContainerItem_var(connection.operators->GetItemByID(item.ID)));
    if (!CORBA::is_nil(object)) {
      person.statusSince = now - 1000LL * object->GetStatusSeconds();
      person.pauseReason = object->GetPauseReason();
      person.calls = object->GetCallsCount();
    }
    people.push_back(std::move(person));
  }
  return people;
}

void TServerLink::Refresh(const TConnection& connection, bool allLines, const std::set<std::string>& lines,
                          bool operators, bool queues) {
  ::LineItemSeq_var items = connection.lines->GetItemsArray();
  std::vector<TLiveLine> read;
  for (CORBA::ULong i = 0; i < items->length(); ++i) {
    const std::string number = items[i].DevicePhoneNumber.in();
    if (!allLines && lines.count(number) == 0) continue;
    ::Line_var line = LineOf(connection, number);
    if (CORBA::is_nil(line)) continue;
    read.push_back(ReadLine(connection, items[i], line));
  }
  std::optional<std::vector<TLiveOperator>> people;
  if (operators) people = ReadOperators(connection);
  std::optional<std::vector<TLiveQueue>> queueFigures;
  std::optional<TServerCounters> counters;
  std::optional<std::vector<TLiveCallback>> callbacks;
  if (queues) {
    ::QueueFiguresSeq_var today = connection.rules->GetQueueFigures(true);
    queueFigures = QueuesOf(today.in());
    ::QueueServiceLevelSeq_var levels = connection.rules->GetServiceLevels(true);
    for (CORBA::ULong i = 0; i < levels->length(); ++i) {
      for (TLiveQueue& queue : *queueFigures) {
        if (queue.ruleID != levels[i].RuleID) continue;
        queue.serviceLevel = levels[i].ServiceLevel;
        queue.shortAbandoned = levels[i].ShortAbandoned;
      }
    }
    ::QueueFiguresSeq_var sinceStart = connection.rules->GetQueueFigures(false);
    counters.emplace();
    for (CORBA::ULong i = 0; i < sinceStart->length(); ++i) {
      counters->offered += sinceStart[i].Offered;
      counters->answered += sinceStart[i].Answered;
      counters->abandoned += sinceStart[i].Abandoned;
    }
    callbacks.emplace();
    for (const TLiveQueue& queue : *queueFigures) {
      ::Rule_var rule = ::Rule::_narrow(::ContainerItem_var(connection.rules->GetItemByID(queue.ruleID)));
      if (CORBA::is_nil(rule)) continue;
      ::PendingCallbackSeq_var pending = rule->GetPendingCallbacks();
      for (CORBA::ULong i = 0; i < pending->length(); ++i) {
        callbacks->push_back({queue.ruleID, pending[i].CallerNumber.in(), pending[i].State.in(), pending[i].Place,
                              pending[i].Attempts, pending[i].WaitSeconds});
      }
    }
    counters->callLogRowsWaiting = connection.database->GetCallLogRowsWaiting();
    counters->listeningClients = connection.environment->GetListeningClientsCount();
  }
  std::optional<std::map<std::string, long>> wrapUps;
  std::optional<std::map<long, std::string>> pauseReasons;
  if (queues) {
    wrapUps = ReadWrapUps(connection);
    std::string settingsFile;
    {
      std::lock_guard lock(mutex_);
      settingsFile = settingsFile_;
    }
    if (!settingsFile.empty()) pauseReasons = ReadPauseReasons(settingsFile);
  }
  {
    std::lock_guard lock(mutex_);
    if (allLines) {
      state_.lines = read;
    } else {
      for (auto& fresh : read) {
        auto found = std::find_if(state_.lines.begin(), state_.lines.end(),
                                  [&](const auto& live) { return live.number == fresh.number; });
        if (found != state_.lines.end()) *found = fresh;
      }
    }
    // Calls that have left a line go to its history.
    for (const auto& fresh : read) {
      for (auto seen = seenCalls_.lower_bound({fresh.number, LONG_MIN});
           seen != seenCalls_.end() && seen->first.first == fresh.number;) {
        const long handle = seen->first.second;
        const bool live =
            std::any_of(fresh.calls.begin(), fresh.calls.end(), [&](const auto& call) { return call.id == handle; });
        if (live) {
          ++seen;
          continue;
        }
        const TLiveCall& gone = seen->second.call;
        if (!seen->second.rule.empty()) lastRuleAt_[fresh.number] = seen->second.rule;
        auto& past = history_[fresh.number];
        past.push_front({gone.id, gone.incoming, gone.remote, gone.originalCaller, seen->second.wasConnected,
                         gone.since, EpochMilliseconds()});
        if (past.size() > kHistoryLength) past.pop_back();
        seen = seenCalls_.erase(seen);
      }
    }
    if (people) state_.operators = std::move(*people);
    if (figuresHeard_) state_.queues = std::move(*std::exchange(figuresHeard_, std::nullopt));
    if (queueFigures) state_.queues = std::move(*queueFigures);
    if (counters) state_.sinceStart = *counters;
    if (callbacks) state_.callbacks = std::move(*callbacks);
    if (wrapUps) wrapUps_ = std::move(*wrapUps);
    if (pauseReasons) state_.pauseReasons = std::move(*pauseReasons);
    UpdateActivities();
  }
  Publish();
}

void TServerLink::Publish() { hub_.StateChanged(); }

::Line_ptr TServerLink::LineOf(const TConnection& connection, const std::string& number) const {
  for (const auto& [known, line] : connection.lineObjects)
    if (known == number) return ::Line::_duplicate(line.in());
  return ::Line::_nil();
}

::Line_ptr TServerLink::LineOf(const std::string& number, std::shared_ptr<const TConnection>& connection) const {
  connection = Connection();
  if (!connection) throw TWebError(503, "The server is not reachable now; try again shortly");
  ::Line_ptr line = LineOf(*connection, number);
  if (CORBA::is_nil(line)) throw TWebError(404, "No line " + number);
  return line;
}

client::TOperatorSession TServerLink::SessionAt(const TConnection& connection, ::Line_ptr line,
                                                const std::string& number) {
  return client::TOperatorSession(connection.operators, line, number, activity_);
}

void TServerLink::RequireCall(::Line_ptr line, const std::string& number, long call) const {
  if (call <= 0 || !line->GetIsCallExists(call))
    throw TWebError(404, "No call " + std::to_string(call) + " at line " + number);
}

void TServerLink::Login(const std::string& number, long operatorID) {
  std::shared_ptr<const TConnection> connection;
  ::Line_var line = LineOf(number, connection);
  ::Operator_var(Refusing([&] { return SessionAt(*connection, line, number).LogIn(operatorID, computerName_); }));
  {
    std::lock_guard lock(mutex_);
    logins_[number] = operatorID;
    operatorsDirty_ = true;
    dirtyLines_.insert(number);
  }
  wake_.notify_all();
}

void TServerLink::Logout(const std::string& number) {
  std::shared_ptr<const TConnection> connection;
  ::Line_var line = LineOf(number, connection);
  Refusing([&] { SessionAt(*connection, line, number).LogOut(); });
  {
    std::lock_guard lock(mutex_);
    logins_.erase(number);
    operatorsDirty_ = true;
    dirtyLines_.insert(number);
  }
  wake_.notify_all();
}

void TServerLink::SetStatus(const std::string& number, ::OperatorStatus status, long pauseReason) {
  std::shared_ptr<const TConnection> connection;
  ::Line_var line = LineOf(number, connection);
  ::Operator_var person = line->GetOperator();
  if (CORBA::is_nil(person)) throw TWebError(409, "Nobody is logged in at line " + number);
  person->SetStatus(status);
  person->SetPauseReason(status == ::OperatorPause ? pauseReason : 0);
  NoteOperatorsChanged();
}

void TServerLink::ActOnCall(const std::string& number, long call, TCallAction action) {
  std::shared_ptr<const TConnection> connection;
  ::Line_var line = LineOf(number, connection);
  RequireCall(line, number, call);
  const CORBA::Long state = line->GetCallState(call);
  const auto refuse = [&](const char* only) {
    throw TWebError(409, "Call " + std::to_string(call) + " is " + CallStateName(state) + "; " + only);
  };
  switch (action) {
    case TCallAction::Answer:
      if (state != 0x2 && state != 0x4) refuse("only a ringing call is answered");
      line->Answer(call);
      break;
    case TCallAction::Hold:
      if (state != 0x100) refuse("only a connected call is put on hold");
      line->Hold(call);
      break;
    case TCallAction::Unhold:
      if (state != 0x400 && state != 0x1000 && state != 0x2000) refuse("only a held call is taken back");
      line->Unhold(call);
      break;
    case TCallAction::HangUp:
      line->CancelDial(call);
      break;
    case TCallAction::Complete:
      SessionAt(*connection, line, number).Complete(call);
      break;
  }
}

void TServerLink::Dial(const std::string& number, const std::string& destination) {
  std::shared_ptr<const TConnection> connection;
  ::Line_var line = LineOf(number, connection);
  line->Dial(0, destination.c_str(), 0);
}

void TServerLink::BlindTransfer(const std::string& number, long call, const std::string& destination) {
  std::shared_ptr<const TConnection> connection;
  ::Line_var line = LineOf(number, connection);
  RequireCall(line, number, call);
  line->BlindTransfer(call, destination.c_str());
}

long TServerLink::Consult(const std::string& number, long call, const std::string& destination) {
  std::shared_ptr<const TConnection> connection;
  ::Line_var line = LineOf(number, connection);
  RequireCall(line, number, call);
  return Refusing([&] {
    return SessionAt(*connection, line, number)
        .Consult(call, destination, std::chrono::steady_clock::now() + client::kConsultationWithin);
  });
}

void TServerLink::Record(const std::string& number, long call, TRecordAction action) {
  std::shared_ptr<const TConnection> connection;
  ::Line_var line = LineOf(number, connection);
  RequireCall(line, number, call);
  CORBA::String_var refused;
  switch (action) {
    case TRecordAction::Start:
      refused = line->StartRecording(call);
      break;
    case TRecordAction::Stop:
      refused = line->StopRecording(call);
      break;
    case TRecordAction::Pause:
    case TRecordAction::Resume:
      refused = line->PauseRecording(call, action == TRecordAction::Pause);
      break;
  }
  if (refused.in()[0] != '\0') throw TWebError(409, "Call " + std::to_string(call) + ": " + refused.in());
}

std::string TServerLink::Monitor(const std::string& number, long call, const std::string& station,
                                 ::MonitorMode mode) {
  std::shared_ptr<const TConnection> connection;
  ::Line_var line = LineOf(number, connection);
  RequireCall(line, number, call);
  CORBA::String_var answer = line->Monitor(call, station.c_str(), mode);
  if (std::string(answer.in()) == "the call has a monitor already (station " + station + ")")
    answer = line->SetMonitorMode(call, mode);
  return answer.in();
}

}  // namespace vantrel::web
