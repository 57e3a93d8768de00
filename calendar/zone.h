#ifndef TEMPUS_CALENDAR_ZONE_H
#define TEMPUS_CALENDAR_ZONE_H

#include <cstdint>
#include <ctime>
#include <string>

// One end of a daylight period.
struct RWDaylightBoundary {
    int month;   // 0 = January ... 11 = December
    int week;    // 0..3: first..fourth such weekday; >= 4: the last; < 0: fixed day `weekday`
    int weekday; // 0 = Sunday ... 6; the day of the month when week < 0
    int minute;  // minute of the day (120 = 02:00)

    // True when the fields lie strictly before this boundary (seconds ignored).
    bool after(const struct tm *fields) const;
    // Fills the boundary's day, weekday and time into fields of its month and year.
    void date(struct tm *fields) const;
};

// A daylight rule valid from firstYear on; `next` is the rule for earlier years.
struct RWDaylightRule {
    const RWDaylightRule *next;
    std::int16_t firstYear; // 0 = since always
    signed char observed;   // 0 or 1
    RWDaylightBoundary begin;
    RWDaylightBoundary end;

    // Whether the fields lie in this rule's daylight time (southern rules span the new year).
    bool isDaylight(const struct tm *fields) const;
};

// The built-in rules: the North American list from newest to oldest, and the western European one.
extern const RWDaylightRule usRuleLate;
extern const RWDaylightRule usRule76;
extern const RWDaylightRule usRule75;
extern const RWDaylightRule usRule74;
extern const RWDaylightRule usRule67;
extern const RWDaylightRule usRuleAuld;
extern const RWDaylightRule euRuleLate;

// A time zone: offsets in seconds west of GMT (wall clock = GMT - offset).
class RWZone {
public:
    // Whole hours west of GMT.
    enum StdZone : int {
        East12 = -12,
        East11,
        East10,
        East9,
        East8,
        East7,
        East6,
        East5,
        East4,
        East3,
        East2,
        East1,
        Greenwich = 0,
        West1,
        West2,
        West3,
        West4,
        West5,
        West6,
        West7,
        West8,
        West9,
        West10,
        West11
    };
    // The built-in rule lists.
    enum DstRule : int { DstNone = 0, DstNorthAmerica = 1, DstWesternEurope = 2 };

    virtual ~RWZone();
    virtual long timeZoneOffset() const = 0;
    virtual long altZoneOffset() const = 0;
    virtual bool daylightObserved() const = 0;
    virtual std::string timeZoneName() const = 0;
    virtual std::string altZoneName() const = 0;
    virtual bool isDaylight(const struct tm *fields) const = 0;
    // Fills the start (end) of daylight time in the year of fields->tm_year; clobbers without one.
    virtual void getBeginDaylight(struct tm *fields) const = 0;
    virtual void getEndDaylight(struct tm *fields) const = 0;

    // Head of a built-in rule list (null for DstNone).
    static const RWDaylightRule *dstRule(DstRule rule);
    // The local zone, built once from the C library's tzset variables with the
    // North American rule whenever the system has daylight time at all.
    static const RWZone &local();
    // Installs zone as the local zone (null: rebuild at next use); returns the previous one, not freed.
    static const RWZone *local(const RWZone *zone);
    // The local zone's standard time without daylight time.
    static const RWZone &standard();
    // Installs zone as the standard zone; returns the previous one, not freed.
    static const RWZone *standard(const RWZone *zone);
    // GMT without daylight time.
    static const RWZone &utc();
};

// A zone with fixed offsets and an optional built-in daylight rule list.
class RWZoneSimple : public RWZone {
public:
    // No daylight time; both offsets and both names the same.
    RWZoneSimple(long offset, const std::string &name);
    // zone's hour offset and table names, daylight by rule (may be null).
    RWZoneSimple(StdZone zone, const RWDaylightRule *rule);
    RWZoneSimple(StdZone zone, DstRule rule);
    // Every field given: daylight time observed when rule is non-null.
    RWZoneSimple(const RWDaylightRule *rule, long stdOffset, const std::string &stdName, long altOffset,
                 const std::string &altName);

    long timeZoneOffset() const override { return stdOffset; }
    long altZoneOffset() const override { return altOffset; }
    bool daylightObserved() const override { return observed != 0; }
    std::string timeZoneName() const override { return stdName; }
    std::string altZoneName() const override { return altName; }
    bool isDaylight(const struct tm *fields) const override;
    void getBeginDaylight(struct tm *fields) const override;
    void getEndDaylight(struct tm *fields) const override;

private:
    const RWDaylightRule *rule;
    std::int32_t observed;
    long stdOffset;
    std::string stdName;
    long altOffset;
    std::string altName;
};

#endif
