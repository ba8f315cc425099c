// The proleptic Gregorian calendar from a day count, by eras of 400 years (146,097 days),
// in the well-known civil-from-days form that needs no tables.
#include "runtime/time_text.h"
#include "runtime/text.h"

struct CivilDate {
    i64 year;
    i64 month;
    i64 day;
};

static CivilDate civil_from_days(i64 days)
{
    days += 719468;
    i64 era = days / 146097;
    i64 day_of_era = days - era * 146097;
    i64 year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    i64 day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    i64 month_index = (5 * day_of_year + 2) / 153;
    i64 day = day_of_year - (153 * month_index + 2) / 5 + 1;
    i64 month = month_index < 10 ? month_index + 3 : month_index - 9;
    i64 year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);
    return { year, month, day };
}

static i64 append_two_digits(char* buf, i64 pos, i64 value)
{
    pos = append_byte(buf, pos, (char)('0' + value / 10));
    return append_byte(buf, pos, (char)('0' + value % 10));
}

i64 append_utc_time(char* buf, i64 pos, i64 seconds)
{
    if (seconds < 0)
        seconds = 0;
    // Four-digit years keep the text at its fixed width.
    if (seconds > 253402300799)
        seconds = 253402300799;
    CivilDate date = civil_from_days(seconds / 86400);
    i64 in_day = seconds % 86400;
    pos = append_two_digits(buf, pos, date.year / 100);
    pos = append_two_digits(buf, pos, date.year % 100);
    pos = append_byte(buf, pos, '-');
    pos = append_two_digits(buf, pos, date.month);
    pos = append_byte(buf, pos, '-');
    pos = append_two_digits(buf, pos, date.day);
    pos = append_byte(buf, pos, 'T');
    pos = append_two_digits(buf, pos, in_day / 3600);
    pos = append_byte(buf, pos, ':');
    pos = append_two_digits(buf, pos, in_day / 60 % 60);
    pos = append_byte(buf, pos, ':');
    pos = append_two_digits(buf, pos, in_day % 60);
    return append_byte(buf, pos, 'Z');
}
