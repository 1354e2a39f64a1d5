#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "telephony/RecordRequest.h"
#include "telephony/sip/CallRecorder.h"
#include "telephony/sip/MediaRelay.h"

namespace vantrel::telephony {

// The recorded calls of the SIP port: a recorded station leg is mixed in a room of the relay of its own (its
// number) with whoever it talks to, and the recording takes the room's two sides. The room follows the leg's
// partner when the exchange links the leg to another (a transfer completed). Called from the exchange with its
// lock held (Record) and from the SIP thread; lock order: this lock, then the relay's and the recordings'.
class TSipRecordings {
 public:
  explicit TSipRecordings(TMediaRelay& relay) : relay_(relay) {}

  // Where recordings go; without a recorder nothing is recorded.
  void SetRecorder(std::shared_ptr<TCallRecorder> recorder);
  // Empty when done, else why not (for the person who asked).
  std::string Record(DWORD leg, DWORD peer, const TRecordRequest& request);
  // The leg talks to the peer now (0: nobody).
  void Linked(DWORD leg, DWORD peer);
  // The leg is gone: its recording ends.
  void Gone(DWORD leg);
  bool Recorded(DWORD leg) const;

 private:
  struct TRecorded {
    std::shared_ptr<TCallRecording> recording;
    DWORD peer = 0;
  };

  std::string Start(DWORD leg, DWORD peer, const std::string& file);
  // Ends the recording and sends the legs back to forwarding. With lock_ held.
  void End(std::map<DWORD, TRecorded>::iterator recorded);

  TMediaRelay& relay_;
  mutable std::mutex lock_;
  std::shared_ptr<TCallRecorder> recorder_;  // guarded by lock_
  std::map<DWORD, TRecorded> byLeg_;         // guarded by lock_
};

}  // namespace vantrel::telephony
