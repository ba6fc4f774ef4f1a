// Dates, calendars, time zones and locales on ICU.
//
// The current zone, locale and preferred languages live in one guarded process-wide state. ICU
// calendars and formatters are not safe for concurrent use, so each thread keeps its own calendar
// for the current zone, and every DateFormatter guards its ICU formatter with a mutex.
#include "qmplatform/datetime.hpp"

#include <unicode/calendar.h>
#include <unicode/gregocal.h>
#include <unicode/locid.h>
#include <unicode/parsepos.h>
#include <unicode/smpdtfmt.h>
#include <unicode/timezone.h>
#include <unicode/uloc.h>
#include <unicode/unistr.h>

#include <cmath>
#include <cstdlib>
#include <mutex>

#include "qmplatform/clock.hpp"
#include "qmbase/no_destructor.hpp"

namespace qm::platform {

namespace {

constexpr const char* kUnknownZone = "Etc/Unknown";
constexpr const char* kFallbackLocale = "en_US";

struct Settings {
    std::mutex mutex;
    std::string zone;    // empty: the system's
    std::string locale;  // empty: the system's
    std::vector<std::string> languages;  // empty: from the environment
};

Settings& settings() {
    static NoDestructor<Settings> s;  // never destroyed: worker threads may ask during exit
    return *s;
}

UDate toUDate(Date d) { return (d.seconds + Date::kUnixEpochOffset) * 1000.0; }
Date fromUDate(UDate u) { return Date{u / 1000.0 - Date::kUnixEpochOffset}; }

std::string toUtf8(const icu::UnicodeString& s) {
    std::string out;
    s.toUTF8String(out);
    return out;
}

icu::UnicodeString fromUtf8(std::string_view s) {
    return icu::UnicodeString::fromUTF8(icu::StringPiece(s.data(), static_cast<int32_t>(s.size())));
}

// A zone by identifier; unknown identifiers give the "Etc/Unknown" zone (GMT offsets).
std::unique_ptr<icu::TimeZone> makeZone(const std::string& id) {
    return std::unique_ptr<icu::TimeZone>(icu::TimeZone::createTimeZone(fromUtf8(id)));
}

bool isKnownZone(const std::string& id) {
    if (id.empty()) return false;
    auto zone = makeZone(id);
    icu::UnicodeString zoneId;
    return zone && zone->getID(zoneId) != icu::UnicodeString(kUnknownZone);
}

// The host's zone, read once (it comes from TZ or /etc/localtime).
const std::string& systemZone() {
    static const std::string* id = new std::string([] {
        std::unique_ptr<icu::TimeZone> host(icu::TimeZone::detectHostTimeZone());
        icu::UnicodeString zoneId;
        if (host) host->getID(zoneId);
        std::string s = toUtf8(zoneId);
        return (s.empty() || s == kUnknownZone) ? std::string("GMT") : s;
    }());
    return *id;
}

// "de_DE.UTF-8@euro" -> "de_DE"; "C" and "POSIX" carry no language.
std::string posixLocaleName(const char* value) {
    if (!value) return {};
    std::string s(value);
    s = s.substr(0, s.find_first_of(".@"));
    if (s == "C" || s == "POSIX") return {};
    return s;
}

std::string firstEnvLocale(std::initializer_list<const char*> names) {
    for (const char* name : names) {
        const char* value = std::getenv(name);
        if (value && *value) return posixLocaleName(value);  // the first one set decides
    }
    return {};
}

// Accepts both "de_DE" and language tags such as "de-DE" or "zh-Hans-CN".
icu::Locale parseLocale(std::string_view id) {
    std::string s(id);
    if (s.find('-') != std::string::npos && s.find('_') == std::string::npos) {
        UErrorCode status = U_ZERO_ERROR;
        icu::Locale loc = icu::Locale::forLanguageTag(s, status);
        if (U_SUCCESS(status) && !loc.isBogus()) return loc;
    }
    return icu::Locale::createFromName(s.c_str());
}

std::string languageTag(const icu::Locale& loc) {
    UErrorCode status = U_ZERO_ERROR;
    std::string tag = loc.toLanguageTag<std::string>(status);
    return U_SUCCESS(status) ? tag : std::string();
}

std::string systemLocale() {
    std::string name = firstEnvLocale({"LC_ALL", "LC_TIME", "LANG"});
    if (name.empty()) return kFallbackLocale;
    icu::Locale loc = icu::Locale::createFromName(name.c_str());
    if (loc.isBogus() || !*loc.getLanguage()) return kFallbackLocale;
    return loc.getName();
}

std::vector<std::string> systemLanguages() {
    std::vector<std::string> names;
    const char* language = std::getenv("LANGUAGE");
    if (language && *language) {
        std::string list(language);
        size_t start = 0;
        while (start <= list.size()) {
            size_t end = list.find(':', start);
            if (end == std::string::npos) end = list.size();
            names.push_back(posixLocaleName(list.substr(start, end - start).c_str()));
            start = end + 1;
        }
    }
    if (names.empty()) names.push_back(firstEnvLocale({"LC_ALL", "LC_MESSAGES", "LANG"}));

    std::vector<std::string> tags;
    for (const auto& name : names) {
        if (name.empty()) continue;
        std::string tag = languageTag(icu::Locale::createFromName(name.c_str()));
        if (tag.empty() || tag == "und") continue;
        bool seen = false;
        for (const auto& t : tags) seen = seen || t == tag;
        if (!seen) tags.push_back(tag);
    }
    if (tags.empty()) {
        std::string tag = languageTag(icu::Locale::createFromName(Locale::currentIdentifier().c_str()));
        tags.push_back(tag.empty() || tag == "und" ? std::string("en-US") : tag);
    }
    return tags;
}

// This thread's Gregorian calendar in the current zone, rebuilt when the zone changes.
// Wall times skipped by a daylight-saving change resolve to the first valid instant after them,
// repeated ones to their first occurrence.
icu::Calendar* threadCalendar() {
    struct Cache {
        std::string zone;
        std::unique_ptr<icu::Calendar> calendar;
    };
    thread_local Cache cache;
    std::string zone = TimeZone::currentIdentifier();
    if (!cache.calendar || cache.zone != zone) {
        UErrorCode status = U_ZERO_ERROR;
        auto calendar = std::make_unique<icu::GregorianCalendar>(makeZone(zone).release(),
                                                                 icu::Locale::getUS(), status);
        if (U_FAILURE(status)) return nullptr;
        calendar->setLenient(true);
        calendar->setSkippedWallTimeOption(UCAL_WALLTIME_NEXT_VALID);
        calendar->setRepeatedWallTimeOption(UCAL_WALLTIME_FIRST);
        cache.calendar = std::move(calendar);
        cache.zone = std::move(zone);
    }
    return cache.calendar.get();
}

// Julian day number of the local day containing `d`, or nothing for unusable dates.
std::optional<int32_t> julianDay(icu::Calendar& calendar, Date d) {
    if (!std::isfinite(d.seconds)) return std::nullopt;
    UErrorCode status = U_ZERO_ERROR;
    calendar.setTime(toUDate(d), status);
    int32_t day = calendar.get(UCAL_JULIAN_DAY, status);
    if (U_FAILURE(status)) return std::nullopt;
    return day;
}

}  // namespace

// ---- TimeZone ----

std::string TimeZone::currentIdentifier() {
    {
        std::lock_guard lock(settings().mutex);
        if (!settings().zone.empty()) return settings().zone;
    }
    return systemZone();
}

void TimeZone::setCurrent(const std::string& olsonId) {
    if (!olsonId.empty() && !isKnownZone(olsonId)) return;
    std::lock_guard lock(settings().mutex);
    settings().zone = olsonId;
}

long TimeZone::secondsFromGMT(Date at) {
    icu::Calendar* calendar = threadCalendar();
    if (!calendar || !std::isfinite(at.seconds)) return 0;
    UErrorCode status = U_ZERO_ERROR;
    int32_t raw = 0;
    int32_t dst = 0;
    calendar->getTimeZone().getOffset(toUDate(at), false, raw, dst, status);
    if (U_FAILURE(status)) return 0;
    return static_cast<long>((raw + dst) / 1000);
}

long TimeZone::secondsFromGMT() { return secondsFromGMT(Clock::currentDate()); }

// ---- Locale ----

std::string Locale::currentIdentifier() {
    {
        std::lock_guard lock(settings().mutex);
        if (!settings().locale.empty()) return settings().locale;
    }
    return systemLocale();
}

void Locale::setCurrent(const std::string& id) {
    std::string name;
    if (!id.empty()) {
        icu::Locale loc = parseLocale(id);
        if (loc.isBogus() || !*loc.getLanguage()) return;
        name = loc.getName();
    }
    std::lock_guard lock(settings().mutex);
    settings().locale = name;
}

std::vector<std::string> Locale::preferredLanguages() {
    {
        std::lock_guard lock(settings().mutex);
        if (!settings().languages.empty()) return settings().languages;
    }
    return systemLanguages();
}

void Locale::setPreferredLanguages(std::vector<std::string> langs) {
    std::erase_if(langs, [](const std::string& s) { return s.empty(); });
    std::lock_guard lock(settings().mutex);
    settings().languages = std::move(langs);
}

std::string Locale::displayNameForLanguage(const std::string& code) {
    if (code.empty()) return {};
    icu::Locale loc = parseLocale(code);
    const char* language = loc.getLanguage();
    if (loc.isBogus() || !*language) return {};
    std::string displayLocale = currentIdentifier();

    std::vector<UChar> buffer(64);
    for (int attempt = 0; attempt < 2; ++attempt) {
        UErrorCode status = U_ZERO_ERROR;
        int32_t length = uloc_getDisplayLanguage(language, displayLocale.c_str(), buffer.data(),
                                                 static_cast<int32_t>(buffer.size()), &status);
        if (status == U_BUFFER_OVERFLOW_ERROR) {
            buffer.resize(static_cast<size_t>(length) + 1);
            continue;
        }
        // ICU echoes the code back (with this warning) when it has no name for the language.
        if (U_FAILURE(status) || status == U_USING_DEFAULT_WARNING) return {};
        return toUtf8(icu::UnicodeString(buffer.data(), length));
    }
    return {};
}

// ---- DateFormatter ----

struct DateFormatter::Impl {
    std::mutex mutex;
    std::unique_ptr<icu::SimpleDateFormat> format;  // null when the pattern is unusable
};

namespace {

std::shared_ptr<DateFormatter::Impl> makeFormatter(const std::string& pattern, const std::string& zoneId,
                                                   const std::string& localeId) {
    auto impl = std::make_shared<DateFormatter::Impl>();
    UErrorCode status = U_ZERO_ERROR;
    icu::Locale loc = parseLocale(localeId);
    // Fixed patterns mean Gregorian years and months unless the locale asks for another calendar.
    if (loc.getKeywordValue<std::string>("calendar", status).empty()) {
        status = U_ZERO_ERROR;
        loc.setKeywordValue("calendar", "gregorian", status);
    }
    status = U_ZERO_ERROR;
    auto format = std::make_unique<icu::SimpleDateFormat>(fromUtf8(pattern), loc, status);
    if (U_FAILURE(status)) return impl;
    format->adoptTimeZone(makeZone(zoneId).release());
    // Strict: no partial literals, no whitespace slack, no out-of-range fields.
    format->setLenient(false);
    impl->format = std::move(format);
    return impl;
}

}  // namespace

DateFormatter::DateFormatter(std::string pattern)
    : DateFormatter(std::move(pattern), TimeZone::currentIdentifier(), Locale::currentIdentifier()) {}

DateFormatter::DateFormatter(std::string pattern, std::string timeZoneId, std::string localeId)
    : pattern_(std::move(pattern)), impl_(makeFormatter(pattern_, timeZoneId, localeId)) {}

std::string DateFormatter::string(Date d) const {
    if (!impl_->format || !std::isfinite(d.seconds)) return {};
    std::lock_guard lock(impl_->mutex);
    UErrorCode status = U_ZERO_ERROR;
    icu::UnicodeString out;
    impl_->format->format(toUDate(d), out, nullptr, status);
    if (U_FAILURE(status)) return {};
    return toUtf8(out);
}

std::optional<Date> DateFormatter::date(std::string_view text) const {
    if (!impl_->format || text.empty()) return std::nullopt;
    icu::UnicodeString utext = fromUtf8(text);
    std::lock_guard lock(impl_->mutex);
    std::unique_ptr<icu::Calendar> calendar(impl_->format->getCalendar()->clone());
    if (!calendar) return std::nullopt;
    // Fields the pattern does not have come from 2000-01-01 00:00:00.
    calendar->clear();
    calendar->set(2000, UCAL_JANUARY, 1);
    icu::ParsePosition position(0);
    impl_->format->parse(utext, *calendar, position);
    if (position.getErrorIndex() >= 0 || position.getIndex() != utext.length()) return std::nullopt;
    UErrorCode status = U_ZERO_ERROR;
    UDate result = calendar->getTime(status);
    if (U_FAILURE(status)) return std::nullopt;
    return fromUDate(result);
}

// ---- Calendar ----

long Calendar::daysBetween(Date from, Date to) {
    icu::Calendar* calendar = threadCalendar();
    if (!calendar) return 0;
    auto a = julianDay(*calendar, from);
    auto b = julianDay(*calendar, to);
    if (!a || !b) return 0;
    return static_cast<long>(*b) - static_cast<long>(*a);
}

Date Calendar::startOfDay(Date d) {
    icu::Calendar* calendar = threadCalendar();
    if (!calendar || !std::isfinite(d.seconds)) return d;
    UErrorCode status = U_ZERO_ERROR;
    calendar->setTime(toUDate(d), status);
    calendar->set(UCAL_HOUR_OF_DAY, 0);
    calendar->set(UCAL_MINUTE, 0);
    calendar->set(UCAL_SECOND, 0);
    calendar->set(UCAL_MILLISECOND, 0);
    UDate start = calendar->getTime(status);
    if (U_FAILURE(status)) return d;
    return fromUDate(start);
}

Date Calendar::addingDays(Date d, long days) {
    icu::Calendar* calendar = threadCalendar();
    if (!calendar || !std::isfinite(d.seconds) || days < -1'000'000 || days > 1'000'000) {
        return d.adding(static_cast<double>(days) * 86400.0);
    }
    UErrorCode status = U_ZERO_ERROR;
    calendar->setTime(toUDate(d), status);
    calendar->add(UCAL_DATE, static_cast<int32_t>(days), status);
    const UDate later = calendar->getTime(status);
    if (U_FAILURE(status)) return d.adding(static_cast<double>(days) * 86400.0);
    return fromUDate(later);
}

}  // namespace qm::platform
