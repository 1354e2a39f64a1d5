#pragma once

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "telephony/sip/CallRecording.h"

namespace vantrel::telephony {

// The server's recordings: WAV files below one folder, written by a thread of its own, every recording each
// flush interval (so a crash loses at most that much). A recording whose disk fails stops with one error-log
// line; the call it recorded goes on. Its lock is a leaf.
class TCallRecorder {
 public:
  // Told after each removal the oldest day kept ("YYYY-MM-DD"): whatever lists the files of earlier days (the
  // CRM's rows) forgets them. Runs on the recorder's thread.
  using TRemovedBefore = std::function<void(const std::string& oldestKept)>;
  // keepDays > 0: the day folders older than that many days are removed at the start and once a day.
  explicit TCallRecorder(std::filesystem::path folder,
                         std::chrono::milliseconds flushEvery = std::chrono::milliseconds(1000), int keepDays = 0,
                         TRemovedBefore removedBefore = {});
  // Stops every recording and writes what each has left.
  ~TCallRecorder();
  TCallRecorder(const TCallRecorder&) = delete;
  TCallRecorder& operator=(const TCallRecorder&) = delete;

  // A new recording in the file at the path relative to the folder (as "2026-12-08/<call key>.wav"). Throws
  // std::invalid_argument for a path that is absolute or leaves the folder, std::runtime_error (logged) when
  // the file cannot be made.
  std::shared_ptr<TCallRecording> Start(const std::string& relative);
  const std::filesystem::path& Folder() const { return folder_; }
  // Settings.ini's [Recording] Folder= of the INI folder (relative to it; default "Recordings" there).
  static std::filesystem::path ConfiguredFolder(const std::string& iniFolder);
  // Settings.ini's [Recording] KeepDays= (0, the default: keep them all).
  static int ConfiguredKeepDays(const std::string& iniFolder);
  // Removes the day folders ("YYYY-MM-DD") older than keepDays before today, logging each; the files removed.
  // *oldestKept (when given): the first day kept.
  static std::size_t RemoveOlderThan(const std::filesystem::path& folder, int keepDays,
                                     std::string* oldestKept = nullptr);
  // Recordings not yet closed.
  std::size_t Active() const;

 private:
  void Run();
  // Writes every recording; forgets the closed and failed ones. With nothing held.
  void FlushAll();

  const std::filesystem::path folder_;
  const std::chrono::milliseconds flushEvery_;
  const int keepDays_;
  const TRemovedBefore removedBefore_;
  mutable std::mutex lock_;
  std::condition_variable wake_;
  std::vector<std::shared_ptr<TCallRecording>> recordings_;  // guarded by lock_
  bool stopping_ = false;                                     // guarded by lock_
  std::mutex flushing_;  // one flush at a time: the thread's, or the last one at the end
  std::thread thread_;
};

}  // namespace vantrel::telephony
