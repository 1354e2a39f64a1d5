// The prompts callers hear: WAV files read and refused, speech brought down to 8 kHz, the prompts' list and folder.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <numbers>

#include "lines/CallerAnnouncement.h"
#include "support/PromptSet.h"
#include "support/WavSound.h"
#include "telephony/PromptPlayback.h"
#include "telephony/sip/PromptPlayer.h"

using vantrel::TPromptSet;
using vantrel::TWavSound;

namespace {

std::vector<std::int16_t> Sine(double hertz, int rate, int count, double amplitude = 8000) {
  std::vector<std::int16_t> samples(count);
  for (int i = 0; i < count; ++i)
    samples[i] = static_cast<std::int16_t>(amplitude * std::sin(2 * std::numbers::pi * hertz * i / rate));
  return samples;
}

double Rms(const std::vector<std::int16_t>& samples, std::size_t from) {
  double sum = 0;
  for (std::size_t i = from; i < samples.size() - from; ++i) sum += double(samples[i]) * samples[i];
  return std::sqrt(sum / (samples.size() - 2 * from));
}

class PromptFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = std::filesystem::temp_directory_path() /
              ("vantrel-prompts-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(folder_);
    std::filesystem::create_directories(folder_ / "Prompts");
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }
  void Write(const std::filesystem::path& file, const TWavSound& sound) {
    std::ofstream(file, std::ios::binary) << vantrel::WavBytes(sound);
  }
  std::filesystem::path folder_;
};

}  // namespace

TEST(WavSound, A16BitMonoFileReadsBackAsWrittenAndOtherKindsAreRefusedSayingWhy) {
  const TWavSound sound{8000, Sine(425, 8000, 400)};
  const TWavSound read = vantrel::ParseWav(vantrel::WavBytes(sound));
  EXPECT_EQ(read.rate, 8000);
  EXPECT_EQ(read.samples, sound.samples);
  std::string stereo = vantrel::WavBytes(sound);
  stereo[22] = 2;  // channels
  EXPECT_THROW(
      {
        try {
          vantrel::ParseWav(stereo);
        } catch (const std::runtime_error& bad) {
          EXPECT_STREQ(bad.what(), "is not 16-bit mono PCM");
          throw;
        }
      },
      std::runtime_error);
  EXPECT_THROW(vantrel::ParseWav("RIFF....WAVX"), std::runtime_error);
  EXPECT_THROW(vantrel::ParseWav(vantrel::WavBytes(sound).substr(0, 60)), std::runtime_error);  // data cut short
}

TEST(WavSound, SpeechWrittenToAPipeWithoutItsLengthIsReadToTheEnd) {
  std::string bytes = vantrel::WavBytes({22050, Sine(300, 22050, 1000)});
  bytes.replace(40, 4, "\x00\xf0\xff\x7f", 4);  // espeak-ng --stdout's data size
  EXPECT_EQ(vantrel::ParseWav(bytes).samples.size(), 1000u);
}

TEST(WavSound, ResamplingKeepsAVoiceBandToneAndRemovesWhatEightKilohertzCannotCarry) {
  const auto kept = vantrel::Resample(Sine(1000, 22050, 22050), 22050, 8000);
  ASSERT_NEAR(static_cast<double>(kept.size()), 8000, 1);
  EXPECT_NEAR(Rms(kept, 100), 8000 / std::sqrt(2.0), 300);
  // 6 kHz would fold down to 2 kHz at 8 kHz: it must be filtered out, not aliased.
  const auto removed = vantrel::Resample(Sine(6000, 22050, 22050), 22050, 8000);
  EXPECT_LT(Rms(removed, 100), 200);
  EXPECT_EQ(vantrel::Resample(kept, 8000, 8000), kept);
}

TEST(PromptList, NamesAndWordsAreReadAndAWrongLineIsNamed) {
  const auto entries = TPromptSet::ParseList("# comment\n\nwelcome = Welcome to us.\n3=three\n");
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].name, "welcome");
  EXPECT_EQ(entries[0].words, "Welcome to us.");
  EXPECT_EQ(TPromptSet::ParseList(TPromptSet::ListText(TPromptSet::DefaultEntries())).size(),
            TPromptSet::DefaultEntries().size());
  try {
    TPromptSet::ParseList("welcome=Hi\n../etc/passwd=x\n");
    FAIL() << "a path as a name was taken";
  } catch (const std::invalid_argument& bad) {
    EXPECT_NE(std::string(bad.what()).find("line 2"), std::string::npos) << bad.what();
  }
}

