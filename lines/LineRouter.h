#pragma once

#include <omniORB4/CORBA.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "database/CallLogRow.h"
#include "lines/Callback.h"
#include "lines/RoutedCall.h"
#include "Vantrel.hh"
#include "routing/CallQueue.h"
#include "support/PromptSet.h"
#include "telephony/tapi/Tapi.h"

namespace vantrel {

class TLine_Impl;
class TRules_Impl;

// The routing of the calls offered on one line by its rule (see RoutedCall.h for a routed call's states): the
// routed callers and the requests issued for them, ring time-outs, the wait in the queue and the serving of it,
// the rule's and the operators' accounting, and the queue-log rows. The line's event steps hand it their part
// of each event; the line's remote front never touches it. Only the telephony thread uses it.
//
// Every step here never waits for the telephony layer: what it asks for (answer, transfer set-up, dial, drop,
// completion) is issued without waiting and goes on when the call's next state arrives, so one message's
// handling never pumps the next one and the nesting cannot grow with the load.
class TLineRouter {
 public:
  explicit TLineRouter(TLine_Impl& line) : line_(line) {}
  TLineRouter(const TLineRouter&) = delete;
  TLineRouter& operator=(const TLineRouter&) = delete;

  // OFFERING: the rule is asked for a target; a call it routes is marked "RULED" and answered by the server.
  void OnOffering(CORBA::Long call);
  // CONNECTED: the answered caller gets its next target (a consultation call is set up) or waits for its group;
  // a consultation call whose target answered completes the transfer.
  void OnConnected(CORBA::Long call);
  // Dial tone: true when it was a consultation call's, which then dials its target (no Dialtone event for it).
  bool OnDialtone(CORBA::Long call);
  // BUSY of a routed call: a consultation call goes, and its end brings the caller back for the next target.
  void OnBusy(CORBA::Long call);
  // IDLE: a routed caller that hung up; a consultation call still under way is dropped.
  void OnIdle(CORBA::Long call);
  // The end of a routed caller's call, or of a consultation call (its member is free, the caller is routed on).
  void OnCallEnd(CORBA::Long call);
  // The call of the operator seated at the line finished: the talk is counted, and the callers next in line
  // are served now rather than at the next tick.
  void OnCallFinished();
  // A request issued without waiting was answered (0) or refused, or timed out.
  void OnReply(LONG requestId, LONG result);
  // Every tick: ring time-outs, the waiting callers, the seated operator's wrap-up, the queue figures' event.
  void OnTick(DWORD ticks);
  // Waiting callers whose turn came or whose wait ran out are taken off hold; the routing goes on from there.
  void ServeWaitingCallers();
  // ONHOLD: a caller held in line whose rule offers callbacks keeps its digits heard.
  void OnHeld(CORBA::Long call);
  // A digit the caller pressed (DTMF, from the exchange or a trunk's RFC 4733 events): a choice in the menu.
  void OnDigit(CORBA::Long call, char digit);

 private:
  enum class TRequest { Answer, SetupTransfer, Dial, CompleteTransfer, Drop, Hold };

