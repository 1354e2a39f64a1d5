#pragma once

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "telephony/sip/HoldSound.h"
#include "telephony/sip/MediaMixer.h"
#include "telephony/sip/PromptPlayer.h"
#include "telephony/sip/RtpLatch.h"
#include "telephony/sip/Srtp.h"
#include "telephony/sip/WebRtcMedia.h"
#include "telephony/tapi/Tapi.h"

namespace vantrel::telephony {

// Anchors the RTP of SIP legs in the server: each leg gets a port of our own, and the relay forwards between
// the ports of the two legs the exchange links, so that hold, transfer and routing never touch the phones'
// media. A port takes packets only from its party (TRtpLatch: the address its SDP names, or a NAT's address
// that sent valid RTP from the party's host before the SDP address did), so it is never an open relay. G.711 is
// rewritten between the laws when the two parties differ; telephone-events (RFC 4733) are reported as digits. A leg
// whose partner holds it hears the hold sound.
//
// Legs in a room are mixed instead (TMediaMixer): a call of more than two parties, one with a listener, or one
// being recorded. Each member gets a mixed frame every 20 ms; two-party calls stay on the forwarding path.
//
// Its own thread does the packets; the members are called from the SIP thread. Lock order: the relay's lock is
// a leaf; the digit and silence handlers run without it.
class TMediaRelay {
 public:
  using TDigitHandler = std::function<void(DWORD leg, char digit)>;
  using TSilenceHandler = std::function<void(DWORD leg)>;

  struct TCounts {
    std::uint64_t received = 0;   // packets taken from parties
    std::uint64_t forwarded = 0;  // sent on to the partner (transcoded or not)
    std::uint64_t transcoded = 0;
    std::uint64_t foreign = 0;  // from an address the port does not serve, or no RTP: dropped
    std::uint64_t holdFrames = 0;
    std::uint64_t promptFrames = 0;
    std::uint64_t mixedFrames = 0;  // sent to members of rooms
    std::uint64_t srtpReceived = 0;     // SRTP packets of SDES legs that proved themselves
    std::uint64_t srtpSent = 0;         // packets protected for SDES legs
    std::uint64_t srtpUnauthentic = 0;  // SRTP packets that failed authentication or replayed: dropped
  };

  // Ports are taken from the range (even ones, as RTP wants). A leg that sent nothing for silenceLimit while
  // its party was not holding is reported once.
  TMediaRelay(std::string address, int firstPort, int lastPort, THoldSound holdSound,
              std::chrono::milliseconds silenceLimit, TDigitHandler digits, TSilenceHandler silence);
  ~TMediaRelay();
  TMediaRelay(const TMediaRelay&) = delete;
  TMediaRelay& operator=(const TMediaRelay&) = delete;

  const std::string& Address() const { return address_; }
  // The leg's port (opened at the first call); throws std::runtime_error when the range is used up.
  int Open(DWORD leg);
  // Where the party wants its media, where its signalling came from, the law it speaks, its telephone-event
  // payload (or -1) and whether it holds (then its silence is no vanishing).
  void SetParty(DWORD leg, const sockaddr_in& address, const sockaddr_in& signalling, int law, int eventPayload,
                bool holds);
  // A browser's leg (WebRTC): ICE-lite, DTLS-SRTP and rtcp-mux on its port (WebRtcMedia.h). Our description's
  // attributes for it; the party's, once its description is known (false: the leg has no port).
  std::string WebRtcAttributes(DWORD leg, bool offering);
  bool SetWebRtcParty(DWORD leg, const TWebRtcParty& party);
  // SDES-SRTP on the leg's port (RFC 4568): our key for what it is sent, the party's for what it sends; nulls:
  // plain RTP again. The same keys again keep the streams as they are. Throws std::runtime_error when SRTP
  // does not start.
  void SetSrtp(DWORD leg, const TSrtpMaster* ours, const TSrtpMaster* theirs);
  // Forward between the two legs (peer 0: to nobody).
  void Link(DWORD leg, DWORD peer);
  void PlayHoldSound(DWORD leg, bool play);
  // Prompts into the leg, once, before anything else it hears (see TPromptPlayer::Play).
  void PlayPrompt(DWORD leg, TPromptPlayer::TSound sound);
  // The leg is mixed in the room (made at its first member) from now on, with its side and role; room 0: it
  // leaves its room (forwarded again if linked), and a room left empty goes with its recorder.
  void Join(DWORD leg, DWORD room, TMediaMixer::TSide side, TMediaMixer::TRole role = TMediaMixer::TRole::Party,
            DWORD coached = 0);
  // The recorder takes the room's sides from the next frame on (null: none). False when the room has no member.
  bool Record(DWORD room, std::shared_ptr<IMixedSides> recorder);
  // The leg's port, party and partners belong to another leg from now on (the leg leaves its room first). False
  // when the leg has no port or the other has one already.
  bool Rename(DWORD leg, DWORD to);
  bool HasPort(DWORD leg) const;
  // The leg's room, or 0.
  DWORD RoomOf(DWORD leg) const;
  std::size_t Rooms() const;
  void Close(DWORD leg);
  // Whether the leg's party has sent media since its port opened.
  bool Heard(DWORD leg) const;
  TCounts Counts() const;
  std::size_t OpenPorts() const;

 private:
  struct Endpoint;
  struct Room {
    TMediaMixer mixer;
    std::shared_ptr<IMixedSides> recorder;
  };

  void Run();
  void Receive(Endpoint& endpoint, std::vector<std::pair<DWORD, char>>& digits);
  void Tick(std::vector<DWORD>& silent);
  static bool Sendable(const Endpoint& endpoint);
  void SendTo(const Endpoint& endpoint, const std::uint8_t* packet, std::size_t size);
  // A frame of our own making (hold sound, mix) to the party, on the endpoint's own stream.
  void SendFrame(Endpoint& endpoint, const std::uint8_t* payload, std::size_t size);
  void Leave(Endpoint& endpoint);
  void MixRooms();

  const std::string address_;
  const THoldSound holdSound_;
  const std::chrono::milliseconds silenceLimit_;
  const TDigitHandler digits_;
  const TSilenceHandler silence_;
  int epoll_ = -1;
  int timer_ = -1;
  int stop_ = -1;

  mutable std::mutex lock_;
  std::vector<int> freePorts_;  // guarded by lock_
  std::unordered_map<DWORD, std::unique_ptr<Endpoint>> byLeg_;
  std::unordered_map<int, Endpoint*> byFd_;
  std::unordered_map<DWORD, Room> rooms_;
  TCounts counts_;
  std::chrono::steady_clock::time_point lastSilenceCheck_;
  std::mt19937 ssrcs_{std::random_device()()};  // the hold sound's synchronisation sources
  std::unique_ptr<TDtlsIdentity> dtlsIdentity_;  // made for the first WebRTC leg
  std::thread thread_;
};

}  // namespace vantrel::telephony
