// platform/calendar_time.cpp: calendar time for listings and the log, the same on both
// platforms over each runtime's own broken-down time.
#include "platform/platform.h"

#include <ctime>

#include "platform/primitives.h"

static int toCalendarTime(long long time, bool local, CalendarTime* out) {
    struct tm broken;
    if (breakDownTime(time, local, &broken) != 0) {
        return -1;
    }
    out->year = broken.tm_year + 1900;
    out->month = broken.tm_mon + 1;
    out->day = broken.tm_mday;
    out->weekday = broken.tm_wday;
    out->hour = broken.tm_hour;
    out->minute = broken.tm_min;
    out->second = broken.tm_sec;
    return 0;
}

int toLocalTime(long long time, CalendarTime* out) {
    return toCalendarTime(time, true, out);
}

int toUniversalTime(long long time, CalendarTime* out) {
    return toCalendarTime(time, false, out);
}
