#include "qmplatform/datetime.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <thread>

using namespace qm;
using namespace qm::platform;

namespace {

// 1700000000 = Tue 2023-11-14 22:13:20 UTC; 1690000000 = Sat 2023-07-22 04:26:40 UTC.
Date unix(double s) { return Date{s - 978307200.0}; }
const Date kNov = unix(1700000000);
const Date kJul = unix(1690000000);

struct Row {
    const char* pattern;
    const char* utc;
    const char* kolkata;  // +05:30: Wed 2023-11-15 03:43:20
    double truncated;     // seconds the pattern drops (UTC, Kolkata); -1 when it has no year
    double truncatedKolkata;
};

const Row kRows[] = {
    {"yyyy-MM-dd", "2023-11-14", "2023-11-15", 80000, 13400},
    {"yyyy-MM-dd HH:mm:ss", "2023-11-14 22:13:20", "2023-11-15 03:43:20", 0, 0},
    {"dd-MM-yyyy HH:mm", "14-11-2023 22:13", "15-11-2023 03:43", 20, 20},
    {"d-MMM-h:mm a", "14-Nov-10:13 PM", "15-Nov-3:43 AM", -1, -1},
    {"E, d MMM yyyy HH:mm:ss", "Tue, 14 Nov 2023 22:13:20", "Wed, 15 Nov 2023 03:43:20", 0, 0},
    {"MMM d, h:mm a", "Nov 14, 10:13 PM", "Nov 15, 3:43 AM", -1, -1},
    {"dd/MM/yyyy h:mm a", "14/11/2023 10:13 PM", "15/11/2023 3:43 AM", 20, 20},
    {"MM-dd-yyyy h:mm a", "11-14-2023 10:13 PM", "11-15-2023 3:43 AM", 20, 20},
    {"MM-dd-yyyy HH:mm", "11-14-2023 22:13", "11-15-2023 03:43", 20, 20},
    {"dd-MM-yyyy HH:mm:ss", "14-11-2023 22:13:20", "15-11-2023 03:43:20", 0, 0},
};

void checkRoundTrip(const DateFormatter& f, const std::string& text, double truncated) {
    SCOPED_TRACE(f.pattern() + " <- " + text);
    auto parsed = f.date(text);
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(f.string(*parsed), text);
    if (truncated >= 0) {
        EXPECT_EQ(parsed->seconds, kNov.seconds - truncated);
    } else {  // no year in the pattern: it defaults to 2000
        EXPECT_EQ(DateFormatter("yyyy", "UTC", "en_US_POSIX").string(*parsed), "2000");
    }
}

}  // namespace

TEST(DateFormatter, FormatsAndParsesEveryPatternInFixedZones) {
    for (const Row& row : kRows) {
        DateFormatter utc(row.pattern, "UTC", "en_US_POSIX");
        DateFormatter kolkata(row.pattern, "Asia/Kolkata", "en_US_POSIX");
        EXPECT_EQ(utc.string(kNov), row.utc) << row.pattern;
        EXPECT_EQ(kolkata.string(kNov), row.kolkata) << row.pattern;
        checkRoundTrip(utc, row.utc, row.truncated);
        checkRoundTrip(kolkata, row.kolkata, row.truncatedKolkata);
    }

    // New York: EST (-5) in November, EDT (-4) in July, where the instant falls just after midnight.
    DateFormatter ny("yyyy-MM-dd HH:mm:ss", "America/New_York", "en_US_POSIX");
    EXPECT_EQ(ny.string(kNov), "2023-11-14 17:13:20");
    EXPECT_EQ(ny.string(kJul), "2023-07-22 00:26:40");
    EXPECT_EQ(ny.date("2023-07-22 00:26:40"), kJul);
    EXPECT_EQ(ny.date("2023-11-14 17:13:20"), kNov);
    EXPECT_EQ(DateFormatter("d-MMM-h:mm a", "America/New_York", "en_US_POSIX").string(kJul), "22-Jul-12:26 AM");
    EXPECT_EQ(DateFormatter("E, d MMM yyyy HH:mm:ss", "America/New_York", "en_US_POSIX").string(kJul),
              "Sat, 22 Jul 2023 00:26:40");
    DateFormatter nyAmPm("MM-dd-yyyy h:mm a", "America/New_York", "en_US_POSIX");
    EXPECT_EQ(nyAmPm.string(kJul), "07-22-2023 12:26 AM");
    EXPECT_EQ(nyAmPm.date("07-22-2023 12:26 PM"), kJul.adding(12 * 3600 - 40));
}

