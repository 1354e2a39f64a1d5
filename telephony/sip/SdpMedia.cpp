#include "SdpMedia.h"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>
#include <sstream>
#include <stdexcept>

namespace vantrel::telephony {

namespace {

constexpr std::size_t kMaxLines = 200;

bool ParseInt(std::string_view text, int& value) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

std::vector<std::string_view> Words(std::string_view text) {
  std::vector<std::string_view> words;
  while (!text.empty()) {
    const std::size_t start = text.find_first_not_of(' ');
    if (start == std::string_view::npos) break;
    text.remove_prefix(start);
    const std::size_t end = std::min(text.find(' '), text.size());
    words.push_back(text.substr(0, end));
    text.remove_prefix(end);
  }
  return words;
}

bool IsIpv4(const std::string& address) {
  in_addr parsed{};
  return ::inet_pton(AF_INET, address.c_str(), &parsed) == 1;
}

}  // namespace

TSdpMedia TSdpMedia::Parse(std::string_view text) {
  TSdpMedia media;
  std::string sessionAddress, mediaAddress;
  std::string sessionDirection, mediaDirection;
  bool inAudio = false, audioSeen = false, versionSeen = false;
  std::size_t lines = 0;
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) continue;
    if (++lines > kMaxLines) throw std::invalid_argument("too many lines");
    if (line.size() < 2 || line[1] != '=') throw std::invalid_argument("a line is not type=value");
    const char type = line[0];
    const std::string_view value = line.substr(2);
    if (type == 'v') {
      if (value != "0") throw std::invalid_argument("version is not 0");
      versionSeen = true;
    } else if (type == 'm') {
      inAudio = false;
      const auto words = Words(value);
      if (words.size() < 4) throw std::invalid_argument("a media line is short");
      if (words[0] != "audio" || audioSeen) continue;
      if (words[2] != "RTP/AVP" && words[2] != "RTP/SAVP")
        throw std::invalid_argument("the audio stream is not RTP/AVP or RTP/SAVP");
      media.profile = std::string(words[2]);
      int port = 0;
      if (!ParseInt(words[1], port) || port < 0 || port > 65535) throw std::invalid_argument("bad audio port");
      media.port = port;
      for (std::size_t i = 3; i < words.size(); ++i) {
        int payload = 0;
        if (!ParseInt(words[i], payload) || payload < 0 || payload > 127)
          throw std::invalid_argument("bad payload type");
        media.payloads.push_back(payload);
      }
      inAudio = audioSeen = true;
    } else if (type == 'c') {
      const auto words = Words(value);
      if (words.size() != 3 || words[0] != "IN") throw std::invalid_argument("bad connection line");
      if (words[1] != "IP4") throw std::invalid_argument("only IPv4 media is served");
      std::string address(words[2]);
      if (!IsIpv4(address)) throw std::invalid_argument("bad connection address");
      (inAudio ? mediaAddress : sessionAddress) = address;
    } else if (type == 'a') {
      if (value == "sendrecv" || value == "sendonly" || value == "recvonly" || value == "inactive") {
        (inAudio ? mediaDirection : sessionDirection) = std::string(value);
      } else if (inAudio && value.substr(0, 7) == "crypto:") {
        if (media.crypto.size() >= 16) throw std::invalid_argument("too many crypto lines");
        media.crypto.emplace_back(value.substr(7));
      } else if (inAudio && value.substr(0, 7) == "rtpmap:") {
        const std::string_view map = value.substr(7);
        const std::size_t space = map.find(' ');
        int payload = 0;
        if (space == std::string_view::npos || !ParseInt(map.substr(0, space), payload)) continue;
        std::string name(map.substr(space + 1));
        std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
        if (name.rfind("telephone-event/8000", 0) == 0 &&
            std::find(media.payloads.begin(), media.payloads.end(), payload) != media.payloads.end())
          media.eventPayload = payload;
      }
    }
  }
  if (!versionSeen) throw std::invalid_argument("no version line");
  if (!audioSeen) throw std::invalid_argument("no audio stream");
  media.address = mediaAddress.empty() ? sessionAddress : mediaAddress;
  if (media.address.empty()) throw std::invalid_argument("no connection address");
  media.direction = !mediaDirection.empty()     ? mediaDirection
                    : !sessionDirection.empty() ? sessionDirection
                                                : "sendrecv";
  return media;
}

int TSdpMedia::ChosenLaw() const {
  if (port == 0) return -1;
  for (int payload : payloads) {
    if (payload == 0 || payload == 8) return payload;
  }
  return -1;
}

bool TSdpMedia::Holds() const { return direction == "sendonly" || direction == "inactive" || address == "0.0.0.0"; }

std::string TSdpMedia::Make(const std::string& address, int port, const std::vector<int>& laws, int eventPayload,
                            const std::string& direction, unsigned long sessionId, unsigned version,
                            const std::string& profile, const std::string& attributes) {
  std::ostringstream sdp;
  sdp << "v=0\r\no=vantrel " << sessionId << ' ' << version << " IN IP4 " << address << "\r\ns=Vantrel\r\nc=IN IP4 "
      << address << "\r\nt=0 0\r\nm=audio " << port << ' ' << profile;
  for (int law : laws) sdp << ' ' << law;
  if (eventPayload >= 0) sdp << ' ' << eventPayload;
  sdp << "\r\n";
  for (int law : laws) sdp << "a=rtpmap:" << law << (law == 0 ? " PCMU/8000\r\n" : " PCMA/8000\r\n");
  if (eventPayload >= 0)
    sdp << "a=rtpmap:" << eventPayload << " telephone-event/8000\r\na=fmtp:" << eventPayload << " 0-15\r\n";
  sdp << "a=ptime:20\r\na=" << direction << "\r\n" << attributes;
  return sdp.str();
}

}  // namespace vantrel::telephony
