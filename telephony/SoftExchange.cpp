#include "SoftExchange.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <unordered_set>

#include "platform/DebugOutput.h"
#include "support/IniFile.h"
#include "support/VantrelCommonRoutines.h"

namespace vantrel::telephony {

namespace {

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

}  // namespace

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
  const auto lock = Lock();
  if (Events().HasApplications())
    throw std::logic_error("The exchange cannot be reconfigured while applications use it");
  config_ = config;
  stations_.clear();
  for (const TStationConfig& station : config.stations)
    stations_.push_back(TDeviceData{station.number, station.name, false, false, {}});
  legs_.clear();
}

bool TSoftExchange::IsDialable(const std::string& address) {
  return !address.empty() && address.size() <= 64 && std::all_of(address.begin(), address.end(), [](char c) {
    return (c >= '0' && c <= '9') || c == '*' || c == '#' || c == '+';
  });
}

// ---- stations ----

DWORD TSoftExchange::AddStation(const TStationConfig& station) {
  const auto lock = Lock();
  if (!IsDialable(station.number)) throw std::invalid_argument("\"" + station.number + "\" is not a station number");
  if (FindStation(station.number) != nullptr) throw std::invalid_argument("Station " + station.number + " exists");
  stations_.push_back(TDeviceData{station.number, station.name, false, false, {}});
  const auto device = static_cast<DWORD>(stations_.size() - 1);
  Events().DeviceAdded(device);
  return device;
}

void TSoftExchange::RemoveStation(const std::string& number) {
  const auto lock = Lock();
  DWORD device = 0;
  if (FindStation(number, &device) == nullptr) throw std::invalid_argument("No station " + number);
  EndLegsOfDevice(static_cast<int>(device));
  stations_[device].removed = true;
  Events().DeviceRemoved(device);
}

const TDeviceData* TSoftExchange::FindStation(const std::string& number, DWORD* device) const {
  for (std::size_t i = 0; i < stations_.size(); ++i) {
    if (!stations_[i].removed && stations_[i].number == number) {
      if (device != nullptr) *device = static_cast<DWORD>(i);
      return &stations_[i];
    }
  }
  return nullptr;
}

std::string TSoftExchange::NameOf(const std::string& number) const {
  const TDeviceData* station = FindStation(number);
  return station == nullptr ? std::string() : station->name;
}

// ---- far ends ----

TSoftExchange::Leg* TSoftExchange::FarEnd(DWORD farEnd) {
  Leg* leg = FindLeg(farEnd);
  if (leg == nullptr || !leg->IsFarEnd()) throw std::invalid_argument("No far end " + std::to_string(farEnd));
  return leg;
}

DWORD TSoftExchange::CallStation(const std::string& stationNumber, const std::string& callerNumber) {
  const auto lock = Lock();
  if (!IsDialable(callerNumber)) throw std::invalid_argument("\"" + callerNumber + "\" is not a phone number");
  if (FindStation(stationNumber) == nullptr) throw std::invalid_argument("No station " + stationNumber);
  if (FarEndsInUse() >= config_.trunks) throw TAllTrunksBusy();
  Leg& caller = NewLeg(-1, callerNumber);
  SetFarEndState(caller, LINECALLSTATE_DIALING);
  caller.origin = LINECALLORIGIN_OUTBOUND;
  const DWORD id = caller.id;
  Route(caller, stationNumber, LINECALLREASON_DIRECT, {});
  return FindLeg(id) == nullptr ? 0 : id;
}

void TSoftExchange::AnswerFarEnd(DWORD farEnd) {
  const auto lock = Lock();
  Leg* leg = FarEnd(farEnd);
  if (leg->state != kFarEndRinging)
    throw std::invalid_argument("Far end " + std::to_string(farEnd) + " is not ringing");
  Connect(*leg);
}

void TSoftExchange::BusyFarEnd(DWORD farEnd) {
  const auto lock = Lock();
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
  const auto lock = Lock();
  GoIdle(*FarEnd(farEnd));
}

