#include "SipRecordings.h"

#include <stdexcept>

namespace vantrel::telephony {

namespace {

bool Running(const TCallRecording& recording) {
  const TCallRecording::TState state = recording.State();
  return state == TCallRecording::TState::Recording || state == TCallRecording::TState::Paused;
}

}  // namespace

void TSipRecordings::SetRecorder(std::shared_ptr<TCallRecorder> recorder) {
  const std::lock_guard guard(lock_);
  recorder_ = std::move(recorder);
}

std::string TSipRecordings::Record(DWORD leg, DWORD peer, const TRecordRequest& request) {
  if (request.action == TRecordRequest::TAction::Start) return Start(leg, peer, request.file);
  const std::lock_guard guard(lock_);
  auto found = byLeg_.find(leg);
  if (found == byLeg_.end()) return "the call is not being recorded";
  if (request.action == TRecordRequest::TAction::Stop) {
    End(found);
    return {};
  }
  if (!found->second.recording->Pause(request.action == TRecordRequest::TAction::Pause))
    return "the recording has stopped: " + found->second.recording->Problem();
  return {};
}

std::string TSipRecordings::Start(DWORD leg, DWORD peer, const std::string& file) {
  const std::lock_guard guard(lock_);
  if (!recorder_) return "this server records no calls";
  if (auto found = byLeg_.find(leg); found != byLeg_.end()) {
    if (Running(*found->second.recording)) return "the call is being recorded already";
    byLeg_.erase(found);  // a recording the disk stopped: a new one may begin
  }
  // The room is the leg's own; a simulated party has no port and is silence in it.
  relay_.Join(leg, leg, TMediaMixer::TSide::Station);
  if (peer != 0) relay_.Join(peer, leg, TMediaMixer::TSide::Outside);
  std::shared_ptr<TCallRecording> recording;
  try {
    recording = recorder_->Start(file);
  } catch (const std::exception& failed) {
    relay_.Join(leg, 0, TMediaMixer::TSide::Station);
    if (peer != 0) relay_.Join(peer, 0, TMediaMixer::TSide::Outside);
    return std::string("the recording cannot be written: ") + failed.what();
  }
  if (!relay_.Record(leg, recording)) {
    recording->Stop();
    return "the call has no media";
  }
  byLeg_[leg] = TRecorded{recording, peer};
  return {};
}

void TSipRecordings::End(std::map<DWORD, TRecorded>::iterator recorded) {
  const DWORD leg = recorded->first;
  recorded->second.recording->Stop();
  relay_.Record(leg, nullptr);
  if (relay_.RoomOf(leg) == leg) relay_.Join(leg, 0, TMediaMixer::TSide::Station);
  const DWORD peer = recorded->second.peer;
  if (peer != 0 && relay_.RoomOf(peer) == leg) relay_.Join(peer, 0, TMediaMixer::TSide::Outside);
  byLeg_.erase(recorded);
}

void TSipRecordings::Linked(DWORD leg, DWORD peer) {
  const std::lock_guard guard(lock_);
  auto found = byLeg_.find(leg);
  if (found == byLeg_.end() || found->second.peer == peer) return;
  const DWORD earlier = found->second.peer;
  if (earlier != 0 && relay_.RoomOf(earlier) == leg) relay_.Join(earlier, 0, TMediaMixer::TSide::Outside);
  if (peer != 0) relay_.Join(peer, leg, TMediaMixer::TSide::Outside);
  found->second.peer = peer;
  // A room its last member left went with its recorder: the new one takes it on.
  if (Running(*found->second.recording)) relay_.Record(leg, found->second.recording);
}

void TSipRecordings::Gone(DWORD leg) {
  const std::lock_guard guard(lock_);
  if (auto found = byLeg_.find(leg); found != byLeg_.end()) End(found);
}

bool TSipRecordings::Recorded(DWORD leg) const {
  const std::lock_guard guard(lock_);
  auto found = byLeg_.find(leg);
  return found != byLeg_.end() && Running(*found->second.recording);
}

}  // namespace vantrel::telephony