TEST(PromptList, TheDefaultSetHasTheNumbersOneToThirtyAndWhatTheQueueSays) {
  const auto& entries = TPromptSet::DefaultEntries();
  for (const char* name : {"welcome", "busy", "caller-number", "expected-wait", "minutes", "less-than-a-minute",
                           "please-hold", "callback-offer", "callback-confirm", "thank-you", "menu", "1", "30"}) {
    EXPECT_TRUE(std::any_of(entries.begin(), entries.end(), [&](const auto& e) { return e.name == name; })) << name;
  }
}

TEST_F(PromptFolder, PromptsOfTheRightKindLoadAndOthersAreLeftOutMissingOnesToo) {
  std::ofstream(folder_ / "Prompts" / "prompts.txt") << "welcome=Welcome\nbusy=Busy\nloud=Stereo\nmenu=Menu\n";
  Write(folder_ / "Prompts" / "welcome.wav", {8000, Sine(500, 8000, 4000)});
  Write(folder_ / "Prompts" / "loud.wav", {22050, Sine(500, 22050, 4000)});  // not 8 kHz
  Write(folder_ / "Prompts" / "menu.wav", {8000, Sine(700, 8000, 800)});
  const auto set = TPromptSet::Load(folder_.string());
  ASSERT_NE(set->Find("welcome"), nullptr);
  EXPECT_EQ(set->Length("welcome").count(), 500);
  EXPECT_EQ(set->Find("loud"), nullptr);
  EXPECT_EQ(set->Find("busy"), nullptr);  // no file
  EXPECT_EQ(set->Find("nothing"), nullptr);
  EXPECT_EQ(set->Length("busy").count(), 0);
  EXPECT_EQ(set->WordsOf("busy"), "Busy");
  EXPECT_EQ(set->Music(), nullptr);
  try {
    vantrel::ReadTelephoneWav((folder_ / "Prompts" / "loud.wav").string());
    FAIL();
  } catch (const vantrel::TSoundFileError& bad) {
    EXPECT_EQ(std::string(bad.what()), "Sound file " + (folder_ / "Prompts" / "loud.wav").string() +
                                           " is not 8 kHz 16-bit mono PCM");
  }
}

TEST_F(PromptFolder, SettingsNameTheFolderAndTheMusicWhichIsRefusedWhenNotEightKilohertz) {
  std::filesystem::create_directories(folder_ / "Voice");
  std::ofstream(folder_ / "Settings.ini") << "[Prompts]\nFolder=Voice\nMusic=music.wav\n";
  std::ofstream(folder_ / "Voice" / "prompts.txt") << "welcome=Welcome\n";
  Write(folder_ / "Voice" / "welcome.wav", {8000, Sine(500, 8000, 800)});
  Write(folder_ / "music.wav", {8000, Sine(300, 8000, 8000)});
  auto set = TPromptSet::Load(folder_.string());
  EXPECT_EQ(set->Folder(), (folder_ / "Voice").string());
  EXPECT_NE(set->Find("welcome"), nullptr);
  ASSERT_NE(set->Music(), nullptr);
  EXPECT_EQ(set->Music()->samples.size(), 8000u);
  Write(folder_ / "music.wav", {16000, Sine(300, 16000, 8000)});
  EXPECT_EQ(TPromptSet::Load(folder_.string())->Music(), nullptr);  // the tone plays instead
}