TEST(DateFormatter, RejectsTextNotMatchingThePattern) {
    DateFormatter day("yyyy-MM-dd", "UTC", "en_US_POSIX");
    EXPECT_FALSE(day.date(""));
    EXPECT_FALSE(day.date("2023-11-14x"));
    EXPECT_FALSE(day.date("14/11/2023"));
    EXPECT_FALSE(day.date("2023-02-30"));
    EXPECT_FALSE(day.date("2023-13-01"));
    EXPECT_FALSE(day.date("\xff\xfe"));
    DateFormatter ampm("MMM d, h:mm a", "UTC", "en_US_POSIX");
    EXPECT_FALSE(ampm.date("Nov 14, 10:13 XM"));
    EXPECT_FALSE(ampm.date("Nov 14 10:13 PM"));
    EXPECT_FALSE(ampm.date("Foo 14, 10:13 PM"));
    EXPECT_FALSE(DateFormatter("yyyy-MM-dd HH:mm:ss", "UTC", "en_US_POSIX").date("2023-11-14"));
}

TEST(DateFormatter, FollowsLocaleAndSettingsAtConstruction) {
    TimeZone::setCurrent("Asia/Kolkata");
    Locale::setCurrent("de_DE");
    DateFormatter german("E, d MMM yyyy HH:mm");
    TimeZone::setCurrent("UTC");
    Locale::setCurrent("en_US");
    DateFormatter english("E, d MMM yyyy HH:mm");
    EXPECT_EQ(german.string(kNov), "Mi., 15 Nov. 2023 03:43");
    EXPECT_EQ(german.date("Mi., 15 Nov. 2023 03:43"), kNov.adding(-20));
    EXPECT_EQ(english.string(kNov), "Tue, 14 Nov 2023 22:13");
}

TEST(DateFormatter, SharedBetweenThreads) {
    DateFormatter f("yyyy-MM-dd HH:mm:ss", "UTC", "en_US_POSIX");
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                Date d = kNov.adding(86400.0 * (t * 200 + i));
                if (f.date(f.string(d)) != d) ++failures;
                if (t == 0) TimeZone::setCurrent(i % 2 ? "UTC" : "Asia/Kolkata");
                if (Calendar::daysBetween(kNov, d) != t * 200 + i) ++failures;
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
}

TEST(Calendar, DaysBetweenCountsCalendarDaysInTheCurrentZone) {
    TimeZone::setCurrent("America/New_York");
    // 2023-11-14 23:59 EST -> 2023-11-15 00:01 EST, and 00:01 -> 23:59 on the 14th.
    const Date lateOn14 = unix(1700024340), earlyOn15 = unix(1700024460), earlyOn14 = unix(1699938060);
    EXPECT_EQ(Calendar::daysBetween(lateOn14, earlyOn15), 1);
    EXPECT_EQ(Calendar::daysBetween(earlyOn14, lateOn14), 0);
    EXPECT_EQ(Calendar::daysBetween(earlyOn15, earlyOn14), -1);
    EXPECT_EQ(Calendar::daysBetween(kNov, kNov.adding(-7 * 86400)), -7);
    // Spring forward 2023-03-12: noon on the 11th (17:00 UTC) to noon on the 13th (16:00 UTC) is
    // two days in 47 hours; 00:30 EST to 23:30 EDT on the 12th is one day of 22 hours.
    EXPECT_EQ(Calendar::daysBetween(unix(1678554000), unix(1678723200)), 2);
    EXPECT_EQ(Calendar::daysBetween(unix(1678599000), unix(1678678200)), 0);
    EXPECT_EQ(Calendar::daysBetween(unix(1678599000), unix(1678680600)), 1);
    // Fall back 2023-11-05: 00:10 EDT (04:10 UTC) to 23:50 EST (04:50 UTC next day) is 24h40m.
    EXPECT_EQ(Calendar::daysBetween(unix(1699157400), unix(1699246200)), 0);
    // The same instants are a day apart in UTC.
    TimeZone::setCurrent("UTC");
    EXPECT_EQ(Calendar::daysBetween(unix(1699157400), unix(1699246200)), 1);
}

