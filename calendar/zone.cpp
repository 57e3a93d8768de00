#include "calendar/zone.h"

#include "calendar/rwdate.h"

// Every built-in boundary lies at 02:00 on a Sunday; week 0 is the first, 4 the last.
static constexpr int kFirst = 0;
static constexpr int kLast = 4;
static constexpr int kSunday = 0;
static constexpr int kTwoOClock = 120;

constinit const RWDaylightRule usRuleAuld = {
    nullptr, 0, 1, {3, kLast, kSunday, kTwoOClock}, {9, kLast, kSunday, kTwoOClock}};
constinit const RWDaylightRule usRule67 = {
    &usRuleAuld, 1967, 1, {3, kFirst, kSunday, kTwoOClock}, {9, kLast, kSunday, kTwoOClock}};
constinit const RWDaylightRule usRule74 = {
    &usRule67, 1974, 1, {0, kFirst, kSunday, kTwoOClock}, {9, kLast, kSunday, kTwoOClock}};
constinit const RWDaylightRule usRule75 = {
    &usRule74, 1975, 1, {1, kLast, kSunday, kTwoOClock}, {9, kLast, kSunday, kTwoOClock}};
constinit const RWDaylightRule usRule76 = {
    &usRule75, 1976, 1, {3, kLast, kSunday, kTwoOClock}, {9, kLast, kSunday, kTwoOClock}};
constinit const RWDaylightRule usRuleLate = {
    &usRule76, 1987, 1, {3, kFirst, kSunday, kTwoOClock}, {9, kLast, kSunday, kTwoOClock}};
constinit const RWDaylightRule euRuleLate = {
    nullptr, 0, 1, {2, kLast, kSunday, kTwoOClock}, {8, kLast, kSunday, kTwoOClock}};

// Rule list heads, indexed by RWZone::DstRule.
static const RWDaylightRule *const rules[3] = {nullptr, &usRuleLate, &euRuleLate};

// Standard and daylight names of each whole-hour zone, indexed by hours west + 12.
static const char zones[24][2][8] = {
    {"GMT+12", "GMT+11"}, {"GMT+11", "GMT+10"}, {"GMT+10", "GMT+9"},  {"GMT+9", "GMT+8"},
    {"GMT+8", "GMT+7"},   {"GMT+7", "GMT+6"},   {"GMT+6", "GMT+5"},   {"GMT+5", "GMT+4"},
    {"GMT+4", "GMT+3"},   {"GMT+3", "GMT+2"},   {"EET", "EET DST"},   {"MET", "MET DST"},
    {"GMT", "WET DST"},   {"GMT-1", "GMT-2"},   {"GMT-2", "GMT-3"},   {"GMT-3", "GMT-4"},
    {"GMT-4", "GMT-5"},   {"EST", "EDT"},       {"CST", "CDT"},       {"MST", "MDT"},
    {"PST", "PDT"},       {"YST", "YDT"},       {"GMT-10", "GMT-11"}, {"GMT-11", "GMT-12"},
};

// The process-wide zones, created on first use and never freed.
static const RWZone *localzone = nullptr;
static const RWZone *stdzone = nullptr;
static const RWZone *utczone = nullptr;

// The rule of the list that holds in the fields' year; null when none does.
static const RWDaylightRule *findRule(const RWDaylightRule *list, const struct tm *fields)
{
    // The year is compared as a 16-bit number, the width of firstYear.
    const auto year = static_cast<std::int16_t>(static_cast<unsigned>(fields->tm_year) + 1900u);
    for (const RWDaylightRule *r = list; r != nullptr; r = r->next) {
        if (r->firstYear <= year)
            return r;
    }
    return nullptr;
}

// Days of month tm_mon of the fields' year; months outside 0..11 count as 31 days.
static long days_of_fields_month(const struct tm *fields)
{
    if (fields->tm_mon < 0 || fields->tm_mon > 11)
        return 31;
    long n = RWDate::daysInMonth[fields->tm_mon];
    if (fields->tm_mon == 1 && RWDate::leapYear(static_cast<unsigned>(fields->tm_year) + 1900u))
        ++n;
    return n;
}

// The day of the fields' month that (week, weekday) names. Wide signed
// arithmetic, so that arbitrary caller fields cannot overflow.
static long dateOfNthWday(int week, int weekday, const struct tm *fields)
{
    const long mday = fields->tm_mday;
    const long wday = fields->tm_wday;
    if (week < 0)
        return weekday;
    if (week < 4)
        return 7L * week + ((mday + weekday - wday + 6) % 7) + 1;
    const long n = days_of_fields_month(fields);
    return n - ((wday - weekday + n - mday + 7) % 7);
}

// True when the fields lie strictly before boundary b; the month alone decides
// on all but one month of the year, so the day is looked up only in that one.
static inline bool lies_before(const RWDaylightBoundary &b, const struct tm *fields)
{
    if (fields->tm_mon != b.month)
        return fields->tm_mon < b.month;
    const long d = dateOfNthWday(b.week, b.weekday, fields);
    if (fields->tm_mday != d)
        return fields->tm_mday < d;
    return static_cast<long>(fields->tm_hour) * 60 + fields->tm_min < b.minute;
}

bool RWDaylightBoundary::after(const struct tm *fields) const
{
    return lies_before(*this, fields);
}

