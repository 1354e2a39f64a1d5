// The SIP recording and conference tests' host and parties: SIPp as the trunk caller and the operators' phones,
// each party's media a tone of its own sent from a peer on loopback, and the WAV files the server writes read back.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "HostClient.h"
#include "RtpPeer.h"
#include "SipHostSetup.h"
#include "SipHostTest.h"
#include "SpawnedProgram.h"
#include "TalkingParty.h"
#include "Tones.h"
#include "Vantrel.hh"
#include "telephony/sip/G711.h"

using namespace std::chrono_literals;
using vantrel::telephony::Decode;
using vantrel::telephony::Encode;

inline constexpr int kPcmu = 0;
inline constexpr int kPcma = 8;

struct Wav {
  std::uint32_t dataSize = 0;
  std::vector<std::int16_t> left, right;
  double Seconds() const { return static_cast<double>(left.size()) / 8000; }
};

inline Wav ReadWav(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  Wav wav;
  if (bytes.size() < 44 || bytes.compare(0, 4, "RIFF") != 0 || bytes.compare(36, 4, "data") != 0) return wav;
  const auto at = [&](std::size_t i) { return static_cast<std::uint8_t>(bytes[i]); };
  wav.dataSize = at(40) | (at(41) << 8) | (at(42) << 16) | (static_cast<std::uint32_t>(at(43)) << 24);
  for (std::size_t i = 44; i + 4 <= std::min<std::size_t>(bytes.size(), 44 + wav.dataSize); i += 4) {
    wav.left.push_back(static_cast<std::int16_t>(at(i) | (at(i + 1) << 8)));
    wav.right.push_back(static_cast<std::int16_t>(at(i + 2) | (at(i + 3) << 8)));
  }
  return wav;
}

inline std::vector<std::int16_t> Slice(const std::vector<std::int16_t>& samples, double from, double to) {
  const auto first = static_cast<std::size_t>(std::max(0.0, from) * 8000);
  const auto last = std::min(samples.size(), static_cast<std::size_t>(std::max(0.0, to) * 8000));
  return first < last ? std::vector<std::int16_t>(samples.begin() + static_cast<std::ptrdiff_t>(first),
                                                  samples.begin() + static_cast<std::ptrdiff_t>(last))
                      : std::vector<std::int16_t>();
}

// The longest run of silent 20 ms frames in the channel, in seconds.
inline double LongestSilence(const std::vector<std::int16_t>& samples) {
  std::size_t run = 0, longest = 0;
  for (std::size_t frame = 0; frame + 160 <= samples.size(); frame += 160) {
    const bool silent = std::all_of(samples.begin() + static_cast<std::ptrdiff_t>(frame),
                                    samples.begin() + static_cast<std::ptrdiff_t>(frame + 160),
                                    [](std::int16_t sample) { return sample == 0; });
    run = silent ? run + 1 : 0;
    longest = std::max(longest, run);
  }
  return static_cast<double>(longest) * 0.02;
}

class SipRecording : public SipHostTest {
 protected:
  // Trunk line 101 routes every caller to 103, whose phone registers; settings are further Settings.ini lines;
  // ruleRecords gives the rule Record=1.
  void Start(bool lineRecords, const std::string& settings = {}, bool ruleRecords = false) {
    sipPort_ = FreeLoopbackPort();
    trunkPort_ = FreeLoopbackPort();
    phonePort_ = FreeLoopbackPort();
    TSipHostSetup{sipPort_, trunkPort_, "35000-35999"}.Write(host_.IniFolder());
    if (!extraStation_.empty()) {
      // One more SIP station, its password pw- and its number.
      std::stringstream exchange;
      exchange << std::ifstream(host_.IniFolder() / "Exchange.ini").rdbuf();
      std::string text = exchange.str();
      text.insert(text.find("[SIP]"), extraStation_ + "=Seat " + extraStation_ + "\n");
      text.insert(text.find("[Trunk]"), extraStation_ + "=pw-" + extraStation_ + "\n");
      std::ofstream(host_.IniFolder() / "Exchange.ini") << text;
    }
    TSipHostSetup::WriteRouteTo103(host_.IniFolder());
    if (ruleRecords) {
      std::ofstream(host_.IniFolder() / "Rules.ini")
          << "[Rules]\nName=Rules\nEnabled=1\nSystemPhoneNumber=\nRingTimeout=20\n[Rules_Items]\nCount=1\nItemID=1\n"
             "[Rules_0]\nID=1\nOrder=0\nName=Inbound\nEnabled=1\nRecord=1\n[Rules_0_Items]\nCount=1\nItemID=1\n"
             "[Rules_0_0]\nID=1\nOrder=0\nEnabled=1\nActionType=2\nPhoneNumber=103\n";
    }
    std::ofstream(host_.IniFolder() / "Settings.ini", std::ios::app) << settings;
    if (lineRecords) {
      std::ofstream(host_.IniFolder() / "Lines.ini")
          << "[Lines_Items]\nCount=2\nItemID=2\n[Lines_0]\nID=0\nOrder=0\nName=Trunk 101\nEnabled=1\nRuleID=1\n"
             "IsOuter=1\nUsingDND=0\n[Lines_1]\nID=2\nOrder=1\nName=Seat 103\nEnabled=1\nRuleID=0\nIsOuter=0\n"
             "UsingDND=0\nRecord=1\n";
    }
    ASSERT_TRUE(host_.Start()) << host_.ErrorOutput();
    ASSERT_TRUE(host_.WaitForOutput(extraStation_.empty() ? "Loaded: 4 lines" : "Loaded: 5 lines"))
        << host_.Output() << host_.ErrorOutput();
    ASSERT_TRUE(WaitUntil([&] { return Log().find("SIP: listening on") != std::string::npos; })) << Log();
    CORBA::Object_var object = TestORB()->string_to_object(host_.Corbaloc().c_str());
    environment_ = ::Environment::_narrow(object);
    lines_ = environment_->GetLines();
    line103_ = ::Line::_narrow(::ContainerItem_var(lines_->GetItemByDevicePhoneNumber("103")));
    listener103_ = listeners_.Listen(line103_);
    ASSERT_EQ(Register("103", "pw-103"), 0);
  }

  std::unique_ptr<SpawnedProgram> AnsweringPhone(const RtpPeer& media) {
    return Phone("phone.xml", phonePort_, media.Port(), kPcmu);
  }
  std::unique_ptr<SpawnedProgram> Caller(const std::string& caller, const RtpPeer& media, int talkMs) {
    return TrunkCaller("caller.xml", caller, media.Port(), kPcma, talkMs);
  }
  // The operator's call at 103 once it is connected with the caller.
  CORBA::Long ConnectedCall() {
    EXPECT_TRUE(WaitUntil([&] { return PartyShows("outside", "CONNECTED with 103"); })) << Exchange("status");
    EXPECT_TRUE(WaitUntil([&] { return listener103_->SawAny(::Connected); }));
    return listener103_->First(::Connected);
  }
  std::vector<std::filesystem::path> Recordings() {
    std::vector<std::filesystem::path> files;
    std::error_code error;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(host_.IniFolder() / "Recordings", error))
      if (entry.path().extension() == ".wav") files.push_back(entry.path());
    return files;
  }

  std::string extraStation_;  // a further SIP station of the exchange
  ::Environment_var environment_;
  ::Lines_var lines_;
  ::Line_var line103_;
  ClientListeners listeners_;
  RecordingLineEvents* listener103_ = nullptr;
};