void TSoftExchange::SendDigits(DWORD farEnd, const std::string& digits) {
  const auto lock = Lock();
  Leg* leg = FarEnd(farEnd);
  const bool valid = !digits.empty() && std::all_of(digits.begin(), digits.end(), [](char c) {
    return (c >= '0' && c <= '9') || c == '*' || c == '#' || (c >= 'A' && c <= 'D');
  });
  if (!valid) throw std::invalid_argument("\"" + digits + "\" are not DTMF digits");
  Leg* peer = FindLeg(leg->peer);
  if (leg->state != LINECALLSTATE_CONNECTED || peer == nullptr) {
    throw std::invalid_argument("Far end " + std::to_string(farEnd) + " is not connected");
  }
  for (char digit : digits) Events().DigitReceived(peer->id, digit);
}

namespace {
const char* const kNotRinging = " is not ringing";
}

void TSoftExchange::PickUp(const std::string& stationNumber) {
  const auto lock = Lock();
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
  const auto lock = Lock();
  DWORD device = 0;
  if (FindStation(stationNumber, &device) == nullptr) throw std::invalid_argument("No station " + stationNumber);
  Leg* newest = nullptr;
  for (auto& [id, leg] : legs_) {
    if (leg->device == static_cast<int>(device) && leg->state != LINECALLSTATE_IDLE) newest = leg.get();
  }
  if (newest == nullptr) throw std::invalid_argument("Station " + stationNumber + " has no call");
  GoIdle(*newest);
}

DWORD TSoftExchange::PhoneCalls(const std::string& stationNumber, const std::string& destination) {
  const auto lock = Lock();
  DWORD device = 0;
  if (FindStation(stationNumber, &device) == nullptr) throw std::invalid_argument("No station " + stationNumber);
  if (!IsDialable(destination)) throw std::invalid_argument("\"" + destination + "\" is not a phone number");
  Leg& leg = NewLeg(static_cast<int>(device), stationNumber);
  leg.origin = LINECALLORIGIN_OUTBOUND;
  leg.caller = leg.number;
  const DWORD id = leg.id;
  Events().CallAppeared(id);
  SetState(leg, LINECALLSTATE_DIALTONE, LINEDIALTONEMODE_INTERNAL);
  leg.dialed = destination;
  SetState(leg, LINECALLSTATE_DIALING, 0);
  Route(leg, destination, LINECALLREASON_DIRECT, {});
  return id;
}

bool TSoftExchange::PhoneAnswered(DWORD call) {
  const auto lock = Lock();
  Leg* leg = FindLeg(call);
  if (leg == nullptr || leg->IsFarEnd()) return false;
  if (leg->waitsForPhone && leg->state == LINECALLSTATE_DIALTONE) {
    leg->waitsForPhone = false;
    SetState(*leg, LINECALLSTATE_DIALING, 0);
    Route(*leg, leg->dialed, LINECALLREASON_DIRECT, {});
    return true;
  }
  if (leg->state != LINECALLSTATE_OFFERING && leg->state != LINECALLSTATE_ACCEPTED) return false;
  Connect(*leg);
  return true;
}

void TSoftExchange::PhoneHungUp(DWORD call) {
  const auto lock = Lock();
  Leg* leg = FindLeg(call);
  if (leg == nullptr || leg->IsFarEnd() || leg->state == LINECALLSTATE_IDLE) return;
  GoIdle(*leg);
}

void TSoftExchange::PhoneHolds(DWORD call, bool hold) {
  const auto lock = Lock();
  const auto accepted = [](LONG result) { return result; };
  if (hold)
    Hold(call, accepted);
  else
    Unhold(call, accepted);
}

void TSoftExchange::PhoneTransfers(DWORD call, const std::string& destination) {
  const auto lock = Lock();
  const LONG result = BlindTransfer(call, destination, [](LONG accepted) { return accepted; });
  if (result == LINEERR_INVALADDRESS || result == LINEERR_TARGETSELF)
    throw std::invalid_argument("\"" + destination + "\" is no destination for this call");
  if (result < 0) throw std::invalid_argument("The call cannot be transferred now");
}

