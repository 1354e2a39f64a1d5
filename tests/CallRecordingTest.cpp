// The recordings' files: what a WAV of a call holds while it is written and after, pauses, paths, full disks.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "Tones.h"
#include "WaitUntil.h"
#include "telephony/sip/CallRecorder.h"

using namespace std::chrono_literals;
using namespace vantrel::telephony;

namespace {

struct WavFile {
  std::uint32_t riffSize = 0, dataSize = 0, rate = 0, byteRate = 0;
  std::uint16_t format = 0, channels = 0, bits = 0;
  std::vector<std::int16_t> left, right;
  std::uintmax_t fileSize = 0;
};

std::uint32_t Get32(const std::string& bytes, std::size_t at) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<std::uint8_t>(bytes[at + static_cast<std::size_t>(i)]);
  return value;
}

WavFile ReadWav(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  WavFile wav;
  wav.fileSize = bytes.size();
  if (bytes.size() < 44 || bytes.compare(0, 4, "RIFF") != 0 || bytes.compare(8, 8, "WAVEfmt ") != 0 ||
      bytes.compare(36, 4, "data") != 0)
    return wav;
  wav.riffSize = Get32(bytes, 4);
  wav.format = static_cast<std::uint16_t>(Get32(bytes, 20));
  wav.channels = static_cast<std::uint16_t>(Get32(bytes, 22));
  wav.rate = Get32(bytes, 24);
  wav.byteRate = Get32(bytes, 28);
  wav.bits = static_cast<std::uint16_t>(Get32(bytes, 34));
  wav.dataSize = Get32(bytes, 40);
  for (std::size_t at = 44; at + 4 <= 44 + std::min<std::size_t>(wav.dataSize, bytes.size() - 44); at += 4) {
    wav.left.push_back(static_cast<std::int16_t>(Get32(bytes, at)));
    wav.right.push_back(static_cast<std::int16_t>(Get32(bytes, at + 2)));
  }
  return wav;
}

// Frames of a call where the outside party says 1 kHz and the station's side 600 Hz.
struct TwoTones {
  ToneSource outside{1000}, station{600};
  TMediaMixer::TSides Next() {
    TMediaMixer::TSides sides;
    const auto left = outside.Next(TMediaMixer::kFrameSamples), right = station.Next(TMediaMixer::kFrameSamples);
    std::copy(left.begin(), left.end(), sides.outside.begin());
    std::copy(right.begin(), right.end(), sides.station.begin());
    return sides;
  }
};

std::vector<std::int16_t> Span(const std::vector<std::int16_t>& samples, std::size_t fromFrame, std::size_t toFrame) {
  return {samples.begin() + static_cast<std::ptrdiff_t>(fromFrame * 160),
          samples.begin() + static_cast<std::ptrdiff_t>(toFrame * 160)};
}

class CallRecordings : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = std::filesystem::temp_directory_path() /
              ("vantrel-recordings-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(folder_);
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }
  std::filesystem::path folder_;
};

}  // namespace

