#include "MediaMixer.h"

#include <algorithm>

#include "telephony/sip/G711.h"

namespace vantrel::telephony {

namespace {

using TSum = std::array<std::int32_t, TMediaMixer::kFrameSamples>;

std::int16_t Clip(std::int32_t sample) {
  return static_cast<std::int16_t>(std::clamp<std::int32_t>(sample, INT16_MIN, INT16_MAX));
}

void AddTo(TSum& sum, const TMediaMixer::TFrame& voice) {
  for (std::size_t i = 0; i < sum.size(); ++i) sum[i] += voice[i];
}

}  // namespace

void TMediaMixer::Add(std::uint32_t party, int law, TSide side, TRole role, std::uint32_t coached) {
  TParty& added = parties_[party];
  added.law = law;
  added.side = side;
  added.role = role;
  added.coached = role == TRole::Coach ? coached : 0;
}

void TMediaMixer::SetLaw(std::uint32_t party, int law) {
  if (auto found = parties_.find(party); found != parties_.end()) found->second.law = law;
}

void TMediaMixer::SetRole(std::uint32_t party, TRole role, std::uint32_t coached) {
  if (auto found = parties_.find(party); found != parties_.end()) {
    found->second.role = role;
    found->second.coached = role == TRole::Coach ? coached : 0;
  }
}

void TMediaMixer::Remove(std::uint32_t party) { parties_.erase(party); }

void TMediaMixer::Push(std::uint32_t party, int payloadType, const std::uint8_t* payload, std::size_t size) {
  auto found = parties_.find(party);
  if (found == parties_.end() || (payloadType != kPayloadPcmu && payloadType != kPayloadPcma)) return;
  TParty& sender = found->second;
  constexpr std::size_t kRing = kMaxFrames * kFrameSamples;
  std::int16_t decoded[kFrameSamples];
  for (std::size_t done = 0; done < size; done += kFrameSamples) {
    const std::size_t count = std::min(kFrameSamples, size - done);
    Decode(payload + done, count, payloadType, decoded);
    for (std::size_t i = 0; i < count; ++i) {
      sender.waiting[(sender.first + sender.count) % kRing] = decoded[i];
      // Beyond the allowance the oldest sound goes: a sender running ahead must not build up delay.
      if (sender.count == kRing)
        sender.first = (sender.first + 1) % kRing;
      else
        ++sender.count;
    }
  }
}

void TMediaMixer::Mix(std::vector<TOutput>& out, TSides* sides) {
  out.clear();
  // What each party says in this frame; one that has nothing waiting is silent.
  TSum heardByAll{};
  TSum outside{}, station{};
  for (auto& [id, party] : parties_) {
    const std::size_t count = std::min(kFrameSamples, party.count);
    for (std::size_t i = 0; i < count; ++i) party.voice[i] = party.waiting[(party.first + i) % party.waiting.size()];
    std::fill(party.voice.begin() + static_cast<std::ptrdiff_t>(count), party.voice.end(), std::int16_t{0});
    party.first = (party.first + count) % party.waiting.size();
    party.count -= count;
    if (party.role == TRole::Listener) continue;
    if (party.role == TRole::Party) AddTo(heardByAll, party.voice);
    AddTo(party.side == TSide::Outside ? outside : station, party.voice);
  }
  // The mix per listener: everything heard by all, less its own voice, plus whoever coaches it.
  for (const auto& [id, party] : parties_) {
    if (party.law != kPayloadPcmu && party.law != kPayloadPcma) continue;
    TSum mix = heardByAll;
    if (party.role == TRole::Party) {
      for (std::size_t i = 0; i < mix.size(); ++i) mix[i] -= party.voice[i];
      for (const auto& [coachId, coach] : parties_) {
        if (coach.role == TRole::Coach && coach.coached == id) AddTo(mix, coach.voice);
      }
    }
    TFrame heard;
    for (std::size_t i = 0; i < mix.size(); ++i) heard[i] = Clip(mix[i]);
    TOutput& output = out.emplace_back();
    output.party = id;
    output.law = party.law;
    Encode(heard.data(), heard.size(), party.law, output.payload.data());
  }
  if (sides != nullptr) {
    for (std::size_t i = 0; i < kFrameSamples; ++i) {
      sides->outside[i] = Clip(outside[i]);
      sides->station[i] = Clip(station[i]);
    }
  }
}

}  // namespace vantrel::telephony
