// Date-times as day counts (double, day 0 = 1899-12-30, the time as the fraction), the local wall clock
// behind a replaceable function, and the program's text forms of a date-time.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace velpic {

struct DateTimeFields {
    int year = 100;
    int month = 1;
    int day = 1;
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millisecond = 0;
    bool operator==(const DateTimeFields&) const = default;
};

// Reads the local wall-clock time; tests swap in a fixed one.
using LocalClock = std::function<DateTimeFields()>;

DateTimeFields system_local_time();
// The process-wide clock: the system one unless set_local_clock replaced it (an empty clock restores it).
LocalClock local_clock();
void set_local_clock(LocalClock clock);

// Days before day 0 keep the time as a positive fraction (-1.25 is 1899-12-29 06:00), as automation dates do.
double datetime_from_fields(const DateTimeFields& fields);
// Rounded to the nearest millisecond.
DateTimeFields datetime_to_fields(double datetime);

double current_datetime(const LocalClock& clock = local_clock());

// "2021-11-27 20:00:00", "2021/11/27", "2021年11月27日20时5分"...; unreadable text gives 100-01-01 00:00:00.
double text_to_datetime(std::string_view text);

enum DateUnit : int {
    kYears = 1,
    kQuarters = 2,
    kMonths = 3,
    kWeeks = 4,
    kDays = 5,
    kHours = 6,
    kMinutes = 7,
    kSeconds = 8,
};

// a - b in the unit. Years, quarters and months count calendar boundaries crossed, weeks are whole weeks,
// days keep their fraction; hours, minutes and seconds are truncated after adding 5.787037037037037e-6 so
// that a product like 1638014399.9999998 still counts as whole seconds. An unknown unit gives 0.
double datetime_difference(double a, double b, int unit);

// GBK "2021年11月27日20时5分3秒"; "20时5分" when the seconds are 0, "20时" when minutes and seconds are 0,
// and the date alone at midnight. Milliseconds are not shown.
std::string datetime_to_text(double datetime);

} // namespace velpic