DWORD TSoftExchange::FarEndOf(const std::string& stationNumber) const {
  const auto lock = Lock();
  DWORD found = 0;
  for (const auto& [id, leg] : legs_) {
    if (leg->IsFarEnd() || leg->number != stationNumber) continue;
    auto peer = legs_.find(leg->peer);
    if (peer != legs_.end() && peer->second->IsFarEnd()) found = std::max(found, peer->first);
  }
  return found;
}

std::vector<TPartyStatus> TSoftExchange::Status() const {
  const auto lock = Lock();
  const auto now = TPromptPlayback::TClock::now();
  std::vector<TPartyStatus> parties;
  for (const auto& [id, leg] : legs_) {
    TPartyStatus party{id, leg->IsFarEnd(), leg->number, {}, StateName(leg->state), {}};
    if (leg->IsFarEnd() && leg->state == kFarEndRinging) party.state = "RINGING";
    auto peer = legs_.find(leg->peer);
    if (peer != legs_.end()) party.peerNumber = peer->second->number;
    if (auto monitored = legs_.find(leg->monitors); leg->monitors != 0 && monitored != legs_.end()) {
      party.hearing = std::string("the call of ") + monitored->second->number + " (" +
                      MonitorModeName(leg->monitorMode) + ")";
    } else if (leg->playback.PlayingAt(now)) {
      party.hearing = leg->playback.label;
    } else if (peer != legs_.end() && (peer->second->state == LINECALLSTATE_ONHOLD ||
                                       peer->second->state == LINECALLSTATE_ONHOLDPENDTRANSFER)) {
      // Held, a party hears the music on hold, or the hold tone without it (as the SIP port plays them).
      party.hearing = prompts_ != nullptr && prompts_->Music() != nullptr ? "music" : "hold tone";
    }
    parties.push_back(std::move(party));
  }
  return parties;
}

// ---- the provider's view ----

std::string TSoftExchange::ProviderName() const { return "Vantrel software exchange"; }

DWORD TSoftExchange::DeviceCount() const { return static_cast<DWORD>(stations_.size()); }

const TDeviceData& TSoftExchange::Device(DWORD device) const { return stations_.at(device); }

const TCallData* TSoftExchange::Call(DWORD call) const {
  auto found = legs_.find(call);
  return found == legs_.end() || found->second->IsFarEnd() ? nullptr : found->second.get();
}

std::vector<DWORD> TSoftExchange::CallsOn(DWORD device) const {
  std::vector<DWORD> calls;
  for (const auto& [id, leg] : legs_) {
    if (leg->device == static_cast<int>(device)) calls.push_back(id);
  }
  return calls;
}

LONG TSoftExchange::FarEndsInUse() const {
  return static_cast<LONG>(
      std::count_if(legs_.begin(), legs_.end(), [](const auto& leg) { return leg.second->IsFarEnd(); }));
}

