// What a line's routed callers hear: the rule's greeting when the line answers, and while they wait their place
// in line and the expected wait, spoken by the exchange between the music (telephony/PromptPlayback.h).
#include <chrono>
#include <optional>

#include "lines/LineLib.h"
#include "lines/LineRouter.h"
#include "lines/CallerAnnouncement.h"
#include "model/Servant.h"
#include "routing/RuleLib.h"
#include "routing/RulesLib.h"
#include "support/VantrelCommonRoutines.h"
#include "telephony/PromptPlayback.h"

namespace vantrel {

using telephony::TTapiCall;
using TState = TRoutedCall::TState;

std::shared_ptr<const TPromptSet> TLineRouter::Prompts() {
  if (prompts_) return prompts_;
  std::string folder;
  if (::Environment_var environment = line_.GetEnvironment(); !CORBA::is_nil(environment)) {
    CORBA::String_var path = environment->GetIniFilesPath();
    folder = path.in();
  }
  // Without an INI folder there are no prompts: every one is missing, and skipped.
  prompts_ = folder.empty() ? std::make_shared<const TPromptSet>() : TPromptSet::Shared(folder);
  return prompts_;
}

bool TLineRouter::PlayToCaller(TRoutedCall& routed, const std::string& label, const std::vector<std::string>& prompts) {
  TTapiCall* caller = line_.GetCallByHandle(routed.Caller());
  if (caller == nullptr) return false;
  try {
    const telephony::TAsyncRequests async(*line_.tapiLine_);
    caller->DevSpecific(telephony::TPromptPlayback::Request(label, prompts));
  } catch (const telephony::ETapiError& error) {
    LogFormat("routing %d: no prompts played: %s",
              {static_cast<long>(routed.Caller()), telephony::TapiErrorText(error.ErrorCode)});
    return false;
  }
  std::string names;
  for (const std::string& name : prompts) names += (names.empty() ? "" : ", ") + name;
  LogFormat("routing %d: played %s (%s)", {static_cast<long>(routed.Caller()), label, names});
  return true;
}

bool TLineRouter::StartGreeting(TRoutedCall& routed) {
  if (routed.Greeted) return false;
  routed.Greeted = true;
  const ::Rule_var rule = line_.GetRule();
  if (CORBA::is_nil(rule)) return false;
  const ::RuleCallerExperience_var experience = rule->GetCallerExperience();
  const std::string greeting = experience->Greeting.in();
  if (greeting.empty()) return false;
  const auto length = Prompts()->Length(greeting);
  if (length.count() == 0) {
    LogFormat("Prompts: %s is missing; skipped", {greeting});
    return false;
  }
  TTapiCall* caller = line_.GetCallByHandle(routed.Caller());
  if (caller == nullptr || caller->IsOnHold() || !caller->IsConnected()) return false;
  if (!PlayToCaller(routed, greeting, {greeting})) return false;
  routed.Transition(TState::Greeting, "the rule's greeting plays");
  routed.HeardUntil = TRoutedCall::TClock::now() + length;
  WriteQueueLog(TQueueEvent::GreetingPlayed, routed, {}, SecondsSince(routed.OfferedAt));
  // Held, the caller is nobody's yet: the routing line's next CONNECTED (off hold) routes it.
  const telephony::TAsyncRequests async(*line_.tapiLine_);
  const LONG before = line_.tapiLine_->LastRequestID();
  caller->Hold();
  TrackRequest(before, routed.Caller(), TRequest::Hold);
  return true;
}

void TLineRouter::AnnounceToCallers() {
  if (routed_.empty()) return;
  const auto now = TRoutedCall::TClock::now();
  // The Rules container only once a caller's announcement is due: most ticks none is.
  std::optional<TLocalServant<TRules_Impl>> due;
  for (auto& [handle, routed] : routed_) {
    if (routed.IsOver()) continue;
    if (routed.State() == TState::Greeting) {
      if (now < routed.HeardUntil) continue;
      routed.Transition(TState::Answered, "the greeting was heard");
      line_.Unhold(handle);
      continue;
    }
    if (routed.State() != TState::Waiting || now < routed.NextAnnouncement) continue;
    // The settings of the caller's own rule (the line's, or the one chosen in the menu), when it is due.
    const ::Rule_var rule = RuleOf(routed);
    if (!due) due.emplace(line_.LocalRules());
    const TLocalServant<TRules_Impl>& rules = *due;
    if (CORBA::is_nil(rule) || !rules) continue;
    const ::RuleCallerExperience_var experience = rule->GetCallerExperience();
    const bool offersCallback = CallbackOffer(routed).has_value();
    if (!experience->AnnouncePosition && !experience->AnnounceWait && !offersCallback) continue;
    // On the caller's own beat, so that the tick's lateness does not add up; a caller whose beat is far behind (it
    // starts to wait, or waits again) starts a new one.
    const auto every = std::chrono::seconds(experience->AnnounceEvery);
    routed.NextAnnouncement = now - routed.NextAnnouncement < every ? routed.NextAnnouncement + every : now + every;
    const long place = rules->Queue().PlaceOf(QueueKey(handle));
    long wait = -1;
    if (experience->AnnounceWait) {
      const TLocalServant<TRule_Impl> local{rule.in()};
      for (const auto& figures : rules->Queue().Figures(true)) {
        if (figures.rule != routed.Rule || figures.counted.talks == 0 || !local) continue;
        const double handleSeconds =
            figures.counted.talkSeconds / figures.counted.talks + local->GetQueueSettings().WrapUp;
        wait = ExpectedWaitSeconds(place, handleSeconds, local->ReadyMembersAt(routed.ActionIndex, 100));
      }
    }
    TCallerAnnouncement announcement =
        MakeCallerAnnouncement(place, wait, experience->AnnouncePosition, experience->AnnounceWait);
    if (offersCallback) {
      // After the place and the wait: the choice not to wait.
      if (announcement.label.empty()) announcement.label = "callback offer";
      announcement.prompts.emplace_back("callback-offer");
    }
    if (announcement.prompts.empty()) continue;
    if (PlayToCaller(routed, announcement.label, announcement.prompts) &&
        (experience->AnnouncePosition || experience->AnnounceWait))
      WriteQueueLog(TQueueEvent::PositionAnnounced, routed, {}, SecondsSince(routed.OfferedAt), place);
  }
}

}  // namespace vantrel
