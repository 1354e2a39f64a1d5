// The caller's menu of a line's rule: its prompt plays to the connected caller, whose digit (barge-in: during the
// prompt too) chooses the rule that routes the call on; a wrong digit plays it again, no digit in time or too many
// wrong ones take the menu's default.
#include <chrono>
#include <vector>

#include "lines/LineInternal.h"
#include "lines/LineLib.h"
#include "lines/LineRouter.h"
#include "model/Servant.h"
#include "routing/RuleLib.h"
#include "routing/RulesLib.h"
#include "support/VantrelCommonRoutines.h"
#include "telephony/PromptPlayback.h"
#include "telephony/diZuduUtils.h"

namespace vantrel {

using telephony::TTapiCall;
using TState = TRoutedCall::TState;

namespace {
constexpr int kMenuRepeats = 2;  // after a wrong digit; the next wrong one takes the default
}  // namespace

::Rule_ptr TLineRouter::RuleOf(const TRoutedCall& routed) {
  if (!routed.RuleChosen) return line_.GetRule();
  const ::Rules_var rules = line_.GetRules();
  if (CORBA::is_nil(rules)) return ::Rule::_nil();
  return ::Rule::_narrow(::ContainerItem_var(rules->GetItemByID(routed.Rule)));
}

bool TLineRouter::PlayMenu(TRoutedCall& routed, const std::string& prompt, long timeoutSeconds) {
  const auto length = Prompts()->Length(prompt);
  if (length.count() == 0) {
    LogFormat("Prompts: %s is missing; skipped", {prompt});
    return false;
  }
  if (!PlayToCaller(routed, "menu", {prompt})) return false;
  routed.ChooseUntil = TRoutedCall::TClock::now() + length + std::chrono::seconds(timeoutSeconds);
  return true;
}

bool TLineRouter::HasMenu() {
  const ::Rule_var rule = line_.GetRule();
  const TLocalServant<TRule_Impl> local{rule.in()};
  return local && !local->GetMenu().Prompt.empty();
}

bool TLineRouter::StartMenu(TRoutedCall& routed) {
  if (routed.MenuHeard) return false;
  routed.MenuHeard = true;
  const ::Rule_var rule = line_.GetRule();
  const TLocalServant<TRule_Impl> local{rule.in()};
  if (!local) return false;
  const TRuleMenu menu = local->GetMenu();
  if (menu.Prompt.empty()) return false;
  TTapiCall* caller = line_.GetCallByHandle(routed.Caller());
  if (caller == nullptr || caller->IsOnHold() || !caller->IsConnected()) return false;
  if (!PlayMenu(routed, menu.Prompt, menu.TimeoutSeconds)) {
    // Unheard, the menu cannot be answered: the call goes on as if no digit came.
    TakeRule(routed, menu.DefaultRule, 0);
    return false;
  }
  // Connected, not held: the caller's digits reach the line while the menu plays.
  routed.Transition(TState::Menu, "the rule's menu plays");
  return true;
}

void TLineRouter::TakeRule(TRoutedCall& routed, CORBA::Long rule, long digit) {
  if (rule >= 0 && rule != routed.Rule) {
    const ::Rules_var all = line_.GetRules();
    ::Rule_var chosen =
        CORBA::is_nil(all) ? ::Rule::_nil() : ::Rule::_narrow(::ContainerItem_var(all->GetItemByID(rule)));
    if (CORBA::is_nil(chosen)) {
      // Removed since it was loaded: the line's own rule goes on.
      LogFormat("routing %d: rule %d of the menu is gone",
                {static_cast<long>(routed.Caller()), static_cast<long>(rule)});
    } else {
      // The menu's rule handed the call on; the chosen one counts it as offered from here.
      if (const auto rules = line_.LocalRules()) {
        rules->Queue().NoteOverflowed(routed.Rule);
        rules->Queue().NoteOffered(rule, chosen->GetQueueSettings().ServiceLevelSeconds);
      }
      routed.Rule = rule;
      routed.RuleChosen = true;
      routed.ActionIndex = 0;
      routed.Restart = false;
    }
  }
  LogFormat("routing %d: the menu chose rule %d (digit %d)",
            {static_cast<long>(routed.Caller()), static_cast<long>(routed.Rule), digit});
  WriteQueueLog(TQueueEvent::MenuChosen, routed, {}, SecondsSince(routed.OfferedAt), digit);
}

void TLineRouter::ChooseFromMenu(TRoutedCall& routed, CORBA::Long rule, long digit) {
  TakeRule(routed, rule, digit);
  if (TTapiCall* caller = line_.GetCallByHandle(routed.Caller())) {
    // What is left of the menu's prompt stops: the caller is routed now.
    try {
      const telephony::TAsyncRequests async(*line_.tapiLine_);
      caller->DevSpecific("stop");
    } catch (const telephony::ETapiError& error) {
      LogFormat("routing %d: the menu not stopped: %s",
                {static_cast<long>(routed.Caller()), telephony::TapiErrorText(error.ErrorCode)});
    }
  }
  routed.Transition(TState::Answered, digit > 0 ? "the caller chose in the menu" : "the menu's default");
  OnConnected(routed.Caller());
}

void TLineRouter::OnDigit(CORBA::Long call, char digit) {
  const auto found = routed_.find(call);
  // Digit 1 of a caller waiting in line may ask for a callback (never during the greeting or the menu).
  if (found != routed_.end() && found->second.State() == TState::Waiting && digit == '1') {
    RequestCallback(found->second);
    return;
  }
  if (found == routed_.end() || found->second.State() != TState::Menu) return;
  TRoutedCall& routed = found->second;
  const ::Rule_var rule = line_.GetRule();
  const TLocalServant<TRule_Impl> local{rule.in()};
  const TRuleMenu menu = local ? local->GetMenu() : TRuleMenu{};
  const CORBA::Long chosen = digit >= '1' && digit <= '9' ? menu.Choices[digit - '0'] : -1;
  if (chosen >= 0) {
    ChooseFromMenu(routed, chosen, digit - '0');
    return;
  }
  if (routed.MenuRepeats >= kMenuRepeats) {
    LogFormat("routing %d: wrong digit %s in the menu again; its default",
              {static_cast<long>(call), std::string(1, digit)});
    ChooseFromMenu(routed, menu.DefaultRule, 0);
    return;
  }
  ++routed.MenuRepeats;
  LogFormat("routing %d: wrong digit %s in the menu; it plays again", {static_cast<long>(call), std::string(1, digit)});
  if (!PlayMenu(routed, menu.Prompt, menu.TimeoutSeconds)) ChooseFromMenu(routed, menu.DefaultRule, 0);
}

void TLineRouter::EndMenusDue() {
  const auto now = TRoutedCall::TClock::now();
  std::vector<CORBA::Long> due;
  for (const auto& [handle, routed] : routed_) {
    if (routed.State() == TState::Menu && now >= routed.ChooseUntil) due.push_back(handle);
  }
  if (due.empty()) return;
  const ::Rule_var rule = line_.GetRule();
  const TLocalServant<TRule_Impl> local{rule.in()};
  const CORBA::Long fallback = local ? local->GetMenu().DefaultRule : -1;
  for (const CORBA::Long handle : due) {
    const auto found = routed_.find(handle);
    if (found == routed_.end() || found->second.State() != TState::Menu) continue;
    LogFormat("routing %d: no choice in the menu; its default", {static_cast<long>(handle)});
    line_.Guard("TLine_Impl.EndMenusDue", [&] { ChooseFromMenu(found->second, fallback, 0); });
  }
}

}  // namespace vantrel
