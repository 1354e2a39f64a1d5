#include "CallRecorder.h"

#include <algorithm>
#include <stdexcept>

#include "support/VantrelCommonRoutines.h"

namespace vantrel::telephony {

TCallRecorder::TCallRecorder(std::filesystem::path folder, std::chrono::milliseconds flushEvery)
    : folder_(std::move(folder)), flushEvery_(flushEvery) {
  thread_ = std::thread([this] { Run(); });
}

TCallRecorder::~TCallRecorder() {
  {
    const std::lock_guard guard(lock_);
    stopping_ = true;
    for (const auto& recording : recordings_) recording->Stop();
  }
  wake_.notify_all();
  thread_.join();
  FlushAll();
}

std::shared_ptr<TCallRecording> TCallRecorder::Start(const std::string& relative) {
  const std::filesystem::path path = std::filesystem::path(relative).lexically_normal();
  if (relative.empty() || path.is_absolute() || path.empty() || *path.begin() == ".." || path.filename().empty())
    throw std::invalid_argument("a recording's file must lie within the recordings' folder: " + relative);
  std::shared_ptr<TCallRecording> recording;
  try {
    recording = std::make_shared<TCallRecording>(folder_ / path);
  } catch (const std::runtime_error& failed) {
    LogErrorLine(std::string("Recording not started: ") + failed.what());
    throw;
  }
  const std::lock_guard guard(lock_);
  recordings_.push_back(recording);
  return recording;
}

std::size_t TCallRecorder::Active() const {
  const std::lock_guard guard(lock_);
  return recordings_.size();
}

void TCallRecorder::Run() {
  std::unique_lock guard(lock_);
  while (!stopping_) {
    wake_.wait_for(guard, flushEvery_, [this] { return stopping_; });
    if (stopping_) break;
    guard.unlock();
    FlushAll();
    guard.lock();
  }
}

void TCallRecorder::FlushAll() {
  const std::lock_guard flushing(flushing_);
  std::vector<std::shared_ptr<TCallRecording>> recordings;
  {
    const std::lock_guard guard(lock_);
    recordings = recordings_;
  }
  std::vector<TCallRecording*> over;
  for (const auto& recording : recordings) {
    if (!recording->Flush())
      LogErrorLine("Recording stopped: " + recording->File().string() + ": " + recording->Problem());
    const TCallRecording::TState state = recording->State();
    if (state == TCallRecording::TState::Closed || state == TCallRecording::TState::Failed)
      over.push_back(recording.get());
  }
  const std::lock_guard guard(lock_);
  std::erase_if(recordings_, [&](const auto& recording) {
    return std::find(over.begin(), over.end(), recording.get()) != over.end();
  });
}

}  // namespace vantrel::telephony
