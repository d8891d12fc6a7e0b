#include "common/utc_time.hpp"

#include "common/format.hpp"

namespace qz4 {

namespace {

struct civil_date {
    std::uint64_t year;
    unsigned month; // 1 to 12
    unsigned day;   // 1 to 31
};

// The proleptic Gregorian date of a day counted from 1970-01-01, in eras of 400 years
// (146097 days), each starting on 1 March so that the leap day ends the era's year. Unsigned
// throughout: every day from 1970 on, up to the last second a 64-bit count can hold.
civil_date date_of_day(std::uint64_t days_since_1970) {
    const std::uint64_t days = days_since_1970 + 719468; // days since 0000-03-01
    const std::uint64_t era = days / 146097;
    const std::uint64_t day_of_era = days % 146097;
    const std::uint64_t year_of_era =
        (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const std::uint64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const std::uint64_t month_from_march = (5 * day_of_year + 2) / 153;
    const auto day = static_cast<unsigned>(day_of_year - (153 * month_from_march + 2) / 5 + 1);
    const auto month =
        static_cast<unsigned>(month_from_march < 10 ? month_from_march + 3 : month_from_march - 9);
    return {era * 400 + year_of_era + (month <= 2 ? 1 : 0), month, day};
}

} // namespace

std::uint64_t unix_time_now(const wall_clock& clock) {
    const auto now = clock ? clock() : std::chrono::system_clock::now();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count();
    return seconds < 0 ? 0 : static_cast<std::uint64_t>(seconds);
}

std::string utc_time_text(std::uint64_t seconds) {
    constexpr std::uint64_t seconds_per_day = 86400;
    const civil_date date = date_of_day(seconds / seconds_per_day);
    const std::uint64_t of_day = seconds % seconds_per_day;
    return format_narrow("%04llu-%02u-%02u %02u:%02u:%02u UTC", static_cast<unsigned long long>(date.year),
                         date.month, date.day, static_cast<unsigned>(of_day / 3600),
                         static_cast<unsigned>(of_day / 60 % 60), static_cast<unsigned>(of_day % 60));
}

} // namespace qz4
