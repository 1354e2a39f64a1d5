// What the SIP port keeps across restarts, on its own: the registrations' file, the calls' journal, and the
// display names phones are given.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "WaitUntil.h"
#include "telephony/sip/SipCallerNames.h"
#include "telephony/sip/SipLegJournal.h"
#include "telephony/sip/SipRegistrationStore.h"

using namespace vantrel::telephony;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

fs::path FreshFolder(const std::string& name) {
  const fs::path folder = fs::temp_directory_path() / (name + "-" + std::to_string(::getpid()));
  fs::remove_all(folder);
  fs::create_directories(folder);
  return folder;
}

TSipDialogRecord Dialog(const std::string& callId) {
  return {callId,
          "ours-" + callId,
          "theirs-" + callId,
          "sip:103@127.0.0.1:5060",
          "sip:5550120@127.0.0.1",
          "sip:5550120@127.0.0.1:5062",
          {"<sip:proxy.example;lr>", "<sip:edge.example;lr>"},
          7};
}

}  // namespace

TEST(SipRegistrationStore, RegistrationsComeBackWithTheirTimeLeftAndWhatLapsedMeanwhileIsDropped) {
  const fs::path folder = FreshFolder("sip-registrations");
  const auto now = TSipRegistrar::TClock::now();
  TSipRegistrationStore::TContacts contacts;
  contacts["103"] = {{"sip:103@127.0.0.1:5062", "127.0.0.1:5062", "a@b", now + 600s}};
  contacts["104"] = {{"sip:104@10.0.0.4:5060;transport=tcp", "10.0.0.4:40000", "e@f", now + 3600s}};
  contacts["bad"] = {{"sip:x\tinjected", "127.0.0.1:1", "g", now + 600s}};  // never written
  TSipRegistrationStore store(folder / "sip-registrations.txt");
  store.Save(contacts);
  EXPECT_EQ(fs::status(store.FileName()).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  {
    std::ofstream file(store.FileName(), std::ios::app);
    file << "104\tsip:broken\n";  // a line that is no contact
    // A phone whose registration ran out while the server was down.
    const auto lapsed =
        std::chrono::duration_cast<std::chrono::seconds>((std::chrono::system_clock::now() - 5s).time_since_epoch());
    file << "103\tsip:103@127.0.0.1:5064\t127.0.0.1:5064\tc@d\t" << lapsed.count() << "\n";
  }
  std::size_t skipped = 0;
  TSipRegistrationStore restarted(folder / "sip-registrations.txt");
  const TSipRegistrationStore::TContacts loaded = restarted.Load(&skipped);
  EXPECT_EQ(skipped, 1u);
  ASSERT_EQ(loaded.size(), 2u);
  ASSERT_EQ(loaded.at("103").size(), 1u);
  EXPECT_EQ(loaded.at("103")[0].uri, "sip:103@127.0.0.1:5062");
  EXPECT_EQ(loaded.at("103")[0].source, "127.0.0.1:5062");
  EXPECT_EQ(loaded.at("103")[0].callId, "a@b");
  const auto left = loaded.at("103")[0].expires - TSipRegistrar::TClock::now();
  EXPECT_GT(left, 590s);
  EXPECT_LE(left, 600s);
  EXPECT_EQ(loaded.at("104")[0].uri, "sip:104@10.0.0.4:5060;transport=tcp");
  fs::remove_all(folder);
}

TEST(SipLegJournal, TheDialogsARunLeftOpenComeBackOnceAndATornLastLineIsNotTaken) {
  const fs::path folder = FreshFolder("sip-legs");
  {
    TSipLegJournal journal(folder / "sip-calls.journal");
    EXPECT_TRUE(journal.TakeLeftOpen().empty());
    journal.Opened(Dialog("1"));
    journal.Opened(Dialog("2"));
    journal.Opened(Dialog("3"));
    journal.Closed(Dialog("2").Key());
    TSipDialogRecord incomplete = Dialog("4");
    incomplete.localTag.clear();  // cannot be ended: not kept
    journal.Opened(incomplete);
    EXPECT_EQ(journal.OpenCount(), 2u);
  }                                                                             // killed: nothing more is written
  std::ofstream(folder / "sip-calls.journal", std::ios::app) << "-\t3\tours-";  // a close the kill cut short
  EXPECT_EQ(fs::status(folder / "sip-calls.journal").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);

  TSipLegJournal next(folder / "sip-calls.journal");
  const std::vector<TSipDialogRecord> left = next.TakeLeftOpen();
  ASSERT_EQ(left.size(), 2u);
  EXPECT_EQ(left[0].callId, "1");
  EXPECT_EQ(left[1].callId, "3");
  EXPECT_EQ(left[0].routes, Dialog("1").routes);
  EXPECT_EQ(left[0].cseq, 7u);
  // The BYE names the dialog as the party knows it, above every CSeq it used, along its route set.
  EXPECT_EQ(ByeHeadersFor(left[0]),
            "To: <sip:5550120@127.0.0.1>;tag=theirs-1\r\nFrom: <sip:103@127.0.0.1:5060>;tag=ours-1\r\nCall-ID: 1\r\n"
            "CSeq: 1007 BYE\r\nMax-Forwards: 70\r\nRoute: <sip:proxy.example;lr>\r\nRoute: <sip:edge.example;lr>\r\n"
            "Content-Length: 0\r\n\r\n");
  EXPECT_TRUE(TSipLegJournal(folder / "sip-calls.journal").TakeLeftOpen().empty()) << "taken once";
  fs::remove_all(folder);
}

TEST(SipCallerNames, NamesAreLookedUpOffTheCallersThreadKeptAndMadeSafeForADisplayName) {
  TSipCallerNames names;
  std::string name = "untouched";
  EXPECT_EQ(names.Find("5550120", &name, {}), TSipCallerNames::TFound::Never);  // no directory yet
  std::atomic<int> lookups{0};
  names.SetLookup([&](const std::string& number) {
    ++lookups;
    if (number == "5550199") throw std::runtime_error("database down");
    return number == "5550120" ? std::string("Erik \"Rik\" Nordin\r\nVia: x") : std::string();
  });
  std::atomic<bool> answered{false};
  EXPECT_EQ(names.Find("5550120", &name, [&] { answered = true; }), TSipCallerNames::TFound::Asked);
  ASSERT_TRUE(WaitUntil([&] { return answered.load(); }));
  EXPECT_EQ(names.Find("5550120", &name, {}), TSipCallerNames::TFound::Known);
  EXPECT_EQ(name, "Erik Rik NordinVia: x");
  EXPECT_EQ(lookups, 1);  // kept

  answered = false;
  EXPECT_EQ(names.Find("5550199", &name, [&] { answered = true; }), TSipCallerNames::TFound::Asked);
  ASSERT_TRUE(WaitUntil([&] { return answered.load(); }));
  EXPECT_EQ(names.Find("5550199", &name, {}), TSipCallerNames::TFound::Known);
  EXPECT_EQ(name, "");  // the number alone

  EXPECT_EQ(TSipCallerNames::DisplayName(std::string(70, 'a')), std::string(64, 'a'));
  EXPECT_EQ(TSipCallerNames::DisplayName(std::string(63, 'a') + "\xC3\xA9"), std::string(63, 'a'));  // no half é
}
