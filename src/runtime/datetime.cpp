#include "runtime/datetime.h"

#include <cmath>
#include <ctime>
#include <mutex>

namespace velpic {
namespace {

// GBK bytes of the date and time unit characters.
constexpr std::string_view kYearChar = "\xC4\xEA";   // 年
constexpr std::string_view kMonthChar = "\xD4\xC2";  // 月
constexpr std::string_view kDayChar = "\xC8\xD5";    // 日
constexpr std::string_view kHourChar = "\xCA\xB1";   // 时
constexpr std::string_view kMinuteChar = "\xB7\xD6"; // 分
constexpr std::string_view kSecondChar = "\xC3\xEB"; // 秒

constexpr long long kMillisecondsPerDay = 86400000LL;
constexpr double kTruncationAllowance = 5.787037037037037e-6;

// Days since 1970-01-01 in the proleptic Gregorian calendar (after H. Hinnant's days_from_civil).
long long days_from_civil(long long y, int m, int d) {
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const long long yoe = y - era * 400;
    const long long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const long long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void civil_from_days(long long z, int& year, int& month, int& day) {
    z += 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const long long doe = z - era * 146097;
    const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const long long mp = (5 * doy + 2) / 153;
    day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    year = static_cast<int>(yoe + era * 400 + (month <= 2));
}

const long long kDayZero = days_from_civil(1899, 12, 30);

int days_in_month(int year, int month) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : days[month - 1];
}

// The signed, continuous form of a day count: automation dates before day 0 store the time fraction
// with the wrong sign for arithmetic.
double linear_days(double datetime) {
    const double day = std::trunc(datetime);
    return day + std::fabs(datetime - day);
}

std::mutex clock_mutex;
LocalClock replaced_clock;

class Parser {
public:
    explicit Parser(std::string_view text) : text_(text) {}

    void skip_spaces() {
        while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t'))
            ++pos_;
    }
    bool at_end() const { return pos_ == text_.size(); }
    bool accept(std::string_view token) {
        if (text_.substr(pos_, token.size()) != token)
            return false;
        pos_ += token.size();
        return true;
    }
    bool accept_any(std::string_view chars, char& which) {
        if (pos_ < text_.size() && chars.find(text_[pos_]) != std::string_view::npos) {
            which = text_[pos_++];
            return true;
        }
        return false;
    }
    // 1 to max_digits decimal digits.
    bool number(int& value, size_t max_digits) {
        size_t digits = 0;
        value = 0;
        while (pos_ < text_.size() && digits < max_digits && text_[pos_] >= '0' && text_[pos_] <= '9') {
            value = value * 10 + (text_[pos_++] - '0');
            ++digits;
        }
        return digits > 0;
    }
    size_t digits_ahead() const {
        size_t n = 0;
        while (pos_ + n < text_.size() && text_[pos_ + n] >= '0' && text_[pos_ + n] <= '9')
            ++n;
        return n;
    }

private:
    std::string_view text_;
    size_t pos_ = 0;
};

bool parse_time(Parser& p, DateTimeFields& f) {
    if (!p.number(f.hour, 2))
        return false;
    if (p.accept(kHourChar)) {
        // "20时", "20时5分", "20时5分3秒"
        if (p.number(f.minute, 2)) {
            if (!p.accept(kMinuteChar))
                return false;
            if (p.number(f.second, 2) && !p.accept(kSecondChar))
                return false;
        }
        return true;
    }
    if (!p.accept(":") || !p.number(f.minute, 2))
        return false;
    if (p.accept(":")) {
        if (!p.number(f.second, 2))
            return false;
        if (p.accept(".") && !p.number(f.millisecond, 3))
            return false;
    }
    return true;
}

bool parse_datetime(std::string_view text, DateTimeFields& f) {
    Parser p(text);
    p.skip_spaces();
    if (p.digits_ahead() == 8 || p.digits_ahead() == 14) {
        // Compact forms: 20211127 and 20211127200000.
        const bool with_time = p.digits_ahead() == 14;
        p.number(f.year, 4);
        p.number(f.month, 2);
        p.number(f.day, 2);
        if (with_time) {
            p.number(f.hour, 2);
            p.number(f.minute, 2);
            p.number(f.second, 2);
        }
    } else {
        if (!p.number(f.year, 4))
            return false;
        char sep = 0;
        const bool chinese = p.accept(kYearChar);
        if (!chinese && !p.accept_any("-/.", sep))
            return false;
        if (!p.number(f.month, 2))
            return false;
        if (chinese ? !p.accept(kMonthChar) : !p.accept(std::string_view(&sep, 1)))
            return false;
        if (!p.number(f.day, 2))
            return false;
        const bool day_char = chinese && p.accept(kDayChar);
        if (chinese && !day_char)
            return false;
        const bool separated = p.accept(" ") || p.accept("T");
        p.skip_spaces();
        if (!p.at_end() && (separated || day_char) && !parse_time(p, f))
            return false;
    }
    p.skip_spaces();
    if (!p.at_end())
        return false;
    return f.year >= 100 && f.year <= 9999 && f.month >= 1 && f.month <= 12 && f.day >= 1 &&
           f.day <= days_in_month(f.year, f.month) && f.hour < 24 && f.minute < 60 && f.second < 60;
}

} // namespace

DateTimeFields system_local_time() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    DateTimeFields f;
    f.year = local.tm_year + 1900;
    f.month = local.tm_mon + 1;
    f.day = local.tm_mday;
    f.hour = local.tm_hour;
    f.minute = local.tm_min;
    // A leap second (60) is folded into the last ordinary one.
    f.second = local.tm_sec > 59 ? 59 : local.tm_sec;
    f.millisecond = static_cast<int>(now.tv_nsec / 1000000);
    return f;
}