void RWDaylightBoundary::date(struct tm *fields) const
{
    fields->tm_mday = static_cast<int>(dateOfNthWday(week, weekday, fields));
    fields->tm_wday = weekday;
    fields->tm_hour = minute / 60;
    fields->tm_min = minute % 60;
    fields->tm_sec = 0;
    fields->tm_isdst = -1;
}

// Whether a rule's daylight time holds, given on which side of each boundary the fields lie.
static inline bool daylight_between(const RWDaylightRule &r, bool beforeBegin, bool beforeEnd)
{
    if (r.begin.month < r.end.month)
        return beforeBegin != beforeEnd;
    // A southern rule: the daylight period spans the new year.
    return beforeBegin == beforeEnd;
}

// The rule in a month of one of its boundaries, where the day and time decide. Kept
// out of line: the other months then take a path that saves no registers and calls nothing.
[[gnu::noinline]] static bool rule_says_daylight_in_boundary_month(const RWDaylightRule &r,
                                                                   const struct tm *fields)
{
    return daylight_between(r, lies_before(r.begin, fields), lies_before(r.end, fields));
}

static inline bool rule_says_daylight(const RWDaylightRule &r, const struct tm *fields)
{
    if (r.observed == 0)
        return false;
    if (fields->tm_mon == r.begin.month || fields->tm_mon == r.end.month)
        return rule_says_daylight_in_boundary_month(r, fields);
    return daylight_between(r, fields->tm_mon < r.begin.month, fields->tm_mon < r.end.month);
}

bool RWDaylightRule::isDaylight(const struct tm *fields) const
{
    return rule_says_daylight(*this, fields);
}

RWZone::~RWZone() = default;

const RWDaylightRule *RWZone::dstRule(DstRule rule)
{
    return rule >= DstNone && rule <= DstWesternEurope ? rules[rule] : nullptr;
}

// The C library's view of the local zone, with the North American rule
// whenever the system reports a daylight time at all.
static const RWZone *makelocal()
{
    tzset();
    const RWDaylightRule *rule = daylight != 0 ? RWZone::dstRule(RWZone::DstNorthAmerica) : nullptr;
    return new RWZoneSimple(rule, timezone, tzname[0], timezone - 3600, tzname[1]);
}

const RWZone &RWZone::local()
{
    if (localzone == nullptr)
        localzone = makelocal();
    return *localzone;
}

const RWZone *RWZone::local(const RWZone *zone)
{
    const RWZone *previous = localzone;
    localzone = zone;
    return previous;
}

const RWZone &RWZone::standard()
{
    if (stdzone == nullptr) {
        const RWZone &loc = local();
        stdzone = new RWZoneSimple(loc.timeZoneOffset(), loc.timeZoneName());
    }
    return *stdzone;
}

const RWZone *RWZone::standard(const RWZone *zone)
{
    const RWZone *previous = stdzone;
    stdzone = zone;
    return previous;
}

const RWZone &RWZone::utc()
{
    if (utczone == nullptr)
        utczone = new RWZoneSimple(Greenwich, DstNone);
    return *utczone;
}

RWZoneSimple::RWZoneSimple(long offset, const std::string &name)
    : rule(nullptr), observed(0), stdOffset(offset), stdName(name), altOffset(offset), altName(name)
{
}

RWZoneSimple::RWZoneSimple(StdZone zone, const RWDaylightRule *dstrule)
    : rule(dstrule), observed(dstrule != nullptr ? 1 : 0), stdOffset(static_cast<long>(zone) * 3600),
      stdName(zones[zone + 12][0]), altOffset((static_cast<long>(zone) - observed) * 3600),
      altName(zones[zone + 12][observed != 0 ? 1 : 0])
{
}

RWZoneSimple::RWZoneSimple(StdZone zone, DstRule dstrule) : RWZoneSimple(zone, dstRule(dstrule)) {}

RWZoneSimple::RWZoneSimple(const RWDaylightRule *dstrule, long stdoff, const std::string &stdname,
                           long altoff, const std::string &altname)
    : rule(dstrule), observed(dstrule != nullptr ? 1 : 0), stdOffset(stdoff), stdName(stdname),
      altOffset(altoff), altName(altname)
{
}

bool RWZoneSimple::isDaylight(const struct tm *fields) const
{
    if (observed == 0)
        return false;
    const RWDaylightRule *r = findRule(rule, fields);
    return r != nullptr && rule_says_daylight(*r, fields);
}

// Fills the given boundary of the rule holding in the fields' year, or clobbers the fields.
static void fill_boundary(const RWDaylightRule *list, bool observed, bool begin, struct tm *fields)
{
    const RWDaylightRule *r = observed ? findRule(list, fields) : nullptr;
    if (r == nullptr || r->observed == 0) {
        RWDate::clobber(fields);
        return;
    }
    const RWDaylightBoundary &boundary = begin ? r->begin : r->end;
    fields->tm_mon = boundary.month;
    fields->tm_mday = 1;
    fields->tm_wday = static_cast<int>(RWDate(fields).weekDay() % 7u);
    boundary.date(fields);
}

void RWZoneSimple::getBeginDaylight(struct tm *fields) const
{
    fill_boundary(rule, observed != 0, true, fields);
}

void RWZoneSimple::getEndDaylight(struct tm *fields) const
{
    fill_boundary(rule, observed != 0, false, fields);
}
