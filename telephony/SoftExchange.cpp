#include "SoftExchange.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <stdexcept>
#include <unordered_set>

#include "support/IniFile.h"
#include "platform/Event.h"
#include "platform/Ticks.h"

namespace vantrel::telephony {

namespace {

// Every state from IDLE to DISCONNECTED: a station's calls can be in any of them.
constexpr DWORD kEveryCallState = (LINECALLSTATE_DISCONNECTED << 1) - 1;

constexpr DWORD kLowestApiVersion = 0x00010003;
constexpr DWORD kHighestApiVersion = 0x00020002;
// Voice, and the data-modem mode a line asks for first when it opens.
constexpr DWORD kMediaModes = LINEMEDIAMODE_INTERACTIVEVOICE | LINEMEDIAMODE_UNKNOWN | 0x10;
constexpr DWORD kDigitModes = LINEDIGITMODE_DTMF;
constexpr DWORD kFarEndRinging = LINECALLSTATE_OFFERING;  // a far end being called

const char* StateName(DWORD state) {
  switch (state) {
    case LINECALLSTATE_IDLE:
      return "IDLE";
    case LINECALLSTATE_OFFERING:
      return "OFFERING";
    case LINECALLSTATE_DIALTONE:
      return "DIALTONE";
    case LINECALLSTATE_DIALING:
      return "DIALING";
    case LINECALLSTATE_RINGBACK:
      return "RINGBACK";
    case LINECALLSTATE_BUSY:
      return "BUSY";
    case LINECALLSTATE_CONNECTED:
      return "CONNECTED";
    case LINECALLSTATE_ONHOLD:
      return "ONHOLD";
    case LINECALLSTATE_ONHOLDPENDTRANSFER:
      return "ONHOLDPENDTRANSFER";
    case LINECALLSTATE_DISCONNECTED:
      return "DISCONNECTED";
    default:
      return "UNKNOWN";
  }
}

// Writes the variable part of a TAPI record: strings behind the fixed part while they fit; the needed size
// always grows, so a caller with a small buffer learns how much to allocate.
class TVarRecord {
 public:
  TVarRecord(void* record, DWORD fixedSize)
      : base_(static_cast<char*>(record)), total_(*static_cast<DWORD*>(record)), end_(fixedSize) {}
  void Text(const std::string& text, DWORD& size, DWORD& offset) { Bytes(text.c_str(), text.size() + 1, size, offset); }
  void OptionalText(const std::string& text, DWORD& size, DWORD& offset) {
    if (!text.empty()) Text(text, size, offset);
  }
  void Bytes(const void* data, std::size_t length, DWORD& size, DWORD& offset) {
    const auto count = static_cast<DWORD>(length);
    if (end_ + count <= total_) {
      std::memcpy(base_ + end_, data, count);
      size = count;
      offset = end_;
      used_ = end_ + count;
    } else {
      size = 0;
      offset = 0;
    }
    end_ += count;
  }
  // Sets needed and used size; the used size is at least the fixed part.
  void Finish(DWORD fixedSize) {
    auto* sizes = reinterpret_cast<DWORD*>(base_);
    sizes[1] = end_;
    sizes[2] = std::max(used_, fixedSize);
  }

