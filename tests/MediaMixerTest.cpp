// The mixer of calls with more than two parties or a recorder: who hears whom, in which law, and how much
// sound waits.
#include <gtest/gtest.h>

#include <map>

#include "Tones.h"
#include "telephony/sip/G711.h"
#include "telephony/sip/MediaMixer.h"

using namespace vantrel::telephony;

namespace {

constexpr std::size_t kFrame = TMediaMixer::kFrameSamples;

// Parties sending their tones into a mixer, and what each of them hears, decoded.
struct MixedCall {
  TMediaMixer mixer;
  std::map<std::uint32_t, ToneSource> tones;
  std::map<std::uint32_t, int> laws;
  std::map<std::uint32_t, std::vector<std::int16_t>> heard;
  std::vector<std::int16_t> outside, station;

  void Add(std::uint32_t party, double hertz, int law, TMediaMixer::TSide side,
           TMediaMixer::TRole role = TMediaMixer::TRole::Party, std::uint32_t coached = 0) {
    mixer.Add(party, law, side, role, coached);
    tones.emplace(party, ToneSource(hertz));
    laws[party] = law;
  }
  void Run(int frames) {
    std::vector<TMediaMixer::TOutput> out;
    for (int frame = 0; frame < frames; ++frame) {
      for (auto& [party, tone] : tones) {
        const std::vector<std::int16_t> samples = tone.Next(kFrame);
        std::uint8_t payload[kFrame];
        Encode(samples.data(), kFrame, laws[party], payload);
        mixer.Push(party, laws[party], payload, kFrame);
      }
      TMediaMixer::TSides sides;
      mixer.Mix(out, &sides);
      for (const TMediaMixer::TOutput& output : out) {
        std::int16_t decoded[kFrame];
        Decode(output.payload.data(), kFrame, output.law, decoded);
        heard[output.party].insert(heard[output.party].end(), decoded, decoded + kFrame);
      }
      outside.insert(outside.end(), sides.outside.begin(), sides.outside.end());
      station.insert(station.end(), sides.station.begin(), sides.station.end());
    }
  }
};

constexpr double kPresent = 2000;  // of the tones' 6000
constexpr double kAbsent = 300;    // what companding noise and leakage may leave

}  // namespace

TEST(MediaMixer, EachPartyHearsTheOthersInItsOwnLawAndNeverItself) {
  MixedCall call;
  call.Add(1, 1000, kPayloadPcmu, TMediaMixer::TSide::Outside);
  call.Add(2, 600, kPayloadPcma, TMediaMixer::TSide::Station);
  call.Add(3, 400, kPayloadPcmu, TMediaMixer::TSide::Station);
  call.Run(25);
  const std::map<std::uint32_t, double> hertz{{1, 1000}, {2, 600}, {3, 400}};
  for (const auto& [listener, sound] : call.heard) {
    ASSERT_EQ(sound.size(), 25 * kFrame);
    for (const auto& [speaker, frequency] : hertz) {
      const double level = ToneLevel(sound, frequency);
      if (speaker == listener)
        EXPECT_LT(level, kAbsent) << listener << " hears itself";
      else
        EXPECT_GT(level, kPresent) << listener << " does not hear " << speaker;
    }
  }
  // The sides for a recorder: the caller alone left, the two at the station's side right.
  EXPECT_GT(ToneLevel(call.outside, 1000), kPresent);
  EXPECT_LT(ToneLevel(call.outside, 600), kAbsent);
  EXPECT_GT(ToneLevel(call.station, 600), kPresent);
  EXPECT_GT(ToneLevel(call.station, 400), kPresent);
  EXPECT_LT(ToneLevel(call.station, 1000), kAbsent);
  // One leaves: the two others still hear each other.
  call.mixer.Remove(3);
  call.tones.erase(3);
  call.heard.clear();
  call.Run(10);
  EXPECT_EQ(call.heard.count(3), 0u);
  EXPECT_GT(ToneLevel(call.heard[1], 600), kPresent);
  EXPECT_LT(ToneLevel(call.heard[1], 400), kAbsent);
  EXPECT_GT(ToneLevel(call.heard[2], 1000), kPresent);
}

