#pragma once

#include <string>

#include "model/ContainerLib.h"
#include "model/Listener.h"
#include "routing/CallQueue.h"
#include "routing/CallbackBoard.h"

namespace vantrel {

// All routing rules, with the ranking of group members and the fall-back number of the routing.
class TRules_Impl : public virtual POA_Rules, public TContainer_Impl {
 public:
  TRules_Impl();

  ::CallsDistributionType GetCallsDistributionType() override;
  void SetCallsDistributionType(::CallsDistributionType type) override;
  char* GetSystemPhoneNumber() override;
  void SetSystemPhoneNumber(const char* phoneNumber) override;
  ::QueueFiguresSeq* GetQueueFigures(CORBA::Boolean sinceMidnight) override;
  ::QueueServiceLevelSeq* GetServiceLevels(CORBA::Boolean sinceMidnight) override;
  ::QueueEvents_ptr GetQueueEventsListener() override;
  void SetQueueEventsListener(::QueueEvents_ptr listener) override;

  ::ContainerItem_ptr CreateItem(CORBA::Boolean assignIdentity) override;
  CORBA::Boolean DeleteItem(::ContainerItem_ptr item) override;
  CORBA::Boolean AssignFrom(::Base_ptr source) override;
  CORBA::Boolean LoadFromIniFile(const char* fileName, const char* section) override;
  CORBA::Boolean SaveToIniFile(const char* fileName, const char* section) override;

  // Inside the server: seconds a routed target may ring before the rule is asked for the next one; 0: no limit.
  int RingTimeout() const;
  void SetRingTimeout(int seconds);
  // Inside the server: a caller who hangs up within so many seconds is a short abandon ("ShortAbandonSeconds").
  int ShortAbandonSeconds() const;
  // Inside the server: whether an operator whose line rang a routed call out unanswered is paused
  // ("PauseOnNoAnswer").
  bool PauseOnNoAnswer() const;
  // Inside the server: the CRM group whose members may listen in on calls ("SupervisorGroup"); 0: nobody.
  int SupervisorGroup() const;
  // Inside the server: the callers waiting for groups, and the rules' service figures.
  TCallQueue& Queue() { return queue_; }
  // Inside the server: the callbacks still to be made, as their lines tell.
  TCallbackBoard& Callbacks() { return callbacks_; }
  // Sends the figures since midnight to the queue listener when they changed, at most every quarter second.
  void PublishQueueFigures();

 protected:
  void FillRuleItem(CORBA::Long index, ::RuleItem& record) override;

 private:
  std::string SystemPhoneNumber() const;

  mutable std::mutex settingsMutex_;
  CORBA::Long distribution_ = ::Loading;               // guarded by settingsMutex_
  std::string systemPhoneNumber_;                      // guarded by settingsMutex_
  int ringTimeout_ = 20;                               // guarded by settingsMutex_
  bool pauseOnNoAnswer_ = false;                       // guarded by settingsMutex_
  int shortAbandonSeconds_ = 5;                        // guarded by settingsMutex_
  int supervisorGroup_ = 0;                            // guarded by settingsMutex_
  TListener<::QueueEvents> queueListener_;             // guarded by settingsMutex_
  unsigned long publishedVersion_ = 0;                 // guarded by settingsMutex_
  std::chrono::steady_clock::time_point publishedAt_;  // guarded by settingsMutex_
  TCallQueue queue_;
  TCallbackBoard callbacks_;
};

}  // namespace vantrel
