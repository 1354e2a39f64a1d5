#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct srtp;
struct mbuf;

namespace vantrel::telephony {

// AES_CM_128_HMAC_SHA1_80's master key and salt (RFC 3711), the one suite the relay speaks.
using TSrtpMaster = std::array<std::uint8_t, 30>;

// One party's SRTP both ways: our master for what we send it, its master for what it sends us. Packets are
// worked on in place.
class TSrtpStreams {
 public:
  // Throws std::runtime_error when SRTP does not start.
  TSrtpStreams(const TSrtpMaster& ours, const TSrtpMaster& theirs);
  ~TSrtpStreams();
  TSrtpStreams(const TSrtpStreams&) = delete;
  TSrtpStreams& operator=(const TSrtpStreams&) = delete;

  bool SameKeys(const TSrtpMaster& ours, const TSrtpMaster& theirs) const { return ours == ours_ && theirs == theirs_; }
  // Protects the RTP packet (`capacity` leaves room for the tag): its new size, 0 when it cannot be.
  std::size_t Protect(std::uint8_t* packet, std::size_t size, std::size_t capacity);
  // Unprotects an SRTP packet: its plain size, 0 when it is not authentic (or replayed).
  std::size_t Unprotect(std::uint8_t* packet, std::size_t size);

  static constexpr std::size_t kTag = 10;  // HMAC-SHA1-80

 private:
  const TSrtpMaster ours_;
  const TSrtpMaster theirs_;
  struct srtp* outbound_ = nullptr;
  struct srtp* inbound_ = nullptr;
  mbuf* buffer_ = nullptr;
};

// SDP security descriptions (RFC 4568): the a=crypto lines of a media stream.
struct TSdesCrypto {
  static constexpr const char* kSuite = "AES_CM_128_HMAC_SHA1_80";
  int tag = 1;
  TSrtpMaster master{};

  // The first line of the suite the relay speaks, or nothing when none is (other suites and keys with an MKI are
  // passed over, as RFC 4568 lets an answerer). Throws std::invalid_argument for a line that is not one.
  static std::optional<TSdesCrypto> Choose(const std::vector<std::string>& lines);
  // A fresh master from the system's random source, under the tag.
  static TSdesCrypto Fresh(int tag);
  // "a=crypto:TAG AES_CM_128_HMAC_SHA1_80 inline:KEY\r\n"
  std::string Line() const;
};

// What a party's audio stream (its profile and a=crypto values) agrees to: its SRTP key, or nothing for plain RTP.
// `secure`: the description came over TLS, the only signalling that may carry keys. Throws std::invalid_argument
// saying why the stream cannot be served (answered 488): keys over plain signalling, SRTP where it is off, plain
// RTP where it is required, a malformed crypto line.
std::optional<TSdesCrypto> AgreedSdes(const std::string& profile, const std::vector<std::string>& crypto, bool secure,
                                      bool off, bool required);

}  // namespace vantrel::telephony
