#include "SampleHistory.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <random>

namespace vantrel {

namespace {

// Seconds since the day's midnight.
struct TOperatorDay {
  long id = 0;
  std::string phone;
  long login = 0, logout = 0;
  long breakStart = 0, breakEnd = 0, lunchStart = 0, lunchEnd = 0;
  long freeAt = 0;
};

// A pause in the way of work that would run from start to end: where the work can start instead.
long AfterPauses(const TOperatorDay& person, long start, long end) {
  for (const auto& [from, to] : {std::pair{person.breakStart, person.breakEnd}, std::pair{person.lunchStart, person.lunchEnd}}) {
    if (start < to && end > from) start = to;
  }
  return start;
}

struct TTimedRow {
  long at = 0;
  int order = 0;  // rows at the same second keep the order they were made in
  TCallLogRow row;
};

}  // namespace

std::vector<TCallLogRow> SampleDayRows(const TSampleDay& day) {
  std::mt19937 random(day.seed);
  const auto uniform = [&](long low, long high) { return std::uniform_int_distribution<long>(low, high)(random); };
  char date[16];
  std::snprintf(date, sizeof date, "%04d-%02d-%02d", day.year, day.month, day.day);
  char compactDate[16];
  std::snprintf(compactDate, sizeof compactDate, "%04d%02d%02d", day.year, day.month, day.day);
  const auto timeText = [&](long seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%s %02ld:%02ld:%02ld", date, seconds / 3600, seconds / 60 % 60, seconds % 60);
    return std::string(text);
  };
  std::vector<TTimedRow> rows;
  int made = 0;
  const auto add = [&](long at, TQueueEvent event, const std::string& key, long rule, const TOperatorDay* person,
                       long seconds, long reason, const std::string& caller) {
    TCallLogRow row;
    row.QueueEvent = event;
    row.BeginTime = timeText(at);
    row.CallHandle = key;
    row.Rule_id = rule;
    row.Seconds = seconds;
    row.Reason = reason;
    row.CallerPhoneNumber = caller;
    row.LinePhoneNumber = key.empty() && person != nullptr ? person->phone : "101";
    if (person != nullptr) {
      row.Operator_id = person->id;
      row.ConnectedPhoneNumber = person->phone;
    }
    rows.push_back({at, made++, std::move(row)});
  };

  std::vector<TOperatorDay> people;
  for (const long id : day.operators) {
    TOperatorDay person;
    person.id = id;
    person.phone = "2" + std::to_string(100 + id % 100).substr(1);
    person.login = 8 * 3600 + uniform(0, 1800);
    person.logout = 17 * 3600 + uniform(0, 3600);
    person.breakStart = 10 * 3600 + uniform(0, 3600);
    person.breakEnd = person.breakStart + 900;
    person.lunchStart = 12 * 3600 + uniform(0, 5400);
    person.lunchEnd = person.lunchStart + 1800;
    person.freeAt = person.login;
    people.push_back(person);
    add(person.login, TQueueEvent::OperatorLoggedIn, "", 0, &people.back(), 0, 0, "");
  }
  for (const TOperatorDay& person : people) {
    add(person.breakStart, TQueueEvent::OperatorPaused, "", 0, &person, 0, 1, "");
    add(person.breakEnd, TQueueEvent::OperatorPauseEnded, "", 0, &person, 900, 1, "");
    add(person.breakEnd, TQueueEvent::OperatorResumed, "", 0, &person, 0, 0, "");
    add(person.lunchStart, TQueueEvent::OperatorPaused, "", 0, &person, 0, 2, "");
    add(person.lunchEnd, TQueueEvent::OperatorPauseEnded, "", 0, &person, 1800, 2, "");
    add(person.lunchEnd, TQueueEvent::OperatorResumed, "", 0, &person, 0, 0, "");
  }

  // Callers by hour: a morning peak and a smaller one after lunch, from 8 to 18 o'clock.
  const double weights[] = {4, 9, 10, 8, 5, 7, 8, 6, 4, 2};
  std::discrete_distribution<int> hourOf(std::begin(weights), std::end(weights));
  std::vector<long> offers;
  for (int i = 0; i < day.callers; ++i) offers.push_back((8 + hourOf(random)) * 3600 + uniform(0, 3599));
  std::sort(offers.begin(), offers.end());
  for (std::size_t i = 0; i < offers.size(); ++i) {
    const long offered = offers[i];
    const std::string key = std::string(compactDate) + "000000-" + std::to_string(10000 + i);
    const std::string caller = "555" + std::to_string(1000 + uniform(0, 8999));
    const long rule = day.rules.empty() ? 1 : day.rules[static_cast<std::size_t>(uniform(0, static_cast<long>(day.rules.size()) - 1))];
    const long talk = 60 + uniform(0, 420);
    const long wrapUp = 20 + uniform(0, 40);
    // The operator who can take the caller first, between their pauses.
    TOperatorDay* chosen = nullptr;
    long answerAt = 0;
    for (TOperatorDay& person : people) {
      if (offered + 60 < person.login || offered > person.logout) continue;
      long start = std::max(offered + uniform(3, 8), person.freeAt);
      start = AfterPauses(person, start, start + talk + wrapUp);
      if (start > person.logout) continue;
      if (chosen == nullptr || start < answerAt) {
        chosen = &person;
        answerAt = start;
      }
    }
    const long wait = chosen == nullptr ? 3600 : answerAt - offered;
    const long patience = uniform(0, 9) == 0 ? uniform(1, 6) : uniform(20, 300);
    const bool waits = wait > 10;
    if (waits) add(offered, TQueueEvent::Entered, key, rule, nullptr, 0, 0, caller);
    if (patience < wait) {
      add(offered + patience, TQueueEvent::Abandoned, key, rule, nullptr, patience, 0, caller);
      continue;
    }
    if (wait > 120) add(offered + 120, TQueueEvent::Overflowed, key, rule, nullptr, 120, 0, caller);
    chosen->freeAt = answerAt + talk + wrapUp;
    add(answerAt, TQueueEvent::Connected, key, rule, chosen, wait, 0, caller);
    add(answerAt + talk, TQueueEvent::CallEnded, "", rule, chosen, talk, 0, "");
    add(answerAt + talk, TQueueEvent::OperatorWrapUp, "", rule, chosen, 0, 0, "");
    add(answerAt + talk + wrapUp, TQueueEvent::OperatorWrapUpEnded, "", rule, chosen, wrapUp, 0, "");
    add(answerAt + talk + wrapUp, TQueueEvent::OperatorResumed, "", 0, chosen, 0, 0, "");
  }
  for (const TOperatorDay& person : people) {
    const long out = std::max(person.logout, person.freeAt);
    add(out, TQueueEvent::OperatorLoggedOut, "", 0, &person, out - person.login, 0, "");
  }
  std::stable_sort(rows.begin(), rows.end(), [](const TTimedRow& a, const TTimedRow& b) {
    return a.at != b.at ? a.at < b.at : a.order < b.order;
  });
  std::vector<TCallLogRow> result;
  result.reserve(rows.size());
  for (TTimedRow& timed : rows) result.push_back(std::move(timed.row));
  return result;
}

}  // namespace vantrel