TEST_F(CallRecordings, AWavHoldsTheOutsidePartyLeftTheStationRightAndIsPlayableWhileItIsWritten) {
  TCallRecorder recorder(folder_, 20ms);
  const auto recording = recorder.Start("2026-12-08/20261208101500-65537.wav");
  const std::filesystem::path file = folder_ / "2026-12-08" / "20261208101500-65537.wav";
  ASSERT_TRUE(std::filesystem::exists(file));
  EXPECT_EQ(std::filesystem::status(file).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  TwoTones call;
  for (int frame = 0; frame < 50; ++frame) ASSERT_TRUE(recording->Take(call.Next()));
  // Before the end the header already tells what the file holds so far.
  ASSERT_TRUE(WaitUntil([&] { return ReadWav(file).dataSize == 50u * 640; }));
  WavFile wav = ReadWav(file);
  EXPECT_EQ(wav.riffSize, 36 + wav.dataSize);
  EXPECT_EQ(wav.fileSize, 44 + wav.dataSize);
  EXPECT_EQ(wav.format, 1);
  EXPECT_EQ(wav.channels, 2);
  EXPECT_EQ(wav.rate, 8000u);
  EXPECT_EQ(wav.byteRate, 32000u);
  EXPECT_EQ(wav.bits, 16);
  // Paused: silence in both channels for as long as the pause lasts; then sound again.
  EXPECT_TRUE(recording->Pause(true));
  for (int frame = 0; frame < 25; ++frame) ASSERT_TRUE(recording->Take(call.Next()));
  EXPECT_TRUE(recording->Pause(false));
  for (int frame = 0; frame < 25; ++frame) ASSERT_TRUE(recording->Take(call.Next()));
  recording->Stop();
  EXPECT_FALSE(recording->Take(call.Next()));  // the relay lets a stopped recording go
  EXPECT_FALSE(recording->Pause(true));
  ASSERT_TRUE(WaitUntil([&] { return recording->State() == TCallRecording::TState::Closed; }));
  EXPECT_EQ(recorder.Active(), 0u);
  wav = ReadWav(file);
  ASSERT_EQ(wav.left.size(), 100u * 160);
  EXPECT_GT(ToneLevel(Span(wav.left, 0, 50), 1000), 5000);
  EXPECT_LT(ToneLevel(Span(wav.left, 0, 50), 600), 100);
  EXPECT_GT(ToneLevel(Span(wav.right, 0, 50), 600), 5000);
  EXPECT_LT(ToneLevel(Span(wav.right, 0, 50), 1000), 100);
  for (std::int16_t sample : Span(wav.left, 50, 75)) ASSERT_EQ(sample, 0);
  for (std::int16_t sample : Span(wav.right, 50, 75)) ASSERT_EQ(sample, 0);
  EXPECT_GT(ToneLevel(Span(wav.left, 75, 100), 1000), 5000);
  EXPECT_EQ(recording->Figures().frames, 100u);
  EXPECT_EQ(recording->Figures().pausedFrames, 25u);
}

TEST_F(CallRecordings, APathOutsideTheFolderIsRefusedAndAFileThatCannotBeMadeSaysWhy) {
  TCallRecorder recorder(folder_, 20ms);
  EXPECT_THROW(recorder.Start("../elsewhere.wav"), std::invalid_argument);
  EXPECT_THROW(recorder.Start("2026-12-08/../../elsewhere.wav"), std::invalid_argument);
  EXPECT_THROW(recorder.Start("/tmp/elsewhere.wav"), std::invalid_argument);
  EXPECT_THROW(recorder.Start(""), std::invalid_argument);
  // A day folder that is a file: the reason names the path.
  std::filesystem::create_directories(folder_);
  std::ofstream(folder_ / "2026-12-09") << "not a folder";
  try {
    recorder.Start("2026-12-09/x.wav");
    ADD_FAILURE() << "a file below a file was made";
  } catch (const std::runtime_error& failed) {
    EXPECT_NE(std::string(failed.what()).find("2026-12-09"), std::string::npos) << failed.what();
  }
  EXPECT_EQ(recorder.Active(), 0u);
}

TEST_F(CallRecordings, AFullDiskStopsTheRecordingKeepingWhatWasWritten) {
  // A disk of 64 KiB of its own (a tmpfs in a mount namespace of a child process): two seconds of sound.
  std::filesystem::create_directories(folder_);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int code = 10;
    if (::unshare(CLONE_NEWNS) == 0 && ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
        ::mount("tmpfs", folder_.c_str(), "tmpfs", 0, "size=64k") == 0) {
      code = 11;
      try {
        TCallRecorder recorder(folder_, 20ms);
        const auto recording = recorder.Start("day/full.wav");
        TwoTones call;
        bool taken = true;
        for (int frame = 0; frame < 50 * 10 && taken; ++frame) {
          taken = recording->Take(call.Next());
          ::usleep(2000);
        }
        const bool stopped = WaitUntil([&] { return recording->State() == TCallRecording::TState::Failed; }, 5s);
        const WavFile wav = ReadWav(folder_ / "day" / "full.wav");
        code = !taken && stopped && recording->Problem() == std::strerror(ENOSPC) && wav.dataSize > 32000 &&
                       wav.dataSize <= 64 * 1024 && wav.fileSize == 44 + wav.dataSize
                   ? 0
                   : 12;
      } catch (...) {
        code = 13;
      }
    }
    ::_exit(code);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 10) GTEST_SKIP() << "no mount namespace for a small disk here";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(CallRecordings, DaysOlderThanTheRetentionAreRemovedAndTheRestKept) {
  for (const char* day : {"2000-01-01", "2000-01-02"}) {
    std::filesystem::create_directories(folder_ / day);
    std::ofstream(folder_ / day / "20000101100000-1.wav") << "old";
  }
  std::filesystem::create_directories(folder_ / "not-a-day");
  TCallRecorder recorder(folder_, 20ms);
  recorder.Start("2099-12-31/20991231100000-2.wav")->Stop();  // newer than any cut-off
  EXPECT_EQ(TCallRecorder::RemoveOlderThan(folder_, 0), 0u);  // 0: keep everything
  EXPECT_TRUE(std::filesystem::exists(folder_ / "2000-01-01"));
  EXPECT_EQ(TCallRecorder::RemoveOlderThan(folder_, 30), 2u);
  EXPECT_FALSE(std::filesystem::exists(folder_ / "2000-01-01"));
  EXPECT_FALSE(std::filesystem::exists(folder_ / "2000-01-02"));
  EXPECT_TRUE(std::filesystem::exists(folder_ / "2099-12-31" / "20991231100000-2.wav"));
  EXPECT_TRUE(std::filesystem::exists(folder_ / "not-a-day"));
}
