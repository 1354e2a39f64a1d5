#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "telephony/sip/Srtp.h"

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;

namespace vantrel::telephony {

// The relay's DTLS identity: a self-signed certificate made at start, known to browsers only by the SHA-256
// fingerprint our SDP gives them (RFC 8122).
class TDtlsIdentity {
 public:
  // Throws std::runtime_error when no key or certificate can be made.
  TDtlsIdentity();
  ~TDtlsIdentity();
  TDtlsIdentity(const TDtlsIdentity&) = delete;
  TDtlsIdentity& operator=(const TDtlsIdentity&) = delete;

  const std::string& Fingerprint() const { return fingerprint_; }  // "AB:CD:..."
  SSL_CTX* Context() const { return context_; }

 private:
  SSL_CTX* context_ = nullptr;
  std::string fingerprint_;
};

// One leg's DTLS-SRTP (RFC 5764): the handshake on the relay port, the party's certificate checked against the
// fingerprint its SDP gave, then the SRTP keys exported from the handshake protect and unprotect its media.
// State machine, named: Waiting -> Handshaking -> Ready, or Failed from either (a failed leg stays failed).
class TDtlsSrtp {
 public:
  enum class TState { Waiting, Handshaking, Ready, Failed };
  using TSend = std::function<void(const std::uint8_t* data, std::size_t size)>;

  // `server`: the party starts the handshake (its SDP said setup:active); `fingerprint`: "sha-256 AB:CD:...";
  // `name` says whose media it is in the log.
  TDtlsSrtp(const TDtlsIdentity& identity, bool server, std::string fingerprint, std::string name);
  ~TDtlsSrtp();
  TDtlsSrtp(const TDtlsSrtp&) = delete;
  TDtlsSrtp& operator=(const TDtlsSrtp&) = delete;

  // As the client: sends the first flight (once the party's address is known).
  void Start(const TSend& send);
  // A DTLS datagram from the party; what the handshake answers goes through `send`.
  void Receive(const std::uint8_t* data, std::size_t size, const TSend& send);
  // Retransmits a lost flight when its timer ran out.
  void Tick(const TSend& send);

  TState State() const { return state_; }
  const std::string& Failure() const { return failure_; }
  // Protects the RTP packet in place (`capacity` leaves room for the tag): its new size, 0 when not ready.
  std::size_t Protect(std::uint8_t* packet, std::size_t size, std::size_t capacity);
  // Unprotects an SRTP packet in place: its plain size, 0 when it is not authentic (or not ready).
  std::size_t Unprotect(std::uint8_t* packet, std::size_t size);

 private:
  void Drive(const TSend& send);
  void Finish();
  void Fail(const std::string& why);
  void Become(TState state);

  SSL* ssl_ = nullptr;
  const bool server_;
  const std::string fingerprint_;
  const std::string name_;
  TState state_ = TState::Waiting;
  std::string failure_;
  // During a call into OpenSSL only: where its datagrams go, and the one it reads.
  const TSend* sending_ = nullptr;
  const std::uint8_t* incoming_ = nullptr;
  std::size_t incomingSize_ = 0;
  std::unique_ptr<TSrtpStreams> srtp_;

  friend struct TDtlsBio;
};

const char* NameOf(TDtlsSrtp::TState state);

}  // namespace vantrel::telephony