  bool ApplyRule(CORBA::Long call, bool increment, std::string& result, TRoutedCall& routed,
                 CORBA::Long* waitingGroup = nullptr);
  TRoutedCall* RoutedCallOf(CORBA::Long call);  // by the caller's or the consultation call's handle
  // Notes the request just issued without waiting, when there is one, so that its refusal reaches the routing.
  void TrackRequest(LONG before, CORBA::Long caller, TRequest kind);
  void DropConsultation(TRoutedCall& routed);
  void ForgetEndedRoutedCalls();
  void CheckRingTimeouts(DWORD ticks);
  // The caller waits in the queue for the group; false when the line of callers is full (counted as overflow).
  bool StartWaiting(TRoutedCall& routed, CORBA::Long group);
  void TakeOffHold(TRoutedCall& routed, const char* why);
  // The same at the lines where the callers next in line wait, now (an operator's call has ended).
  void ServeNextCallers();
  // A routed caller that ended before it was put through counts as abandoned.
  void NoteCallerGone(TRoutedCall& routed);
  // The caller goes on to the rule's next action without waiting (any more): counted and logged.
  void NoteOverflow(const TRoutedCall& routed);
  // The caller is put through to the target that answered: counted for the rule, and the operator there will wrap
  // up after the call.
  void NoteCallerAnswered(TRoutedCall& routed, const std::string& target);
  // A rule with Record=1: the call put through to the target is recorded at the target's line.
  void RecordPutThrough(const TRoutedCall& routed, const std::string& target);
  // The operator at the line with that number is no longer held for a routed call.
  void ReleaseMemberAt(const std::string& phoneNumber);
  // The operator seated at the line with that number, when ready, pauses with the no-answer reason.
  void PauseOperatorAt(const std::string& phoneNumber);
  static constexpr CORBA::Long kPausedByNoAnswer = -1;
  // The server's line with that number, and the operator seated there; nil when there is none.
  ::Line_ptr LineAt(const std::string& phoneNumber);
  ::Operator_ptr OperatorAt(const std::string& phoneNumber);
  // One row of the queue log for the routed caller; operatorPhone the line the operator sits at, when one is named.
  void WriteQueueLog(TQueueEvent event, const TRoutedCall& routed, const std::string& operatorPhone, long seconds,
                     long reason = 0);
  // What routed callers hear (LineAnnouncements.cpp). At the caller's first CONNECTED: the rule's greeting starts,
  // the caller held while it plays; true when it did (the routing goes on once it has been heard).
  bool StartGreeting(TRoutedCall& routed);
  // Every tick: a greeting heard takes the caller off hold; a waiting caller's announcement is due.
  void AnnounceToCallers();
  // The prompts to the party the caller's call talks to, under the label status shows; false when the exchange
  // refused.
  bool PlayToCaller(TRoutedCall& routed, const std::string& label, const std::vector<std::string>& prompts);
  std::shared_ptr<const TPromptSet> Prompts();
  // The caller's menu (LineMenu.cpp). At its CONNECTED, after the greeting: the line's rule's menu plays, the caller
  // stays connected to choose; true when it did (the routing goes on with the rule chosen).
  bool StartMenu(TRoutedCall& routed);
  bool HasMenu();  // the line's rule has one
  bool PlayMenu(TRoutedCall& routed, const std::string& prompt, long timeoutSeconds);
  // Every tick: callers who did not choose in time get the menu's default.
  void EndMenusDue();
  // The call goes on with that rule (-1: the line's own), chosen with the digit (0: the menu's default).
  void TakeRule(TRoutedCall& routed, CORBA::Long rule, long digit);
  void ChooseFromMenu(TRoutedCall& routed, CORBA::Long rule, long digit);
  // The rule that routes the caller: the line's, or the one chosen in its menu.
  ::Rule_ptr RuleOf(const TRoutedCall& routed);
  // Callbacks (LineCallbacks.cpp: the offer, the request, the CRM's rows and a restart; LineCallbackCalls.cpp: the
  // calls to the operator and to the caller). The rule's callback settings when the caller's rule offers callbacks
  // at this line (an outer line, a caller's number to call), else none.
  std::optional<::RuleCallback> CallbackOffer(const TRoutedCall& routed);
  // Digit 1 of a waiting caller: true when it asked for a callback.
  bool RequestCallback(TRoutedCall& routed);
  // Every tick: confirmations heard, retries due, calls that rang out, the callbacks an earlier run left.
  void TickCallbacks();
  void LoadCallbacks();
  // The callback's turn in the queue (key), a member of its group being ready: false when none could be taken.
  bool ServeCallback(TCallback& callback, const TQueueCallerKey& key);
  // The callback waits in line again, with its place; the operator held for it is free.
  void CallbackBackInLine(TCallback& callback, const char* why);
  // A call to the caller did not reach them: the next attempt later, or the callback failed.
  void EndCallbackAttempt(TCallback& callback, const char* why);
  void FailCallback(TCallback& callback, const char* why);
  void DropCallbackCall(CORBA::Long call);
  // Its row in the CRM (the latest says where it stands), and its entry on the rules' board.
  void SaveCallback(const TCallback& callback);
  void ShowCallback(const TCallback& callback);
  void WriteCallbackLog(TQueueEvent event, const TCallback& callback, const std::string& operatorPhone, long reason);
  // A queue-log row of this routing line (LineRouter.cpp): now unless the row has its time, the line's number, the
  // operator's number and who sits there; handed to the call log.
  void WriteRoutingRow(TCallLogRow row, const std::string& operatorPhone);
  TCallback* CallbackOfCall(CORBA::Long call);
  TCallback* CallbackAskedBy(CORBA::Long caller);
  // The routing's steps for the calls of a callback; true when the call was one.
  bool OnCallbackConnected(CORBA::Long call);
  bool OnCallbackDialtone(CORBA::Long call);
  bool OnCallbackBusy(CORBA::Long call);
  bool OnCallbackCallEnd(CORBA::Long call);
  // The call that asked for a callback ended (CallingBack): the callback waits on its own.
  void OnCallbackCallerGone(TRoutedCall& routed);
  ::Rule_ptr RuleByID(CORBA::Long rule);
  static long SecondsSince(TRoutedCall::TClock::time_point since);
  // A waiting caller's key in the queue.
  TQueueCallerKey QueueKey(CORBA::Long caller) const;

  TLine_Impl& line_;
  // The routed callers by their handle, and the requests issued without waiting (by request id: the caller and
  // what was asked).
  std::map<CORBA::Long, TRoutedCall> routed_;
  std::map<LONG, std::pair<CORBA::Long, TRequest>> requests_;
  std::shared_ptr<const TPromptSet> prompts_;  // taken at the first use
  // The callbacks of the line's callers by their key, and the requests issued for their calls (request id: key).
  std::map<std::string, TCallback> callbacks_;
  std::map<LONG, std::string> callbackRequests_;
  long lastCallbackHandle_ = 0;  // each callback's queue handle is a new negative number
  bool callbacksLoaded_ = false;  // the callbacks an earlier run left were taken from the CRM
  TCallback::TClock::time_point nextCallbackLoad_{};
  bool callbackOfferRefusedLogged_ = false;
  bool callbackLoadFailureLogged_ = false;
};

}  // namespace vantrel
