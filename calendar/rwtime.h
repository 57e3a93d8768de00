#ifndef TEMPUS_CALENDAR_RWTIME_H
#define TEMPUS_CALENDAR_RWTIME_H

#include <compare>
#include <cstdint>
#include <ctime>

#include "calendar/rwdate.h"

class RWZone;

// Seconds from 1901-01-01 00:00:00 GMT to 1970-01-01 00:00:00 GMT.
inline constexpr std::uint32_t rwEpoch = 2177452800u;

// 1 January 1901, day 0 of the RWTime count.
extern const RWDate refDate;
// 5 February 2037, the last whole day an RWTime count reaches.
extern const RWDate maxDate;

// An instant: unsigned 32-bit seconds since 1901-01-01 00:00:00 GMT; 0 is
// "no time". Counts wrap modulo 2^32 (the last one is 2037-02-06 06:28:15 GMT).
class RWTime {
public:
    // The current time.
    RWTime() : sec(currentTime()) {}
    // The time with this raw count.
    explicit constexpr RWTime(std::uint32_t count) : sec(count) {}
    // Today (system's local date) at wall-clock h:m:s in zone.
    RWTime(unsigned h, unsigned m, unsigned s, const RWZone &zone);
    // date at wall-clock h:m:s in zone.
    RWTime(const RWDate &date, unsigned h, unsigned m, unsigned s, const RWZone &zone)
        : sec(buildFrom(date, h, m, s, zone))
    {
    }
    // The wall-clock fields in zone; the invalid time 0 when the date is impossible.
    RWTime(const struct tm *fields, const RWZone &zone);
    RWTime(const RWTime &) = default;
    RWTime &operator=(const RWTime &) = default;

    // The current time.
    static RWTime now() { return RWTime(currentTime()); }
    // The system clock's seconds + rwEpoch, modulo 2^32.
    static std::uint32_t currentTime();
    // The raw count.
    constexpr std::uint32_t seconds() const { return sec; }
    // Adds s seconds (subtracts when negative), modulo 2^32.
    RWTime &operator+=(long s)
    {
        sec += static_cast<std::uint32_t>(s);
        return *this;
    }

    // Calendar fields of this instant in zone; all clobbered for the invalid time.
    void extract(struct tm *fields, const RWZone &zone) const;
    // Whether this instant lies in zone's daylight time (exactly when extract sets tm_isdst 1).
    bool isDST(const RWZone &zone) const;
    unsigned hourGMT() const { return (sec % 86400u) / 3600u; }
    unsigned minuteGMT() const { return ((sec % 86400u) % 3600u) / 60u; }
    unsigned second() const { return sec % 60u; }
    // tm_hour / tm_min of extract in zone.
    unsigned hour(const RWZone &zone) const;
    unsigned minute(const RWZone &zone) const;

    // Count of wall-clock h:m:s on date in zone; no range checks, plain wrapping arithmetic.
    static std::uint32_t buildFrom(const RWDate &date, unsigned h, unsigned m, unsigned s,
                                   const RWZone &zone);
    // refDate <= date <= maxDate.
    static bool assertDate(const RWDate &date);
    // Instant daylight time begins (ends) in year in zone; invalid time 0 without daylight time.
    static RWTime beginDST(unsigned year, const RWZone &zone);
    static RWTime endDST(unsigned year, const RWZone &zone);

    friend constexpr bool operator==(const RWTime &a, const RWTime &b) { return a.sec == b.sec; }
    friend constexpr auto operator<=>(const RWTime &a, const RWTime &b) { return a.sec <=> b.sec; }

private:
    std::uint32_t sec;
};

#endif