TEST(MediaMixer, AListenerHearsBothSidesUnheardAndACoachIsHeardByItsPartyAlone) {
  MixedCall call;
  call.Add(1, 1000, kPayloadPcma, TMediaMixer::TSide::Outside);
  call.Add(2, 600, kPayloadPcmu, TMediaMixer::TSide::Station);
  call.Add(3, 400, kPayloadPcma, TMediaMixer::TSide::Station, TMediaMixer::TRole::Listener);
  call.Run(25);
  EXPECT_GT(ToneLevel(call.heard[3], 1000), kPresent);
  EXPECT_GT(ToneLevel(call.heard[3], 600), kPresent);
  EXPECT_LT(ToneLevel(call.heard[1], 400), kAbsent);
  EXPECT_LT(ToneLevel(call.heard[2], 400), kAbsent);
  EXPECT_LT(ToneLevel(call.station, 400), kAbsent);  // nobody heard it, so nothing recorded of it

  call.mixer.SetRole(3, TMediaMixer::TRole::Coach, 2);
  call.heard.clear();
  call.station.clear();
  call.Run(25);
  EXPECT_GT(ToneLevel(call.heard[2], 400), kPresent);
  EXPECT_LT(ToneLevel(call.heard[1], 400), kAbsent);
  EXPECT_GT(ToneLevel(call.heard[3], 1000), kPresent);
  EXPECT_GT(ToneLevel(call.station, 400), kPresent);

  call.mixer.SetRole(3, TMediaMixer::TRole::Party);
  call.heard.clear();
  call.Run(25);
  EXPECT_GT(ToneLevel(call.heard[1], 400), kPresent);
  EXPECT_GT(ToneLevel(call.heard[2], 400), kPresent);
  EXPECT_LT(ToneLevel(call.heard[3], 400), kAbsent);
}

TEST(MediaMixer, LateSoundIsSilenceAndSoundRunningAheadIsCutToTheAllowance) {
  TMediaMixer mixer;
  mixer.Add(1, kPayloadPcmu, TMediaMixer::TSide::Outside);
  mixer.Add(2, kPayloadPcmu, TMediaMixer::TSide::Station);
  std::vector<TMediaMixer::TOutput> out;
  TMediaMixer::TSides sides;
  // Nothing came: silence for both.
  mixer.Mix(out, &sides);
  ASSERT_EQ(out.size(), 2u);
  for (std::int16_t sample : sides.outside) EXPECT_EQ(sample, 0);
  // Ten frames at once (a burst): only the newest kMaxFrames play, then silence again.
  for (int frame = 0; frame < 10; ++frame) {
    const std::vector<std::uint8_t> payload(kFrame, LinearToUlaw(static_cast<std::int16_t>(100 * (frame + 1))));
    mixer.Push(1, kPayloadPcmu, payload.data(), payload.size());
  }
  std::vector<std::int16_t> levels;
  for (std::size_t frame = 0; frame < TMediaMixer::kMaxFrames + 1; ++frame) {
    mixer.Mix(out, &sides);
    levels.push_back(sides.outside[0]);
  }
  EXPECT_NEAR(levels[0], 800, 40);
  EXPECT_NEAR(levels[2], 1000, 40);
  EXPECT_EQ(levels[3], 0);
  // A party whose law is not known yet hears nothing; comfort noise and events are no sound.
  mixer.Add(3, -1, TMediaMixer::TSide::Station);
  const std::uint8_t noise[1] = {40};
  mixer.Push(1, 13, noise, 1);
  mixer.Mix(out, &sides);
  EXPECT_EQ(out.size(), 2u);
  EXPECT_EQ(sides.outside[0], 0);
}