TEST(Calendar, StartOfDay) {
    TimeZone::setCurrent("America/New_York");
    // 2023-03-12 15:00 EDT -> 00:00 EST = 05:00 UTC.
    EXPECT_EQ(Calendar::startOfDay(unix(1678647600)), unix(1678597200));
    TimeZone::setCurrent("Asia/Kolkata");
    EXPECT_EQ(Calendar::startOfDay(kNov), kNov.adding(-13400));
    // Sao Paulo skipped midnight on 2018-11-04: the day began at 01:00 -02 (03:00 UTC).
    TimeZone::setCurrent("America/Sao_Paulo");
    EXPECT_EQ(Calendar::startOfDay(unix(1541300400 + 10 * 3600)), unix(1541300400));
}

TEST(TimeZone, OffsetsAndSettings) {
    TimeZone::setCurrent("");
    const std::string system = TimeZone::currentIdentifier();
    EXPECT_FALSE(system.empty());
    TimeZone::setCurrent("Asia/Kolkata");
    EXPECT_EQ(TimeZone::currentIdentifier(), "Asia/Kolkata");
    EXPECT_EQ(TimeZone::secondsFromGMT(kNov), 19800);
    EXPECT_EQ(TimeZone::secondsFromGMT(), 19800);
    TimeZone::setCurrent("America/New_York");
    EXPECT_EQ(TimeZone::secondsFromGMT(kNov), -18000);
    EXPECT_EQ(TimeZone::secondsFromGMT(kJul), -14400);
    TimeZone::setCurrent("Not/AZone");
    EXPECT_EQ(TimeZone::currentIdentifier(), "America/New_York");
    TimeZone::setCurrent("");
    EXPECT_EQ(TimeZone::currentIdentifier(), system);
}

TEST(Locale, DisplayNamesAndLanguages) {
    Locale::setCurrent("en-US");
    EXPECT_EQ(Locale::currentIdentifier(), "en_US");
    EXPECT_EQ(Locale::displayNameForLanguage("en"), "English");
    EXPECT_EQ(Locale::displayNameForLanguage("de-DE"), "German");
    EXPECT_EQ(Locale::displayNameForLanguage("pt_BR"), "Portuguese");
    EXPECT_EQ(Locale::displayNameForLanguage("xx"), "");
    EXPECT_EQ(Locale::displayNameForLanguage(""), "");
    Locale::setCurrent("de_DE");
    EXPECT_EQ(Locale::displayNameForLanguage("de-DE"), "Deutsch");
    EXPECT_EQ(Locale::displayNameForLanguage("en"), "Englisch");

    Locale::setPreferredLanguages({"fr-FR", "en"});
    EXPECT_EQ(Locale::preferredLanguages(), (std::vector<std::string>{"fr-FR", "en"}));
    Locale::setPreferredLanguages({});
    setenv("LANGUAGE", "de_DE.UTF-8:en:de_DE", 1);
    EXPECT_EQ(Locale::preferredLanguages(), (std::vector<std::string>{"de-DE", "en"}));
    unsetenv("LANGUAGE");
    setenv("LANG", "C", 1);
    unsetenv("LC_ALL");
    unsetenv("LC_MESSAGES");
    unsetenv("LC_TIME");
    Locale::setCurrent("");
    EXPECT_EQ(Locale::preferredLanguages(), (std::vector<std::string>{"en-US"}));
}
