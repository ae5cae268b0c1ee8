#include "support/date.hpp"

#include <dlfcn.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace ostrel {

const char rand_default_charset[] =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";

namespace {

const char* const full_months[] = {"January",   "February", "March",    "April",
                                   "May",       "June",     "July",     "August",
                                   "September", "October",  "November", "December"};
const char* const short_months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                    "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const char* const full_days[] = {"Sunday",   "Monday", "Tuesday",  "Wednesday",
                                 "Thursday", "Friday", "Saturday", "Sunday"};
const char* const short_days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
const char* const two_days[] = {"Su", "Mo", "Tu", "We", "Th", "Fr", "Sa", "Su"};

template <int N>
const char* pick(const char* const (&table)[N], int i) {
    return i >= 0 && i < N ? table[i] : "";
}

}  // namespace

const char* date_month_abbr(int month) {
    return pick(short_months, month - 1);
}
const char* date_month_name(int month) {
    return pick(full_months, month - 1);
}
const char* date_weekday_abbr(int day) {
    return pick(short_days, day);
}
const char* date_weekday_name(int day) {
    return pick(full_days, day);
}
const char* date_weekday_2(int day) {
    return pick(two_days, day);
}

const char* date_ordinal_suffix(int n) {
    int teen = n % 100;
    if (teen >= 11 && teen <= 13) return "th";
    switch (n % 10) {
        case 1:
            return "st";
        case 2:
            return "nd";
        case 3:
            return "rd";
        default:
            return "th";
    }
}

namespace {

bool leap_year(int y) {
    return y % 4 == 0 && (y % 100 != 0 || y % 400 == 0);
}

// The date as the runtime formats and reads it back ("%04d%02d%02d").
int make_date(long long y, long long m, long long d) {
    char text[80];
    std::snprintf(text, sizeof text, "%04lld%02lld%02lld", y, m, d);
    long long v = std::strtoll(text, nullptr, 10);
    return v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : static_cast<int>(v);
}

int day_before(long long y, int m, int d) {
    if (d != 1) return make_date(y, m, d - 1);
    if (m == 1) return make_date(y - 1, 12, 31);
    if (m == 5 || m == 7 || m == 10 || m == 12) return make_date(y, m - 1, 30);
    if (m == 3) return make_date(y, 2, leap_year(static_cast<int>(y)) ? 29 : 28);
    return make_date(y, m - 1, 31);
}

int day_after(long long y, int m, int d) {
    if (m == 2) {
        if (d == 29 || (d == 28 && !leap_year(static_cast<int>(y)))) return make_date(y, 3, 1);
        return make_date(y, 2, d + 1);
    }
    if (m == 12) return d == 31 ? make_date(y + 1, 1, 1) : make_date(y, 12, d + 1);
    int last = (m == 4 || m == 6 || m == 9 || m == 11) ? 30 : 31;
    return d == last ? make_date(y, m + 1, 1) : make_date(y, m, d + 1);
}

}  // namespace

int date_range_bounds(int date, char precision, int* before, int* after) {
    long long y = date / 10000;
    int md = date % 10000, m = md / 100, d = date % 100;
    if (precision != 'd' && precision != 'm' && precision != 'y')
        precision = (md >= -99 && md <= 99) ? 'y' : d == 0 ? 'm' : 'd';
    if (precision == 'y') {
        *before = make_date(y - 1, 0, 0);
        *after = make_date(y + 1, 0, 0);
    } else if (precision == 'm') {
        *before = m == 1 ? make_date(y - 1, 12, 0) : make_date(y, m - 1, 0);
        *after = m == 12 ? make_date(y + 1, 1, 0) : make_date(y, m + 1, 0);
    } else {
        *before = day_before(y, m, d);
        *after = day_after(y, m, d);
    }
    return 1;
}

char* rand_string(char* out, const char* set, int n) {
    out[0] = '\0';
    if (n < 0) return out;
    if (!set) set = rand_default_charset;
    size_t len = std::strlen(set);
    if (len == 0) return out;  // nothing to draw from
    for (int i = 0; i < n; ++i) out[i] = set[static_cast<size_t>(std::rand()) % len];
    out[n] = '\0';
    return out;
}

namespace {

bool in_set(const char* set, char c) {
    return std::strchr(set, c) != nullptr;
}

}  // namespace

int str_span_charset(const char* text, const char* set, int n) {
    if (!text) return 0;
    if (n < 1) return 1;
    if (!set) set = rand_default_charset;
    // The terminator belongs to every set; nothing after it is read.
    for (int i = 0; i < n && text[i]; ++i)
        if (!in_set(set, text[i])) return 0;
    return 1;
}

int str_in_charset(const char* text, const char* set) {
    if (!text) return 0;
    if (!set) set = rand_default_charset;
    for (const char* p = text; *p; ++p)
        if (!in_set(set, *p)) return 0;
    return 1;
}

char* str_unescape(char* text) {
    char* w = text;
    for (const char* r = text; *r; ++r) {
        if (*r != '\\' || !r[1]) {
            *w++ = *r;
            continue;
        }
        switch (r[1]) {
            case '\\':
                *w++ = '\\';
                break;
            case 'n':
                *w++ = '\n';
                break;
            case 'r':
                *w++ = '\r';
                break;
            case 't':
                *w++ = '\t';
                break;
            default:
                *w++ = '\\';  // not an escape: both bytes stay
                *w++ = r[1];
        }
        ++r;
    }
    *w = '\0';
    return text;
}

void* file_dlopen(const char* name) {
    return ::dlopen(name, RTLD_NOW | RTLD_LOCAL);
}
void* file_dlsym(void* module, const char* symbol) {
    return module ? ::dlsym(module, symbol) : nullptr;
}
int file_dlclose(void* module) {
    return module && ::dlclose(module) == 0 ? 0 : 1;
}

struct tm* date_gmtime_copy(const int64_t* time, struct tm* out) {
    const time_t t = static_cast<time_t>(*time);
    return gmtime_r(&t, out);
}

}  // namespace ostrel
