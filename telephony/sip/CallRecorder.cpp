#include "CallRecorder.h"

#include <algorithm>
#include <cctype>
#include <ctime>
#include <optional>
#include <stdexcept>

#include "support/IniFile.h"
#include "support/VantrelCommonRoutines.h"

namespace vantrel::telephony {

TCallRecorder::TCallRecorder(std::filesystem::path folder, std::chrono::milliseconds flushEvery, int keepDays,
                             TRemovedBefore removedBefore)
    : folder_(std::move(folder)), flushEvery_(flushEvery), keepDays_(keepDays), removedBefore_(std::move(removedBefore)) {
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

std::filesystem::path TCallRecorder::ConfiguredFolder(const std::string& iniFolder) {
  const TMemIniFile ini((std::filesystem::path(iniFolder) / "Settings.ini").string());
  std::string folder = ini.ReadString("Recording", "Folder", "");
  if (folder.empty()) folder = "Recordings";
  const std::filesystem::path path(folder);
  return path.is_absolute() ? path : std::filesystem::path(iniFolder) / path;
}

int TCallRecorder::ConfiguredKeepDays(const std::string& iniFolder) {
  const TMemIniFile ini((std::filesystem::path(iniFolder) / "Settings.ini").string());
  return std::max(0, ini.ReadInteger("Recording", "KeepDays", 0));
}

std::size_t TCallRecorder::RemoveOlderThan(const std::filesystem::path& folder, int keepDays,
                                           std::string* oldestKept) {
  if (keepDays <= 0) return 0;
  const std::time_t cutoff =
      std::chrono::system_clock::to_time_t(std::chrono::system_clock::now() - std::chrono::hours(24) * keepDays);
  std::tm day{};
  ::localtime_r(&cutoff, &day);
  char oldest[11];
  std::strftime(oldest, sizeof oldest, "%Y-%m-%d", &day);
  if (oldestKept != nullptr) *oldestKept = oldest;
  std::size_t removed = 0;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    const std::string name = entry.path().filename().string();
    const bool isDay = name.size() == 10 && name[4] == '-' && name[7] == '-' &&
                       std::all_of(name.begin(), name.end(), [](char c) { return c == '-' || std::isdigit(c); });
    if (!isDay || name >= oldest || !entry.is_directory(error)) continue;
    std::size_t files = 0;
    for (const auto& file : std::filesystem::directory_iterator(entry.path(), error))
      files += file.path().extension() == ".wav" ? 1 : 0;
    if (std::filesystem::remove_all(entry.path(), error) == static_cast<std::uintmax_t>(-1) || error) {
      LogErrorLine("Recordings of " + name + " not removed: " + error.message());
      continue;
    }
    LogFormat("Recordings: removed %d of %s, older than %d days", {static_cast<long>(files), name, keepDays});
    removed += files;
  }
  return removed;
}

std::size_t TCallRecorder::Active() const {
  const std::lock_guard guard(lock_);
  return recordings_.size();
}

void TCallRecorder::Run() {
  std::unique_lock guard(lock_);
  std::optional<std::chrono::steady_clock::time_point> lastRemoval;
  while (!stopping_) {
    if (keepDays_ > 0 && (!lastRemoval || std::chrono::steady_clock::now() - *lastRemoval >= std::chrono::hours(24))) {
      lastRemoval = std::chrono::steady_clock::now();
      guard.unlock();
      std::string oldestKept;
      RemoveOlderThan(folder_, keepDays_, &oldestKept);
      if (removedBefore_) removedBefore_(oldestKept);
      guard.lock();
    }
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
