#include "runtime/datetime.h"

#include <gtest/gtest.h>

using namespace velpic;

namespace {
DateTimeFields fields(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
    return DateTimeFields{y, mo, d, h, mi, s, ms};
}
const double kFloor = -657434; // 100-01-01, what unreadable text gives
// GBK unit characters.
const std::string Y = "\xC4\xEA", M = "\xD4\xC2", D = "\xC8\xD5", H = "\xCA\xB1", MI = "\xB7\xD6", S = "\xC3\xEB";
} // namespace

TEST(DateTime, DayCountsFollowTheAutomationDateScale) {
    EXPECT_EQ(datetime_from_fields(fields(1899, 12, 30)), 0);
    EXPECT_EQ(datetime_from_fields(fields(1970, 1, 1)), 25569);
    EXPECT_EQ(datetime_from_fields(fields(2021, 11, 27)), 44527);
    EXPECT_EQ(datetime_from_fields(fields(100, 1, 1)), kFloor);
    EXPECT_DOUBLE_EQ(datetime_from_fields(fields(1970, 1, 1, 8)), 25569 + 1.0 / 3);
    EXPECT_DOUBLE_EQ(datetime_from_fields(fields(2000, 1, 1, 12)), 36526.5);
    // Before day 0 the time is still a positive distance from midnight.
    EXPECT_DOUBLE_EQ(datetime_from_fields(fields(1899, 12, 29, 6)), -1.25);
    EXPECT_EQ(datetime_from_fields(fields(2021, 13, 1)), datetime_from_fields(fields(2022, 1, 1)));
}

TEST(DateTime, FieldsRoundTrip) {
    for (const auto& f : {fields(2021, 11, 27, 20, 0, 0, 45), fields(2000, 2, 29, 23, 59, 59, 999),
                          fields(1899, 12, 29, 6, 30), fields(100, 1, 1), fields(9999, 12, 31, 23, 59, 59)}) {
        EXPECT_EQ(datetime_to_fields(datetime_from_fields(f)), f) << f.year << "-" << f.month << "-" << f.day;
    }
    // Rounding to the millisecond carries into the next day instead of giving 24 o'clock.
    EXPECT_EQ(datetime_to_fields(44527 + 0.99999999999), fields(2021, 11, 28));
}

TEST(DateTime, TextToDateTime) {
    EXPECT_DOUBLE_EQ(text_to_datetime("1970-01-01 08:00:00"), 25569 + 1.0 / 3);
    EXPECT_EQ(text_to_datetime("2021/11/27"), 44527);
    EXPECT_EQ(text_to_datetime(" 2021-11-27 "), 44527);
    EXPECT_EQ(text_to_datetime("20211127200500"), datetime_from_fields(fields(2021, 11, 27, 20, 5)));
    EXPECT_EQ(text_to_datetime("2021-11-27 20:05"), datetime_from_fields(fields(2021, 11, 27, 20, 5)));
    EXPECT_EQ(text_to_datetime("2021" + Y + "11" + M + "27" + D + "20" + H + "5" + MI),
              datetime_from_fields(fields(2021, 11, 27, 20, 5)));
    for (const char* bad : {"", "abc", "2021-13-01", "2021-02-29", "2021-11-27 24:00:00", "2021-11-27x", "2021-11/27",
                            "1970-01-01 08:00:00 junk"}) {
        EXPECT_EQ(text_to_datetime(bad), kFloor) << bad;
    }
    EXPECT_EQ(text_to_datetime("2020-02-29"), datetime_from_fields(fields(2020, 2, 29)));
}

TEST(DateTime, DifferenceTruncatesWholeUnitsDespiteRoundingNoise) {
    const double base = text_to_datetime("1970-01-01 08:00:00");
    EXPECT_EQ(datetime_difference(datetime_from_fields(fields(2021, 11, 27, 20)), base, kSeconds), 1638014400);
    // Without the allowance this product is 1637942406.9999998 and would lose a second.
    EXPECT_EQ(datetime_difference(datetime_from_fields(fields(2021, 11, 27, 0, 0, 7)), base, kSeconds), 1637942407);
    // Fractions of a unit are cut, towards zero for negative differences too.
    const double t = datetime_from_fields(fields(2021, 11, 27, 10, 30, 59, 900));
    const double noon = datetime_from_fields(fields(2021, 11, 27, 12));
    EXPECT_EQ(datetime_difference(t, base, kSeconds) - datetime_difference(t - 0.9 / 86400, base, kSeconds), 0);
    EXPECT_EQ(datetime_difference(noon, t, kHours), 1);
    EXPECT_EQ(datetime_difference(noon, t, kMinutes), 89);
    EXPECT_EQ(datetime_difference(t, noon, kHours), -1);
    EXPECT_DOUBLE_EQ(datetime_difference(44528.5, 44527, kDays), 1.5);
    EXPECT_EQ(datetime_difference(44527 + 20, 44527, kWeeks), 2);
    // Calendar units count boundaries: one day apart across a new year is one year, one quarter, one month.
    const double new_year = datetime_from_fields(fields(2022, 1, 1));
    const double old_year = datetime_from_fields(fields(2021, 12, 31));
    EXPECT_EQ(datetime_difference(new_year, old_year, kYears), 1);
    EXPECT_EQ(datetime_difference(new_year, old_year, kQuarters), 1);
    EXPECT_EQ(datetime_difference(new_year, old_year, kMonths), 1);
    EXPECT_EQ(datetime_difference(new_year, old_year, 99), 0);
    // Before day 0 the continuous scale is used: 1899-12-29 06:00 is 18 hours before day 0.
    EXPECT_EQ(datetime_difference(0, -1.25, kHours), 18);
}

TEST(DateTime, TextFormsDropZeroTrailingTimeParts) {
    const std::string date = "2021" + Y + "11" + M + "7" + D;
    EXPECT_EQ(datetime_to_text(datetime_from_fields(fields(2021, 11, 7))), date);
    EXPECT_EQ(datetime_to_text(datetime_from_fields(fields(2021, 11, 7, 20))), date + "20" + H);
    EXPECT_EQ(datetime_to_text(datetime_from_fields(fields(2021, 11, 7, 20, 5))), date + "20" + H + "5" + MI);
    EXPECT_EQ(datetime_to_text(datetime_from_fields(fields(2021, 11, 7, 0, 0, 9))),
              date + "0" + H + "0" + MI + "9" + S);
    // Milliseconds are not shown.
    EXPECT_EQ(datetime_to_text(datetime_from_fields(fields(2021, 11, 7, 20, 0, 9, 500))),
              date + "20" + H + "0" + MI + "9" + S);
}

TEST(DateTime, ClockIsInjectable) {
    const LocalClock fixed = [] { return fields(2021, 11, 27, 20, 0, 0, 45); };
    EXPECT_EQ(current_datetime(fixed), datetime_from_fields(fields(2021, 11, 27, 20, 0, 0, 45)));

    set_local_clock(fixed);
    EXPECT_EQ(current_datetime(), datetime_from_fields(fields(2021, 11, 27, 20, 0, 0, 45)));
    set_local_clock({});
    // The system clock again: a plausible present, not the fixed time.
    const DateTimeFields now = local_clock()();
    EXPECT_GE(now.year, 2020);
    EXPECT_NE(now, fixed());
    EXPECT_LT(now.millisecond, 1000);
}
