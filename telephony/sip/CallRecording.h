#pragma once

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "telephony/sip/MediaMixer.h"

namespace vantrel::telephony {

// One call's recording: a WAV file (PCM, 8 kHz, 16-bit, two channels: left the outside party, right the
// station's side) written as the call goes. The relay hands it the mixed sides every 20 ms (Take, which never
// blocks); the recorder's thread writes what came (Flush) and then makes the header whole, so a process killed
// mid-call leaves a playable file up to the last flush. Paused spans are silence.
//
// States: Recording, Paused, Stopped (asked to, or the relay let go), Failed (a write failed: nothing more is
// written, the file keeps what was written), Closed (all written, the file closed). Take and the controls
// may come from any thread: its lock is a leaf.
class TCallRecording final : public IMixedSides {
 public:
  enum class TState { Recording, Paused, Stopped, Failed, Closed };
  struct TFigures {
    std::uint64_t frames = 0;        // 20 ms frames in the file (paused ones included)
    std::uint64_t pausedFrames = 0;  // of them silence because paused
  };

  // Creates the file for its owner alone (mode 0600), its folders too; throws std::runtime_error naming the
  // file and the reason when it cannot.
  explicit TCallRecording(std::filesystem::path file);
  ~TCallRecording() override;
  TCallRecording(const TCallRecording&) = delete;
  TCallRecording& operator=(const TCallRecording&) = delete;

  bool Take(const TMediaMixer::TSides& sides) override;
  // Refused (false) once stopped or failed.
  bool Pause(bool pause);
  void Stop();

  // Writes what came and makes the header whole; once stopped, also closes the file. False when a write
  // failed now (the reason in Problem()); the recording is then over.
  bool Flush();
  TState State() const;
  TFigures Figures() const;
  std::string Problem() const;
  const std::filesystem::path& File() const { return file_; }

  static const char* StateName(TState state);
  static constexpr std::size_t kHeaderSize = 44;

 private:
  // With lock_ held; logs legal moves nowhere (a recording's life is logged by its owner), refuses the others.
  bool Transition(TState to);
  bool WriteAll(const std::uint8_t* bytes, std::size_t size, long offset);

  const std::filesystem::path file_;
  int fd_ = -1;  // the flushing thread's; closed when Closed or Failed

  mutable std::mutex lock_;
  TState state_ = TState::Recording;  // guarded by lock_
  std::vector<std::uint8_t> pending_;  // guarded by lock_: samples, little-endian, left then right
  TFigures figures_;                   // guarded by lock_
  std::string problem_;                // guarded by lock_
  std::uint64_t written_ = 0;          // the flushing thread's: data bytes in the file
};

}  // namespace vantrel::telephony
