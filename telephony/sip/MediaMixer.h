#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

namespace vantrel::telephony {

// Mixes the parties of one call on 20 ms frames of 8 kHz linear sound, as a conference bridge does: each
// party's G.711 is decoded, every listener gets a mix of its own (the others it may hear, never itself), and
// that mix is encoded in the listener's law. A party's frames wait in a small jitter buffer: it plays from its
// first frame; a late packet costs that party one frame of silence and lengthens its buffer by one frame, up
// to kMaxFrames, beyond which the oldest frames are dropped so the delay stays bounded.
//
// Not thread-safe: its owner (the relay) calls it under its own lock.
class TMediaMixer {
 public:
  static constexpr std::size_t kFrameSamples = 160;  // 20 ms at 8 kHz
  static constexpr std::size_t kMaxFrames = 3;       // the jitter allowance: at most 60 ms waiting

  using TFrame = std::array<std::int16_t, kFrameSamples>;
  using TPayload = std::array<std::uint8_t, kFrameSamples>;

  // Which side of the call a party is on, for a recording's two channels.
  enum class TSide { Outside, Station };
  // A party is heard by all and hears all others; a listener hears the parties and is heard by nobody; a coach
  // hears the parties and is heard by the one party it coaches only.
  enum class TRole { Party, Listener, Coach };

  struct TOutput {
    std::uint32_t party = 0;
    int law = 0;
    TPayload payload{};
  };
  // What the parties said in the frame, by side: the outside party (or parties) and the station's side.
  struct TSides {
    TFrame outside{};
    TFrame station{};
  };

  // Adds the party (or changes it when present). The law is the payload type it hears (PCMU or PCMA).
  void Add(std::uint32_t party, int law, TSide side, TRole role = TRole::Party, std::uint32_t coached = 0);
  void SetLaw(std::uint32_t party, int law);
  void SetRole(std::uint32_t party, TRole role, std::uint32_t coached = 0);
  void Remove(std::uint32_t party);
  bool Has(std::uint32_t party) const { return parties_.count(party) != 0; }
  std::size_t Size() const { return parties_.size(); }

  // A payload the party sent, G.711 of either law; other payload types are not sound and are ignored.
  void Push(std::uint32_t party, int payloadType, const std::uint8_t* payload, std::size_t size);
  // The next frame: what each party hears (in its law), and what was said on each side when sides is given.
  // A party without a law yet gets nothing.
  void Mix(std::vector<TOutput>& out, TSides* sides);

 private:
  struct TParty {
    int law = 0;
    TSide side = TSide::Outside;
    TRole role = TRole::Party;
    std::uint32_t coached = 0;
    // Decoded samples waiting, oldest first: a ring of the allowance's size.
    std::array<std::int16_t, kMaxFrames * kFrameSamples> waiting{};
    std::size_t first = 0;  // where the oldest waits
    std::size_t count = 0;
    TFrame voice{};  // what it said in the frame being mixed
  };

  std::map<std::uint32_t, TParty> parties_;
};

// Takes the sides of a mixed call frame by frame (a recorder). Called on the relay's thread with its lock held:
// it must not block. False when it takes no more; it is then let go.
class IMixedSides {
 public:
  virtual ~IMixedSides() = default;
  virtual bool Take(const TMediaMixer::TSides& sides) = 0;
};

}  // namespace vantrel::telephony