TSoftExchange::Leg* TSoftExchange::FindLeg(DWORD id) {
  auto found = legs_.find(id);
  return found == legs_.end() ? nullptr : found->second.get();
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

void TSoftExchange::LogStateChange(const Leg& leg, DWORD state) const {
  // Every leg of every call passes here: on a busy server only with the debug channel on.
  if (leg.state == state || !platform::DebugOutputOn()) return;
  const auto name = [&leg](DWORD of) { return leg.IsFarEnd() && of == kFarEndRinging ? "RINGING" : StateName(of); };
  LogFormat("exchange %s %d (%s): %s -> %s", {leg.IsFarEnd() ? "far end" : "leg", static_cast<long>(leg.id),
                                              leg.number, name(leg.state), name(state)});
}

void TSoftExchange::SetState(Leg& leg, DWORD state, DWORD mode) {
  LogStateChange(leg, state);
  leg.state = state;
  leg.mode = mode;
  leg.stateEntry = std::chrono::system_clock::now();
  if (!leg.IsFarEnd()) Events().CallStateChanged(leg.id);
  Publish(leg);
  if ((leg.monitors != 0 || leg.monitoredBy != 0) &&
      (state == LINECALLSTATE_IDLE || state == LINECALLSTATE_DISCONNECTED))
    EndMonitorOf(leg);
}

void TSoftExchange::SetFarEndState(Leg& leg, DWORD state) {
  LogStateChange(leg, state);
  leg.state = state;
  Publish(leg);
}

void TSoftExchange::Publish(const Leg& leg, bool gone) {
  if (ports_ == nullptr) return;
  TLegChange change;
  change.leg = leg.id;
  change.farEnd = leg.IsFarEnd();
  change.number = leg.number;
  change.caller = leg.caller;
  change.presentedCaller = leg.caller;
  // Rung by a consultation call: the phone shows whom the call is for, the party the consulting station holds.
  if (Leg* from = FindLeg(leg.peer);
      from != nullptr && !from->IsFarEnd() && from->related != 0 && from->state != LINECALLSTATE_ONHOLDPENDTRANSFER) {
    if (Leg* held = FindLeg(from->related); held != nullptr) {
      if (const Leg* party = FindLeg(held->peer); party != nullptr) change.presentedCaller = party->number;
    }
  }
  change.dialed = leg.dialed;
  change.state = leg.state;
  change.peer = leg.peer;
  change.gone = gone;
  change.waitsForPhone = leg.waitsForPhone;
  change.room = leg.conference;
  change.takesMediaOf = leg.mediaFrom;
  change.monitors = leg.monitors;
  change.monitorMode = leg.monitorMode;
  if (leg.playback.PlayingAt(TPromptPlayback::TClock::now())) change.prompt = leg.playback.sound;
  ports_->LegChanged(change);
}

void TSoftExchange::EraseLeg(DWORD legId) {
  auto found = legs_.find(legId);
  if (found == legs_.end()) return;
  Publish(*found->second, true);
  legs_.erase(found);
}

void TSoftExchange::SetPorts(IExchangePorts* ports) {
  const auto lock = Lock();
  ports_ = ports;
}

void TSoftExchange::ChangeInfo(Leg& leg, DWORD infoStates) {
  if (!leg.IsFarEnd()) Events().CallInfoChanged(leg.id, infoStates);
}

void TSoftExchange::Link(Leg& a, Leg& b) {
  a.peer = b.id;
  b.peer = a.id;
  a.playback = {};  // a prompt is for the partner that asked for it
  b.playback = {};
  Publish(a);
  Publish(b);
}

void TSoftExchange::Unlink(Leg& leg) {
  if (Leg* peer = FindLeg(leg.peer); peer != nullptr && peer->peer == leg.id) {
    peer->peer = 0;
    Publish(*peer);
  }
  leg.peer = 0;
  Publish(leg);
}

void TSoftExchange::Route(Leg& from, const std::string& destination, DWORD reason, const std::string& redirecting,
                          int hops, const std::string& firstCalled) {
  DWORD device = 0;
  const TDeviceData* station = FindStation(destination, &device);
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
    if (FarEndsInUse() >= config_.trunks) {
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
  LogStateChange(*called, kFarEndRinging);
  called->state = kFarEndRinging;
  Link(from, *called);
  if (called->IsFarEnd()) Publish(*called);
  from.called = called->called;
  if (!redirecting.empty()) from.redirection = destination;
  if (!called->IsFarEnd()) {
    Events().CallAppeared(called->id);
    SetState(*called, LINECALLSTATE_OFFERING, LINEOFFERINGMODE_ACTIVE);
    ChangeInfo(*called, LINECALLINFOSTATE_CALLERID | LINECALLINFOSTATE_CALLEDID | LINECALLINFOSTATE_ORIGIN |
                            LINECALLINFOSTATE_REASON | (redirecting.empty() ? 0 : LINECALLINFOSTATE_REDIRECTINGID));
  }
  if (from.IsFarEnd()) {
    SetFarEndState(from, LINECALLSTATE_RINGBACK);
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
    SetFarEndState(answering, LINECALLSTATE_CONNECTED);
  } else {
    if (peer != nullptr) ChangeInfo(answering, LINECALLINFOSTATE_CONNECTEDID);
    SetState(answering, LINECALLSTATE_CONNECTED, LINECONNECTEDMODE_ACTIVE);
  }
  if (peer == nullptr) return;
  peer->connected = answering.number;
  if (peer->IsFarEnd()) {
    SetFarEndState(*peer, LINECALLSTATE_CONNECTED);
  } else {
    ChangeInfo(*peer, LINECALLINFOSTATE_CONNECTEDID);
    SetState(*peer, LINECALLSTATE_CONNECTED, LINECONNECTEDMODE_ACTIVE);
  }
}

// The leg hangs up: its peer is disconnected (a far end just goes), consultation links are dropped.
void TSoftExchange::GoIdle(Leg& leg) {
  if (leg.conference != 0 && leg.conference == leg.id) {
    EndConference(leg);
    return;
  }
  LeaveConference(leg);
  const DWORD id = leg.id;
  if (Leg* related = FindLeg(leg.related); related != nullptr && related->related == id) related->related = 0;
  leg.related = 0;
  if (Leg* peer = FindLeg(leg.peer)) {
    const bool rejected = leg.state == LINECALLSTATE_OFFERING;
    Unlink(leg);
    if (peer->IsFarEnd()) {
      GoIdle(*peer);
    } else if (peer->state != LINECALLSTATE_IDLE && peer->state != LINECALLSTATE_DISCONNECTED) {
      LeaveConference(*peer);
      SetState(*peer, LINECALLSTATE_DISCONNECTED, rejected ? LINEDISCONNECTMODE_REJECT : LINEDISCONNECTMODE_NORMAL);
      // A station no application controls hangs up by itself.
      if (!Events().IsHeld(peer->id)) {
        LogStateChange(*peer, LINECALLSTATE_IDLE);
        peer->state = LINECALLSTATE_IDLE;
        Publish(*peer);
        EraseIfUnused(peer->id);
      }
    }
  }
  if (leg.IsFarEnd()) {
    EraseLeg(id);
    return;
  }
  if (leg.state != LINECALLSTATE_IDLE) SetState(leg, LINECALLSTATE_IDLE, 0);
  EraseIfUnused(id);
}

void TSoftExchange::EraseIfUnused(DWORD legId) {
  Leg* leg = FindLeg(legId);
  if (leg != nullptr && leg->state == LINECALLSTATE_IDLE && !Events().IsHeld(legId)) EraseLeg(legId);
}

void TSoftExchange::EndLegsOfDevice(int device) {
  std::vector<DWORD> ending;
  for (const auto& [id, leg] : legs_) {
    if (leg->device == device) ending.push_back(id);
  }
  for (DWORD id : ending) {
    if (Leg* leg = FindLeg(id)) {
      GoIdle(*leg);
      if (FindLeg(id) != nullptr) {
        Events().CallRemoved(id);
        EraseLeg(id);
      }
    }
  }
}

// ---- calls: control ----

LONG TSoftExchange::Answer(DWORD call, const TReply& reply) {
  Leg* leg = FindLeg(call);
  if (leg == nullptr) return LINEERR_INVALCALLHANDLE;
  if (leg->state != LINECALLSTATE_OFFERING && leg->state != LINECALLSTATE_ACCEPTED) return LINEERR_INVALCALLSTATE;
  const LONG request = reply(0);
  Connect(*leg);
  return request;
}

LONG TSoftExchange::Drop(DWORD call, const TReply& reply) {
  Leg* leg = FindLeg(call);
  if (leg == nullptr) return LINEERR_INVALCALLHANDLE;
  if (leg->state == LINECALLSTATE_IDLE) return LINEERR_INVALCALLSTATE;
  const LONG request = reply(0);
  GoIdle(*leg);
  return request;
}

LONG TSoftExchange::Hold(DWORD call, const TReply& reply) {
  Leg* leg = FindLeg(call);
  if (leg == nullptr) return LINEERR_INVALCALLHANDLE;
  if (leg->state != LINECALLSTATE_CONNECTED) return LINEERR_INVALCALLSTATE;
  const LONG request = reply(0);
  SetState(*leg, LINECALLSTATE_ONHOLD, 0);
  return request;
}

LONG TSoftExchange::Unhold(DWORD call, const TReply& reply) {
  Leg* leg = FindLeg(call);
  if (leg == nullptr) return LINEERR_INVALCALLHANDLE;
  if (leg->state != LINECALLSTATE_ONHOLD && leg->state != LINECALLSTATE_ONHOLDPENDTRANSFER) {
    return LINEERR_INVALCALLSTATE;
  }
  const LONG request = reply(0);
  // Taking back a call held for transfer abandons the transfer; the consultation call stays on its own.
  if (Leg* consult = FindLeg(leg->related); consult != nullptr && consult->related == leg->id) consult->related = 0;
  leg->related = 0;
  SetState(*leg, LINECALLSTATE_CONNECTED, LINECONNECTEDMODE_ACTIVE);
  return request;
}

LONG TSoftExchange::Dial(DWORD call, const std::string& digits, const TReply& reply) {
  Leg* leg = FindLeg(call);
  if (leg == nullptr) return LINEERR_INVALCALLHANDLE;
  if (leg->state != LINECALLSTATE_DIALTONE && leg->state != LINECALLSTATE_DIALING) return LINEERR_INVALCALLSTATE;
  const std::string destination = leg->dialed + digits;
  if (!IsDialable(destination)) return reply(LINEERR_INVALADDRESS);
  const LONG request = reply(0);
  leg->dialed = destination;
  SetState(*leg, LINECALLSTATE_DIALING, 0);
  Route(*leg, destination, LINECALLREASON_DIRECT, {});
  return request;
}

LONG TSoftExchange::MakeCall(DWORD device, const std::string& destination, const TReply& reply, DWORD* call) {
  *call = 0;
  // A wrong number is the request's failure, answered by its LINE_REPLY.
  if (!destination.empty() && !IsDialable(destination)) return reply(LINEERR_INVALADDRESS);
  Leg& leg = NewLeg(static_cast<int>(device), stations_.at(device).number);
  leg.origin = LINECALLORIGIN_OUTBOUND;
  leg.caller = leg.number;
  Events().CallAppeared(leg.id);
  *call = leg.id;
  const LONG request = reply(0);
  if (!destination.empty() && ports_ != nullptr && ports_->RingsPhoneFirst(leg.number)) {
    // The phone rings first; the destination is called once it answers.
    leg.dialed = destination;
    leg.waitsForPhone = true;
    SetState(leg, LINECALLSTATE_DIALTONE, LINEDIALTONEMODE_INTERNAL);
    return request;
  }
  SetState(leg, LINECALLSTATE_DIALTONE, LINEDIALTONEMODE_INTERNAL);
  if (!destination.empty()) {
    leg.dialed = destination;
    SetState(leg, LINECALLSTATE_DIALING, 0);
    Route(leg, destination, LINECALLREASON_DIRECT, {});
  }
  return request;
}

LONG TSoftExchange::BlindTransfer(DWORD call, const std::string& destination, const TReply& reply) {
  Leg* leg = FindLeg(call);
  if (leg == nullptr) return LINEERR_INVALCALLHANDLE;
  Leg* peer = FindLeg(leg->peer);
  const bool transferable = leg->state == LINECALLSTATE_CONNECTED || leg->state == LINECALLSTATE_OFFERING ||
                            leg->state == LINECALLSTATE_ONHOLD;
  if (!transferable || peer == nullptr) return LINEERR_INVALCALLSTATE;
  if (!IsDialable(destination)) return LINEERR_INVALADDRESS;
  if (destination == leg->number) return LINEERR_TARGETSELF;
  const LONG request = reply(0);
  Unlink(*leg);
  const std::string transferrer = leg->number;
  GoIdle(*leg);
  Route(*peer, destination, LINECALLREASON_TRANSFER, transferrer);
  return request;
}

LONG TSoftExchange::SetupTransfer(DWORD call, const TReply& reply, DWORD* consultCall) {
  *consultCall = 0;
  Leg* leg = FindLeg(call);
  if (leg == nullptr) return LINEERR_INVALCALLHANDLE;
  if (leg->state != LINECALLSTATE_CONNECTED) return LINEERR_INVALCALLSTATE;
  if (leg->related != 0) return LINEERR_INVALCALLSTATE;
  Leg& consult = NewLeg(leg->device, leg->number);
  consult.origin = LINECALLORIGIN_OUTBOUND;
  consult.caller = consult.number;
  consult.related = leg->id;
  leg->related = consult.id;
  Events().CallAppeared(consult.id);
  *consultCall = consult.id;
  const LONG request = reply(0);
  SetState(*leg, LINECALLSTATE_ONHOLDPENDTRANSFER, 0);
  SetState(consult, LINECALLSTATE_DIALTONE, LINEDIALTONEMODE_INTERNAL);
  return request;
}

LONG TSoftExchange::CompleteTransfer(DWORD heldCall, DWORD consultCall, const TReply& reply) {
  Leg* held = FindLeg(heldCall);
  if (held == nullptr) return LINEERR_INVALCALLHANDLE;
  Leg* consult = FindLeg(consultCall);
  if (consult == nullptr) return LINEERR_INVALCONSULTCALLHANDLE;
  if (held->state != LINECALLSTATE_ONHOLDPENDTRANSFER && held->state != LINECALLSTATE_ONHOLD) {
    return LINEERR_INVALCALLSTATE;
  }
  const bool consultAnswered = consult->state == LINECALLSTATE_CONNECTED;
  if (!consultAnswered && consult->state != LINECALLSTATE_RINGBACK) return LINEERR_INVALCALLSTATE;
  Leg* heldParty = FindLeg(held->peer);
  Leg* consultParty = FindLeg(consult->peer);
  if (heldParty == nullptr || consultParty == nullptr) return LINEERR_INVALCALLSTATE;
  const LONG request = reply(0);
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
      SetFarEndState(*heldParty, LINECALLSTATE_RINGBACK);
    } else {
      SetState(*heldParty, LINECALLSTATE_RINGBACK, 0);
      ChangeInfo(*heldParty, LINECALLINFOSTATE_CALLEDID);
    }
  }
  return request;
}