TEST(CallerAnnouncement, TheWaitIsRoundedAsPeopleSayIt) {
  EXPECT_EQ(vantrel::SpokenMinutes(59), 0);
  EXPECT_EQ(vantrel::SpokenMinutes(60), 1);
  EXPECT_EQ(vantrel::SpokenMinutes(150), 3);
  EXPECT_EQ(vantrel::SpokenMinutes(10 * 60), 10);
  EXPECT_EQ(vantrel::SpokenMinutes(12 * 60), 10);
  EXPECT_EQ(vantrel::SpokenMinutes(13 * 60), 15);
  EXPECT_EQ(vantrel::SpokenMinutes(3 * 3600), 30);
  EXPECT_EQ(vantrel::ExpectedWaitSeconds(3, 100, 2), 150);
  EXPECT_EQ(vantrel::ExpectedWaitSeconds(3, 100, 0), 300);  // nobody ready: as if one were
  EXPECT_EQ(vantrel::ExpectedWaitSeconds(3, 0, 2), -1);     // no call handled yet: nothing to tell
}

TEST(CallerAnnouncement, ThePlaceAndTheWaitAreSpokenFromTheDefaultPrompts) {
  auto said = vantrel::MakeCallerAnnouncement(3, 150, true, true);
  EXPECT_EQ(said.label, "position 3");
  EXPECT_EQ(said.prompts, (std::vector<std::string>{"caller-number", "3", "expected-wait", "3", "minutes"}));
  said = vantrel::MakeCallerAnnouncement(1, 30, false, true);
  EXPECT_EQ(said.label, "expected wait");
  EXPECT_EQ(said.prompts, (std::vector<std::string>{"expected-wait", "less-than-a-minute"}));
  said = vantrel::MakeCallerAnnouncement(1, 70, true, true);
  EXPECT_EQ(said.prompts.back(), "minute");
  EXPECT_TRUE(vantrel::MakeCallerAnnouncement(31, -1, true, true).prompts.empty());  // beyond the numbers
  EXPECT_TRUE(vantrel::MakeCallerAnnouncement(2, -1, false, true).prompts.empty());
}

TEST_F(PromptFolder, APlayRequestJoinsThePromptsItFindsAndNamesTheMissingOnes) {
  std::ofstream(folder_ / "Prompts" / "prompts.txt") << "caller-number=You are caller\n3=three\n";
  Write(folder_ / "Prompts" / "caller-number.wav", {8000, Sine(700, 8000, 800)});
  Write(folder_ / "Prompts" / "3.wav", {8000, Sine(900, 8000, 250)});
  const auto set = TPromptSet::Load(folder_.string());
  std::vector<std::string> missing;
  const auto playback = vantrel::telephony::TPromptPlayback::FromRequest(
      vantrel::telephony::TPromptPlayback::Request("position 3", {"caller-number", "gone", "3"}), set.get(), &missing);
  EXPECT_EQ(playback.label, "position 3");
  EXPECT_EQ(playback.names, (std::vector<std::string>{"caller-number", "3"}));
  EXPECT_EQ(missing, std::vector<std::string>{"gone"});
  ASSERT_NE(playback.sound, nullptr);
  EXPECT_EQ(playback.sound->size(), 1050u);
  EXPECT_EQ(playback.length.count(), 131);
  EXPECT_TRUE(playback.PlayingAt(playback.start));
  EXPECT_FALSE(playback.PlayingAt(playback.start + playback.length));
  EXPECT_EQ(vantrel::telephony::TPromptPlayback::FromRequest("stop", set.get(), nullptr).sound, nullptr);
  EXPECT_THROW(vantrel::telephony::TPromptPlayback::FromRequest("sing\nx", set.get(), nullptr), std::invalid_argument);

  // Played into a call: whole frames, the last one filled up with silence, then nothing; the same sound given
  // again goes on where it was, a new one starts over.
  vantrel::telephony::TPromptPlayer player;
  player.Play(playback.sound);
  int frames = 0;
  const std::int16_t* last = nullptr;
  while (player.Playing()) {
    last = player.NextFrame();
    ++frames;
    if (frames == 2) player.Play(playback.sound);
  }
  EXPECT_EQ(frames, 7);  // 1050 samples: six whole frames and 90 samples
  EXPECT_EQ(last[89], (*playback.sound)[1049]);
  EXPECT_EQ(last[90], 0);
  EXPECT_EQ(last[159], 0);
  player.Play(std::make_shared<const std::vector<std::int16_t>>(320, 1));
  EXPECT_TRUE(player.Playing());
  player.Play(nullptr);
  EXPECT_FALSE(player.Playing());
}
