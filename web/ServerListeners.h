// The gateway's listener servants: each hands what the server reports to the link, nothing more.
#pragma once

#include <string>
#include <utility>

#include "ServerLink.h"
#include "Vantrel.hh"

namespace vantrel::web {

class TWebLineEvents : public POA_LineEvents {
 public:
  TWebLineEvents(TServerLink& link, std::string line) : link_(link), line_(std::move(line)) {}
  void DoCallEvent(::CallEventType type, CORBA::Long call) override { link_.NoteCallEvent(line_, type, call); }

 private:
  TServerLink& link_;
  const std::string line_;
};

class TWebQueueEvents : public POA_QueueEvents {
 public:
  explicit TWebQueueEvents(TServerLink& link) : link_(link) {}
  void DoQueueFiguresChanged(const ::QueueFiguresSeq& figures) override { link_.NoteQueueFigures(figures); }

 private:
  TServerLink& link_;
};

class TWebOperatorsEvents : public POA_ContainerEvents {
 public:
  explicit TWebOperatorsEvents(TServerLink& link) : link_(link) {}
  void DoItemAdd(CORBA::Long) override { link_.NoteOperatorsChanged(); }
  void DoItemDelete(CORBA::Long) override { link_.NoteOperatorsChanged(); }
  void DoItemChange(CORBA::Long) override { link_.NoteOperatorsChanged(); }

 private:
  TServerLink& link_;
};

}  // namespace vantrel::web
