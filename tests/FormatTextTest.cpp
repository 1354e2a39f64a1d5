#include "support/FormatText.h"

#include <gtest/gtest.h>

#include <random>

using vantrel::EFormatError;
using vantrel::FormatText;
using vantrel::TFormatArg;

TEST(FormatText, DirectivesOfTheLogLinesFormatTheirArguments) {
  EXPECT_EQ(FormatText("InternalOnOffering: %s : %d", {"Line 1", 42}), "InternalOnOffering: Line 1 : 42");
  EXPECT_EQ(FormatText("inet:%s:%s", {"127.0.0.1", "2809"}), "inet:127.0.0.1:2809");
  EXPECT_EQ(FormatText("%x", {255}), "FF");
  EXPECT_EQ(FormatText("%x", {-1}), "FFFFFFFF");
  EXPECT_EQ(FormatText("%u", {7u}), "7");
  EXPECT_EQ(FormatText("100%%", {}), "100%");
  EXPECT_EQ(FormatText("%d", {-12}), "-12");
}

TEST(FormatText, WidthPrecisionAndIndexesFollowTheRuntimeFormat) {
  EXPECT_EQ(FormatText("%5d|", {42}), "   42|");
  EXPECT_EQ(FormatText("%-5d|", {42}), "42   |");
  EXPECT_EQ(FormatText("%.4d", {7}), "0007");
  EXPECT_EQ(FormatText("%.4d", {-7}), "-0007");
  EXPECT_EQ(FormatText("%.2s", {"abcdef"}), "ab");
  EXPECT_EQ(FormatText("%*d", {4, 1}), "   1");
  EXPECT_EQ(FormatText("%1:s %0:s %s", {"a", "b", "c"}), "b a b");
  EXPECT_EQ(FormatText("%.2f", {3.14159}), "3.14");
  EXPECT_EQ(FormatText("%n", {1234567.5}), "1,234,567.50");
  EXPECT_EQ(FormatText("%.3e", {1234.5}), "1.23E+03");
}

TEST(FormatText, MismatchedOrMissingArgumentsRaiseAFormatError) {
  EXPECT_THROW(FormatText("%d", {"text"}), EFormatError);
  EXPECT_THROW(FormatText("%s", {5}), EFormatError);
  EXPECT_THROW(FormatText("%f", {5}), EFormatError);
  EXPECT_THROW(FormatText("%s %s", {"one"}), EFormatError);
  EXPECT_THROW(FormatText("50% off", {}), EFormatError);
  EXPECT_THROW(FormatText("ends with %", {}), EFormatError);
  EXPECT_THROW(FormatText("%q", {1}), EFormatError);
  EXPECT_THROW(FormatText("%5:s", {"a"}), EFormatError);
  EXPECT_THROW(FormatText("%999999999999d", {1}), EFormatError);
}

TEST(FormatText, ErrorTextNamesTheFormat) {
  try {
    FormatText("a % b", {});
    FAIL();
  } catch (const EFormatError& error) {
    EXPECT_STREQ(error.what(), "Format 'a % b' invalid or incompatible with argument");
  }
}

// Hostile format texts from remote data: every outcome is a text or an EFormatError, never a crash.
TEST(FormatText, RandomFormatTextsNeverCrash) {
  std::mt19937 random(12345);
  const std::string alphabet = "%%%%sdxufegnmp0123456789.-*:abc ";
  const TFormatArg args[] = {1, "two", 3.0, -4, "five"};
  for (int round = 0; round < 20000; ++round) {
    std::string format;
    const int length = static_cast<int>(random() % 16);
    for (int i = 0; i < length; ++i) format.push_back(alphabet[random() % alphabet.size()]);
    try {
      const std::string text = FormatText(format, args);
      EXPECT_LT(text.size(), 1'000'000u);
    } catch (const EFormatError&) {
    }
  }
}
