// Dates, calendars, time zones and locales.
//
// The current time zone and locale are process-wide settings: the system's own unless a host or
// a test sets them. Every function here is safe to call from any thread; a DateFormatter object
// may be shared between threads.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quelmar/value.hpp"

namespace qm::platform {

class TimeZone {
public:
    // Olson identifier of the current zone, e.g. "Europe/Berlin".
    static std::string currentIdentifier();
    // Makes `olsonId` the current zone; "" restores the system's zone. An unknown identifier is
    // ignored and the current zone stays as it was.
    static void setCurrent(const std::string& olsonId);
    // Offset of local time from GMT in the current zone at `at`, daylight saving included.
    static long secondsFromGMT(Date at);
    static long secondsFromGMT();  // ... now
};

class Locale {
public:
    // Identifier of the current locale in the underscore form, e.g. "en_US".
    static std::string currentIdentifier();
    // "" restores the system's locale (taken from LC_ALL, LC_TIME or LANG).
    static void setCurrent(const std::string& id);
    // The user's languages in order of preference as language tags, e.g. {"de-DE", "en"}; from
    // LANGUAGE (or LC_ALL, LC_MESSAGES, LANG) unless set. Never empty.
    static std::vector<std::string> preferredLanguages();
    // An empty list restores the system's languages.
    static void setPreferredLanguages(std::vector<std::string> langs);
    // Name of the language of `code` (a tag such as "de-DE" or "pt_BR"; only its language part
    // counts) in the current locale: "German" in en_US, "Deutsch" in de_DE. Empty when the
    // language is unknown.
    static std::string displayNameForLanguage(const std::string& code);
};

// Formats and parses dates with a fixed pattern ("yyyy-MM-dd HH:mm:ss", "d-MMM-h:mm a", ...).
// The "en_US_POSIX" locale gives English month names and AM/PM whatever the device's settings.
// Parsing is strict: the whole text must match the pattern, and fields out of range (a 30th of
// February, a wall time skipped by a daylight-saving change) give nothing. Fields the pattern
// lacks default to 2000-01-01 00:00:00 local time.
class DateFormatter {
public:
    // Uses the current time zone and locale as they are at construction.
    explicit DateFormatter(std::string pattern);
    // An unknown zone identifier falls back to GMT.
    DateFormatter(std::string pattern, std::string timeZoneId, std::string localeId);

    const std::string& pattern() const { return pattern_; }

    // Empty when the pattern is unusable.
    std::string string(Date d) const;
    // Nothing when the text does not match the pattern.
    std::optional<Date> date(std::string_view text) const;

    struct Impl;

private:
    std::string pattern_;
    std::shared_ptr<Impl> impl_;  // shared by copies; guarded inside
};

// Gregorian calendar in the current time zone.
class Calendar {
public:
    // Number of calendar days from the day containing `from` to the day containing `to`:
    // 23:59 -> 00:01 the next day is 1, 00:01 -> 23:59 the same day is 0, negative when `to`
    // comes first. Days shortened or lengthened by daylight saving count as one day.
    static long daysBetween(Date from, Date to);
    // First instant of the day containing `d` (01:00 where midnight is skipped).
    static Date startOfDay(Date d);
    // The same wall-clock time `days` calendar days later (earlier when negative); a day
    // that daylight saving shortens or lengthens still counts as one.
    static Date addingDays(Date d, long days);
};

}  // namespace qm::platform