LONG TSoftExchange::Forward(DWORD device, bool forwarded, const std::string& destination, const TReply& reply) {
  if (!destination.empty() && !IsDialable(destination)) return LINEERR_INVALADDRESS;
  const LONG request = reply(0);
  TDeviceData& station = stations_.at(device);
  station.forwarded = forwarded;
  station.forwardTo = destination;
  Events().AddressStateChanged(device, LINEADDRESSSTATE_FORWARD);
  return request;
}

void TSoftExchange::Released(DWORD call) { EraseIfUnused(call); }

void TSoftExchange::SetPrompts(std::shared_ptr<const TPromptSet> prompts) {
  const auto lock = Lock();
  prompts_ = std::move(prompts);
}

LONG TSoftExchange::DevSpecific(DWORD call, const std::string& params, const TReply& reply) {
  Leg* leg = FindLeg(call);
  if (leg == nullptr) return LINEERR_INVALCALLHANDLE;
  Leg* party = FindLeg(leg->peer);
  if (party == nullptr) return LINEERR_INVALCALLSTATE;
  std::vector<std::string> missing;
  TPromptPlayback playback;
  try {
    playback = TPromptPlayback::FromRequest(params, prompts_.get(), &missing);
  } catch (const std::invalid_argument&) {
    return LINEERR_INVALPARAM;
  }
  const LONG request = reply(0);
  // A missing prompt never fails the call: it is left out, with one line each.
  for (const std::string& name : missing) LogFormat("Exchange: prompt %s is missing; skipped", {name});
  if (playback.sound != nullptr) {
    std::string names;
    for (const std::string& name : playback.names) names += (names.empty() ? "" : ", ") + name;
    LogFormat("Exchange: %s hears %s (%s)", {party->number, playback.label, names});
  }
  party->playback = std::move(playback);
  Publish(*party);
  return request;
}

std::string TSoftExchange::Record(DWORD call, const TRecordRequest& request) {
  const Leg* leg = FindLeg(call);
  if (leg == nullptr || leg->IsFarEnd()) return "no such call";
  if (leg->state == LINECALLSTATE_IDLE || leg->state == LINECALLSTATE_DISCONNECTED) return "the call is over";
  if (ports_ == nullptr) return "the call has no media";
  return ports_->Record(leg->id, leg->peer, request);
}

}  // namespace vantrel::telephony
