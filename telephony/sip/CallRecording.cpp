#include "CallRecording.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace vantrel::telephony {

namespace {

constexpr std::uint32_t kRate = 8000;
constexpr std::uint16_t kChannels = 2;
constexpr std::uint16_t kBytesPerSample = 2;
constexpr std::size_t kFrameBytes = TMediaMixer::kFrameSamples * kChannels * kBytesPerSample;
// A disk that does not take the sound for this long ends the recording rather than the server's memory.
constexpr std::size_t kMaxPendingFrames = 50 * 30;

void Put16(std::uint8_t* at, std::uint16_t value) {
  at[0] = static_cast<std::uint8_t>(value);
  at[1] = static_cast<std::uint8_t>(value >> 8);
}

void Put32(std::uint8_t* at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// The canonical 44-byte header of a PCM WAV file holding dataBytes of samples.
void MakeHeader(std::uint8_t* header, std::uint32_t dataBytes) {
  std::memcpy(header, "RIFF", 4);
  Put32(header + 4, 36 + dataBytes);
  std::memcpy(header + 8, "WAVEfmt ", 8);
  Put32(header + 16, 16);
  Put16(header + 20, 1);  // PCM
  Put16(header + 22, kChannels);
  Put32(header + 24, kRate);
  Put32(header + 28, kRate * kChannels * kBytesPerSample);
  Put16(header + 32, kChannels * kBytesPerSample);
  Put16(header + 34, 8 * kBytesPerSample);
  std::memcpy(header + 36, "data", 4);
  Put32(header + 40, dataBytes);
}

}  // namespace

const char* TCallRecording::StateName(TState state) {
  switch (state) {
    case TState::Recording: return "Recording";
    case TState::Paused: return "Paused";
    case TState::Stopped: return "Stopped";
    case TState::Failed: return "Failed";
    case TState::Closed: return "Closed";
  }
  return "?";
}

TCallRecording::TCallRecording(std::filesystem::path file) : file_(std::move(file)) {
  std::error_code error;
  std::filesystem::create_directories(file_.parent_path(), error);
  if (error) throw std::runtime_error(file_.parent_path().string() + ": " + error.message());
  // Owner-only from its first byte: a recording holds what callers said.
  fd_ = ::open(file_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd_ < 0) throw std::runtime_error(file_.string() + ": " + std::strerror(errno));
  ::fchmod(fd_, 0600);
  std::uint8_t header[kHeaderSize];
  MakeHeader(header, 0);
  if (!WriteAll(header, sizeof header, 0)) {
    const std::string reason = std::strerror(errno);
    ::close(fd_);
    throw std::runtime_error(file_.string() + ": " + reason);
  }
}

TCallRecording::~TCallRecording() {
  if (fd_ >= 0) ::close(fd_);
}

bool TCallRecording::Transition(TState to) {
  static constexpr bool kLegal[5][5] = {
      // to: Recording, Paused, Stopped, Failed, Closed
      {true, true, true, true, false},     // from Recording
      {true, true, true, true, false},     // from Paused
      {false, false, true, true, true},    // from Stopped
      {false, false, false, true, false},  // from Failed
      {false, false, false, false, true},  // from Closed
  };
  if (!kLegal[static_cast<int>(state_)][static_cast<int>(to)]) return false;
  state_ = to;
  return true;
}

bool TCallRecording::Take(const TMediaMixer::TSides& sides) {
  const std::lock_guard guard(lock_);
  if (state_ != TState::Recording && state_ != TState::Paused) return false;
  if (pending_.size() >= kMaxPendingFrames * kFrameBytes) {
    problem_ = "the disk does not take the sound in time";
    Transition(TState::Failed);
    return false;
  }
  const bool paused = state_ == TState::Paused;
  const std::size_t at = pending_.size();
  pending_.resize(at + kFrameBytes, 0);
  if (!paused) {
    std::uint8_t* out = pending_.data() + at;
    for (std::size_t i = 0; i < TMediaMixer::kFrameSamples; ++i, out += 4) {
      Put16(out, static_cast<std::uint16_t>(sides.outside[i]));
      Put16(out + 2, static_cast<std::uint16_t>(sides.station[i]));
    }
  }
  ++figures_.frames;
  if (paused) ++figures_.pausedFrames;
  return true;
}

bool TCallRecording::Pause(bool pause) {
  const std::lock_guard guard(lock_);
  if (state_ != TState::Recording && state_ != TState::Paused) return false;
  return Transition(pause ? TState::Paused : TState::Recording);
}

void TCallRecording::Stop() {
  const std::lock_guard guard(lock_);
  Transition(TState::Stopped);
}

bool TCallRecording::WriteAll(const std::uint8_t* bytes, std::size_t size, long offset) {
  while (size > 0) {
    const ssize_t done = ::pwrite(fd_, bytes, size, offset);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) {
      if (done == 0) errno = ENOSPC;
      return false;
    }
    bytes += done;
    size -= static_cast<std::size_t>(done);
    offset += done;
  }
  return true;
}

bool TCallRecording::Flush() {
  std::vector<std::uint8_t> bytes;
  bool closing = false;
  {
    const std::lock_guard guard(lock_);
    if (state_ == TState::Closed || fd_ < 0) return true;
    if (state_ == TState::Failed) {
      ::close(fd_);
      fd_ = -1;
      return false;
    }
    bytes.swap(pending_);
    closing = state_ == TState::Stopped;
  }
  bool good = bytes.empty() || WriteAll(bytes.data(), bytes.size(), static_cast<long>(kHeaderSize + written_));
  if (good) written_ += bytes.size();
  const std::string reason = good ? std::string() : std::strerror(errno);
  // A write cut short leaves no half frame behind: the file is what its header says, and playable.
  if (!good && ::ftruncate(fd_, static_cast<off_t>(kHeaderSize + written_)) != 0) {
  }
  std::uint8_t header[kHeaderSize];
  MakeHeader(header, static_cast<std::uint32_t>(written_));
  const bool headerWritten = WriteAll(header, sizeof header, 0);
  const std::string headerReason = headerWritten ? std::string() : std::strerror(errno);
  if (good && !headerWritten) {
    good = false;
  }
  const std::string why = !reason.empty() ? reason : headerReason;
  const std::lock_guard guard(lock_);
  if (!good) {
    problem_ = why;
    Transition(TState::Failed);
  }
  if (!good || closing) {
    const int closed = ::close(fd_);
    fd_ = -1;
    if (good && closed != 0) {
      good = false;
      problem_ = std::strerror(errno);
      Transition(TState::Failed);
    }
    if (good) Transition(TState::Closed);
  }
  return good;
}

TCallRecording::TState TCallRecording::State() const {
  const std::lock_guard guard(lock_);
  return state_;
}

TCallRecording::TFigures TCallRecording::Figures() const {
  const std::lock_guard guard(lock_);
  return figures_;
}

std::string TCallRecording::Problem() const {
  const std::lock_guard guard(lock_);
  return problem_;
}

}  // namespace vantrel::telephony