 private:
  char* const base_;
  const DWORD total_;
  DWORD end_;
  DWORD used_ = 0;  // the end of what was written
};

// Zeroes the record after its three size fields; false when not even the fixed part fits.
template <typename Record>
bool PrepareRecord(Record* record) {
  if (record->dwTotalSize < sizeof(Record)) return false;
  std::memset(reinterpret_cast<char*>(record) + 12, 0, sizeof(Record) - 12);
  return true;
}

}  // namespace

struct TSoftExchange::App {
  DWORD handle = 0;
  bool phone = false;
  HANDLE eventHandle = 0;
  std::shared_ptr<platform::Event> event;
  std::deque<LINEMESSAGE> messages;
  std::vector<HLINE> lines;
};

struct TSoftExchange::OpenLine {
  HLINE handle = 0;
  DWORD app = 0;
  int device = 0;
  DWORD instance = 0;
  DWORD privileges = 0;
  DWORD lineStates = 0;
  DWORD addressStates = 0;
};

struct TSoftExchange::Leg {
  DWORD id = 0;
  int device = -1;  // the station, or -1 for a far end
  std::string number;
  DWORD state = LINECALLSTATE_IDLE;
  DWORD mode = 0;
  DWORD origin = LINECALLORIGIN_UNKNOWN;
  DWORD reason = LINECALLREASON_DIRECT;
  DWORD peer = 0;
  DWORD related = 0;  // consultation pair: the held call and its consultation call point at each other
  std::string caller, called, connected, redirecting, redirection;
  std::string dialed;
  std::chrono::system_clock::time_point stateEntry = std::chrono::system_clock::now();
  std::map<HLINE, Holder> holders;
  bool IsFarEnd() const { return device < 0; }
};

TSoftExchange& TSoftExchange::Instance() {
  static TSoftExchange exchange;
  return exchange;
}

namespace {
std::atomic<TSoftExchange*> servingExchange{nullptr};
}  // namespace

void ServeTelephonyApiWith(TSoftExchange* exchange) { servingExchange = exchange; }

TSoftExchange& TelephonyApiExchange() {
  TSoftExchange* exchange = servingExchange.load();
  return exchange != nullptr ? *exchange : TSoftExchange::Instance();
}

TSoftExchange::TSoftExchange() { Configure(DefaultConfig()); }

TSoftExchange::~TSoftExchange() = default;

TExchangeConfig TSoftExchange::DefaultConfig() {
  TExchangeConfig config;
  for (const char* number : {"101", "102", "103", "104"})
    config.stations.push_back({number, std::string("Line ") + number});
  return config;
}

TExchangeConfig TSoftExchange::LoadConfig(const std::string& iniFolder) {
  const std::filesystem::path file = std::filesystem::path(iniFolder) / "Exchange.ini";
  if (!std::filesystem::exists(file)) return DefaultConfig();
  TMemIniFile ini(file.string());
  TExchangeConfig config;
  config.trunks = ini.ReadInteger("Exchange", "Trunks", config.trunks);
  if (config.trunks < 0) throw std::invalid_argument(file.string() + ": Trunks must not be negative");
  std::unordered_set<std::string> numbers;
  for (auto& [number, name] : ini.ReadSectionValues("Stations")) {
    if (!IsDialable(number))
      throw std::invalid_argument(file.string() + ": \"" + number + "\" is not a station number");
    if (!numbers.insert(number).second) throw std::invalid_argument(file.string() + ": station " + number + " twice");
    config.stations.push_back({number, name});
  }
  if (config.stations.empty()) return TExchangeConfig{DefaultConfig().stations, config.trunks};
  return config;
}

void TSoftExchange::Configure(const TExchangeConfig& config) {
  std::lock_guard lock(mutex_);
  if (!apps_.empty()) throw std::logic_error("The exchange cannot be reconfigured while applications use it");
  config_ = config;
  stations_.clear();
  for (const TStationConfig& station : config.stations) stations_.push_back(Station{station, false, false, {}});
  legs_.clear();
  handles_.clear();
}

bool TSoftExchange::IsDialable(const std::string& address) {
  return !address.empty() && address.size() <= 64 && std::all_of(address.begin(), address.end(), [](char c) {
    return (c >= '0' && c <= '9') || c == '*' || c == '#' || c == '+';
  });
}

// ---- stations ----

DWORD TSoftExchange::AddStation(const TStationConfig& station) {
  std::lock_guard lock(mutex_);
  if (!IsDialable(station.number)) throw std::invalid_argument("\"" + station.number + "\" is not a station number");
  if (FindStation(station.number) != nullptr) throw std::invalid_argument("Station " + station.number + " exists");
  stations_.push_back(Station{station, false, false, {}});
  const auto device = static_cast<DWORD>(stations_.size() - 1);
  PostToAllApps(LINE_CREATE, device);
  return device;
}

void TSoftExchange::RemoveStation(const std::string& number) {
  std::lock_guard lock(mutex_);
  DWORD device = 0;
  if (FindStation(number, &device) == nullptr) throw std::invalid_argument("No station " + number);
  EndLegsOfDevice(static_cast<int>(device));
  std::vector<HLINE> closing;
  for (auto& [handle, line] : lines_) {
    if (line->device == static_cast<int>(device)) closing.push_back(handle);
  }
  for (HLINE handle : closing) {
    OpenLine& line = *lines_.at(handle);
    PostToLine(line, handle, LINE_CLOSE, 0, 0, 0);
    auto& owned = apps_.at(line.app)->lines;
    owned.erase(std::remove(owned.begin(), owned.end(), handle), owned.end());
    lines_.erase(handle);
  }
  stations_[device].removed = true;
  PostToAllApps(LINE_REMOVE, device);
}

const TSoftExchange::Station* TSoftExchange::FindStation(const std::string& number, DWORD* device) const {
  for (std::size_t i = 0; i < stations_.size(); ++i) {
    if (!stations_[i].removed && stations_[i].config.number == number) {
      if (device != nullptr) *device = static_cast<DWORD>(i);
      return &stations_[i];
    }
  }
  return nullptr;
}

std::string TSoftExchange::StationName(const std::string& number) const {
  const Station* station = FindStation(number);
  return station == nullptr ? std::string() : station->config.name;
}

// ---- far ends ----

TSoftExchange::Leg* TSoftExchange::FarEnd(DWORD farEnd) {
  Leg* leg = FindLeg(farEnd);
  if (leg == nullptr || !leg->IsFarEnd()) throw std::invalid_argument("No far end " + std::to_string(farEnd));
  return leg;
}

DWORD TSoftExchange::CallStation(const std::string& stationNumber, const std::string& callerNumber) {
  std::lock_guard lock(mutex_);
  if (!IsDialable(callerNumber)) throw std::invalid_argument("\"" + callerNumber + "\" is not a phone number");
  if (FindStation(stationNumber) == nullptr) throw std::invalid_argument("No station " + stationNumber);
  const auto farEnds =
      std::count_if(legs_.begin(), legs_.end(), [](const auto& leg) { return leg.second->IsFarEnd(); });
  if (farEnds >= config_.trunks) throw std::invalid_argument("All trunks are busy");
  Leg& caller = NewLeg(-1, callerNumber);
  caller.state = LINECALLSTATE_DIALING;
  caller.origin = LINECALLORIGIN_OUTBOUND;
  const DWORD id = caller.id;
  Route(caller, stationNumber, LINECALLREASON_DIRECT, {});
  return FindLeg(id) == nullptr ? 0 : id;
}

void TSoftExchange::AnswerFarEnd(DWORD farEnd) {
  std::lock_guard lock(mutex_);
  Leg* leg = FarEnd(farEnd);
  if (leg->state != kFarEndRinging)
    throw std::invalid_argument("Far end " + std::to_string(farEnd) + " is not ringing");
  Connect(*leg);
}

void TSoftExchange::BusyFarEnd(DWORD farEnd) {
  std::lock_guard lock(mutex_);
  Leg* leg = FarEnd(farEnd);
  if (leg->state != kFarEndRinging)
    throw std::invalid_argument("Far end " + std::to_string(farEnd) + " is not ringing");
  if (Leg* peer = FindLeg(leg->peer)) {
    Unlink(*leg);
    if (!peer->IsFarEnd())
      SetState(*peer, LINECALLSTATE_BUSY, LINEBUSYMODE_TRUNK);
    else
      GoIdle(*peer);
  }
  GoIdle(*leg);
}

void TSoftExchange::HangUpFarEnd(DWORD farEnd) {
  std::lock_guard lock(mutex_);
  GoIdle(*FarEnd(farEnd));
}

void TSoftExchange::SendDigits(DWORD farEnd, const std::string& digits) {
  std::lock_guard lock(mutex_);
  Leg* leg = FarEnd(farEnd);
  const bool valid = !digits.empty() && std::all_of(digits.begin(), digits.end(), [](char c) {
    return (c >= '0' && c <= '9') || c == '*' || c == '#' || (c >= 'A' && c <= 'D');
  });
  if (!valid) throw std::invalid_argument("\"" + digits + "\" are not DTMF digits");
  Leg* peer = FindLeg(leg->peer);
  if (leg->state != LINECALLSTATE_CONNECTED || peer == nullptr) {
    throw std::invalid_argument("Far end " + std::to_string(farEnd) + " is not connected");
  }
  for (char digit : digits) {
    for (auto& [lineHandle, holder] : peer->holders) {
      if ((holder.digitModes & LINEDIGITMODE_DTMF) == 0) continue;
      if (OpenLine* line = FindLine(lineHandle)) {
        PostToLine(*line, holder.handle, LINE_MONITORDIGITS, static_cast<unsigned char>(digit), LINEDIGITMODE_DTMF,
                   platform::GetTickCount());
      }
    }
  }
}

namespace {
const char* const kNotRinging = " is not ringing";
}

void TSoftExchange::PickUp(const std::string& stationNumber) {
  std::lock_guard lock(mutex_);
  DWORD device = 0;
  if (FindStation(stationNumber, &device) == nullptr) throw std::invalid_argument("No station " + stationNumber);
  Leg* ringing = nullptr;
  for (auto& [id, leg] : legs_) {
    if (leg->device == static_cast<int>(device) && leg->state == LINECALLSTATE_OFFERING) ringing = leg.get();
  }
  if (ringing == nullptr) throw std::invalid_argument("Station " + stationNumber + kNotRinging);
  Connect(*ringing);
}

void TSoftExchange::HangUpStation(const std::string& stationNumber) {
  std::lock_guard lock(mutex_);
  DWORD device = 0;
  if (FindStation(stationNumber, &device) == nullptr) throw std::invalid_argument("No station " + stationNumber);
  Leg* newest = nullptr;
  for (auto& [id, leg] : legs_) {
    if (leg->device == static_cast<int>(device) && leg->state != LINECALLSTATE_IDLE) newest = leg.get();
  }
  if (newest == nullptr) throw std::invalid_argument("Station " + stationNumber + " has no call");
  GoIdle(*newest);
}

DWORD TSoftExchange::FarEndOf(const std::string& stationNumber) const {
  std::lock_guard lock(mutex_);
  DWORD found = 0;
  for (const auto& [id, leg] : legs_) {
    if (leg->IsFarEnd() || leg->number != stationNumber) continue;
    auto peer = legs_.find(leg->peer);
    if (peer != legs_.end() && peer->second->IsFarEnd()) found = std::max(found, peer->first);
  }
  return found;
}

std::vector<TPartyStatus> TSoftExchange::Status() const {
  std::lock_guard lock(mutex_);
  std::vector<TPartyStatus> parties;
  for (const auto& [id, leg] : legs_) {
    TPartyStatus party{id, leg->IsFarEnd(), leg->number, {}, StateName(leg->state)};
    if (leg->IsFarEnd() && leg->state == kFarEndRinging) party.state = "RINGING";
    auto peer = legs_.find(leg->peer);
    if (peer != legs_.end()) party.peerNumber = peer->second->number;
    parties.push_back(std::move(party));
  }
  return parties;
}

void TSoftExchange::HoldReplies(bool hold) {
  std::lock_guard lock(mutex_);
  holdReplies_ = hold;
  if (hold) return;
  while (!heldReplies_.empty()) {
    auto [appHandle, message] = heldReplies_.front();
    heldReplies_.pop_front();
    if (App* app = FindApp(appHandle, false)) Post(*app, message);
  }
}

// ---- messages ----

void TSoftExchange::Post(App& app, const LINEMESSAGE& message) {
  app.messages.push_back(message);
  app.event->Set();
}

void TSoftExchange::PostToLine(OpenLine& line, DWORD hDevice, DWORD message, DWORD p1, DWORD p2, DWORD p3) {
  if (message == LINE_LINEDEVSTATE && (line.lineStates & p1) == 0) return;
  if (message == LINE_ADDRESSSTATE && (line.addressStates & p2) == 0) return;
  if (App* app = FindApp(line.app, false)) Post(*app, LINEMESSAGE{hDevice, message, line.instance, p1, p2, p3});
}

void TSoftExchange::PostToAllApps(DWORD message, DWORD p1) {
  for (auto& [handle, app] : apps_) {
    if (!app->phone) Post(*app, LINEMESSAGE{0, message, 0, p1, 0, 0});
  }
}

LONG TSoftExchange::Reply(OpenLine& line, LONG result) {
  const LONG request = nextRequest_;
  nextRequest_ = nextRequest_ == 0x7FFFFFFF ? 1 : nextRequest_ + 1;
  const LINEMESSAGE message{0, LINE_REPLY, line.instance, static_cast<DWORD>(request), static_cast<DWORD>(result), 0};
  if (holdReplies_) {
    heldReplies_.emplace_back(line.app, message);
  } else if (App* app = FindApp(line.app, false)) {
    Post(*app, message);
  }
  return request;
}

// ---- look-ups ----

TSoftExchange::App* TSoftExchange::FindApp(HLINEAPP app, bool phone) {
  auto found = apps_.find(app);
  return found == apps_.end() || found->second->phone != phone ? nullptr : found->second.get();
}

TSoftExchange::OpenLine* TSoftExchange::FindLine(HLINE line) {
  auto found = lines_.find(line);
  return found == lines_.end() ? nullptr : found->second.get();
}

TSoftExchange::Leg* TSoftExchange::FindLeg(DWORD id) {
  auto found = legs_.find(id);
  return found == legs_.end() ? nullptr : found->second.get();
}

LONG TSoftExchange::FindCall(HCALL call, Leg*& leg, OpenLine*& line, Holder*& holder) {
  auto found = handles_.find(call);
  if (found == handles_.end()) return LINEERR_INVALCALLHANDLE;
  leg = FindLeg(found->second.first);
  line = FindLine(found->second.second);
  if (leg == nullptr || line == nullptr) return LINEERR_INVALCALLHANDLE;
  holder = &leg->holders.at(line->handle);
  return 0;
}

LONG TSoftExchange::FindOwnedCall(HCALL call, Leg*& leg, OpenLine*& line) {
  Holder* holder = nullptr;
  if (const LONG result = FindCall(call, leg, line, holder); result != 0) return result;
  return (holder->privilege & LINECALLPRIVILEGE_OWNER) != 0 ? 0 : LINEERR_NOTOWNER;
}

LONG TSoftExchange::CheckDevice(HLINEAPP app, DWORD device) {
  if (FindApp(app, false) == nullptr) return LINEERR_INVALAPPHANDLE;
  if (device >= stations_.size()) return LINEERR_BADDEVICEID;
  if (stations_[device].removed) return LINEERR_NODEVICE;
  return 0;
}

// ---- legs ----

TSoftExchange::Leg& TSoftExchange::NewLeg(int device, const std::string& number) {
  auto leg = std::make_unique<Leg>();
  leg->id = ++nextId_;
  leg->device = device;
  leg->number = number;
  Leg& made = *leg;
  legs_.emplace(made.id, std::move(leg));
  return made;
}

void TSoftExchange::AnnounceLeg(Leg& leg, OpenLine* requester) {
  for (auto& [handle, line] : lines_) {
    if (line->device != leg.device) continue;
    if (line->privileges == LINECALLPRIVILEGE_NONE && line.get() != requester) continue;
    const bool owner =
        line.get() == requester || (requester == nullptr && (line->privileges & LINECALLPRIVILEGE_OWNER) != 0);
    Holder holder{++nextId_, owner ? LINECALLPRIVILEGE_OWNER : LINECALLPRIVILEGE_MONITOR, 0};
    leg.holders.emplace(handle, holder);
    handles_.emplace(holder.handle, std::make_pair(leg.id, handle));
    if (line.get() != requester) PostToLine(*line, handle, LINE_APPNEWCALL, 0, holder.handle, holder.privilege);
  }
}

void TSoftExchange::SetState(Leg& leg, DWORD state, DWORD mode) {
  leg.state = state;
  leg.mode = mode;
  leg.stateEntry = std::chrono::system_clock::now();
  for (auto& [lineHandle, holder] : leg.holders) {
    if (OpenLine* line = FindLine(lineHandle)) PostToLine(*line, holder.handle, LINE_CALLSTATE, state, mode, 0);
  }
  if (state == LINECALLSTATE_OFFERING && !leg.IsFarEnd()) {
    for (auto& [lineHandle, holder] : leg.holders) {
      if (OpenLine* line = FindLine(lineHandle))
        PostToLine(*line, lineHandle, LINE_LINEDEVSTATE, LINEDEVSTATE_RINGING, 0, 1);
    }
  }
}

void TSoftExchange::ChangeInfo(Leg& leg, DWORD infoStates) {
  for (auto& [lineHandle, holder] : leg.holders) {
    if (OpenLine* line = FindLine(lineHandle)) PostToLine(*line, holder.handle, LINE_CALLINFO, infoStates, 0, 0);
  }
}

void TSoftExchange::Link(Leg& a, Leg& b) {
  a.peer = b.id;
  b.peer = a.id;
}

void TSoftExchange::Unlink(Leg& leg) {
  if (Leg* peer = FindLeg(leg.peer); peer != nullptr && peer->peer == leg.id) peer->peer = 0;
  leg.peer = 0;
}

void TSoftExchange::Route(Leg& from, const std::string& destination, DWORD reason, const std::string& redirecting,
                          int hops, const std::string& firstCalled) {
  DWORD device = 0;
  const Station* station = FindStation(destination, &device);
  if (station != nullptr && station->forwarded) {
    // Forwarded: on to its destination, or busy for do-not-disturb (and for forwarding loops).
    if (station->forwardTo.empty() || hops >= 5) {
      if (from.IsFarEnd())
        GoIdle(from);
      else
        SetState(from, LINECALLSTATE_BUSY, LINEBUSYMODE_STATION);
      return;
    }
    Route(from, station->forwardTo, LINECALLREASON_FWDUNCOND, destination, hops + 1,
          firstCalled.empty() ? destination : firstCalled);
    return;
  }
  if (station != nullptr && !from.IsFarEnd() && from.device == static_cast<int>(device)) {
    SetState(from, LINECALLSTATE_BUSY, LINEBUSYMODE_STATION);
    return;
  }
  Leg* called = nullptr;
  if (station != nullptr) {
    called = &NewLeg(static_cast<int>(device), destination);
    called->origin = from.IsFarEnd() ? LINECALLORIGIN_EXTERNAL : LINECALLORIGIN_INTERNAL;
  } else {
    const auto farEnds =
        std::count_if(legs_.begin(), legs_.end(), [](const auto& leg) { return leg.second->IsFarEnd(); });
    if (farEnds >= config_.trunks) {
      if (from.IsFarEnd())
        GoIdle(from);
      else
        SetState(from, LINECALLSTATE_BUSY, LINEBUSYMODE_TRUNK);
      return;
    }
    called = &NewLeg(-1, destination);
  }
  called->reason = reason;
  called->caller = from.number;
  called->called = firstCalled.empty() ? destination : firstCalled;
  called->redirecting = redirecting;
  called->state = kFarEndRinging;
  Link(from, *called);
  from.called = called->called;
  if (!redirecting.empty()) from.redirection = destination;
  if (!called->IsFarEnd()) {
    AnnounceLeg(*called, nullptr);
    SetState(*called, LINECALLSTATE_OFFERING, LINEOFFERINGMODE_ACTIVE);
    ChangeInfo(*called, LINECALLINFOSTATE_CALLERID | LINECALLINFOSTATE_CALLEDID | LINECALLINFOSTATE_ORIGIN |
                            LINECALLINFOSTATE_REASON | (redirecting.empty() ? 0 : LINECALLINFOSTATE_REDIRECTINGID));
  }
  if (from.IsFarEnd()) {
    from.state = LINECALLSTATE_RINGBACK;
  } else {
    SetState(from, LINECALLSTATE_RINGBACK, 0);
    ChangeInfo(from, LINECALLINFOSTATE_CALLEDID | (redirecting.empty() ? 0 : LINECALLINFOSTATE_REDIRECTIONID));
  }
}

// The connected party is reported before the state: a line that handles CONNECTED knows who it talks to.
void TSoftExchange::Connect(Leg& answering) {
  Leg* peer = FindLeg(answering.peer);
  answering.connected = peer == nullptr ? std::string() : peer->number;
  if (answering.IsFarEnd()) {
    answering.state = LINECALLSTATE_CONNECTED;
  } else {
    if (peer != nullptr) ChangeInfo(answering, LINECALLINFOSTATE_CONNECTEDID);
    SetState(answering, LINECALLSTATE_CONNECTED, LINECONNECTEDMODE_ACTIVE);
  }
  if (peer == nullptr) return;
  peer->connected = answering.number;
  if (peer->IsFarEnd()) {
    peer->state = LINECALLSTATE_CONNECTED;
  } else {
    ChangeInfo(*peer, LINECALLINFOSTATE_CONNECTEDID);
    SetState(*peer, LINECALLSTATE_CONNECTED, LINECONNECTEDMODE_ACTIVE);
  }
}

// The leg hangs up: its peer is disconnected (a far end just goes), consultation links are dropped.
void TSoftExchange::GoIdle(Leg& leg) {
  const DWORD id = leg.id;
  if (Leg* related = FindLeg(leg.related); related != nullptr && related->related == id) related->related = 0;
  leg.related = 0;
  if (Leg* peer = FindLeg(leg.peer)) {
    const bool rejected = leg.state == LINECALLSTATE_OFFERING;
    Unlink(leg);
    if (peer->IsFarEnd()) {
      GoIdle(*peer);
    } else if (peer->state != LINECALLSTATE_IDLE && peer->state != LINECALLSTATE_DISCONNECTED) {
      SetState(*peer, LINECALLSTATE_DISCONNECTED, rejected ? LINEDISCONNECTMODE_REJECT : LINEDISCONNECTMODE_NORMAL);
      // A station no application controls hangs up by itself.
      if (peer->holders.empty()) {
        peer->state = LINECALLSTATE_IDLE;
        EraseIfUnused(peer->id);
      }
    }
  }
  if (leg.IsFarEnd()) {
    legs_.erase(id);
    return;
  }
  if (leg.state != LINECALLSTATE_IDLE) SetState(leg, LINECALLSTATE_IDLE, 0);
  EraseIfUnused(id);
}

void TSoftExchange::EraseIfUnused(DWORD legId) {
  Leg* leg = FindLeg(legId);
  if (leg != nullptr && leg->state == LINECALLSTATE_IDLE && leg->holders.empty()) legs_.erase(legId);
}

void TSoftExchange::EndLegsOfDevice(int device) {
  std::vector<DWORD> ending;
  for (const auto& [id, leg] : legs_) {
    if (leg->device == device) ending.push_back(id);
  }
  for (DWORD id : ending) {
    if (Leg* leg = FindLeg(id)) {
      GoIdle(*leg);
      if ((leg = FindLeg(id)) != nullptr) {
        for (const auto& [line, holder] : leg->holders) handles_.erase(holder.handle);
        leg->holders.clear();
        legs_.erase(id);
      }
    }
  }
}

void TSoftExchange::RemoveHolder(Leg& leg, HLINE line) {
  auto found = leg.holders.find(line);
  if (found == leg.holders.end()) return;
  handles_.erase(found->second.handle);
  leg.holders.erase(found);
  EraseIfUnused(leg.id);
}

// ---- the Telephony API: applications ----

LONG TSoftExchange::TapiInitialize(HLINEAPP* app, DWORD* numDevs, DWORD* apiVersion, LINEINITIALIZEEXPARAMS* params,
                                   bool phone) {
  if (app == nullptr || numDevs == nullptr || apiVersion == nullptr || params == nullptr) {
    return phone ? PHONEERR_INVALPOINTER : LINEERR_INVALPOINTER;
  }
  if (params->dwTotalSize < sizeof(LINEINITIALIZEEXPARAMS)) {
    return phone ? PHONEERR_STRUCTURETOOSMALL : LINEERR_STRUCTURETOOSMALL;
  }
  if (params->dwOptions != LINEINITIALIZEEXOPTION_USEEVENT)
    return phone ? PHONEERR_OPERATIONFAILED : LINEERR_INVALPARAM;
  if (*apiVersion < 0x00020000) return phone ? PHONEERR_OPERATIONFAILED : LINEERR_INCOMPATIBLEAPIVERSION;
  std::lock_guard lock(mutex_);
  auto made = std::make_unique<App>();
  made->handle = ++nextId_;
  made->phone = phone;
  made->eventHandle = ++nextId_;
  made->event = std::make_shared<platform::Event>(platform::Event::ResetMode::Manual);
  events_.emplace(made->eventHandle, made->event);
  *app = made->handle;
  *numDevs = phone ? 0 : static_cast<DWORD>(stations_.size());
  *apiVersion = std::min(*apiVersion, kHighestApiVersion);
  params->dwNeededSize = sizeof(LINEINITIALIZEEXPARAMS);
  params->dwUsedSize = sizeof(LINEINITIALIZEEXPARAMS);
  params->hEvent = made->eventHandle;
  apps_.emplace(made->handle, std::move(made));
  return 0;
}

LONG TSoftExchange::TapiShutdown(HLINEAPP appHandle, bool phone) {
  std::lock_guard lock(mutex_);
  App* app = FindApp(appHandle, phone);
  if (app == nullptr) return phone ? PHONEERR_INVALAPPHANDLE : LINEERR_INVALAPPHANDLE;
  for (HLINE line : std::vector<HLINE>(app->lines)) {
    for (auto& [id, leg] : legs_) leg->holders.erase(line);
    lines_.erase(line);
  }
  for (auto it = handles_.begin(); it != handles_.end();) {
    it = lines_.count(it->second.second) == 0 ? handles_.erase(it) : std::next(it);
  }
  std::vector<DWORD> idle;
  for (const auto& [id, leg] : legs_) {
    if (leg->state == LINECALLSTATE_IDLE && leg->holders.empty()) idle.push_back(id);
  }
  for (DWORD id : idle) legs_.erase(id);
  heldReplies_.erase(std::remove_if(heldReplies_.begin(), heldReplies_.end(),
                                    [&](const auto& held) { return held.first == appHandle; }),
                     heldReplies_.end());
  app->event->Set();  // a thread still waiting on it wakes up and finds the application gone
  events_.erase(app->eventHandle);
  apps_.erase(appHandle);
  return 0;
}

LONG TSoftExchange::TapiGetMessage(HLINEAPP appHandle, LINEMESSAGE* message, DWORD timeoutMs, bool phone) {
  const LONG invalidApp = phone ? PHONEERR_INVALAPPHANDLE : LINEERR_INVALAPPHANDLE;
  if (message == nullptr) return phone ? PHONEERR_INVALPOINTER : LINEERR_INVALPOINTER;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    std::shared_ptr<platform::Event> event;
    {
      std::lock_guard lock(mutex_);
      App* app = FindApp(appHandle, phone);
      if (app == nullptr) return invalidApp;
      if (!app->messages.empty()) {
        *message = app->messages.front();
        app->messages.pop_front();
        if (app->messages.empty()) app->event->Reset();
        return 0;
      }
      event = app->event;
    }
    const auto now = std::chrono::steady_clock::now();
    if (timeoutMs != platform::INFINITE_WAIT && now >= deadline) {
      return phone ? PHONEERR_OPERATIONFAILED : LINEERR_OPERATIONFAILED;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
    event->Wait(timeoutMs == platform::INFINITE_WAIT ? platform::INFINITE_WAIT : static_cast<DWORD>(left + 1));
  }
}

std::shared_ptr<platform::Event> TSoftExchange::EventForHandle(HANDLE handle) const {
  std::lock_guard lock(mutex_);
  auto found = events_.find(handle);
  return found == events_.end() ? nullptr : found->second;
}

// ---- devices ----

LONG TSoftExchange::TapiNegotiateAPIVersion(HLINEAPP app, DWORD device, DWORD low, DWORD high, DWORD* version,
                                            LINEEXTENSIONID* extension) {
  if (version == nullptr || extension == nullptr) return LINEERR_INVALPOINTER;
  std::lock_guard lock(mutex_);
  if (const LONG result = CheckDevice(app, device); result != 0) return result;
  if (high < kLowestApiVersion || low > kHighestApiVersion || low > high) return LINEERR_INCOMPATIBLEAPIVERSION;
  *version = std::min(high, kHighestApiVersion);
  *extension = LINEEXTENSIONID{};
  return 0;
}

LONG TSoftExchange::TapiNegotiateExtVersion(HLINEAPP app, DWORD device, DWORD, DWORD, DWORD, DWORD* version) {
  if (version == nullptr) return LINEERR_INVALPOINTER;
  std::lock_guard lock(mutex_);
  if (const LONG result = CheckDevice(app, device); result != 0) return result;
  *version = 0;
  return LINEERR_OPERATIONUNAVAIL;  // no provider extensions
}

LONG TSoftExchange::TapiGetDevCaps(HLINEAPP app, DWORD device, DWORD apiVersion, DWORD extVersion, LINEDEVCAPS* caps) {
  if (caps == nullptr) return LINEERR_INVALPOINTER;
  std::lock_guard lock(mutex_);
  if (const LONG result = CheckDevice(app, device); result != 0) return result;
  if (apiVersion < kLowestApiVersion || apiVersion > kHighestApiVersion) return LINEERR_INCOMPATIBLEAPIVERSION;
  if (extVersion != 0) return LINEERR_INCOMPATIBLEEXTVERSION;
  if (!PrepareRecord(caps)) return LINEERR_STRUCTURETOOSMALL;
  const Station& station = stations_[device];
  TVarRecord record(caps, sizeof(LINEDEVCAPS));
  record.Text("Vantrel software exchange", caps->dwProviderInfoSize, caps->dwProviderInfoOffset);
  record.Text("Station " + station.config.number, caps->dwSwitchInfoSize, caps->dwSwitchInfoOffset);
  record.Text(station.config.name.empty() ? "Line " + station.config.number : station.config.name, caps->dwLineNameSize,
              caps->dwLineNameOffset);
  caps->dwPermanentLineID = device + 1;
  caps->dwStringFormat = 1;  // STRINGFORMAT_ASCII
  caps->dwAddressModes = LINEADDRESSMODE_ADDRESSID;
  caps->dwNumAddresses = 1;
  caps->dwBearerModes = LINEBEARERMODE_VOICE;
  caps->dwMediaModes = kMediaModes;
  caps->dwMonitorDigitModes = kDigitModes;
  caps->dwMaxNumActiveCalls = 1;
  caps->dwAnswerMode = 0x2;  // LINEANSWERMODE_HOLD
  caps->dwRingModes = 1;
  caps->dwLineStates = LINEDEVSTATE_ALL;
  caps->dwLineFeatures = 0x8 | 0x4;  // LINEFEATURE_MAKECALL | LINEFEATURE_FORWARD
  record.Finish(sizeof(LINEDEVCAPS));
  return 0;
}

LONG TSoftExchange::TapiGetAddressCaps(HLINEAPP app, DWORD device, DWORD address, DWORD apiVersion, DWORD extVersion,
                                       LINEADDRESSCAPS* caps) {
  if (caps == nullptr) return LINEERR_INVALPOINTER;
  std::lock_guard lock(mutex_);
  if (const LONG result = CheckDevice(app, device); result != 0) return result;
  if (address != 0) return LINEERR_INVALADDRESSID;
  if (apiVersion < kLowestApiVersion || apiVersion > kHighestApiVersion) return LINEERR_INCOMPATIBLEAPIVERSION;
  if (extVersion != 0) return LINEERR_INCOMPATIBLEEXTVERSION;
  if (!PrepareRecord(caps)) return LINEERR_STRUCTURETOOSMALL;
  TVarRecord record(caps, sizeof(LINEADDRESSCAPS));
  caps->dwLineDeviceID = device;
  record.Text(stations_[device].config.number, caps->dwAddressSize, caps->dwAddressOffset);
  caps->dwAddressSharing = LINEADDRESSSHARING_PRIVATE;
  caps->dwAddressStates = LINEADDRESSSTATE_ALL;
  caps->dwCallInfoStates = 0xFFFFFFFF >> 1;
  caps->dwCallerIDFlags = caps->dwCalledIDFlags = caps->dwConnectedIDFlags = caps->dwRedirectionIDFlags =
      caps->dwRedirectingIDFlags = LINECALLPARTYID_ADDRESS | LINECALLPARTYID_NAME | LINECALLPARTYID_UNKNOWN;
  caps->dwCallStates = kEveryCallState;
  caps->dwDialToneModes = LINEDIALTONEMODE_INTERNAL;
  caps->dwBusyModes = LINEBUSYMODE_STATION | LINEBUSYMODE_TRUNK;
  caps->dwDisconnectModes = LINEDISCONNECTMODE_NORMAL | LINEDISCONNECTMODE_REJECT;
  caps->dwMaxNumActiveCalls = 1;
  caps->dwMaxNumOnHoldCalls = 4;
  caps->dwMaxNumOnHoldPendingCalls = 1;
  caps->dwCallFeatures = LINECALLFEATURE_ANSWER | LINECALLFEATURE_BLINDTRANSFER | LINECALLFEATURE_COMPLETETRANSF |
                         LINECALLFEATURE_DIAL | LINECALLFEATURE_DROP | LINECALLFEATURE_HOLD |
                         LINECALLFEATURE_MONITORDIGITS | LINECALLFEATURE_SETUPTRANSFER | LINECALLFEATURE_UNHOLD;
  caps->dwTransferModes = LINETRANSFERMODE_TRANSFER;
  caps->dwForwardModes = LINEFORWARDMODE_UNCOND;
  caps->dwMaxForwardEntries = 1;
  caps->dwAddressFeatures = 0x1 | 0x4;  // LINEADDRFEATURE_FORWARD | LINEADDRFEATURE_MAKECALL
  caps->dwConnectedModes = LINECONNECTEDMODE_ACTIVE;
  caps->dwOfferingModes = LINEOFFERINGMODE_ACTIVE;
  caps->dwAvailableMediaModes = kMediaModes;
  record.Finish(sizeof(LINEADDRESSCAPS));
  return 0;
}

LONG TSoftExchange::TapiOpen(HLINEAPP appHandle, DWORD device, HLINE* line, DWORD apiVersion, DWORD extVersion,
                             DWORD instance, DWORD privileges, DWORD mediaModes) {
  if (line == nullptr) return LINEERR_INVALPOINTER;
  std::lock_guard lock(mutex_);
  if (const LONG result = CheckDevice(appHandle, device); result != 0) return result;
  if (apiVersion < kLowestApiVersion || apiVersion > kHighestApiVersion) return LINEERR_INCOMPATIBLEAPIVERSION;
  if (extVersion != 0) return LINEERR_INCOMPATIBLEEXTVERSION;
  const bool knownPrivileges = privileges == LINECALLPRIVILEGE_NONE || privileges == LINECALLPRIVILEGE_MONITOR ||
                               privileges == LINECALLPRIVILEGE_OWNER ||
                               privileges == (LINECALLPRIVILEGE_OWNER | LINECALLPRIVILEGE_MONITOR);
  if (!knownPrivileges) return LINEERR_INVALPRIVSELECT;
  if ((privileges & LINECALLPRIVILEGE_OWNER) != 0 && (mediaModes == 0 || (mediaModes & ~kMediaModes) != 0)) {
    return LINEERR_INVALMEDIAMODE;
  }
  auto opened = std::make_unique<OpenLine>();
  opened->handle = ++nextId_;
  opened->app = appHandle;
  opened->device = static_cast<int>(device);
  opened->instance = instance;
  opened->privileges = privileges;
  *line = opened->handle;
  apps_.at(appHandle)->lines.push_back(opened->handle);
  lines_.emplace(opened->handle, std::move(opened));
  return 0;
}

LONG TSoftExchange::TapiClose(HLINE lineHandle) {
  std::lock_guard lock(mutex_);
  OpenLine* line = FindLine(lineHandle);
  if (line == nullptr) return LINEERR_INVALLINEHANDLE;
  std::vector<DWORD> held;
  for (const auto& [id, leg] : legs_) {
    if (leg->holders.count(lineHandle) != 0) held.push_back(id);
  }
  for (DWORD id : held) {
    if (Leg* leg = FindLeg(id)) RemoveHolder(*leg, lineHandle);
  }
  auto& owned = apps_.at(line->app)->lines;
  owned.erase(std::remove(owned.begin(), owned.end(), lineHandle), owned.end());
  lines_.erase(lineHandle);
  return 0;
}

LONG TSoftExchange::TapiSetStatusMessages(HLINE lineHandle, DWORD lineStates, DWORD addressStates) {
  std::lock_guard lock(mutex_);
  OpenLine* line = FindLine(lineHandle);
  if (line == nullptr) return LINEERR_INVALLINEHANDLE;
  if ((lineStates & ~LINEDEVSTATE_ALL) != 0) return LINEERR_INVALLINESTATE;
  if ((addressStates & ~LINEADDRESSSTATE_ALL) != 0) return LINEERR_INVALADDRESSSTATE;
  line->lineStates = lineStates;
  line->addressStates = addressStates;
  return 0;
}

LONG TSoftExchange::TapiGetStatusMessages(HLINE lineHandle, DWORD* lineStates, DWORD* addressStates) {
  if (lineStates == nullptr || addressStates == nullptr) return LINEERR_INVALPOINTER;
  std::lock_guard lock(mutex_);
  OpenLine* line = FindLine(lineHandle);
  if (line == nullptr) return LINEERR_INVALLINEHANDLE;
  *lineStates = line->lineStates;
  *addressStates = line->addressStates;
  return 0;
}

LONG TSoftExchange::TapiGetNewCalls(HLINE lineHandle, DWORD address, DWORD select, LINECALLLIST* list) {
  if (list == nullptr) return LINEERR_INVALPOINTER;
  std::lock_guard lock(mutex_);
  OpenLine* line = FindLine(lineHandle);
  if (line == nullptr) return LINEERR_INVALLINEHANDLE;
  if (select != LINECALLSELECT_LINE && select != LINECALLSELECT_ADDRESS) return LINEERR_INVALCALLSELECT;
  if (select == LINECALLSELECT_ADDRESS && address != 0) return LINEERR_INVALADDRESSID;
  if (!PrepareRecord(list)) return LINEERR_STRUCTURETOOSMALL;
  std::vector<HCALL> calls;
  for (auto& [id, leg] : legs_) {
    if (leg->device != line->device || leg->state == LINECALLSTATE_IDLE) continue;
    auto held = leg->holders.find(lineHandle);
    if (held == leg->holders.end()) {
      // Calls that were there before the line opened are monitored until the application asks for more.
      Holder holder{++nextId_, LINECALLPRIVILEGE_MONITOR, 0};
      held = leg->holders.emplace(lineHandle, holder).first;
      handles_.emplace(holder.handle, std::make_pair(id, lineHandle));
    }
    calls.push_back(held->second.handle);
  }
  TVarRecord record(list, sizeof(LINECALLLIST));
  list->dwCallsNumEntries = static_cast<DWORD>(calls.size());
  if (!calls.empty()) record.Bytes(calls.data(), calls.size() * sizeof(HCALL), list->dwCallsSize, list->dwCallsOffset);
  if (list->dwCallsSize == 0) list->dwCallsNumEntries = 0;
  record.Finish(sizeof(LINECALLLIST));
  return 0;
}

// ---- calls: records ----

void TSoftExchange::FillCallInfo(const Leg& leg, const OpenLine& line, LINECALLINFO* info) const {
  TVarRecord record(info, sizeof(LINECALLINFO));
  info->hLine = line.handle;
  info->dwLineDeviceID = static_cast<DWORD>(leg.device);
  info->dwAddressID = 0;
  info->dwBearerMode = LINEBEARERMODE_VOICE;
  info->dwMediaMode = LINEMEDIAMODE_INTERACTIVEVOICE;
  info->dwCallID = leg.id;
  info->dwRelatedCallID = leg.related;
  info->dwCallStates = kEveryCallState;
  info->dwOrigin = leg.origin;
  info->dwReason = leg.reason;
  std::size_t owners = 0, monitors = 0;
  for (const auto& [handle, holder] : leg.holders) {
    if (holder.privilege & LINECALLPRIVILEGE_OWNER)
      ++owners;
    else
      ++monitors;
    if (handle == line.handle) info->dwMonitorDigitModes = holder.digitModes;
  }
  info->dwNumOwners = static_cast<DWORD>(owners);
  info->dwNumMonitors = static_cast<DWORD>(monitors);
  // A party: its number and, for stations, its name; unknown when the exchange has none.
  const auto party = [&](const std::string& number, DWORD& flags, DWORD& size, DWORD& offset, DWORD& nameSize,
                         DWORD& nameOffset) {
    if (number.empty()) {
      flags = LINECALLPARTYID_UNKNOWN;
      return;
    }
    flags = LINECALLPARTYID_ADDRESS;
    record.Text(number, size, offset);
    const std::string name = StationName(number);
    if (!name.empty()) {
      flags |= LINECALLPARTYID_NAME;
      record.Text(name, nameSize, nameOffset);
    }
  };
  party(leg.caller, info->dwCallerIDFlags, info->dwCallerIDSize, info->dwCallerIDOffset, info->dwCallerIDNameSize,
        info->dwCallerIDNameOffset);
  party(leg.called, info->dwCalledIDFlags, info->dwCalledIDSize, info->dwCalledIDOffset, info->dwCalledIDNameSize,
        info->dwCalledIDNameOffset);
  party(leg.connected, info->dwConnectedIDFlags, info->dwConnectedIDSize, info->dwConnectedIDOffset,
        info->dwConnectedIDNameSize, info->dwConnectedIDNameOffset);
  party(leg.redirection, info->dwRedirectionIDFlags, info->dwRedirectionIDSize, info->dwRedirectionIDOffset,
        info->dwRedirectionIDNameSize, info->dwRedirectionIDNameOffset);
  party(leg.redirecting, info->dwRedirectingIDFlags, info->dwRedirectingIDSize, info->dwRedirectingIDOffset,
        info->dwRedirectingIDNameSize, info->dwRedirectingIDNameOffset);
  record.Text("Vantrel", info->dwAppNameSize, info->dwAppNameOffset);
  record.OptionalText(leg.dialed, info->dwDisplayableAddressSize, info->dwDisplayableAddressOffset);
  record.Finish(sizeof(LINECALLINFO));
}

DWORD TSoftExchange::CallFeatures(const Leg& leg) const {
  switch (leg.state) {
    case LINECALLSTATE_OFFERING:
      return LINECALLFEATURE_ANSWER | LINECALLFEATURE_DROP | LINECALLFEATURE_BLINDTRANSFER;
    case LINECALLSTATE_DIALTONE:
    case LINECALLSTATE_DIALING:
      return LINECALLFEATURE_DIAL | LINECALLFEATURE_DROP;
    case LINECALLSTATE_RINGBACK:
      return LINECALLFEATURE_DROP | (leg.related != 0 ? LINECALLFEATURE_COMPLETETRANSF : 0);
    case LINECALLSTATE_CONNECTED:
      return LINECALLFEATURE_DROP | LINECALLFEATURE_HOLD | LINECALLFEATURE_BLINDTRANSFER |
             LINECALLFEATURE_MONITORDIGITS |
             (leg.related != 0 ? LINECALLFEATURE_COMPLETETRANSF : LINECALLFEATURE_SETUPTRANSFER);
    case LINECALLSTATE_ONHOLD:
      return LINECALLFEATURE_DROP | LINECALLFEATURE_UNHOLD;
    case LINECALLSTATE_ONHOLDPENDTRANSFER:
      return LINECALLFEATURE_DROP | LINECALLFEATURE_UNHOLD | (leg.related != 0 ? LINECALLFEATURE_COMPLETETRANSF : 0);
    case LINECALLSTATE_BUSY:
    case LINECALLSTATE_DISCONNECTED:
      return LINECALLFEATURE_DROP;
    default:
      return 0;
  }
}

LONG TSoftExchange::TapiGetCallInfo(HCALL call, LINECALLINFO* info) {
  if (info == nullptr) return LINEERR_INVALPOINTER;
  std::lock_guard lock(mutex_);
  Leg* leg = nullptr;
  OpenLine* line = nullptr;
  Holder* holder = nullptr;
  if (const LONG result = FindCall(call, leg, line, holder); result != 0) return result;
  if (!PrepareRecord(info)) return LINEERR_STRUCTURETOOSMALL;
  FillCallInfo(*leg, *line, info);
  return 0;
}

LONG TSoftExchange::TapiGetCallStatus(HCALL call, LINECALLSTATUS* status) {
  if (status == nullptr) return LINEERR_INVALPOINTER;
  std::lock_guard lock(mutex_);
  Leg* leg = nullptr;
  OpenLine* line = nullptr;
  Holder* holder = nullptr;
  if (const LONG result = FindCall(call, leg, line, holder); result != 0) return result;
  if (!PrepareRecord(status)) return LINEERR_STRUCTURETOOSMALL;
  status->dwNeededSize = status->dwUsedSize = sizeof(LINECALLSTATUS);
  status->dwCallState = leg->state;
  status->dwCallStateMode = leg->mode;
  status->dwCallPrivilege = holder->privilege;
  status->dwCallFeatures = (holder->privilege & LINECALLPRIVILEGE_OWNER) != 0 ? CallFeatures(*leg) : 0;
  const auto seconds = std::chrono::system_clock::to_time_t(leg->stateEntry);
  std::tm parts{};
  gmtime_r(&seconds, &parts);
  status->tStateEntryTime =
      SYSTEMTIME{static_cast<std::uint16_t>(parts.tm_year + 1900), static_cast<std::uint16_t>(parts.tm_mon + 1),
                 static_cast<std::uint16_t>(parts.tm_wday),        static_cast<std::uint16_t>(parts.tm_mday),
                 static_cast<std::uint16_t>(parts.tm_hour),        static_cast<std::uint16_t>(parts.tm_min),
                 static_cast<std::uint16_t>(parts.tm_sec),         0};
  return 0;
}

LONG TSoftExchange::TapiGetAddressStatus(HLINE lineHandle, DWORD address, LINEADDRESSSTATUS* status) {
  if (status == nullptr) return LINEERR_INVALPOINTER;
  std::lock_guard lock(mutex_);
  OpenLine* line = FindLine(lineHandle);
  if (line == nullptr) return LINEERR_INVALLINEHANDLE;
  if (address != 0) return LINEERR_INVALADDRESSID;
  if (!PrepareRecord(status)) return LINEERR_STRUCTURETOOSMALL;
  for (const auto& [id, leg] : legs_) {
    if (leg->device != line->device || leg->state == LINECALLSTATE_IDLE) continue;
    status->dwNumInUse = 1;
    if (leg->state == LINECALLSTATE_ONHOLD)
      ++status->dwNumOnHoldCalls;
    else if (leg->state == LINECALLSTATE_ONHOLDPENDTRANSFER)
      ++status->dwNumOnHoldPendCalls;
    else
      ++status->dwNumActiveCalls;
  }
  status->dwAddressFeatures = 0x1 | 0x4;  // LINEADDRFEATURE_FORWARD | LINEADDRFEATURE_MAKECALL
  TVarRecord record(status, sizeof(LINEADDRESSSTATUS));
  const Station& station = stations_[static_cast<std::size_t>(line->device)];
  if (station.forwarded) {
    // One LINEFORWARD entry followed by its destination.
    std::vector<char> entry(sizeof(LINEFORWARD) + station.forwardTo.size() + 1, 0);
    auto* forward = reinterpret_cast<LINEFORWARD*>(entry.data());
    forward->dwForwardMode = LINEFORWARDMODE_UNCOND;
    status->dwForwardNumEntries = 1;
    DWORD entryOffset = 0;
    DWORD entrySize = 0;
    record.Bytes(entry.data(), entry.size(), entrySize, entryOffset);
    if (entrySize != 0) {
      auto* written = reinterpret_cast<LINEFORWARD*>(reinterpret_cast<char*>(status) + entryOffset);
      written->dwDestAddressSize = static_cast<DWORD>(station.forwardTo.size() + 1);
      written->dwDestAddressOffset = entryOffset + static_cast<DWORD>(sizeof(LINEFORWARD));
      std::memcpy(reinterpret_cast<char*>(status) + written->dwDestAddressOffset, station.forwardTo.c_str(),
                  station.forwardTo.size() + 1);
      status->dwForwardSize = entrySize;
      status->dwForwardOffset = entryOffset;
    }
  }
  record.Finish(sizeof(LINEADDRESSSTATUS));
  return 0;
}

// ---- calls: control ----

LONG TSoftExchange::TapiAnswer(HCALL call) {
  std::lock_guard lock(mutex_);
  Leg* leg = nullptr;
  OpenLine* line = nullptr;
  if (const LONG result = FindOwnedCall(call, leg, line); result != 0) return result;
  if (leg->state != LINECALLSTATE_OFFERING && leg->state != LINECALLSTATE_ACCEPTED) return LINEERR_INVALCALLSTATE;
  const LONG request = Reply(*line, 0);
  Connect(*leg);
  return request;
}

LONG TSoftExchange::TapiDrop(HCALL call) {
  std::lock_guard lock(mutex_);
  Leg* leg = nullptr;
  OpenLine* line = nullptr;
  if (const LONG result = FindOwnedCall(call, leg, line); result != 0) return result;
  if (leg->state == LINECALLSTATE_IDLE) return LINEERR_INVALCALLSTATE;
  const LONG request = Reply(*line, 0);
  GoIdle(*leg);
  return request;
}

LONG TSoftExchange::TapiHold(HCALL call) {
  std::lock_guard lock(mutex_);
  Leg* leg = nullptr;
  OpenLine* line = nullptr;
  if (const LONG result = FindOwnedCall(call, leg, line); result != 0) return result;
  if (leg->state != LINECALLSTATE_CONNECTED) return LINEERR_INVALCALLSTATE;
  const LONG request = Reply(*line, 0);
  SetState(*leg, LINECALLSTATE_ONHOLD, 0);
  return request;
}

LONG TSoftExchange::TapiUnhold(HCALL call) {
  std::lock_guard lock(mutex_);
  Leg* leg = nullptr;
  OpenLine* line = nullptr;
  if (const LONG result = FindOwnedCall(call, leg, line); result != 0) return result;
  if (leg->state != LINECALLSTATE_ONHOLD && leg->state != LINECALLSTATE_ONHOLDPENDTRANSFER) {
    return LINEERR_INVALCALLSTATE;
  }
  const LONG request = Reply(*line, 0);
  // Taking back a call held for transfer abandons the transfer; the consultation call stays on its own.
  if (Leg* consult = FindLeg(leg->related); consult != nullptr && consult->related == leg->id) consult->related = 0;
  leg->related = 0;
  SetState(*leg, LINECALLSTATE_CONNECTED, LINECONNECTEDMODE_ACTIVE);
  return request;
}

LONG TSoftExchange::TapiDial(HCALL call, const char* digits) {
  if (digits == nullptr) return LINEERR_INVALPOINTER;
  std::lock_guard lock(mutex_);
  Leg* leg = nullptr;
  OpenLine* line = nullptr;
  if (const LONG result = FindOwnedCall(call, leg, line); result != 0) return result;
  if (leg->state != LINECALLSTATE_DIALTONE && leg->state != LINECALLSTATE_DIALING) return LINEERR_INVALCALLSTATE;
  const std::string destination = leg->dialed + digits;
  if (!IsDialable(destination)) return Reply(*line, LINEERR_INVALADDRESS);
  const LONG request = Reply(*line, 0);
  leg->dialed = destination;
  SetState(*leg, LINECALLSTATE_DIALING, 0);
  Route(*leg, destination, LINECALLREASON_DIRECT, {});
  return request;
}

LONG TSoftExchange::TapiMakeCall(HLINE lineHandle, HCALL* call, const char* destination, const LINECALLPARAMS* params) {
  if (call == nullptr) return LINEERR_INVALPOINTER;
  std::lock_guard lock(mutex_);
  OpenLine* line = FindLine(lineHandle);
  if (line == nullptr) return LINEERR_INVALLINEHANDLE;
  if (params != nullptr && (params->dwTotalSize < sizeof(LINECALLPARAMS) || params->dwAddressID != 0 ||
                            (params->dwMediaMode & ~kMediaModes) != 0)) {
    return LINEERR_INVALCALLPARAMS;
  }
  const std::string dialed = destination == nullptr ? std::string() : std::string(destination);
  // A wrong number is the request's failure, answered by its LINE_REPLY.
  if (!dialed.empty() && !IsDialable(dialed)) return Reply(*line, LINEERR_INVALADDRESS);
  Leg& leg = NewLeg(line->device, stations_[static_cast<std::size_t>(line->device)].config.number);
  leg.origin = LINECALLORIGIN_OUTBOUND;
  leg.caller = leg.number;
  AnnounceLeg(leg, line);
  *call = leg.holders.at(lineHandle).handle;
  const LONG request = Reply(*line, 0);
  SetState(leg, LINECALLSTATE_DIALTONE, LINEDIALTONEMODE_INTERNAL);
  if (!dialed.empty()) {
    leg.dialed = dialed;
    SetState(leg, LINECALLSTATE_DIALING, 0);
    Route(leg, dialed, LINECALLREASON_DIRECT, {});
  }
  return request;
}

LONG TSoftExchange::TapiBlindTransfer(HCALL call, const char* destination) {
  if (destination == nullptr) return LINEERR_INVALPOINTER;
  std::lock_guard lock(mutex_);
  Leg* leg = nullptr;
  OpenLine* line = nullptr;
  if (const LONG result = FindOwnedCall(call, leg, line); result != 0) return result;
  Leg* peer = FindLeg(leg->peer);
  const bool transferable = leg->state == LINECALLSTATE_CONNECTED || leg->state == LINECALLSTATE_OFFERING ||
                            leg->state == LINECALLSTATE_ONHOLD;
  if (!transferable || peer == nullptr) return LINEERR_INVALCALLSTATE;
  if (!IsDialable(destination)) return LINEERR_INVALADDRESS;
  if (destination == leg->number) return LINEERR_TARGETSELF;
  const LONG request = Reply(*line, 0);
  Unlink(*leg);
  const std::string transferrer = leg->number;
  GoIdle(*leg);
  Route(*peer, destination, LINECALLREASON_TRANSFER, transferrer);
  return request;
}

LONG TSoftExchange::TapiSetupTransfer(HCALL call, HCALL* consultCall) {
  if (consultCall == nullptr) return LINEERR_INVALPOINTER;
  std::lock_guard lock(mutex_);
  Leg* leg = nullptr;
  OpenLine* line = nullptr;
  if (const LONG result = FindOwnedCall(call, leg, line); result != 0) return result;
  if (leg->state != LINECALLSTATE_CONNECTED) return LINEERR_INVALCALLSTATE;
  if (leg->related != 0) return LINEERR_INVALCALLSTATE;
  Leg& consult = NewLeg(leg->device, leg->number);
  consult.origin = LINECALLORIGIN_OUTBOUND;
  consult.caller = consult.number;
  consult.related = leg->id;
  leg->related = consult.id;
  AnnounceLeg(consult, line);
  *consultCall = consult.holders.at(line->handle).handle;
  const LONG request = Reply(*line, 0);
  SetState(*leg, LINECALLSTATE_ONHOLDPENDTRANSFER, 0);
  SetState(consult, LINECALLSTATE_DIALTONE, LINEDIALTONEMODE_INTERNAL);
  return request;
}

LONG TSoftExchange::TapiCompleteTransfer(HCALL call, HCALL consultCall, HCALL* conferenceCall, DWORD mode) {
  std::lock_guard lock(mutex_);
  Leg* held = nullptr;
  OpenLine* line = nullptr;
  if (const LONG result = FindOwnedCall(call, held, line); result != 0) return result;
  Leg* consult = nullptr;
  OpenLine* consultLine = nullptr;
  if (FindOwnedCall(consultCall, consult, consultLine) != 0) return LINEERR_INVALCONSULTCALLHANDLE;
  if (mode == LINETRANSFERMODE_CONFERENCE) return LINEERR_OPERATIONUNAVAIL;  // no conference bridge here
  if (mode != LINETRANSFERMODE_TRANSFER) return LINEERR_INVALTRANSFERMODE;
  if (conferenceCall != nullptr) *conferenceCall = 0;
  if (held == consult) return LINEERR_INVALCONSULTCALLHANDLE;
  if (held->state != LINECALLSTATE_ONHOLDPENDTRANSFER && held->state != LINECALLSTATE_ONHOLD) {
    return LINEERR_INVALCALLSTATE;
  }
  const bool consultAnswered = consult->state == LINECALLSTATE_CONNECTED;
  if (!consultAnswered && consult->state != LINECALLSTATE_RINGBACK) return LINEERR_INVALCALLSTATE;
  Leg* heldParty = FindLeg(held->peer);
  Leg* consultParty = FindLeg(consult->peer);
  if (heldParty == nullptr || consultParty == nullptr) return LINEERR_INVALCALLSTATE;
  const LONG request = Reply(*line, 0);
  const std::string transferrer = held->number;
  Unlink(*held);
  Unlink(*consult);
  GoIdle(*held);
  GoIdle(*consult);
  Link(*heldParty, *consultParty);
  if (consultAnswered) {
    heldParty->connected = consultParty->number;
    consultParty->connected = heldParty->number;
    for (Leg* party : {heldParty, consultParty}) {
      if (!party->IsFarEnd()) ChangeInfo(*party, LINECALLINFOSTATE_CONNECTEDID);
    }
  } else {
    // The consulted party still rings: now for the held party, who hears it ring.
    consultParty->caller = heldParty->number;
    consultParty->redirecting = transferrer;
    heldParty->called = consultParty->number;
    if (!consultParty->IsFarEnd()) {
      ChangeInfo(*consultParty, LINECALLINFOSTATE_CALLERID | LINECALLINFOSTATE_REDIRECTINGID);
    }
    if (heldParty->IsFarEnd()) {
      heldParty->state = LINECALLSTATE_RINGBACK;
    } else {
      SetState(*heldParty, LINECALLSTATE_RINGBACK, 0);
      ChangeInfo(*heldParty, LINECALLINFOSTATE_CALLEDID);
    }
  }
  return request;
}

LONG TSoftExchange::TapiForward(HLINE lineHandle, bool allAddresses, DWORD address, const LINEFORWARDLIST* list,
                                HCALL* consultCall) {
  std::lock_guard lock(mutex_);
  OpenLine* line = FindLine(lineHandle);
  if (line == nullptr) return LINEERR_INVALLINEHANDLE;
  if (!allAddresses && address != 0) return LINEERR_INVALADDRESSID;
  std::string destination;
  if (list != nullptr) {
    if (list->dwTotalSize < sizeof(DWORD) * 2 || list->dwNumEntries != 1 ||
        list->dwTotalSize < 8 + sizeof(LINEFORWARD)) {
      return LINEERR_INVALPARAM;  // one unconditional entry is what this exchange forwards
    }
    const LINEFORWARD& entry = list->ForwardList[0];
    if (entry.dwForwardMode != LINEFORWARDMODE_UNCOND) return LINEERR_INVALPARAM;
    if (entry.dwDestAddressSize != 0) {
      if (entry.dwDestAddressOffset + entry.dwDestAddressSize > list->dwTotalSize) return LINEERR_INVALPARAM;
      const char* text = reinterpret_cast<const char*>(list) + entry.dwDestAddressOffset;
      destination.assign(text, strnlen(text, entry.dwDestAddressSize));
      if (!destination.empty() && !IsDialable(destination)) return LINEERR_INVALADDRESS;
    }
  }
  if (consultCall != nullptr) *consultCall = 0;
  const LONG request = Reply(*line, 0);
  Station& station = stations_[static_cast<std::size_t>(line->device)];
  station.forwarded = list != nullptr;
  station.forwardTo = destination;
  for (auto& [handle, open] : lines_) {
    if (open->device == line->device) PostToLine(*open, handle, LINE_ADDRESSSTATE, 0, LINEADDRESSSTATE_FORWARD, 0);
  }
  return request;
}

LONG TSoftExchange::TapiDeallocateCall(HCALL call) {
  std::lock_guard lock(mutex_);
  Leg* leg = nullptr;
  OpenLine* line = nullptr;
  Holder* holder = nullptr;
  if (const LONG result = FindCall(call, leg, line, holder); result != 0) return result;
  if (leg->state != LINECALLSTATE_IDLE && (holder->privilege & LINECALLPRIVILEGE_OWNER) != 0) {
    const auto owners = std::count_if(leg->holders.begin(), leg->holders.end(), [](const auto& other) {
      return (other.second.privilege & LINECALLPRIVILEGE_OWNER) != 0;
    });
    if (owners == 1) return LINEERR_INVALCALLSTATE;  // the sole owner of a live call must drop it first
  }
  RemoveHolder(*leg, line->handle);
  return 0;
}

LONG TSoftExchange::TapiMonitorDigits(HCALL call, DWORD modes) {
  std::lock_guard lock(mutex_);
  Leg* leg = nullptr;
  OpenLine* line = nullptr;
  Holder* holder = nullptr;
  if (const LONG result = FindCall(call, leg, line, holder); result != 0) return result;
  if ((modes & ~kDigitModes) != 0) return LINEERR_INVALDIGITMODE;
  if (leg->state == LINECALLSTATE_IDLE) return LINEERR_INVALCALLSTATE;
  holder->digitModes = modes;
  return 0;
}

LONG TSoftExchange::TapiSetCallPrivilege(HCALL call, DWORD privilege) {
  std::lock_guard lock(mutex_);
  Leg* leg = nullptr;
  OpenLine* line = nullptr;
  Holder* holder = nullptr;
  if (const LONG result = FindCall(call, leg, line, holder); result != 0) return result;
  if (privilege != LINECALLPRIVILEGE_OWNER && privilege != LINECALLPRIVILEGE_MONITOR) {
    return LINEERR_INVALCALLPRIVILEGE;
  }
  if (privilege == LINECALLPRIVILEGE_MONITOR && holder->privilege == LINECALLPRIVILEGE_OWNER &&
      leg->state != LINECALLSTATE_IDLE) {
    const auto owners = std::count_if(leg->holders.begin(), leg->holders.end(), [](const auto& other) {
      return (other.second.privilege & LINECALLPRIVILEGE_OWNER) != 0;
    });
    if (owners == 1) return LINEERR_INVALCALLSTATE;
  }
  if (holder->privilege != privilege) {
    holder->privilege = privilege;
    for (auto& [lineHandle, other] : leg->holders) {
      if (OpenLine* open = FindLine(lineHandle)) {
        PostToLine(
            *open, other.handle, LINE_CALLINFO,
            privilege == LINECALLPRIVILEGE_OWNER ? LINECALLINFOSTATE_NUMOWNERINCR : LINECALLINFOSTATE_NUMOWNERDECR, 0,
            0);
      }
    }
  }
  return 0;
}

}  // namespace vantrel::telephony
