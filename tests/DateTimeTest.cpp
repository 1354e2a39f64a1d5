#include <gtest/gtest.h>

#include "support/DateTime.h"
#include "support/VantrelCommonRoutines.h"

using namespace vantrel;

TEST(DateTime, DaysCountFromTheEndOf1899) {
  TDateTime value = 0;
  ASSERT_TRUE(TryEncodeDate(1899, 12, 30, value));
  EXPECT_EQ(value, 0);
  ASSERT_TRUE(TryEncodeDate(2026, 3, 5, value));
  EXPECT_EQ(value, 46086);
  ASSERT_TRUE(TryEncodeDate(1900, 1, 1, value));
  EXPECT_EQ(value, 2);
  EXPECT_FALSE(TryEncodeDate(2025, 2, 29, value));
  EXPECT_TRUE(TryEncodeDate(2024, 2, 29, value));
  EXPECT_FALSE(TryEncodeTime(24, 0, 0, 0, value));
  ASSERT_TRUE(TryEncodeTime(12, 0, 0, 0, value));
  EXPECT_DOUBLE_EQ(value, 0.5);
}

TEST(DateTime, ServerDateTimeRoundTripsToTheMillisecond) {
  const ServerDateTime given{2026, 3, 5, 14, 7, 9, 123};
  const ServerDateTime back = DateTimeToServerDateTime(ServerDateTimeToDateTime(given));
  EXPECT_EQ(back.Year, 2026);
  EXPECT_EQ(back.Month, 3);
  EXPECT_EQ(back.Day, 5);
  EXPECT_EQ(back.Hour, 14);
  EXPECT_EQ(back.Minute, 7);
  EXPECT_EQ(back.Second, 9);
  EXPECT_EQ(back.MilliSecond, 123);
}

TEST(DateTime, InvalidDateFallsBackToTodayKeepingTheTime) {
  const ServerDateTime given{2026, 13, 5, 10, 30, 0, 0};
  const TDateTime result = ServerDateTimeToDateTime(given);
  EXPECT_EQ(DateOf(result), DateOf(NowLocal()));
  TDateTime time = 0;
  TryEncodeTime(10, 30, 0, 0, time);
  EXPECT_NEAR(TimeOf(result), time, 1e-9);
}

TEST(DateTime, InvalidTimeFallsBackToNowKeepingTheDate) {
  const ServerDateTime given{2020, 1, 2, 25, 0, 0, 0};
  const TDateTime before = TimeOf(NowLocal());
  const TDateTime result = ServerDateTimeToDateTime(given);
  TDateTime date = 0;
  TryEncodeDate(2020, 1, 2, date);
  EXPECT_EQ(DateOf(result), date);
  EXPECT_GE(TimeOf(result) + 1e-6, before);
}

TEST(DateTime, LogFileNamesUseDotsInTheDateAndHyphensInTheTime) {
  TDateTime date = 0, time = 0;
  TryEncodeDate(2026, 3, 5, date);
  TryEncodeTime(14, 7, 9, 0, time);
  EXPECT_EQ(MakeLogFileName("/ini/Logs/", "Server", "Info", date + time),
            "/ini/Logs/VantrelServerInfo 2026.03.05 14-07-09.log");
}
