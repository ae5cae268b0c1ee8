// Small look-ups beside the string layer: English date names, neighbouring
// dates, random texts, charset tests, in-place unescaping and run-time
// library loading.
#pragma once

#include <cstdint>
#include <ctime>

namespace ostrel {

// 62 letters and digits, the set used when a caller passes none.
extern const char rand_default_charset[];

// Names point to constant texts; a value above the table gives "".
const char* date_month_abbr(int month);  // 1-12
const char* date_month_name(int month);  // 1-12
const char* date_weekday_abbr(int day);  // 0-7, 0 and 7 Sunday
const char* date_weekday_name(int day);
const char* date_weekday_2(int day);
const char* date_ordinal_suffix(int n);

// Dates are YYYYMMDD; precision 'd', 'm' or 'y', anything else chosen from
// the date (month 00 = year, day 00 = month). Always 1.
int date_range_bounds(int date, char precision, int* before, int* after);

// n random characters of set (NULL: the default) from rand(); out holds n+1.
char* rand_string(char* out, const char* set, int n);
// 1 when the first n bytes of text are in set (NULL: the default); a text
// shorter than n counts up to its terminator. NULL text: 0; n < 1: 1.
int str_span_charset(const char* text, const char* set, int n);
int str_in_charset(const char* text, const char* set);
// "\\", "\n", "\r", "\t" become one byte; other backslashes stay.
char* str_unescape(char* text);

void* file_dlopen(const char* name);
void* file_dlsym(void* module, const char* symbol);
int file_dlclose(void* module);  // 0 released, 1 failed

// The calendar time (UTC) of *time into out; NULL when it has none.
struct tm* date_gmtime_copy(const int64_t* time, struct tm* out);

}  // namespace ostrel
