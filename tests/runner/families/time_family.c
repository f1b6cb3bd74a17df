/* Time: tick counts and the performance counter, FILETIME and SYSTEMTIME
   conversions with their range checks, a time zone's daylight rules, and
   the C runtime's time with the zone TZ names (PST8PDT: eight hours west,
   United States daylight rules), strftime, asctime and mktime. */
#include "families.h"

int main(void) {
    /* 1970-01-01 00:00 UTC, a Thursday, is 116444736000000000 in 100 ns
       units since 1601. */
    FileTime epoch = {0xD53E8000, 0x019DB1DE};
    SystemTime fields;
    CHECK(FileTimeToSystemTime(&epoch, &fields));
    CHECK_EQ(fields.Year, 1970);
    CHECK_EQ(fields.Month, 1);
    CHECK_EQ(fields.Day, 1);
    CHECK_EQ(fields.DayOfWeek, 4);
    CHECK_EQ(fields.Hour + fields.Minute + fields.Second + fields.Milliseconds, 0);
    {
        SystemTime leap = {2024, 2, 0, 29, 23, 59, 58, 999};
        FileTime back;
        SystemTime again;
        CHECK(SystemTimeToFileTime(&leap, &back));
        CHECK(FileTimeToSystemTime(&back, &again));
        CHECK_EQ(again.Day, 29);
        CHECK_EQ(again.DayOfWeek, 4);
        CHECK_EQ(again.Milliseconds, 999);
        leap.Year = 2023;
        SetLastError(0);
        CHECK(!SystemTimeToFileTime(&leap, &back));
        CHECK_EQ(GetLastError(), 87);
        FileTime late = {0, 0x80000000};
        CHECK(!FileTimeToSystemTime(&late, &again));
        CHECK_EQ(CompareFileTime(&epoch, &back), -1);
        CHECK_EQ(CompareFileTime(&back, &epoch), 1);
        CHECK_EQ(CompareFileTime(&epoch, &epoch), 0);
        WORD date = 0, time = 0;
        leap.Year = 2024;
        SystemTimeToFileTime(&leap, &back);
        CHECK(FileTimeToDosDateTime(&back, &date, &time));
        CHECK_EQ(date, ((2024 - 1980) << 9) | (2 << 5) | 29);
        CHECK_EQ(time, (23 << 11) | (59 << 5) | 29);
        CHECK(!FileTimeToDosDateTime(&epoch, &date, &time));
        CHECK(!SetSystemTime(&leap));
        CHECK_EQ(GetLastError(), 1314);
    }
    {
        /* Pacific time: UTC-8, daylight (UTC-7) from the second Sunday of
           March, 2:00, to the first Sunday of November, 2:00. */
        TimeZoneInformation pacific;
        memset(&pacific, 0, sizeof pacific);
        pacific.Bias = 480;
        pacific.DaylightBias = -60;
        pacific.StandardDate.Month = 11;
        pacific.StandardDate.Day = 1;
        pacific.StandardDate.Hour = 2;
        pacific.DaylightDate.Month = 3;
        pacific.DaylightDate.Day = 2;
        pacific.DaylightDate.Hour = 2;
        SystemTime summer = {2020, 7, 0, 1, 12, 0, 0, 0}, winter = {2020, 1, 0, 15, 12, 0, 0, 0};
        SystemTime local;
        CHECK(SystemTimeToTzSpecificLocalTime(&pacific, &summer, &local));
        CHECK_EQ(local.Hour, 5);
        CHECK(SystemTimeToTzSpecificLocalTime(&pacific, &winter, &local));
        CHECK_EQ(local.Hour, 4);
        /* 2020-03-08 is the second Sunday: 9:59 UTC is 1:59 PST, 10:00 UTC
           is 3:00 PDT. */
        SystemTime before = {2020, 3, 0, 8, 9, 59, 0, 0}, after = {2020, 3, 0, 8, 10, 0, 0, 0};
        CHECK(SystemTimeToTzSpecificLocalTime(&pacific, &before, &local));
        CHECK_EQ(local.Hour, 1);
        CHECK(SystemTimeToTzSpecificLocalTime(&pacific, &after, &local));
        CHECK_EQ(local.Hour, 3);
    }
    {
        LONGLONG frequency = 0, first = 0, second = 0;
        CHECK(QueryPerformanceFrequency(&frequency));
        CHECK(frequency > 0);
        CHECK(QueryPerformanceCounter(&first));
        Sleep(20);
        CHECK(QueryPerformanceCounter(&second));
        CHECK((second - first) * 50 >= frequency);
        DWORD ticks = GetTickCount();
        ULONGLONG ticks64 = GetTickCount64();
        CHECK((DWORD)ticks64 - ticks < 1000);
    }
    {
        /* The runtime's zone from TZ. */
        CHECK_EQ(_putenv("TZ=PST8PDT"), 0);
        _tzset();
        CHECK_EQ(*__p__timezone(), 8 * 3600);
        CHECK(*__p__daylight() != 0);
        CHECK_TEXT(__p__tzname()[0], "PST");
        CHECK_TEXT(__p__tzname()[1], "PDT");
        long summer = 1593604800; /* 2020-07-01 12:00:00 UTC */
        long winter = 1579089600; /* 2020-01-15 12:00:00 UTC */
        struct tm* tm = localtime(&summer);
        CHECK(tm != 0);
        CHECK_EQ(tm->tm_hour, 5);
        CHECK_EQ(tm->tm_isdst, 1);
        char text[64];
        CHECK_EQ(strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S %Z %a %b %j %p", tm), 38);
        CHECK_TEXT(text, "2020-07-01 05:00:00 PDT Wed Jul 183 AM");
        CHECK_TEXT(asctime(tm), "Wed Jul 01 05:00:00 2020\n");
        CHECK_EQ(strftime(text, 5, "%Y-%m", tm), 0);
        CHECK_EQ(mktime(tm), summer);
        tm = localtime(&winter);
        CHECK_EQ(tm->tm_hour, 4);
        CHECK_EQ(tm->tm_isdst, 0);
        CHECK_TEXT(ctime(&winter), "Wed Jan 15 04:00:00 2020\n");
        tm->tm_mday += 31; /* normalised: February 15th */
        tm->tm_isdst = -1;
        CHECK_EQ(mktime(tm), winter + 31 * 86400);
        CHECK_EQ(tm->tm_mon, 1);
        CHECK_EQ(tm->tm_mday, 15);
        tm = gmtime(&summer);
        CHECK_EQ(tm->tm_hour, 12);
        CHECK_EQ(tm->tm_yday, 182);
        CHECK_EQ(tm->tm_wday, 3);
        long long far = 4102444800LL; /* 2100-01-01, past 32-bit time */
        tm = _gmtime64(&far);
        CHECK(tm != 0 && tm->tm_year == 200);
        long negative = -1;
        CHECK(gmtime(&negative) == 0);
        CHECK(localtime(&negative) == 0);
        CHECK_EQ(strftime(text, sizeof text, "%#d/%#m %I", gmtime(&summer)), 6);
        CHECK_TEXT(text, "1/7 12");
        CHECK_EQ(strftime(text, sizeof text, "%Q", gmtime(&summer)), 0);
    }
    {
        long now = time(0);
        long long now64 = _time64(0);
        CHECK(now64 - now <= 1 && now64 >= now);
        CHECK(now > 1600000000);
        CHECK(clock() >= 0);
    }
    return Finish("time");
}
