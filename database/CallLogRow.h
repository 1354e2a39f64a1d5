#pragma once

#include <string>

namespace vantrel {

// What happened in a rule's queue, as tq_VantrelQueueLog's QueueEventType numbers it.
enum class TQueueEvent {
  None = 0,             // the row is a call-log row of tq_VantrelLog
  Entered = 1,          // the caller starts to wait for the group
  Connected = 2,        // the caller is put through to the operator who answered (Seconds: since offered)
  Abandoned = 3,        // the caller hung up before that (Seconds: since offered)
  RingNoAnswer = 4,     // the operator's phone rang the caller out
  Overflowed = 5,       // the wait ran out or the line of callers was full: on to the rule's next action
  OperatorPaused = 6,   // Reason: the pause reason
  OperatorResumed = 7,  // ready again
  OperatorWrapUp = 8,   // after-call work begins
  OperatorLoggedIn = 9,    // the operator sits down at a line (the line's number as the operator's phone)
  OperatorLoggedOut = 10,  // the operator leaves the line
  OperatorBusy = 11,       // busy by choice (not on a call the server routed)
  CallEnded = 12,          // a routed call the operator answered ends (Seconds: talk time since the answer)
  // A state ends (written before the row of what follows, also at a logout); Seconds: how long it lasted, by the
  // server's clock, so that a report sums lengths instead of pairing rows (and a change of the wall clock between
  // does not count). OperatorLoggedOut's Seconds are the time logged in.
  OperatorPauseEnded = 13,   // Reason: the pause's reason (a new reason while paused ends the pause of the old one)
  OperatorWrapUpEnded = 14,  // Rule_id: the rule of the call wrapped up
  OperatorBusyEnded = 15,
  GreetingPlayed = 16,     // the rule's greeting starts for the caller
  PositionAnnounced = 17,  // the caller hears its place in line (Reason: the place) or the expected wait
  MenuChosen = 18,         // the caller's menu sends the call on with a rule (Rule_id); Reason: the digit, 0 for the
                           // menu's default (no digit in time, or wrong ones)
  // A recording of the call at the line (ConnectedPhoneNumber: the line's number; Operator_id: who sits there).
  RecordingStarted = 19,
  RecordingPaused = 20,
  RecordingResumed = 21,
  RecordingStopped = 22,  // Seconds: its length, paused spans included; Reason: the paused seconds
  // A party joins or leaves the conference at the line's station (CallerPhoneNumber: the party, the station's own
  // number for the operator; CallHandle: the key of the call the conference grew from). Reason: the parties in the
  // conference after the row, the station counted; Seconds (left): the party's time in the conference.
  ConferenceJoined = 23,
  ConferenceLeft = 24,
  // A supervisor listening in on the call at the line (ConnectedPhoneNumber, the queue log's OperatorPhoneNumber:
  // the supervisor's station; Operator_id: the operator at the line; Reason: the mode, 0 listen, 1 whisper, 2 barge).
  MonitorStarted = 25,
  MonitorEnded = 26,  // Seconds: how long the monitor ran
  // A caller's callback (the caller's number in CallerPhoneNumber, the call key of the call that asked for it).
  CallbackRequested = 27,  // the waiting caller pressed 1 and will be called back
  CallbackAttempted = 28,  // the operator answered and the caller's number is called; Reason: the attempt, from 1
  CallbackAnswered = 29,   // the caller answered and is put through (ConnectedPhoneNumber: the operator's line)
  CallbackFailed = 30,     // no attempt reached the caller; Reason: the attempts made
};

// One row of tq_VantrelLog as the line produced it, or of tq_VantrelQueueLog when QueueEvent is set; the writer
// gives it its EventOrder when it is written.
struct TCallLogRow {
  int CallEventType = 0;
  std::string CallHandle;          // the call key, "yyyymmddhhnnss-handle"
  std::string BeginTime, EndTime;  // "yyyy-mm-dd hh:mm:ss"
  std::string LinePhoneNumber;
  int LineIsOuter = 0;
  std::string CallerPhoneNumber, CalledPhoneNumber, ConnectedPhoneNumber;
  long Operator_id = 0;
  long Task_id = 0;
  std::string ParentCallHandle, ConsultCallHandle;
  // A queue-log row: the event, its time in BeginTime; the call key, line, caller and the operator's phone (in
  // ConnectedPhoneNumber) and ID as above.
  TQueueEvent QueueEvent = TQueueEvent::None;
  long Rule_id = 0;
  long Seconds = 0;
  long Reason = 0;
  // A recording's row of tq_VantrelRecording when File is set (relative to the recordings' folder): the call key,
  // line and operator as above, its start in BeginTime, its length in Seconds, of them paused PausedSeconds.
  std::string File;
  long PausedSeconds = 0;
  // A callback's row of tq_VantrelCallback when CallbackState is set (the state's name): the callback's key in
  // CallHandle, its rule, line and caller as above, when it was asked for in BeginTime, its next attempt in EndTime
  // (empty: none due), the attempts made in Reason.
  std::string CallbackState;

  bool IsRecording() const { return !File.empty(); }
  bool IsCallback() const { return !CallbackState.empty(); }
  bool operator==(const TCallLogRow&) const = default;
};

}  // namespace vantrel