LocalClock local_clock() {
    std::lock_guard lock(clock_mutex);
    if (replaced_clock)
        return replaced_clock;
    return system_local_time;
}

void set_local_clock(LocalClock clock) {
    std::lock_guard lock(clock_mutex);
    replaced_clock = std::move(clock);
}

double datetime_from_fields(const DateTimeFields& f) {
    // Months outside 1..12 roll into neighbouring years rather than indexing past the calendar.
    long long year = f.year;
    long long month0 = f.month - 1;
    year += month0 >= 0 ? month0 / 12 : (month0 - 11) / 12;
    month0 = ((month0 % 12) + 12) % 12;
    const long long day = days_from_civil(year, static_cast<int>(month0 + 1), 1) + (f.day - 1) - kDayZero;
    const double fraction =
        (((f.hour * 60.0 + f.minute) * 60.0 + f.second) * 1000.0 + f.millisecond) / kMillisecondsPerDay;
    return day >= 0 ? static_cast<double>(day) + fraction : static_cast<double>(day) - fraction;
}

DateTimeFields datetime_to_fields(double datetime) {
    if (!std::isfinite(datetime))
        return DateTimeFields{};
    double whole = std::trunc(datetime);
    long long day = static_cast<long long>(whole);
    long long ms = std::llround(std::fabs(datetime - whole) * kMillisecondsPerDay);
    if (ms >= kMillisecondsPerDay) {
        ++day;
        ms -= kMillisecondsPerDay;
    }
    DateTimeFields f;
    civil_from_days(day + kDayZero, f.year, f.month, f.day);
    f.millisecond = static_cast<int>(ms % 1000);
    ms /= 1000;
    f.second = static_cast<int>(ms % 60);
    ms /= 60;
    f.minute = static_cast<int>(ms % 60);
    f.hour = static_cast<int>(ms / 60);
    return f;
}

double current_datetime(const LocalClock& clock) {
    return datetime_from_fields(clock ? clock() : system_local_time());
}

double text_to_datetime(std::string_view text) {
    DateTimeFields f;
    DateTimeFields parsed{0, 0, 0, 0, 0, 0, 0};
    if (parse_datetime(text, parsed))
        f = parsed;
    return datetime_from_fields(f);
}

double datetime_difference(double a, double b, int unit) {
    const double days = linear_days(a) - linear_days(b);
    switch (unit) {
    case kYears:
    case kQuarters:
    case kMonths: {
        const DateTimeFields fa = datetime_to_fields(a);
        const DateTimeFields fb = datetime_to_fields(b);
        if (unit == kYears)
            return fa.year - fb.year;
        if (unit == kQuarters)
            return (fa.year * 4 + (fa.month - 1) / 3) - (fb.year * 4 + (fb.month - 1) / 3);
        return (fa.year * 12 + fa.month) - (fb.year * 12 + fb.month);
    }
    case kWeeks:
        return std::trunc(days / 7);
    case kDays:
        return days;
    case kHours:
        return std::trunc(days * 24 + kTruncationAllowance);
    case kMinutes:
        return std::trunc(days * 1440 + kTruncationAllowance);
    case kSeconds:
        return std::trunc(days * 86400 + kTruncationAllowance);
    default:
        return 0;
    }
}

std::string datetime_to_text(double datetime) {
    const DateTimeFields f = datetime_to_fields(datetime);
    std::string out = std::to_string(f.year);
    out.append(kYearChar).append(std::to_string(f.month)).append(kMonthChar);
    out.append(std::to_string(f.day)).append(kDayChar);
    if (f.hour == 0 && f.minute == 0 && f.second == 0)
        return out;
    out.append(std::to_string(f.hour)).append(kHourChar);
    if (f.minute == 0 && f.second == 0)
        return out;
    out.append(std::to_string(f.minute)).append(kMinuteChar);
    if (f.second != 0)
        out.append(std::to_string(f.second)).append(kSecondChar);
    return out;
}

} // namespace velpic
